"""quilltap-web against the real quilltap on a private JACK dummy server with a simulated XR18: the
mix's gains, the refusals, a full drive and the ends of a take (test_browser: a take through the page)."""

import glob, http.client, json, os, re, signal, subprocess, sys, time, unittest, urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "process"))
import recording_checks as checks, rig  # noqa: E402

WEB_BIN = os.environ.get("QUILLTAP_WEB_BIN") or os.path.join(os.path.dirname(rig.QUILLTAP_BIN), "quilltap-web")
TRACKS = [{"channels": [1], "name": "Kick"}, {"channels": [3, 4], "name": "Keys"}]
# quilltap as the recorder (exec keeps its pid), its stdout copied to <pid>.events.
WRAPPER = '#!/bin/bash\nexec "%s" "$@" > >(exec tee "%s/$$.events")\n'


class Web:
    """quilltap-web on `server` with the real quilltap behind WRAPPER; `cleanup` gets its close."""
    def __init__(self, server, cleanup, *args, takes=None):
        self.logs = server.scratch_dir("web-")
        self.takes = takes or os.path.join(self.logs, "takes")
        with open(os.open(os.path.join(self.logs, "quilltap"), os.O_CREAT | os.O_WRONLY, 0o755), "w") as f:
            f.write(WRAPPER % (rig.QUILLTAP_BIN, self.logs))
        self.proc = subprocess.Popen([WEB_BIN, "--listen", "127.0.0.1:0", "--takes", self.takes, "--recorder",
                                      self.logs + "/quilltap", *args], env=server.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        cleanup(lambda: self.proc.kill() or self.proc.wait())
        self.first_line = self.proc.stdout.readline().decode()
        self.host, self.token = re.search(r"(127.0.0.1:\d+)/\?token=(\w+)", self.first_line).groups()

    def request(self, method, path, body=None, token=True, headers={}):
        """(status, body, response); a dict `body` goes as JSON and the reply is read as JSON."""
        conn = http.client.HTTPConnection(self.host, timeout=60)
        path += ("&" if "?" in path else "?") + "token=" + self.token if token else ""
        conn.request(method, path, json.dumps(body).encode() if isinstance(body, dict) else body, headers)
        data = (response := conn.getresponse()).read()
        return response.status, json.loads(data) if isinstance(body, dict) else data, response

    def quilltap_lines(self):
        """The stdout lines of the latest quilltap run, and its pid."""
        latest = max(glob.glob(self.logs + "/*.events"), key=os.path.getmtime)
        return open(latest).read().splitlines(), int(os.path.basename(latest)[:-len(".events")])


class EventStream:
    """GET /api/events: `wait` reads into `lines` every message's data as sent, into `ends` every "end"."""
    def __init__(self, web):
        self.lines, self.ends, self.kind = [], [], "message"
        conn = http.client.HTTPConnection(web.host, timeout=30)
        conn.request("GET", "/api/events?token=" + web.token)
        self.response = conn.getresponse()

    def wait(self, until):
        deadline = time.monotonic() + 30
        while not until(self):
            assert time.monotonic() < deadline, "event stream: %s, ends %s" % (self.lines[-3:], self.ends)
            line = self.response.readline().decode().rstrip("\n")
            if line.startswith("data: "):
                (self.lines if self.kind == "message" else self.ends).append(line[6:])
            self.kind = line[7:] if line.startswith("event: ") else "message"


class TakeChecks(checks.RecordingCase):
    """The simulated XR18 and one quilltap-web for a class of tests."""

    @classmethod
    def setUpClass(cls):
        cls.server, device = checks.start_mixer()
        cls.addClassCleanup(checks.stop_mixer, cls.server, device)
        cls.web = Web(cls.server, cls.addClassCleanup)

    def record(self, web, body, status=200):
        got, reply, _ = web.request("POST", "/api/record", body)
        self.assertEqual(got, status, reply)
        return reply

    def assert_whole(self, said):
        """quilltap's last line is "stopped" with the reason "stop", and every file holds the counter frame
        by frame (whole periods may be missing where the server skipped a cycle or quilltap lost input)."""
        stopped, lost = json.loads(said[-1]), self.server.xruns() > self.xruns_before or any(map(
            checks.LOST_INPUT.search, said))
        self.assertEqual((stopped["event"], stopped["reason"]), ("stopped", "stop"))
        for wav in map(rig.read_wav, stopped["files"]):  # strict: a cut file fails here
            self.assertEqual((wav.frames, wav.bits), (checks.frames(stopped["seconds"]), 24))
            for samples in wav.samples:
                self.assert_counter(samples, 24, wav.path, lost)
        return stopped


class WebCase(TakeChecks):
    def test_gains_reach_the_mix_and_a_killed_recorder_is_reported_and_its_file_listed(self):
        stream = EventStream(self.web)
        self.record(self.web, {"tracks": TRACKS[:1], "bits": 32, "mix": "Mix", "gains": [1, 0]})
        self.assertEqual(self.web.request("POST", "/api/gains", {"gains": [0, 1, 0]})[0], 400)
        time.sleep(1)
        self.assertEqual(self.web.request("POST", "/api/gains", {"gains": [0, 0.5]})[0], 200)
        time.sleep(1.5)
        os.kill(self.web.quilltap_lines()[1], signal.SIGKILL)
        stream.wait(lambda s: s.ends)
        self.assertEqual(json.loads(stream.ends[0]), {"stopped": False, "status": None, "signal": 9})
        take = json.loads(self.web.request("GET", "/api/takes")[1])[0]
        self.assertGreater(take["files"][0]["seconds"], 0.5, "the cut take's file must still be listed")
        mix = rig.read_wav(os.path.join(self.web.takes, take["folder"], take["files"][0]["name"]), partial=True)
        (left, right), last = mix.samples, mix.frames - 1
        self.assertEqual((left[0] > 0, right[0]), (True, 0.0), "the gains of the request")
        self.assertEqual((left[last], right[last] > 0), (0.0, True), "the gains sent while recording")
        self.assertTrue((right[last] * 2 ** 24).is_integer(), "half the counter on the right")

    def test_refusals_change_nothing_and_the_token_in_a_cookie_lets_the_page_in(self):
        secret, inside = os.path.join(self.server.tmpdir, "secret"), os.path.join(self.web.takes, "2000-01-01 00.00.00")
        open(secret, "w").write("not for the web")
        os.makedirs(inside, exist_ok=True)
        os.symlink(secret, os.path.join(inside, "link.wav"))
        os.symlink(self.server.tmpdir, os.path.join(self.web.takes, "out"))
        before, record, q = os.listdir(self.web.takes), b'{"tracks":[{"channels":[1],"name":"%s"}]}', urllib.parse.quote
        for method, path, body, token, expected in [(m, p, b, False, (401,)) for m, p, b in [
                ("GET", "/", None), ("GET", "/api/devices", None), ("GET", "/api/events", None),
                ("GET", "/api/takes?token=" + "0" * 32, None), ("GET", "/takes/x/y", None),
                ("POST", "/api/record", record % b"A"), ("POST", "/api/stop", b"{}")]] + [
                ("POST", "/api/record", record[:-2], True, (400,)),
                ("POST", "/api/record", b'{"tracks":[{"channels":"1"}]}', True, (400,)),
                ("POST", "/api/record", record % (b"x" * 66000), True, (413,)),
                ("POST", "/api/gains", b'{"gains":[1,0]}', True, (409,)), ("POST", "/api/stop", b"{}", True, (409,))] + [
                ("GET", "/takes/" + p, None, True, (403, 404)) for p in [
                    "../secret", "%2e%2e/secret", "x/..%2f..%2fsecret", "x/%2e%2e%2f%2e%2e%2fsecret", "/" + secret[1:],
                    q(secret, safe=""), "out/secret", q(os.path.basename(inside)) + "/link.wav", "%2e%2e/%2e%2e" + q(secret)]]:
            with self.subTest(method=method, path=path[:60]):
                status, data, _ = self.web.request(method, path, body, token)
                self.assertIn(status, expected)
                self.assertNotIn(b"not for the web", data)
                self.assertIn("error", json.loads(data))
        reply = self.record(self.web, {"tracks": [{"channels": [19]}]}, 422)  # the name: JACK's shared metadata
        self.assertRegex(reply["error"], r"^Channel 19 does not exist on XR18.* \(it has 18 inputs\)$")
        self.assertEqual(os.listdir(self.web.takes), before)
        status, page, response = self.web.request("GET", "/")
        cookie = response.getheader("Set-Cookie").split(";")[0]
        self.assertEqual((status, cookie, b"/api/events" in page), (200, "quilltap_token=" + self.web.token, True))
        self.assertEqual(self.web.request("GET", "/api/takes", token=False, headers={"Cookie": "a=b; " + cookie})[0], 200)

    def test_a_full_drive_moves_the_take_to_the_same_folder_name_in_the_backup(self):
        drive, fallback = checks.TmpfsDrive(self.server.scratch_dir(), "1m").mount(), self.server.scratch_dir("backup-")
        self.addCleanup(drive.unmount)
        web = Web(self.server, self.addCleanup, "--fallback", fallback, takes=drive.path)
        stream = EventStream(web)
        folder = self.record(web, {"tracks": TRACKS})["folder"]
        stream.wait(lambda s: '"failover"' in "".join(s.lines))
        self.assertEqual(web.request("POST", "/api/stop", {})[0], 200)
        self.assertEqual(json.loads(stream.lines[-1])["to"], os.path.join(fallback, folder))

    def test_sigterm_mid_take_still_ends_it_with_stopped_and_whole_files(self):
        web = Web(self.server, self.addCleanup)
        stream = EventStream(web)
        self.record(web, {"tracks": TRACKS})
        time.sleep(1.5)
        web.proc.send_signal(signal.SIGTERM)
        self.assertEqual(web.proc.wait(30), 0)
        said = web.quilltap_lines()[0]
        stream.wait(lambda s: s.ends)
        self.assertEqual(stream.lines, said)
        self.assert_whole(said)
        self.assertEqual((web.proc.stdout.read(), web.proc.stderr.read()), (b"", b""))
        self.assertRegex(web.first_line, r"^open http://127\.0\.0\.1:\d+/\?token=[0-9a-f]{32}\n$")

if __name__ == "__main__":
    unittest.main()
