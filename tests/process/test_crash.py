"""A recorder killed at any moment (SIGKILL: no handler, no last write) leaves track files that
are readable WAV files: each header describes data that is there, without a gap, and covers all
audio up to about a second before the kill (the header is brought up to date with each sync)."""

import os
import random
import signal
import struct
import time
import unittest
from array import array

import rig
from recording_checks import RATE, start_mixer, stop_mixer

TRACKS = ["1:Kick", "2,3:Keys", "18:Room"]
RUNS = 10


def declared_and_present(path):
    """(frames the header declares, whole frames present, bytes per frame, samples offset)."""
    with open(path, "rb") as f:
        head = f.read(4096)
    size = os.path.getsize(path)
    fmt = head.find(b"fmt ")
    channels, = struct.unpack_from("<H", head, fmt + 10)
    bits, = struct.unpack_from("<H", head, fmt + 22)
    data = head.find(b"data")
    declared_bytes, = struct.unpack_from("<I", head, data + 4)
    frame_bytes = channels * bits // 8
    body = data + 8
    return declared_bytes // frame_bytes, (size - body) // frame_bytes, frame_bytes, body


def counter_of_24_bit(path, body, frames, channels):
    """The first channel's 24-bit samples of the first `frames` frames, as ints."""
    with open(path, "rb") as f:
        f.seek(body)
        raw = f.read(frames * channels * 3)
    step = channels * 3
    return array("i", (int.from_bytes(raw[i:i + 3], "little", signed=True)
                       for i in range(0, len(raw), step)))


class KilledAtRandomMoments(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server, cls.device = start_mixer()

    @classmethod
    def tearDownClass(cls):
        stop_mixer(cls.server, cls.device)

    def test_every_file_stays_readable_and_misses_at_most_about_a_second(self):
        chooser = random.Random(int(os.environ.get("QUILLTAP_CRASH_SEED", time.time())))
        for run in range(RUNS):
            delay = chooser.uniform(0.3, 3.5)
            with self.subTest(run=run, delay=round(delay, 2)):
                self.kill_after(delay)

    def kill_after(self, delay):
        out = os.path.join(self.server.scratch_dir(), "take")
        args = ["record", "--out", out]
        for track in TRACKS:
            args += ["--track", track]
        xruns = self.server.xruns()
        rec = rig.Recorder(args, server=self.server)
        self.addCleanup(rec.kill)
        started = rec.wait_for("started", timeout=10)
        time.sleep(delay)
        captured = max([e["seconds"] for e in rec.of("progress")], default=0.0)
        rec.proc.send_signal(signal.SIGKILL)
        rec.proc.wait(10)
        for track in started["tracks"]:
            path = track["file"]
            declared, present, frame_bytes, body = declared_and_present(path)
            # The header never claims audio that is not there...
            self.assertLessEqual(declared, present, path)
            # ...and covers everything but about the last second.
            self.assertGreaterEqual(declared, int((captured - 1.3) * RATE), path)
            counter = counter_of_24_bit(path, body, present, frame_bytes // 3)
            gaps = rig.counter_gaps(counter, 24)
            # An overloaded server skips whole cycles (it logs an xrun): the signal client's
            # counter then jumps by periods, through no fault of the recorder.
            if self.server.xruns() > xruns:
                gaps = [g for g in gaps if g.got is not None and (g.got - g.expected) % 1024 != 0]
            self.assertEqual(gaps, [], path)


if __name__ == "__main__":
    unittest.main()
