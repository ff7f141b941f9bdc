"""Simulated hands for the module's tests: the simulator program runs as a
subprocess inside the private network namespace that CTest gives the tests."""
import json
import os
import pathlib
import subprocess

import pytest

# One hand of each kind, by address.
HANDS = {
    "192.168.137.39": "qmhv2",
    "192.168.137.10": "qmhv1",
    "192.168.137.19": "QSH",
}
# A hand that answers discovery (one second of listening) but every request
# only after its kind's 100 ms budget: a time-out without a lost datagram.
SLOW = "192.168.137.11"
SLOW_KIND = "qmhv1"


def _inside_private_namespace():
    # The runner leaves loopback as the only interface, carrying the hand
    # subnet; anywhere else a datagram could reach a real hand.
    links = subprocess.run(["ip", "-o", "link", "show"], capture_output=True, text=True, check=False).stdout
    if [line.split(":")[1].strip() for line in links.splitlines()] != ["lo"]:
        return False
    out = subprocess.run(["ip", "-o", "-4", "addr", "show", "dev", "lo"],
                         capture_output=True, text=True, check=False).stdout
    return "192.168.137.1/24" in out


def pytest_sessionstart(session):
    if not _inside_private_namespace():
        pytest.exit("refusing to run: not inside tests/netns/run-in-netns", returncode=2)


@pytest.fixture(scope="session")
def simulator(tmp_path_factory):
    program = os.environ.get("DEXHAND_SIM", "dexhand-sim")
    if os.sep in program and not pathlib.Path(program).exists():
        pytest.fail(f"simulator program {program} not built")
    scenario = tmp_path_factory.mktemp("sim") / "slow.json"
    scenario.write_text(json.dumps({"hands": [{"hand": f"{SLOW_KIND}@{SLOW}", "faults": {"delay_ms": 400}}]}))
    args = [program, "--calm", "--scenario", str(scenario)]  # --calm: no random faults
    for ip, kind in HANDS.items():
        args += ["--hand", f"{kind}@{ip}"]
    process = subprocess.Popen(args, stdout=subprocess.PIPE, text=True)
    try:
        ready = process.stdout.readline()
        assert ready.strip() == f"dexhand-sim: {len(HANDS) + 1} hands ready", ready
        yield HANDS
    finally:
        process.terminate()
        process.wait(timeout=10)


@pytest.fixture(scope="session")
def hands(simulator):
    import tessaro_dexhand

    with tessaro_dexhand.DexHand() as client:
        yield client


def ip_of(kind):
    return next(ip for ip, k in HANDS.items() if k == kind)
