"""The drive watchdogs while recording from the simulated XR18: a drive unmounted under the
recording, a drive that stops answering (freezefs) while recording or during the final flush, a
backup drive that stops answering too, and a drive whose every call hangs, stat() included.
Mounting needs root; without it every test here is skipped.

A process blocked in a call on a frozen mount cannot be killed before the mount is thawed, so
every test thaws its mounts before the recorder is killed or waited for, and never starts a
process while it holds a file open for writing on a frozen mount (it holds none)."""

import os
import re
import statistics
import subprocess
import time
import unittest

import rig
from freezefs import FreezeFs
from recording_checks import (LAST_SECONDS, RATE, RecordingCase, TmpfsDrive, frames, notable,
                              on_disk, start_mixer, stop_mixer, wait_until)

TRACKS = [("Kick", [1]), ("Keys", [2, 3])]
TRACK_ARGS = ["--bits", "32", "--track", "1:Kick", "--track", "2,3:Keys"]
STALLED = "The drive stopped responding"
STALLED_SAVING = "The drive stopped responding while saving"
TOO_SLOW = ("The disk can\u2019t keep up with the recording. Recording stopped; "
            "what was written is saved.")
BACKLOG_LIMIT = 120  # seconds of unwritten audio

server = None
device = None


def setUpModule():
    global server, device
    if os.geteuid() != 0:
        raise unittest.SkipTest("the watchdog tests mount a tmpfs and FUSE drives: they need root")
    server, device = start_mixer()


def tearDownModule():
    stop_mixer(server, device)


def track_files(folder, part2=False):
    return [os.path.join(folder, "%02d %s%s.wav" % (i, name, " (part 2)" if part2 else ""))
            for i, (name, _) in enumerate(TRACKS, 1)]


def disconnected(name):
    return "The drive \u201c%s\u201d was disconnected" % name


class Case(RecordingCase):
    def setUp(self):
        self.server = server
        super().setUp()
        self.base = self.server.scratch_dir()
        self.drives = []

    def freezefs(self, name, freeze_all=False):
        """A FreezeFs mounted at BASE/name over BASE/name-backing; returns it."""
        backing = os.path.join(self.base, name + "-backing")
        mountpoint = os.path.join(self.base, name)
        os.mkdir(backing)
        os.mkdir(mountpoint)
        fs = FreezeFs(backing, mountpoint, freeze_all=freeze_all)
        fs.__enter__()
        self.addCleanup(fs.close)
        self.drives.append(fs)
        return fs

    def record(self, args, **kwargs):
        rec = super().record(args, **kwargs)
        # Runs before rec.kill (cleanups run in reverse): a recorder stuck on a frozen drive
        # can only die once the drive answers again.
        self.addCleanup(self.thaw_all)
        return rec

    def thaw_all(self):
        for fs in self.drives:
            if fs.running():
                fs.thaw()

    def start(self, out, fallback=None, volume=None):
        args = ["record", "--out", out] + TRACK_ARGS
        if fallback:
            args += ["--fallback", fallback]
        if volume:
            args += ["--volume", volume]
        rec = self.record(args)
        started = rec.wait_for("started")
        self.assertEqual([t["file"] for t in started["tracks"]], track_files(out))
        rec.wait_for("progress")
        return rec, started

    def when(self, rec, event):
        return next(t for e, t in zip(rec.events, rec.times) if e is event)

    def wait_stopped_then_thaw(self, rec, timeout):
        """Waits for "stopped" without taking it from the event cursor, then thaws every drive
        so that the recorder can exit."""
        arrived = wait_until(lambda: rec.of("stopped") or not rec.running(), timeout, 0.05)
        self.thaw_all()
        self.assertTrue(arrived, "no \"stopped\" within %g s\n%s" % (timeout, rec.events[-5:]))

    def assert_goes_on(self, rec, after, what):
        """Half a second more is captured after frame `after`, without "stopped"."""
        self.assertTrue(wait_until(
            lambda: frames(rec.of("progress")[-1]["seconds"]) >= after + RATE // 2
            or rec.of("stopped"), 5), "the recording stalled %s" % what)
        self.assertEqual(rec.of("stopped"), [], "the recording stopped %s" % what)

    def assert_failover(self, event, reason, out, fallback):
        self.assertEqual(set(event), {"event", "reason", "from", "to", "seconds", "overlap",
                                      "interrupted", "files"})
        self.assertEqual(event["reason"], reason)
        self.assertEqual(event["from"], out)
        self.assertEqual(event["to"], fallback)
        self.assertEqual(event["interrupted"], track_files(out))
        self.assertEqual(event["files"], track_files(fallback, part2=True))
        self.assertGreaterEqual(frames(event["seconds"]), 0)
        self.assertGreaterEqual(frames(event["overlap"]), 0)

    def assert_part2(self, rec, failover, captured, part1_paths, to_the_end=True):
        """Part 2 holds the counter without a gap from frame `seconds` of the recording: to the
        last captured frame with `to_the_end`, else as far as it got. Part 1 (read from
        `part1_paths`) holds every frame before that, and what both hold is the same audio."""
        s, overlap = frames(failover["seconds"]), frames(failover["overlap"])
        lost = self.lost(rec)
        for new, old, (name, channels) in zip(failover["files"], part1_paths, TRACKS):
            with self.subTest(track=name):
                part2, part1 = on_disk(new), on_disk(old)
                self.assertEqual(part2.header.channels, len(channels))
                self.assertGreater(part2.frames, 0)
                if to_the_end:
                    self.assertEqual(s + part2.frames, captured,
                                     "%s: %d frames from frame %d, %d were captured"
                                     % (new, part2.frames, s, captured))
                    self.assertEqual(rig.read_wav(new, samples=False).frames, part2.frames,
                                     "%s: the header disagrees with the data" % new)
                else:
                    self.assertLessEqual(s + part2.frames, captured)
                self.assertLessEqual(s, part1.frames,
                                     "part 2 begins at frame %d, part 1 holds only %d frames: "
                                     "the audio between is in neither" % (s, part1.frames))
                for c, ch in enumerate(channels):
                    what = "%s channel %d" % (name, ch)
                    self.assert_counter(part1.samples[c], 32, what + " part 1", lost)
                    self.assert_counter(part2.samples[c], 32, what + " part 2", lost)
                    if s < part1.frames:
                        self.assertEqual(part2.samples[c][0], part1.samples[c][s],
                                         "%s: part 2 does not begin with frame %d" % (what, s))
                        both = min(overlap, part1.frames - s)
                        self.assertTrue(part2.samples[c][:both] == part1.samples[c][s:s + both],
                                        "%s: the overlap differs from part 1" % what)
                    else:
                        self.assertEqual(rig.join_gaps(part1.samples[c], part2.samples[c], 0, 32),
                                         [], "%s: part 2 does not go on from part 1" % what)

    def stall_and_fail_over(self, rec, fs, out, fallback):
        """Freezes `fs` a second into the recording: the failover must come about 8 s later,
        and the recording go on in the backup folder. Returns the failover event."""
        time.sleep(1.0)
        fs.freeze()
        frozen = time.monotonic()
        failover = rec.wait_for("failover", timeout=15)
        delay = self.when(rec, failover) - frozen
        self.assertTrue(7.5 <= delay <= 10, "failover %.2f s after the freeze" % delay)
        self.assert_failover(failover, STALLED, out, fallback)
        self.assert_goes_on(rec, frames(rec.of("progress")[-1]["seconds"]), "after the failover")
        return failover


class DriveUnmounted(Case):
    """--out on a tmpfs that is lazily unmounted while recording. The test keeps the part-1 files
    open for reading, so it can still check them once the mount is gone."""

    def setUp(self):
        super().setUp()
        self.drive = TmpfsDrive(self.base, size="64m").mount()
        self.addCleanup(self.drive.unmount)
        self.out = os.path.join(self.drive.path, "take")
        self.fallback = os.path.join(self.base, "backup")

    def unplug(self):
        """Opens the part-1 files, detaches the tmpfs; returns paths that still reach them."""
        fds = [os.open(p, os.O_RDONLY) for p in track_files(self.out)]
        for fd in fds:
            self.addCleanup(os.close, fd)
        done = subprocess.run(["umount", "-l", self.drive.path], capture_output=True, text=True)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.drive.mounted = False
        return time.monotonic(), fds, ["/proc/self/fd/%d" % fd for fd in fds]

    def test_failover_when_the_watched_drive_goes(self):
        rec, started = self.start(self.out, self.fallback, volume=self.drive.path)
        time.sleep(1.0)
        gone, _, part1 = self.unplug()
        failover = rec.wait_for("failover", timeout=10)
        self.assertLessEqual(self.when(rec, failover) - gone, 1.5, "the failover came late")
        self.assert_failover(failover, disconnected("drive"), self.out, self.fallback)
        self.assert_goes_on(rec, frames(rec.of("progress")[-1]["seconds"]), "after the failover")
        rec.send("stop\n")
        part2 = track_files(self.fallback, part2=True)
        stopped = self.assert_stopped(rec, "stop", track_files(self.out) + part2,
                                      interrupted=track_files(self.out))
        self.assertEqual(notable(rec), [started, failover, stopped])
        self.assert_part2(rec, failover, frames(stopped["seconds"]), part1)

    def test_unwatched_drive_detached_lazily_keeps_recording(self):
        # A lazily detached tmpfs keeps working for files that are open: writes and syncs still
        # succeed, so without --volume there is nothing to notice and nothing may change.
        rec, started = self.start(self.out, self.fallback)
        time.sleep(0.5)
        _, fds, part1 = self.unplug()
        sizes = [os.fstat(fd).st_size for fd in fds]
        self.assert_goes_on(rec, frames(rec.of("progress")[-1]["seconds"]), "after the unmount")
        time.sleep(1.0)
        self.assertTrue(all(os.fstat(fd).st_size > n for fd, n in zip(fds, sizes)),
                        "the files stopped growing")
        rec.send("stop\n")
        stopped = self.assert_stopped(rec, "stop", track_files(self.out))
        self.assertEqual(notable(rec), [started, stopped])
        lost = self.lost(rec)
        for path, (name, channels) in zip(part1, TRACKS):
            wav = rig.read_wav(path)
            self.assertEqual(wav.frames, frames(stopped["seconds"]), name)
            for samples, ch in zip(wav.samples, channels):
                self.assert_counter(samples, 32, "%s channel %d" % (name, ch), lost)


class DriveStalls(Case):
    def test_failover_about_eight_seconds_after_the_drive_stops_answering(self):
        fs = self.freezefs("Drive")
        out, fallback = os.path.join(fs.mountpoint, "take"), os.path.join(self.base, "backup")
        rec, started = self.start(out, fallback)
        failover = self.stall_and_fail_over(rec, fs, out, fallback)
        rec.send("stop\n")
        self.wait_stopped_then_thaw(rec, 15)
        part2 = track_files(fallback, part2=True)
        stopped = self.assert_stopped(rec, "stop", track_files(out) + part2,
                                      interrupted=track_files(out))
        self.assertEqual(notable(rec), [started, failover, stopped])
        self.assert_part2(rec, failover, frames(stopped["seconds"]),
                          track_files(os.path.join(fs.backing_dir, "take")))


class FinalFlushStalls(Case):
    """The drive stops answering just before "stop": the final flush cannot finish."""

    def freeze_and_stop(self, fallback):
        fs = self.freezefs("Drive")
        out = os.path.join(fs.mountpoint, "take")
        rec, started = self.start(out, fallback)
        time.sleep(1.5)
        fs.freeze()
        rec.send("stop\n")
        asked = time.monotonic()
        self.wait_stopped_then_thaw(rec, 40)
        return fs, out, rec, started, asked

    def test_backup_takes_what_the_flush_could_not_write(self):
        fallback = os.path.join(self.base, "backup")
        fs, out, rec, started, asked = self.freeze_and_stop(fallback)
        part2 = track_files(fallback, part2=True)
        stopped = self.assert_stopped(rec, "stop", track_files(out) + part2,
                                      interrupted=track_files(out))
        failover = rec.of("failover")
        self.assertEqual(notable(rec), [started] + failover[:1] + [stopped])
        delay = self.when(rec, failover[0]) - asked
        self.assertTrue(19 <= delay <= 23, "failover %.2f s after \"stop\"" % delay)
        self.assert_failover(failover[0], STALLED_SAVING, out, fallback)
        self.assert_part2(rec, failover[0], frames(stopped["seconds"]),
                          track_files(os.path.join(fs.backing_dir, "take")))

    def test_without_backup_the_unwritten_seconds_are_told(self):
        fs, out, rec, started, asked = self.freeze_and_stop(None)
        stopped = self.assert_stopped(rec, "stop", track_files(out))
        seen = notable(rec)
        self.assertEqual(len(seen), 3, seen)
        self.assertEqual([seen[0], seen[2]], [started, stopped])
        self.assertEqual(seen[1]["event"], "warning")
        self.assertRegex(seen[1]["message"], LAST_SECONDS)
        delay = self.when(rec, seen[1]) - asked
        self.assertTrue(19 <= delay <= 23, "warning %.2f s after \"stop\"" % delay)
        captured = frames(stopped["seconds"])
        unwritten = int(re.search(r"\d+", seen[1]["message"]).group())
        lost = self.lost(rec)
        for path, (name, channels) in zip(track_files(os.path.join(fs.backing_dir, "take")),
                                          TRACKS):
            found = on_disk(path)
            self.assertLessEqual(found.declared, found.frames, path)
            self.assertLessEqual(found.frames, captured, path)
            # It cannot claim more unwritten audio than its own header leaves out.
            self.assertLessEqual(unwritten * RATE, captured - found.declared, path)
            for samples, ch in zip(found.samples, channels):
                self.assert_counter(samples, 32, "%s channel %d" % (name, ch), lost)


class BackupStallsToo(Case):
    def test_backlog_past_the_limit_stops_the_recording(self):
        first, second = self.freezefs("Drive"), self.freezefs("Backup")
        out = os.path.join(first.mountpoint, "take")
        fallback = os.path.join(second.mountpoint, "backup")
        rec, started = self.start(out, fallback)
        failover = self.stall_and_fail_over(rec, first, out, fallback)
        second.freeze()
        at_freeze = rec.of("progress")[-1]["seconds"]
        # Freewheeling, the server runs as fast as its clients let it; a frozen writer must not
        # hold the capture back, so the unwritten audio passes the limit within seconds.
        self.addCleanup(self.server.freewheel, False)
        self.server.freewheel(True)
        wheeling = time.monotonic()
        arrived = wait_until(lambda: rec.of("stopped") or not rec.running(), 30, 0.05)
        self.server.freewheel(False)
        took = time.monotonic() - wheeling
        self.thaw_all()
        reached = rec.of("progress")[-1]["seconds"]
        self.assertTrue(arrived, "no \"stopped\" after %.0f s of freewheeling with the backup "
                                 "frozen: only %.1f s of audio were captured in that time "
                                 "(%.1f s at the freeze, %.1f s now)"
                        % (took, reached - at_freeze, at_freeze, reached))
        part1, part2 = track_files(out), track_files(fallback, part2=True)
        stopped = self.assert_stopped(rec, "write-error", part1 + part2, interrupted=part1)
        seen = notable(rec)
        if (len(seen) == 5 and seen[3]["event"] == "warning"
                and LAST_SECONDS.fullmatch(seen[3]["message"])):
            del seen[3]  # the final flush on the frozen backup may time out too
        self.assertEqual(seen, [started, failover, {"event": "error", "message": TOO_SLOW},
                                stopped])
        captured = frames(stopped["seconds"])
        self.assertGreater(captured, frames(failover["seconds"]) + BACKLOG_LIMIT * RATE)
        self.assert_part2(rec, failover, captured,
                          track_files(os.path.join(first.backing_dir, "take")),
                          to_the_end=False)


class StatHangs(Case):
    def test_progress_goes_on_while_the_watched_drive_hangs(self):
        fs = self.freezefs("Drive", freeze_all=True)
        out, fallback = os.path.join(fs.mountpoint, "take"), os.path.join(self.base, "backup")
        rec, started = self.start(out, fallback, volume=fs.mountpoint)
        time.sleep(1.0)
        fs.freeze()
        frozen = time.monotonic()
        failover = rec.wait_for("failover", timeout=15)
        failed_over = self.when(rec, failover)
        self.assertTrue(7.5 <= failed_over - frozen <= 10,
                        "failover %.2f s after the freeze" % (failed_over - frozen))
        self.assert_failover(failover, STALLED, out, fallback)
        during = [(t, e["seconds"]) for e, t in zip(rec.events, rec.times)
                  if e["event"] == "progress" and frozen <= t <= failed_over]
        spacing = [b[0] - a[0] for a, b in zip(during, during[1:])]
        self.assertGreaterEqual(len(during), 25, "%d progress events in the %.1f s before the "
                                                 "failover" % (len(during), failed_over - frozen))
        self.assertTrue(0.2 <= statistics.median(spacing) <= 0.3, spacing)
        self.assertLess(max(spacing), 0.75, "the main queue stalled: %s" % spacing)
        self.assertGreater(during[-1][1] - during[0][1], 6.0, "capture stalled: %s" % during)
        self.assert_goes_on(rec, frames(rec.of("progress")[-1]["seconds"]), "after the failover")
        rec.send("stop\n")
        self.wait_stopped_then_thaw(rec, 15)
        part2 = track_files(fallback, part2=True)
        stopped = self.assert_stopped(rec, "stop", track_files(out) + part2,
                                      interrupted=track_files(out))
        self.assertEqual(notable(rec), [started, failover, stopped])
        self.assert_part2(rec, failover, frames(stopped["seconds"]),
                          track_files(os.path.join(fs.backing_dir, "take")))


if __name__ == "__main__":
    unittest.main()
