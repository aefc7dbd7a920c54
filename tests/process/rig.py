"""Process-test rig: private JACK servers, the signal client as a mixer, the recorder with its
events parsed strictly, a strict WAV reader, the counter check and real faulty drives. The signal
client's channel c (0-based) carries k / 2^23, k = (F + 4099 * c) mod 2^22 for JACK frame time F:
float files hold it exactly, 24-bit files k, 16-bit files k >> 8 (read by its 256-frame steps)."""

import contextlib, ctypes, fcntl, functools, glob, itertools, json, os, pathlib, re, select, shutil
import signal, struct, subprocess, tempfile, threading, time, unittest
from array import array
from collections import namedtuple

_BUILD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "default")
QUILLTAP_BIN = os.environ.get("QUILLTAP_BIN") or os.path.join(_BUILD, "quilltap")
TOOLS_DIR = os.environ.get("QUILLTAP_TOOLS_DIR") or os.path.join(_BUILD, "tests", "tools")
SIGNAL_CLIENT = os.environ.get("QUILLTAP_SIGNAL_CLIENT") or os.path.join(TOOLS_DIR, "signal_client")
RigError = type("RigError", (Exception,), {})  # the rig could not do its job, the test none


class Context:
    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def _terminate(proc, timeout=10):
    proc.terminate()  # a no-op once it has ended, as kill()
    try:
        return proc.wait(timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        return proc.wait()


def expect_line(proc, word, end, timeout=10):
    """A test tool's next line on its unbuffered stdout must be `word`; else `end()`, RigError."""
    line = select.select([proc.stdout], [], [], timeout)[0] and proc.stdout.readline()
    if line != word:
        end()
        raise RigError("%s said %r, not %r" % (os.path.basename(proc.args[0]), line, word))


_PIPEWIRE_CONF = """context.properties = { core.daemon = true core.name = pipewire-0 log.level = 2
  default.clock.rate = 48000 default.clock.allowed-rates = [ 48000 ] default.clock.quantum = %d
  default.clock.min-quantum = %d default.clock.max-quantum = %d }
context.spa-libs = { support.* = support/libspa-support }
context.modules = [ { name = libpipewire-module-protocol-native }
  { name = libpipewire-module-metadata } { name = libpipewire-module-spa-node-factory }
  { name = libpipewire-module-client-node } { name = libpipewire-module-access }
  { name = libpipewire-module-adapter } { name = libpipewire-module-link-factory } ]
context.objects = [ { factory = metadata args = { metadata.name = default } }
  { factory = spa-node-factory args = { factory.name = support.node.driver
    node.name = Dummy-Driver node.group = pipewire.dummy priority.driver = 20000 } }
  { factory = spa-node-factory args = { factory.name = support.node.driver
    node.name = Freewheel-Driver node.group = pipewire.freewheel node.freewheel = true
    priority.driver = 19000 } } ]
"""


class JackServer(Context):
    """A private, uniquely named jackd with the dummy driver: device "system" has `capture`
    channels. With pipewire=True a private PipeWire without session manager (as PipeWire's
    minimal.conf) whose libjack every child loads; it has no system ports and logs no xruns."""

    period = 1024

    def __init__(self, capture=18, pipewire=False):
        # A name of a small set, held by a lock while in use: jackd reclaims the slot (of 8,
        # machine-wide) that a dead server of the same name left in libjack's registry.
        for n in itertools.count():
            self.lock = open("/tmp/quilltap-jack-%d.lock" % n, "w")
            with contextlib.suppress(BlockingIOError):
                fcntl.flock(self.lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            self.lock.close()
        self.name = "qt%d" % n
        self.capture, self.pipewire, self.tmpdir, self.proc = capture, pipewire, None, None
        self.env = dict(os.environ, JACK_DEFAULT_SERVER=self.name, JACK_NO_AUDIO_RESERVATION="1")
        self.env.pop("JACK_NO_START_SERVER", None)

    def start(self):
        self.tmpdir = tempfile.mkdtemp(prefix=self.name + "-")
        self.log_path = os.path.join(self.tmpdir, "server.log")
        if self.pipewire:
            argv = ["pipewire", "-c", os.path.join(self.tmpdir, "pipewire.conf")]
            with open(argv[2], "w") as f:
                f.write(_PIPEWIRE_CONF % ((self.period,) * 3))
            libs = glob.glob("/usr/lib/*/pipewire-0.3/jack") + [os.environ.get("LD_LIBRARY_PATH")]
            self.env.pop("JACK_DEFAULT_SERVER")
            self.env.update(LD_LIBRARY_PATH=":".join(filter(None, libs)),
                            XDG_RUNTIME_DIR=self.tmpdir, PIPEWIRE_RUNTIME_DIR=self.tmpdir)
            ready = lambda: os.path.exists(self.tmpdir + "/pipewire-0") and self.ports() != []  # noqa: E731
        else:
            argv = ["jackd", "--no-realtime", "-n", self.name, "-d", "dummy", "-C",
                    str(self.capture), "-P", "2", "-r", "48000", "-p", str(self.period)]
            ready = lambda: "system:capture_%d" % self.capture in self.ports()  # noqa: E731
        with open(self.log_path, "wb") as log:  # the server ends with this process
            self.proc = subprocess.Popen(["setpriv", "--pdeathsig", "TERM"] + argv, env=self.env,
                                         stdin=subprocess.DEVNULL, stdout=log,
                                         stderr=subprocess.STDOUT)
        if wait_until(lambda: self.proc.poll() is not None or ready(), 15, 0.1) and ready():
            return self
        self.stop()
        raise RigError(argv[0] + " did not come up:\n" + pathlib.Path(self.log_path).read_text())

    def stop(self):
        """The exit status. Stop clients first: jackd may die of SIGPIPE when one is still there."""
        status = self.proc and _terminate(self.proc)
        for leftover in glob.glob("/dev/shm/jack*_%s_*" % self.name):  # its files, semaphores
            with contextlib.suppress(OSError):
                os.unlink(leftover)
        self.lock.close()
        if self.tmpdir and os.environ.get("QUILLTAP_KEEP_TMP") != "1":
            shutil.rmtree(self.tmpdir, ignore_errors=True)
        return status

    def xruns(self):
        """The xruns the server logged: in one a client may miss a cycle, and its counter jumps."""
        return pathlib.Path(self.log_path).read_text("utf-8", "replace").count("XRun")

    def tool(self, *argv, check=True, timeout=10):
        """Runs a JACK command-line tool (which never starts a server); returns its stdout."""
        done = subprocess.run(argv, env=dict(self.env, JACK_NO_START_SERVER="1"),
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
        if check and done.returncode:
            raise RigError("%s: %s" % (argv, done.stderr.decode("utf-8", "replace")))
        return done.stdout.decode("utf-8", "replace")

    def ports(self):
        with contextlib.suppress(RigError, subprocess.TimeoutExpired):
            return self.tool("jack_lsp").split("\n")
        return []

    def freewheel(self, on):
        self.tool("jack_freewheel", "y" if on else "n")

    def scratch_dir(self, prefix="out-"):
        return tempfile.mkdtemp(prefix=prefix, dir=self.tmpdir)


def server(capture=18):
    return JackServer(capture, pipewire=os.environ.get("QUILLTAP_SERVER") == "pipewire")


def wait_until(predicate, timeout, step=0.02):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(step)
    return True


class SignalClient(Context):
    """tests/tools/signal_client: a simulated mixer with `ports` outputs; armed: start() returns
    once it waits, go() brings it up."""

    def __init__(self, server, name, ports=18, pretty=None, shrink_to=None, armed=False):
        self.server, self.name, self.armed, self.pretty, self.proc = server, name, armed, pretty, None
        self.argv = [SIGNAL_CLIENT, "--name", name, "--ports", str(ports)] + ["--armed"] * armed
        self.argv += ["--pretty", pretty] * (pretty is not None)
        self.argv += ["--shrink-to", str(shrink_to)] * (shrink_to is not None)

    def start(self):
        self.proc = subprocess.Popen(self.argv, env=self.server.env, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, bufsize=0)
        expect_line(self.proc, b"armed\n" if self.armed else b"ready\n", self.kill, 30)
        return self

    def go(self, then=lambda: None):
        """It takes its name once that is free, e.g. when `then()` has killed the holder."""
        self.proc.stdin.write(b"go\n")
        then()
        expect_line(self.proc, b"ready\n", self.kill)
        return self

    def rename(self):
        """Sets the pretty name once more from a fresh process: a jackd that exits deletes JACK's
        metadata store (machine-wide), and a running client goes on writing to the deleted one."""
        if self.pretty is not None:
            self.server.tool("jack_property", "--client", "-s", self.name,
                             "http://jackaudio.org/metadata/pretty-name", self.pretty)

    def kill(self):
        """SIGKILL: the mixer is unplugged, its ports vanish without a goodbye."""
        self.proc.kill()
        self.wait()

    def wait(self, timeout=10):
        """Waits for the client's end (2 when its server went away)."""
        status = self.proc.wait(timeout)
        with self.proc:  # closes the pipes
            return status

    def stop(self):
        if self.proc:
            _terminate(self.proc)
            return self.wait()


def parse_event(raw):
    """One stdout line as an event: UTF-8, one JSON object and nothing around it, no NaN, no
    duplicate keys, a string "event". Raises ValueError otherwise."""
    def _unique(pairs):
        if len(dict(pairs)) != len(pairs):
            raise ValueError("duplicate key")
        return dict(pairs)

    text = raw.decode("utf-8")
    obj = json.loads(text, parse_constant=int, object_pairs_hook=_unique)  # int() refuses NaN
    if text != text.strip() or not isinstance(obj, dict) or not isinstance(obj.get("event"), str):
        raise ValueError("no event object alone on its line")
    return obj


class Recorder:
    """The quilltap binary (behind `wrap`, a command that runs it) with `args`, on `server` or
    with `env`, its events followed. A stdout line that is no event fails wait_for and wait."""

    def __init__(self, args, server=None, env=None, wrap=()):
        self.argv = list(wrap) + [QUILLTAP_BIN] + [str(a) for a in args]
        self.proc = subprocess.Popen(self.argv, env=env or (server.env if server else os.environ),
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        self.lines, self.events, self.times, self.bad_lines = [], [], [], []
        self.stderr, self._eof, self._cursor = b"", False, {}
        self._threads = [threading.Thread(target=f, daemon=True) for f in (
            self._read_stdout, lambda: setattr(self, "stderr", self.proc.stderr.read()))]
        for t in self._threads:
            t.start()

    def _read_stdout(self):
        for raw in self.proc.stdout:
            self.lines.append(raw.rstrip(b"\n"))
            try:
                if not raw.endswith(b"\n"):
                    raise ValueError("unterminated")
                event = parse_event(self.lines[-1])
                self.times.append(time.monotonic())
                self.events.append(event)  # after its time: whoever sees it can read both
            except ValueError as e:
                self.bad_lines.append((raw, str(e)))
        self._eof = True

    def _check(self, what=None):
        if self.bad_lines:
            raise AssertionError("quilltap printed lines that are no events: %r" % self.bad_lines)
        if what:
            raise AssertionError("%s\nevents: %s\nstderr: %r" % (
                what, json.dumps(self.events)[-3000:], self.stderr[-2000:]))

    def wait_for(self, event, timeout=10, where=None):
        """The next `event` (satisfying `where`) not returned before; fails on time-out."""
        deadline = time.monotonic() + timeout
        while True:
            self._check()
            ended = self._eof  # read first: the events then hold every line
            for i in range(self._cursor.get(event, 0), len(self.events)):
                e = self.events[i]
                if e["event"] == event and (where is None or where(e)):
                    self._cursor[event] = i + 1
                    return e
            if ended or time.monotonic() > deadline:
                self._check("no %r event within %g s" % (event, timeout))
            time.sleep(0.005)

    def of(self, event):
        return [e for e in self.events if e["event"] == event]

    def send(self, data):
        """Writes to stdin; False when the recorder no longer reads it."""
        try:
            self.proc.stdin.write(data.encode() if isinstance(data, str) else data)
            self.proc.stdin.flush()
            return True
        except (BrokenPipeError, ValueError):
            return False

    def close_stdin(self):
        with contextlib.suppress(BrokenPipeError):
            self.proc.stdin.close()

    def wait(self, timeout=30):
        """The exit status; fails on a recorder that outlives `timeout`, stderr or a non-event."""
        try:
            status = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            self._check("quilltap still running after %g s" % timeout)
        for t in self._threads:
            t.join(10)
        self.close_stdin()
        self._check("quilltap wrote on stderr" if self.stderr else None)
        return status

    def kill(self):
        self.proc.kill()
        self.proc.wait()
        self.close_stdin()


Wav = namedtuple("Wav", "path container sample_format rate channels bits frames declared "
                        "samples complete data_offset bext")
Bext = namedtuple("Bext", "description originator date time time_reference")
_FORMATS = {(1, 16): "int", (1, 24): "int", (1, 32): "int", (3, 32): "float"}


def read_wav(path, partial=False, samples=True, start=0, count=None):
    """Reads a RIFF/WAVE or RF64 file strictly: every size in the header must agree with the
    bytes there (else AssertionError). With partial=True (a writer that never finished)
    disagreements only make `complete` False, and `frames` counts the whole frames present
    after the data chunk's start, `declared` those its header claims. start/count read a
    window of frames."""
    size, fail = os.path.getsize(path), lambda text: AssertionError("%s: %s" % (path, text))
    with open(path, "rb") as f:
        container, riff, wave = struct.unpack("<4sI4s", f.read(12).ljust(12, b"\0"))
        if container not in (b"RIFF", b"RF64") or wave != b"WAVE":
            raise fail("not a WAVE file")
        ds64 = fmt = data = bext = None
        pos = 12
        while pos + 8 <= size and data is None:
            f.seek(pos)
            cid, csize = struct.unpack("<4sI", f.read(8))
            body = f.read(min(csize, 346))
            if cid == b"ds64" and container == b"RF64" and pos == 12:
                ds64 = struct.unpack("<QQQ", body[:24])
            elif cid == b"fmt " and fmt is None:
                tag, channels, rate, byte_rate, block_align, bits = struct.unpack("<HHIIHH", body[:16])
                if tag == 0xFFFE:
                    cb_size, valid, _, guid = struct.unpack("<HHI16s", body[16:40].ljust(24, b"\0"))
                    if csize < 40 or cb_size < 22 or valid != bits or \
                            guid[2:] != bytes.fromhex("000000001000800000aa00389b71"):
                        raise fail("bad extensible format")
                    tag = struct.unpack("<H", guid[:2])[0]
                fmt = _FORMATS.get((tag, bits)), channels, rate, bits
                if csize < 16 or not fmt[0] or channels < 1 or block_align != channels * bits // 8 \
                        or byte_rate != rate * block_align:
                    raise fail("bad format %#x, %d bits, %d channels" % (tag, bits, channels))
            elif cid == b"bext" and csize >= 346:
                text = [body[a:b].split(b"\0")[0].decode("utf-8", "replace")
                        for a, b in ((0, 256), (256, 288), (320, 330), (330, 338))]
                bext = Bext(*text, struct.unpack("<Q", body[338:346])[0])
            elif cid == b"data" and fmt is not None and (ds64 or container == b"RIFF"):
                data = (pos + 8, ds64[1] if ds64 else csize, csize)
            elif cid in (b"ds64", b"fmt ", b"data"):
                raise fail("%s chunk out of place" % cid.decode())
            pos += 8 + csize + (csize & 1)
        if data is None:
            raise fail("no fmt or data chunk")
        sample_format, channels, rate, bits = fmt
        block, (offset, declared, field) = channels * bits // 8, data
        riff_size = ds64[0] if ds64 else riff
        problems = [text for bad, text in [
            (ds64 and field not in (0xFFFFFFFF, ds64[1]), "data size field %d, not ds64's" % field),
            (container == b"RF64" and riff != 0xFFFFFFFF, "RF64 size field %d" % riff),
            (offset + declared > size or declared % block, "data chunk of %d bytes, %d present" % (
                declared, size - offset)),
            (riff_size not in (size - 8, size - 7 if declared & 1 else size - 8),
             "RIFF size %d for %d bytes" % (riff_size, size))] if bad]
        if problems and not partial:
            raise fail(problems[0])
        frames = (size - offset if partial else declared) // block
        first = min(start, frames)
        n = frames - first if count is None else max(0, min(count, frames - first))
        f.seek(offset + first * block)
        channel_samples = _decode(f.read(n * block), sample_format, bits,
                                  channels) if samples else None
    return Wav(path, container.decode(), sample_format, rate, channels, bits, frames,
               declared // block, channel_samples, not problems, offset, bext)


def _decode(raw, sample_format, bits, channels):
    if bits == 24:  # widen to 32 bits at C speed: low, mid, high byte, then a sign byte
        wide = bytearray(len(raw) // 3 * 4)
        wide[0::4], wide[1::4], wide[2::4] = raw[0::3], raw[1::3], raw[2::3]
        wide[3::4] = raw[2::3].translate(bytes(0 if b < 0x80 else 0xFF for b in range(256)))
        raw = wide
    values = array({16: "h", 24: "i", 32: "f" if sample_format == "float" else "i"}[bits], raw)
    return [values[c::channels] for c in range(channels)]  # little-endian hosts only


COUNTER_MOD, CHANNEL_STRIDE, _BLOCK = 1 << 22, 4099, 1 << 16
Gap = namedtuple("Gap", "position expected got")  # counter values k; got None: no counter value


@functools.lru_cache(None)
def _ring(kind):
    """The sample code of every k (float: bit patterns), one block more: no slice wraps."""
    ks = itertools.chain(range(COUNTER_MOD), range(_BLOCK))
    return array("i", array("f", map((2.0 ** -23).__mul__, ks)).tobytes()) if kind == "f" \
        else array("i", ks) if kind == 24 else array("h", (k >> 8 for k in ks))


def _k_at(samples, i, kind):
    """k of frame i, None if it is no counter value, False if it cannot be told (16 bits, no
    step before the end). 16 bits: from the next step of k >> 8, as a truncating writer makes."""
    v = samples[i]
    if kind == "f":
        return int(v * 8388608.0) if v * 8388608.0 == int(v * 8388608.0) and 0 <= v < 0.5 else None
    if kind == 24:
        return v if 0 <= v < COUNTER_MOD else None
    for j in range(i + 1, min(len(samples), i + 257)):
        if samples[j] != v:
            step = (samples[j] - v) % (COUNTER_MOD >> 8) == 1
            return ((samples[j] << 8) - (j - i)) % COUNTER_MOD if step else None
    return False if len(samples) - i < 257 else None


def counter_gaps(samples, bits=24, limit=100):
    """Every frame where the counter does not go on by 1 (mod 2^22) from the frame before, as
    Gaps; [] proves that no frame was lost, repeated or changed. After a gap it follows the
    counter from the value found."""
    kind = "f" if samples.typecode == "f" else bits
    codes = array("i", samples.tobytes()) if kind == "f" else samples
    ring, gaps, pos, n = _ring(kind), [], 0, len(samples)
    while pos < n and len(gaps) < limit:
        k = _k_at(samples, pos, kind)
        if k is False:
            break
        bad = pos if k is None else _mismatch(codes, ring, pos, k)
        if bad is None:
            break
        got = _k_at(samples, bad, kind)
        got = None if got is None or got is False else got
        gaps.append(Gap(bad, None if k is None else (k + bad - pos) % COUNTER_MOD, got))
        pos = bad if got is not None and bad > pos else bad + 1
    return gaps


def _mismatch(codes, ring, pos, k):
    for at in range(pos, len(codes), _BLOCK):
        got, a = codes[at:at + _BLOCK], (k + at - pos) % COUNTER_MOD
        if got != ring[a:a + len(got)]:
            return at + next(i for i, v in enumerate(got) if v != ring[a + i])
    return None


def first_counter(samples, bits=24):
    k = _k_at(samples, 0, "f" if samples.typecode == "f" else bits) if len(samples) else None
    return k if k is not False else None


def frame_time(k, channel):
    """The JACK frame time (mod 2^22) of counter value k on 0-based device `channel`."""
    return None if k is None else (k - CHANNEL_STRIDE * channel) % COUNTER_MOD


def counter_distance(a, b):
    """b - a in frames, in (-2^21, 2^21]."""
    d = (b - a) % COUNTER_MOD
    return d - COUNTER_MOD if d > COUNTER_MOD // 2 else d


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


def start_mixer():
    """A private server with the simulated XR18 on it: (server, device)."""
    running = server(CHANNELS).start()
    try:
        return running, SignalClient(running, DEVICE, CHANNELS, PRETTY).start()
    except Exception:
        running.stop()
        raise


def _unmount(path):
    """Lazily, and from here: a spawned umount could block on a frozen drive."""
    ctypes.CDLL(None).umount2(os.fsencode(path), 2)


class TmpfsDrive(Context):
    """A tmpfs of `size` on a fresh directory: a drive that fills up for real."""

    def __init__(self, parent, size="2m"):
        self.path, self.size = os.path.join(parent, "drive"), size

    def start(self):
        if os.geteuid():
            raise unittest.SkipTest("mounting a tmpfs needs root")
        os.makedirs(self.path)
        subprocess.run(("mount -t tmpfs -o size=%s tmpfs" % self.size).split() + [self.path], check=True)
        return self

    def stop(self):
        _unmount(self.path)


class FreezeFs:
    """tests/tools/freezefs on `mountpoint` over `backing`: "freeze" blocks the calls that change
    the drive (all calls with freeze_all), "thaw" lets them go on (if the tool still runs), "fail"
    answers them with EIO. While frozen, a process with a file open for writing there must not fork:
    the child's copy of the descriptor is closed by a FUSE flush, which blocks."""

    def __init__(self, backing, mountpoint, freeze_all=False):
        if os.geteuid():
            raise unittest.SkipTest("freezefs needs root")
        self.backing, self.mountpoint = backing, mountpoint
        for d in (backing, mountpoint):
            os.makedirs(d, exist_ok=True)
        self.proc = subprocess.Popen([os.path.join(TOOLS_DIR, "freezefs"), backing, mountpoint]
                                     + ["--freeze-all"] * freeze_all, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, bufsize=0)
        expect_line(self.proc, b"mounted\n", self.close)

    _SAID = {"freeze": (signal.SIGUSR1, b"frozen\n"), "thaw": (signal.SIGUSR2, b"thawed\n"),
             "fail": (signal.SIGRTMIN, b"failing\n")}

    def tell(self, what):
        if what != "thaw" or self.proc.poll() is None:
            self.proc.send_signal(self._SAID[what][0])
            expect_line(self.proc, self._SAID[what][1], self.close)

    def close(self):
        """Ends the tool, which releases every blocked call."""
        _terminate(self.proc)
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
        self.assertEqual((rec.wait(), rec.of("stopped"), rec.events[-1]), (0, [stopped], stopped))
        self.assertEqual(stopped, {"event": "stopped", "reason": reason, "files": list(files),
                                   "interrupted": list(interrupted), "seconds": stopped["seconds"]})
        return stopped

    def assert_counter(self, samples, bits, what, lost=False):
        """The counter, one frame after the other; with `lost`, whole periods may be skipped."""
        gaps = [g for g in counter_gaps(samples, bits) if not lost or g.got is None
                or g.expected is None or (g.got - g.expected) % self.server.period]
        self.assertEqual(gaps[:3], [], "%s: %d gaps in the counter" % (what, len(gaps)))

    def assert_mix(self, wav, terms, lost=False):
        """`wav` is a float stereo mix, sum(gain * counter) over `terms` [(1-based device channel,
        left gain, right gain)] within float rounding, frame after frame; with `lost`, whole
        server periods may be skipped. Its first frame time is solved from the side with the
        larger total gain, for every choice of which counters have wrapped."""
        self.assertEqual((wav.channels, wav.bits, wav.sample_format), (2, 32, "float"))
        side = 1 if sum(t[1] for t in terms) >= sum(t[2] for t in terms) else 2
        starts, mod, first = set(), COUNTER_MOD, wav.samples[side - 1][0] * 2.0 ** 23
        for wrapped in range(1 << len(terms)):
            offset = sum(t[side] * (CHANNEL_STRIDE * (t[0] - 1) - mod * (wrapped >> i & 1))
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
            v = ((f + j - i + CHANNEL_STRIDE * (ch - 1)) % COUNTER_MOD) * 2.0 ** -23
            left, right, size = left + gl * v, right + gr * v, size + (abs(gl) + abs(gr)) * v
        tolerance = len(terms) * 2.0 ** -24 * size + 2.0 ** -60
        if max(abs(wav.samples[0][j] - left), abs(wav.samples[1][j] - right)) > tolerance:
            return False
    return True
