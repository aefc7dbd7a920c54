"""Drives tests/tools/freezefs: a pass-through FUSE mount whose writes can be frozen on demand.

    with FreezeFs(backing_dir, mountpoint) as fs:
        ...             # files under mountpoint land in backing_dir
        fs.freeze()     # from now on writes, fsyncs, creates ... block without error
        fs.thaw()       # blocked calls complete, new ones pass
        fs.fail()       # those calls return EIO at once, blocked ones included

Each command returns once the tool confirms it is in force. On exit the mount is thawed, lazily
unmounted and the tool waited for; the tool then releases any call still blocked in it.
Needs root and /dev/fuse; the test is skipped otherwise.

While frozen, a process that holds a file open for writing on the mount must not fork and exec:
the child's copy of the descriptor is closed on exec, that close is a FUSE flush, and it blocks.
"""

import ctypes
import errno
import os
import queue
import re
import signal
import subprocess
import tempfile
import threading
import unittest

_BUILT = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                      '..', '..', 'build', 'default', 'tests', 'tools', 'freezefs')
_MNT_DETACH = 2


def tool_path():
    tools = os.environ.get('QUILLTAP_TOOLS_DIR')
    return os.path.join(tools, 'freezefs') if tools else os.path.normpath(_BUILT)


def lazy_unmount(mountpoint):
    """Detaches a mount without waiting for its users; quiet if nothing is mounted there.

    Calls umount2() in this process rather than spawning fusermount3: a child forked while this
    process holds a file open for writing on a frozen mount closes its copy of the descriptor on
    exec, and that close (a FUSE flush) blocks until the thaw.
    """
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.umount2(os.fsencode(mountpoint), _MNT_DETACH) == 0:
        return
    if ctypes.get_errno() == errno.EPERM:  # not allowed to unmount ourselves: ask the helper
        subprocess.run(['fusermount3', '-u', '-z', mountpoint], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=10, check=False)


def is_mounted(mountpoint):
    """Tells from /proc/self/mountinfo, without touching the mount itself (it may hang)."""
    target = os.path.realpath(mountpoint)
    with open('/proc/self/mountinfo', encoding='utf-8') as mounts:
        for line in mounts:
            field = line.split()[4]
            if re.sub(r'\\([0-7]{3})', lambda m: chr(int(m.group(1), 8)), field) == target:
                return True
    return False


class FreezeFs:
    def __init__(self, backing_dir, mountpoint, freeze_all=False, control=None, timeout=10.0):
        self.backing_dir = backing_dir
        self.mountpoint = mountpoint
        self.timeout = timeout
        self._options = (['--freeze-all'] if freeze_all else []) + \
                        (['--control', control] if control else [])
        self.process = None
        self._lines = queue.Queue()

    def __enter__(self):
        if not os.path.exists('/dev/fuse'):
            raise unittest.SkipTest('freezefs needs /dev/fuse, which this machine does not have')
        if os.geteuid() != 0:
            raise unittest.SkipTest('freezefs needs root to mount a FUSE filesystem')
        tool = tool_path()
        if not os.access(tool, os.X_OK):
            raise RuntimeError(f'{tool} is missing: build the freezefs target first')
        self._stderr = tempfile.TemporaryFile()
        self.process = subprocess.Popen(
            [tool, self.backing_dir, self.mountpoint, '--exit-with-parent'] + self._options,
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=self._stderr)
        self._reader = threading.Thread(target=self._read_lines, daemon=True)
        self._reader.start()
        try:
            self.wait_for('mounted')
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def freeze(self):
        self._command(signal.SIGUSR1, 'frozen')

    def thaw(self):
        self._command(signal.SIGUSR2, 'thawed')

    def fail(self):
        self._command(signal.SIGRTMIN, 'failing')

    def running(self):
        return self.process is not None and self.process.poll() is None

    def wait_for(self, word):
        """Waits for the line `word` from the tool (an acknowledgement or "mounted")."""
        try:
            while True:
                line = self._lines.get(timeout=self.timeout)
                if line is None:
                    self.process.wait(self.timeout)
                    raise RuntimeError(f'freezefs exited with {self.process.returncode} before '
                                       f'"{word}": {self.stderr()}')
                if line == word:
                    return
        except queue.Empty:
            raise TimeoutError(f'freezefs did not say "{word}" within {self.timeout} s: '
                               f'{self.stderr()}') from None

    def stderr(self):
        self._stderr.seek(0)
        return self._stderr.read().decode(errors='replace').strip()

    def close(self):
        if self.process is None:
            return
        if self.running():
            try:
                self.thaw()
            except (TimeoutError, RuntimeError, ProcessLookupError):
                pass
        lazy_unmount(self.mountpoint)
        try:
            self.process.wait(self.timeout)
        except subprocess.TimeoutExpired:
            self.process.terminate()
            try:
                self.process.wait(self.timeout)
            except subprocess.TimeoutExpired:
                # Closing /dev/fuse aborts the connection: blocked callers get ENOTCONN.
                self.process.kill()
                self.process.wait()
            lazy_unmount(self.mountpoint)
        self._reader.join(self.timeout)
        self.process.stdout.close()
        self._stderr.close()
        self.process = None

    def _command(self, sig, ack):
        self.process.send_signal(sig)
        self.wait_for(ack)

    def _read_lines(self):
        for raw in self.process.stdout:
            self._lines.put(raw.decode(errors='replace').strip())
        self._lines.put(None)
