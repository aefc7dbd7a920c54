"""The fault matrix: the faults a long recording meets, one row each, run by one runner that checks
the counter in every file the take names; then the cases no row can stage. Prints fault -> what
the recorder does ... result, one line each.   fault_matrix.py [--pipewire] [WORD...]"""

import os, random, re, shutil, signal, statistics, subprocess, sys, tempfile, time, unittest

import rig
from rig import (CHANNELS, DEVICE, LAST_SECONDS, PRETTY, RATE, FreezeFs, RecordingCase,
                 TmpfsDrive, frames, notable, start_mixer, wait_until)

FULL, TOO_LARGE = ("Writing to the drive failed \\(%s\\)" % w
                   for w in ("No space left on device", "File too large"))
SAVED, STALLED = "\\. Recording stopped; what was written is saved\\.", "The drive stopped responding"
NOT_A_FOLDER = ", and the backup folder on this computer failed too: {fallback}: Not a directory"
GONE = [("warning", "{pretty} disconnected\\. Recording stopped and saved\\."),
        ("stopped", "device-disconnected")]
STOP, SIG, LATE = [("stopped", "stop")], [("stopped", "signal")], ("warning?", LAST_SECONDS.pattern)
failed = lambda why: [("error", why + SAVED), LATE, ("stopped", "write-error")]  # noqa: E731
FILL = ["expect failover 0 20", "sleep 1", b"stop\n"]
STALL = ["sleep 1", "freeze", "expect failover 7.5 10", "goes_on", b"stop\n"]
THREE, TWO, PAIRS = "1:Kick 2,3:Keys 18:Room", "1:Kick 2,3:Keys", "1,2:A 17,18:B"
WRAPS = {"prlimit": ["prlimit", "--fsize=%d" % (1 << 20)],
         "nonblock": ["/usr/bin/python3", "-c", "import fcntl, os, sys; fcntl.fcntl(0, fcntl."
                      "F_SETFL, os.O_NONBLOCK); os.execv(sys.argv[1], sys.argv[1:])"]}
# Own devices: on the shared server beside the XR18; on an own server as the XR18, since client
# ids repeat between servers while pretty names are kept machine-wide by id.
DESK, XR18 = (dict(name=n, pretty=n + " Multichannel", ports=CHANNELS) for n in ("Desk", DEVICE))


def row(fault, behaviour, steps, events, tracks="1:Vox", bits=32, **options):
    """steps, once recording: "sleep S", "signal INT ...", bytes for stdin, "close", "freeze" or
    "fail" [backup], "unmount", "unplug", "replug", "shrink", "cut", "overrun", "server
    stop|freeze", "freewheel", "alive" (two more progress), "goes_on" (0.5 s more audio), "expect
    EVENT LO HI" (s after the last fault). events after "started": (name, pattern of message or
    reason); "name?" may be missing. options: drive (tmpfs SIZE, freeze, freeze-all), backup (dir,
    notdir, freeze), device (an own signal client), own_server, volume, wrap, extra, mix, probe,
    checked (tracks counted), exact (part 1 ends where the overlap does), loose (last header may
    lag), jump, overrun, cadence, backlog, pw (PipeWire)."""
    return dict(fault=fault, behaviour=behaviour, steps=steps, events=events, tracks=tracks,
                bits=bits, **options)


ROWS = [
    *(row(s, "signal, every frame saved", ["sleep 1.5", "signal " + s[3:]], SIG, t, b, pw=pw)
      for s, t, b, pw in [("SIGINT", "1:Kick 3,4:Keys 18", 32, True), ("SIGTERM", None, 24, True),
                          ("SIGHUP", "2:Snare 7,8:Overheads", 16, False)]),
    row("SIGINT again while stopping", "one finish", ["sleep 0.5", "signal INT INT INT INT"], SIG,
        "5:Vox", 24),
    row("Process callback watched", "one activation, no call that may lock", ["sleep 1", b"stop\n"],
        STOP, bits=24, probe=True, pw=True),
    row("Mix with gains, then gains of the wrong length", "wrong lengths change nothing",
        ["sleep 0.5", b"gains 0.5,0.5,0.5\n", "sleep 0.3", "alive", b"gains 1,2,3,4,5\n",
         "sleep 0.3", "alive", b"stop\n"], STOP, "1:Vox 2:Gtr 5,6:Keys",
        extra=["--mix", "Main mix", "--gains", "0.25,1,1,0,0.5,0.5,0,2"],
        mix=[(1, 0.25, 1.0), (2, 1.0, 0.0), (5, 0.5, 0.5), (6, 0.0, 2.0)]),
    row("Control: garbage, invalid UTF-8, a 100 KiB line ending in stop, then stop in pieces "
        "with CRLF", "only the last stop counts",
        [b"hello\nSTOP\nstop now\n\xff\xfe\nstop\xff\n\xc3stop\n" + b" " * 102400 + b"stop\n",
         "sleep 0.3", "alive", b"st", "sleep 0.3", "alive", b"op\r\n", "expect stopped 0 2"], STOP,
        bits=24, pw=True),
    row("Parent gone: stdin closed mid-line", "parent-exited", [b"sto", "sleep 0.3", "alive",
        "close", "expect stopped 0 2"], [("stopped", "parent-exited")], bits=24),
    *(row("Drive full (tmpfs), %d-bit" % b, "failover, parts join frame for frame", FILL,
          [("failover", FULL)] + STOP, THREE, b, drive="tmpfs 2m", backup="dir", exact=True)
      for b in (32, 24)),
    row("Drive full, no backup", "error, write-error, files valid", [], failed(FULL), THREE,
        drive="tmpfs 2m"),
    row("Backup folder cannot be created", "warning, error, write-error", [],
        [("warning", FULL + NOT_A_FOLDER), failed(FULL)[0], ("warning", STALLED + " while saving"
         + NOT_A_FOLDER)] + failed(FULL)[1:], THREE, drive="tmpfs 2m", backup="notdir"),
    row("File too large (RLIMIT_FSIZE)", "SIGXFSZ ignored, error, write-error", [],
        failed(TOO_LARGE), PAIRS, wrap="prlimit"),
    row("File too large, backup too", "failover, then error, write-error", [],
        [("failover", TOO_LARGE)] + failed(TOO_LARGE), PAIRS, wrap="prlimit", backup="dir",
        exact=True),
    row("Backup drive fails too (EIO)", "failover, then error, write-error",
        ["expect failover 0 30", "sleep 1", "fail backup"], [("failover", FULL)] + failed(
            "Writing to the drive failed \\(Input/output error\\)"), "1,2:Pair 18:Room",
        drive="tmpfs 2m", backup="freeze", loose=True),
    row("Drive unmounted, --volume", "failover within a tick",
        ["sleep 1", "unmount", "expect failover 0 1.5", "goes_on", b"stop\n"],
        [("failover", "The drive \u201cdrive\u201d was disconnected")] + STOP, TWO,
        drive="tmpfs 64m", backup="dir", volume=True),
    row("Drive unmounted, no --volume", "open files keep working, recording goes on",
        ["sleep 0.5", "unmount", "goes_on", "sleep 1", b"stop\n"], STOP, TWO, drive="tmpfs 64m",
        backup="dir"),
    row("Drive frozen while recording", "failover about 8 s after the stall", STALL,
        [("failover", STALLED)] + STOP, TWO, drive="freeze", backup="dir"),
    row("Drive frozen in the final flush", "failover after 20 s, backup takes the rest",
        ["sleep 1.5", "freeze", b"stop\n", "expect failover 19 23"],
        [("failover", STALLED + " while saving")] + STOP, TWO, drive="freeze", backup="dir"),
    row("Drive frozen in the final flush, no backup", "warning with the unwritten seconds",
        ["sleep 1.5", "freeze", b"stop\n", "expect warning 19 23"],
        [("warning", LAST_SECONDS.pattern)] + STOP, TWO, drive="freeze", loose=True),
    row("Backup drive frozen too", "backlog past 120 s: error, write-error",
        STALL[:-1] + ["freeze backup", "freewheel", "expect stopped 0 30"], [("failover", STALLED)]
        + failed("The disk can\u2019t keep up with the recording"), TWO, drive="freeze",
        backup="freeze", loose=True, backlog=120),
    row("Drive whose stat() hangs", "progress goes on, stall failover", STALL,
        [("failover", STALLED)] + STOP, TWO, drive="freeze-all", backup="dir", volume=True,
        cadence=True),
    row("Device unplugged", "warning, device-disconnected, every frame saved",
        ["sleep 1", "unplug", "expect stopped 0 2"], GONE, THREE, device=DESK, pw=True),
    row("Device back under the same name", "recorded on into the same files",
        ["sleep 0.5", "replug", "sleep 1", "goes_on", b"stop\n"], STOP, THREE,
        device=dict(DESK, armed=True), jump=True),
    row("A track's input cut by another client", "reconnected, recorded on into the same files",
        ["sleep 0.5", "cut", "sleep 1", "goes_on", b"stop\n"], STOP, THREE, jump=True, pw=True),
    row("Another JACK client overruns", "no lost-input warning, files gap-free",
        ["overrun", "sleep 0.5", b"stop\n"], STOP, THREE, overrun=True),
    row("JACK server gone", "warning, device-disconnected, files valid", ["sleep 1", "server stop"],
        GONE, THREE, device=XR18, own_server=True),
    row("JACK server frozen (SIGSTOP)", "stop ends within 25 s, every frame saved",
        ["sleep 1", "server freeze", "sleep 0.3", b"stop\n", "expect stopped 0 25"], STOP, THREE,
        device=XR18, own_server=True, pw=True),
    row("Device left with fewer ports", "warning, device-changed",
        ["sleep 0.5", "shrink", "expect stopped 0 5"],
        [("warning", "Could not resume recording: .*\\. Saved what was recorded\\."),
         ("stopped", "device-changed")], "1 18", 24, device=dict(DESK, shrink_to=4), checked=1),
    row("Non-blocking stdin, nothing to read", "recording goes on, \"stop\" works",
        ["sleep 2", "alive", b"stop\n"], STOP, bits=24, wrap="nonblock"),
]


def track_list(words):
    """(name, device channels) of each track that --track `words` name (None: all)."""
    return [(w.split(":")[1] if ":" in w else "Ch " + w.split(":")[0], [int(c) for c in w.split(
        ":")[0].split(",")]) for w in (words or " ".join(map(str, range(1, CHANNELS + 1)))).split()]


class Matrix(RecordingCase):
    def run_row(self, r):
        rec = self.start(r)
        for step in r["steps"]:
            self.act(rec, step)
        wait_until(lambda: rec.of("stopped") or rec.proc.poll() is not None, 45, 0.05)
        if "freewheel" in r["steps"]:
            self.server.freewheel(False)  # first: a client that leaves a freewheeling jackd stays
        self.thaw()
        self.check_files(rec, *self.check_events(rec), self.lost(rec) if self.lost_at is None
                         else self.lost_at)

    def start(self, r):
        self.r, self.drives, self.where, self.marks, self.lost_at = r, {}, {}, {}, None
        base = self.server.scratch_dir()
        if r.get("own_server"):
            self.server = self.enterContext(rig.server(CHANNELS))
            base = tempfile.mkdtemp(prefix="quilltap-own-")  # outlives the server's folder
            self.addCleanup(shutil.rmtree, base, True)
            RecordingCase.setUp(self)
        self.device, options = None, dict(r.get("device") or {})
        if options.pop("armed", False):
            self.stand_in = self.enterContext(rig.SignalClient(self.server, armed=True, **options))
        if options:
            self.device = rig.SignalClient(self.server, **options).start()
            self.addCleanup(self.device.kill)
        self.pretty, ports = options.get("pretty", PRETTY), options.get("ports", CHANNELS)
        self.out = self.drive(r.get("drive"), base, "out") + "/take"
        backup = r.get("backup")
        self.fallback = backup and (self.drive(backup, base, "backup") if backup == "freeze" else
                                    base + {"dir": "", "notdir": "/file"}[backup]) + "/backup"
        open(base + "/file", "w").close()
        self.tracks = track_list(r["tracks"])
        args = ["record", "--out", self.out] + r.get("extra", [])
        args += ["--device", options["name"]] if options else []
        args += ["--bits", r["bits"]] if r["bits"] != 24 else []
        args += sum((["--track", w] for w in (r["tracks"] or "").split()), [])
        args += ["--fallback", self.fallback] if self.fallback else []
        args += ["--volume", os.path.dirname(self.out)] if r.get("volume") else []
        env, self.calls = self.server.env, base + "/calls"
        env = dict(env, QUILLTAP_RT_PROBE=self.calls, LD_PRELOAD=os.path.join(
            rig.TOOLS_DIR, "librt_probe.so")) if r.get("probe") else env
        (self.device or mixer).rename()
        rec = self.rec = rig.Recorder(args, env=env, wrap=WRAPS.get(r.get("wrap"), []))
        self.addCleanup(rec.kill)
        self.addCleanup(self.thaw)  # first: a recorder stuck on a frozen drive cannot die
        mix = r.get("mix") and r["extra"][1]
        self.files = [self.out + "/" + ("%s.wav" % mix if mix else "%02d %s.wav" % (i, name))
                      for i, (name, _) in enumerate(self.tracks, 1)]
        self.assertEqual(rec.wait_for("started"), {
            "event": "started", "device": self.pretty, "sampleRate": float(RATE),
            "bits": r["bits"], "deviceChannels": ports, "tracks": [
                {"name": n, "channels": c, "file": f} for (n, c), f in zip(self.tracks, self.files)]})
        self.files = self.files[:1] if mix else self.files
        rec.wait_for("progress", where=lambda e: e["seconds"] > 0)  # PipeWire links late
        self.mark = time.monotonic()
        return rec

    def act(self, rec, step):
        word, *rest = [step] if isinstance(step, bytes) else step.split()
        if isinstance(step, bytes):
            self.assertTrue(rec.send(step), "stdin closed before %r" % step[:20])
        elif word == "sleep":
            time.sleep(float(rest[0]))
        elif word == "signal":
            [(rec.proc.send_signal(getattr(signal, "SIG" + s)), time.sleep(0.005)) for s in rest]
        elif word == "close":
            rec.close_stdin()
        elif word in ("freeze", "fail"):
            self.drives[rest[0] if rest else "out"].tell(word)
        elif word == "unmount":  # the part-1 files stay open here, to be read afterwards
            for f in self.files:
                fd = os.open(f, os.O_RDONLY)
                self.addCleanup(os.close, fd)
                self.where[f] = "/proc/self/fd/%d" % fd
            subprocess.run(["umount", "-l", os.path.dirname(self.out)], check=True)
        elif word in ("unplug", "replug", "shrink"):  # shrink: the ports past shrink_to go
            {"unplug": self.device.kill, "replug": lambda: self.stand_in.go(then=self.device.kill),
             "shrink": lambda: self.device.proc.send_signal(signal.SIGUSR2)}[word]()
        elif word == "cut":  # as a patchbay would
            ours = "quilltap:in_%d" % self.tracks[0][1][0]  # and its device port
            self.server.tool("jack_disconnect", *self.server.tool("jack_lsp", "-c", ours).split())
        elif word == "overrun":  # a client that misses its cycles; JACK tells everyone
            other, xruns = rig.SignalClient(self.server, "Other", 1).start(), self.server.xruns()
            self.addCleanup(other.kill)
            other.proc.send_signal(signal.SIGSTOP)
            time.sleep(0.3)
            other.proc.send_signal(signal.SIGCONT)
            self.assertTrue(wait_until(lambda: self.server.xruns() > xruns, 3), "no overrun")
        elif word == "server":
            self.lost_at = self.lost(rec)  # the log goes with the server
            if rest == ["stop"]:
                self.server.stop()
                self.assertEqual(self.device.wait(), 2, "the signal client did not see it go")
            else:
                self.server.proc.send_signal(signal.SIGSTOP)  # alive, but answers nothing
                self.addCleanup(self.server.proc.send_signal, signal.SIGCONT)
        elif word == "freewheel":
            self.addCleanup(self.server.freewheel, False)
            self.server.freewheel(True)  # a frozen writer must not hold the capture back
        elif word in ("alive", "goes_on"):
            got = lambda: len(rec.of("progress")) if word == "alive" \
                else rec.of("progress")[-1]["seconds"]  # noqa: E731
            least = got() + (2 if word == "alive" else 0.5)
            wait_until(lambda: got() >= least or rec.of("stopped"), 5)
            self.assertEqual((rec.of("stopped"), got() >= least), ([], True), "stopped or stalled")
        elif word == "expect":
            event = rec.wait_for(rest[0], timeout=float(rest[2]) + 5)
            took = rec.times[rec.events.index(event)] - self.mark
            self.assertTrue(float(rest[1]) <= took <= float(rest[2]),
                            "%s %.2f s after the fault" % (rest[0], took))
            rec._cursor.pop(rest[0])  # the checks read it again
        if word not in ("sleep", "expect", "alive", "goes_on"):
            self.mark = self.marks[word] = time.monotonic()

    def check_events(self, rec):
        """started, the row's events, stopped; failover and stopped name the files."""
        seen, r = notable(rec)[1:], self.r
        names = {"fallback": re.escape(str(self.fallback)), "pretty": re.escape(self.pretty)}
        for name, pattern in r["events"]:
            e = seen.pop(0) if seen else {"event": None}
            if name.endswith("?") and e["event"] != name[:-1]:
                seen.insert(0, e)
                continue
            self.assertTrue(e["event"] == name.rstrip("?") and re.fullmatch(
                pattern.format(**names), e.get("message", e.get("reason"))),
                "%s where %s %r was expected\nall: %s" % (e, name, pattern, notable(rec)))
        self.assertEqual(seen, [], "events beyond those expected")
        failover = (rec.of("failover") or [None])[0]
        self.part2 = [f.replace(self.out, self.fallback).replace(".wav", " (part 2).wav")
                      for f in self.files if failover]
        if failover:
            self.assertEqual((failover, len(failover)), (dict(failover, **{
                "from": self.out, "to": self.fallback, "interrupted": self.files,
                "files": self.part2}), 8))
        stopped = self.assert_stopped(rec, r["events"][-1][1], self.files + self.part2,
                                      self.files if failover else [])
        self.assertGreaterEqual(stopped["seconds"], max(1 / RATE, rec.of("progress")[-1]["seconds"]))
        if r.get("probe"):
            self.assertEqual(open(self.calls).read(), "jack_activate\nprocess callback\n")
        if r.get("cadence"):  # the main queue and the capture go on while stat() hangs
            during = [(t, e["seconds"]) for e, t in zip(rec.events, rec.times) if e["event"] ==
                      "progress" and self.marks["freeze"] <= t <= rec.times[rec.events.index(failover)]]
            spacing = [b[0] - a[0] for a, b in zip(during, during[1:])]
            self.assertTrue(len(during) >= 25 and 0.2 <= statistics.median(spacing) <= 0.3
                            and max(spacing) < 0.75, "progress %s s apart" % spacing)
            self.assertGreater(during[-1][1] - during[0][1], 6.0, during)
        if r.get("backlog"):
            self.assertGreater(stopped["seconds"], failover["seconds"] + r["backlog"])
        return stopped, failover

    def check_files(self, rec, stopped, failover, lost):
        """Every file: the counter frame after frame, all files of a part from the same frame
        time; part 2 begins with part 1's frame `seconds` and repeats the overlap exactly."""
        r, captured = self.r, frames(stopped["seconds"])
        if r.get("mix"):
            wav = rig.read_wav(self.files[0])
            self.assertEqual(wav.frames, captured)
            return self.assert_mix(wav, r["mix"], lost)
        unwritten = [int(m[1]) * RATE for m in (LAST_SECONDS.fullmatch(w["message"])
                                                for w in rec.of("warning")) if m]
        complete = stopped["reason"] != "write-error" and not unwritten
        s, overlap = (frames(failover[k]) if failover else 0 for k in ("seconds", "overlap"))
        parts = [[], []]
        for (name, channels), *paths in list(zip(self.tracks, self.files, *[self.part2] * bool(
                failover)))[:r.get("checked")]:
            for n, path in enumerate(paths):
                last = n + 1 == len(paths)
                wav = rig.read_wav(self.readable(path), partial=not last or r.get("loose"))
                parts[n].append(wav)
                self.assertEqual((wav.channels, wav.bits, wav.rate), (len(channels), r["bits"], RATE))
                self.assertLessEqual(wav.declared, wav.frames, path)
                (self.assertEqual if last and complete else self.assertLessEqual)(
                    wav.frames + s * n, captured, path)
                for m in unwritten if last else []:
                    self.assertLessEqual(m, captured - s * n - wav.declared, path)
                if n:
                    self.assert_join(parts[0][-1], wav, name, s, overlap, complete)
                for c, ch in enumerate(channels):
                    self.check_channel(wav.samples[c], parts[0][-1].samples[c] if n else None,
                                       "%s channel %d part %d" % (name, ch, n + 1), s, overlap, lost)
        for n, wavs in enumerate(parts):
            starts = {rig.frame_time(rig.first_counter(w.samples[c], r["bits"]), ch - 1)
                      for w, (_, chs) in zip(wavs, self.tracks) for c, ch in enumerate(chs)}
            self.assertLessEqual(len(starts), 1, "part %d files start apart: %s" % (n + 1, starts))
            self.assertLessEqual(len({w.bext.time_reference for w in wavs}), 1)
        if failover:  # part 2 is placed where its first frame was captured
            k = [rig.first_counter(p[0].samples[0], r["bits"]) for p in parts]
            skipped = (k[1] - k[0] - parts[1][0].bext.time_reference
                       + parts[0][0].bext.time_reference) % rig.COUNTER_MOD
            self.assertTrue(skipped == 0 or lost and skipped % self.server.period == 0, skipped)

    def assert_join(self, one, two, name, s, overlap, complete):
        b1, b2 = one.bext, two.bext
        self.assertEqual((b1.description, b2.description, b2.originator), (name, name, "quilltap"))
        began = time.mktime(time.strptime(b1.date + b1.time, "%Y-%m-%d%H:%M:%S"))
        self.assertTrue(0 <= time.time() - began < 120, b1)
        self.assertLessEqual(s, one.frames, "audio in neither part")
        if self.r.get("exact"):
            self.assertEqual(one.frames, s + overlap, one.path)
        if complete:  # another reader agrees
            soxi = subprocess.run(["soxi", "-s", two.path], capture_output=True, text=True)
            self.assertEqual(soxi.stdout.strip(), str(two.frames), soxi.stderr)

    def check_channel(self, samples, part1, what, s, overlap, lost):
        if self.server.pipewire and "unplug" in self.r["steps"]:
            # PipeWire drops a vanished device's links before it tells its clients: one period
            # of silence may follow the last frame.
            tail = len(samples) - self.server.period
            samples = samples[:tail] if not any(samples[tail:]) else samples
        if self.r.get("jump"):
            self.assert_jump(samples, what, lost)
        elif self.r.get("overrun"):  # a lost-input warning only where frames are missing
            gaps = rig.counter_gaps(samples, 32)
            self.assertEqual(bool(gaps), bool(self.rec.of("warning")), gaps[:3])
        else:
            self.assert_counter(samples, self.r["bits"], what, lost)
        if part1 is not None:
            both, bits = min(overlap, len(part1) - s), self.r["bits"]
            self.assertTrue(samples[:both] == part1[s:s + both] and (both > 0 or (
                rig.first_counter(samples, bits) - rig.first_counter(part1, bits) - s)
                % rig.COUNTER_MOD == 0), "%s does not go on from part 1" % what)

    def assert_jump(self, samples, what, lost):
        """The counter up to the unplugging, then straight on with the counter of the device
        that came back: one jump forward, at the same frame in every file."""
        gaps = rig.counter_gaps(samples, 32)
        if not gaps and self.server.pipewire:  # PipeWire pauses a source left without links
            return
        skips = [g for g in gaps if g.got is not None
                 and 0 < rig.counter_distance(g.expected, g.got) < 10 * RATE]
        jump = max(skips, key=lambda g: rig.counter_distance(g.expected, g.got), default=None)
        self.assertTrue(jump and len(skips) == len(gaps) and all(
            g is jump or lost and (g.got - g.expected) % self.server.period == 0 for g in skips),
            "%s: %s" % (what, gaps[:3]))
        self.assertLess(jump.position, len(samples) - RATE // 4, what)
        self.jumps = getattr(self, "jumps", set()) | {(jump.position, jump.got - jump.expected)}
        self.assertEqual(len(self.jumps), 1, "the files jump at different frames")

    def drive(self, kind, base, name):
        if kind is None:
            return base
        if kind.startswith("tmpfs"):
            return self.enterContext(TmpfsDrive(base, kind.split()[1])).path
        fs = self.drives[name] = FreezeFs(base + "/%s-backing" % name, base + "/" + name,
                                          kind == "freeze-all")
        self.addCleanup(fs.close)
        self.where[fs.mountpoint] = fs.backing
        return fs.mountpoint

    def readable(self, path):
        """Where the test reads `path`: through a descriptor kept open, or below freezefs."""
        for prefix, there in self.where.items():
            path = there + path[len(prefix):] if (path + "/").startswith(prefix + "/") else path
        return path

    def thaw(self):
        for fs in self.drives.values():
            fs.tell("thaw")


class Special(RecordingCase):
    def test_closed_descriptors(self):
        """Started with fd 0, 1 or 2 closed, or with stdout's reader gone after "started"; inside
        a mount namespace whose JACK metadata store (a Berkeley DB under /dev/shm, shared by every
        JACK program) is a fresh tmpfs, so that a faulty recorder harms none."""
        if os.geteuid():
            self.skipTest("a mount namespace needs root")
        for shut, fd, want, reason in [
                ("0<&-", 0, "", "parent-exited"), ("1>&-", 1, "/dev/null", None),
                ("2>&-", 2, "/dev/null", "stop"), ("> >(head -n 1)", 1, "pipe:", None)]:
            holder = subprocess.Popen(["unshare", "-m", "--propagation", "private", "sh", "-c",
                                       'mkdir -p "$0" && mount -t tmpfs qtmeta "$0" && echo ok && '
                                       'exec sleep 600', "/dev/shm/jack_db-%d" % os.getuid()],
                                      stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
            self.addCleanup(holder.kill)
            self.assertEqual(holder.stdout.readline(), b"ok\n")
            inside, out = ["nsenter", "-t", str(holder.pid), "-m", "--"], shared.scratch_dir()
            rec = rig.Recorder(["record", "--out", out, "--track", "1:A"], shared,
                               wrap=inside + ["/bin/bash", "-c", 'exec "$0" "$@" ' + shut])
            self.addCleanup(rec.kill)
            held = ""
            if fd:
                time.sleep(1.5)  # progress meets the closed pipe: no SIGPIPE death
                held = os.readlink("/proc/%d/fd/%d" % (rec.proc.pid, fd))
                rec.send("stop\n") if reason else rec.close_stdin() if want == "pipe:" \
                    else rec.proc.send_signal(signal.SIGTERM)
            self.assertEqual(rec.wait(), 0)
            store = subprocess.run(inside + ["jack_property", "-l"], capture_output=True,
                                   env=dict(shared.env, JACK_NO_START_SERVER="1"), timeout=10)
            self.assertEqual((store.returncode, store.stderr, held.startswith(want)),
                             (0, b"", True), "%s: fd %d held %s" % (shut, fd, held))
            wav = rig.read_wav(out + "/01 A.wav")
            if reason:
                self.assertEqual(wav.frames, frames(self.assert_stopped(
                    rec, reason, [out + "/01 A.wav"])["seconds"]))
            self.assertGreaterEqual(wav.frames, RATE if fd else 0)
            self.assert_counter(wav.samples[0], 24, shut, self.lost(rec))

    def test_start_up_errors(self):
        """The listing, with and without a server; no server, no such device, a file in the
        folder's place: one "error" line, exit 1, nothing created."""
        inputs = 'No audio input matching "%s". Is the mixer plugged in over USB? Inputs found: '
        with rig.JackServer(18) as own, rig.SignalClient(own, DEVICE, 18, PRETTY) as mixer, \
                rig.SignalClient(own, "Idle", 0):
            none = dict(own.env, JACK_DEFAULT_SERVER="qtnone%d" % os.getpid())
            base = own.scratch_dir()
            open(base + "/file", "w").close()
            take, listed = base + "/take", {"event": "devices", "devices": [
                {"uid": "system", "name": "system", "channels": 18},
                {"uid": "XR18", "name": PRETTY, "channels": 18}]}
            mixer.rename()
            for env, args, event in [
                    (own.env, ["list"], listed), (none, ["list"], dict(listed, devices=[])),
                    (none, ["record", "--out", take], inputs % "XR18"),
                    (own.env, ["record", "--device", "Nope", "--out", take],
                     inputs % "Nope" + "system, " + PRETTY),
                    (own.env, ["record", "--out", base + "/file/take"],
                     base + "/file/take: Not a directory")]:
                with self.subTest(args=args):
                    rec = rig.Recorder(args, env=env)
                    rec.close_stdin()
                    error = isinstance(event, str)
                    self.assertEqual((rec.wait(), rec.lines, rec.events), (error, rec.lines[:1], [
                        {"event": "error", "message": event} if error else event]))
                    self.assertEqual(os.listdir(base), ["file"], "created a folder")
        self.assertEqual([], [f for f in os.listdir("/dev/shm") if none["JACK_DEFAULT_SERVER"] in f])

    def test_signal_storm(self):
        """A signal at a random moment of start-up or of the stop: exactly one "stopped" after
        "started" (exit 0), else one "error" (exit 1) or, before "started", the signal's own
        effect. QUILLTAP_STORM_RUNS=300 for a longer storm."""
        seed = int(os.environ.get("QUILLTAP_STORM_SEED", time.time()))
        chooser = random.Random(seed)
        for run in range(int(os.environ.get("QUILLTAP_STORM_RUNS", 40))):
            sig = chooser.choice([signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
            rec = rig.Recorder(["record", "--out", shared.scratch_dir() + "/take", "--track",
                                "1:A", "--track", "2,3:B"], shared)
            self.addCleanup(rec.kill)
            if chooser.random() < 0.5:  # during the stop
                rec.wait_for("started")
                time.sleep(chooser.uniform(0, 0.5))
                rec.send("stop\n")
            time.sleep(chooser.uniform(0, 0.05 if rec.events else 0.15))
            rec.proc.send_signal(sig)  # a no-op once it has ended
            status, events = rec.wait(60), [e["event"] for e in rec.events]
            with self.subTest(seed=seed, run=run, signal=sig.name, status=status, events=events):
                self.assertIn((status, events[-1:] if "started" in events else events),
                              [(0, ["stopped"]), (1, ["error"]), (-sig, [])])
                self.assertEqual(events.count("stopped"), int("started" in events))

    def test_crash(self):
        """SIGKILL at random moments: each header describes data that is there, the counter
        without a gap, up to about a second before the kill."""
        chooser = random.Random(int(os.environ.get("QUILLTAP_CRASH_SEED", time.time())))
        for _ in range(10):
            self.cut(chooser.uniform(0.3, 3.5), shared.scratch_dir())

    def cut(self, delay, out, copy=None):
        """Records to `out`, kills the recorder after `delay`, then `copy()` (the power cut)
        returns where the files are read; checks them."""
        mixer.rename()
        rec = rig.Recorder(["record", "--out", out + "/take"] + sum(
            (["--track", t] for t in THREE.split()), []), shared)
        self.addCleanup(rec.kill)
        started = rec.wait_for("started")
        time.sleep(delay)
        captured = max([e["seconds"] for e in rec.of("progress")], default=0.0)
        rec.kill()
        where = copy() if copy else out
        for track in started["tracks"]:
            path = where + track["file"][len(out):]
            with self.subTest(path=path, delay=round(delay, 2)):
                wav = rig.read_wav(path, partial=True)
                self.assertLessEqual(wav.declared, wav.frames)
                self.assertGreaterEqual(wav.declared, int((captured - 1.3) * RATE))
                self.assert_counter(wav.samples[0], 24, path, self.lost(rec))

    def test_power_cut(self):
        """A power cut, on ext4 and on exFAT (exfat-fuse)."""
        # exfat-fuse runs on the loop device, not on the image: its writes then wait in the
        # loop device's page cache until the recorder's sync, not in the image's, which is copied.
        for kind, make, mount, repair in [
                ("ext4", "mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 {image}",
                 "mount -t ext4 -o commit=3600,noauto_da_alloc {dev} {dir}", "e2fsck -fy {image}"),
                ("exfat-fuse", "mkfs.exfat {image}", "mount.exfat-fuse {dev} {dir}",
                 "fsck.exfat -y {image}")]:
            with self.subTest(kind):
                self.power_cut(make, mount, repair, kind)

    def power_cut(self, make, mount, repair, kind):
        """The recorder writes to a loop device while the kernel's writeback is held off, so
        its writes reach the device only when it syncs; at the cut the image is copied (what a
        drive holds after a cut), repaired, mounted read-only and read."""
        if os.geteuid():
            self.skipTest("loop devices need root")
        run = lambda command, **fields: subprocess.run(  # noqa: E731
            command.format(**fields).split(), capture_output=True).returncode
        work = tempfile.mkdtemp(prefix="power-cut-")
        self.addCleanup(shutil.rmtree, work, True)
        image, live, after = work + "/image", work + "/live", work + "/after"
        os.mkdir(live), os.mkdir(after)
        with open(image, "wb") as f:
            f.truncate(64 << 20)
        self.assertEqual(run(make, image=image), 0)
        dev = subprocess.run(["losetup", "--find", "--show", image], capture_output=True,
                             text=True, check=True).stdout.strip()
        self.addCleanup(run, "losetup -d {dev}", dev=dev)

        def sysctl(key, value=None):
            with open("/proc/sys/vm/dirty_" + key, "w" if value else "r") as f:
                return f.write(value) if value else f.read()
        # Writing a ratio clears its byte twin: whichever of the two was set is kept.
        keys = [k.replace("ratio", "bytes") if sysctl(k.replace("ratio", "bytes")).strip() != "0"
                else k for k in ("writeback_centisecs", "expire_centisecs", "background_ratio",
                                 "ratio")]
        saved = [(k, sysctl(k)) for k in keys]
        restore = lambda: [sysctl(k, v) for k, v in saved]  # noqa: E731
        self.addCleanup(restore)
        for key, value in zip(keys[:2] + ["background_ratio", "ratio"], ["0", "360000", "90", "95"]):
            sysctl(key, value)
        self.assertEqual(run(mount, dev=dev, dir=live), 0)
        self.addCleanup(run, "umount {dir}", dir=live)

        def copy():
            shutil.copyfile(image, work + "/copy")
            restore()
            self.assertIn(run(repair, image=work + "/copy"), (0, 1), "fsck left errors")
            self.assertEqual(run("mount -t %s -o ro,loop {image} {dir}" % kind,
                                 image=work + "/copy", dir=after), 0)
            self.addCleanup(run, "umount {dir}", dir=after)
            return after
        self.cut(random.uniform(2.0, 4.0), live, copy)


TESTS = []  # (test, on PipeWire too): each row's is named after its fault and what the recorder does
for number, r in enumerate(ROWS):
    TESTS.append(("test_%02d %s -> %s" % (number, r["fault"], r["behaviour"]), r.get("pw")))
    setattr(Matrix, TESTS[-1][0], lambda self, r=r: self.run_row(r))


def setUpModule():
    global shared, mixer
    shared, mixer = start_mixer()
    RecordingCase.server = shared
    unittest.addModuleCleanup(lambda: (mixer.stop(), shared.stop()))


def main():
    """The rows, then the cases no row can stage; --pipewire: only the rows marked for it; WORDs:
    only the tests whose names hold one."""
    pipewire = "--pipewire" in sys.argv
    words = [w.lower() for w in sys.argv[1:] if w != "--pipewire"]
    names = [(Matrix, name) for name, pw in TESTS if pw or not pipewire] + [
        (Special, name) for name in dir(Special) if name.startswith("test_") and not pipewire]
    tests = [case(n) for case, n in names if not words or any(w in n.lower() for w in words)]
    result = unittest.TextTestRunner(sys.stdout, verbosity=2).run(unittest.TestSuite(tests))
    return int(not result.wasSuccessful() or result.testsRun != len(tests))


if __name__ == "__main__":
    sys.exit(main())
