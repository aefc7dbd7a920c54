"""Recording from the simulated XR18 on a private dummy server: track files at every depth,
stopped by signals, the stereo mix with its gains, and the failures found before recording
starts. The files are checked frame by frame against the signal client's counter."""

import os
import signal
import struct
import time
import unittest

import rig
from recording_checks import (CHANNELS, PRETTY, RATE, RecordingCase, frames, notable, start_mixer,
                              stop_mixer)

server = None
device = None


def setUpModule():
    global server, device
    server, device = start_mixer()


def tearDownModule():
    stop_mixer(server, device)


def started_event(bits, tracks):
    """The "started" event expected for `tracks` [(name, channels, file)]."""
    return {"event": "started", "device": PRETTY, "sampleRate": float(RATE),
            "deviceChannels": CHANNELS, "bits": bits,
            "tracks": [{"name": n, "channels": list(c), "file": f} for n, c, f in tracks]}


class Case(RecordingCase):
    def setUp(self):
        self.server = server
        super().setUp()


class TrackMode(Case):
    def record_for(self, args, seconds, stop_signal):
        """Starts a recording, lets it run for `seconds`, stops it with `stop_signal`."""
        rec = self.record(args)
        started = rec.wait_for("started")
        rec.wait_for("progress", where=lambda e: e["seconds"] > 0)  # PipeWire links late
        time.sleep(seconds)
        rec.signal(stop_signal)
        return rec, started

    def assert_tracks(self, rec, stopped, bits, tracks):
        """Every file holds the counter of its device channels in order, every frame from the
        first to the last, all starting at the same frame time, as many frames as captured."""
        captured = frames(stopped["seconds"])
        self.assertGreater(captured, RATE, "less than a second was captured")
        lost = self.lost(rec)
        starts = []
        for name, channels, path in tracks:
            with self.subTest(track=name):
                wav = rig.read_wav(path)
                starts.append(self.start_times(wav.samples, channels, wav.bits))
                self.assertEqual((wav.rate, wav.channels, wav.bits), (RATE, len(channels), bits))
                self.assertEqual(wav.sample_format, "float" if bits == 32 else "int")
                self.assertEqual(wav.frames, captured)
                for samples, ch in zip(wav.samples, channels):
                    self.assert_counter(samples, bits, "%s channel %d" % (name, ch), lost)
        first = starts[0][0]
        self.assertEqual(starts, [[first] * len(t[1]) for t in tracks],
                         "the tracks do not start at the same frame time")

    def test_mono_and_stereo_tracks_at_32_bits_stopped_by_sigint(self):
        out = os.path.join(self.server.scratch_dir(), "take")
        tracks = [("Kick", [1], os.path.join(out, "01 Kick.wav")),
                  ("Keys", [3, 4], os.path.join(out, "02 Keys.wav")),
                  ("Ch 18", [18], os.path.join(out, "03 Ch 18.wav"))]
        rec, started = self.record_for(["record", "--out", out, "--bits", "32", "--track",
                                        "1:Kick", "--track", "3,4:Keys", "--track", "18"],
                                       1.5, signal.SIGINT)
        self.assertEqual(started, started_event(32, tracks))
        stopped = self.assert_stopped(rec, "signal", [t[2] for t in tracks])
        self.assertEqual(notable(rec), [started, stopped])
        self.assertEqual(sorted(os.listdir(out)), ["01 Kick.wav", "02 Keys.wav", "03 Ch 18.wav"])
        for progress in rec.of("progress"):
            self.assertEqual(len(progress["peaks"]), 3)
        self.assert_tracks(rec, stopped, 32, tracks)

    def test_every_channel_by_default_at_24_bits_stopped_by_sigterm(self):
        out = os.path.join(self.server.scratch_dir(), "all")
        tracks = [("Ch %d" % c, [c], os.path.join(out, "%02d Ch %d.wav" % (c, c)))
                  for c in range(1, CHANNELS + 1)]
        rec, started = self.record_for(["record", "--out", out], 1.5, signal.SIGTERM)
        self.assertEqual(started, started_event(24, tracks))
        stopped = self.assert_stopped(rec, "signal", [t[2] for t in tracks])
        self.assertEqual(sorted(os.listdir(out)), sorted(os.path.basename(t[2]) for t in tracks))
        self.assert_tracks(rec, stopped, 24, tracks)

    def test_16_bits_stopped_by_sighup(self):
        out = self.server.scratch_dir()
        tracks = [("Snare", [2], os.path.join(out, "01 Snare.wav")),
                  ("Overheads", [7, 8], os.path.join(out, "02 Overheads.wav"))]
        rec, started = self.record_for(["record", "--out", out, "--bits", "16", "--track",
                                        "2:Snare", "--track", "7,8:Overheads"],
                                       1.5, signal.SIGHUP)
        self.assertEqual(started, started_event(16, tracks))
        stopped = self.assert_stopped(rec, "signal", [t[2] for t in tracks])
        self.assertEqual(notable(rec), [started, stopped])
        self.assert_tracks(rec, stopped, 16, tracks)

    def test_second_sigint_while_stopping_changes_nothing(self):
        out = self.server.scratch_dir()
        path = os.path.join(out, "01 Vox.wav")
        rec = self.record(["record", "--out", out, "--track", "5:Vox"])
        started = rec.wait_for("started")
        time.sleep(0.5)
        rec.signal(signal.SIGINT)
        for _ in range(3):
            time.sleep(0.005)
            rec.signal(signal.SIGINT)
        stopped = self.assert_stopped(rec, "signal", [path])
        self.assertEqual(notable(rec), [started, stopped])
        wav = rig.read_wav(path)
        self.assertEqual(wav.frames, frames(stopped["seconds"]))
        self.assertGreater(wav.frames, 0)
        self.assert_counter(wav.samples[0], 24, "Vox", self.lost(rec))


class ProcessCallback(Case):
    def test_process_callback_makes_no_call_that_can_lock(self):
        # PipeWire's libjack takes a mutex in jack_port_connected that its other threads hold.
        out = self.server.scratch_dir()
        calls = os.path.join(self.server.scratch_dir(), "calls")
        env = dict(self.server.env, QUILLTAP_RT_PROBE=calls,
                   LD_PRELOAD=os.path.join(rig.TOOLS_DIR, "librt_probe.so"))
        rec = self.record(["record", "--out", out, "--track", "1:Vox"], env=env)
        rec.wait_for("started")
        time.sleep(1.0)
        rec.send("stop\n")
        self.assert_stopped(rec, "stop", [os.path.join(out, "01 Vox.wav")])
        with open(calls) as f:
            self.assertEqual(f.read(), "process callback\n", "calls made inside the callback")


class MixMode(Case):
    MONO = struct.unpack("f", struct.pack("f", 0.7071))[0]  # the default, as a float holds it

    def record_mix(self, extra):
        out = self.server.scratch_dir()
        mix = os.path.join(out, "Main mix.wav")
        rec = self.record(["record", "--out", out, "--bits", "32", "--mix", "Main mix",
                           "--track", "1:Vox", "--track", "2:Gtr", "--track", "5,6:Keys"] + extra)
        started = rec.wait_for("started")
        self.assertEqual(started, started_event(32, [("Vox", [1], mix), ("Gtr", [2], mix),
                                                     ("Keys", [5, 6], mix)]))
        time.sleep(1.5)
        rec.send("stop\n")
        stopped = self.assert_stopped(rec, "stop", [mix])
        self.assertEqual(notable(rec), [started, stopped])
        self.assertEqual(os.listdir(out), ["Main mix.wav"])
        wav = rig.read_wav(mix)
        self.assertEqual(wav.frames, frames(stopped["seconds"]))
        self.assertGreater(wav.frames, RATE)
        return rec, wav

    def test_default_gains_centre_mono_and_pan_stereo_hard(self):
        rec, wav = self.record_mix([])
        g = self.MONO
        self.assert_mix(wav, [(1, g, g), (2, g, g), (5, 1.0, 0.0), (6, 0.0, 1.0)], self.lost(rec))

    def test_explicit_gains(self):
        rec, wav = self.record_mix(["--gains", "0.25,1,1,0,0.5,0.5,0,2"])
        self.assert_mix(wav, [(1, 0.25, 1.0), (2, 1.0, 0.0), (5, 0.5, 0.5), (6, 0.0, 2.0)],
                        self.lost(rec))


if __name__ == "__main__":
    unittest.main()
