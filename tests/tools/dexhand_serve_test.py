#!/usr/bin/env python3
"""dexhand serve against dexhand-sim hands, inside the private network
namespace of tests/netns/run-in-netns.

  --group http      each endpoint's success path and one case of each refusal
                    over HTTP (every case of each check is in
                    dexhand_serve_checks_test)
  --group browser   the page in headless Chromium: it loads, shows the hands
                    and moves one; a screenshot goes to --artifacts DIR

  run-in-netns dexhand_serve_test.py --group http|browser --dexhand PATH --sim PATH [--artifacts DIR]
"""

import concurrent.futures
import copy
import http.client
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

from sim_process import HANDS, QMHV1, QMHV2, QSH, Simulator, hand_arguments, main, wait_for

DEXHAND = SIM = ARTIFACTS = ""  # main() sets them from the command line


class Dashboard:
    """dexhand serve on a free port; the URL it printed gives port and token."""

    def __init__(self, *args):
        self.err = tempfile.TemporaryFile(mode="w+")
        self.process = subprocess.Popen([DEXHAND, "serve", "--port", "0", *args], stdout=subprocess.PIPE,
                                        stderr=self.err, text=True)
        line = self.process.stdout.readline()
        if "token=" not in line:
            self.process.wait(timeout=10)
            raise RuntimeError("dexhand serve did not start: " + line + self.log())
        self.url = line.split("open ", 1)[1].strip()
        self.base = self.url.split("/?", 1)[0]
        self.token = self.url.split("token=", 1)[1]

    def log(self):
        self.err.seek(0)
        return self.err.read()

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        return self.process.wait(timeout=15)


def request(dashboard, method, path, body=None, token=True, headers=None):
    """(status, decoded JSON or text, response headers)"""
    headers = dict(headers or {})
    if token:
        headers["X-Dexhand-Token"] = dashboard.token
    if body is not None:
        body = body if isinstance(body, str) else json.dumps(body)
        headers["Content-Type"] = "application/json"
    connection = http.client.HTTPConnection(dashboard.base[len("http://"):], timeout=30)
    connection.request(method, path, body, headers)
    response = connection.getresponse()
    text = response.read().decode()
    connection.close()
    try:
        return response.status, json.loads(text), response.headers
    except ValueError:
        return response.status, text, response.headers


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


def close_to(values, targets, tolerance):
    return len(values) == len(targets) and all(abs(v - t) <= tolerance for v, t in zip(values, targets))


def raw(dashboard, lines, body_chunks=()):
    """Sends a request's head as written (with this server's Host unless it
    names one), then as much of the body as the server takes; returns the
    status line's code (0 when the server answered nothing)."""
    address = dashboard.base[len("http://"):]
    if not any(line.startswith("Host:") for line in lines):
        lines = lines + ["Host: " + address]
    host, port = address.rsplit(":", 1)
    connection = socket.create_connection((host, int(port)), timeout=20)
    reply = b""
    try:
        connection.sendall("\r\n".join(lines + ["", ""]).encode())
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


# ---------------------------------------------------------------------------
# HTTP: calm hands, which change only when commanded

class Http(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # The page's files from a copy, beside links that lead out of it.
        cls.root = tempfile.TemporaryDirectory()
        web = os.path.join(cls.root.name, "web")
        shutil.copytree(os.path.join(os.path.dirname(DEXHAND), "..", "share", "tessaro_dexhand", "web"), web)
        os.symlink("/etc/passwd", os.path.join(web, "passwd.html"))
        os.symlink("/etc", os.path.join(web, "etc"))
        cls.sim = Simulator(SIM, "--calm", *hand_arguments())
        cls.dashboard = Dashboard("--web-root", web, "--address", "0.0.0.0", "--allow-remote")
        wait_for(lambda: all(state_of(cls.dashboard, ip)["answering"] for ip in HANDS), what="first polls")

    @classmethod
    def tearDownClass(cls):
        cls.dashboard.stop()
        cls.sim.stop()
        cls.root.cleanup()

    def test_page_files_are_served_with_protective_headers_and_nothing_outside_the_root(self):
        for path, kind in [("/", "text/html"), ("/app.js", "javascript"), ("/style.css", "text/css"),
                           ("/vendor/chart.min.js", "javascript")]:
            status, _, headers = request(self.dashboard, "GET", path, token=False)
            self.assertEqual(status, 200, path)
            self.assertIn(kind, headers["Content-Type"], path)
            self.assertEqual(headers["X-Frame-Options"], "DENY", path)
        for path in ["/../../etc/passwd", "/passwd.html", "/etc/passwd", "/etc/hostname"]:
            self.assertEqual(request(self.dashboard, "GET", path, token=False)[0], 404, path)

    def test_hands_and_state_give_what_each_kind_has(self):
        status, reply, _ = request(self.dashboard, "GET", "/api/hands")
        hands = {hand["ip"]: hand for hand in reply["hands"]}
        self.assertEqual((status, sorted(hands)), (200, sorted(HANDS)))
        self.assertEqual((hands[QMHV2]["name"], hands[QMHV2]["joints"]), ("qmhv2", 12))
        self.assertIn("calibrate", hands[QMHV2]["operations"])
        self.assertNotIn("enable", hands[QMHV1]["operations"])
        qmhv2, qmhv1 = state_of(self.dashboard, QMHV2), state_of(self.dashboard, QMHV1)
        self.assertEqual((len(qmhv2["positions"]), len(qmhv2["matrix"][0]), "velocities" in qmhv2), (12, 96, False))
        self.assertEqual((len(qmhv1["velocities"]), len(qmhv1["currents"]), "matrix" in qmhv1), (6, 6, False))
        wait_for(lambda: "errors" in state_of(self.dashboard, QSH), what="error codes")

    def test_all_addresses_are_served_with_a_warning(self):
        # Which addresses need --allow-remote is the unit tests' (remote_refusal).
        self.assertIn("warning: listening on 0.0.0.0", self.dashboard.log())
        own = copy.copy(self.dashboard)
        while not own.base.startswith("http://192.168.137.1:"):
            line = self.dashboard.process.stdout.readline()
            self.assertIn("or ", line, "no URL of 192.168.137.1 printed")
            own.base = line.split("or ", 1)[1].split("/?", 1)[0]
        self.assertEqual(command(own, QSH, "clear-errors", headers={"Origin": own.base})[0], 200)

    def test_move_reaches_the_hand(self):
        targets = [0.25, 0.5, 0.75, 0.125, 0.375, 0.625]
        self.assertEqual(command(self.dashboard, QSH, "move", {"positions": targets}), (200, {"result": "positions sent"}))
        wait_for(lambda: close_to(state_of(self.dashboard, QSH)["positions"], targets, 0.002), what="QSH at targets")
        self.assertEqual(command(self.dashboard, QSH, "move", {"positions": [0.5] * 6, "fast": True})[0], 200)
        wait_for(lambda: close_to(state_of(self.dashboard, QSH)["positions"], [0.5] * 6, 0.002), what="fast move")

    def test_requests_that_are_not_plain_commands_of_this_page_are_refused_and_move_nothing(self):
        before = state_of(self.dashboard, QSH)["positions"]
        token = "X-Dexhand-Token: " + self.dashboard.token
        move = "POST /api/hands/%s/move HTTP/1.1" % QSH
        body = json.dumps({"positions": [0.9] * 6}).encode()
        plain = ["Content-Type: application/json", "Content-Length: %d" % len(body)]
        for lines, expected in [
            ([move] + plain, 401),                                                  # no token
            (["GET /events HTTP/1.1"], 401),                                        # reads need one too
            ([move.replace("move", "move?token=" + self.dashboard.token)] + plain, 401),  # the token in a URL
            ([move, token, "Origin: http://evil.example"] + plain, 403),
            ([move, token, "Content-Type: text/plain", plain[1]], 415),             # a cross-site form
            ([move, token, plain[0], "Content-Length: %d" % (1 << 26)], 413),
            (["GET /api/state HTTP/1.1", token, "Host: evil.example:" + self.dashboard.base.rsplit(":", 1)[1]],
             421),                                                                  # DNS rebinding
            (["GET /app.js%00.html HTTP/1.1"], 400),
        ]:
            self.assertEqual(raw(self.dashboard, lines, [body] if lines[0].startswith("POST") else []), expected, lines)
        time.sleep(0.3)
        self.assertEqual(state_of(self.dashboard, QSH)["positions"], before)

    def test_unknown_hands_commands_unserved_operations_and_gets_of_commands_are_refused(self):
        status, reply, headers = request(self.dashboard, "GET", "/api/hands/%s/enable" % QMHV2)
        self.assertEqual((status, headers["Allow"]), (405, "POST"))
        self.assertEqual(command(self.dashboard, "192.168.137.50", "disable")[0], 404)
        self.assertEqual(command(self.dashboard, QMHV1, "enable"),
                         (501, {"error": "192.168.137.10 is a qmhv1 hand, which has no enable command"}))

    def test_state_commands_succeed(self):
        for ip, action, result in [(QMHV2, "disable", "disabled"), (QMHV2, "enable", "enabled"),
                                   (QMHV1, "disable", "disabled"), (QMHV1, "reboot", "rebooting"),
                                   (QMHV1, "clear-errors", "errors cleared")]:
            self.assertEqual(command(self.dashboard, ip, action), (200, {"result": result}), (ip, action))

    def test_one_calibration_at_a_time_and_its_outcome_in_the_state(self):
        path = "/api/hands/%s/calibrate" % QMHV2
        with concurrent.futures.ThreadPoolExecutor(max_workers=6) as pool:
            replies = list(pool.map(lambda _: request(self.dashboard, "POST", path, {})[:2], range(6)))
        self.assertEqual(sorted(status for status, _ in replies), [202] + [409] * 5)
        self.assertIn((202, {"result": "calibration started"}), replies)
        outcome = wait_for(lambda: (lambda c: c.get("state") not in (None, "running") and c)(
            state_of(self.dashboard, QMHV2).get("calibration", {})), timeout=30, what="calibration outcome")
        self.assertEqual(outcome["state"], "success")
        time.sleep(1.0)  # the hand's allowance refills

    def test_configuration_is_read_and_written(self):
        pretty = '{\n  "method": "SET",\n  "cmd": "/config",\n  "speed_limit": 120\n}'
        self.assertEqual(command(self.dashboard, QMHV2, "config", pretty), (200, {"result": "configuration written"}))
        status, reply, _ = request(self.dashboard, "GET", "/api/hands/%s/config" % QMHV2)
        self.assertEqual((status, json.loads(reply["config"])["speed_limit"]), (200, 120))

    def test_commands_and_reads_beyond_the_rate_are_refused(self):
        replies = [command(self.dashboard, QMHV2, "move", {"positions": [1]}) for _ in range(25)]
        self.assertEqual(replies[0], (400, {"error": "a qmhv2 hand takes 12 positions, 1 given"}))
        self.assertIn(429, [status for status, _ in replies])
        time.sleep(1.1)
        statuses = [request(self.dashboard, "GET", "/api/hands/%s/config" % QSH)[0] for _ in range(25)]
        self.assertIn(429, statuses)
        time.sleep(1.1)

    def test_event_streams_send_every_hands_state_and_closed_ones_free_their_place(self):
        url = urllib.request.Request(self.dashboard.base + "/events", headers={"X-Dexhand-Token": self.dashboard.token})
        streams = [urllib.request.urlopen(url, timeout=10) for _ in range(8)]
        self.assertEqual(streams[0].headers["Content-Type"], "text/event-stream")
        first = streams[0].readline().decode()
        self.assertTrue(first.startswith("data: "), first)
        self.assertEqual(sorted(hand["ip"] for hand in json.loads(first[6:])["hands"]), sorted(HANDS))
        for stream in streams[1:]:
            stream.readline()
        opening = ["GET /events HTTP/1.1", "X-Dexhand-Token: " + self.dashboard.token]
        self.assertEqual(raw(self.dashboard, opening), 503)
        for stream in streams:
            stream.close()
        wait_for(lambda: raw(self.dashboard, opening) == 200, what="a free stream")

    def test_a_deeply_nested_chunked_body_is_capped_and_the_server_lives(self):
        head = ["POST /api/hands/%s/move HTTP/1.1" % QMHV2, "X-Dexhand-Token: " + self.dashboard.token,
                "Content-Type: application/json", "Transfer-Encoding: chunked"]
        chunk = b"%x\r\n%s\r\n" % (65536, b"[" * 65536)
        self.assertEqual(raw(self.dashboard, head, [chunk] * 32 + [b"0\r\n\r\n"]), 413)
        self.assertEqual(request(self.dashboard, "GET", "/api/state")[0], 200)

    def test_a_body_without_the_token_is_never_read(self):
        before = resident_kb(self.dashboard.process)
        head = ["POST /api/hands/%s/move HTTP/1.1" % QMHV2, "Content-Type: application/json",
                "Transfer-Encoding: chunked"]
        chunk = b"%x\r\n%s\r\n" % (1 << 20, b"[" * (1 << 20))
        self.assertEqual(raw(self.dashboard, head, [chunk] * 64), 401)
        self.assertLess(resident_kb(self.dashboard.process) - before, 16 * 1024)

    def test_the_token_is_exchanged_for_a_strict_http_only_cookie(self):
        status, _, headers = request(self.dashboard, "GET", "/?token=" + self.dashboard.token, token=False)
        self.assertEqual((status, headers["Location"]), (303, "/"))
        cookie = headers["Set-Cookie"]
        self.assertIn("HttpOnly", cookie)
        self.assertIn("SameSite=Strict", cookie)
        self.assertEqual(request(self.dashboard, "GET", "/api/hands", token=False,
                                 headers={"Cookie": cookie.split(";", 1)[0]})[0], 200)

    def test_a_command_succeeds_while_200_clients_trickle_their_headers(self):
        host, port = self.dashboard.base[len("http://"):].rsplit(":", 1)

        def slow_client(_):
            connection = socket.create_connection((host, int(port)), timeout=10)
            self.addCleanup(connection.close)
            connection.sendall(b"GET /api/state HTTP/1.1\r\n")
            return connection
        with concurrent.futures.ThreadPoolExecutor(max_workers=50) as pool:
            # Opened one after another, they would take half a minute of SYN retries.
            slow = list(pool.map(slow_client, range(200)))
            started, clear = time.monotonic(), None
            while clear is None or not clear.done():
                time.sleep(0.4)
                for connection in slow:
                    try:
                        connection.sendall(b"X")
                    except OSError:
                        pass
                if clear is None and time.monotonic() - started >= 1.0:  # after a second of trickling
                    clear = pool.submit(command, self.dashboard, QSH, "clear-errors")
        self.assertEqual(clear.result()[0], 200)


class Lifecycle(unittest.TestCase):
    """With a simulator and a dashboard of its own."""

    def test_unknown_devices_a_hand_that_falls_silent_and_comes_back_and_a_stop_that_cannot_reach_it(self):
        scenario = {"lively": False, "hands": [
            {"hand": "qmhv2@" + QMHV2, "type": "QMH-99X"}, {"hand": "qmhv1@" + QMHV1}, {"hand": "QSH@" + QSH}]}
        sim = Simulator(SIM, scenario=scenario)
        self.addCleanup(sim.stop)
        dashboard = Dashboard()
        self.addCleanup(dashboard.stop)
        status, reply, _ = request(dashboard, "GET", "/api/hands")
        self.assertEqual(sorted(hand["ip"] for hand in reply["hands"]), sorted([QMHV1, QSH]))
        self.assertEqual([device["ip"] for device in reply["skipped"]], [QMHV2])
        wait_for(lambda: state_of(dashboard, QSH)["answering"], what="first poll")
        status, reply, _ = request(dashboard, "POST", "/api/stop", {})
        self.assertEqual((status, sorted(reply["held"]), reply["not_reached"]), (200, sorted([QMHV1, QSH]), []))
        sim.stop()
        silent = wait_for(lambda: (lambda s: not s["answering"] and s["since_answer"] >= 1.0 and s)(
            state_of(dashboard, QSH)), what="silence")
        self.assertIsNotNone(silent["positions"])
        self.assertEqual(request(dashboard, "GET", "/api/hands/%s/config" % QSH)[0], 504)
        status, reply, _ = request(dashboard, "POST", "/api/stop", {})
        self.assertEqual((status, reply["held"], sorted(m["ip"] for m in reply["not_reached"])),
                         (502, [], sorted([QMHV1, QSH])))
        sim = Simulator(SIM, scenario=scenario)
        self.addCleanup(sim.stop)
        wait_for(lambda: state_of(dashboard, QSH)["answering"], timeout=15, what="the hand's return")
        self.assertEqual(dashboard.stop(), 0)
        log = dashboard.log()
        self.assertIn(QMHV2 + ": a qmhv2 device of type QMH-99X is not served", log)
        self.assertEqual(log.count(QSH + " stopped answering"), 1, log)


# ---------------------------------------------------------------------------
# The page in a real browser, against lively hands

class Browser(unittest.TestCase):
    def test_the_page_loads_shows_the_hands_and_moves_one(self):
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        sim = Simulator(SIM, *hand_arguments())
        self.addCleanup(sim.stop)
        dashboard = Dashboard()
        self.addCleanup(dashboard.stop)
        profile = tempfile.TemporaryDirectory()
        self.addCleanup(profile.cleanup)
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for argument in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                         "--disable-background-networking", "--disable-component-update", "--disable-sync",
                         "--disable-dev-shm-usage", "--window-size=1280,800", "--user-data-dir=" + profile.name]:
            options.add_argument(argument)
        driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        self.addCleanup(driver.quit)

        def card(ip):
            return driver.find_element("css selector", 'section.hand[data-ip="%s"]' % ip)

        driver.get(dashboard.url)
        self.assertEqual(driver.current_url, dashboard.base + "/")  # the token left the address bar
        wait_for(lambda: len(driver.find_elements("css selector", "section.hand")) == 3, what="three cards")
        self.assertEqual(len(card(QMHV2).find_elements("css selector", "input.slider")), 12)
        wait_for(lambda: card(QSH).find_element("css selector", "button.go").is_enabled(), timeout=30,
                 what="controls enabled once live")
        # The first slider released at 0.8: that joint goes there.
        driver.execute_script("const slider = arguments[0].querySelector('input.slider'); slider.value = '0.8';"
                              "slider.dispatchEvent(new Event('input')); slider.dispatchEvent(new Event('change'));",
                              card(QSH))
        wait_for(lambda: card(QSH).find_element("css selector", ".move-result").text == "positions sent",
                 what="the move's result")
        wait_for(lambda: abs(float(card(QSH).find_element("css selector", "td.value").text) - 0.8) <= 0.002,
                 timeout=15, what="joint 0 at 0.8")
        os.makedirs(ARTIFACTS, exist_ok=True)
        self.assertTrue(driver.save_screenshot(os.path.join(ARTIFACTS, "dashboard.png")))


if __name__ == "__main__":
    sys.exit(main({"http": [Http, Lifecycle], "browser": [Browser]}, globals(), "--artifacts"))
