"""The page in headless Chromium, driven through the DevTools protocol as a person would use
it: open the printed address, pick the device and two tracks, record, watch the meters, stop,
find the take. QUILLTAP_WEB_SCREENSHOT=path keeps a picture of the page mid-recording."""

import base64
import itertools
import json
import os
import shutil
import subprocess
import tempfile
import time
import unittest
import urllib.request

import websocket

from webrig import Web
from recording_checks import start_mixer, stop_mixer, wait_until


class Browser:
    def __init__(self):
        self.profile = tempfile.mkdtemp(prefix="quilltap-chromium-")
        self.proc = subprocess.Popen(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
             "--no-first-run", "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--user-data-dir=" + self.profile, "--remote-debugging-port=0",
             "--window-size=480,1000", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        port_file = os.path.join(self.profile, "DevToolsActivePort")
        if not wait_until(lambda: os.path.exists(port_file) and open(port_file).read(), 30):
            raise AssertionError("chromium did not open its DevTools port")
        port = open(port_file).read().split()[0]
        with urllib.request.urlopen("http://127.0.0.1:%s/json/list" % port) as f:
            page = next(t for t in json.load(f) if t["type"] == "page")
        self.ws = websocket.create_connection(page["webSocketDebuggerUrl"], suppress_origin=True)
        self.ids = itertools.count(1)

    def call(self, method, **params):
        sent = next(self.ids)
        self.ws.send(json.dumps({"id": sent, "method": method, "params": params}))
        while True:
            reply = json.loads(self.ws.recv())
            if reply.get("id") == sent:
                if "error" in reply:
                    raise AssertionError("%s: %s" % (method, reply["error"]))
                return reply["result"]

    def js(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True,
                           awaitPromise=True)
        if "exceptionDetails" in result:
            raise AssertionError("%s: %s" % (expression, result["exceptionDetails"]))
        return result["result"].get("value")

    def click(self, selector):
        x, y = self.js("(r => [r.x + r.width / 2, r.y + r.height / 2])"
                       "(document.querySelector(%s).getBoundingClientRect())" % json.dumps(selector))
        for kind in ("mousePressed", "mouseReleased"):
            self.call("Input.dispatchMouseEvent", type=kind, x=x, y=y, button="left", clickCount=1)

    def type(self, selector, text):
        self.js("document.querySelector(%s).select()" % json.dumps(selector))
        self.call("Input.insertText", text=text)

    def choose(self, selector, value):
        self.js("(s => { s.value = %s; s.dispatchEvent(new Event('change')); })"
                "(document.querySelector(%s))" % (json.dumps(value), json.dumps(selector)))

    def until(self, expression, timeout=15):
        if not wait_until(lambda: self.js(expression), timeout, step=0.1):
            raise AssertionError("never true in the page: " + expression)

    def close(self):
        self.ws.close()
        self.proc.kill()
        self.proc.wait()
        shutil.rmtree(self.profile, ignore_errors=True)


class Page(unittest.TestCase):
    def setUp(self):
        server, device = start_mixer()
        self.addCleanup(stop_mixer, server, device)
        self.web = Web(server)
        self.addCleanup(self.web.close)
        self.browser = Browser()
        self.addCleanup(self.browser.close)

    def test_record_watch_the_meters_stop_and_find_the_take(self):
        b = self.browser
        b.call("Page.navigate", url=self.web.first_line.split()[-1])
        b.until("document.querySelectorAll('#device option').length > 1")
        b.choose("#device", "XR18")
        b.type(".track:nth-child(1) .name", "Kick")
        b.choose(".track:nth-child(2) .kind", "2")
        b.type(".track:nth-child(2) .channel", "3")
        b.type(".track:nth-child(2) .name", "Keys")
        b.click("#record")
        bars = "[...document.querySelectorAll('.meter .bar div')].map(d => parseFloat(d.style.width))"
        b.until("(w => w.length == 2 && w.every(x => x > 0))(%s)" % bars)
        first = (b.js(bars), b.js("document.getElementById('clock').textContent"))
        time.sleep(1)
        self.assertNotEqual((b.js(bars), b.js("document.getElementById('clock').textContent")),
                            first, "the meters and the clock stand still")
        self.assertEqual(b.js("[...document.querySelectorAll('.meter span:first-child')]"
                              ".map(s => s.textContent)"), ["Kick (1)", "Keys (3,4)"])
        shot = os.environ.get("QUILLTAP_WEB_SCREENSHOT")
        if shot:
            with open(shot, "wb") as f:
                clip = {"x": 0, "y": 0, "scale": 1, "width": b.js("innerWidth"),
                        "height": b.js("document.body.scrollHeight + 12")}
                f.write(base64.b64decode(b.call("Page.captureScreenshot", format="png",
                                                clip=clip)["data"]))
        b.click("#stop")
        b.until("document.getElementById('state').textContent == 'Ready'")
        b.until("[...document.querySelectorAll('#takes a')].map(a => a.textContent).join('|')"
                " == '01 Kick.wav|02 Keys.wav'")
        self.assertIn("Stopped.", b.js("document.getElementById('messages').textContent"))
        said, _ = self.web.quilltap_lines()
        self.assertEqual(json.loads(said[-1])["reason"], "stop")


if __name__ == "__main__":
    unittest.main()
