import logging
import subprocess
import sys
import threading
import time

import pytest

import tessaro_dexhand
from conftest import HANDS, ip_of

JOINTS = {"qmhv1": 6, "qmhv2": 12, "QSH": 6}


def test_discovery_registers_every_hand_with_its_name_and_type(client):
    assert sorted(client.get_ip_list()) == sorted(HANDS)
    for ip, kind in HANDS.items():
        assert client.get_name(ip) == kind
        kind_type = client.get_type(ip)
        assert isinstance(kind_type, str) and kind_type
    assert client.hand_manager.hand_ips == client.get_ip_list()


def test_get_pos_gives_a_float_per_joint(client):
    for ip, kind in HANDS.items():
        positions = client.get_pos(ip)
        assert isinstance(positions, list)
        assert len(positions) == JOINTS[kind], kind
        assert all(isinstance(value, float) for value in positions)


def test_set_pos_reaches_the_commanded_positions(client):
    ip = ip_of("qmhv2")
    target = [0.25 * (j % 4) for j in range(12)]
    assert client.set_pos(ip, target) == tessaro_dexhand.SUCCESS
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        positions = client.get_pos(ip)
        if positions == pytest.approx(target, abs=1e-3):
            break
        time.sleep(0.05)
    assert positions == pytest.approx(target, abs=1e-3)


def test_tactile_rows_are_bytes(client):
    rows = client.get_ts_matrix(ip_of("qmhv2"))
    assert rows
    assert all(isinstance(row, bytes) and len(row) == 96 for row in rows)
    assert client.get_ts_matrix(ip_of("qmhv1")) == []


def test_refused_argument_is_an_error_record_and_nothing_on_stdout(client, caplog, capfd):
    with caplog.at_level(logging.DEBUG, logger="tessaro_dexhand"):
        assert client.get_pos("192.168.137.300") == []
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        ("tessaro_dexhand", logging.ERROR,
         "[Error] [dexhand][get_pos(std::string ip)] Invalid IP: 192.168.137.300")]
    assert capfd.readouterr().out == ""


def test_trace_lines_are_debug_records(client, caplog, capfd):
    with caplog.at_level(logging.DEBUG, logger="tessaro_dexhand"):
        client.get_pvc(ip_of("QSH"))
    traces = [r for r in caplog.records if r.getMessage().startswith("file = hand/protocols/inspire.cpp")]
    assert traces and all(r.levelno == logging.DEBUG for r in traces)
    assert capfd.readouterr().out == ""


def test_other_threads_run_while_init_listens(simulator):
    hand = tessaro_dexhand.DexHand()
    ticks = 0
    done = threading.Event()

    def count():
        nonlocal ticks
        while not done.is_set():
            ticks += 1
            time.sleep(0.005)

    counter = threading.Thread(target=count)
    counter.start()
    time.sleep(0.02)  # let the counter start before the call
    before = ticks
    try:
        assert hand.init() == tessaro_dexhand.SUCCESS  # one second of listening
        during = ticks - before
    finally:
        done.set()
        counter.join()
    assert during > 20  # a held GIL would leave it at 0 or 1; a free one lets it tick ~150 times


def test_handler_is_removed_at_exit():
    # A line printed from an exit hook that runs after the module's own (hooks
    # run last-registered first) must find the default handler again, not a
    # finalising interpreter.
    script = (
        "import atexit\n"
        "atexit.register(lambda: hand.isValidIP('x') or hand.get_name('x'))\n"
        "import tessaro_dexhand\n"
        "hand = tessaro_dexhand.DexHand()\n"
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=30)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "[Error] [dexhand][get_name(std::string ip)] Invalid IP: x\n"


def test_status_constants_and_texts():
    assert (tessaro_dexhand.SUCCESS, tessaro_dexhand.FAILURE, tessaro_dexhand.TIMEOUT) == (0, -1, -2)
    assert [tessaro_dexhand.status_text(s) for s in (0, -1, -2, 7)] == [
        "success", "failure", "timeout", "unknown status"]
