"""Controlling a running recording from the simulated XR18: the progress events and their levels,
the "stop" line in all its spellings, closing stdin, overlong and undecodable lines, and "gains"
lines that change a mix while it records, checked frame by frame in the mix file."""

import os
import statistics
import time
import unittest

import rig
from recording_checks import (RATE, RecordingCase, _mix_at, _mix_misfit, _mix_resync,
                              _mix_start, frames, notable, start_mixer, stop_mixer, wait_until)

FULL_CHANNEL = 17    # a +-1 square wave: its peak is full scale
SILENT_CHANNEL = 18  # zeros
BUFFER = 4096        # frames per captured buffer: new gains ramp in over one of them

server = None
device = None


def setUpModule():
    global server, device
    server, device = start_mixer(silent=(SILENT_CHANNEL,), full=(FULL_CHANNEL,))


def tearDownModule():
    stop_mixer(server, device)


class Case(RecordingCase):
    def setUp(self):
        self.server = server
        super().setUp()

    def assert_still_recording(self, rec, what):
        """Two more progress events arrive and nothing stopped the recording: whatever was sent
        before has been read and did not end it."""
        seen = len(rec.of("progress"))
        arrived = wait_until(lambda: len(rec.of("progress")) >= seen + 2 or rec.of("stopped"), 3)
        self.assertEqual(rec.of("stopped"), [], "the recording stopped after %s" % what)
        self.assertTrue(arrived, "no progress after %s\n%s" % (what, rec.events[-3:]))
        self.assertTrue(rec.running())


class Progress(Case):
    """One recording of about two seconds: a counter track, a full-scale one, a silent one and a
    stereo counter pair."""

    TRACKS = ["--track", "1:Count", "--track", "%d:Full" % FULL_CHANNEL,
              "--track", "%d:Silent" % SILENT_CHANNEL, "--track", "5,6:Pair"]
    recording = None

    def record_once(self):
        if Progress.recording is None:
            out = self.server.scratch_dir()
            rec = self.record(["record", "--out", out] + self.TRACKS)
            rec.wait_for("started")
            rec.wait_for("progress")
            time.sleep(2.2)
            rec.send("stop\n")
            stopped = self.assert_stopped(rec, "stop", [os.path.join(out, name) for name in (
                "01 Count.wav", "02 Full.wav", "03 Silent.wav", "04 Pair.wav")])
            progress = [(t, e) for e, t in zip(rec.events, rec.times) if e["event"] == "progress"]
            Progress.recording = (rec, stopped, progress)
        return Progress.recording

    def test_a_progress_event_about_every_quarter_second(self):
        rec, stopped, progress = self.record_once()
        self.assertGreaterEqual(len(progress), 8, "%d progress events in 2.2 s" % len(progress))
        arrivals = [t for t, _ in progress]
        spacing = [b - a for a, b in zip(arrivals, arrivals[1:])]
        self.assertTrue(0.2 <= statistics.median(spacing) <= 0.3,
                        "progress events %s s apart" % [round(s, 3) for s in spacing])
        self.assertLess(max(spacing), 0.75, "a progress event came late: %s" % spacing)
        seconds = [e["seconds"] for _, e in progress]
        self.assertEqual(seconds, sorted(seconds), "captured seconds went backwards")
        for s in seconds + [stopped["seconds"]]:
            frames(s)  # a whole number of frames
        self.assertLessEqual(seconds[-1], stopped["seconds"])
        # The captured audio keeps pace with the clock.
        self.assertAlmostEqual(seconds[-1] - seconds[0], arrivals[-1] - arrivals[0], delta=0.3)

    def test_one_level_per_track_full_scale_and_silence(self):
        rec, stopped, progress = self.record_once()
        flowing = 0
        for _, event in progress:
            self.assertEqual(set(event), {"event", "seconds", "peaks"})
            peaks = event["peaks"]
            self.assertEqual(len(peaks), 4, event)
            for peak in peaks:
                self.assertTrue(-120.0 <= peak <= 0.0, event)
            if event["seconds"] > 0:
                flowing += 1
                self.assertEqual(peaks[1], 0.0, "full-scale track: %s" % event)
                self.assertEqual(peaks[2], -120.0, "silent track: %s" % event)
                # Counters stay below 0.5 (-6 dB) and are never silent for a quarter second.
                for p in (peaks[0], peaks[3]):
                    self.assertTrue(-120.0 < p <= -6.0, "counter track: %s" % event)
        self.assertGreaterEqual(flowing, 6)

    def test_levels_are_given_to_a_tenth_of_a_db(self):
        rec, stopped, progress = self.record_once()
        raw = [line for line in rec.lines if b'"progress"' in line]
        self.assertEqual(len(raw), len(progress))
        odd = [line for (_, event), line in zip(progress, raw)
               if any(abs(p * 10 - round(p * 10)) > 1e-9 for p in event["peaks"])]
        if odd:
            self.fail("%d of %d progress events carry levels that are not multiples of 0.1 dB, "
                      "e.g. %s" % (len(odd), len(progress), odd[0].decode()))


class Stopping(Case):
    """A mono 24-bit track; the input is written piece by piece with pauses in between, the
    recording must survive every piece but the last."""

    def run_input(self, pieces, reason, pause=0.3, close=False):
        out = self.server.scratch_dir()
        path = os.path.join(out, "01 Vox.wav")
        rec = self.record(["record", "--out", out, "--track", "1:Vox"])
        started = rec.wait_for("started")
        rec.wait_for("progress", where=lambda e: e["seconds"] > 0)  # PipeWire links late
        for n, piece in enumerate(pieces):
            self.assertTrue(rec.send(piece), "stdin closed before piece %d" % n)
            if n + 1 < len(pieces) or close:
                time.sleep(pause)
                self.assert_still_recording(rec, "writing %r" % piece[:40])
        sent = time.monotonic()
        if close:
            rec.close_stdin()
        stopped = self.assert_stopped(rec, reason, [path])
        self.assertLess(rec.times[-1] - sent, 2.0, "the recording took long to stop")
        self.assertEqual(notable(rec), [started, stopped])
        wav = rig.read_wav(path)
        self.assertEqual(wav.frames, frames(stopped["seconds"]))
        self.assertGreater(wav.frames, 0)
        self.assert_counter(wav.samples[0], 24, "Vox", self.lost(rec))
        return rec

    def test_stop(self):
        self.run_input([b"stop\n"], "stop")

    def test_stop_split_across_writes(self):
        self.run_input([b"st", b"o", b"p\n"], "stop")

    def test_stop_with_crlf(self):
        self.run_input([b"stop\r\n"], "stop")

    def test_stop_with_blanks_and_tabs_around(self):
        self.run_input([b" \t stop\t \n"], "stop")
        self.run_input([b"\tstop \r\n"], "stop")

    def test_stop_after_garbage_and_invalid_utf8(self):
        garbage = [b"hello\n", b"STOP\n", b"stopp\n", b"stop now\n", b"st op\n", b"\n", b"\r\n",
                   b"gains 1,0\n", b"\xff\xfe\xfd\n", b"stop\xff\n", b"\xc3stop\n",
                   b"stop\xe2\x80\n"]
        self.run_input([b"".join(garbage), b"stop\n"], "stop")

    def test_closing_stdin(self):
        self.run_input([], "parent-exited", close=True)

    def test_closing_stdin_after_a_last_line_without_line_feed(self):
        self.run_input([b"sto"], "parent-exited", close=True)

    def test_overlong_line_is_discarded_up_to_its_line_feed(self):
        self.run_input([b"x" * (100 * 1024), b"\nstop\n"], "stop")

    def test_overlong_line_ending_in_stop_changes_nothing(self):
        # With blanks trimmed its tail would read "stop": it must be thrown away whole.
        self.run_input([b" " * (100 * 1024) + b"stop\n", b"stop\n"], "stop")

    def test_long_line_within_the_limit_still_counts(self):
        self.run_input([b" " * (60 * 1024) + b"stop\n"], "stop")


class Gains(Case):
    """--mix with two mono tracks at 32 bits; the file is the weighted sum of the two counters."""

    OLD = [(1, 1.0, 0.0), (2, 0.0, 1.0)]       # --gains 1,0,0,1
    NEW = [(1, 0.25, 0.75), (2, 0.5, 0.125)]   # gains 0.25,0.75,0.5,0.125

    def record_mix(self, lines, pause=0.5):
        """Records, sends each line after a pause and returns (rec, wav, [captured frames at the
        last progress before each line, and at the second progress after it])."""
        out = self.server.scratch_dir()
        mix = os.path.join(out, "M.wav")
        rec = self.record(["record", "--out", out, "--bits", "32", "--mix", "M",
                           "--track", "1:A", "--track", "2:B", "--gains", "1,0,0,1"])
        started = rec.wait_for("started")
        self.assertEqual([t["file"] for t in started["tracks"]], [mix, mix])
        rec.wait_for("progress")
        marks = []
        for line in lines:
            time.sleep(pause)
            before = frames(rec.of("progress")[-1]["seconds"])
            seen = len(rec.of("progress"))
            rec.send(line)
            self.assertTrue(wait_until(lambda: len(rec.of("progress")) >= seen + 2, 3))
            marks.append((before, frames(rec.of("progress")[seen + 1]["seconds"])))
        time.sleep(pause)
        rec.send("stop\n")
        stopped = self.assert_stopped(rec, "stop", [mix])
        self.assertEqual(notable(rec), [started, stopped])
        wav = rig.read_wav(mix)
        self.assertEqual(wav.frames, frames(stopped["seconds"]))
        return rec, wav, marks

    def follow(self, wav, terms, i, f, lost):
        """From frame i at frame time f: the first frame that is not the weighted sum with these
        gains (skipping missed server cycles when input was lost), and its frame time."""
        while i < wav.frames:
            if _mix_misfit(wav, terms, i, f):
                skipped = _mix_resync(wav, terms, i, f, self.server.period) if lost else None
                if skipped is None:
                    return i, f
                f = skipped
            f = (f + 1) % rig.COUNTER_MOD
            i += 1
        return i, f

    def test_new_gains_ramp_in_over_the_next_buffer(self):
        rec, wav, [(before, after)] = self.record_mix([b"gains 0.25,0.75,0.5,0.125\n"])
        lost = self.lost(rec)
        start = _mix_start(wav, self.OLD)
        self.assertIsNotNone(start, "the mix does not begin with the initial gains")
        changed, f_changed = self.follow(wav, self.OLD, 0, start, lost)
        self.assertLess(changed, wav.frames, "the new gains never reached the file")

        def time_of(j):  # frame times run on one by one through the ramp
            return (f_changed + j - changed) % rig.COUNTER_MOD

        settled = next((j for j in range(changed, min(wav.frames - 64, changed + 3 * BUFFER))
                        if not any(_mix_misfit(wav, self.NEW, j + d, time_of(j + d))
                                   for d in range(64))), None)
        self.assertIsNotNone(settled, "frame %d leaves the initial gains but no frame within "
                                      "three buffers after it has the new ones" % changed)
        end, _ = self.follow(wav, self.NEW, settled, time_of(settled), lost)
        self.assertEqual(end, wav.frames, "frame %d (of %d) no longer has the new gains"
                         % (end, wav.frames))

        # The ramp fills exactly one captured buffer; its first frame may still equal the old
        # mix (gain step j/4096) or its last the new one (step (j+1)/4096).
        ramp = changed - changed % BUFFER
        self.assertIn(changed - ramp, (0, 1), "the gains start changing at frame %d, which is "
                                              "not the start of a buffer" % changed)
        self.assertIn(settled - ramp, (BUFFER - 1, BUFFER),
                      "the ramp from frame %d to %d is not one buffer long" % (changed, settled))
        self.assertTrue(before <= ramp <= after,
                        "the change begins at frame %d; %d frames were captured before the line "
                        "and %d shortly after it" % (ramp, before, after))
        step = 1 - (changed - ramp)
        for j in range(ramp, ramp + BUFFER):
            f = time_of(j)
            old, new = _mix_at(f, self.OLD), _mix_at(f, self.NEW)
            for side in (0, 1):
                span = new[side] - old[side]
                if abs(span) < 1e-3:
                    continue
                t = (wav.samples[side][j] - old[side]) / span
                self.assertAlmostEqual(t, (j - ramp + step) / BUFFER, delta=0.25 / BUFFER,
                                       msg="frame %d, %d into the ramp" % (j, j - ramp))

    def test_gains_of_the_wrong_length_change_nothing(self):
        rec, wav, _ = self.record_mix([b"gains 0.5,0.5,0.5\n", b"gains 1,2,3,4,5\n"],
                                      pause=0.3)
        self.assertGreater(wav.frames, RATE)
        self.assert_mix(wav, self.OLD, self.lost(rec))


if __name__ == "__main__":
    unittest.main()
