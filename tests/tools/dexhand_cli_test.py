#!/usr/bin/env python3
"""dexhand and dexhand-sim as processes: every subcommand's success path and a
failure path, the --json documents, exit statuses, and where the library's
lines go. Runs only inside the private network namespace of
tests/netns/run-in-netns.

Every dexhand call listens one second for discovery, so the calls are made up
front, grouped into sequences that run side by side (calls that change a
hand's state stay in order within one sequence), and the tests then judge the
recorded runs.

  run-in-netns dexhand_cli_test.py --group hands|faults --dexhand PATH --sim PATH
"""

import argparse
import concurrent.futures
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from sim_process import Simulator, in_private_namespace

QMHV2 = "192.168.137.39"
QMHV1 = "192.168.137.10"
QSH = "192.168.137.19"
NOISY_QMHV2 = "192.168.137.40"
UNSERVED = "192.168.137.12"  # answers discovery with a type its kind does not have

# The tool's exit statuses.
OK, FAILED, USAGE, NOT_FOUND, TIMEOUT, UNSUPPORTED = 0, 1, 2, 3, 4, 5

TWELVE = ["170"] * 11 + ["-1"]

DEXHAND = ""
SIM = ""
GROUP = ""
RUNS = {}


class Run:
    def __init__(self, args, completed):
        self.args = args
        self.status = completed.returncode
        self.out = completed.stdout
        self.err = completed.stderr

    def json(self):
        return json.loads(self.out)

    def __repr__(self):
        return "dexhand %s -> %s\nstdout: %s\nstderr: %s" % (" ".join(self.args), self.status, self.out, self.err)


def dexhand(*args, stdin=None):
    completed = subprocess.run([DEXHAND, *args], input=stdin, capture_output=True, text=True, timeout=60)
    return Run(list(args), completed)


def simulator(*args):
    return Simulator(SIM, "--calm", *args)


def run_sequences(sequences, retry_time_outs=False):
    """Each sequence is a list of (name, thunk); sequences run side by side.

    With retry_time_outs, a call that timed out is made again (twice at most):
    for hands that always answer, a time-out only says that a loaded machine
    kept the simulator from answering within a 100 ms budget."""
    def run(sequence):
        for name, thunk in sequence:
            RUNS[name] = thunk()
            for _ in range(2 if retry_time_outs else 0):
                if RUNS[name].status != TIMEOUT:
                    break
                RUNS[name] = thunk()
    # Discovery keeps a core busy for its second: two at a time on small machines.
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        for future in [pool.submit(run, sequence) for sequence in sequences]:
            future.result()


def watch_until_interrupted():
    process = subprocess.Popen([DEXHAND, "--json", "watch", QMHV1, "--rate", "10"], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    time.sleep(2.0)  # one second of discovery, then frames
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=20)
    return Run(["--json", "watch", QMHV1, "(SIGINT)"], subprocess.CompletedProcess([], process.returncode, out, err))


def write_file(directory, name, text):
    path = os.path.join(directory, name)
    with open(path, "w") as file:
        file.write(text)
    return path


# ---------------------------------------------------------------------------
# Three well-behaved hands, one of each kind

def record_hands(directory):
    scenario = write_file(directory, "hands.json", json.dumps({"hands": [
        {"hand": "qmhv2@" + QMHV2, "type": "QMH-12L", "driver_version": "1.3.0.0", "firmware_version": "2.1.0.0"},
        {"hand": "qmhv1@" + QMHV1, "type": "QMH-6R"},
        {"hand": "QSH@" + QSH},
        {"hand": "qmhv1@" + UNSERVED, "type": "QMH-9X"},
    ]}))
    config = write_file(directory, "config.json", '{"method":"SET","cmd":"/config","speed_limit":120}\n')
    not_json = write_file(directory, "broken.json", '{"speed_limit":\n')
    sim = simulator("--scenario", scenario)
    try:
        run_sequences([
            [  # the qmhv2 hand's motion, calibration and kind checks
                ("move_wrong_count", lambda: dexhand("move", QMHV2, "1", "2", "3")),
                ("move", lambda: dexhand("--json", "move", QMHV2, *TWELVE)),
                ("pos_qmhv2", lambda: dexhand("--json", "pos", QMHV2)),
                ("calibrate_qmhv2", lambda: dexhand("--json", "calibrate", QMHV2)),
                ("reboot_qmhv2", lambda: dexhand("reboot", QMHV2)),
                ("pvc_qmhv2", lambda: dexhand("pvc", QMHV2)),
                ("clear_qmhv2", lambda: dexhand("clear-errors", QMHV2)),
            ],
            [  # the qmhv1 hand
                ("fast_move_qmhv1", lambda: dexhand("fast-move", QMHV1, *["0.5"] * 6)),
                ("move_out_of_range", lambda: dexhand("move", QMHV1, "0", "0", "0", "0", "0", "2")),
                ("pos_qmhv1", lambda: dexhand("--json", "pos", QMHV1)),
                ("calibrate_qmhv1", lambda: dexhand("calibrate", QMHV1)),
                ("tactile_qmhv1", lambda: dexhand("tactile", QMHV1)),
                ("reboot_qmhv1", lambda: dexhand("--json", "reboot", QMHV1)),
                ("watch_qmhv1_interrupted", watch_until_interrupted),
            ],
            [  # reads
                ("discover_json", lambda: dexhand("--json", "discover")),
                ("discover_text", lambda: dexhand("discover")),
                ("errors_qmhv2", lambda: dexhand("--json", "errors", QMHV2)),
                ("tactile_qmhv2", lambda: dexhand("--json", "tactile", QMHV2)),
                ("tactile_text", lambda: dexhand("tactile", QMHV2)),
                ("pvc_qsh", lambda: dexhand("--json", "pvc", QSH)),
                ("clear_qsh", lambda: dexhand("--json", "clear-errors", QSH)),
            ],
            [  # configuration
                ("config_get_qsh", lambda: dexhand("--json", "config", "get", QSH)),
                ("config_set_stdin", lambda: dexhand("config", "set", QMHV2, "-", stdin=open(config).read())),
                ("config_get_qmhv2", lambda: dexhand("--json", "config", "get", QMHV2)),
                ("config_set_file", lambda: dexhand("--json", "config", "set", QSH, config)),
                ("config_set_not_json", lambda: dexhand("config", "set", QMHV2, not_json)),
                ("config_set_missing", lambda: dexhand("config", "set", QMHV2, os.path.join(directory, "none"))),
            ],
            [  # watch and arguments
                ("watch_qmhv2", lambda: dexhand("--json", "watch", QMHV2, "--count", "3", "--rate", "20")),
                ("watch_bad_rate", lambda: dexhand("watch", QMHV2, "--rate", "0")),
                ("pos_invalid_address", lambda: dexhand("--json", "pos", "192.168.137.300")),
                ("pos_unknown_hand", lambda: dexhand("--json", "pos", "192.168.137.50")),
                ("pos_unserved_device", lambda: dexhand("pos", UNSERVED)),
                ("bad_option", lambda: dexhand("--json", "pos", QMHV2, "--bogus")),
            ],
        ], retry_time_outs=True)
        # Commands for all hands last: they change every hand's state.
        run_sequences([[
            ("disable_all", lambda: dexhand("--json", "disable")),
            ("enable_all", lambda: dexhand("--json", "enable")),
            ("calibrate_all", lambda: dexhand("--json", "calibrate")),
        ]], retry_time_outs=True)
    finally:
        sim.stop()


class Recorded(unittest.TestCase):
    """Judges the runs recorded up front."""

    def run_of(self, name, status):
        run = RUNS[name]
        self.assertEqual(run.status, status, run)
        return run


class Hands(Recorded):
    def test_discover_lists_each_hand_with_its_identity(self):
        hands = {hand["ip"]: hand for hand in self.run_of("discover_json", OK).json()["hands"]}
        self.assertEqual({ip: (h["name"], h["type"]) for ip, h in hands.items()},
                         {QMHV2: ("qmhv2", "QMH-12L"), QMHV1: ("qmhv1", "QMH-6R"), QSH: ("QSH", "QSH-6")})
        self.assertEqual((hands[QMHV2]["driver_version"], hands[QMHV2]["hardware_version"]), ("1.3.0.0", "2.1.0.0"))

    def test_discover_prints_a_table(self):
        lines = self.run_of("discover_text", OK).out.splitlines()
        self.assertEqual(lines[0].split(), ["ADDRESS", "NAME", "TYPE", "DRIVER", "HARDWARE"])
        self.assertEqual(sorted(line.split()[0] for line in lines[1:]), sorted([QMHV2, QMHV1, QSH]))

    def test_positions_per_kind(self):
        self.assertEqual(len(self.run_of("pos_qmhv2", OK).json()["positions"]), 12)
        self.assertEqual(len(self.run_of("pos_qmhv1", OK).json()["positions"]), 6)

    def test_a_move_reaches_the_hand(self):
        self.assertEqual(self.run_of("move", OK).json()["result"], "success")
        positions = RUNS["pos_qmhv2"].json()["positions"]
        self.assertGreater(positions[0], 0)      # travelling toward 170
        self.assertEqual(positions[11], 0)       # -1: this joint stays

    def test_fast_move_reaches_the_qmhv1_hand(self):
        self.run_of("fast_move_qmhv1", OK)
        for position in RUNS["pos_qmhv1"].json()["positions"]:
            self.assertAlmostEqual(position, 0.5, places=2)

    def test_wrong_number_of_positions_is_a_usage_error(self):
        self.assertIn("takes 12 positions", self.run_of("move_wrong_count", USAGE).err)

    def test_a_position_outside_the_kind_s_range_is_refused_and_not_sent(self):
        self.assertIn("joint 5: 2 is outside 0 to 1", self.run_of("move_out_of_range", USAGE).err)
        # Had the zeros been sent, the joints would have left 0.5.
        for position in RUNS["pos_qmhv1"].json()["positions"]:
            self.assertAlmostEqual(position, 0.5, places=2)

    def test_kinds_that_lack_an_operation(self):
        for name in ("reboot_qmhv2", "pvc_qmhv2", "clear_qmhv2", "calibrate_qmhv1", "tactile_qmhv1"):
            with self.subTest(name):
                # The library's line about the unserved device may come first.
                self.assertRegex(self.run_of(name, UNSUPPORTED).err,
                                 r"(?m)^dexhand: 192\.168\.137\.\d+ is a \w+ hand, which ")

    def test_reboot_of_a_qmhv1_hand(self):
        self.assertEqual(self.run_of("reboot_qmhv1", OK).json(),
                         {"ip": QMHV1, "name": "qmhv1", "operation": "reboot", "result": "success"})

    def test_calibration_of_one_hand(self):
        self.assertEqual(self.run_of("calibrate_qmhv2", OK).json()["hands"],
                         [{"ip": QMHV2, "name": "qmhv2", "result": "success"}])

    def test_commands_for_all_hands_skip_kinds_without_them(self):
        expected = {
            "disable_all": {QMHV2: "success", QMHV1: "success", QSH: "unsupported"},
            "enable_all": {QMHV2: "success", QMHV1: "unsupported", QSH: "unsupported"},
            "calibrate_all": {QMHV2: "success", QMHV1: "skipped", QSH: "skipped"},
        }
        for name, results in expected.items():
            with self.subTest(name):
                hands = self.run_of(name, OK).json()["hands"]
                self.assertEqual({hand["ip"]: hand["result"] for hand in hands}, results)

    def test_error_codes(self):
        codes = self.run_of("errors_qmhv2", OK).json()["codes"]
        self.assertTrue(codes and all(isinstance(code, int) and code >= 0 for code in codes), codes)

    def test_clear_errors(self):
        self.assertEqual(self.run_of("clear_qsh", OK).json()["result"], "success")

    def test_pvc_has_three_lists_of_six(self):
        document = self.run_of("pvc_qsh", OK).json()
        self.assertEqual([len(document[key]) for key in ("positions", "velocities", "currents")], [6, 6, 6])

    def test_tactile_matrix(self):
        document = self.run_of("tactile_qmhv2", OK).json()
        self.assertGreater(document["rows"], 0)
        self.assertEqual({len(row) for row in document["matrix"]}, {96})
        self.assertTrue(all(0 <= cell <= 255 for row in document["matrix"] for cell in row))

    def test_tactile_grid_without_a_terminal_has_no_escapes(self):
        out = self.run_of("tactile_text", OK).out
        self.assertIn("row  0", out)
        self.assertNotIn("\033", out)

    def test_configuration_read(self):
        self.assertEqual(self.run_of("config_get_qsh", OK).json()["config"]["ip"], QSH)

    def test_configuration_written_then_read_back(self):
        self.run_of("config_set_stdin", OK)
        self.assertEqual(self.run_of("config_get_qmhv2", OK).json()["config"]["speed_limit"], 120)
        self.assertEqual(self.run_of("config_set_file", OK).json()["result"], "success")

    def test_configuration_files_that_cannot_be_sent(self):
        self.assertIn("not a JSON object", self.run_of("config_set_not_json", USAGE).err)
        self.assertIn("cannot read", self.run_of("config_set_missing", USAGE).err)

    def test_watch_counts_frames_with_the_tactile_matrix(self):
        frames = self.run_of("watch_qmhv2", OK).json()["frames"]
        self.assertEqual(len(frames), 3)
        self.assertEqual({(len(frame["positions"]), len(frame["matrix"]) > 0) for frame in frames}, {(12, True)})

    def test_watch_stops_on_sigint_with_its_frames(self):
        frames = self.run_of("watch_qmhv1_interrupted", OK).json()["frames"]
        self.assertGreater(len(frames), 0)
        self.assertNotIn("matrix", frames[0])

    def test_usage_errors(self):
        self.run_of("watch_bad_rate", USAGE)
        self.assertEqual(self.run_of("bad_option", USAGE).json()["error"]["exit_code"], USAGE)

    def test_invalid_address_text(self):
        self.assertEqual(self.run_of("pos_invalid_address", USAGE).json()["error"]["exit_code"], USAGE)

    def test_address_of_no_discovered_hand(self):
        self.assertEqual(self.run_of("pos_unknown_hand", NOT_FOUND).json()["error"]["exit_code"], NOT_FOUND)

    def test_a_device_the_library_does_not_serve_is_left_out_and_named(self):
        skipped = self.run_of("discover_json", OK).json()["skipped"]
        self.assertEqual([(device["ip"], device["type"]) for device in skipped], [(UNSERVED, "QMH-9X")])
        self.assertIn("left out", self.run_of("pos_unserved_device", NOT_FOUND).err)


# ---------------------------------------------------------------------------
# No hands, slow hands and a hand that answers with noise first

def record_faults(directory):
    RUNS["no_hand"] = dexhand("--json", "discover")
    # Answers (discovery too) come 600 ms late: discovered within its second,
    # but too late for the 100, 150 and 500 ms budgets of the commands below.
    scenario = write_file(directory, "faults.json", json.dumps({"hands": [
        {"hand": "qmhv2@" + QMHV2, "faults": {"delay_ms": 600}},
        {"hand": "qmhv1@" + QMHV1, "faults": {"delay_ms": 600}},
        {"hand": "QSH@" + QSH, "faults": {"delay_ms": 600}},
        {"hand": "qmhv2@" + NOISY_QMHV2, "faults": {"garbage": ["noise"]}},
    ]}))
    config = write_file(directory, "config.json", '{"method":"SET","cmd":"/config","speed_limit":120}')
    sim = simulator("--scenario", scenario)
    try:
        run_sequences([
            [("move_json", lambda: dexhand("--json", "move", QMHV2, *TWELVE)),
             ("move_quiet", lambda: dexhand("--quiet", "move", QMHV2, *TWELVE))],
            [("move_verbose", lambda: dexhand("-v", "move", QMHV2, *TWELVE)),
             ("errors_qmhv1", lambda: dexhand("--json", "errors", QMHV1)),
             ("pvc_qmhv1", lambda: dexhand("--json", "pvc", QMHV1))],
            [("clear_errors_qsh", lambda: dexhand("--json", "clear-errors", QSH))],
            [("config_set_noisy", lambda: dexhand("config", "set", NOISY_QMHV2, config)),
             ("enable_all", lambda: dexhand("--json", "enable"))],
        ])
    finally:
        sim.stop()


class Faults(Recorded):
    def test_no_hand_found(self):
        self.assertEqual(self.run_of("no_hand", NOT_FOUND).json()["error"]["exit_code"], NOT_FOUND)

    def test_json_output_stays_one_document_while_the_library_prints(self):
        run = self.run_of("move_json", TIMEOUT)
        self.assertEqual(run.json()["error"]["exit_code"], TIMEOUT)
        self.assertIn("DEVICE RECVFROM: %s, TIMEOUT" % QMHV2, run.err)

    def test_quiet_leaves_only_the_tool_s_message(self):
        run = self.run_of("move_quiet", TIMEOUT)
        self.assertEqual(run.err, "dexhand: %s (qmhv2) did not answer: move timed out\n" % QMHV2)
        self.assertEqual(run.out, "")

    def test_verbose_prefixes_library_lines_with_their_level(self):
        self.assertIn("[warning] DEVICE RECVFROM: %s, TIMEOUT\n" % QMHV2, self.run_of("move_verbose", TIMEOUT).err)

    def test_a_timed_out_error_read_is_not_reported_as_codes(self):
        # The qmhv1 protocol leaves the code 1 behind after a time-out.
        self.assertNotIn("codes", self.run_of("errors_qmhv1", TIMEOUT).json())

    def test_reads_and_commands_of_a_silent_hand_time_out(self):
        for name in ("pvc_qmhv1", "clear_errors_qsh"):
            with self.subTest(name):
                self.assertEqual(self.run_of(name, TIMEOUT).json()["error"]["exit_code"], TIMEOUT)

    def test_a_reply_the_library_cannot_use_is_a_failure(self):
        self.assertIn("failed on %s" % NOISY_QMHV2, self.run_of("config_set_noisy", FAILED).err)

    def test_all_hands_go_on_after_a_failure(self):
        # The noisy hand answers discovery first, so its failure decides the status.
        hands = self.run_of("enable_all", FAILED).json()["hands"]
        self.assertEqual({hand["ip"]: hand["result"] for hand in hands},
                         {NOISY_QMHV2: "failure", QMHV2: "timeout", QMHV1: "unsupported", QSH: "unsupported"})


def main():
    global DEXHAND, SIM, GROUP
    parser = argparse.ArgumentParser()
    parser.add_argument("--group", choices=["hands", "faults"], required=True)
    parser.add_argument("--dexhand", required=True)
    parser.add_argument("--sim", required=True)
    options = parser.parse_args()
    DEXHAND, SIM, GROUP = options.dexhand, options.sim, options.group
    if not in_private_namespace():
        print("dexhand_cli_test: refusing to run outside the private network namespace of "
              "tests/netns/run-in-netns", file=sys.stderr)
        return 1
    with tempfile.TemporaryDirectory() as directory:
        (record_hands if GROUP == "hands" else record_faults)(directory)
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(Hands if GROUP == "hands" else Faults)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    return 0 if result.wasSuccessful() and result.testsRun > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
