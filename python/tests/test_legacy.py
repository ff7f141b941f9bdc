"""What the typed tests do not cover: the integer client LegacyDexHand, the
log handler and the released GIL."""
import concurrent.futures
import logging
import subprocess
import sys
import time

import tessaro_dexhand
from conftest import HANDS, SLOW, ip_of


def test_legacy_client_shares_the_typed_clients_registry_and_keeps_it_after_close(simulator):
    client = tessaro_dexhand.DexHand()
    client.discover()
    legacy = client.legacy
    client.close()
    assert sorted(legacy.get_ip_list()) == sorted([*HANDS, SLOW])
    positions = legacy.get_pos(ip_of("QSH"))
    assert len(positions) == 6 and all(isinstance(value, float) for value in positions)
    assert legacy.get_pos(SLOW) == []  # the integer client's failure: an empty list
    assert all(isinstance(row, bytes) for row in legacy.get_ts_matrix(ip_of("qmhv2")))


def test_library_lines_are_records_of_their_level_and_nothing_on_stdout(hands, caplog, capfd):
    with caplog.at_level(logging.DEBUG, logger="tessaro_dexhand"):
        assert hands.legacy.get_pos("192.168.137.300") == []
        hands.velocities(ip_of("QSH"))
    traces = [r for r in caplog.records if r.getMessage().startswith("file = hand/")]
    assert traces and all(r.levelno == logging.DEBUG for r in traces)
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records if r not in traces] == [
        ("tessaro_dexhand", logging.ERROR,
         "[Error] [dexhand][get_pos(std::string ip)] Invalid IP: 192.168.137.300")]
    assert capfd.readouterr().out == ""


def test_other_threads_run_while_discovery_listens(simulator):
    client = tessaro_dexhand.DexHand()  # not a with block: that would discover at once
    with concurrent.futures.ThreadPoolExecutor(max_workers=1) as pool:
        discovery = pool.submit(client.discover)
        ticks = 0
        while not discovery.done():  # one second of listening
            ticks += 1
            time.sleep(0.005)
    client.close()
    assert len(discovery.result()) == len(HANDS) + 1
    assert ticks > 20  # a held GIL would leave it at 0 or 1; a free one lets it tick ~150 times


def test_handler_is_removed_at_exit():
    # A line printed from an exit hook that runs after the module's own (hooks
    # run last-registered first) must find the default handler again, not a
    # finalising interpreter.
    script = (
        "import atexit\n"
        "atexit.register(lambda: hand.isValidIP('x') or hand.get_name('x'))\n"
        "import tessaro_dexhand\n"
        "hand = tessaro_dexhand.LegacyDexHand()\n"
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=30)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "[Error] [dexhand][get_name(std::string ip)] Invalid IP: x\n"
