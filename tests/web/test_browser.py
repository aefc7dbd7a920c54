"""Takes through the page in headless Chromium, driven over DevTools as a person would, held against
quilltap's own stdout. QUILLTAP_WEB_SCREENSHOT=path keeps the page mid-recording (docs/web.png)."""

import base64, json, os, signal, subprocess, time, urllib.parse, urllib.request, websocket

from test_web import TRACKS, EventStream, TakeChecks, rig


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
