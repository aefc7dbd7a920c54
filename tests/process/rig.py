"""Process-test rig: a private JACK dummy server (or PipeWire with QUILLTAP_SERVER=pipewire),
the signal client standing in for a mixer, the recorder under test (events parsed strictly, any
stderr output fails), and strict readers for what it writes.

Counter signal (tests/tools/signal_client.cc): channel c (0-based) carries k / 2^23 with
k = (F + 4099 * c) mod 2^22, F the JACK frame time. Float files hold k / 2^23 exactly, 24-bit
files k, 32-bit int files k << 8, 16-bit files k >> 8. For 16-bit files a gap check proves no
step is larger than 1; runs=True also requires a change exactly every 256 frames (a truncating
writer), which catches single lost or repeated frames.

QUILLTAP_BIN, QUILLTAP_SIGNAL_CLIENT and QUILLTAP_TOOLS_DIR name the programs (default:
build/default); QUILLTAP_KEEP_TMP=1 keeps the servers' temporary directories."""

import ctypes
import glob
import itertools
import json
import mmap
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
from array import array
from collections import namedtuple

_HERE = os.path.dirname(os.path.abspath(__file__))
_BUILD = os.path.normpath(os.path.join(_HERE, "..", "..", "build", "default"))

QUILLTAP_BIN = os.environ.get("QUILLTAP_BIN") or os.path.join(_BUILD, "quilltap")
SIGNAL_CLIENT = os.environ.get("QUILLTAP_SIGNAL_CLIENT") or os.path.join(
    _BUILD, "tests", "tools", "signal_client")
TOOLS_DIR = os.environ.get("QUILLTAP_TOOLS_DIR") or os.path.join(_BUILD, "tests", "tools")


class RigError(Exception):
    """The rig itself could not do its job (a server that does not start, a client that dies)."""


def _terminate(proc, timeout):
    """SIGTERM, then SIGKILL if the process is still there after `timeout` seconds."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    return proc.returncode


def no_server_env():
    """An environment whose JACK server name no server has, for runs without any server."""
    return dict(os.environ, JACK_DEFAULT_SERVER="qtnone%d" % os.getpid())


# ---------------------------------------------------------------------------------------------
# JACK server

_REGISTRY = "/dev/shm/jack-shm-registry"
_REGISTRY_SEMAPHORE_KEY = 0x282929   # libjack's lock of the registry (a System V semaphore)
_SERVER_SLOT = 264                   # pid_t + char[257], padded
_RIG_SERVER = re.compile(r"jack-%d:qt\d+_\d+:" % os.getuid())


def _registry_lock(libc, op):
    class Sembuf(ctypes.Structure):
        _fields_ = [("sem_num", ctypes.c_ushort), ("sem_op", ctypes.c_short),
                    ("sem_flg", ctypes.c_short)]

    class Timespec(ctypes.Structure):
        _fields_ = [("tv_sec", ctypes.c_long), ("tv_nsec", ctypes.c_long)]

    semid = libc.semget(_REGISTRY_SEMAPHORE_KEY, 0, 0)
    if semid < 0:
        return False
    buf = Sembuf(0, op, 0x1000)  # SEM_UNDO, as libjack does
    return libc.semtimedop(semid, ctypes.byref(buf), 1, ctypes.byref(Timespec(5, 0))) == 0


def reclaim_server_slots():
    """Frees the registry slots of dead servers that this rig started.

    libjack's shared registry holds at most 8 servers, and a dead server's slot is reclaimed
    only when a server of the same name starts again. jackd dies of SIGPIPE now and then when
    a client leaves while it shuts down, so with a fresh name per server the slots would run
    out for every JACK user of the machine ("Too many servers already active").
    """
    try:
        f = open(_REGISTRY, "r+b")
    except OSError:
        return
    libc = ctypes.CDLL(None, use_errno=True)
    with f, mmap.mmap(f.fileno(), 0) as m:
        if len(m) < 24 or m[:4] != b"KCAJ":
            return
        header = struct.unpack_from("<I", m, 16)[0]
        if (header - 24) % _SERVER_SLOT or header > len(m):
            return
        if not _registry_lock(libc, -1):
            return
        try:
            for offset in range(24, header, _SERVER_SLOT):
                pid = struct.unpack_from("<i", m, offset)[0]
                name = bytes(m[offset + 4:offset + _SERVER_SLOT]).split(b"\0")[0]
                if pid <= 0 or not _RIG_SERVER.fullmatch(name.decode("latin-1")):
                    continue
                try:
                    os.kill(pid, 0)
                    continue
                except ProcessLookupError:
                    pass
                except PermissionError:
                    continue
                m[offset + 4:offset + _SERVER_SLOT] = bytes(_SERVER_SLOT - 4)
                struct.pack_into("<i", m, offset, 0)
        finally:
            _registry_lock(libc, 1)


class JackServer:
    """A private jackd with the dummy driver, named uniquely for this instance.

    The dummy driver's capture ports make a device "system" with `capture` channels.
    """

    _serial = itertools.count()

    def __init__(self, capture=18, playback=2, rate=48000, period=1024, start_timeout=15):
        self.name = "qt%d_%d" % (os.getpid(), next(JackServer._serial))
        self.capture, self.playback = capture, playback
        self.rate, self.period = rate, period
        self.start_timeout = start_timeout
        self.tmpdir = None
        self.log_path = None
        self.proc = None
        # The environment for every child: quilltap, the signal client, the JACK tools.
        self.env = dict(os.environ, JACK_DEFAULT_SERVER=self.name, JACK_NO_AUDIO_RESERVATION="1")
        self.env.pop("JACK_NO_START_SERVER", None)
        # The JACK command-line tools must never start a server of their own.
        self._tool_env = dict(self.env, JACK_NO_START_SERVER="1")

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def start(self):
        reclaim_server_slots()
        self.tmpdir = tempfile.mkdtemp(prefix=self.name + "-")
        self.log_path = os.path.join(self.tmpdir, "jackd.log")
        with open(self.log_path, "wb") as log:
            self.proc = subprocess.Popen(
                ["jackd", "--no-realtime", "-n", self.name, "-d", "dummy",
                 "-C", str(self.capture), "-P", str(self.playback),
                 "-r", str(self.rate), "-p", str(self.period)],
                env=self.env, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        # The last port the driver registers tells that the server is fully up.
        last = ("system:capture_%d" % self.capture if self.capture
                else "system:playback_%d" % self.playback)
        deadline = time.monotonic() + self.start_timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RigError("jackd %s exited with %s:\n%s"
                               % (self.name, self.proc.returncode, self.log_text()))
            if last in self.ports():
                return self
            time.sleep(0.1)
        self.stop()
        raise RigError("jackd %s did not come up:\n%s" % (self.name, self.log_text()))

    def stop(self, timeout=10, kill=False):
        """Stops the server (SIGKILL at once with kill=True); returns its exit status.

        jackd sometimes dies of SIGPIPE (-13) when clients are still connected while it shuts
        down: stop clients first where the status matters.
        """
        status = None
        if self.proc is not None:
            if kill and self.proc.poll() is None:
                self.proc.kill()
            status = _terminate(self.proc, timeout)
            # A server that did not end cleanly leaves its sockets and semaphores behind;
            # the unique name makes them safe to remove.
            for leftover in (glob.glob("/dev/shm/jack_%s_*" % self.name)
                             + glob.glob("/dev/shm/jack_sem.*_%s_*" % self.name)):
                try:
                    os.unlink(leftover)
                except OSError:
                    pass
            reclaim_server_slots()
        if self.tmpdir and os.environ.get("QUILLTAP_KEEP_TMP") != "1":
            shutil.rmtree(self.tmpdir, ignore_errors=True)
            self.tmpdir = None
        return status

    def log_text(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def xruns(self):
        """How many xruns the server logged. In an xrun a client may miss a cycle, and then the
        counter it sees jumps by a period without any fault of its own."""
        return self.log_text().count("XRun")

    def tool(self, *argv, check=True, timeout=10):
        """Runs a JACK command-line tool against this server; returns its stdout."""
        done = subprocess.run(list(argv), env=self._tool_env, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=timeout)
        if check and done.returncode != 0:
            raise RigError("%s failed (%s): %s" % (" ".join(argv), done.returncode,
                                                   done.stderr.decode("utf-8", "replace")))
        return done.stdout.decode("utf-8", "replace")

    def ports(self, pattern=None):
        """Port names in the server's order ([] while the server is not reachable)."""
        try:
            out = self.tool("jack_lsp", *([pattern] if pattern else []), check=False)
        except subprocess.TimeoutExpired:
            return []
        return [line for line in out.splitlines() if line and not line.startswith(" ")]

    def disconnect(self, source, destination):
        self.tool("jack_disconnect", source, destination)

    def freewheel(self, on):
        self.tool("jack_freewheel", "y" if on else "n")

    def scratch_dir(self, prefix="out-"):
        """A fresh directory inside the server's temporary directory, removed with it."""
        return tempfile.mkdtemp(prefix=prefix, dir=self.tmpdir)


_PIPEWIRE_CONF = """
context.properties = { core.daemon = true core.name = pipewire-0 log.level = 2
    default.clock.rate = %(rate)d default.clock.allowed-rates = [ %(rate)d ]
    default.clock.quantum = %(period)d default.clock.min-quantum = %(period)d
    default.clock.max-quantum = %(period)d }
context.spa-libs = { support.* = support/libspa-support }
context.modules = [
    { name = libpipewire-module-protocol-native } { name = libpipewire-module-metadata }
    { name = libpipewire-module-spa-node-factory } { name = libpipewire-module-client-node }
    { name = libpipewire-module-access } { name = libpipewire-module-adapter }
    { name = libpipewire-module-link-factory } ]
context.objects = [
    { factory = metadata args = { metadata.name = default } }
    { factory = spa-node-factory args = { factory.name = support.node.driver
        node.name = Dummy-Driver node.group = pipewire.dummy priority.driver = 20000 } }
    { factory = spa-node-factory args = { factory.name = support.node.driver
        node.name = Freewheel-Driver node.group = pipewire.freewheel node.freewheel = true
        priority.driver = 19000 } } ]
"""


class PipeWireServer(JackServer):
    """A private PipeWire without session manager, as in PipeWire's own minimal.conf: a
    dummy driver runs the graph, and a metadata store keeps JACK's pretty names. Every child
    loads PipeWire's libjack and finds this server through its own XDG_RUNTIME_DIR. There
    are no system ports. Its log tells no xruns: only the recorder's lost-input warning
    excuses missing frames there."""

    def __init__(self, capture=0, playback=0, **kwargs):
        super().__init__(0, 0, **kwargs)
        path = glob.glob("/usr/lib/*/pipewire-0.3/jack") + [os.environ.get("LD_LIBRARY_PATH")]
        for env in (self.env, self._tool_env):
            for name in ("JACK_DEFAULT_SERVER", "PIPEWIRE_REMOTE"):
                env.pop(name, None)
            env["LD_LIBRARY_PATH"] = ":".join(filter(None, path))

    def start(self):
        self.tmpdir = tempfile.mkdtemp(prefix=self.name + "-pw-")
        self.log_path = os.path.join(self.tmpdir, "pipewire.log")
        conf = os.path.join(self.tmpdir, "pipewire.conf")
        with open(conf, "w") as f:
            f.write(_PIPEWIRE_CONF % {"rate": self.rate, "period": self.period})
        for env in (self.env, self._tool_env):
            env["XDG_RUNTIME_DIR"] = env["PIPEWIRE_RUNTIME_DIR"] = self.tmpdir
        with open(self.log_path, "wb") as log:
            self.proc = subprocess.Popen(["pipewire", "-c", conf], env=self.env,
                                         stdin=subprocess.DEVNULL, stdout=log,
                                         stderr=subprocess.STDOUT)
        deadline = time.monotonic() + self.start_timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RigError("pipewire exited with %s:\n%s"
                               % (self.proc.returncode, self.log_text()))
            if os.path.exists(os.path.join(self.tmpdir, "pipewire-0")) and subprocess.run(
                    ["jack_lsp"], env=self._tool_env, capture_output=True).returncode == 0:
                return self
            time.sleep(0.1)
        self.stop()
        raise RigError("pipewire did not come up:\n%s" % self.log_text())


def server(**kwargs):
    """The server the process tests run on: jackd, or PipeWire with QUILLTAP_SERVER=pipewire."""
    kind = os.environ.get("QUILLTAP_SERVER", "jackd")
    return {"jackd": JackServer, "pipewire": PipeWireServer}[kind](**kwargs)


# ---------------------------------------------------------------------------------------------
# Signal client

class SignalClient:
    """tests/tools/signal_client on a JackServer: a simulated mixer with `ports` outputs."""

    def __init__(self, server, name, ports=18, pretty=None, silent=(), full=(), inf=(),
                 minus_inf=(), nan=(), repretty_seconds=0, shrink_to=None, ready_timeout=10):
        self.server, self.name, self.channels = server, name, ports
        argv = [SIGNAL_CLIENT, "--name", name, "--ports", str(ports)]
        if pretty is not None:
            argv += ["--pretty", pretty]
        for flag, channels in (("--silent", silent), ("--full", full), ("--inf", inf),
                               ("--minus-inf", minus_inf), ("--nan", nan)):
            if channels:
                argv += [flag, ",".join(str(c) for c in channels)]
        if repretty_seconds:
            argv += ["--repretty-seconds", str(repretty_seconds)]
        if shrink_to is not None:
            argv += ["--shrink-to", str(shrink_to)]
        self.argv = argv
        self.ready_timeout = ready_timeout
        self.proc = None
        self.log_path = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        if self.proc is not None and self.proc.poll() is None:
            self.stop()
        return False

    def start(self):
        self.log_path = os.path.join(self.server.tmpdir, "signal_client-%s.log" % self.name)
        with open(self.log_path, "ab") as log:
            self.proc = subprocess.Popen(self.argv, env=self.server.env, stdin=subprocess.DEVNULL,
                                         stdout=subprocess.PIPE, stderr=log)
        line = b""
        deadline = time.monotonic() + self.ready_timeout
        while not line.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.proc.stdout], [], [], left)[0]:
                self.kill()
                raise RigError("signal client %s not ready in time: %s"
                               % (self.name, self._log_text()))
            chunk = os.read(self.proc.stdout.fileno(), 64)
            if not chunk:
                self.proc.wait()
                self.proc.stdout.close()
                raise RigError("signal client %s exited with %s: %s"
                               % (self.name, self.proc.returncode, self._log_text()))
            line += chunk
        if line != b"ready\n":
            self.kill()
            raise RigError("signal client %s said %r" % (self.name, line))
        return self

    def _log_text(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def port(self, channel):
        """The JACK name of 1-based `channel`."""
        return "%s:out_%d" % (self.name, channel)

    def shrink(self):
        """SIGUSR2: with shrink_to, the ports after the first shrink_to go, the client stays."""
        self.proc.send_signal(signal.SIGUSR2)

    def kill(self):
        """SIGKILL: the mixer is unplugged, its ports vanish without a goodbye."""
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self.proc.stdout.close()

    def wait(self, timeout=10):
        """Waits for the client to end by itself (2 when its server went away)."""
        status = self.proc.wait(timeout)
        self.proc.stdout.close()
        return status

    def stop(self, timeout=10):
        """SIGTERM; returns the exit status (0 when the client closed cleanly, None if it was
        never started)."""
        if self.proc is None:
            return None
        status = _terminate(self.proc, timeout)
        self.proc.stdout.close()
        return status


# ---------------------------------------------------------------------------------------------
# The recorder under test

def _reject_constant(name):
    raise ValueError("not JSON: %s" % name)


def _unique_keys(pairs):
    obj = {}
    for key, value in pairs:
        if key in obj:
            raise ValueError("duplicate key %r" % key)
        obj[key] = value
    return obj


def parse_event(raw):
    """One stdout line (bytes, newline removed) as an event dict; raises ValueError otherwise.

    Strict: UTF-8, one JSON object and nothing around it, no NaN/Infinity, no duplicate keys,
    a string "event".
    """
    text = raw.decode("utf-8")
    obj = json.loads(text, parse_constant=_reject_constant, object_pairs_hook=_unique_keys)
    if text != text.strip():
        raise ValueError("white space around the object")
    if not isinstance(obj, dict) or not isinstance(obj.get("event"), str):
        raise ValueError("not an object with a string \"event\"")
    return obj


class Recorder:
    """Runs the quilltap binary with `args` on `server` (or with `env`) and follows its events.

    stdin, stdout and stderr are pipes. Every stdout line must be one event (parse_event); a
    line that is not is kept in `bad_lines` and fails wait_for() and wait(). Use it as a context
    manager (or addCleanup(rec.kill)) so that a failing test leaves no recorder running.
    """

    def __init__(self, args, server=None, env=None, binary=None, cwd=None):
        if env is None:
            env = server.env if server is not None else os.environ
        self.argv = [binary or QUILLTAP_BIN] + [str(a) for a in args]
        self.proc = subprocess.Popen(self.argv, env=env, cwd=cwd, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.lines = []        # raw stdout lines (bytes, without the newline)
        self.events = []       # the parsed events, in order
        self.times = []        # time.monotonic() at which each event was read
        self.bad_lines = []    # (raw line, why)
        self._stderr = bytearray()
        self._eof = False
        self._cursor = {}      # event name -> index just past the last one wait_for returned
        self._cond = threading.Condition()
        self._threads = [threading.Thread(target=self._read_stdout, daemon=True),
                         threading.Thread(target=self._read_stderr, daemon=True)]
        for t in self._threads:
            t.start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.kill()
        return False

    def _read_stdout(self):
        pending = b""
        for chunk in iter(lambda: self.proc.stdout.read1(65536), b""):
            pending += chunk
            *complete, pending = pending.split(b"\n")
            for raw in complete:
                self._add_line(raw)
        self.proc.stdout.close()
        with self._cond:
            if pending:
                self.bad_lines.append((pending, "unterminated last line"))
            self._eof = True
            self._cond.notify_all()

    def _add_line(self, raw):
        now = time.monotonic()
        with self._cond:
            self.lines.append(raw)
            try:
                event = parse_event(raw)
            except ValueError as e:
                self.bad_lines.append((raw, str(e)))
            else:
                self.events.append(event)
                self.times.append(now)
            self._cond.notify_all()

    def _read_stderr(self):
        for chunk in iter(lambda: self.proc.stderr.read1(65536), b""):
            with self._cond:
                self._stderr += chunk
        self.proc.stderr.close()

    @property
    def stderr_text(self):
        with self._cond:
            return self._stderr.decode("utf-8", "replace")

    def _check_lines(self):
        if self.bad_lines:
            raise AssertionError("quilltap printed lines that are not events: %r" % self.bad_lines)

    def _describe(self):
        return "events so far: %s\nstderr: %r" % (
            json.dumps(self.events)[-4000:], self.stderr_text[-2000:])

    def wait_for(self, event, timeout=10, where=None):
        """The next event named `event` (and satisfying `where`, if given) that this method has
        not returned before; fails the test on time-out or when stdout ends without it."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                self._check_lines()
                start = self._cursor.get(event, 0)
                for i in range(start, len(self.events)):
                    e = self.events[i]
                    if e["event"] == event and (where is None or where(e)):
                        self._cursor[event] = i + 1
                        return e
                if self._eof:
                    raise AssertionError("quilltap closed stdout without a %r event\n%s"
                                         % (event, self._describe()))
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("no %r event within %gs\n%s"
                                         % (event, timeout, self._describe()))
                self._cond.wait(left)

    def of(self, event):
        """All events named `event` so far."""
        with self._cond:
            return [e for e in self.events if e["event"] == event]

    def send(self, data):
        """Writes raw text or bytes to stdin; False when the recorder no longer reads it."""
        if isinstance(data, str):
            data = data.encode("utf-8")
        try:
            self.proc.stdin.write(data)
            self.proc.stdin.flush()
            return True
        except (BrokenPipeError, ValueError):
            return False

    def close_stdin(self):
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass

    def signal(self, sig):
        self.proc.send_signal(sig)

    def running(self):
        return self.proc.poll() is None

    def wait(self, timeout=30, allow_stderr=False):
        """The exit status; fails the test if the process outlives `timeout`, printed anything
        on stderr or printed a line that is not an event."""
        try:
            status = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError("quilltap still running after %gs\n%s" % (timeout, self._describe()))
        for t in self._threads:
            t.join(10)
        self.close_stdin()
        with self._cond:
            self._check_lines()
        if not allow_stderr and self.stderr_text:
            raise AssertionError("quilltap wrote on stderr: %r" % self.stderr_text)
        return status

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.close_stdin()


def run(args, server=None, env=None, timeout=30):
    """Runs quilltap to its end with stdin closed at once; returns the finished Recorder
    (lines, events, status checked for stderr and stray lines)."""
    rec = Recorder(args, server=server, env=env)
    rec.close_stdin()
    rec.status = rec.wait(timeout)
    return rec


# ---------------------------------------------------------------------------------------------
# WAV files

class WavError(Exception):
    pass


_GUID_TAIL = bytes.fromhex("000000001000800000aa00389b71")
_SIGN_BYTE = bytes(0 if b < 0x80 else 0xFF for b in range(256))
_LITTLE = sys.byteorder == "little"

Wav = namedtuple("Wav", "path container format_tag sample_format rate channels bits frames "
                        "samples chunks problems complete data_offset bext")
Bext = namedtuple("Bext", "description originator date time time_reference")


def read_wav(path, partial=False, samples=True, start=0, count=None):
    """Reads and checks a RIFF/WAVE or RF64 file strictly.

    Sizes in the header (RIFF or ds64 size, data size) must agree with the bytes present;
    with partial=True (a file whose writer never finished) disagreements are listed in
    `problems` instead of raising WavError, and the whole frames present are read.
    samples=False parses the header only; start/count read a window of frames (the soak's
    and the benchmarks' files run to gigabytes).
    """
    file_size = os.path.getsize(path)
    problems = []

    def problem(text):
        if not partial:
            raise WavError("%s: %s" % (path, text))
        problems.append(text)

    with open(path, "rb") as f:
        head = f.read(12)
        if len(head) < 12:
            raise WavError("%s: %d bytes, no RIFF header" % (path, len(head)))
        container, riff_size, wave = struct.unpack("<4sI4s", head)
        if container not in (b"RIFF", b"RF64") or wave != b"WAVE":
            raise WavError("%s: not a WAVE file (%r %r)" % (path, container, wave))
        rf64 = container == b"RF64"
        ds64 = fmt = data = bext = None  # data: (offset of the samples, size)
        chunk_ids = []
        pos = 12
        while pos < file_size:
            if pos + 8 > file_size:
                problem("%d stray bytes after the last chunk" % (file_size - pos))
                break
            f.seek(pos)
            cid, size = struct.unpack("<4sI", f.read(8))
            body = pos + 8
            chunk_ids.append(cid.decode("latin-1"))
            if cid == b"ds64":
                if not rf64 or len(chunk_ids) != 1 or size < 28:
                    raise WavError("%s: misplaced or short ds64 chunk" % path)
                ds64 = struct.unpack("<QQQ", f.read(24))
            elif cid == b"fmt ":
                if fmt is not None or data is not None:
                    raise WavError("%s: fmt chunk repeated or after data" % path)
                fmt = _parse_fmt(path, f.read(min(size, 64)), size)
            elif cid == b"bext" and size >= 346:
                raw = f.read(346)
                text = [raw[a:b].split(b"\0")[0].decode("utf-8", "replace")
                        for a, b in ((0, 256), (256, 288), (320, 330), (330, 338))]
                bext = Bext(*text, struct.unpack("<Q", raw[338:346])[0])
            elif cid == b"data":
                if data is not None or fmt is None:
                    raise WavError("%s: data chunk repeated or before fmt" % path)
                if rf64:
                    if ds64 is None:
                        raise WavError("%s: RF64 without ds64" % path)
                    if size not in (0xFFFFFFFF, ds64[1]):
                        problem("data size field %d disagrees with ds64 %d" % (size, ds64[1]))
                    size = ds64[1]
                data = (body, size)
                if partial and (size == 0 or body + size > file_size) and body < file_size:
                    # An unfinished writer may not have told the size yet: take what is there.
                    problems.append("data size %d, %d bytes present" % (size, file_size - body))
                    data = (body, file_size - body)
                    pos = file_size
                    break
            if body + size > file_size:
                problem("%s chunk of %d bytes, %d present"
                        % (cid.decode("latin-1"), size, file_size - body))
                break
            pos = body + size + (size & 1)
        if fmt is None or data is None:
            raise WavError("%s: no %s chunk" % (path, "fmt" if fmt is None else "data"))
        # A missing pad byte after an odd-sized last chunk is common and harmless; the RIFF
        # size may then count it or not.
        riff_sizes = (file_size - 8, file_size - 7) if pos == file_size + 1 else (file_size - 8,)
        if rf64:
            if riff_size != 0xFFFFFFFF:
                problem("RF64 size field is %d, not 0xFFFFFFFF" % riff_size)
            if ds64[0] not in riff_sizes:
                problem("ds64 RIFF size %d, file has %d bytes" % (ds64[0], file_size))
        elif riff_size not in riff_sizes:
            problem("RIFF size %d, file has %d bytes" % (riff_size, file_size))

        format_tag, sample_format, channels, rate, bits = fmt
        block = channels * bits // 8
        offset, size = data
        if size % block and not problems:
            problem("data size %d is not a whole number of %d-byte frames" % (size, block))
        frames = min(size, file_size - offset) // block
        channel_samples = None
        if samples:
            first = min(start, frames)
            n = frames - first if count is None else max(0, min(count, frames - first))
            f.seek(offset + first * block)
            channel_samples = _decode(f.read(n * block), sample_format, bits, channels)
    return Wav(path, container.decode(), format_tag, sample_format, rate, channels, bits, frames,
               channel_samples, chunk_ids, problems, not problems, offset, bext)


def _parse_fmt(path, body, csize):
    if csize < 16:
        raise WavError("%s: fmt chunk of %d bytes" % (path, csize))
    tag, channels, rate, byte_rate, block_align, bits = struct.unpack("<HHIIHH", body[:16])
    sub = tag
    if tag == 0xFFFE:
        if csize < 40:
            raise WavError("%s: extensible fmt chunk of %d bytes" % (path, csize))
        cb_size, valid_bits, _mask, guid = struct.unpack("<HHI16s", body[16:40])
        if cb_size < 22 or guid[2:] != _GUID_TAIL:
            raise WavError("%s: bad extensible format" % path)
        if valid_bits != bits:
            raise WavError("%s: %d valid bits in %d-bit samples" % (path, valid_bits, bits))
        sub = struct.unpack("<H", guid[:2])[0]
    if sub == 1 and bits in (16, 24, 32):
        sample_format = "int"
    elif sub == 3 and bits == 32:
        sample_format = "float"
    else:
        raise WavError("%s: unsupported format %#x with %d bits" % (path, sub, bits))
    if channels < 1 or rate < 1:
        raise WavError("%s: %d channels at %d Hz" % (path, channels, rate))
    if block_align != channels * bits // 8 or byte_rate != rate * block_align:
        raise WavError("%s: block align %d / byte rate %d do not fit %d x %d bits at %d Hz"
                       % (path, block_align, byte_rate, channels, bits, rate))
    return tag, sample_format, channels, rate, bits


def _decode(raw, sample_format, bits, channels):
    if bits == 24:
        # Widen to 32 bits at C speed: low, mid, high byte, then a sign byte made by translate.
        wide = bytearray(len(raw) // 3 * 4)
        wide[0::4], wide[1::4], wide[2::4] = raw[0::3], raw[1::3], raw[2::3]
        wide[3::4] = raw[2::3].translate(_SIGN_BYTE)
        raw, code = wide, "i"
    else:
        code = {16: "h", 32: "f" if sample_format == "float" else "i"}[bits]
    values = array(code)
    values.frombytes(raw)
    if not _LITTLE:
        values.byteswap()
    if channels == 1:
        return [values]
    return [values[c::channels] for c in range(channels)]


# ---------------------------------------------------------------------------------------------
# Counter signal

COUNTER_MOD = 1 << 22
CHANNEL_STRIDE = 4099
Gap = namedtuple("Gap", "position expected got")
Gap.__doc__ = """Where a counter does not step as it should: `position` is the frame index,
`expected` and `got` the counter values k (k >> 8 for 16-bit; got is None for a sample that is
no counter value at all)."""

_rings = {}


def _ring(kind):
    """The encoded counter value for every k, in the representation of `kind`, built once."""
    if kind not in _rings:
        if kind == "float":
            floats = array("f", map((2.0 ** -23).__mul__, range(COUNTER_MOD)))
            ring = array("i")
            ring.frombytes(floats.tobytes())
        elif kind == 24:
            ring = array("i", range(COUNTER_MOD))
        elif kind == 32:
            ring = array("i", range(0, COUNTER_MOD << 8, 256))
        else:
            ring = array("h", (k >> 8 for k in range(COUNTER_MOD)))
        _rings[kind] = ring
    return _rings[kind]


def _kind(samples, bits):
    if isinstance(samples, array):
        if samples.typecode in "fd":
            return "float"
    elif samples and isinstance(samples[0], float):
        return "float"
    if bits not in (16, 24, 32):
        raise ValueError("bits must be 16, 24 or 32 for integer samples")
    return bits


def _codes(samples, kind):
    """The samples as an integer array comparable with _ring(kind)."""
    if kind == "float":
        if not (isinstance(samples, array) and samples.typecode == "f"):
            samples = array("f", samples)
        codes = array("i")
        codes.frombytes(samples.tobytes())
        return codes
    code = "h" if kind == 16 else "i"
    if isinstance(samples, array) and samples.typecode == code:
        return samples
    return array(code, samples)


def _decode_k(sample, kind):
    """The counter value k a single sample holds (k >> 8 for 16-bit), or None."""
    if kind == "float":
        k = sample * 8388608.0
        ok = k == int(k) and 0 <= k < COUNTER_MOD
        return int(k) if ok else None
    if kind == 24:
        return sample if 0 <= sample < COUNTER_MOD else None
    if kind == 32:
        return sample >> 8 if sample & 255 == 0 and 0 <= sample < (COUNTER_MOD << 8) else None
    return sample if 0 <= sample < (COUNTER_MOD >> 8) else None


def _matches(codes, ring, pos, k, n):
    """Index of the first frame in codes[pos:pos+n] that differs from the counter starting at
    k, or None; compares whole blocks at C speed and looks inside a block only when it differs."""
    block = 1 << 16
    done = 0
    while done < n:
        length = min(block, n - done)
        a = (k + done) % COUNTER_MOD
        expected = ring[a:a + length]
        if len(expected) < length:
            expected += ring[:length - len(expected)]
        got = codes[pos + done:pos + done + length]
        if got != expected:
            for i in range(length):
                if got[i] != expected[i]:
                    return pos + done + i
        done += length
    return None


def counter_gaps(samples, bits=24, limit=100, runs=False):
    """Every frame where the counter does not advance by exactly 1 (mod 2^22) from the
    previous frame, as a list of Gap; [] proves that no frame was lost or repeated.

    After a gap the check follows the counter from the value found. At most `limit` gaps are
    reported. For 16-bit samples see the module documentation: the check is weaker there.
    """
    kind = _kind(samples, bits)
    if kind == 16:
        return _gaps16(samples, limit, runs)
    codes = _codes(samples, kind)
    ring = _ring(kind)
    gaps, pos, n = [], 0, len(codes)
    while pos < n and len(gaps) < limit:
        k = _decode_k(samples[pos], kind)
        if k is None:
            gaps.append(Gap(pos, None, None))
            pos += 1
            continue
        bad = _matches(codes, ring, pos, k, n - pos)
        if bad is None:
            break
        expected = (k + bad - pos) % COUNTER_MOD
        got = _decode_k(samples[bad], kind)
        if got is None:
            gaps.append(Gap(bad, expected, None))
            pos = bad + 1
        else:
            gaps.append(Gap(bad, expected, got))
            pos = bad
    return gaps[:limit]


def _first_step16(values):
    """(index, value) of the first frame whose k >> 8 differs from its predecessor's."""
    first = values[0]
    for i in range(1, min(len(values), 512)):
        if values[i] != first:
            return i, values[i]
    return None


def _gaps16(samples, limit, runs):
    values = _codes(samples, 16)
    n = len(values)
    if n == 0:
        return []
    wrap = COUNTER_MOD >> 8
    step = _first_step16(values)
    # Fast path: the exact k >> 8 sequence of an undamaged truncating writer.
    if step is not None and (step[1] - values[0]) % wrap == 1:
        k0 = ((step[1] << 8) - step[0]) % COUNTER_MOD
        if _matches(values, _ring(16), 0, k0, n) is None:
            return []
    gaps = []
    run_start = None  # where the current value began, once a whole run can be measured
    for i in range(1, n):
        d = (values[i] - values[i - 1]) % wrap
        if d > 1:
            gaps.append(Gap(i, (values[i - 1] + 1) % wrap, values[i]))
            run_start = None
        elif d == 1 and runs:
            length = None if run_start is None else i - run_start
            if length is not None and length < 256:
                gaps.append(Gap(i, values[i - 1], values[i]))
            elif length is not None and length > 256:
                gaps.append(Gap(run_start + 256, values[i - 1] + 1, values[i - 1]))
            # After a bad run the phase is unknown until the next change.
            run_start = i if length in (None, 256) else None
        if len(gaps) >= limit:
            break
    return gaps


def first_counter(samples, bits=24):
    """k of the first frame (for 16-bit, estimated from the first change of k >> 8, assuming a
    truncating writer); None when it cannot be told."""
    kind = _kind(samples, bits)
    if not len(samples):
        return None
    if kind != 16:
        return _decode_k(samples[0], kind)
    step = _first_step16(samples)
    if step is None:
        return None
    return ((step[1] << 8) - step[0]) % COUNTER_MOD


def last_counter(samples, bits=24):
    """k of the last frame (for 16-bit, estimated from the last change of k >> 8)."""
    kind = _kind(samples, bits)
    n = len(samples)
    if not n:
        return None
    if kind != 16:
        return _decode_k(samples[n - 1], kind)
    tail = samples[max(0, n - 512):]
    for i in range(len(tail) - 1, 0, -1):
        if tail[i] != tail[i - 1]:
            return ((tail[i] << 8) + (len(tail) - 1 - i)) % COUNTER_MOD
    return None


def frame_time(k, channel):
    """The JACK frame time F (mod 2^22) of counter value k on 0-based device channel."""
    return None if k is None else (k - CHANNEL_STRIDE * channel) % COUNTER_MOD


def counter_distance(a, b):
    """b - a as a signed frame count in (-2^21, 2^21], counter wrap-around taken into account."""
    d = (b - a) % COUNTER_MOD
    return d - COUNTER_MOD if d > COUNTER_MOD // 2 else d


def join_gaps(first, second, overlap=0, bits=24):
    """[] when `second` continues `first` with exactly `overlap` repeated frames; otherwise one
    Gap at position 0 of `second` with the counter values expected and found there."""
    last, head = last_counter(first, bits), first_counter(second, bits)
    if last is None:
        return [Gap(0, None, head)]
    expected = (last + 1 - overlap) % COUNTER_MOD
    return [] if head == expected else [Gap(0, expected, head)]
