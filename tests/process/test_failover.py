"""Drives that fail for real while recording from the simulated XR18: a 2 MiB tmpfs that fills
up, and a file size limit (RLIMIT_FSIZE) that makes writes fail with EFBIG. With a backup
folder the recording moves there once and the parts join up frame for frame; without one, or
when the backup fails too, it stops with "write-error" and keeps what was written."""

import os
import subprocess
import time
import unittest

import rig
from recording_checks import (LAST_SECONDS, RecordingCase, TmpfsDrive, frames, notable,
                              on_disk, start_mixer, stop_mixer)

server = None
device = None

TRACKS = [("Kick", [1]), ("Keys", [2, 3]), ("Room", [18])]
TRACK_ARGS = ["--track", "1:Kick", "--track", "2,3:Keys", "--track", "18:Room"]
FULL = "Writing to the drive failed (No space left on device)"
TOO_LARGE = "Writing to the drive failed (File too large)"
STOPPED_SAVED = ". Recording stopped; what was written is saved."
FILE_LIMIT = 1 << 20


def setUpModule():
    global server, device
    server, device = start_mixer()


def tearDownModule():
    stop_mixer(server, device)


def track_files(folder, tracks, part2=False):
    return [os.path.join(folder, "%02d %s%s.wav" % (i, name, " (part 2)" if part2 else ""))
            for i, (name, _) in enumerate(tracks, 1)]


def strict_frames(path):
    """The frames of a WAV file whose header agrees with its data, else None."""
    try:
        return rig.read_wav(path, samples=False).frames
    except rig.WavError:
        return None


class Case(RecordingCase):
    BITS = 32

    def setUp(self):
        self.server = server
        super().setUp()

    def assert_events(self, rec, expected):
        """The events besides progress are `expected`; a warning that the last seconds could
        not be written may come just before "stopped" (audio captured after the drive failed
        is lost)."""
        seen = notable(rec)
        if (len(seen) == len(expected) + 1 and seen[-2]["event"] == "warning"
                and LAST_SECONDS.fullmatch(seen[-2]["message"])):
            del seen[-2]
        self.assertEqual(seen, expected)

    def assert_saved(self, rec, paths, tracks, captured):
        """Files closed after a write error: valid WAV files whose header agrees with their
        data, each holding the counter without a gap from the same first frame time."""
        lost = self.lost(rec)
        starts = {}
        for path, (name, channels) in zip(paths, tracks):
            with self.subTest(file=path):
                found = on_disk(path)
                self.assertEqual(found.header.channels, len(channels))
                starts[path] = self.start_times(found.samples, channels, self.BITS)
                self.assertGreater(found.frames, 0)
                self.assertLessEqual(found.frames, captured)
                for samples, ch in zip(found.samples, channels):
                    self.assert_counter(samples, self.BITS, "%s channel %d" % (name, ch), lost)
                self.assertEqual(strict_frames(path), found.frames,
                                 "%s is no valid WAV file: its header says %d frames, it holds %d"
                                 % (path, found.declared, found.frames))
        self.assertLessEqual(len(set(sum(starts.values(), []))), 1,
                             "the tracks start at different frames: %s" % starts)

    def assert_failover(self, event, reason, out, fallback, tracks):
        self.assertEqual(set(event), {"event", "reason", "from", "to", "seconds", "overlap",
                                      "interrupted", "files"})
        self.assertEqual(event["reason"], reason)
        self.assertEqual(event["from"], out)
        self.assertEqual(event["to"], fallback)
        self.assertEqual(event["interrupted"], track_files(out, tracks))
        self.assertEqual(event["files"], track_files(fallback, tracks, part2=True))
        self.assertGreater(frames(event["seconds"]), 0)
        self.assertGreaterEqual(frames(event["overlap"]), 0)

    def assert_parts_join(self, rec, failover, captured, tracks, stopped_cleanly):
        """Part 1 (as it lies on the old drive) holds frames [0, s + overlap), part 2 starts at
        frame s, repeats the overlap exactly and goes on without a gap: to the last captured
        frame when the recording was stopped cleanly, else as far as it could be written. Their
        bext time references lie as far apart as their first frames were captured."""
        s, overlap = frames(failover["seconds"]), frames(failover["overlap"])
        lost = self.lost(rec)
        starts1, starts2, refs1, refs2 = {}, {}, {}, {}
        for old, new, (name, channels) in zip(failover["interrupted"], failover["files"],
                                              tracks):
            with self.subTest(track=name):
                part1, part2 = on_disk(old), on_disk(new)
                self.assertEqual(part2.header.channels, len(channels))
                starts1[name] = self.start_times(part1.samples, channels, self.BITS)
                starts2[name] = self.start_times(part2.samples, channels, self.BITS)
                b1, b2 = part1.header.bext, part2.header.bext
                self.assertEqual((b1.description, b2.description, b2.originator),
                                 (name, name, "quilltap"))
                refs1[name], refs2[name] = b1.time_reference, b2.time_reference
                # Frames the server skipped (lost input) were never captured, so never counted.
                skipped = (starts2[name][0] - starts1[name][0] - b2.time_reference
                           + b1.time_reference) % rig.COUNTER_MOD
                self.assertTrue(skipped == 0 or lost and skipped % self.server.period == 0,
                                "%s: part 2 placed %d frames (mod 2^22) early" % (name, skipped))
                began = time.mktime(time.strptime(b1.date + b1.time, "%Y-%m-%d%H:%M:%S"))
                self.assertTrue(0 <= time.time() - began < 60, "the take began at %s" % (b1,))
                for c, ch in enumerate(channels):
                    what = "%s channel %d" % (name, ch)
                    self.assert_counter(part1.samples[c], self.BITS, what + " part 1", lost)
                    self.assert_counter(part2.samples[c], self.BITS, what + " part 2", lost)
                    # Part 2 begins with part 1's frame s, and the overlap is the same audio.
                    self.assertEqual(part2.samples[c][:1], part1.samples[c][s:s + 1], what)
                    self.assertTrue(part2.samples[c][:overlap] == part1.samples[c][s:s + overlap],
                                    "%s: the overlap differs from part 1's frames" % what)
                self.assertGreater(part2.frames, overlap)
                if stopped_cleanly:
                    self.assertEqual(s + part2.frames, captured)
                else:
                    self.assertLessEqual(s + part2.frames, captured)
                self.assertEqual(part1.frames, s + overlap,
                                 "%s: %d frames, the failover said %d + %d were written"
                                 % (old, part1.frames, s, overlap))
                # The header of an interrupted file may lag behind its data (the drive failed
                # before the next sync) but must never claim frames that are not there.
                self.assertLessEqual(part1.declared, part1.frames,
                                     "%s: the header claims %d frames, %d are there"
                                     % (old, part1.declared, part1.frames))
                if stopped_cleanly:  # then its header must be complete and agree
                    self.assertEqual(strict_frames(new), part2.frames,
                                     "%s: the header says %d frames, it holds %d"
                                     % (new, part2.declared, part2.frames))
                    soxi = subprocess.run(["soxi", "-s", new], capture_output=True, text=True)
                    self.assertEqual(soxi.stdout.strip(), str(part2.frames), soxi.stderr)
        for part, starts, refs in (("part 1", starts1, refs1), ("part 2", starts2, refs2)):
            self.assertLessEqual(len(set(sum(starts.values(), []))), 1,
                                 "%s files start at different frames: %s" % (part, starts))
            self.assertEqual(len(set(refs.values())), 1, "%s time references: %s" % (part, refs))


class FullDrive(Case):
    """--out on a 2 MiB tmpfs: four 32-bit channels fill it in under three seconds."""

    def setUp(self):
        super().setUp()
        self.base = self.server.scratch_dir()
        drive = TmpfsDrive(self.base, size="2m").mount()
        self.addCleanup(drive.unmount)  # after the recorder is gone: cleanups run in reverse
        self.out = os.path.join(drive.path, "take")
        self.files = track_files(self.out, TRACKS)

    def start(self, fallback=None):
        args = ["record", "--out", self.out, "--bits", str(self.BITS)] + TRACK_ARGS
        if fallback:
            args += ["--fallback", fallback]
        rec = self.record(args)
        started = rec.wait_for("started")
        self.assertEqual(started["bits"], self.BITS)
        self.assertEqual([t["file"] for t in started["tracks"]], self.files)
        return rec, started

    def test_failover_to_the_backup_when_the_drive_fills(self):
        fallback = os.path.join(self.base, "backup")
        rec, started = self.start(fallback)
        failover = rec.wait_for("failover", timeout=20)
        self.assert_failover(failover, FULL, self.out, fallback, TRACKS)
        time.sleep(1.0)  # the recording goes on in the backup files
        rec.send("stop\n")
        backup = track_files(fallback, TRACKS, part2=True)
        stopped = self.assert_stopped(rec, "stop", self.files + backup, interrupted=self.files)
        self.assertEqual(notable(rec), [started, failover, stopped])
        self.assert_parts_join(rec, failover, frames(stopped["seconds"]), TRACKS,
                               stopped_cleanly=True)

    def test_without_backup_the_recording_stops_and_keeps_what_was_written(self):
        rec, started = self.start()
        stopped = self.assert_stopped(rec, "write-error", self.files)
        self.assert_events(rec, [started, {"event": "error", "message": FULL + STOPPED_SAVED},
                                 stopped])
        self.assert_saved(rec, self.files, TRACKS, frames(stopped["seconds"]))

    def test_backup_that_cannot_be_created(self):
        blocker = os.path.join(self.base, "a file")
        with open(blocker, "w") as f:
            f.write("not a folder\n")
        fallback = os.path.join(blocker, "backup")
        rec, started = self.start(fallback)
        stopped = self.assert_stopped(rec, "write-error", self.files)
        # The final flush meets the full drive again and tries the backup folder once more,
        # with its own reason, before "stopped".
        self.assert_events(rec, [
            started,
            {"event": "warning", "message": FULL + ", and the backup folder on this computer failed "
                                                   "too: %s: Not a directory" % fallback},
            {"event": "error", "message": FULL + STOPPED_SAVED},
            {"event": "warning", "message": "The drive stopped responding while saving, and the "
                                            "backup folder on this computer failed too: "
                                            "%s: Not a directory" % fallback},
            stopped])
        self.assert_saved(rec, self.files, TRACKS, frames(stopped["seconds"]))


class FullDriveAt24Bits(FullDrive):
    """The same move with 24-bit files: integer samples join up frame for frame too."""

    BITS = 24
    test_without_backup_the_recording_stops_and_keeps_what_was_written = None
    test_backup_that_cannot_be_created = None


class FileTooLarge(Case):
    """RLIMIT_FSIZE of 1 MiB: two 32-bit stereo files reach it in under three seconds. The
    limit is set by prlimit, which then runs the recorder in its own process; SIGXFSZ is at its
    default (killing) disposition there, as Python restores it for its children."""

    TRACKS = [("A", [1, 2]), ("B", [17, 18])]

    def start(self, fallback=None):
        self.out = os.path.join(self.server.scratch_dir(), "take")
        args = (["--fsize=%d" % FILE_LIMIT, rig.QUILLTAP_BIN, "record", "--out", self.out,
                 "--bits", "32", "--track", "1,2:A", "--track", "17,18:B"]
                + (["--fallback", fallback] if fallback else []))
        rec = self.record(args, binary="prlimit")
        started = rec.wait_for("started")
        self.assertEqual([t["file"] for t in started["tracks"]],
                         track_files(self.out, self.TRACKS))
        with open("/proc/%d/limits" % rec.proc.pid) as f:
            self.assertIn("Max file size             %d" % FILE_LIMIT, f.read())
        return rec, started

    def test_without_backup(self):
        rec, started = self.start()
        files = track_files(self.out, self.TRACKS)
        stopped = self.assert_stopped(rec, "write-error", files)  # exit 0: SIGXFSZ ignored
        self.assert_events(rec, [started,
                                 {"event": "error", "message": TOO_LARGE + STOPPED_SAVED},
                                 stopped])
        for path in files:
            self.assertLessEqual(os.path.getsize(path), FILE_LIMIT)
        self.assert_saved(rec, files, self.TRACKS, frames(stopped["seconds"]))

    def test_backup_hits_the_same_limit(self):
        fallback = os.path.join(self.server.scratch_dir(), "backup")
        rec, started = self.start(fallback)
        failover = rec.wait_for("failover", timeout=20)
        self.assert_failover(failover, TOO_LARGE, self.out, fallback, self.TRACKS)
        part1 = track_files(self.out, self.TRACKS)
        part2 = track_files(fallback, self.TRACKS, part2=True)
        stopped = self.assert_stopped(rec, "write-error", part1 + part2, interrupted=part1)
        self.assert_events(rec, [started, failover,
                                 {"event": "error", "message": TOO_LARGE + STOPPED_SAVED},
                                 stopped])
        self.assert_parts_join(rec, failover, frames(stopped["seconds"]), self.TRACKS,
                               stopped_cleanly=False)
        # Part 2 was closed after its own write error: a valid file, as in test_without_backup.
        self.assert_saved(rec, part2, self.TRACKS, frames(stopped["seconds"]))


if __name__ == "__main__":
    unittest.main()
