"""What the tool tests share: the check that they run inside the private
network namespace, dexhand-sim as a child process, and their entry point."""

import argparse
import json
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

# One hand of each kind, by address.
HANDS = {"192.168.137.39": "qmhv2", "192.168.137.10": "qmhv1", "192.168.137.19": "QSH"}
QMHV2, QMHV1, QSH = HANDS


def hand_arguments(hands=HANDS):
    return [argument for ip, kind in hands.items() for argument in ("--hand", kind + "@" + ip)]


def in_private_namespace():
    """Loopback is the only interface, and it carries the hand subnet."""
    links = subprocess.run(["ip", "-o", "link", "show"], capture_output=True, text=True).stdout.splitlines()
    if [line.split(":")[1].strip() for line in links] != ["lo"]:
        return False
    addresses = subprocess.run(["ip", "-o", "addr", "show", "dev", "lo"], capture_output=True, text=True).stdout
    return "192.168.137.1/24" in addresses


class Simulator:
    """The simulator program with these arguments (and this scenario, written
    to a file) until stopped; ready once it says so. What it prints later is
    read and dropped, so that a full pipe never stalls it."""

    def __init__(self, program, *args, scenario=None):
        if scenario is not None:
            self.scenario = tempfile.NamedTemporaryFile("w", suffix=".json")
            json.dump(scenario, self.scenario)
            self.scenario.flush()
            args = (*args, "--scenario", self.scenario.name)
        self.process = subprocess.Popen([program, *args], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        text=True)
        line = self.process.stdout.readline()
        if "hands ready" not in line:
            self.stop()
            raise RuntimeError("dexhand-sim did not start: " + line + self.process.stdout.read())
        threading.Thread(target=self.process.stdout.read, daemon=True).start()

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(timeout=10)


def wait_for(predicate, timeout=10.0, what="condition"):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + what)


def main(groups, settings, *options):
    """Runs the test cases of the group given by --group, inside the private
    namespace only, once --dexhand, --sim and options (each "." unless given)
    are in settings (the caller's globals) as DEXHAND, SIM, ARTIFACTS..."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--group", choices=sorted(groups), required=True)
    parser.add_argument("--dexhand", required=True)
    parser.add_argument("--sim", required=True)
    for option in options:
        parser.add_argument(option, default=".")
    parsed = parser.parse_args()
    if not in_private_namespace():
        print(sys.argv[0] + ": run me through tests/netns/run-in-netns", file=sys.stderr)
        return 2
    settings.update({name.upper(): value for name, value in vars(parsed).items()})
    suite = unittest.TestSuite(unittest.defaultTestLoader.loadTestsFromTestCase(case) for case in groups[parsed.group])
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    return 0 if result.wasSuccessful() and result.testsRun > 0 else 1
