"""quilltap-web with the real quilltap on a simulated XR18: gains, a killed recorder, refusals, a full drive; then
takes through the page in headless Chromium, driven over DevTools as a person would, held against quilltap's own
stdout. QUILLTAP_WEB_SCREENSHOT=path keeps the page mid-recording (docs/web.png)."""

import base64, glob, http.client, json, os, re, signal, subprocess, sys, time, urllib.parse, urllib.request
import websocket

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "process"))
import rig  # noqa: E402

TRACKS = [{"channels": [1], "name": "Kick"}, {"channels": [3, 4], "name": "Keys"}]
# quilltap as the recorder (exec keeps its pid), its stdout copied to <pid>.events.
WRAPPER = '#!/bin/bash\nexec "%s" "$@" > >(exec tee "%s/$$.events")\n'


class Web:
    """quilltap-web on `server` with the real quilltap behind WRAPPER; `cleanup` gets its end."""
    def __init__(self, server, cleanup, *args, takes=None):
        self.logs = server.scratch_dir("web-")
        self.takes = takes or self.logs + "/takes"
        with open(os.open(self.logs + "/quilltap", os.O_CREAT | os.O_WRONLY, 0o755), "w") as f:
            f.write(WRAPPER % (rig.QUILLTAP_BIN, self.logs))
        self.proc = subprocess.Popen([os.environ.get("QUILLTAP_WEB_BIN", rig.QUILLTAP_BIN + "-web"), "--listen",
                                      "127.0.0.1:0", "--takes", self.takes, "--recorder", self.logs + "/quilltap",
                                      *args], env=server.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        cleanup(lambda: self.proc.kill() or self.proc.wait())
        self.line = self.proc.stdout.readline().decode()  # the one line it prints: the page's address
        self.host, self.token = re.fullmatch(r"open http://(127\.0\.0\.1:\d+)/\?token=([0-9a-f]{32})\n",
                                             self.line).groups()

    def request(self, method, path, body=None, token=True, headers={}):
        """(status, reply, response); a dict `body` goes as JSON, its reply comes as JSON; events: unread."""
        conn = http.client.HTTPConnection(self.host, timeout=60)
        conn.request(method, path + (("&" if "?" in path else "?") + "token=" + self.token if token else ""),
                     json.dumps(body).encode() if isinstance(body, dict) else body, headers)
        response = conn.getresponse()
        data = response.read() if path != "/api/events" or not token else None
        return response.status, json.loads(data) if isinstance(body, dict) else data, response

    def quilltap_lines(self):
        latest = max(glob.glob(self.logs + "/*.events"), key=os.path.getmtime)  # the newest run: its lines, its pid
        return open(latest).read().splitlines(), int(os.path.basename(latest)[:-len(".events")])


class EventStream:
    """GET /api/events; `wait` reads up to the "end" and returns its data; each message's data as sent is in `lines`."""
    def __init__(self, web):
        self.lines, self.response = [], web.request("GET", "/api/events")[2]

    def wait(self):
        deadline = time.monotonic() + 30
        while (line := self.response.readline().decode()) != "event: end\n":
            assert time.monotonic() < deadline, "no end in the event stream after %s" % self.lines[-3:]
            self.lines += [line[len("data: "):-1]] if line.startswith("data: ") else []
        return json.loads(self.response.readline().decode()[len("data: "):])


class TakeChecks(rig.RecordingCase):
    """The simulated XR18 and one quilltap-web for a class of tests."""
    @classmethod
    def setUpClass(cls):
        cls.server, device = rig.start_mixer()
        cls.addClassCleanup(lambda: (device.stop(), cls.server.stop()))
        cls.web = Web(cls.server, cls.addClassCleanup)

    def assert_whole(self, said):
        """quilltap's last line is "stopped" for "stop"; each file holds the counter (whole periods lost at most)."""
        stopped, lost = json.loads(said[-1]), self.server.xruns() > self.xruns_before or "Lost " in "".join(said)
        self.assertEqual((stopped["event"], stopped["reason"]), ("stopped", "stop"))
        for wav in map(rig.read_wav, stopped["files"]):  # strict: a cut file fails here
            self.assertEqual((wav.frames, wav.bits), (rig.frames(stopped["seconds"]), 24))
            for samples in wav.samples:
                self.assert_counter(samples, 24, wav.path, lost)
        return stopped


class WebCase(TakeChecks):
    def test_gains_reach_the_mix_and_a_killed_recorder_is_reported_and_its_file_listed(self):
        stream = EventStream(self.web)
        self.assertEqual(self.web.request("POST", "/api/record", {"tracks": TRACKS[:1], "bits": 32, "mix": "Mix",
                                                                  "gains": [1, 0]})[0], 200)
        self.assertEqual(self.web.request("POST", "/api/gains", {"gains": [0, 1, 0]})[0], 400)
        time.sleep(1)
        self.assertEqual(self.web.request("POST", "/api/gains", {"gains": [0, 0.5]})[0], 200)
        time.sleep(1.5)
        os.kill(self.web.quilltap_lines()[1], signal.SIGKILL)
        self.assertEqual(stream.wait(), {"stopped": False, "status": None, "signal": 9})
        take = json.loads(self.web.request("GET", "/api/takes")[1])[0]
        self.assertGreater(take["files"][0]["seconds"], 0.5, "the cut take's file must still be listed")
        mix = rig.read_wav(os.path.join(self.web.takes, take["folder"], take["files"][0]["name"]), partial=True)
        (left, right), last = mix.samples, mix.frames - 1
        self.assertEqual((left[0] > 0, right[0], left[last], right[last] > 0, (right[last] * 2 ** 24).is_integer()),
                         (True, 0.0, 0.0, True, True), "the request's gains, then half the counter on the right only")

    def test_refusals_change_nothing_and_the_token_in_a_cookie_lets_the_page_in(self):
        secret, takes, q = self.server.tmpdir + "/secret", self.web.takes, urllib.parse.quote
        os.makedirs(takes + "/2000-01-01 00.00.00")
        open(secret, "w").write("not for the web")
        os.symlink(secret, takes + "/2000-01-01 00.00.00/link.wav")
        os.symlink(self.server.tmpdir, takes + "/out")
        before, one = os.listdir(takes), b'{"tracks":[{"channels":[1],"name":"%s"}]}'
        outside = ["../secret", "%2e%2e/secret", "x/..%2f..%2fsecret", "x/%2e%2e%2f%2e%2e%2fsecret", "/" + secret[1:],
                   q(secret, safe=""), "out/secret", "2000-01-01%2000.00.00/link.wav", "%2e%2e/%2e%2e" + q(secret)]
        for method, path, body, token, expected in [("GET", p, None, False, "401") for p in (
                "/", "/api/devices", "/api/events", "/takes/x/y", "/api/takes?token=" + "0" * 32)] + [
                ("POST", "/api/record", one % b"A", False, "401"), ("POST", "/api/stop", b"{}", False, "401"),
                ("POST", "/api/record", one[:-2], True, "400"), ("POST", "/api/stop", b"{}", True, "409"),
                ("POST", "/api/record", b'{"tracks":[{"channels":"1"}]}', True, "400"),
                ("POST", "/api/record", one % (b"x" * 66000), True, "413"),
                ("POST", "/api/gains", b'{"gains":[1,0]}', True, "409")] + [
                ("GET", "/takes/" + p, None, True, "403 404") for p in outside]:
            with self.subTest(method=method, path=path[:60]):
                status, data, _ = self.web.request(method, path, body, token)
                self.assertIn(str(status), expected.split())
                self.assertNotIn(b"not for the web", data)
                self.assertIn("error", json.loads(data))
        status, reply, _ = self.web.request("POST", "/api/record", {"tracks": [{"channels": [19]}]})
        self.assertEqual(status, 422)  # the device's name below: JACK's shared metadata
        self.assertRegex(reply["error"], r"^Channel 19 does not exist on XR18.* \(it has 18 inputs\)$")
        self.assertEqual(os.listdir(takes), before)
        cookie = "a=b; quilltap_token=" + self.web.token  # the page's own calls (test_browser) carry it alone
        self.assertEqual(self.web.request("GET", "/api/takes", token=False, headers={"Cookie": cookie})[0], 200)

    def test_a_full_drive_moves_the_take_to_the_same_folder_name_in_the_backup(self):
        drive = self.enterContext(rig.TmpfsDrive(self.server.scratch_dir(), "1m"))
        fallback = self.server.scratch_dir()
        web = Web(self.server, self.addCleanup, "--fallback", fallback, takes=drive.path)
        status, reply, _ = web.request("POST", "/api/record", {"tracks": TRACKS})
        self.assertTrue(status == 200 and rig.wait_until(lambda: '"failover"' in str(web.quilltap_lines()), 30))
        self.assertEqual(web.request("POST", "/api/stop", {})[0], 200)
        failover = next(e for e in map(json.loads, web.quilltap_lines()[0]) if e["event"] == "failover")
        self.assertEqual(failover["to"], os.path.join(fallback, reply["folder"]))


class Page(TakeChecks):
    def setUp(self):
        super().setUp()
        profile = self.server.scratch_dir("chromium-")
        chromium = subprocess.Popen(["chromium", "--headless", "--no-sandbox", "--remote-debugging-port=0",
                                     "--user-data-dir=" + profile, "--window-size=480,1000"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: chromium.kill() or chromium.wait())
        port = os.path.join(profile, "DevToolsActivePort")
        self.assertTrue(rig.wait_until(lambda: os.path.exists(port) and open(port).read(), 30), "no DevTools")
        with urllib.request.urlopen("http://127.0.0.1:%s/json/list" % open(port).read().split()[0]) as f:
            page = next(t for t in json.load(f) if t["type"] == "page")
        self.ws = websocket.create_connection(page["webSocketDebuggerUrl"], suppress_origin=True)
        self.addCleanup(self.ws.close)

    def call(self, method, **params):
        """One DevTools command's result; no domain is enabled, so no event comes between."""
        self.ws.send(json.dumps({"id": 1, "method": method, "params": params}))
        self.assertNotIn("error", reply := json.loads(self.ws.recv()), method)
        return reply["result"]

    def js(self, expression, wait=False):
        """The expression's value in the page; with `wait`, once it is true (within 30 s)."""
        value = lambda: self.call("Runtime.evaluate", expression=expression, returnByValue=True)["result"].get("value")
        self.assertTrue(not wait or rig.wait_until(value, 30, 0.1), "never true: " + expression)
        return value()

    def act(self, selector, text=None):
        element = "document.querySelector(%s)" % json.dumps(selector)
        x, y = self.js("(r => [r.x + r.width / 2, r.y + r.height / 2])(%s.getBoundingClientRect())" % element)
        for kind in ("mousePressed", "mouseReleased"):
            self.call("Input.dispatchMouseEvent", type=kind, x=x, y=y, button="left", clickCount=1)
        if text:
            self.js(element + ".select()")
            self.call("Input.insertText", text=text)

    def test_record_watch_the_meters_stop_find_the_take_and_end_another_by_sigterm(self):
        early = EventStream(self.web)
        self.call("Page.navigate", url=self.web.line.split()[-1])
        self.js("document.querySelectorAll('#device option').length > 1", wait=True)
        self.js("document.getElementById('device').value = 'XR18'; "  # picked from the lists
                "document.querySelector('.track:nth-child(2) .kind').value = '2'")
        for selector, text in [(".track:nth-child(1) .name", "Kick"), (".track:nth-child(2) .channel", "3"),
                               (".track:nth-child(2) .name", "Keys"), ("#record", None)]:
            self.act(selector, text)
        bars = "[...document.querySelectorAll('.meter .bar div')].map(d => parseFloat(d.style.width))"
        self.js("(w => w.length == 2 && w.every(x => x > 0))(%s)" % bars, wait=True)
        self.assertEqual(self.web.request("POST", "/api/record", {"tracks": TRACKS})[0], 409)
        late, shown = EventStream(self.web), "[%s, document.getElementById('clock').textContent]" % bars
        first = self.js(shown)
        time.sleep(3)
        self.assertNotEqual(self.js(shown), first, "the meters and the clock stand still")
        self.assertEqual(self.js("[...document.querySelectorAll('.meter span:first-child')].map(s => s.textContent)"),
                         ["Kick (1)", "Keys (3,4)"])
        if os.environ.get("QUILLTAP_WEB_SCREENSHOT"):
            clip = {"x": 0, "y": 0, "scale": 1, "width": 480, "height": self.js("document.body.scrollHeight + 12")}
            with open(os.environ["QUILLTAP_WEB_SCREENSHOT"], "wb") as f:
                f.write(base64.b64decode(self.call("Page.captureScreenshot", format="png", clip=clip)["data"]))
        self.act("#stop")
        self.js("document.getElementById('state').textContent == 'Ready' && [...document.querySelectorAll('#takes a')]"
                ".map(a => a.textContent).join('|') == '01 Kick.wav|02 Keys.wav' && document.getElementById("
                "'messages').textContent.includes('Stopped.')", wait=True)
        said = self.web.quilltap_lines()[0]
        for stream in (early, late):  # a late joiner gets the take from "started"
            self.assertEqual((stream.wait(), stream.lines), ({"stopped": True, "status": 0, "signal": None}, said))
        stopped = self.assert_whole(said)
        self.assertGreaterEqual(stopped["seconds"], 3)
        take = json.loads(self.web.request("GET", "/api/takes")[1])[0]
        self.assertRegex(take["folder"], r"^\d{4}-\d\d-\d\d \d\d\.\d\d\.\d\d$")
        for path, listed in zip(stopped["files"], take["files"]):
            got = self.web.request("GET", "/takes/" + urllib.parse.quote(take["folder"] + "/" + listed["name"]))[1]
            self.assertEqual((os.path.join(self.web.takes, take["folder"], listed["name"]), listed["size"], listed[
                "seconds"], got), (path, os.path.getsize(path), stopped["seconds"], open(path, "rb").read()))
        self.act("#record")  # SIGTERM to quilltap-web mid-take still ends it with "stopped"
        time.sleep(1.5)
        self.web.proc.send_signal(signal.SIGTERM)
        self.assertEqual((self.web.proc.wait(30), *self.web.proc.communicate()), (0, b"", b""))
        self.assert_whole(self.web.quilltap_lines()[0])
