"""What the tool tests share: the check that they run inside the private
network namespace, and dexhand-sim as a child process."""

import signal
import subprocess
import threading


def in_private_namespace():
    """Loopback is the only interface, and it carries the hand subnet."""
    links = subprocess.run(["ip", "-o", "link", "show"], capture_output=True, text=True).stdout.splitlines()
    if [line.split(":")[1].strip() for line in links] != ["lo"]:
        return False
    addresses = subprocess.run(["ip", "-o", "addr", "show", "dev", "lo"], capture_output=True, text=True).stdout
    return "192.168.137.1/24" in addresses


class Simulator:
    """The simulator program with these arguments until stopped; ready once it
    says so. What it prints later is read and dropped, so that a full pipe
    never stalls it."""

    def __init__(self, program, *args):
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
