"""Drives tests/tools/freezefs, a pass-through FUSE mount whose writes freeze on demand:
freeze() blocks the calls that change the drive, thaw() lets them go on, fail() answers them with
EIO. Each returns once the tool says it is in force. Needs root and /dev/fuse (skipped otherwise).

While frozen, a process holding a file open for writing on the mount must not fork and exec: the
child's close-on-exec copy of the descriptor is closed by a FUSE flush, which blocks."""

import ctypes
import os
import queue
import signal
import subprocess
import threading
import unittest

import rig


def lazy_unmount(mountpoint):
    """umount2(MNT_DETACH) from this process, for a tool that could not unmount: a spawned
    fusermount3 could block (see above)."""
    ctypes.CDLL(None, use_errno=True).umount2(os.fsencode(mountpoint), 2)


class FreezeFs:
    def __init__(self, backing_dir, mountpoint, freeze_all=False, timeout=10.0):
        self.backing_dir, self.mountpoint, self.timeout = backing_dir, mountpoint, timeout
        self.argv = [os.path.join(rig.TOOLS_DIR, "freezefs"), backing_dir, mountpoint,
                     "--exit-with-parent"] + (["--freeze-all"] if freeze_all else [])
        self.process = None
        self._lines = queue.Queue()

    def __enter__(self):
        if not os.path.exists("/dev/fuse") or os.geteuid() != 0:
            raise unittest.SkipTest("freezefs needs root and /dev/fuse")
        self.process = subprocess.Popen(self.argv, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE)
        threading.Thread(target=self._read_lines, daemon=True).start()
        try:
            self._wait_for("mounted")
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def freeze(self):
        self._command(signal.SIGUSR1, "frozen")

    def thaw(self):
        self._command(signal.SIGUSR2, "thawed")

    def fail(self):
        self._command(signal.SIGRTMIN, "failing")

    def running(self):
        return self.process is not None and self.process.poll() is None

    def _wait_for(self, word):
        while True:
            try:
                line = self._lines.get(timeout=self.timeout)
            except queue.Empty:
                raise TimeoutError('freezefs did not say "%s"' % word) from None
            if line is None:
                raise RuntimeError('freezefs exited before "%s"' % word)
            if line == word:
                return

    def close(self):
        """Thaws and ends the tool, which releases any call still blocked and unmounts."""
        if self.process is None:
            return
        if self.running():
            try:
                self.thaw()
            except (TimeoutError, RuntimeError, ProcessLookupError):
                pass
            self.process.terminate()
        try:
            self.process.wait(self.timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()  # closing /dev/fuse aborts the connection: callers get ENOTCONN
            self.process.wait()
        lazy_unmount(self.mountpoint)
        self.process.stdout.close()
        self.process = None

    def _command(self, sig, ack):
        self.process.send_signal(sig)
        self._wait_for(ack)

    def _read_lines(self):
        for raw in self.process.stdout:
            self._lines.put(raw.decode(errors="replace").strip())
        self._lines.put(None)
