"""Two ends the other process tests do not reach: a front end that closes the recorder's
standard output (it must neither die of SIGPIPE nor lose the take; it stops when its input
closes), and a backup drive that fails outright after the move (a second failure ends the
recording with "write-error", and the backup files stay valid)."""

import os
import subprocess
import time
import unittest

import rig
from freezefs import FreezeFs
from recording_checks import (LAST_SECONDS, RecordingCase, TmpfsDrive, frames, notable,
                              on_disk, start_mixer, stop_mixer)

server = None
device = None


def setUpModule():
    global server, device
    server, device = start_mixer()


def tearDownModule():
    stop_mixer(server, device)


class Case(RecordingCase):
    def setUp(self):
        self.server = server
        super().setUp()


class OutputClosed(Case):
    def test_closed_output_neither_kills_the_recorder_nor_loses_audio(self):
        out = os.path.join(self.server.scratch_dir(), "take")
        proc = subprocess.Popen([rig.QUILLTAP_BIN, "record", "--out", out, "--bits", "32",
                                 "--track", "1:A"], env=self.server.env, stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        started = rig.parse_event(proc.stdout.readline().rstrip(b"\n"))
        self.assertEqual(started["event"], "started")
        proc.stdout.close()  # the front end stops listening
        time.sleep(1.5)      # progress events meet a closed pipe four times a second
        self.assertIsNone(proc.poll(), "the recorder died when its output closed")
        proc.stdin.close()
        self.assertEqual(proc.wait(20), 0)
        self.assertEqual(proc.stderr.read(), b"")
        found = on_disk(started["tracks"][0]["file"])
        self.assertGreater(found.frames, 48000)
        self.assertEqual(found.declared, found.frames)
        self.assert_counter(found.samples[0], 32, "A", self.server.xruns() > self.xruns_before)


class BackupFailsToo(Case):
    def test_a_failing_backup_ends_the_recording_and_keeps_its_files_valid(self):
        base = self.server.scratch_dir()
        drive = TmpfsDrive(base, size="2m").mount()
        self.addCleanup(drive.unmount)
        backing = os.path.join(base, "backing")
        mount = os.path.join(base, "backup-drive")
        os.makedirs(backing)
        os.makedirs(mount)
        backup = FreezeFs(backing, mount)
        backup.__enter__()
        self.addCleanup(backup.__exit__, None, None, None)
        out = os.path.join(drive.path, "take")
        fallback = os.path.join(mount, "backup")
        rec = self.record(["record", "--out", out, "--fallback", fallback, "--bits", "32",
                           "--track", "1,2:Pair", "--track", "18:Room"])
        rec.wait_for("started")
        failover = rec.wait_for("failover", timeout=30)
        self.assertEqual(failover["reason"], "Writing to the drive failed (No space left on device)")
        time.sleep(1.0)
        backup.fail()  # the backup drive now answers every write with EIO
        stopped = rec.wait_for("stopped", timeout=30)
        self.assertEqual(rec.wait(30), 0)
        events = notable(rec)
        if events[-2]["event"] == "warning":  # what the failing drive kept at the stop
            self.assertRegex(events[-2]["message"], LAST_SECONDS)
            del events[-2]
        self.assertEqual([e["event"] for e in events], ["started", "failover", "error", "stopped"])
        self.assertEqual(events[2]["message"], "Writing to the drive failed (Input/output error). "
                                               "Recording stopped; what was written is saved.")
        self.assertEqual(stopped["reason"], "write-error")
        self.assertEqual(stopped["interrupted"], failover["interrupted"])
        self.assertEqual(stopped["files"], failover["interrupted"] + failover["files"])
        backup.thaw()
        start = frames(failover["seconds"])
        for path in failover["files"]:
            found = on_disk(path)
            self.assertLessEqual(found.declared, found.frames, path)
            self.assertGreater(found.frames, 0, path)
            self.assertLessEqual(start + found.frames, frames(stopped["seconds"]), path)
            for samples in found.samples:
                self.assert_counter(samples, 32, path, self.lost(rec))


if __name__ == "__main__":
    unittest.main()
