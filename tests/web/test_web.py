"""quilltap-web with the real quilltap on a simulated XR18: gains, a killed recorder, refusals, a full drive."""

import glob, http.client, json, os, re, signal, subprocess, sys, time, urllib.parse

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
        cls.addClassCleanup(cls.server.stop)
        cls.addClassCleanup(device.stop)
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
