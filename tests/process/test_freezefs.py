"""Proves the freezefs tool the recorder's hung-drive tests stand on: what it passes through, what
a freeze holds, what fail mode breaks, and that no way of ending it leaves a caller hanging."""

import errno
import os
import shutil
import signal
import tempfile
import threading
import unittest

from freezefs import FreezeFs, is_mounted, lazy_unmount

BLOCKED = 1.0  # a call still out after this long is held by the freeze, not merely slow
SETTLE = 10.0  # bound for a released call, or the tool, to come back


class Call:
    """Runs fn(*args) in a daemon thread, so a call that never returns cannot hang the test."""

    def __init__(self, fn, *args):
        self.result = None
        self.error = None
        self._thread = threading.Thread(target=self._run, args=(fn, args), daemon=True)
        self._thread.start()

    def _run(self, fn, args):
        try:
            self.result = fn(*args)
        except OSError as error:
            self.error = error

    def done_within(self, seconds):
        self._thread.join(seconds)
        return not self._thread.is_alive()


def read_file(path):
    with open(path, 'rb') as f:
        return f.read()


def touch(path, content=b''):
    with open(path, 'wb') as f:
        f.write(content)


class FreezeFsTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix='freezefs-')
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.backing = os.path.join(self.dir, 'backing')
        self.mnt = os.path.join(self.dir, 'mnt')
        os.mkdir(self.backing)
        os.mkdir(self.mnt)
        self.fs = None

    def mount(self, **options):
        self.fs = self.enterContext(FreezeFs(self.backing, self.mnt, **options))
        return self.fs

    def at(self, name):
        return os.path.join(self.mnt, name)

    def backed(self, name):
        return read_file(os.path.join(self.backing, name))

    def open(self, name, flags=os.O_WRONLY | os.O_CREAT | os.O_TRUNC):
        fd = os.open(self.at(name), flags, 0o644)
        self.addCleanup(self._close, fd)
        return fd

    def _close(self, fd):
        if self.fs.running():
            self.fs.thaw()  # closing a file open for writing on a frozen mount would block
        try:
            os.close(fd)
        except OSError:
            pass  # ENOTCONN once the tool is gone

    def test_files_pass_through_to_backing_folder(self):
        self.mount()
        data = os.urandom(300_000)
        touch(self.at('take.wav'), data)
        self.assertEqual(self.backed('take.wav'), data)
        self.assertEqual(read_file(self.at('take.wav')), data)

        fd = self.open('take.wav', os.O_RDWR)
        os.pwrite(fd, b'XYZ', 1000)
        os.fdatasync(fd)
        os.ftruncate(fd, 2000)
        expected = data[:1000] + b'XYZ' + data[1003:2000]
        self.assertEqual(self.backed('take.wav'), expected)

        os.mkdir(self.at('takes'))
        os.rename(self.at('take.wav'), self.at('takes/01.wav'))
        self.assertEqual(os.listdir(self.at('takes')), ['01.wav'])
        self.assertEqual(self.backed('takes/01.wav'), expected)
        self.assertEqual(os.stat(self.at('takes/01.wav')).st_size, 2000)
        self.assertEqual(os.statvfs(self.mnt).f_blocks, os.statvfs(self.backing).f_blocks)

        os.unlink(self.at('takes/01.wav'))
        os.rmdir(self.at('takes'))
        self.assertEqual(os.listdir(self.backing), [])

    def test_frozen_changes_block_until_thaw_while_looking_still_answers(self):
        fs = self.mount()
        for folder in ('c', 'm', 'u'):  # one each: the kernel locks the folder of a held change
            os.mkdir(self.at(folder))
        touch(self.at('u/old'))
        touch(self.at('notes.txt'), b'notes')
        take = self.open('take.wav')
        synced = self.open('synced.wav')
        os.write(synced, b'x' * 4096)
        data = os.urandom(256 * 1024)

        fs.freeze()
        calls = {
            'write': Call(os.write, take, data),
            'fdatasync': Call(os.fdatasync, synced),
            'create': Call(touch, self.at('c/new')),
            'mkdir': Call(os.mkdir, self.at('m/new')),
            'unlink': Call(os.unlink, self.at('u/old')),
        }
        calls['write'].done_within(BLOCKED)
        for name, call in calls.items():
            self.assertFalse(call.done_within(0), f'{name} returned while frozen')
        self.assertEqual(self.backed('take.wav'), b'')
        self.assertEqual(sorted(os.listdir(self.backing)), ['c', 'm', 'notes.txt', 'synced.wav',
                                                            'take.wav', 'u'])
        self.assertEqual(os.listdir(os.path.join(self.backing, 'u')), ['old'])

        look = Call(lambda: (sorted(os.listdir(self.mnt)), read_file(self.at('notes.txt')),
                             os.stat(self.at('take.wav')).st_size, os.statvfs(self.mnt)))
        self.assertTrue(look.done_within(SETTLE), 'looking at a frozen mount blocked')
        self.assertIsNone(look.error)
        self.assertEqual(look.result[:3], (['c', 'm', 'notes.txt', 'synced.wav', 'take.wav', 'u'],
                                           b'notes', 0))

        fs.thaw()
        for name, call in calls.items():
            self.assertTrue(call.done_within(SETTLE), f'{name} still blocked after thaw')
            self.assertIsNone(call.error, name)
        self.assertEqual(calls['write'].result, len(data))
        self.assertEqual(self.backed('take.wav'), data)
        self.assertEqual(self.backed('c/new'), b'')
        self.assertTrue(os.path.isdir(os.path.join(self.backing, 'm/new')))
        self.assertEqual(os.listdir(os.path.join(self.backing, 'u')), [])

    def test_fail_mode_returns_eio_to_blocked_and_new_calls_until_thaw(self):
        fs = self.mount()
        take = self.open('take.wav')
        fs.freeze()
        blocked = Call(os.write, take, b'a' * 4096)
        self.assertFalse(blocked.done_within(0.3), 'write returned while frozen')

        fs.fail()
        self.assertTrue(blocked.done_within(SETTLE), 'blocked write not released by fail')
        self.assertEqual(getattr(blocked.error, 'errno', None), errno.EIO)
        attempts = {
            'write': lambda: os.write(take, b'b'),
            'fdatasync': lambda: os.fdatasync(take),
            'create': lambda: os.open(self.at('other.wav'), os.O_WRONLY | os.O_CREAT, 0o644),
            'mkdir': lambda: os.mkdir(self.at('takes')),
        }
        for name, attempt in attempts.items():
            with self.subTest(name), self.assertRaises(OSError) as raised:
                attempt()
            self.assertEqual(raised.exception.errno, errno.EIO, name)
        self.assertEqual(os.listdir(self.mnt), ['take.wav'])  # looking still works

        fs.thaw()
        self.assertEqual(os.write(take, b'c'), 1)
        self.assertEqual(self.backed('take.wav'), b'c')

    def test_freeze_all_holds_lookups_too(self):
        fs = self.mount(freeze_all=True)
        touch(self.at('notes.txt'), b'n')
        fs.freeze()
        calls = {
            'listdir': Call(os.listdir, self.mnt),
            'stat': Call(os.stat, self.at('notes.txt')),
            'statvfs': Call(os.statvfs, self.mnt),
        }
        calls['listdir'].done_within(BLOCKED)
        for name, call in calls.items():
            self.assertFalse(call.done_within(0), f'{name} returned while frozen')
        fs.thaw()
        for name, call in calls.items():
            self.assertTrue(call.done_within(SETTLE), f'{name} still blocked after thaw')
            self.assertIsNone(call.error, name)
        self.assertEqual(calls['listdir'].result, ['notes.txt'])

    def test_lazy_unmount_releases_blocked_write_and_ends_tool(self):
        fs = self.mount()
        take = self.open('take.wav')  # stays open: the detached mount lives on for it
        data = os.urandom(64 * 1024)
        fs.freeze()
        write = Call(os.write, take, data)
        self.assertFalse(write.done_within(0.3), 'write returned while frozen')

        lazy_unmount(self.mnt)
        self.assertEqual(fs.process.wait(SETTLE), 0, fs.stderr())
        self.assertTrue(write.done_within(SETTLE), 'write still blocked after unmount')
        self.assertIsNone(write.error)
        self.assertEqual(write.result, len(data))
        self.assertEqual(self.backed('take.wav'), data)
        self.assertFalse(is_mounted(self.mnt))
        self.assertEqual(fs.stderr(), '')

    def test_sigterm_releases_blocked_sync_and_unmounts(self):
        fs = self.mount()
        synced = self.open('synced.wav')
        os.write(synced, b'x' * 4096)
        fs.freeze()
        sync = Call(os.fdatasync, synced)
        self.assertFalse(sync.done_within(0.3), 'fdatasync returned while frozen')

        fs.process.send_signal(signal.SIGTERM)
        self.assertEqual(fs.process.wait(SETTLE), 0, fs.stderr())
        self.assertTrue(sync.done_within(SETTLE), 'fdatasync still blocked after SIGTERM')
        self.assertIsNone(sync.error)
        self.assertFalse(is_mounted(self.mnt))
        self.assertEqual(fs.stderr(), '')

    def test_control_pipe_commands(self):
        control = os.path.join(self.dir, 'control')
        fs = self.mount(control=control)
        take = self.open('take.wav')

        def send(command):
            with open(control, 'w', encoding='ascii') as pipe:
                pipe.write(command + '\n')

        send('fail')
        fs.wait_for('failing')
        with self.assertRaises(OSError) as raised:
            os.write(take, b'x')
        self.assertEqual(raised.exception.errno, errno.EIO)
        send('thaw')
        fs.wait_for('thawed')
        self.assertEqual(os.write(take, b'y'), 1)

        send('exit')
        self.assertEqual(fs.process.wait(SETTLE), 0, fs.stderr())
        self.assertFalse(is_mounted(self.mnt))
        self.assertFalse(os.path.exists(control), 'the pipe the tool made outlived it')


if __name__ == '__main__':
    unittest.main()
