"""Holes at the edges of a recording: a descriptor among 0-2 that the parent left closed, a
non-blocking stdin, a source that sends infinities and NaN, a folder name that is not UTF-8, and
a device that is left with fewer ports than the recording uses."""

import math
import os
import signal
import subprocess
import time
import unittest

import rig
from recording_checks import RecordingCase, frames, notable, wait_until

DESK = "Desk"  # counters on 1-3, then +inf, -inf and NaN in every sample
INF, MINUS_INF, NAN = 4, 5, 6
ORIGINAL, FEWER = 18, 4

server = None
desk = None


def setUpModule():
    global server, desk
    server = rig.JackServer(capture=2)
    server.start()
    try:
        desk = rig.SignalClient(server, DESK, ports=6, inf=(INF,), minus_inf=(MINUS_INF,),
                                nan=(NAN,)).start()
    except Exception:
        server.stop()
        raise


def tearDownModule():
    desk.stop()
    server.stop()


class PrivateMetadata:
    """A mount namespace in which JACK's metadata store (a Berkeley DB under /dev/shm, shared
    by every JACK program of the user) is a fresh tmpfs: whatever a faulty recorder does to it
    there, no other JACK program sees. `prefix` runs a command inside. The store's folder is
    made first: it exists only while some server has it open."""

    def __init__(self):
        if os.geteuid() != 0:
            raise unittest.SkipTest("a private mount namespace needs root")
        store = "/dev/shm/jack_db-%d" % os.getuid()
        self.holder = subprocess.Popen(
            ["unshare", "-m", "--propagation", "private", "sh", "-c",
             'mkdir -p "$0" && mount -t tmpfs qtmeta "$0" && echo ok && exec sleep 600', store],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if self.holder.stdout.readline() != b"ok\n":
            self.close()
            raise unittest.SkipTest("no private metadata store: %r" % self.holder.stderr.read())
        self.prefix = ["nsenter", "-t", str(self.holder.pid), "-m", "--"]

    def close(self):
        self.holder.kill()
        self.holder.wait()
        self.holder.stdout.close()
        self.holder.stderr.close()


class Case(RecordingCase):
    def setUp(self):
        self.server = server
        super().setUp()
        self.out = self.server.scratch_dir()

    def assert_recorded(self, path, captured=None, least=0):
        """The track file is complete, holds `captured` frames (at least `least`) and the
        counter frame by frame."""
        wav = rig.read_wav(path)
        if captured is not None:
            self.assertEqual(wav.frames, captured)
        self.assertGreaterEqual(wav.frames, least)
        if wav.frames:
            self.assert_counter(wav.samples[0], 24, path, self.server.xruns() > self.xruns_before)


class ClosedDescriptors(Case):
    # (descriptor the parent left closed, how the recording ends, recorded at least)
    CASES = [(0, "parent-exited", 0), (1, "signal", 48000), (2, "stop", 48000)]

    def test_closed_descriptor_never_lands_on_jacks_metadata_store(self):
        for fd, reason, least in self.CASES:
            with self.subTest(closed=fd):
                meta = PrivateMetadata()
                self.addCleanup(meta.close)
                out = self.server.scratch_dir()
                closing = ["/bin/sh", "-c", 'exec "$0" "$@" %d>&-' % fd, rig.QUILLTAP_BIN]
                rec = self.record(meta.prefix[1:] + closing + [
                    "record", "--device", DESK, "--out", out, "--track", "1:A"],
                    binary=meta.prefix[0])
                held = None
                if fd:
                    time.sleep(1.5)
                    held = os.readlink("/proc/%d/fd/%d" % (rec.proc.pid, fd))
                    if fd == 1:
                        rec.signal(signal.SIGTERM)
                    else:
                        rec.send("stop\n")
                self.assertEqual(rec.wait(), 0)
                store = subprocess.run(meta.prefix + ["jack_property", "-l"],
                                       env=dict(self.server.env, JACK_NO_START_SERVER="1"),
                                       capture_output=True, text=True, timeout=10)
                self.assertEqual((store.returncode, store.stderr), (0, ""),
                                 "JACK's metadata store broke; descriptor %d held %s"
                                 % (fd, held))
                self.assertIn(held, (None, "/dev/null"))
                path = os.path.join(out, "01 A.wav")
                if fd == 1:  # no events to tell the length
                    self.assert_recorded(path, least=least)
                else:
                    stopped = self.assert_stopped(rec, reason, [path])
                    self.assert_recorded(path, frames(stopped["seconds"]), least)


class NonBlockingInput(Case):
    def test_non_blocking_stdin_with_nothing_to_read_does_not_stop_the_recording(self):
        # O_NONBLOCK on the pipe's read end, as a parent that shares its stdin may leave it.
        rec = self.record(["-c", "import fcntl, os, sys; fcntl.fcntl(0, fcntl.F_SETFL, "
                           "os.O_NONBLOCK); os.execv(sys.argv[1], sys.argv[1:])",
                           rig.QUILLTAP_BIN, "record", "--device", DESK, "--out", self.out,
                           "--track", "1:A"], binary="/usr/bin/python3")
        started = rec.wait_for("started")
        went_on = wait_until(lambda: rec.of("stopped") or rec.of("progress") and
                             rec.of("progress")[-1]["seconds"] >= 2.0, 5)
        self.assertEqual(rec.of("stopped"), [], "the recording stopped with nothing to read")
        self.assertTrue(went_on, rec.events[-3:])
        rec.send("stop\n")
        path = os.path.join(self.out, "01 A.wav")
        stopped = self.assert_stopped(rec, "stop", [path])
        self.assertEqual(notable(rec), [started, stopped])
        self.assert_recorded(path, frames(stopped["seconds"]), 2 * 48000)


class NonFiniteSamples(Case):
    def test_infinite_and_nan_samples_give_finite_levels(self):
        rec = self.record(["record", "--device", DESK, "--out", self.out, "--bits", "32",
                           "--track", "%d:Inf" % INF, "--track", "%d:MinusInf" % MINUS_INF,
                           "--track", "%d:NaN" % NAN, "--track", "%d,%d:Pair" % (NAN, INF)])
        rec.wait_for("progress", where=lambda e: e["seconds"] >= 1.0)
        rec.send("stop\n")
        self.assert_stopped(rec, "stop", [os.path.join(self.out, name) for name in (
            "01 Inf.wav", "02 MinusInf.wav", "03 NaN.wav", "04 Pair.wav")])
        bad = [e for e in rec.of("progress") if not all(
            isinstance(p, (int, float)) and math.isfinite(p) for p in e["peaks"])]
        self.assertEqual(bad[:3], [], "%d progress events with levels that are no numbers"
                         % len(bad))


class UnicodePaths(Case):
    def test_folder_name_that_is_not_utf8_is_refused_before_anything_is_created(self):
        for option in ("--out", "--fallback"):
            with self.subTest(option=option):
                base = self.server.scratch_dir()
                paths = {"--out": os.path.join(base, "take"), "--fallback": None}
                paths[option] = os.fsdecode(os.path.join(os.fsencode(base), b"take\xff"))
                args = ["record", "--device", DESK, "--track", "1:A", "--out", paths["--out"]]
                if paths["--fallback"]:
                    args += ["--fallback", paths["--fallback"]]
                rec = rig.run(args, server=self.server)
                self.assertEqual([e["event"] for e in rec.events], ["error"], rec.events)
                self.assertIn(option, rec.events[0]["message"])
                self.assertEqual(rec.status, 1)
                self.assertEqual(os.listdir(base), [])


class FewerPorts(Case):
    def test_device_left_with_fewer_ports_ends_the_recording_instead_of_recording_silence(self):
        device = rig.SignalClient(self.server, "XR18", ports=ORIGINAL, shrink_to=FEWER).start()
        self.addCleanup(device.kill)
        rec = self.record(["record", "--out", self.out, "--track", "1", "--track", "18"])
        rec.wait_for("progress")
        time.sleep(0.5)
        device.shrink()  # ports 5-18 go; the client stays, so the restart finds it at once
        wait_until(lambda: rec.of("stopped"), 5)  # a device gets a second to show its ports
        rec.send("stop\n")
        stopped = rec.wait_for("stopped", timeout=30)
        self.assertEqual(rec.wait(), 0)
        warnings = [e["message"] for e in notable(rec) if e["event"] == "warning"]
        self.assertEqual(stopped["reason"], "device-changed",
                         "the recording went on with %d of its device's %d ports: %s"
                         % (FEWER, ORIGINAL, warnings))
        self.assertEqual(len(warnings), 1, warnings)
        self.assertTrue(warnings[0].startswith("Could not resume recording: ")
                        and warnings[0].endswith(". Saved what was recorded."), warnings)
        self.assert_recorded(stopped["files"][0], frames(stopped["seconds"]), 0.5 * 48000)


if __name__ == "__main__":
    unittest.main()
