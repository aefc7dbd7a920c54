#!/usr/bin/env python3
"""Signals at random moments of start-up and of the final stop, a few hundred times.

Every run must end, within a bound, in exactly one of:
  - "error" and exit status 1 (start-up failed),
  - "stopped" (exactly one, the last line) and exit status 0,
  - before "started" only: the signal's default effect (killed by it, no event).
Never a hang, a crash, a second "stopped", or a "started" without "stopped".

Usage: scripts/signal_storm.py [runs] [seed]   (run from the repository; builds nothing)
"""

import os
import random
import signal
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "process"))
os.environ.setdefault("QUILLTAP_BIN", os.path.join(HERE, "..", "build", "default", "quilltap"))
os.environ.setdefault("QUILLTAP_SIGNAL_CLIENT",
                      os.path.join(HERE, "..", "build", "default", "tests", "tools", "signal_client"))
import rig  # noqa: E402

SIGNALS = [signal.SIGINT, signal.SIGTERM, signal.SIGHUP]


def one_run(server, chooser, out):
    sig = chooser.choice(SIGNALS)
    during_stop = chooser.random() < 0.5
    rec = rig.Recorder(["record", "--out", out, "--track", "1:A", "--track", "2,3:B"], server=server)
    try:
        if during_stop:
            rec.wait_for("started", timeout=10)
            time.sleep(chooser.uniform(0, 0.5))
            rec.send("stop\n")
            time.sleep(chooser.uniform(0, 0.05))
        else:
            time.sleep(chooser.uniform(0, 0.15))
        if rec.running():
            rec.signal(sig)
        status = rec.wait(60)  # also reads the last lines and checks stderr
    except Exception as problem:  # a hang, a broken line, or output on stderr
        rec.kill()
        return "FAIL", "%s: %s" % (type(problem).__name__, problem)
    events = [e["event"] for e in rec.events]
    if "started" in events:
        ok = status == 0 and events.count("stopped") == 1 and events[-1] == "stopped"
        kind = "stopped"
    elif "error" in events:
        ok = status == 1 and events == ["error"]
        kind = "error"
    else:
        ok = status == -sig and not events
        kind = "killed before started"
    return ("ok" if ok else "FAIL"), "%s (%s, status %s, events %s)" % (kind, sig.name, status, events)


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 300
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else int(time.time())
    chooser = random.Random(seed)
    outcomes = {}
    failures = []
    with rig.JackServer(capture=2) as server, \
            rig.SignalClient(server, "XR18", ports=4, pretty="XR18 Multichannel"):
        for run in range(runs):
            out = os.path.join(server.scratch_dir(), "take")
            verdict, what = one_run(server, chooser, out)
            kind = what.split(" (")[0]
            outcomes[kind] = outcomes.get(kind, 0) + 1
            if verdict != "ok":
                failures.append((run, what))
    print("seed %d, %d runs" % (seed, runs))
    for kind, count in sorted(outcomes.items()):
        print("  %-24s %d" % (kind, count))
    for run, what in failures:
        print("FAIL run %d: %s" % (run, what))
    print("%d passed, %d failed" % (runs - len(failures), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
