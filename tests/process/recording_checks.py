"""Checks shared by the process tests: a private server with the simulated XR18, real faulty
drives (a tiny tmpfs; freezefs, whose writes freeze or fail on demand), and what a take must
hold: the counter frame by frame, in track files and in mixes."""

import ctypes, os, re, signal, subprocess, unittest

import rig
from rig import wait_until  # noqa: F401  (part of what the process tests import from here)

RATE, DEVICE, PRETTY, CHANNELS = 48000, "XR18", "XR18 Multichannel", 18
LOST_INPUT = re.compile(r"Lost \d+ ms of input: the system could not keep up\.")
LAST_SECONDS = re.compile(r"The last (\d+) s couldn\u2019t be written: the drive stopped responding\.")


def frames(seconds):
    """An event's seconds as the whole number of frames it must be."""
    n = round(seconds * RATE)
    if abs(seconds * RATE - n) > 1e-6:
        raise AssertionError("%r s is not a whole number of frames" % seconds)
    return n


def notable(rec):
    """The events but progress and lost-input warnings (the counter judges those)."""
    return [e for e in rec.events if e["event"] != "progress"
            and not LOST_INPUT.fullmatch(e.get("message", "") if e["event"] == "warning" else "")]


def start_mixer(**options):
    """A private server with the simulated XR18 on it: (server, device)."""
    server = rig.server(capture=CHANNELS).start()
    try:
        return server, rig.SignalClient(server, DEVICE, CHANNELS, PRETTY, **options).start()
    except Exception:
        server.stop()
        raise


def _unmount(path):
    """Lazily, and from here: a spawned umount could block on a frozen drive."""
    ctypes.CDLL(None).umount2(os.fsencode(path), 2)


class TmpfsDrive(rig.Context):
    """A tmpfs of `size` on a fresh directory: a drive that fills up for real."""

    def __init__(self, parent, size="2m"):
        self.path, self.size = os.path.join(parent, "drive"), size

    def mount(self):
        if os.geteuid():
            raise unittest.SkipTest("mounting a tmpfs needs root")
        os.makedirs(self.path)
        subprocess.run(("mount -t tmpfs -o size=%s tmpfs" % self.size).split() + [self.path], check=True)
        return self

    def unmount(self):
        _unmount(self.path)

    start, stop = mount, unmount


class FreezeFs:
    """tests/tools/freezefs on `mountpoint` over `backing`: freeze() blocks the calls that change
    the drive (all calls with freeze_all), thaw() lets them go on, fail() answers them with EIO.
    While frozen, a process with a file open for writing there must not fork: the child's copy
    of the descriptor is closed by a FUSE flush, which blocks."""

    def __init__(self, backing, mountpoint, freeze_all=False):
        if os.geteuid():
            raise unittest.SkipTest("freezefs needs root")
        self.backing, self.mountpoint = backing, mountpoint
        for d in (backing, mountpoint):
            os.makedirs(d, exist_ok=True)
        self.proc = subprocess.Popen([os.path.join(rig.TOOLS_DIR, "freezefs"), backing, mountpoint]
                                     + ["--freeze-all"] * freeze_all, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, bufsize=0)
        rig.expect_line(self.proc, b"mounted\n", self.close)

    def _tell(self, sig, word):
        self.proc.send_signal(sig)
        rig.expect_line(self.proc, word, self.close)

    def freeze(self):
        self._tell(signal.SIGUSR1, b"frozen\n")

    def thaw(self):
        if self.proc.poll() is None:
            self._tell(signal.SIGUSR2, b"thawed\n")

    def fail(self):
        self._tell(signal.SIGRTMIN, b"failing\n")

    def close(self):
        """Ends the tool, which releases every blocked call."""
        rig._terminate(self.proc)
        _unmount(self.mountpoint)


class RecordingCase(unittest.TestCase):
    """Assertions on what the recorder wrote; subclasses set `server`."""

    server = maxDiff = None

    def setUp(self):
        self.xruns_before = self.server.xruns() if self.server else 0

    def lost(self, rec):
        """Frames may be missing: the server logged an xrun or the recorder said it lost input."""
        return self.server.xruns() > self.xruns_before or any(
            LOST_INPUT.fullmatch(e["message"]) for e in rec.of("warning"))

    def assert_stopped(self, rec, reason, files, interrupted=()):
        """Exactly one "stopped", the last event, with these fields; exit status 0."""
        stopped = rec.wait_for("stopped", timeout=30)
        self.assertEqual(rec.wait(), 0)
        self.assertEqual(rec.of("stopped"), [stopped])
        self.assertIs(rec.events[-1], stopped)
        self.assertEqual(stopped, {"event": "stopped", "reason": reason, "files": list(files),
                                   "interrupted": list(interrupted), "seconds": stopped["seconds"]})
        return stopped

    def assert_counter(self, samples, bits, what, lost=False):
        """The counter, one frame after the other; with `lost`, whole periods may be skipped."""
        gaps = [g for g in rig.counter_gaps(samples, bits) if not lost or g.got is None
                or g.expected is None or (g.got - g.expected) % self.server.period]
        self.assertEqual(gaps[:3], [], "%s: %d gaps in the counter" % (what, len(gaps)))

    def assert_mix(self, wav, terms, lost=False):
        """`wav` is a float stereo mix, sum(gain * counter) over `terms` [(1-based device channel,
        left gain, right gain)] within float rounding, frame after frame; with `lost`, whole
        server periods may be skipped. Its first frame time is solved from the side with the
        larger total gain, for every choice of which counters have wrapped."""
        self.assertEqual((wav.channels, wav.bits, wav.sample_format), (2, 32, "float"))
        side = 1 if sum(t[1] for t in terms) >= sum(t[2] for t in terms) else 2
        starts, mod, first = set(), rig.COUNTER_MOD, wav.samples[side - 1][0] * 2.0 ** 23
        for wrapped in range(1 << len(terms)):
            offset = sum(t[side] * (rig.CHANNEL_STRIDE * (t[0] - 1) - mod * (wrapped >> i & 1))
                         for i, t in enumerate(terms))
            guess = round((first - offset) / sum(t[side] for t in terms))
            starts.update((guess + d) % mod for d in range(-3, 4))
        f = next((f for f in sorted(starts) if mix_fits(wav, terms, 0, f, 64)), None)
        self.assertIsNotNone(f, "%s begins with no weighted sum of the counters" % wav.path)
        for i in range(wav.frames):
            if not mix_fits(wav, terms, i, f, 1):
                skips = [(f + n * self.server.period) % mod for n in range(1, 9)]
                f = next((g for g in skips * lost if mix_fits(wav, terms, i, g, 16)), None)
                self.assertIsNotNone(f, "frame %d of %s is no weighted sum" % (i, wav.path))
            f = (f + 1) % mod


def mix_fits(wav, terms, i, f, n):
    """Frames i to i + n - 1 are the sums from frame time f on beyond float rounding: a sum of m
    products is off by at most m * 2^-24 * sum(|g * x|)."""
    for j in range(i, min(wav.frames, i + n)):
        left = right = size = 0.0
        for ch, gl, gr in terms:
            v = ((f + j - i + rig.CHANNEL_STRIDE * (ch - 1)) % rig.COUNTER_MOD) * 2.0 ** -23
            left, right, size = left + gl * v, right + gr * v, size + (abs(gl) + abs(gr)) * v
        tolerance = len(terms) * 2.0 ** -24 * size + 2.0 ** -60
        if max(abs(wav.samples[0][j] - left), abs(wav.samples[1][j] - right)) > tolerance:
            return False
    return True
