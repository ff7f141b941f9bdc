"""Simulated hands for the module's tests: the simulator program runs as a
subprocess inside the private network namespace that CTest gives the tests."""
import os
import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tests" / "tools"))
from sim_process import HANDS, Simulator, hand_arguments, in_private_namespace  # noqa: E402

# A hand that answers discovery (one second of listening) but every request
# only after its kind's 100 ms budget: a time-out without a lost datagram.
SLOW = "192.168.137.11"
SLOW_KIND = "qmhv1"


def pytest_sessionstart(session):
    # Anywhere else a datagram could reach a real hand.
    if not in_private_namespace():
        pytest.exit("refusing to run: not inside tests/netns/run-in-netns", returncode=2)


@pytest.fixture(scope="session")
def simulator():
    scenario = {"hands": [{"hand": f"{SLOW_KIND}@{SLOW}", "faults": {"delay_ms": 400}}]}
    # --calm: no random faults.
    sim = Simulator(os.environ.get("DEXHAND_SIM", "dexhand-sim"), "--calm", *hand_arguments(), scenario=scenario)
    yield HANDS
    sim.stop()


@pytest.fixture(scope="session")
def hands(simulator):
    import tessaro_dexhand

    with tessaro_dexhand.DexHand() as client:
        yield client


def ip_of(kind):
    return next(ip for ip, k in HANDS.items() if k == kind)
