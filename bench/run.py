#!/usr/bin/env python3
"""Performance measurements of quilltap, beside jack_capture where a peer makes sense.

    bench/run.py [--quick] [--only cpu,drive,freewheel,micro,stop,memory] [--output FILE] [--raw FILE]

Prints one Markdown table on stdout (progress notes go to stderr):

  cpu       CPU seconds (user + system, from wait4's rusage) per second of audio and peak
            memory, quilltap against jack_capture recording the same 18 (then 2) channels at
            24 bits in real time from the signal client "XR18", in alternation, every run on a
            fresh private JACK dummy server. Peak memory is VmHWM (ru_maxrss), which counts
            JACK's shared memory (~100 MB mapped by every client); RssAnon is private memory
            only, sampled every 0.1 s.
  drive     The drive's load: block-device write requests per audio second and bytes written
            per byte of audio, quilltap against jack_capture recording 18 channels at 24 bits
            in real time onto an ext4 image of their own on a loop device (needs root), from
            the device's counters (/sys/block/loopN/stat) read before the start and after a
            final sync, so that writeback the recorder left to the kernel counts too.
  freewheel Audio seconds recorded per wall second in JACK's freewheel mode, 18 channels at
            24 bits, with every recorded frame checked against the counter signal.
  micro     bench/writer_bench and bench/handle_buffer_bench (Google Benchmark), repeated.
  stop      Time from writing "stop" on quilltap's stdin to reading its "stopped" line, after
            ~1 s recordings into a folder on the real disk.
  memory    quilltap's RssAnon at every audio minute of an hour recorded in freewheel mode.

Before every run the script waits for the page cache's unwritten data to drain (see
settle_disk), so that one run's write-back does not land on the next.

--quick (10 s recordings, one run each, short freewheel and memory runs) is for working on
this script; figures worth keeping come from a full run. Recordings go to a folder under
/var/tmp (the real disk) that is removed at the end.

Needs build/bench (cmake --preset bench && cmake --build build/bench -j2) and jack_capture;
bench/run.sh sees to both.
"""

import argparse
import contextlib
import datetime
import json
import os
import platform
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RATE = 48000
DEVICE = "XR18"
SECTIONS = ("cpu", "drive", "freewheel", "micro", "stop", "memory")


def note(text):
    print("# " + text, file=sys.stderr, flush=True)


def setup_rig(build):
    """Points the process-test rig at the bench build and imports it."""
    os.environ["QUILLTAP_BIN"] = os.path.join(build, "quilltap")
    os.environ["QUILLTAP_SIGNAL_CLIENT"] = os.path.join(build, "bench", "signal_client")
    for path in (os.environ["QUILLTAP_BIN"], os.environ["QUILLTAP_SIGNAL_CLIENT"]):
        if not os.access(path, os.X_OK):
            sys.exit("%s is missing: build the bench preset first (bench/run.sh does)" % path)
    sys.path.insert(0, os.path.join(ROOT, "tests", "process"))
    global rig
    import rig  # noqa: E402  (needs the environment above)


# ---------------------------------------------------------------------------------------------
# Processes: CPU time from wait4, memory from /proc

MEMORY_KEYS = ("VmHWM", "VmRSS", "RssAnon", "RssFile", "RssShmem")


def proc_status(pid):
    """The memory lines of /proc/PID/status in kB, or None once the process has exited."""
    try:
        with open("/proc/%d/status" % pid) as f:
            lines = f.read().splitlines()
    except OSError:
        return None
    values = {}
    for line in lines:
        key, _, rest = line.partition(":")
        if key in MEMORY_KEYS:
            values[key] = int(rest.split()[0])
    return values if len(values) == len(MEMORY_KEYS) else None


def proc_cpu(pid):
    """CPU seconds of all the process's threads so far (schedstat, ns), or None once gone."""
    total = 0
    try:
        for task in os.listdir("/proc/%d/task" % pid):
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                total += int(f.read().split()[0])
    except OSError:
        return None
    return total / 1e9


class MemoryWatch(threading.Thread):
    """Samples a process's memory (keeping the peaks) and its CPU time every `interval` s."""

    def __init__(self, pid, interval=0.1):
        super().__init__(daemon=True)
        self.pid, self.interval = pid, interval
        self.peak, self.cpu = {}, []
        self._done = threading.Event()
        self.start()

    def run(self):
        while not self._done.is_set():
            values, cpu = proc_status(self.pid), proc_cpu(self.pid)
            if values is None or cpu is None:
                break
            for key, value in values.items():
                self.peak[key] = max(self.peak.get(key, 0), value)
            self.cpu.append((time.monotonic(), cpu))
            self._done.wait(self.interval)

    def steady_cpu(self, skip=5.0, tail=2.0):
        """CPU seconds per wall second once started and before stopping: from `skip` s after
        the first sample to `tail` s before the last (a thread that ended before counts not)."""
        if not self.cpu:
            return None
        first = next((p for p in self.cpu if p[0] >= self.cpu[0][0] + skip), None)
        last = [p for p in self.cpu if p[0] <= self.cpu[-1][0] - tail]
        if first is None or not last or last[-1][0] - first[0] < 2.0:
            return None
        return (last[-1][1] - first[1]) / (last[-1][0] - first[0])

    def stop(self):
        self._done.set()
        self.join()
        return self.peak


def reap(proc, timeout):
    """Waits for `proc` with wait4 and returns its rusage; SIGKILL after `timeout` seconds.

    Popen would reap the child itself and lose the rusage, so the status goes into
    proc.returncode by hand (Popen then never waits again)."""
    lock = threading.Lock()
    reaped = []

    def kill():
        with lock:
            if not reaped:
                os.kill(proc.pid, signal.SIGKILL)

    timer = threading.Timer(timeout, kill)
    timer.start()
    try:
        _, status, usage = os.wait4(proc.pid, 0)
        with lock:
            reaped.append(True)
    finally:
        timer.cancel()
    proc.returncode = os.waitstatus_to_exitcode(status)
    return usage


def cpu_seconds(usage):
    return usage.ru_utime + usage.ru_stime


def event_time(rec, event):
    """When the rig read `event` (time.monotonic())."""
    return rec.times[next(i for i, e in enumerate(rec.events) if e is event)]


def dirty_mb():
    """Dirty and under-writeback page cache, in MB."""
    with open("/proc/meminfo") as f:
        fields = dict(line.split(":", 1) for line in f)
    return sum(int(fields[k].split()[0]) for k in ("Dirty", "Writeback")) / 1024.0


def settle_disk(limit_mb=64, timeout=90):
    """Waits until the page cache holds little unwritten data, so that one run's write-back
    (a freewheel run leaves gigabytes) does not slow the next run's writes and syncs. The
    sync runs on a thread of its own: other users' writes may keep it busy for long."""
    before = dirty_mb()
    if before <= limit_mb:
        return
    threading.Thread(target=os.sync, daemon=True).start()
    start = time.monotonic()
    while dirty_mb() > limit_mb and time.monotonic() < start + timeout:
        time.sleep(0.5)
    note("  waited %.0f s for %.0f MB of write-back%s" % (
        time.monotonic() - start, before,
        "; %.0f MB still unwritten, going on" % dirty_mb() if dirty_mb() > limit_mb else ""))


@contextlib.contextmanager
def recording(server, out):
    """quilltap recording every channel of the device into `out`; killed at the end if still running."""
    rec = rig.Recorder(["record", "--out", out, "--device", DEVICE], server)
    try:
        yield rec
    finally:
        rec.kill()


def start_server(**kwargs):
    """A private dummy server; one retry, since other engineers' servers come and go."""
    try:
        return rig.JackServer(**kwargs).start()
    except rig.RigError as e:
        note("server did not start (%s); retrying" % str(e).splitlines()[0])
        time.sleep(2)
        return rig.JackServer(**kwargs).start()


def connected_ports(server, client="jack_capture"):
    """How many of the device's ports feed `client`."""
    out = server.tool("jack_lsp", "-c", check=False)
    count, port = 0, None
    for line in out.splitlines():
        if not line.startswith((" ", "\t")):
            port = line
        elif port and port.startswith(DEVICE + ":") and line.strip().startswith(client + ":"):
            count += 1
    return count


# ---------------------------------------------------------------------------------------------
# Checking what was recorded against the counter signal

MOD = 1 << 22
_ring24 = None


def ring24():
    """The 24-bit little-endian bytes of k = 0 .. 2^22-1, twice, so that any run of up to 2^22
    frames starting at any k is one slice."""
    global _ring24
    if _ring24 is None:
        from array import array
        wide = array("i", range(MOD))
        if sys.byteorder != "little":
            wide.byteswap()
        wide = wide.tobytes()
        ring = bytearray(MOD * 3)
        ring[0::3], ring[1::3], ring[2::3] = wide[0::4], wide[1::4], wide[2::4]
        _ring24 = bytes(ring) * 2
    return _ring24


def k24(raw):
    return int.from_bytes(raw, "little", signed=True)


def check_track_file(path, channel):
    """Every frame of a mono 24-bit track file against the counter of 0-based `channel`.

    Compares the file's bytes with the expected bytes (memcmp speed, so an hour of 18 tracks
    is checked in seconds); at the first difference the rig's counter_gaps tells what is
    wrong there. Returns (frames, JACK frame time of the first frame, problems)."""
    wav = rig.read_wav(path, samples=False)
    if (wav.channels, wav.bits, wav.sample_format) != (1, 24, "int"):
        return wav.frames, None, ["%s: %d channels, %d bits" % (path, wav.channels, wav.bits)]
    if wav.frames == 0:
        return 0, None, ["%s: no frames" % path]
    ring = ring24()
    with open(path, "rb", buffering=0) as f:
        k0 = k24(os.pread(f.fileno(), 3, wav.data_offset))
        if not 0 <= k0 < MOD:
            return wav.frames, None, ["%s: first sample %d is no counter value" % (path, k0)]
        pos = 0
        while pos < wav.frames:
            n = min(MOD, wav.frames - pos)
            data = os.pread(f.fileno(), 3 * n, wav.data_offset + 3 * pos)
            k = (k0 + pos) % MOD
            if data != ring[3 * k:3 * (k + n)]:
                first = next(i for i in range(0, 3 * n, 3) if data[i:i + 3] != ring[3 * k + i:3 * k + i + 3])
                at = pos + first // 3
                start = max(0, at - 1)
                window = rig.read_wav(path, start=start, count=min(n, 1 << 16)).samples[0]
                gaps = [g._replace(position=g.position + start) for g in rig.counter_gaps(window, 24, limit=5)]
                return wav.frames, rig.frame_time(k0, channel), [
                    "%s: frame %d holds %d, expected %d; around it: %s"
                    % (os.path.basename(path), at, k24(data[first:first + 3]),
                       (k + first // 3) % MOD, gaps)]
            pos += n
    return wav.frames, rig.frame_time(k0, channel), []


def check_quilltap_files(files, channels):
    """All of a recording's track files (track t = device channel t): gap-free, and all
    beginning at the same JACK frame. Returns (frames, problems)."""
    problems, starts, lengths = [], set(), set()
    for c, path in enumerate(files):
        frames, start, found = check_track_file(path, channels[c] - 1)
        problems += found
        starts.add(start)
        lengths.add(frames)
    if not problems and len(starts) != 1:
        problems.append("tracks begin at different frames: %s" % sorted(starts))
    if len(lengths) != 1:
        problems.append("tracks hold different frame counts: %s" % sorted(lengths))
    return max(lengths), problems


def check_interleaved(path, step=1021):
    """jack_capture's one multichannel file, every `step`-th frame and the last.

    Its float-to-24-bit conversion turns some odd counter values into the even one below
    (seen here for k >= 0x300000), so a frame-exact comparison does not apply; a value one
    below the expected one is accepted. A lost or repeated run of two frames or more shifts
    every later checkpoint and is caught; a single lost frame is not. Returns
    (frames, problems)."""
    wav = rig.read_wav(path, samples=False)
    ch, block = wav.channels, wav.channels * 3
    if wav.bits != 24 or wav.frames == 0:
        return wav.frames, ["%s: %d bits, %d frames" % (path, wav.bits, wav.frames)]
    problems = []
    with open(path, "rb", buffering=0) as f:
        def frame(i):
            raw = os.pread(f.fileno(), block, wav.data_offset + i * block)
            return [k24(raw[3 * c:3 * c + 3]) for c in range(ch)]
        first = frame(0)
        starts = {rig.frame_time(k, c) for c, k in enumerate(first)}
        if len(starts) != 1:
            problems.append("channels begin at different frames (order?): %s" % sorted(starts))
        positions = list(range(step, wav.frames, step))
        if positions[-1:] != [wav.frames - 1] and wav.frames > 1:
            positions.append(wav.frames - 1)
        for i in positions:
            for c, k in enumerate(frame(i)):
                expected = (first[c] + i) % MOD
                if k not in (expected, expected - 1, (expected + 1) % MOD):
                    problems.append("channel %d, frame %d: %d, expected %d" % (c + 1, i, k, expected))
                    return wav.frames, problems
    return wav.frames, problems


# ---------------------------------------------------------------------------------------------
# Programs under measurement

class Run(dict):
    """One program run's figures: cpu, audio (seconds), memory peaks in kB, problems."""


def quilltap_realtime(server, out, seconds, channels):
    with recording(server, out) as rec:
        watch = MemoryWatch(rec.proc.pid)
        rec.wait_for("started", 15)
        rec.wait_for("progress", seconds + 15, where=lambda e: e["seconds"] >= seconds)
        rec.send("stop\n")
        stopped = rec.wait_for("stopped", 60)
        usage = reap(rec.proc, 60)
        peak = watch.stop()
        status = rec.wait()
    frames, problems = check_quilltap_files(stopped["files"], list(range(1, channels + 1)))
    if status != 0 or stopped["reason"] != "stop":
        problems.append("exit %s, reason %s" % (status, stopped["reason"]))
    return Run(cpu=cpu_seconds(usage), audio=frames / RATE, hwm=usage.ru_maxrss,
               anon=peak.get("RssAnon"), shmem=peak.get("RssShmem"), problems=problems,
               steady=watch.steady_cpu())


def jack_capture(server, path, channels, extra):
    argv = (["jack_capture"] + extra + ["-dc", "-b", "24", "-c", str(channels),
            "-p", DEVICE + ":out_.*", path])
    # The log stays off the drive under measurement.
    log = tempfile.TemporaryFile()
    proc = subprocess.Popen(argv, env=server.env, stdin=subprocess.DEVNULL,
                            stdout=log, stderr=subprocess.STDOUT)
    proc.log = log
    return proc, MemoryWatch(proc.pid)


def jack_capture_done(proc, watch, path, timeout):
    usage = reap(proc, timeout)
    peak = watch.stop()
    problems = []
    if proc.returncode != 0:
        proc.log.seek(0)
        problems.append("jack_capture exited with %s: %s"
                        % (proc.returncode, proc.log.read()[-500:].decode("utf-8", "replace")))
    frames, found = check_interleaved(path) if os.path.exists(path) else (0, ["no file"])
    return Run(cpu=cpu_seconds(usage), audio=frames / RATE, hwm=usage.ru_maxrss,
               anon=peak.get("RssAnon"), shmem=peak.get("RssShmem"), problems=problems + found,
               steady=watch.steady_cpu())


def jack_capture_realtime(server, out, seconds, channels):
    path = os.path.join(out, "jack_capture.wav")
    proc, watch = jack_capture(server, path, channels, ["-d", str(seconds), "-f", "wav"])
    return jack_capture_done(proc, watch, path, seconds + 60)


# ---------------------------------------------------------------------------------------------
# Sections

def median_range(values):
    values = [v for v in values if v is not None]
    if not values:
        return None
    return {"median": statistics.median(values), "min": min(values), "max": max(values),
            "n": len(values)}


def section_cpu(base, quick):
    seconds, runs = (10, 1) if quick else (30, 3)
    result = {"seconds": seconds, "runs": runs}
    for channels in (18, 2):
        got = {"quilltap": [], "jack_capture": []}
        for run in range(runs):
            # Alternate which program goes first so that a drift in the machine's load
            # does not favour one of them.
            order = ("quilltap", "jack_capture") if run % 2 == 0 else ("jack_capture", "quilltap")
            for program in order:
                note("cpu: %d channels, run %d/%d, %s, %d s" % (channels, run + 1, runs, program, seconds))
                settle_disk()
                out = tempfile.mkdtemp(prefix="cpu-", dir=base)
                server = start_server()
                try:
                    with rig.SignalClient(server, DEVICE, ports=channels):
                        measure = quilltap_realtime if program == "quilltap" else jack_capture_realtime
                        r = measure(server, out, seconds, channels)
                    # A client may miss a cycle in an xrun (the server runs without real-time
                    # priority on a shared machine): say so beside any gap.
                    xruns = server.xruns()
                    if r["problems"] and xruns:
                        r["problems"].append("the server logged %d xrun(s) in this run" % xruns)
                finally:
                    server.stop()
                    shutil.rmtree(out, ignore_errors=True)
                r["cpu_per_s"] = r["cpu"] / r["audio"] if r["audio"] else None
                note("  %.4f CPU s per audio s over %.1f s (%.4f steady), VmHWM %d kB, RssAnon %s kB%s"
                     % (r["cpu_per_s"] or 0, r["audio"], r["steady"] or 0, r["hwm"], r["anon"],
                        ", PROBLEMS: %s" % r["problems"] if r["problems"] else ""))
                got[program].append(r)
        result[channels] = {p: {"runs": rs,
                                "cpu_per_s": median_range([r["cpu_per_s"] for r in rs]),
                                "steady": median_range([r["steady"] for r in rs]),
                                "hwm": median_range([r["hwm"] for r in rs]),
                                "anon": median_range([r["anon"] for r in rs]),
                                "shmem": median_range([r["shmem"] for r in rs]),
                                "problems": [p for r in rs for p in r["problems"]]}
                            for p, rs in got.items()}
    return result


class LoopDrive:
    """A fresh ext4 image on a loop device, mounted, with an empty folder `path` on it: a drive
    whose write counters count one recorder's writes alone. noatime, so that checking the
    files afterwards writes nothing."""

    def __init__(self, base, size=1 << 30):
        self.image = os.path.join(base, "drive.img")
        self.mount = os.path.join(base, "drive")
        self.path = os.path.join(self.mount, "take")
        self.size, self.device = size, None

    def __enter__(self):
        with open(self.image, "wb") as f:
            f.truncate(self.size)
        # Inode tables and journal written now, not by a kernel thread during the run.
        subprocess.run(["mkfs.ext4", "-q", "-F", "-E", "lazy_itable_init=0,lazy_journal_init=0",
                        self.image], check=True, capture_output=True)
        self.device = subprocess.run(["losetup", "--find", "--show", self.image], check=True,
                                     capture_output=True, text=True).stdout.strip()
        os.makedirs(self.mount, exist_ok=True)
        subprocess.run(["mount", "-o", "noatime", self.device, self.mount], check=True, capture_output=True)
        os.mkdir(self.path)
        self.sync()
        return self

    def __exit__(self, *exc):
        subprocess.run(["umount", self.mount], capture_output=True)
        subprocess.run(["losetup", "-d", self.device], capture_output=True)
        os.unlink(self.image)
        return False

    def sync(self):
        subprocess.run(["sync", "-f", self.mount], check=True)

    def writes(self):
        """(write requests, bytes written) the device has completed so far."""
        with open("/sys/block/%s/stat" % os.path.basename(self.device)) as f:
            fields = f.read().split()
        return int(fields[4]), int(fields[6]) * 512


def section_drive(base, quick):
    if os.geteuid() != 0:
        note("drive: skipped, a loop device needs root")
        return None
    seconds, runs = (10, 1) if quick else (20, 3)
    got = {"quilltap": [], "jack_capture": []}
    for run in range(runs):
        order = ("quilltap", "jack_capture") if run % 2 == 0 else ("jack_capture", "quilltap")
        for program in order:
            note("drive: run %d/%d, %s, %d s" % (run + 1, runs, program, seconds))
            settle_disk()
            server = start_server()
            try:
                with LoopDrive(base) as drive, rig.SignalClient(server, DEVICE, ports=18):
                    requests, written = drive.writes()
                    measure = quilltap_realtime if program == "quilltap" else jack_capture_realtime
                    r = measure(server, drive.path, seconds, 18)
                    drive.sync()
                    after = drive.writes()
            finally:
                server.stop()
            r["requests_per_s"] = (after[0] - requests) / r["audio"] if r["audio"] else None
            r["bytes_ratio"] = (after[1] - written) / (r["audio"] * RATE * 18 * 3) if r["audio"] else None
            note("  %.1f write requests per audio s, %.3f x the audio's bytes over %.1f s%s"
                 % (r["requests_per_s"] or 0, r["bytes_ratio"] or 0, r["audio"],
                    ", PROBLEMS: %s" % r["problems"] if r["problems"] else ""))
            got[program].append(r)
    return {"seconds": seconds, "runs": runs,
            **{p: {"requests_per_s": median_range([r["requests_per_s"] for r in rs]),
                   "bytes_ratio": median_range([r["bytes_ratio"] for r in rs]),
                   "problems": [x for r in rs for x in r["problems"]]}
               for p, rs in got.items()}}


def freewheel_window(server, wall):
    """Freewheel for about `wall` seconds; returns (on, off): the midpoints of the two
    jack_freewheel calls, the best estimate of when the server switched."""
    t0 = time.monotonic()
    server.freewheel(True)
    on = (t0 + time.monotonic()) / 2
    time.sleep(wall)
    t1 = time.monotonic()
    server.freewheel(False)
    off = (t1 + time.monotonic()) / 2
    return on, off


def quilltap_freewheel(server, out, wall):
    with recording(server, out) as rec:
        rec.wait_for("started", 15)
        rec.wait_for("progress", 15)
        on, off = freewheel_window(server, wall)
        # One progress event after the switch back tells how far freewheeling got.
        while event_time(rec, rec.wait_for("progress", 30)) <= off:
            pass
        rec.send("stop\n")
        stopped = rec.wait_for("stopped", 300)
        usage = reap(rec.proc, 60)
        status = rec.wait()
        progress = [(t, e["seconds"]) for t, e in zip(rec.times, rec.events) if e["event"] == "progress"]
        warnings = rec.of("warning") + rec.of("error")
    # The audio captured in freewheel: from the last progress before the switch to the first
    # after it, less the real-time stretches between those events and the switches.
    ta, sa = max(p for p in progress if p[0] < on)
    tb, sb = min(p for p in progress if p[0] > off)
    audio = (sb - sa) - ((on - ta) + (tb - off))
    note("  checking %d track files of %.0f s against the counter" % (len(stopped["files"]), stopped["seconds"]))
    frames, problems = check_quilltap_files(stopped["files"], list(range(1, 19)))
    if status != 0 or stopped["reason"] != "stop":
        problems.append("exit %s, reason %s" % (status, stopped["reason"]))
    problems += ["%s: %s" % (w["event"], w.get("message")) for w in warnings]
    return Run(speed=audio / (off - on), audio=audio, recorded=frames / RATE,
               cpu_per_s=cpu_seconds(usage) / (frames / RATE), problems=problems)


def jack_capture_freewheel(server, out, wall):
    # RF64: a minute of freewheeling makes more than the 4 GiB a RIFF file can hold.
    path = os.path.join(out, "jack_capture.wav")
    proc, watch = jack_capture(server, path, 18, ["-jf", "-ns", "-f", "rf64"])
    deadline = time.monotonic() + 15
    while connected_ports(server) < 18:
        if time.monotonic() > deadline or proc.poll() is not None:
            raise RuntimeError("jack_capture did not connect its 18 ports")
        time.sleep(0.1)
    on, off = freewheel_window(server, wall)
    note("  checking jack_capture's file")
    r = jack_capture_done(proc, watch, path, 300)
    # -jf records exactly while the server freewheels.
    r["speed"] = r["audio"] / (off - on)
    r["recorded"] = r["audio"]
    r["cpu_per_s"] = r["cpu"] / r["audio"] if r["audio"] else None
    return r


def section_freewheel(base, quick):
    wall, runs = (5, 1) if quick else (20, 3)
    got = {"quilltap": [], "jack_capture": []}
    for run in range(runs):
        order = ("quilltap", "jack_capture") if run % 2 == 0 else ("jack_capture", "quilltap")
        for program in order:
            note("freewheel: run %d/%d, %s, %d s wall" % (run + 1, runs, program, wall))
            settle_disk()
            out = tempfile.mkdtemp(prefix="freewheel-", dir=base)
            server = start_server()
            try:
                with rig.SignalClient(server, DEVICE, ports=18):
                    measure = quilltap_freewheel if program == "quilltap" else jack_capture_freewheel
                    r = measure(server, out, wall)
            finally:
                server.stop()
                shutil.rmtree(out, ignore_errors=True)
            note("  %.1f x real time (%.0f audio s), %.4f CPU s per audio s%s"
                 % (r["speed"], r["audio"], r["cpu_per_s"] or 0,
                    ", PROBLEMS: %s" % r["problems"] if r["problems"] else ", no gap"))
            got[program].append(r)
    return {"wall": wall, "runs": runs,
            **{p: {"runs": rs, "speed": median_range([r["speed"] for r in rs]),
                   "cpu_per_s": median_range([r["cpu_per_s"] for r in rs]),
                   "audio": median_range([r["audio"] for r in rs]),
                   "problems": [x for r in rs for x in r["problems"]]}
               for p, rs in got.items()}}


def gbench(binary, quick, repetitions=3):
    argv = [binary, "--benchmark_format=json"]
    argv += ["--benchmark_min_time=0.2"] if quick else ["--benchmark_repetitions=%d" % repetitions]
    # A benchmark binary that fails gets two more tries (handle_buffer_bench used to crash now
    # and then); the failures are reported with the figures.
    failures = []
    for attempt in range(3):
        done = subprocess.run(argv, capture_output=True, timeout=900)
        if done.returncode == 0:
            break
        failures.append("%s exited with %s" % (os.path.basename(binary), done.returncode))
        note("  " + failures[-1])
    else:
        return {"failures": failures}
    runs = {"failures": failures}
    for b in json.loads(done.stdout)["benchmarks"]:
        if b.get("run_type") != "iteration":
            continue
        if b.get("error_occurred"):
            raise RuntimeError("%s: %s" % (b["name"], b.get("error_message")))
        runs.setdefault(b["run_name"], []).append(b)
    return runs


def figure(runs, key):
    return median_range([b[key] for b in runs])


def section_micro(build, quick):
    note("micro: writer_bench")
    writer = gbench(os.path.join(build, "bench", "writer_bench"), quick)
    note("micro: handle_buffer_bench")
    handle = gbench(os.path.join(build, "bench", "handle_buffer_bench"), quick)
    note("micro: parts_bench")
    parts = gbench(os.path.join(build, "bench", "parts_bench"), quick)
    out = {"failures": writer.pop("failures") + handle.pop("failures") + parts.pop("failures")}
    for name, runs in parts.items():
        out[name] = {k: figure(runs, k) for k in ("ns_per_sample", "x_realtime")}
    for name, runs in writer.items():
        out[name] = {k: figure(runs, k) for k in ("disk_MB", "float_MB", "x_realtime")}
    for name, runs in handle.items():
        out[name] = {k: figure(runs, k) for k in ("frames/s", "bytes_per_second")}
    return out


def section_stop(base, quick):
    runs = 5 if quick else 20
    latencies, problems = [], []
    server = start_server()
    try:
        with rig.SignalClient(server, DEVICE, ports=18):
            for run in range(runs):
                settle_disk()
                out = tempfile.mkdtemp(prefix="stop-", dir=base)
                with recording(server, out) as rec:
                    rec.wait_for("started", 15)
                    rec.wait_for("progress", 15, where=lambda e: e["seconds"] >= 1.0)
                    sent = time.monotonic()
                    rec.send("stop\n")
                    stopped = rec.wait_for("stopped", 30)
                    read = event_time(rec, stopped)
                    status = rec.wait()
                latencies.append(read - sent)
                if status != 0 or stopped["reason"] != "stop":
                    problems.append("exit %s, reason %s" % (status, stopped["reason"]))
                shutil.rmtree(out, ignore_errors=True)
    finally:
        server.stop()
    note("stop: %s ms" % ", ".join("%.1f" % (x * 1000) for x in latencies))
    return {"runs": runs, "latency": median_range(latencies), "all": latencies, "problems": problems}


def section_memory(base, quick):
    target = 300 if quick else 3600
    note("memory: %d audio s in freewheel mode" % target)
    out = tempfile.mkdtemp(prefix="memory-", dir=base)
    samples, problems = [], []   # (audio seconds, RssAnon kB) at each new audio minute
    server = start_server()
    try:
        with rig.SignalClient(server, DEVICE, ports=18):
            with recording(server, out) as rec:
                rec.wait_for("started", 15)
                e = rec.wait_for("progress", 15)
                start = proc_status(rec.proc.pid)["RssAnon"]
                server.freewheel(True)
                t0 = time.monotonic()
                minute = 0
                while e["seconds"] < target:
                    e = rec.wait_for("progress", 30)
                    if int(e["seconds"] // 60) > minute:
                        minute = int(e["seconds"] // 60)
                        samples.append((e["seconds"], proc_status(rec.proc.pid)["RssAnon"]))
                server.freewheel(False)
                wall = time.monotonic() - t0
                rec.send("stop\n")
                stopped = rec.wait_for("stopped", 300)
                status = rec.wait()
                problems += ["%s: %s" % (w["event"], w.get("message")) for w in rec.of("warning") + rec.of("error")]
            if status != 0 or stopped["reason"] != "stop":
                problems.append("exit %s, reason %s" % (status, stopped["reason"]))
    finally:
        server.stop()
        shutil.rmtree(out, ignore_errors=True)
    after = [kb for s, kb in samples]
    note("memory: RssAnon kB at each minute: %s" % after)
    # Growth: the highest level of the last quarter of the hour against that of the first. The
    # level swings below it while `recent` empties after a sync and freed memory goes back to
    # the system; a leak raises it.
    quarter = max(1, len(after) // 4)
    return {"audio": stopped["seconds"], "wall": wall, "at_start": start,
            "samples": samples, "first_minute": after[0] if after else None,
            "max": max(after) if after else None,
            "drift": (max(after) - min(after)) if after else None,
            "growth": (max(after[-quarter:]) - max(after[:quarter])) if after else None,
            "problems": problems}


# ---------------------------------------------------------------------------------------------
# The table

def mb(kb):
    return kb / 1024.0


def fmt(stat, scale=1.0, digits=3, unit=""):
    if not stat:
        return "n/a"
    m, lo, hi = (stat[k] * scale for k in ("median", "min", "max"))
    if stat["n"] == 1:
        return "%.*f%s" % (digits, m, unit)
    return "%.*f%s (%.*f–%.*f)" % (digits, m, unit, digits, lo, digits, hi)


def ratio(a, b):
    if not a or not b or not b["median"]:
        return None
    return a["median"] / b["median"]


def verdict(ok):
    return "**PASS**" if ok else "**FAIL**"


def micro_rows(micro):
    """The benchmark rows; a benchmark that never ran cleanly is left out."""
    rows = []
    tw0, tw1, pw0, pw1 = (micro.get("BM_%s/sync:%d/real_time" % (name, sync))
                          for name in ("TrackFileWrite", "PlainWrite") for sync in (0, 1))
    if tw0 and pw0:
        r0 = ratio(tw0["disk_MB"], pw0["disk_MB"])
        rows.append("| Writer, 18 mono 24-bit files, no sync: MB/s of 24-bit data (× real time) | %s (%s ×) | plain write(2): %s (%s ×) | %.2f | ≥ 0.5 × write(2): %s |"
                    % (fmt(tw0["disk_MB"], digits=0), fmt(tw0["x_realtime"], digits=0),
                       fmt(pw0["disk_MB"], digits=0), fmt(pw0["x_realtime"], digits=0), r0, verdict(r0 >= 0.5)))
    if tw1 and pw1:
        rows.append("| Writer, with the once-a-second fdatasync | %s (%s ×) | plain write(2)+fdatasync: %s (%s ×) | %.2f | |"
                    % (fmt(tw1["disk_MB"], digits=0), fmt(tw1["x_realtime"], digits=0),
                       fmt(pw1["disk_MB"], digits=0), fmt(pw1["x_realtime"], digits=0),
                       ratio(tw1["disk_MB"], pw1["disk_MB"])))
    memcpy = micro.get("BM_MemcpySameSamples", {}).get("frames/s")
    for name, label in (("BM_HandleBufferTracks", "18 mono tracks"), ("BM_HandleBufferMix", "18 ch into a stereo mix")):
        if name not in micro or not memcpy:
            continue
        r = ratio(micro[name]["frames/s"], memcpy)
        target = "≥ 0.25 × memcpy: %s" % verdict(r >= 0.25) if name == "BM_HandleBufferTracks" else ""
        rows.append("| handleBuffer, %s: Mframes/s (4096-frame buffers) | %s | memcpy of the same samples: %s | %.3f | %s |"
                    % (label, fmt(micro[name]["frames/s"], 1e-6, 1), fmt(memcpy, 1e-6, 0), r, target))

    parts = [("BM_SndfileConvert/clip:1", "libsndfile float→24-bit conversion alone, clipping on (TrackFile's former setting)"),
             ("BM_SndfileConvert/clip:0", "libsndfile float→24-bit conversion alone, clipping off"),
             ("BM_WriteChunks/split:0/real_time", "write(2) of whole 12288-byte chunks (as TrackFile now writes them)"),
             ("BM_WriteChunks/split:1/real_time", "write(2) split 8190 + 4098 bytes, as libsndfile issues them (TrackFile's former writes)"),
             ("BM_Peak/lanes:1", "peak, one running maximum (handleBuffer's former loop)"),
             ("BM_Peak/lanes:8", "peak, eight running maxima (same NaN rule; handleBuffer now keeps two 4-wide vector maxima)")]
    for name, label in parts:
        if name in micro:
            rows.append("| Part (bench/parts_bench): %s, ns per sample | %s | | | |"
                        % (label, fmt(micro[name]["ns_per_sample"], digits=2)))

    return rows


def table(results, quick, context):
    rows = ["| Measure | quilltap | Reference: jack_capture unless named | quilltap / reference | Target |",
            "|---|---|---|---|---|"]

    cpu = results.get("cpu")
    if cpu:
        for channels in (18, 2):
            q, j = cpu[channels]["quilltap"], cpu[channels]["jack_capture"]
            r = ratio(q["cpu_per_s"], j["cpu_per_s"])
            target = ""
            if channels == 18 and r is not None:
                target = "≤ 0.70 × jack_capture: %s" % verdict(r <= 0.7)
            rows.append("| CPU s per audio s, %d ch 24-bit, real time (user+sys, %d × %d s) | %s | %s | %s | %s |"
                        % (channels, cpu["runs"], cpu["seconds"], fmt(q["cpu_per_s"], digits=4),
                           fmt(j["cpu_per_s"], digits=4), "%.2f" % r if r else "n/a", target))
            r = ratio(q["steady"], j["steady"])
            rows.append("| CPU s per wall s, %d ch, steady state (5 s after the start to 2 s before the end, from /proc) | %s | %s | %s | |"
                        % (channels, fmt(q["steady"], digits=4), fmt(j["steady"], digits=4),
                           "%.2f" % r if r else "n/a"))
            rows.append("| Peak resident (VmHWM, includes JACK shm), %d ch, MB | %s | %s | %s | |"
                        % (channels, fmt(q["hwm"], 1 / 1024, 1), fmt(j["hwm"], 1 / 1024, 1),
                           "%.2f" % ratio(q["hwm"], j["hwm"])))
            rows.append("| Peak private (RssAnon), %d ch, MB | %s | %s | %s | |"
                        % (channels, fmt(q["anon"], 1 / 1024, 1), fmt(j["anon"], 1 / 1024, 1),
                           "%.2f" % ratio(q["anon"], j["anon"])))
            rows.append("| Shared (RssShmem, JACK's shm), %d ch, MB | %s | %s | | |"
                        % (channels, fmt(q["shmem"], 1 / 1024, 1), fmt(j["shmem"], 1 / 1024, 1)))
            for p in ("quilltap", "jack_capture"):
                if cpu[channels][p]["problems"]:
                    rows.append("| Problems, %s %d ch | %s | | | |" % (p, channels, "; ".join(cpu[channels][p]["problems"])[:500]))

    drive = results.get("drive")
    if drive:
        q, j = drive["quilltap"], drive["jack_capture"]
        for key, label, limit, digits in (
                ("requests_per_s", "Drive: block-device write requests per audio s", 40, 1),
                ("bytes_ratio", "Drive: bytes written per byte of audio", 1.05, 3)):
            r = ratio(q[key], j[key])
            rows.append("| %s, 18 ch 24-bit, real time, ext4 on a loop device, final sync counted (%d × %d s) | %s | %s | %s | ≤ %s: %s |"
                        % (label, drive["runs"], drive["seconds"], fmt(q[key], digits=digits),
                           fmt(j[key], digits=digits), "%.2f" % r if r else "n/a", limit,
                           verdict(bool(q[key]) and q[key]["median"] <= limit)))
        for p in ("quilltap", "jack_capture"):
            if drive[p]["problems"]:
                rows.append("| Problems, drive, %s | %s | | | |" % (p, "; ".join(drive[p]["problems"])[:500]))

    fw = results.get("freewheel")
    if fw:
        q, j = fw["quilltap"], fw["jack_capture"]
        r = ratio(q["speed"], j["speed"])
        ok = r is not None and r >= 1.0 and not q["problems"]
        rows.append("| Freewheel speed, 18 ch 24-bit, × real time (%d × %d s wall) | %s | %s | %s | ≥ jack_capture, no gap: %s |"
                    % (fw["runs"], fw["wall"], fmt(q["speed"], digits=0), fmt(j["speed"], digits=0),
                       "%.2f" % r if r else "n/a", verdict(ok)))
        rows.append("| Freewheel: audio s recorded per run | %s | %s | | |"
                    % (fmt(q["audio"], digits=0), fmt(j["audio"], digits=0)))
        rows.append("| Freewheel: gaps against the counter | %s | %s | | |"
                    % ("; ".join(q["problems"])[:500] or "none (every frame of all 18 files)",
                       "; ".join(j["problems"])[:500] or "none (every 1021st frame, all channels)"))
        rows.append("| Freewheel: CPU s per audio s | %s | %s | %s | |"
                    % (fmt(q["cpu_per_s"], digits=4), fmt(j["cpu_per_s"], digits=4),
                       "%.2f" % ratio(q["cpu_per_s"], j["cpu_per_s"])))

    micro = results.get("micro")
    if micro:
        rows += micro_rows(micro)
        if micro["failures"]:
            rows.append("| Benchmark runs that failed | %s | | | |" % "; ".join(micro["failures"]))

    stop = results.get("stop")
    if stop:
        lat = stop["latency"]
        rows.append("| Stop latency, \"stop\" written → \"stopped\" read, 18 ch, /var/tmp (%d runs), ms | %s | | | < 100 ms: %s |"
                    % (stop["runs"], fmt(lat, 1000, 1), verdict(lat["median"] < 0.1)))
        if stop["problems"]:
            rows.append("| Problems, stop | %s | | | |" % "; ".join(stop["problems"]))

    memory = results.get("memory")
    if memory:
        growth = memory["growth"]
        rows.append("| RssAnon over %.0f audio s in freewheel (%.0f s wall), 18 ch: at 1 min / max / range (max − min) after 1 min / growth (highest of the last quarter − highest of the first), MB | %.1f / %.1f / %.2f / %.2f | | | growth ≤ 5 MB: %s |"
                    % (memory["audio"], memory["wall"], mb(memory["first_minute"]), mb(memory["max"]),
                       mb(memory["drift"]), mb(growth), verdict(mb(growth) <= 5.0)))
        if memory["problems"]:
            rows.append("| Problems, memory run | %s | | | |" % "; ".join(memory["problems"])[:500])

    head = ["## quilltap performance%s" % (" (--quick: development figures only)" if quick else ""), ""]
    head += ["- %s" % line for line in context]
    return "\n".join(head + [""] + rows) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="short runs for working on this script")
    parser.add_argument("--only", default=",".join(SECTIONS), help="comma-separated sections: " + ",".join(SECTIONS))
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "bench"))
    parser.add_argument("--output", help="also write the table to this file")
    parser.add_argument("--raw", help="write every figure as JSON to this file")
    args = parser.parse_args()
    sections = [s for s in args.only.split(",") if s]
    unknown = set(sections) - set(SECTIONS)
    if unknown:
        parser.error("unknown sections: %s" % ", ".join(sorted(unknown)))
    build = os.path.abspath(args.build)
    setup_rig(build)
    if shutil.which("jack_capture") is None and {"cpu", "freewheel"} & set(sections):
        sys.exit("jack_capture is missing (apt-get install jack-capture; bench/run.sh does)")

    with open("/proc/loadavg") as f:
        load_before = " ".join(f.read().split()[:3])
    started = datetime.datetime.now().astimezone()
    base = tempfile.mkdtemp(prefix="quilltap-bench-", dir="/var/tmp")
    results = {}
    try:
        for name in sections:
            settle_disk()
            if name == "cpu":
                results["cpu"] = section_cpu(base, args.quick)
            elif name == "drive":
                results["drive"] = section_drive(base, args.quick)
            elif name == "freewheel":
                results["freewheel"] = section_freewheel(base, args.quick)
            elif name == "micro":
                results["micro"] = section_micro(build, args.quick)
            elif name == "stop":
                results["stop"] = section_stop(base, args.quick)
            elif name == "memory":
                results["memory"] = section_memory(base, args.quick)
    finally:
        shutil.rmtree(base, ignore_errors=True)
    with open("/proc/loadavg") as f:
        load_after = " ".join(f.read().split()[:3])
    commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"],
                            capture_output=True, text=True).stdout.strip()
    # Others edit the tree meanwhile: the build holds whatever product sources were there.
    dirty = subprocess.run(["git", "-C", ROOT, "status", "--porcelain", "--", "app", "audio", "capture",
                            "dispatch", "supervision", "writing", "CMakeLists.txt"],
                           capture_output=True, text=True).stdout.split("\n")
    dirty = [line[3:] for line in dirty if line.strip()]
    version = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "jack-capture"],
                             capture_output=True, text=True).stdout.strip()
    context = [
        "Date: %s to %s" % (started.strftime("%Y-%m-%d %H:%M %Z"), datetime.datetime.now().astimezone().strftime("%H:%M")),
        "Command: `%s`" % " ".join(["bench/run.py"] + sys.argv[1:]),
        "Commit %s; build %s (Release); jack_capture %s; %s, %d CPUs, kernel %s"
        % (commit, os.path.relpath(build, ROOT), version or "?", platform.machine(), os.cpu_count(), platform.release()),
        "Product sources: %s" % ("as committed" if not dirty else "uncommitted changes in " + ", ".join(dirty)),
        "Load average (1, 5, 15 min) before: %s; after: %s" % (load_before, load_after),
        "JACK: private jackd dummy server per scenario, 48 kHz, period 1024, --no-realtime; signal client "
        "\"%s\" with 18 counter outputs (2 for the 2-channel rows); quilltap records one mono file per "
        "channel, jack_capture one multichannel WAV (RF64 in freewheel)" % DEVICE,
        "Figures: median (min–max) over the runs",
    ]
    text = table(results, args.quick, context)
    print(text, end="")
    if args.output:
        with open(args.output, "w") as f:
            f.write(text)
    if args.raw:
        with open(args.raw, "w") as f:
            json.dump(results, f, indent=1, default=str)


if __name__ == "__main__":
    main()
