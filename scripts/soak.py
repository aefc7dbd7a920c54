#!/usr/bin/env python3
"""Soak: hours of audio in JACK's freewheel mode (an offline bounce, as fast as the machine
allows), two recorders at once on one private dummy server:
  - 18 mono tracks at 24 bits, for at least three hours of audio: resident memory over time,
    dropped input, and gap-free files;
  - one stereo mix at 32 bits that grows past 4 GiB and must read back whole as RF64.
Files go to a folder on the real disk (default /var/tmp) and are removed afterwards.

Usage: scripts/soak.py [hours of audio, default 3.2] [folder]
"""

import os
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "process"))
os.environ.setdefault("QUILLTAP_BIN", os.path.join(HERE, "..", "build", "default", "quilltap"))
os.environ.setdefault("QUILLTAP_SIGNAL_CLIENT",
                      os.path.join(HERE, "..", "build", "default", "tests", "tools", "signal_client"))
import rig  # noqa: E402

FOUR_GIB = 4 << 30


def rss_kib(pid, key="RssAnon"):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def check_track(path, full):
    """Frames, and the gaps of the counter (all frames when `full`, else the two ends agree)."""
    wav = rig.read_wav(path, samples=full)
    if full:
        return wav.frames, rig.counter_gaps(wav.samples[0], 24)
    head = rig.read_wav(path, start=0, count=1).samples[0]
    tail = rig.read_wav(path, start=wav.frames - 1, count=1).samples[0]
    expected = (head[0] + wav.frames - 1) % (1 << 22)
    return wav.frames, [] if tail[0] == expected else [("ends", expected, tail[0])]


def main():
    hours = float(sys.argv[1]) if len(sys.argv) > 1 else 3.2
    base = tempfile.mkdtemp(prefix="quilltap-soak-", dir=sys.argv[2] if len(sys.argv) > 2 else "/var/tmp")
    target = hours * 3600
    try:
        with rig.JackServer(capture=2) as server, \
                rig.SignalClient(server, "XR18", ports=18, pretty="XR18 Multichannel"):
            tracks = rig.Recorder(["record", "--out", os.path.join(base, "tracks")], server=server)
            mix = rig.Recorder(["record", "--out", os.path.join(base, "mix"), "--bits", "32",
                                "--mix", "Mix", "--track", "1,2", "--track", "3"], server=server)
            tracks.wait_for("started", 10)
            mix.wait_for("started", 10)
            began = time.monotonic()
            server.freewheel(True)
            samples = []  # (audio minutes, RssAnon KiB of the tracks recorder, of the mix recorder)
            next_minute = 0
            seconds = 0.0
            while seconds < target:
                seconds = tracks.wait_for("progress", 30)["seconds"]
                while seconds >= next_minute * 60:
                    samples.append((next_minute, rss_kib(tracks.proc.pid), rss_kib(mix.proc.pid)))
                    next_minute += 1
            server.freewheel(False)
            wall = time.monotonic() - began
            tracks.send("stop\n")
            mix.send("stop\n")
            stopped = tracks.wait_for("stopped", 120)
            mix_stopped = mix.wait_for("stopped", 120)
            statuses = (tracks.wait(60), mix.wait(60))
            warnings = [e["message"] for r in (tracks, mix) for e in r.of("warning")]

            print("audio: %.0f s (%.2f h) in %.0f s of wall time: %.0fx real time"
                  % (stopped["seconds"], stopped["seconds"] / 3600, wall, stopped["seconds"] / wall))
            print("exit statuses %s, reasons %s / %s" % (statuses, stopped["reason"], mix_stopped["reason"]))
            print("warnings (dropped input etc.): %d %s" % (len(warnings), warnings[:3]))
            after_first = [s for s in samples if s[0] >= 1]
            for label, k in (("18 tracks", 1), ("mix", 2)):
                values = [s[k] for s in after_first]
                print("RssAnon %s: first minute %d KiB, max %d KiB, drift after the first minute %d KiB"
                      % (label, samples[1][k] if len(samples) > 1 else 0, max(values), max(values) - min(values)))
            print("RssAnon every 30 audio-minutes (minute, tracks KiB, mix KiB):",
                  [s for s in samples if s[0] % 30 == 0])

            expected = round(stopped["seconds"] * 48000)
            bad = 0
            for n, path in enumerate(stopped["files"]):
                frames, gaps = check_track(path, full=n in (0, 8, 17))
                if frames != expected or gaps:
                    bad += 1
                    print("PROBLEM %s: %d frames (expected %d), gaps %s" % (path, frames, expected, gaps[:3]))
            print("18 track files: %d with problems (3 checked frame by frame, the rest at both ends)" % bad)

            path = mix_stopped["files"][0]
            size = os.path.getsize(path)
            wav = rig.read_wav(path, samples=False)
            print("mix: %s, %.2f GiB, container %s, %d frames (expected %d), header agrees: %s"
                  % (os.path.basename(path), size / (1 << 30), wav.container, wav.frames,
                     round(mix_stopped["seconds"] * 48000), wav.complete))
            tail = rig.read_wav(path, start=wav.frames - 4, count=4)
            print("mix: the last frames read back: %s" % list(tail.samples[0]))
            ok = (bad == 0 and statuses == (0, 0) and size > FOUR_GIB and wav.container == "RF64"
                  and wav.frames == round(mix_stopped["seconds"] * 48000))
            print("soak %s" % ("passed" if ok else "FAILED"))
            return 0 if ok else 1
    finally:
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
