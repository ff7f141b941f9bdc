#!/usr/bin/env python3
"""dexhand serve against dexhand-sim hands, inside the private network
namespace of tests/netns/run-in-netns.

  --group http      every endpoint's success and failure paths over HTTP
  --group browser   the page in headless Chromium: cards, sliders, heat map,
                    refused commands, and a screenshot (--artifacts DIR)

  run-in-netns dexhand_serve_test.py --group http|browser --dexhand PATH --sim PATH [--artifacts DIR]
"""

import argparse
import http.client
import socket
import threading
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request

from sim_process import Simulator, in_private_namespace

QMHV2 = "192.168.137.39"
QMHV1 = "192.168.137.10"
QSH = "192.168.137.19"
HANDS = [QMHV2, QMHV1, QSH]

DEXHAND = ""
SIM = ""
ARTIFACTS = ""


def simulator(*args):
    """dexhand-sim with the three hands."""
    return Simulator(SIM, *args, "--hand", "qmhv2@" + QMHV2, "--hand", "qmhv1@" + QMHV1, "--hand", "QSH@" + QSH)


class Dashboard:
    """dexhand serve on a free port; the URL it printed gives port and token."""

    def __init__(self, *args):
        self.err = tempfile.TemporaryFile(mode="w+")
        self.process = subprocess.Popen([DEXHAND, "serve", "--port", "0", *args], stdout=subprocess.PIPE,
                                        stderr=self.err, text=True)
        line = self.process.stdout.readline()
        if "token=" not in line:
            self.process.wait(timeout=10)
            self.err.seek(0)
            raise RuntimeError("dexhand serve did not start: " + line + self.err.read())
        self.url = line.split("open ", 1)[1].strip()
        self.base = self.url.split("/?", 1)[0]
        self.token = self.url.split("token=", 1)[1]
        self.origin = self.base

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        return self.process.wait(timeout=15)


def request(dashboard, method, path, body=None, token=True, headers=None):
    """(status, decoded JSON or text, response headers)"""
    all_headers = dict(headers or {})
    if token is True:
        all_headers["X-Dexhand-Token"] = dashboard.token
    elif token:
        all_headers["X-Dexhand-Token"] = token
    data = None
    if body is not None:
        data = (body if isinstance(body, str) else json.dumps(body)).encode()
        all_headers["Content-Type"] = "application/json"
    req = urllib.request.Request(dashboard.base + path, data=data, method=method, headers=all_headers)
    try:
        with urllib.request.urlopen(req, timeout=30) as response:
            status, text, got = response.status, response.read().decode(), response.headers
    except urllib.error.HTTPError as error:
        status, text, got = error.code, error.read().decode(), error.headers
    try:
        return status, json.loads(text), got
    except ValueError:
        return status, text, got


def command(dashboard, ip, action, body=None, **kwargs):
    """A command that changes a hand; made again when the hand timed out (a
    loaded machine can keep the simulator from answering in its budget)."""
    for _ in range(3):
        status, reply, _ = request(dashboard, "POST", "/api/hands/%s/%s" % (ip, action),
                                   {} if body is None else body, **kwargs)
        if status != 504:
            break
        time.sleep(0.3)
    return status, reply


def state_of(dashboard, ip):
    status, reply, _ = request(dashboard, "GET", "/api/state")
    assert status == 200, reply
    return next(hand for hand in reply["hands"] if hand["ip"] == ip)


def wait_for(predicate, timeout=10.0, what="condition"):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + what)


def dexhand_positions(ip):
    """The hand's positions as another client reads them."""
    for _ in range(3):
        run = subprocess.run([DEXHAND, "--json", "pos", ip], capture_output=True, text=True, timeout=60)
        if run.returncode == 0:
            return json.loads(run.stdout)["positions"]
    raise AssertionError("dexhand pos failed: " + run.stderr)


def close_to(values, targets, tolerance):
    return len(values) == len(targets) and all(abs(v - t) <= tolerance for v, t in zip(values, targets))


def raw(dashboard, head, body_chunks=(), timeout=20):
    """Sends a request's head and then as much of the body as the server takes;
    returns the status line's code (0 when the server answered nothing)."""
    host, port = dashboard.base[len("http://"):].rsplit(":", 1)
    connection = socket.create_connection((host.strip("[]"), int(port)), timeout=timeout)
    reply = b""
    try:
        connection.sendall(head)
        for chunk in body_chunks:
            connection.sendall(chunk)
    except OSError:
        pass  # the server answered and closed without reading the body
    try:
        while b"\r\n" not in reply:
            data = connection.recv(4096)
            if not data:
                break
            reply += data
    except OSError:
        pass
    connection.close()
    return int(reply.split(b" ")[1]) if reply.startswith(b"HTTP/") else 0


def resident_kb(process):
    with open("/proc/%d/status" % process.pid) as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS"))


# The faults of a hostile client: each row is a request and what it must get.

# ---------------------------------------------------------------------------
# HTTP: calm hands, which change only when commanded

class Http(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sim = simulator("--calm")
        cls.dashboard = Dashboard()
        wait_for(lambda: all(state_of(cls.dashboard, ip)["answering"] for ip in HANDS), what="first polls")

    @classmethod
    def tearDownClass(cls):
        cls.dashboard.stop()
        cls.sim.stop()

    def test_page_and_its_files_are_served_with_protective_headers(self):
        for path, kind in [("/", "text/html"), ("/app.js", "javascript"), ("/style.css", "text/css"),
                           ("/vendor/chart.min.js", "javascript")]:
            status, _, headers = request(self.dashboard, "GET", path, token=False)
            self.assertEqual(status, 200, path)
            self.assertIn(kind, headers["Content-Type"], path)
            self.assertEqual(headers["X-Frame-Options"], "DENY", path)
        status, _, _ = request(self.dashboard, "GET", "/../../etc/passwd", token=False)
        self.assertEqual(status, 404)

    def test_hands_lists_each_hand_with_its_kind(self):
        status, reply, _ = request(self.dashboard, "GET", "/api/hands")
        self.assertEqual(status, 200)
        hands = {hand["ip"]: hand for hand in reply["hands"]}
        self.assertEqual(sorted(hands), sorted(HANDS))
        self.assertEqual((hands[QMHV2]["name"], hands[QMHV2]["joints"]), ("qmhv2", 12))
        self.assertEqual((hands[QSH]["name"], hands[QSH]["joints"]), ("QSH", 6))
        self.assertIn("calibrate", hands[QMHV2]["operations"])
        self.assertNotIn("enable", hands[QMHV1]["operations"])

    def test_reads_need_the_token(self):
        # Which tokens match is the unit tests' (same_token); here, that every read asks for one.
        for path in ["/api/hands", "/api/state", "/api/hands/%s/config" % QSH, "/events"]:
            self.assertEqual(request(self.dashboard, "GET", path, token=False)[0], 401, path)
            self.assertEqual(request(self.dashboard, "GET", path, token=self.dashboard.token[:-1])[0], 401, path)
            self.assertEqual(request(self.dashboard, "GET", path + "?token=" + self.dashboard.token, token=False)[0],
                             401, path)

    def test_state_has_what_each_kind_reports(self):
        qmhv2, qmhv1 = state_of(self.dashboard, QMHV2), state_of(self.dashboard, QMHV1)
        self.assertEqual(len(qmhv2["positions"]), 12)
        self.assertEqual(len(qmhv2["matrix"][0]), 96)
        self.assertNotIn("velocities", qmhv2)
        self.assertEqual(len(qmhv1["velocities"]), 6)
        self.assertEqual(len(qmhv1["currents"]), 6)
        self.assertNotIn("matrix", qmhv1)
        self.assertIn("errors", wait_for(lambda: "errors" in state_of(self.dashboard, QSH)
                                         and state_of(self.dashboard, QSH), what="error codes"))

    def test_event_stream_sends_every_hands_state(self):
        req = urllib.request.Request(self.dashboard.base + "/events", headers={"X-Dexhand-Token": self.dashboard.token})
        with urllib.request.urlopen(req, timeout=10) as response:
            self.assertEqual(response.headers["Content-Type"], "text/event-stream")
            line = response.readline().decode()
        self.assertTrue(line.startswith("data: "), line)
        self.assertEqual(sorted(hand["ip"] for hand in json.loads(line[6:])["hands"]), sorted(HANDS))

    def test_move_reaches_the_hand(self):
        targets = [0.25, 0.5, 0.75, 0.125, 0.375, 0.625]
        self.assertEqual(command(self.dashboard, QSH, "move", {"positions": targets}), (200, {"result": "positions sent"}))
        wait_for(lambda: close_to(state_of(self.dashboard, QSH)["positions"], targets, 0.002), what="QSH at targets")
        self.assertEqual(command(self.dashboard, QSH, "move", {"positions": [0.5] * 6, "fast": True})[0], 200)
        wait_for(lambda: close_to(state_of(self.dashboard, QSH)["positions"], [0.5] * 6, 0.002), what="fast move")

    def test_bad_moves_are_refused_with_a_reason_and_move_nothing(self):
        # Every case of each check is the unit tests' (parse_positions); here one of each reaches the reply.
        before = state_of(self.dashboard, QMHV2)["positions"]
        for body, reason in [({"positions": [90] * 11}, "takes 12 positions, 11 given"),
                             ({"positions": [90] * 11 + [None]}, "finite"),
                             ({"positions": [1000] + [0] * 11}, "outside 0 to 180"),
                             ({"positions": [3.4e38] + [0] * 11}, "outside 0 to 180"),
                             ({"position": [90] * 12}, "no \"positions\" list"),
                             ("[0.5, 0.5]", "not a JSON object")]:
            status, reply = command(self.dashboard, QMHV2, "move", body)
            self.assertEqual(status, 400, body)
            self.assertIn(reason, reply["error"], body)
        time.sleep(0.3)
        self.assertEqual(state_of(self.dashboard, QMHV2)["positions"], before)
        time.sleep(1.0)  # the hand's allowance refills

    def test_commands_without_the_token_or_from_another_origin_are_refused_and_move_nothing(self):
        before = state_of(self.dashboard, QSH)["positions"]
        body = {"positions": [0.9] * 6}
        self.assertEqual(command(self.dashboard, QSH, "move", body, token=False)[0], 401)
        self.assertEqual(command(self.dashboard, QSH, "move", body, token="x" * 64)[0], 401)
        self.assertEqual(command(self.dashboard, QSH, "move", body,
                                 headers={"Origin": "http://evil.example"})[0], 403)
        self.assertEqual(command(self.dashboard, QSH, "move", body,
                                 headers={"Origin": self.dashboard.origin + ".evil.example"})[0], 403)
        time.sleep(0.5)
        self.assertEqual(state_of(self.dashboard, QSH)["positions"], before)
        self.assertEqual(command(self.dashboard, QSH, "clear-errors", headers={"Origin": self.dashboard.origin})[0],
                         200)

    def test_unknown_hands_commands_unserved_operations_and_gets_of_commands_are_refused(self):
        status, reply, headers = request(self.dashboard, "GET", "/api/hands/%s/enable" % QMHV2)
        self.assertEqual((status, headers["Allow"]), (405, "POST"))
        self.assertEqual(command(self.dashboard, "192.168.137.50", "disable")[0], 404)
        self.assertEqual(command(self.dashboard, QMHV2, "explode")[0], 404)
        status, reply = command(self.dashboard, QMHV1, "enable")
        self.assertEqual(status, 501)
        self.assertEqual(reply["error"], "192.168.137.10 is a qmhv1 hand, which has no enable command")
        self.assertEqual(request(self.dashboard, "GET", "/api/hands/192.168.137.50/config")[0], 404)

    def test_state_commands_succeed(self):
        for ip, action, result in [(QMHV2, "disable", "disabled"), (QMHV2, "enable", "enabled"),
                                   (QMHV1, "disable", "disabled"), (QMHV1, "reboot", "rebooting"),
                                   (QMHV1, "clear-errors", "errors cleared")]:
            self.assertEqual(command(self.dashboard, ip, action), (200, {"result": result}), (ip, action))

    def test_calibration_is_followed_in_the_state(self):
        self.assertEqual(command(self.dashboard, QMHV2, "calibrate"), (202, {"result": "calibration started"}))
        outcome = wait_for(lambda: state_of(self.dashboard, QMHV2).get("calibration", {}).get("state") not in
                           (None, "running") and state_of(self.dashboard, QMHV2)["calibration"], timeout=30,
                           what="calibration outcome")
        self.assertEqual(outcome["state"], "success")

    def test_configuration_is_read_and_written(self):
        status, reply, _ = request(self.dashboard, "GET", "/api/hands/%s/config" % QMHV2)
        self.assertEqual(status, 200)
        self.assertIn("speed_limit", json.loads(reply["config"]))
        pretty = '{\n  "method": "SET",\n  "cmd": "/config",\n  "speed_limit": 120\n}'
        self.assertEqual(command(self.dashboard, QMHV2, "config", pretty), (200, {"result": "configuration written"}))
        status, reply, _ = request(self.dashboard, "GET", "/api/hands/%s/config" % QMHV2)
        self.assertEqual(json.loads(reply["config"])["speed_limit"], 120)

    def test_bad_configurations_are_refused(self):
        status, reply = command(self.dashboard, QSH, "config", '{"speed_limit":')
        self.assertEqual(status, 400)
        self.assertIn("not a JSON object", reply["error"])
        status, reply = command(self.dashboard, QSH, "config", json.dumps({"note": "x" * 1100}))
        self.assertEqual(status, 400)
        self.assertIn("a hand takes at most 1023", reply["error"])
        time.sleep(1.0)

    def test_commands_beyond_the_rate_are_refused(self):
        statuses = [command(self.dashboard, QMHV2, "move", {"positions": [1]})[0] for _ in range(25)]
        self.assertEqual(statuses[0], 400)
        self.assertIn(429, statuses)
        self.assertLessEqual(statuses.count(400), 15)
        time.sleep(1.1)
        self.assertEqual(command(self.dashboard, QMHV2, "move", {"positions": [1]})[0], 400)

    def test_closed_event_streams_free_their_place(self):
        url = urllib.request.Request(self.dashboard.base + "/events", headers={"X-Dexhand-Token": self.dashboard.token})
        streams = [urllib.request.urlopen(url, timeout=10) for _ in range(8)]
        for stream in streams:
            stream.readline()
        self.assertEqual(request(self.dashboard, "GET", "/events")[0], 503)
        for stream in streams:
            stream.close()

        def opens():
            try:
                with urllib.request.urlopen(url, timeout=10) as stream:
                    return stream.status == 200
            except urllib.error.HTTPError:
                return False
        self.assertTrue(wait_for(opens, timeout=10, what="a free stream"))
        self.assertEqual(request(self.dashboard, "GET", "/api/state")[0], 200)

    def test_a_deeply_nested_chunked_body_is_capped_and_the_server_lives(self):
        head = ("POST /api/hands/%s/move HTTP/1.1\r\nHost: %s\r\nX-Dexhand-Token: %s\r\n"
                "Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n"
                % (QMHV2, self.dashboard.base[7:], self.dashboard.token)).encode()
        chunk = b"%x\r\n%s\r\n" % (65536, b"[" * 65536)
        self.assertEqual(raw(self.dashboard, head, [chunk] * 32 + [b"0\r\n\r\n"]), 413)
        self.assertEqual(request(self.dashboard, "GET", "/api/state")[0], 200)
        self.assertIsNone(self.dashboard.process.poll())

    def test_a_body_without_the_token_is_never_read(self):
        before = resident_kb(self.dashboard.process)
        head = ("POST /api/hands/%s/move HTTP/1.1\r\nHost: %s\r\nContent-Type: application/json\r\n"
                "Transfer-Encoding: chunked\r\n\r\n" % (QMHV2, self.dashboard.base[7:])).encode()
        chunk = b"%x\r\n%s\r\n" % (1 << 20, b"[" * (1 << 20))
        self.assertEqual(raw(self.dashboard, head, [chunk] * 64), 401)
        self.assertLess(resident_kb(self.dashboard.process) - before, 16 * 1024)

    def test_requests_that_are_not_plain_commands_of_this_page_are_refused(self):
        base = self.dashboard.base
        move = "/api/hands/%s/move" % QSH
        body = json.dumps({"positions": [0.9] * 6})
        before = state_of(self.dashboard, QSH)["positions"]
        for headers, path, expected in [
            ({"Host": "evil.example"}, "/", 421),                                   # DNS rebinding
            ({"Host": "evil.example:" + base.rsplit(":", 1)[1]}, "/api/state", 421),
            ({"Content-Type": "text/plain"}, move, 415),                             # a cross-site form
            ({"Content-Type": "application/x-www-form-urlencoded"}, move, 415),
            ({"Content-Type": "application/json", "X-Dexhand-Token": ""}, move + "?token=" + self.dashboard.token,
             401),                                                                   # the token in a URL
            ({"Content-Type": "application/json", "Content-Length": str(1 << 26)}, move, 413),
        ]:
            all_headers = {"X-Dexhand-Token": self.dashboard.token, **headers}
            if not all_headers["X-Dexhand-Token"]:
                del all_headers["X-Dexhand-Token"]
            connection = http.client.HTTPConnection(base[7:], timeout=10)
            connection.putrequest("POST" if path.startswith("/api/hands") else "GET", path, skip_host=True,
                                  skip_accept_encoding=True)
            all_headers.setdefault("Host", base[7:])
            for name, value in all_headers.items():
                connection.putheader(name, value)
            connection.endheaders(body.encode() if path.startswith("/api/hands") and
                                  "Content-Length" not in headers else None)
            self.assertEqual(connection.getresponse().status, expected, (headers, path))
            connection.close()
        time.sleep(0.3)
        self.assertEqual(state_of(self.dashboard, QSH)["positions"], before)
        self.assertEqual(request(self.dashboard, "GET", "/app.js%00.html", token=False)[0], 400)

    def test_the_token_is_exchanged_for_a_strict_http_only_cookie(self):
        connection = http.client.HTTPConnection(self.dashboard.base[7:], timeout=10)
        connection.request("GET", "/?token=" + self.dashboard.token)
        response = connection.getresponse()
        self.assertEqual((response.status, response.headers["Location"]), (303, "/"))
        cookie = response.headers["Set-Cookie"]
        self.assertIn("HttpOnly", cookie)
        self.assertIn("SameSite=Strict", cookie)
        status, reply, _ = request(self.dashboard, "GET", "/api/hands", token=False,
                                   headers={"Cookie": cookie.split(";", 1)[0]})
        self.assertEqual(status, 200)

    def test_a_command_succeeds_while_200_clients_trickle_their_headers(self):
        host, port = self.dashboard.base[7:].rsplit(":", 1)
        slow, stop = [], threading.Event()
        for _ in range(200):
            connection = socket.create_connection((host, int(port)), timeout=10)
            connection.sendall(b"GET /api/state HTTP/1.1\r\n")
            slow.append(connection)

        def trickle():
            while not stop.wait(0.4):
                for connection in slow:
                    try:
                        connection.sendall(b"X")
                    except OSError:
                        pass
        dripping = threading.Thread(target=trickle)
        dripping.start()
        try:
            time.sleep(1.0)
            self.assertEqual(command(self.dashboard, QSH, "clear-errors")[0], 200)
        finally:
            stop.set()
            dripping.join()
            for connection in slow:
                connection.close()

    def test_reads_of_the_configuration_are_rate_limited(self):
        statuses = [request(self.dashboard, "GET", "/api/hands/%s/config" % QSH)[0] for _ in range(25)]
        self.assertIn(429, statuses)
        time.sleep(1.1)

    def test_one_calibration_at_a_time_also_under_a_race(self):
        wait_for(lambda: state_of(self.dashboard, QMHV2).get("calibration", {}).get("state") != "running",
                 timeout=30, what="no calibration running")
        results = []
        threads = [threading.Thread(target=lambda: results.append(
            request(self.dashboard, "POST", "/api/hands/%s/calibrate" % QMHV2, {})[0])) for _ in range(6)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(sorted(results), [202] + [409] * 5)
        wait_for(lambda: state_of(self.dashboard, QMHV2)["calibration"]["state"] != "running", timeout=30,
                 what="the calibration's end")
        time.sleep(1.0)

    def test_stop_holds_every_hand_where_it_is(self):
        status, reply, _ = request(self.dashboard, "POST", "/api/stop", {})
        self.assertEqual((status, sorted(reply["held"]), reply["not_reached"]), (200, sorted(HANDS), []))


class Lifecycle(unittest.TestCase):
    """Each with a dashboard of its own."""

    def test_a_silent_hand_is_marked_and_comes_back(self):
        sim = simulator("--calm")
        dashboard = Dashboard()
        try:
            wait_for(lambda: state_of(dashboard, QSH)["answering"], what="first poll")
            sim.stop()
            silent = wait_for(lambda: (lambda s: not s["answering"] and s["since_answer"] >= 1.0 and s)(
                state_of(dashboard, QSH)), what="silence")
            self.assertIsNotNone(silent["positions"])
            sim = simulator("--calm")
            wait_for(lambda: state_of(dashboard, QSH)["answering"], timeout=15, what="the hand's return")
        finally:
            self.assertEqual(dashboard.stop(), 0)
            sim.stop()

    def test_other_addresses_need_allow_remote_and_warn(self):
        sim = simulator("--calm")
        try:
            run = subprocess.run([DEXHAND, "serve", "--address", "192.168.137.1", "--port", "0"], capture_output=True,
                                 text=True, timeout=30)
            self.assertEqual(run.returncode, 2)
            self.assertIn("--allow-remote", run.stderr)
            dashboard = Dashboard("--address", "192.168.137.1", "--allow-remote")
            self.assertTrue(dashboard.base.startswith("http://192.168.137.1:"))
            self.assertEqual(request(dashboard, "GET", "/api/hands")[0], 200)
            self.assertEqual(dashboard.stop(), 0)
            dashboard.err.seek(0)
            self.assertIn("warning: listening on 192.168.137.1", dashboard.err.read())
        finally:
            sim.stop()

    def test_time_outs_unknown_devices_and_a_stop_that_cannot_reach_a_hand(self):
        scenario = tempfile.NamedTemporaryFile("w", suffix=".json", delete=False)
        json.dump({"lively": False, "hands": [
            {"hand": "qmhv2@" + QMHV2, "type": "QMH-99X"},
            {"hand": "qmhv1@" + QMHV1},
            {"hand": "QSH@" + QSH}]}, scenario)
        scenario.close()
        sim = Simulator(SIM, "--scenario", scenario.name)
        dashboard = Dashboard()
        try:
            status, reply, _ = request(dashboard, "GET", "/api/hands")
            self.assertEqual(sorted(hand["ip"] for hand in reply["hands"]), sorted([QMHV1, QSH]))
            self.assertEqual([device["ip"] for device in reply["skipped"]], [QMHV2])
            self.assertEqual(request(dashboard, "POST", "/api/stop", {})[0], 200)
            sim.stop()
            self.assertEqual(request(dashboard, "GET", "/api/hands/%s/config" % QSH)[0], 504)
            status, reply, _ = request(dashboard, "POST", "/api/stop", {})
            self.assertEqual((status, reply["held"], sorted(m["ip"] for m in reply["not_reached"])),
                             (502, [], sorted([QMHV1, QSH])))
            time.sleep(1.5)
        finally:
            self.assertEqual(dashboard.stop(), 0)
            sim.stop()
            os.unlink(scenario.name)
        dashboard.err.seek(0)
        log = dashboard.err.read()
        self.assertIn(QMHV2 + ": a qmhv2 device of type QMH-99X is not served", log)
        self.assertEqual(log.count(QSH + " stopped answering"), 1, log)

    def test_all_addresses_are_served_and_named_when_listening_on_all(self):
        sim = simulator("--calm")
        dashboard = Dashboard("--address", "0.0.0.0", "--allow-remote")
        try:
            line = dashboard.url
            while not line.startswith("http://192.168.137.1:"):
                line = dashboard.process.stdout.readline().split("or ", 1)[-1].strip()
                self.assertTrue(line, "no URL of 192.168.137.1 printed")
            dashboard.base = line.split("/?", 1)[0]
            self.assertEqual(command(dashboard, QSH, "clear-errors", headers={"Origin": dashboard.base})[0], 200)
        finally:
            dashboard.stop()
            sim.stop()

    def test_a_host_name_is_judged_by_the_address_it_resolves_to(self):
        hosts = tempfile.NamedTemporaryFile("w", delete=False)
        hosts.write("127.0.0.1 localhost\n192.168.137.1 127.hands.example\n")
        hosts.close()
        sim = simulator("--calm")
        try:
            run = subprocess.run(["unshare", "--mount", "sh", "-c", 'mount --bind "$0" /etc/hosts && exec "$@"',
                                  hosts.name, DEXHAND, "serve", "--address", "127.hands.example", "--port", "0"],
                                 capture_output=True, text=True, timeout=30)
            self.assertEqual(run.returncode, 2, run.stdout + run.stderr)
            self.assertIn("--allow-remote", run.stderr)
        finally:
            sim.stop()
            os.unlink(hosts.name)

    def test_nothing_outside_the_web_roots_real_path_is_served(self):
        root = tempfile.TemporaryDirectory()
        built = os.path.join(os.path.dirname(DEXHAND), "..", "share", "tessaro_dexhand", "web")
        for name in os.listdir(built):
            with open(os.path.join(built, name), "rb") as source, open(os.path.join(root.name, name), "wb") as copy:
                copy.write(source.read())
        os.symlink("/etc/passwd", os.path.join(root.name, "passwd.html"))
        os.symlink("/etc", os.path.join(root.name, "etc"))
        sim = simulator("--calm")
        dashboard = Dashboard("--web-root", root.name)
        try:
            self.assertEqual(request(dashboard, "GET", "/app.js", token=False)[0], 200)
            for path in ["/passwd.html", "/etc/passwd", "/etc/hostname"]:
                self.assertEqual(request(dashboard, "GET", path, token=False)[0], 404, path)
        finally:
            dashboard.stop()
            sim.stop()
            root.cleanup()


# ---------------------------------------------------------------------------
# The page in a real browser, against lively hands

class Browser(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        cls.sim = simulator()
        cls.dashboard = Dashboard()
        cls.profile = tempfile.TemporaryDirectory()
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for argument in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                         "--disable-background-networking", "--disable-component-update", "--disable-sync",
                         "--disable-dev-shm-usage", "--window-size=1280,800",
                         "--user-data-dir=" + cls.profile.name]:
            options.add_argument(argument)
        cls.driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        cls.driver.set_script_timeout(30)

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        cls.profile.cleanup()
        cls.dashboard.stop()
        cls.sim.stop()

    @classmethod
    def cards(cls):
        return cls.driver.find_elements("css selector", "section.hand")

    @classmethod
    def card(cls, ip):
        return cls.driver.find_element("css selector", 'section.hand[data-ip="%s"]' % ip)

    @classmethod
    def text(cls, ip, selector):
        return cls.card(ip).find_element("css selector", selector).text

    def page_positions(self, ip):
        return [float(cell.text.rstrip("°")) for cell in self.card(ip).find_elements("css selector", "td.value")]

    def click(self, ip, selector, confirm=False):
        self.card(ip).find_element("css selector", selector).click()
        if confirm:
            wait_for(lambda: self.accept_alert(), what="a confirmation")

    def accept_alert(self):
        try:
            self.driver.switch_to.alert.accept()
            return True
        except Exception:
            return False

    def enabled(self, ip, selector):
        return self.card(ip).find_element("css selector", selector).is_enabled()

    def message(self, ip, expected, selector=".move-result"):
        return wait_for(lambda: self.text(ip, selector) == expected and expected, what="message " + expected)

    def set_sliders(self, ip, values, event):
        self.driver.execute_script(
            "const sliders = arguments[0].querySelectorAll('input.slider');"
            "arguments[1].forEach((v, j) => { if (v === null) return; sliders[j].value = String(v);"
            " sliders[j].dispatchEvent(new Event('input')); if (arguments[2] === 'change')"
            " sliders[j].dispatchEvent(new Event('change')); });", self.card(ip), values, event)

    def test_0_cards_wait_for_live_state_and_reconnect_when_a_stream_place_frees(self):
        held = [urllib.request.urlopen(urllib.request.Request(
            self.dashboard.base + "/events", headers={"X-Dexhand-Token": self.dashboard.token}), timeout=10)
            for _ in range(8)]
        try:
            self.driver.get(self.dashboard.url)
            self.assertEqual(self.driver.current_url, self.dashboard.base + "/")  # the token left the address bar
            wait_for(lambda: len(self.cards()) == 3, what="three cards")
            wait_for(lambda: self.driver.find_element("id", "connection").text.startswith("disconnected"),
                     what="disconnected")
            self.assertEqual(self.text(QMHV2, ".status"), "waiting for the first state")
            self.assertFalse(self.enabled(QMHV2, "button.go"))
            self.assertFalse(self.enabled(QMHV2, "input.slider"))
            self.assertFalse(self.driver.find_element("id", "stop").is_enabled())
        finally:
            for stream in held:
                stream.close()
        wait_for(lambda: self.enabled(QMHV2, "button.go") and self.enabled(QSH, "button.go"), timeout=30,
                 what="controls enabled once live")
        self.assertEqual(self.driver.find_element("id", "connection").text, "live")

    def test_1_one_card_per_hand(self):
        cards = {card.get_attribute("data-ip"): card for card in self.cards()}
        self.assertEqual(sorted(cards), sorted(HANDS))
        self.assertIn("qmhv2", cards[QMHV2].find_element("css selector", ".identity").text)
        self.assertEqual(len(cards[QMHV2].find_elements("css selector", "input.slider")), 12)
        self.assertEqual(len(cards[QSH].find_elements("css selector", "input.slider")), 6)
        self.assertEqual(self.text(QMHV2, ".status"), "answering")
        self.assertIn("degree", self.text(QMHV2, ".position-head"))

    def test_2_go_moves_the_joints_to_the_sliders_and_a_disabled_hand_says_so(self):
        self.click(QMHV2, 'button[data-op="disable"]', confirm=True)
        self.message(QMHV2, "disabled", ".state-result")
        self.assertEqual(self.text(QMHV2, ".motors"), "motors: disabled")
        self.click(QMHV2, "button.go")
        self.message(QMHV2, "192.168.137.39 is disabled: enable it first (nothing was sent)")
        self.click(QMHV2, 'button[data-op="enable"]')
        self.message(QMHV2, "enabled", ".state-result")
        targets = [15.0 * (j % 6 + 1) for j in range(12)]
        self.set_sliders(QMHV2, targets, "input")
        self.click(QMHV2, "button.go")
        self.message(QMHV2, "positions sent")
        # Lively joints travel at 90 units a second.
        wait_for(lambda: close_to(self.page_positions(QMHV2), targets, 0.1), timeout=15, what="page at targets")
        self.assertTrue(close_to(dexhand_positions(QMHV2), targets, 0.01))

    def test_3_one_slider_release_moves_one_joint_once(self):
        before = dexhand_positions(QSH)
        self.set_sliders(QSH, [None, 0.6, 0.6, 0.6, 0.6, 0.6], "input")  # moved, not released: not sent
        for value in [0.7, 0.75, 0.8]:  # three key presses: one command
            self.set_sliders(QSH, [value], "change")
        self.message(QSH, "positions sent")
        wait_for(lambda: abs(self.page_positions(QSH)[0] - 0.8) <= 0.002, timeout=15, what="joint 0 at 0.8")
        after = dexhand_positions(QSH)
        self.assertAlmostEqual(after[0], 0.8, delta=0.002)
        self.assertTrue(close_to(after[1:], before[1:], 0.002))

    def test_4_stop_holds_every_hand_and_sliders_follow_again(self):
        self.set_sliders(QSH, [0.1] * 6, "input")
        self.driver.find_element("id", "stop").click()
        wait_for(lambda: self.driver.find_element("id", "stop-result").text == "every hand holds (3)",
                 what="the stop's result")
        self.assertEqual(self.card(QSH).find_elements("css selector", "tr.touched"), [])
        wait_for(lambda: abs(float(self.text(QSH, ".target-value")) - self.page_positions(QSH)[0]) < 0.01,
                 what="sliders following the hand")

    def test_5_heat_map_follows_the_tactile_matrix(self):
        def picture():
            return self.driver.execute_script("return arguments[0].toDataURL()",
                                              self.card(QMHV2).find_element("css selector", "canvas.heatmap"))
        first = picture()
        self.assertTrue(wait_for(lambda: picture() != first, timeout=5, what="a changed heat map"))

    def test_7_a_refused_command_is_explained_beside_its_control(self):
        self.driver.execute_script(
            "arguments[0].value = '{\"speed_limit\": '; arguments[1].click();",
            self.card(QMHV2).find_element("css selector", "textarea.config"),
            self.card(QMHV2).find_element("css selector", "button.config-write"))
        wait_for(lambda: "not a JSON object" in self.text(QMHV2, ".config-result"), what="the refusal on the page")
        self.assertIn("error", self.card(QMHV2).find_element("css selector", ".config-result").get_attribute("class"))

    def test_8_screenshots(self):
        self.driver.execute_script("document.querySelectorAll('.result').forEach(m => m.textContent = '');"
                                   "document.querySelectorAll('button.config-read').forEach(b => b.click());")
        time.sleep(1.0)
        os.makedirs(ARTIFACTS, exist_ok=True)
        for name, width, height in [("dashboard.png", 1280, 800), ("dashboard-phone.png", 390, 844)]:
            self.driver.set_window_size(width, height)
            self.driver.execute_script("document.activeElement.blur(); window.scrollTo(0, 0);")
            time.sleep(1.0)
            path = os.path.join(ARTIFACTS, name)
            self.assertTrue(self.driver.save_screenshot(path))
            self.assertGreater(os.path.getsize(path), 10000)
        self.driver.set_window_size(1280, 800)

    def test_9_calibration_disables_the_card_until_it_ends(self):
        self.click(QMHV2, 'button[data-op="calibrate"]', confirm=True)
        self.message(QMHV2, "calibration started", ".state-result")
        wait_for(lambda: self.text(QMHV2, ".calibration").startswith("calibrating"), what="progress")
        wait_for(lambda: not self.enabled(QMHV2, "button.go"), what="controls disabled while calibrating")
        # Lively hands calibrate for 3 s.
        wait_for(lambda: self.text(QMHV2, ".calibration").startswith("calibration: success"), timeout=20,
                 what="calibration outcome")
        wait_for(lambda: self.enabled(QMHV2, "button.go"), what="controls back")


def main():
    global DEXHAND, SIM, ARTIFACTS
    parser = argparse.ArgumentParser()
    parser.add_argument("--group", choices=["http", "browser"], required=True)
    parser.add_argument("--dexhand", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--artifacts", default=".")
    options, rest = parser.parse_known_args()
    DEXHAND, SIM, ARTIFACTS = options.dexhand, options.sim, options.artifacts
    if not in_private_namespace():
        print("dexhand_serve_test.py: run me through tests/netns/run-in-netns", file=sys.stderr)
        return 2
    loader = unittest.TestLoader()
    suite = unittest.TestSuite()
    for case in ([Http, Lifecycle] if options.group == "http" else [Browser]):
        suite.addTests(loader.loadTestsFromTestCase(case))
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    return 0 if result.wasSuccessful() and result.testsRun > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
