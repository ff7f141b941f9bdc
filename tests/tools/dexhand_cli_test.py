#!/usr/bin/env python3
"""dexhand and dexhand-sim as processes, inside the private network namespace
of tests/netns/run-in-netns: each subcommand's success path and a failure
path, the --json documents, every exit status, and where the library's lines
go. (Which status gives which exit status is dexhand_serve_checks_test's.)

Every dexhand call listens one second for discovery, so the calls are made up
front, in sequences that run side by side (calls that change a hand stay in
order within one), and the tests then judge the recorded runs.

  run-in-netns dexhand_cli_test.py --group hands|faults --dexhand PATH --sim PATH
"""

import concurrent.futures
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from sim_process import HANDS, QMHV1, QMHV2, QSH, Simulator, main

NOISY_QMHV2 = "192.168.137.40"
UNSERVED = "192.168.137.12"  # answers discovery with a type its kind does not have

# The tool's exit statuses.
OK, FAILED, USAGE, NOT_FOUND, TIMEOUT, UNSUPPORTED = 0, 1, 2, 3, 4, 5

TWELVE = ["170"] * 11 + ["-1"]
CONFIG = '{"method":"SET","cmd":"/config","speed_limit":120}\n'

DEXHAND = SIM = ""  # main() sets them from the command line
RUNS = {}


def dexhand(*args, stdin=None):
    return subprocess.run([DEXHAND, *args], input=stdin, capture_output=True, text=True, timeout=60)


def document(run):
    return json.loads(run.stdout)


def watch_until_interrupted(*args, stdin=None):
    process = subprocess.Popen([DEXHAND, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    time.sleep(2.0)  # one second of discovery, then frames
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=20)
    return subprocess.CompletedProcess([DEXHAND, *args, "(SIGINT)"], process.returncode, out, err)


class Call:
    """One dexhand run: its arguments, the exit status it must end with, and
    optionally a check its output must pass."""

    def __init__(self, name, status, *args, check=None, stdin=None, run=dexhand):
        self.name, self.status, self.args = name, status, args
        self.check, self.stdin, self.run = check, stdin, run

    def __call__(self):
        return self.run(*self.args, stdin=self.stdin)


def in_err(text):
    return lambda run: text in run.stderr


def succeeded(run):
    return document(run)["result"] == "success"


def exit_code_in_json(code):
    return lambda run: document(run)["error"]["exit_code"] == code


def record(sequences, retry_time_outs=False):
    """Sequences of Calls run side by side, each in order.

    With retry_time_outs, a call that timed out is made again (twice at most):
    for hands that always answer, a time-out only says that a loaded machine
    kept the simulator from answering within a 100 ms budget."""
    def run(sequence):
        for call in sequence:
            RUNS[call.name] = call()
            for _ in range(2 if retry_time_outs else 0):
                if RUNS[call.name].returncode != TIMEOUT:
                    break
                RUNS[call.name] = call()
    # Discovery keeps a core busy for its second: two at a time on small machines.
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        for future in [pool.submit(run, sequence) for sequence in sequences]:
            future.result()
    return [call for sequence in sequences for call in sequence]


# ---------------------------------------------------------------------------
# Three well-behaved hands, one of each kind

def record_hands(directory):
    scenario = {"hands": [
        {"hand": "qmhv2@" + QMHV2, "type": "QMH-12L", "driver_version": "1.3.0.0", "firmware_version": "2.1.0.0"},
        {"hand": "qmhv1@" + QMHV1, "type": "QMH-6R"},
        {"hand": "QSH@" + QSH},
        {"hand": "qmhv1@" + UNSERVED, "type": "QMH-9X"},
    ]}
    config = os.path.join(directory, "config.json")
    with open(config, "w") as file:
        file.write(CONFIG)
    sim = Simulator(SIM, "--calm", scenario=scenario)
    try:
        calls = record([
            [  # the qmhv2 hand's motion, calibration and kind checks
                Call("move", OK, "--json", "move", QMHV2, *TWELVE, check=succeeded),
                Call("pos_qmhv2", OK, "--json", "pos", QMHV2),
                Call("calibrate_qmhv2", OK, "--json", "calibrate", QMHV2,
                     check=lambda r: document(r)["hands"] == [{"ip": QMHV2, "name": "qmhv2", "result": "success"}]),
                Call("reboot_qmhv2", UNSUPPORTED, "reboot", QMHV2,
                     check=in_err("dexhand: %s is a qmhv2 hand, which " % QMHV2)),
            ],
            [  # the qmhv1 hand
                Call("fast_move_qmhv1", OK, "fast-move", QMHV1, *["0.5"] * 6),
                Call("move_out_of_range", USAGE, "move", QMHV1, "0", "0", "0", "0", "0", "2",
                     check=in_err("joint 5: 2 is outside 0 to 1")),
                # Had the zeros of the refused move been sent, the joints would have left 0.5.
                Call("pos_qmhv1", OK, "--json", "pos", QMHV1,
                     check=lambda r: [round(p, 2) for p in document(r)["positions"]] == [0.5] * 6),
                Call("reboot_qmhv1", OK, "--json", "reboot", QMHV1, check=lambda r: document(r) == {
                    "ip": QMHV1, "name": "qmhv1", "operation": "reboot", "result": "success"}),
                Call("watch_qmhv1_interrupted", OK, "--json", "watch", QMHV1, "--rate", "10",
                     run=watch_until_interrupted, check=lambda r: "matrix" not in document(r)["frames"][0]),
            ],
            [  # reads
                Call("discover_json", OK, "--json", "discover"),
                Call("discover_text", OK, "discover", check=lambda r: r.stdout.split()[:5] == [
                    "ADDRESS", "NAME", "TYPE", "DRIVER", "HARDWARE"] and all(ip in r.stdout for ip in HANDS)),
                Call("errors_qmhv2", OK, "--json", "errors", QMHV2, check=lambda r: document(r)["codes"]
                     and all(type(code) is int and code >= 0 for code in document(r)["codes"])),
                # No escapes without a terminal.
                Call("tactile_text", OK, "tactile", QMHV2,
                     check=lambda r: "row  0" in r.stdout and "\033" not in r.stdout),
                Call("pvc_qsh", OK, "--json", "pvc", QSH,
                     check=lambda r: [len(document(r)[key]) for key in ("positions", "velocities", "currents")]
                     == [6, 6, 6]),
                Call("clear_qsh", OK, "--json", "clear-errors", QSH, check=succeeded),
            ],
            [  # configuration
                Call("config_set_stdin", OK, "config", "set", QMHV2, "-", stdin=CONFIG),
                Call("config_get_qmhv2", OK, "--json", "config", "get", QMHV2,
                     check=lambda r: document(r)["config"]["speed_limit"] == 120),
                Call("config_set_file", OK, "--json", "config", "set", QSH, config, check=succeeded),
                Call("config_set_not_json", USAGE, "config", "set", QMHV2, "-", stdin='{"speed_limit":\n',
                     check=in_err("not a JSON object")),
                Call("config_set_missing", USAGE, "config", "set", QMHV2, os.path.join(directory, "none"),
                     check=in_err("cannot read")),
            ],
            [  # watch and arguments
                Call("watch_qmhv2", OK, "--json", "watch", QMHV2, "--count", "3", "--rate", "20",
                     check=lambda r: [(len(frame["positions"]), {len(row) for row in frame["matrix"]})
                                      for frame in document(r)["frames"]] == [(12, {96})] * 3),
                Call("bad_option", USAGE, "--json", "pos", QMHV2, "--bogus", check=exit_code_in_json(USAGE)),
                Call("pos_invalid_address", USAGE, "--json", "pos", "192.168.137.300", check=exit_code_in_json(USAGE)),
                Call("pos_unknown_hand", NOT_FOUND, "--json", "pos", "192.168.137.50",
                     check=exit_code_in_json(NOT_FOUND)),
                Call("pos_unserved_device", NOT_FOUND, "pos", UNSERVED, check=in_err("left out")),
            ],
        ], retry_time_outs=True)
        # Commands for all hands last: they change every hand's state.
        return calls + record([[
            Call("disable_all", OK, "--json", "disable"),
            Call("enable_all", OK, "--json", "enable"),
            Call("calibrate_all", OK, "--json", "calibrate"),
        ]], retry_time_outs=True)
    finally:
        sim.stop()


class Recorded(unittest.TestCase):
    """Judges the runs its record() makes up front."""

    @classmethod
    def setUpClass(cls):
        with tempfile.TemporaryDirectory() as directory:
            cls.calls = cls.record(directory)

    def test_each_call_exits_with_its_status_and_shows_what_it_must(self):
        for call in self.calls:
            with self.subTest(call.name):
                run = RUNS[call.name]
                self.assertEqual(run.returncode, call.status, run)
                if call.check:
                    self.assertTrue(call.check(run), run)

    def results(self, name):
        return {hand["ip"]: hand["result"] for hand in document(RUNS[name])["hands"]}


class Hands(Recorded):
    record = staticmethod(record_hands)

    def test_discover_lists_each_hand_with_its_identity_and_names_the_unserved_device(self):
        found = document(RUNS["discover_json"])
        hands = {hand["ip"]: hand for hand in found["hands"]}
        self.assertEqual({ip: (h["name"], h["type"]) for ip, h in hands.items()},
                         {QMHV2: ("qmhv2", "QMH-12L"), QMHV1: ("qmhv1", "QMH-6R"), QSH: ("QSH", "QSH-6")})
        self.assertEqual((hands[QMHV2]["driver_version"], hands[QMHV2]["hardware_version"]), ("1.3.0.0", "2.1.0.0"))
        self.assertEqual([(device["ip"], device["type"]) for device in found["skipped"]], [(UNSERVED, "QMH-9X")])

    def test_a_move_reaches_the_hand(self):
        positions = document(RUNS["pos_qmhv2"])["positions"]
        self.assertEqual(len(positions), 12)
        self.assertGreater(positions[0], 0)      # travelling toward 170
        self.assertEqual(positions[11], 0)       # -1: this joint stays

    def test_commands_for_all_hands_skip_kinds_without_them(self):
        self.assertEqual(self.results("disable_all"), {QMHV2: "success", QMHV1: "success", QSH: "unsupported"})
        self.assertEqual(self.results("enable_all"), {QMHV2: "success", QMHV1: "unsupported", QSH: "unsupported"})
        self.assertEqual(self.results("calibrate_all"), {QMHV2: "success", QMHV1: "skipped", QSH: "skipped"})


# ---------------------------------------------------------------------------
# No hands, slow hands and a hand that answers with noise first

def record_faults(directory):
    no_hand = record([[Call("no_hand", NOT_FOUND, "--json", "discover", check=exit_code_in_json(NOT_FOUND))]])
    # Answers (discovery too) come 600 ms late: discovered within its second,
    # but too late for the 100, 150 and 500 ms budgets of the commands below.
    scenario = {"hands": [
        {"hand": "qmhv2@" + QMHV2, "faults": {"delay_ms": 600}},
        {"hand": "qmhv1@" + QMHV1, "faults": {"delay_ms": 600}},
        {"hand": "QSH@" + QSH, "faults": {"delay_ms": 600}},
        {"hand": "qmhv2@" + NOISY_QMHV2, "faults": {"garbage": ["noise"]}},
    ]}
    timed_out = "DEVICE RECVFROM: %s, TIMEOUT" % QMHV2
    sim = Simulator(SIM, "--calm", scenario=scenario)
    try:
        return no_hand + record([
            [Call("move_json", TIMEOUT, "--json", "move", QMHV2, *TWELVE,  # one document while the library prints
                  check=lambda r: exit_code_in_json(TIMEOUT)(r) and timed_out in r.stderr),
             Call("move_quiet", TIMEOUT, "--quiet", "move", QMHV2, *TWELVE, check=lambda r: r.stdout == "" and
                  r.stderr == "dexhand: %s (qmhv2) did not answer: move timed out\n" % QMHV2)],
            [Call("move_verbose", TIMEOUT, "-v", "move", QMHV2, *TWELVE, check=in_err("[warning] %s\n" % timed_out))],
            [Call("config_set_noisy", FAILED, "config", "set", NOISY_QMHV2, "-", stdin=CONFIG,
                  check=in_err("failed on %s" % NOISY_QMHV2)),
             Call("enable_all", FAILED, "--json", "enable")],
        ])
    finally:
        sim.stop()


class Faults(Recorded):
    record = staticmethod(record_faults)

    def test_all_hands_go_on_after_a_failure(self):
        # The noisy hand answers discovery first, so its failure decides the status.
        self.assertEqual(self.results("enable_all"),
                         {NOISY_QMHV2: "failure", QMHV2: "timeout", QMHV1: "unsupported", QSH: "unsupported"})


if __name__ == "__main__":
    sys.exit(main({"hands": [Hands], "faults": [Faults]}, globals()))
