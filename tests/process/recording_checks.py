"""Checks shared by the recording and failover process tests: the counter in track files and
mixes, events, and real faulty drives (a tiny tmpfs, a file size limit)."""

import os
import re
import struct
import subprocess
import time
import unittest
from collections import namedtuple

import rig

RATE = 48000
DEVICE = "XR18"
PRETTY = "XR18 Multichannel"
CHANNELS = 18
LOST_INPUT = re.compile(r"Lost \d+ ms of input: the system could not keep up\.")
LAST_SECONDS = re.compile(r"The last \d+ s couldn\u2019t be written: the drive stopped responding\.")


def wait_until(predicate, timeout, step=0.02):
    """True once `predicate()` holds, False if `timeout` seconds pass first."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(step)
    return True


def frames(seconds):
    """An event's seconds as a whole number of frames (it must be one)."""
    n = round(seconds * RATE)
    if abs(seconds * RATE - n) > 1e-6:
        raise AssertionError("%r s is not a whole number of frames" % seconds)
    return n


def notable(rec):
    """The events that tell what happened: no progress, and no lost-input warning (those come
    from an overloaded machine and are judged with the counter instead)."""
    return [e for e in rec.events if e["event"] != "progress"
            and not (e["event"] == "warning" and LOST_INPUT.fullmatch(e["message"]))]


def input_lost(rec, server, xruns_before=0):
    """True when frames may legitimately be missing: the server logged an xrun since
    `xruns_before` (a client can then miss a cycle) or the recorder said it dropped input."""
    return server.xruns() > xruns_before or any(
        e["event"] == "warning" and LOST_INPUT.fullmatch(e["message"]) for e in rec.events)


def mixer(server, **options):
    # The pretty name is reasserted: the metadata store is shared by every server on the machine.
    return rig.SignalClient(server, DEVICE, ports=CHANNELS, pretty=PRETTY, repretty_seconds=0.5,
                            **options)


def start_mixer(**options):
    """A private dummy server with the simulated XR18 on it, for one module's tests:
    (server, device). `options` go to the signal client (silent=, full=)."""
    server = rig.server(capture=CHANNELS)
    server.start()
    device = mixer(server, **options)
    try:
        device.start()
    except Exception:
        server.stop()
        raise
    return server, device


def stop_mixer(server, device):
    device.stop()
    server.stop()


class RecordingCase(unittest.TestCase):
    """Assertions on what the recorder wrote; subclasses set `server`."""

    server = None
    maxDiff = None

    def setUp(self):
        self.xruns_before = self.server.xruns() if self.server is not None else 0

    def lost(self, rec):
        return input_lost(rec, self.server, self.xruns_before)

    def record(self, args, **kwargs):
        rec = rig.Recorder(args, server=self.server, **kwargs)
        self.addCleanup(rec.kill)
        return rec

    def assert_stopped(self, rec, reason, files, interrupted=()):
        """Exactly one "stopped", the last event, with these fields; exit status 0. Returns it."""
        stopped = rec.wait_for("stopped", timeout=30)
        self.assertEqual(rec.wait(), 0)
        self.assertEqual(rec.of("stopped"), [stopped])
        self.assertIs(rec.events[-1], stopped)
        self.assertEqual(set(stopped), {"event", "reason", "seconds", "files", "interrupted"})
        self.assertEqual(stopped["reason"], reason)
        self.assertEqual(stopped["files"], list(files))
        self.assertEqual(stopped["interrupted"], list(interrupted))
        return stopped

    def assert_counter(self, samples, bits, what, lost=False):
        """The samples are the counter, one frame after the other, none lost or repeated; with
        `lost`, whole server periods may be skipped forward (a missed cycle)."""
        gaps = rig.counter_gaps(samples, bits, runs=bits == 16)
        if lost:
            gaps = [g for g in gaps if not _period_skip(g, self.server.period, bits)]
        if gaps:
            zeros = next((i for i, v in enumerate(samples) if v != 0), len(samples))
            self.fail("%s: the counter does not advance by one frame: %d gaps%s, first %s%s"
                      % (what, len(gaps), "+" if len(gaps) >= 100 else "", gaps[:3],
                         "; the file begins with %d zero frames" % zeros if zeros else ""))

    def start_times(self, samples, channels, bits=32):
        """The JACK frame time of the first frame in each of `samples` (a file's channels),
        recorded from the 1-based device `channels`."""
        return [rig.frame_time(rig.first_counter(s, bits), ch - 1)
                for s, ch in zip(samples, channels)]

    def assert_mix(self, wav, terms, lost=False):
        """`wav` is a stereo float mix whose left and right samples are sum(gain * counter) over
        `terms` [(1-based device channel, left gain, right gain)], within float rounding, with
        consecutive frame times. Returns the frame time of its first frame."""
        self.assertEqual((wav.channels, wav.bits, wav.sample_format), (2, 32, "float"))
        self.assertGreater(wav.frames, 0)
        start = _mix_start(wav, terms)
        if start is None:
            self.fail("the first frame of %s is no weighted sum of the counters" % wav.path)
        f, i = start, 0
        while i < wav.frames:
            if _mix_misfit(wav, terms, i, f):
                skipped = _mix_resync(wav, terms, i, f, self.server.period) if lost else None
                if skipped is None:
                    l, r, _ = _mix_at(f, terms)
                    self.fail("frame %d of %s: (%r, %r), expected (%r, %r) for frame time %d"
                              % (i, wav.path, wav.samples[0][i], wav.samples[1][i], l, r, f))
                f = skipped
            f = (f + 1) % rig.COUNTER_MOD
            i += 1
        return start


_SCALE = 2.0 ** -23


def _counter(f, channel0):
    return ((f + rig.CHANNEL_STRIDE * channel0) % rig.COUNTER_MOD) * _SCALE


def _mix_at(f, terms):
    """Left and right for frame time f, and how far float rounding may take the recorder's
    sums from them: a sum of n products is off by at most n * 2^-24 * sum(|g * x|)."""
    left = right = size = 0.0
    for ch, gl, gr in terms:
        v = _counter(f, ch - 1)
        left += gl * v
        right += gr * v
        size += (abs(gl) + abs(gr)) * v
    return left, right, len(terms) * 2.0 ** -24 * size + 2.0 ** -60


def _mix_misfit(wav, terms, i, f):
    """How far frame i of the mix is beyond float rounding from frame time f (0 if it fits)."""
    l, r, tolerance = _mix_at(f, terms)
    return max(0.0, abs(wav.samples[0][i] - l) - tolerance, abs(wav.samples[1][i] - r) - tolerance)


def _mix_start(wav, terms, first=0):
    """The frame time whose weighted counter sum is the mix's frame `first` and the next ones,
    or None. Solved from the side with the larger total gain, for every choice of which
    counters have wrapped."""
    side = 1 if sum(t[1] for t in terms) >= sum(t[2] for t in terms) else 2
    value = wav.samples[side - 1][first]
    total = sum(t[side] for t in terms)
    if total <= 0:
        return None
    candidates = set()
    for wrapped in range(1 << len(terms)):
        offset = sum(t[side] * (rig.CHANNEL_STRIDE * (t[0] - 1)
                                - (rig.COUNTER_MOD if wrapped >> i & 1 else 0))
                     for i, t in enumerate(terms))
        estimate = round((value / _SCALE - offset) / total)
        candidates.update((estimate + d) % rig.COUNTER_MOD for d in range(-3, 4))
    n = min(wav.frames - first, 64)
    for f in sorted(candidates):
        if not any(_mix_misfit(wav, terms, first + i, (f + i) % rig.COUNTER_MOD)
                   for i in range(n)):
            return f
    return None


def _mix_resync(wav, terms, i, f, period):
    """After a missed server cycle: the frame time, a whole number of periods past `f`, that
    fits frame i and the next few, or None."""
    for skip in range(1, 9):
        g = (f + skip * period) % rig.COUNTER_MOD
        if not any(_mix_misfit(wav, terms, j, (g + j - i) % rig.COUNTER_MOD)
                   for j in range(i, min(wav.frames, i + 16))):
            return g
    return None


def _period_skip(gap, period, bits):
    if gap.expected is None or gap.got is None:
        return False
    jump = (gap.got - gap.expected) % (rig.COUNTER_MOD >> (8 if bits == 16 else 0))
    if bits == 16:
        return jump > 0 and (jump << 8) % period == 0
    return jump > 0 and jump % period == 0


class TmpfsDrive:
    """A tmpfs of `size` mounted on a fresh directory: a small drive that fills up for real.
    Needs root; raises unittest.SkipTest when it cannot be had."""

    def __init__(self, parent, size="2m"):
        self.path = os.path.join(parent, "drive")
        self.size = size
        self.mounted = False

    def __enter__(self):
        return self.mount()

    def __exit__(self, *exc):
        self.unmount()
        return False

    def mount(self):
        if os.geteuid() != 0:
            raise unittest.SkipTest("mounting a tmpfs that fills up needs root")
        os.makedirs(self.path)
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%s" % self.size, "tmpfs",
                               self.path], capture_output=True, text=True)
        if done.returncode != 0:
            raise unittest.SkipTest("cannot mount a tmpfs: %s" % done.stderr.strip())
        self.mounted = True
        return self

    def unmount(self):
        if self.mounted:
            if subprocess.run(["umount", self.path], capture_output=True).returncode != 0:
                subprocess.run(["umount", "-l", self.path], capture_output=True)
            self.mounted = False


OnDisk = namedtuple("OnDisk", "header declared frames samples")
OnDisk.__doc__ = """A track file as it lies on the drive: `header` (rig.Wav, header only),
`declared` (the frames its header claims), `frames` and `samples` (every whole frame present
after the header, whatever the header says)."""


def on_disk(path):
    """Reads every whole frame present in a 32-bit float or 24-bit file, also one whose writer
    was interrupted and whose header therefore may lag behind (or run ahead of) its data."""
    header = rig.read_wav(path, partial=True, samples=False)
    if header.container != "RIFF" or (header.bits, header.sample_format) not in (
            (32, "float"), (24, "int")):
        raise AssertionError("%s: not a 32-bit float or 24-bit RIFF file" % path)
    block = header.channels * header.bits // 8
    with open(path, "rb") as f:
        f.seek(header.data_offset - 4)
        declared = struct.unpack("<I", f.read(4))[0] // block
        raw = f.read()
    raw = raw[:len(raw) // block * block]
    samples = rig._decode(raw, header.sample_format, header.bits, header.channels)
    return OnDisk(header, declared, len(raw) // block, samples)
