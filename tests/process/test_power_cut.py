"""A power cut loses at most about the last second: afterwards the drive holds only what the
recorder made durable, and every track file on it is a readable WAV file whose header describes
data that is there, with the counter gap-free.

The crash test cannot see a missing sync, since the page cache outlives a killed process. Here
the recorder writes to ext4 or exFAT on a loop device while the kernel's writeback is held off
(no periodic flush, nothing old enough to expire, dirty limits far above what the test writes;
ext4 commits its journal only when asked and does not flush on close), so a write reaches the
loop device only when the recorder syncs. At the cut the recorder is killed and the image behind
the loop device copied: the copy holds exactly what the loop device had received, as a drive
after a cut holds what it had been sent. exfat-fuse (the kernel here has no exFAT driver) runs
on the loop device, not on the image: its writes then wait in the loop device's page cache until
the fsync it makes for the recorder's fdatasync, whereas on the image they would wait in the
image's page cache, which the copy reads. The copy is repaired as after a cut (fsck), mounted
read-only and read.

This cut is milder than one on a drive with a volatile write cache (a loop device counts what it
received as written), and a sync() by another process meanwhile makes it milder still. Needs root
and loop devices; skipped without them."""

import os
import random
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from recording_checks import RATE, RecordingCase, on_disk, start_mixer, stop_mixer

TRACKS = ["1:Kick", "2,3:Keys", "18:Room"]
VM = "/proc/sys/vm/"
HELD_OFF = [("dirty_writeback_centisecs", "0"), ("dirty_expire_centisecs", "360000"),
            ("dirty_background_ratio", "90"), ("dirty_ratio", "95")]
# name: (make the image, mount it on the loop device, repair the copy, type to mount the copy)
FILESYSTEMS = {
    "ext4": ("mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 {image}",
             "mount -t ext4 -o commit=3600,noauto_da_alloc {dev} {dir}",
             "e2fsck -fy {image}", "ext4"),
    "exfat": ("mkfs.exfat {image}", "mount.exfat-fuse {dev} {dir}", "fsck.exfat -y {image}",
              "exfat-fuse"),
}


def run(command, **fields):
    """The exit status of a command line (words formatted with `fields`), its output dropped."""
    argv = [word.format(**fields) for word in command.split()]
    return subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode


def vm_setting(key):
    with open(VM + key) as f:
        return f.read().strip()


def set_vm(settings):
    for key, value in settings:
        with open(VM + key, "w") as f:
            f.write(value)


class PowerCut(RecordingCase):
    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0:
            raise unittest.SkipTest("loop devices and the kernel's writeback settings need root")
        cls.server, cls.device = start_mixer()

    @classmethod
    def tearDownClass(cls):
        stop_mixer(cls.server, cls.device)

    def test_ext4_keeps_all_but_about_the_last_second(self):
        self.cut("ext4")

    def test_exfat_through_fuse_keeps_all_but_about_the_last_second(self):
        self.cut("exfat")

    def hold_off_writeback(self):
        """Holds the kernel's writeback off; returns the function that undoes it (also run at
        cleanup). Writing a ratio clears its byte twin, so whichever of the two was set is kept."""
        keys = [k.replace("ratio", "bytes") if vm_setting(k.replace("ratio", "bytes")) != "0"
                else k for k, _ in HELD_OFF]
        saved = [(k, vm_setting(k)) for k in keys]
        self.addCleanup(set_vm, saved)
        set_vm(HELD_OFF)
        return lambda: set_vm(saved)

    def cut(self, name):
        make, mount, repair, kind = FILESYSTEMS[name]
        work = tempfile.mkdtemp(prefix="power-cut-")
        self.addCleanup(shutil.rmtree, work, True)
        image, copy, live, after = (os.path.join(work, n) for n in ("image", "copy", "live", "after"))
        os.mkdir(live)
        os.mkdir(after)
        with open(image, "wb") as f:
            f.truncate(64 << 20)
        loop = run(make, image=image) == 0 and subprocess.run(
            ["losetup", "--find", "--show", image], capture_output=True, text=True)
        if not loop or loop.returncode != 0:
            self.skipTest("no %s image on a loop device" % name)
        self.addCleanup(run, "losetup -d {dev}", dev=loop.stdout.strip())
        restore = self.hold_off_writeback()
        if run(mount, dev=loop.stdout.strip(), dir=live) != 0:
            self.skipTest("cannot mount %s on a loop device" % name)
        self.addCleanup(run, "umount {dir}", dir=live)

        args = ["record", "--out", os.path.join(live, "take")]
        for track in TRACKS:
            args += ["--track", track]
        rec = self.record(args)
        started = rec.wait_for("started", timeout=10)
        delay = random.uniform(2.0, 4.0)
        time.sleep(delay)
        captured = max([e["seconds"] for e in rec.of("progress")], default=0.0)
        rec.proc.send_signal(signal.SIGKILL)
        rec.proc.wait(10)
        shutil.copyfile(image, copy)
        restore()

        self.assertIn(run(repair, image=copy), (0, 1), "fsck left errors in the copy")
        self.assertEqual(run("mount -t %s -o ro,loop {image} {dir}" % kind, image=copy, dir=after), 0)
        self.addCleanup(run, "umount {dir}", dir=after)
        for track in started["tracks"]:
            path = os.path.join(after, os.path.relpath(track["file"], live))
            what = "%s, cut after %.1f s" % (path, delay)
            disk = on_disk(path)
            self.assertLessEqual(disk.declared, disk.frames, what)
            self.assertGreaterEqual(disk.declared, int((captured - 1.3) * RATE), what)
            self.assert_counter(disk.samples[0], 24, what, lost=self.lost(rec))


if __name__ == "__main__":
    unittest.main()
