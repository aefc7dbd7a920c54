"""quilltap-web against the real quilltap on a private dummy server with the simulated XR18:
a take recorded through the API, its event stream held against quilltap's own stdout, the
ends of a take (SIGTERM to quilltap-web, a recorder that is killed) and the refusals."""

import json
import os
import re
import signal
import time
import unittest
import urllib.parse

from webrig import EventStream, Web, rig
from recording_checks import RATE, RecordingCase, TmpfsDrive, frames, start_mixer, stop_mixer

server = device = web = None
TRACKS = [{"channels": [1], "name": "Kick"}, {"channels": [3, 4], "name": "Keys"}]


def setUpModule():
    global server, device, web
    server, device = start_mixer()
    web = Web(server)


def tearDownModule():
    web.close()
    stop_mixer(server, device)


def lost(case, lines):
    """Frames may be missing: the server had an xrun, or quilltap said it lost input."""
    return case.server.xruns() > case.xruns_before or any(
        "Lost" in json.loads(line).get("message", "") for line in lines)


def end_of_take(stream):
    return stream.ends and stream.lines and json.loads(stream.lines[-1])["event"] == "stopped"


class Api(RecordingCase):
    def setUp(self):
        self.server = server
        super().setUp()

    def test_a_take_through_the_api_is_whole_and_streamed_as_quilltap_said_it(self):
        early = EventStream(web)
        status, reply = web.post("/api/record", {"tracks": TRACKS, "bits": 24})
        self.assertEqual(status, 200, reply)
        folder = reply["folder"]
        self.assertRegex(folder, r"^\d{4}-\d\d-\d\d \d\d\.\d\d\.\d\d$")
        self.assertEqual(web.post("/api/record", {"tracks": TRACKS})[0], 409)
        time.sleep(1.5)
        late = EventStream(web)
        time.sleep(1.5)
        status, body, _ = web.request("POST", "/api/stop", b"{}")
        self.assertEqual(status, 200, body)
        stopped = json.loads(body)
        for stream in (early, late):
            stream.wait(end_of_take)
        said, _ = web.quilltap_lines()
        self.assertEqual(early.lines, said)
        self.assertEqual(late.lines, said, "a late joiner must get the take from \"started\"")
        self.assertEqual(json.loads(said[-1]), stopped)
        self.assertEqual([json.loads(e) for e in early.ends],
                         [{"stopped": True, "status": 0, "signal": None}])

        self.assertEqual(stopped["reason"], "stop")
        captured = frames(stopped["seconds"])
        self.assertGreater(captured, 2.5 * RATE)
        takes = json.loads(web.request("GET", "/api/takes")[1])
        listed = {f["name"]: f for t in takes if t["folder"] == folder for f in t["files"]}
        for path, channels in zip(stopped["files"], ([1], [3, 4])):
            name = os.path.basename(path)
            self.assertEqual(path, os.path.join(web.takes, folder, name))
            wav = rig.read_wav(path)
            self.assertEqual((wav.frames, wav.channels, wav.bits), (captured, len(channels), 24))
            for samples, ch in zip(wav.samples, channels):
                self.assert_counter(samples, 24, "%s channel %d" % (name, ch), lost(self, said))
            self.assertEqual(listed[name]["size"], os.path.getsize(path))
            self.assertEqual(listed[name]["seconds"], stopped["seconds"])
            url = "/takes/%s/%s" % (urllib.parse.quote(folder), urllib.parse.quote(name))
            with open(path, "rb") as f:
                self.assertEqual(web.request("GET", url)[1], f.read())

    def test_gains_reach_the_mix(self):
        status, reply = web.post("/api/record", {"tracks": TRACKS[:1], "bits": 32, "mix": "Mix",
                                                 "gains": [1, 0]})
        self.assertEqual(status, 200, reply)
        self.assertEqual(web.post("/api/gains", {"gains": [0, 1, 0]})[0], 400)
        time.sleep(1)
        self.assertEqual(web.post("/api/gains", {"gains": [0, 0.5]})[0], 200)
        time.sleep(1)
        stopped = json.loads(web.request("POST", "/api/stop", b"{}")[1])
        left, right = rig.read_wav(stopped["files"][0]).samples
        self.assertEqual((left[0] > 0, right[0]), (True, 0.0), "the gains of the request")
        self.assertEqual((left[-1], right[-1] > 0), (0.0, True), "the gains sent while recording")
        self.assertTrue((right[-1] * 2 ** 24).is_integer(), "half the counter on the right")

    def test_refusals_change_nothing(self):
        secret = os.path.join(server.tmpdir, "secret")
        with open(secret, "w") as f:
            f.write("not for the web")
        inside = os.path.join(web.takes, "2000-01-01 00.00.00")
        os.makedirs(inside, exist_ok=True)
        os.symlink(secret, os.path.join(inside, "link.wav"))
        os.symlink(server.tmpdir, os.path.join(web.takes, "out"))
        before = os.listdir(web.takes)
        cases = [
            # (method, path, body, token, status)
            ("GET", "/", None, False, 401),
            ("GET", "/api/devices", None, False, 401),
            ("GET", "/api/events", None, False, 401),
            ("GET", "/api/takes?token=" + "0" * 32, None, False, 401),
            ("GET", "/takes/x/y", None, False, 401),
            ("POST", "/api/record", b'{"tracks":[{"channels":[1]}]}', False, 401),
            ("POST", "/api/stop", b"{}", False, 401),
            ("POST", "/api/record", b'{"tracks":[{"channels":[1]}', True, 400),
            ("POST", "/api/record", b'{"tracks":[{"channels":"1"}]}', True, 400),
            ("POST", "/api/record", b'{"tracks":[{"channels":[1],"name":"%s"}]}' % (b"x" * 66000),
             True, 413),
            ("POST", "/api/gains", b'{"gains":[1,0]}', True, 409),
            ("POST", "/api/stop", b"{}", True, 409),
        ] + [("GET", path, None, True, (403, 404)) for path in [
            "/takes/../secret", "/takes/%2e%2e/secret", "/takes/x/..%2f..%2fsecret",
            "/takes/x/%2e%2e%2f%2e%2e%2fsecret", "/takes//" + secret.lstrip("/"),
            "/takes/" + urllib.parse.quote(secret, safe=""), "/takes/out/secret",
            "/takes/%s/link.wav" % urllib.parse.quote(os.path.basename(inside)),
            "/takes/%2e%2e/%2e%2e" + urllib.parse.quote(secret)]]
        for method, path, body, token, expected in cases:
            with self.subTest(method=method, path=path[:60]):
                status, data, _ = web.request(method, path, body, token)
                self.assertIn(status, expected if isinstance(expected, tuple) else (expected,))
                self.assertNotIn(b"not for the web", data)
                self.assertIn("error", json.loads(data))
        status, reply = web.post("/api/record", {"tracks": [{"channels": [19]}]})
        self.assertEqual(status, 422)  # the device's name comes from the shared metadata store
        self.assertRegex(reply["error"], r"^Channel 19 does not exist on XR18.* \(it has 18 inputs\)$")
        self.assertEqual(os.listdir(web.takes), before)

    def test_the_token_in_a_cookie_lets_the_page_in(self):
        status, page, response = web.request("GET", "/")
        self.assertEqual(status, 200)
        cookie = response.getheader("Set-Cookie").split(";")[0]
        self.assertEqual(cookie, "quilltap_token=" + web.token)
        self.assertIn(b"/api/events", page)
        self.assertEqual(web.request("GET", "/api/takes", token=False,
                                     headers={"Cookie": "a=b; " + cookie})[0], 200)


class Backup(RecordingCase):
    def test_a_full_drive_moves_the_take_to_the_same_folder_name_in_the_backup(self):
        fallback = server.scratch_dir("backup-")
        with TmpfsDrive(server.scratch_dir(), "1m") as drive:
            other = Web(server, "--fallback", fallback, takes=drive.path)
            try:
                stream = EventStream(other)
                status, reply = other.post("/api/record", {"tracks": TRACKS})
                self.assertEqual(status, 200, reply)
                stream.wait(lambda s: any('"failover"' in line for line in s.lines))
                self.assertEqual(other.request("POST", "/api/stop", b"{}")[0], 200)
            finally:
                other.close()
        failover = next(json.loads(line) for line in stream.lines if '"failover"' in line)
        self.assertEqual(failover["to"], os.path.join(fallback, reply["folder"]))


class Endings(RecordingCase):
    """A recorder killed mid-take is reported; SIGTERM to quilltap-web ends the take whole."""

    def setUp(self):
        self.server = server
        super().setUp()
        self.web = Web(server)
        self.addCleanup(self.web.close)

    def test_killed_recorder_is_reported_and_sigterm_still_ends_with_stopped(self):
        stream = EventStream(self.web)
        self.assertEqual(self.web.post("/api/record", {"tracks": TRACKS[:1]})[0], 200)
        time.sleep(1.5)
        os.kill(self.web.quilltap_lines()[1], signal.SIGKILL)
        stream.wait(lambda s: s.ends)
        self.assertEqual(json.loads(stream.ends[0]), {"stopped": False, "status": None, "signal": 9})
        killed = json.loads(self.web.request("GET", "/api/takes")[1])[0]["files"][0]
        self.assertGreater(killed["seconds"], 0.5, "the cut take's file must still be listed")

        self.assertEqual(self.web.post("/api/record", {"tracks": TRACKS})[0], 200)
        time.sleep(1.5)
        self.web.proc.send_signal(signal.SIGTERM)
        self.assertEqual(self.web.proc.wait(30), 0)
        said, _ = self.web.quilltap_lines()
        stopped = json.loads(said[-1])
        self.assertEqual(stopped["reason"], "stop")
        stream.wait(lambda s: len(s.ends) == 2)
        self.assertEqual(stream.lines[-len(said):], said)
        for path in stopped["files"]:
            wav = rig.read_wav(path)  # strict: a cut file fails here
            self.assertEqual(wav.frames, frames(stopped["seconds"]))
            self.assert_counter(wav.samples[0], 24, path, lost(self, said))
        self.assertEqual(self.web.proc.stdout.read(), b"")
        self.assertEqual(self.web.proc.stderr.read(), b"")
        self.assertTrue(re.fullmatch(r"open http://127\.0\.0\.1:\d+/\?token=[0-9a-f]{32}\n",
                                     self.web.first_line))


if __name__ == "__main__":
    unittest.main()
