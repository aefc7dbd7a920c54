"""Checks the rig itself: the signal client on a real dummy server, the event-stream reader,
the WAV reader and the counter checker on files built here byte by byte."""

import glob
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest

import rig
from rig import Gap, COUNTER_MOD

PRETTY = "http://jackaudio.org/metadata/pretty-name"


class SignalClientOnServer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = rig.JackServer(capture=4, playback=2)
        cls.server.start()
        cls.client = rig.SignalClient(cls.server, "Rig4", ports=4, pretty="Rig Four",
                                      silent=[2], full=[3]).start()

    @classmethod
    def tearDownClass(cls):
        cls.client.stop()
        cls.server.stop()

    def test_ports_follow_the_server_order(self):
        self.assertEqual(self.server.ports("Rig4"), ["Rig4:out_%d" % n for n in range(1, 5)])
        self.assertEqual(self.server.ports("system:capture"),
                         ["system:capture_%d" % n for n in range(1, 5)])
        info = self.server.tool("jack_lsp", "-p", "-t", "Rig4:out_1")
        self.assertIn("output", info)
        self.assertIn("32 bit float mono audio", info)

    def test_pretty_name_is_on_the_clients_uuid(self):
        out = self.server.tool("jack_property", "-l", "--client", "Rig4", PRETTY)
        self.assertEqual(out.strip(), "Rig Four")

    def test_pretty_name_is_reasserted(self):
        # The metadata store is shared by all servers while client UUIDs repeat between them:
        # another server's client can erase our name or leave its own on our UUID.
        with rig.SignalClient(self.server, "Named", ports=1, pretty="Named Mixer",
                              repretty_seconds=0.1):
            self.server.tool("jack_property", "--client", "-d", "Named", PRETTY)
            self.assertEqual(self._pretty("Named", wait_for="Named Mixer"), "Named Mixer")
        with rig.SignalClient(self.server, "Plain", ports=1, repretty_seconds=0.1):
            self.server.tool("jack_property", "--client", "-s", "Plain", PRETTY, "Stale")
            self.assertEqual(self._pretty("Plain", wait_for=""), "")

    def _pretty(self, client, wait_for, timeout=5):
        deadline = time.monotonic() + timeout
        while True:
            value = self.server.tool("jack_property", "-l", "--client", client, PRETTY,
                                     check=False).strip()
            if value == wait_for or time.monotonic() > deadline:
                return value
            time.sleep(0.05)

    def test_exact_name_is_enforced(self):
        with self.assertRaises(rig.RigError):
            rig.SignalClient(self.server, "Rig4", ports=1).start()
        self.assertEqual(len(self.server.ports("Rig4")), 4)

    def test_kill_and_stop_remove_the_ports(self):
        gone = rig.SignalClient(self.server, "Unplug", ports=2).start()
        self.assertEqual(len(self.server.ports("Unplug")), 2)
        gone.kill()
        self.assertEqual(self.server.ports("Unplug"), [])
        again = rig.SignalClient(self.server, "Unplug", ports=2).start()
        self.assertEqual(again.stop(), 0)
        self.assertEqual(self.server.ports("Unplug"), [])

    def test_freewheel_can_be_switched(self):
        self.server.freewheel(True)
        self.server.freewheel(False)
        self.assertEqual(len(self.server.ports("Rig4")), 4)

    @unittest.skipUnless(shutil.which("jack_capture"), "jack_capture is not installed")
    def test_counter_square_and_silence_as_recorded_by_jack_capture(self):
        out = os.path.join(self.server.tmpdir, "capture.wav")
        subprocess.run(["jack_capture", "-d", "1", "-f", "wav", "-b", "FLOAT", "-c", "4",
                        "-p", "Rig4:out*", out], env=self.server._tool_env,
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=30, check=True)
        wav = rig.read_wav(out)
        self.assertEqual((wav.channels, wav.sample_format, wav.rate), (4, "float", 48000))
        counter_1, silent, square, counter_4 = wav.samples
        gaps = rig.counter_gaps(counter_1) + rig.counter_gaps(counter_4)
        if gaps and self.server.xruns():
            self.skipTest("the server had an xrun, which skips a cycle: %s" % gaps[:3])
        self.assertEqual(gaps, [])
        self.assertEqual(rig.frame_time(rig.first_counter(counter_1), 0),
                         rig.frame_time(rig.first_counter(counter_4), 3))
        self.assertEqual(set(silent), {0.0})
        self.assertEqual(set(square), {1.0, -1.0})


class ServerLifecycle(unittest.TestCase):
    def test_servers_are_private_and_clients_notice_their_end(self):
        with rig.JackServer(capture=2) as a, rig.JackServer(capture=3) as b:
            self.assertNotEqual(a.name, b.name)
            self.assertEqual(len(a.ports("system:capture")), 2)
            self.assertEqual(len(b.ports("system:capture")), 3)
            client = rig.SignalClient(a, "Lonely", ports=1).start()
            self.assertEqual(b.ports("Lonely"), [])
            a.stop()
            self.assertEqual(client.wait(), 2)
            self.assertEqual(len(b.ports("system:capture")), 3)

    def test_killed_servers_do_not_use_up_the_registry(self):
        # libjack's registry has 8 server slots; a slot of a dead server must be given back.
        for _ in range(10):
            server = rig.JackServer(capture=1, playback=1).start()
            self.assertEqual(server.stop(kill=True), -9)
        self.assertEqual(glob.glob("/dev/shm/jack_%s_*" % server.name), [])

    def test_signal_client_never_starts_a_server(self):
        env = rig.no_server_env()
        done = subprocess.run([rig.SIGNAL_CLIENT, "--name", "X", "--ports", "1"], env=env,
                              capture_output=True, timeout=20)
        self.assertEqual(done.returncode, 1)
        self.assertEqual(done.stdout, b"")
        self.assertEqual(glob.glob("/dev/shm/jack_%s_*" % env["JACK_DEFAULT_SERVER"]), [])

    def test_signal_client_refuses_bad_channel_lists(self):
        for bad in (["--silent", "5"], ["--full", "0"], ["--silent", "1", "--full", "1"],
                    ["--ports", "x"]):
            done = subprocess.run([rig.SIGNAL_CLIENT, "--name", "X", "--ports", "4"] + bad,
                                  env=rig.no_server_env(), capture_output=True, timeout=10)
            self.assertEqual(done.returncode, 1, bad)
            self.assertIn(b"signal_client:", done.stderr)


def fake_recorder(script):
    """A Recorder running a Python one-off instead of quilltap."""
    return rig.Recorder(["-c", script], env=dict(os.environ), binary=sys.executable)


class EventStream(unittest.TestCase):
    def test_events_come_in_order_and_once_each(self):
        rec = fake_recorder(
            "import sys\n"
            "for i in range(3): print('{\"event\":\"progress\",\"seconds\":%d}' % i, flush=True)\n"
            "print('{\"event\":\"stopped\",\"reason\":\"stdin\"}')\n"
            "sys.stdin.read()\n")
        self.assertEqual(rec.wait_for("progress")["seconds"], 0)
        self.assertEqual(rec.wait_for("progress")["seconds"], 1)
        self.assertEqual(rec.wait_for("progress", where=lambda e: e["seconds"] == 2)["seconds"], 2)
        self.assertEqual(rec.wait_for("stopped")["reason"], "stdin")
        rec.close_stdin()
        self.assertEqual(rec.wait(), 0)
        self.assertEqual(len(rec.lines), 4)
        self.assertEqual(len(rec.of("progress")), 3)

    def test_stdin_reaches_the_process(self):
        rec = fake_recorder(
            "import sys, json\n"
            "for line in sys.stdin: print(json.dumps({'event': 'echo', 'line': line}), flush=True)\n")
        self.assertTrue(rec.send("gains 1,0\n"))
        self.assertEqual(rec.wait_for("echo")["line"], "gains 1,0\n")
        rec.send(b"stop\n")
        self.assertEqual(rec.wait_for("echo")["line"], "stop\n")
        rec.close_stdin()
        self.assertEqual(rec.wait(), 0)

    def test_lines_that_are_not_events_fail(self):
        for text in ('{"event":"a"} ', '{"event":1}', '[1]', '{"event":"a","x":NaN}',
                     '{"event":"a","event":"b"}', 'hello', '{"event":"a"}\\r'):
            with self.subTest(text=text):
                rec = fake_recorder("import sys; sys.stdout.write(%r + '\\n')" % text)
                with self.assertRaises(AssertionError):
                    rec.wait()
                self.assertEqual(len(rec.bad_lines), 1)

    def test_unterminated_last_line_fails(self):
        rec = fake_recorder("import sys; sys.stdout.write('{\"event\":\"a\"}')")
        with self.assertRaises(AssertionError):
            rec.wait()

    def test_stderr_fails_wait(self):
        rec = fake_recorder("import sys; sys.stderr.write('oops')")
        with self.assertRaises(AssertionError):
            rec.wait()
        self.assertEqual(rec.stderr_text, "oops")

    def test_missing_event_fails_at_end_of_output_not_at_time_out(self):
        rec = fake_recorder("print('{\"event\":\"started\"}')")
        begin = time.monotonic()
        with self.assertRaises(AssertionError):
            rec.wait_for("stopped", timeout=30)
        self.assertLess(time.monotonic() - begin, 10)
        self.assertEqual(rec.wait(), 0)

    def test_exit_status_is_returned(self):
        rec = fake_recorder("import sys; print('{\"event\":\"error\",\"message\":\"x\"}'); sys.exit(1)")
        self.assertEqual(rec.wait(), 1)
        self.assertEqual(rec.events, [{"event": "error", "message": "x"}])


# ---------------------------------------------------------------------------------------------
# WAV files built by hand

def pack_samples(channels, kind):
    """Interleaved little-endian bytes for per-channel sample lists."""
    out = bytearray()
    for frame in zip(*channels):
        for v in frame:
            if kind == "int16":
                out += struct.pack("<h", v)
            elif kind == "int24":
                out += struct.pack("<i", v)[:3]
            elif kind == "int32":
                out += struct.pack("<i", v)
            else:
                out += struct.pack("<f", v)
    return bytes(out)


def chunk(cid, body):
    return cid + struct.pack("<I", len(body)) + body + (b"\0" if len(body) & 1 else b"")


def fmt_chunk(kind, channels, rate=48000, extensible=False):
    bits = {"int16": 16, "int24": 24, "int32": 32, "float": 32}[kind]
    tag = 3 if kind == "float" else 1
    block = channels * bits // 8
    body = struct.pack("<HHIIHH", 0xFFFE if extensible else tag, channels, rate, rate * block,
                       block, bits)
    if extensible:
        guid = struct.pack("<H", tag) + bytes.fromhex("000000001000800000aa00389b71")
        body += struct.pack("<HHI", 22, bits, 4 if channels == 1 else 3) + guid
    return chunk(b"fmt ", body)


def make_wav(channels, kind, rf64=False, extensible=False, junk=False, trailer=b""):
    data = pack_samples(channels, kind)
    body = fmt_chunk(kind, len(channels), extensible=extensible) + chunk(b"data", data) + trailer
    if junk:
        body = chunk(b"JUNK", bytes(28)) + body
    if not rf64:
        return b"RIFF" + struct.pack("<I", 4 + len(body)) + b"WAVE" + body
    body = body.replace(b"data" + struct.pack("<I", len(data)), b"data\xff\xff\xff\xff", 1)
    ds64 = chunk(b"ds64", struct.pack("<QQQI", 4 + 36 + len(body), len(data),
                                      len(data) // (len(channels) * 4), 0))
    return b"RF64\xff\xff\xff\xffWAVE" + ds64 + body


class WavReader(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="rigwav-")
        self.addCleanup(shutil.rmtree, self.dir)

    def write(self, blob, name="t.wav"):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(blob)
        return path

    def test_int16_stereo(self):
        left, right = [0, 1, -1, 32767, -32768], [5, 6, 7, 8, 9]
        wav = rig.read_wav(self.write(make_wav([left, right], "int16")))
        self.assertEqual((wav.container, wav.sample_format, wav.bits, wav.channels, wav.rate,
                          wav.frames), ("RIFF", "int", 16, 2, 48000, 5))
        self.assertEqual([list(s) for s in wav.samples], [left, right])

    def test_int24_is_sign_extended(self):
        values = [-8388608, -65536, -1, 0, 1, 255, 256, 8388607]
        wav = rig.read_wav(self.write(make_wav([values], "int24")))
        self.assertEqual((wav.bits, wav.sample_format), (24, "int"))
        self.assertEqual(list(wav.samples[0]), values)

    def test_int24_stereo_odd_frames_with_pad_byte(self):
        left, right = [1, -2, 3], [-4, 5, -6]   # 18 bytes: even; mono 3 frames is odd
        self.assertEqual([list(s) for s in rig.read_wav(self.write(
            make_wav([left, right], "int24"))).samples], [left, right])
        mono = rig.read_wav(self.write(make_wav([[7, -8, 9]], "int24"), "odd.wav"))
        self.assertEqual(list(mono.samples[0]), [7, -8, 9])

    def test_extensible_float_and_int32(self):
        floats = [0.0, 0.5, -1.0, 1.0]
        wav = rig.read_wav(self.write(make_wav([floats], "float", extensible=True)))
        self.assertEqual((wav.format_tag, wav.sample_format, wav.bits), (0xFFFE, "float", 32))
        self.assertEqual(list(wav.samples[0]), floats)
        ints = [-(1 << 31), 0, (1 << 31) - 1]
        wav = rig.read_wav(self.write(make_wav([ints], "int32", extensible=True), "i.wav"))
        self.assertEqual((wav.sample_format, list(wav.samples[0])), ("int", ints))

    def test_rf64_and_junk(self):
        values = [0.25, -0.25, 0.125]
        wav = rig.read_wav(self.write(make_wav([values], "float", rf64=True)))
        self.assertEqual((wav.container, wav.chunks), ("RF64", ["ds64", "fmt ", "data"]))
        self.assertEqual(list(wav.samples[0]), values)
        wav = rig.read_wav(self.write(make_wav([values], "float", junk=True), "junk.wav"))
        self.assertEqual((wav.container, wav.chunks[0]), ("RIFF", "JUNK"))
        self.assertEqual(list(wav.samples[0]), values)

    def test_chunks_after_data(self):
        wav = rig.read_wav(self.write(make_wav([[1, 2]], "int16", trailer=chunk(b"LIST", b"abc"))))
        self.assertEqual(wav.chunks, ["fmt ", "data", "LIST"])
        self.assertEqual(list(wav.samples[0]), [1, 2])

    def test_window_and_header_only(self):
        path = self.write(make_wav([list(range(100))], "int16"))
        self.assertEqual(list(rig.read_wav(path, start=90, count=5).samples[0]), [90, 91, 92, 93, 94])
        self.assertEqual(list(rig.read_wav(path, start=98).samples[0]), [98, 99])
        head = rig.read_wav(path, samples=False)
        self.assertEqual((head.frames, head.samples), (100, None))

    def test_truncated_file_is_refused_unless_partial(self):
        blob = make_wav([list(range(10)), list(range(10))], "int16")
        path = self.write(blob[:-6])  # one and a half frames short
        with self.assertRaises(rig.WavError):
            rig.read_wav(path)
        wav = rig.read_wav(path, partial=True)
        self.assertFalse(wav.complete)
        self.assertEqual(wav.frames, 8)
        self.assertEqual(list(wav.samples[1]), list(range(8)))
        self.assertTrue(any("data size" in p for p in wav.problems), wav.problems)

    def test_unfinished_header_with_data_size_zero(self):
        blob = bytearray(make_wav([[3, 4, 5]], "int16"))
        at = blob.index(b"data") + 4
        blob[at:at + 4] = struct.pack("<I", 0)
        blob[4:8] = struct.pack("<I", 36)
        path = self.write(bytes(blob))
        with self.assertRaises(rig.WavError):
            rig.read_wav(path)
        wav = rig.read_wav(path, partial=True)
        self.assertEqual(list(wav.samples[0]), [3, 4, 5])
        self.assertEqual(len(wav.problems), 2, wav.problems)

    def test_size_disagreements_are_refused(self):
        good = make_wav([[1, 2, 3, 4]], "int16")
        cases = {
            "riff size": good[:4] + struct.pack("<I", len(good)) + good[8:],
            "stray bytes": good + b"\0\0\0",
            "truncated data": make_wav([[1, 2]], "int16")[:-2],
        }
        rf = bytearray(make_wav([[0.5, 0.5]], "float", rf64=True))
        rf[20:28] = struct.pack("<Q", 12345)   # ds64 RIFF size
        cases["ds64 riff size"] = bytes(rf)
        odd = bytearray(good)
        at = odd.index(b"data") + 4
        odd[at:at + 4] = struct.pack("<I", 7)
        cases["data not whole frames"] = bytes(odd[:-1])
        for name, blob in cases.items():
            with self.subTest(name):
                with self.assertRaises(rig.WavError):
                    rig.read_wav(self.write(blob, "bad.wav"))

    def test_unsupported_formats_are_refused(self):
        blob = make_wav([[1.0]], "float")
        bad_bits = blob.replace(struct.pack("<HH", 4, 32), struct.pack("<HH", 4, 64), 1)
        for name, data in {"not wave": b"RIFX" + blob[4:], "64-bit float": bad_bits,
                           "empty": b""}.items():
            with self.subTest(name):
                with self.assertRaises(rig.WavError):
                    rig.read_wav(self.write(data, "bad.wav"))


# ---------------------------------------------------------------------------------------------
# Counter checks

def counter(start, count, channel=0):
    return [((start + i + 4099 * channel) % COUNTER_MOD) for i in range(count)]


def as_float(ks):
    return [k / 8388608.0 for k in ks]


class CounterChecks(unittest.TestCase):
    def test_continuous_counter_across_the_wrap_has_no_gaps(self):
        ks = counter(COUNTER_MOD - 70000, 150000)   # crosses 2^22 and several compare blocks
        self.assertEqual(rig.counter_gaps(as_float(ks)), [])
        self.assertEqual(rig.counter_gaps(rig.array("i", ks), 24), [])
        self.assertEqual(rig.counter_gaps([k << 8 for k in ks], 32), [])

    def test_lost_and_repeated_frames_are_reported(self):
        ks = counter(1000, 140000)
        damaged = ks[:70000] + ks[70001:100000] + [ks[99999]] + ks[100000:]
        expected = [Gap(70000, 71000, 71001), Gap(99999, 101000, 100999)]
        self.assertEqual(rig.counter_gaps(as_float(damaged)), expected)
        self.assertEqual(rig.counter_gaps(damaged, 24), expected)
        self.assertEqual(rig.counter_gaps([k << 8 for k in damaged], 32), expected)

    def test_a_sample_that_is_no_counter_value(self):
        samples = as_float(counter(10, 20))
        samples[5] = 0.3
        self.assertEqual(rig.counter_gaps(samples), [Gap(5, 15, None)])
        self.assertEqual(rig.counter_gaps([-1.0] * 5, limit=3), [Gap(i, None, None) for i in range(3)])

    def test_frame_times_remove_the_channel_offset(self):
        for channel in (0, 5, 17):
            ks = counter(COUNTER_MOD - 3, 10, channel)
            self.assertEqual(rig.frame_time(rig.first_counter(as_float(ks)), channel),
                             COUNTER_MOD - 3)
            self.assertEqual(rig.frame_time(rig.last_counter(ks, 24), channel), 6)
            self.assertEqual(rig.frame_times(as_float(ks), channel)[3], 0)

    def test_joining_part_files(self):
        first, second = counter(500, 2000), counter(2500 - 48, 1000)
        self.assertEqual(rig.join_overlap(first, second, 24), 48)
        self.assertEqual(rig.join_gaps(first, second, 48, 24), [])
        self.assertEqual(rig.join_gaps(first, second, 47, 24), [Gap(0, 2453, 2452)])
        lost = counter(2510, 100)
        self.assertEqual(rig.join_overlap(as_float(first), as_float(lost)), -10)
        wrapped = counter(COUNTER_MOD - 5, 5), counter(0, 5)
        self.assertEqual(rig.join_overlap(*wrapped, 24), 0)

    def test_16_bit_counter(self):
        ks = counter(COUNTER_MOD - 20000, 60000)
        clean = [k >> 8 for k in ks]
        self.assertEqual(rig.counter_gaps(clean, 16), [])
        self.assertEqual(rig.counter_gaps(clean, 16, runs=True), [])
        # 511 or more lost frames move k >> 8 by more than one step: always found.
        lost = [k >> 8 for k in ks[:30000] + ks[30511:]]
        self.assertEqual([g.position for g in rig.counter_gaps(lost, 16)], [30000])
        # 300 may move it by a single step; the run-length check still sees it.
        lost = [k >> 8 for k in ks[:30000] + ks[30300:]]
        self.assertEqual(len(rig.counter_gaps(lost, 16, runs=True)), 1)
        # One lost frame keeps every step at 0 or 1: only the run-length check sees it.
        one = [k >> 8 for k in ks[:30000] + ks[30001:]]
        self.assertEqual(rig.counter_gaps(one, 16), [])
        self.assertEqual(len(rig.counter_gaps(one, 16, runs=True)), 1)

    def test_16_bit_positions_come_from_value_changes(self):
        ks = counter(256 * 10 + 17, 1000)
        values = [k >> 8 for k in ks]
        self.assertEqual(rig.first_counter(values, 16), ks[0])
        self.assertEqual(rig.last_counter(values, 16), ks[-1])
        self.assertIsNone(rig.first_counter([5] * 100, 16))

    def test_wav_round_trip_of_a_damaged_counter(self):
        ks = counter(4000000, 30000, channel=3)
        ks = ks[:12345] + ks[12400:]
        directory = tempfile.mkdtemp(prefix="rigwav-")
        self.addCleanup(shutil.rmtree, directory)
        path = os.path.join(directory, "c.wav")
        with open(path, "wb") as f:
            f.write(make_wav([ks], "int24"))
        wav = rig.read_wav(path)
        self.assertEqual(rig.counter_gaps(wav.samples[0], wav.bits),
                         [Gap(12345, ks[12344] + 1, ks[12345])])


if __name__ == "__main__":
    unittest.main()
