"""The fault matrix: runs every process test that puts the recorder through a fault a long
recording can meet, and prints, per fault, what the recorder did and whether the test that
proves it (events and the counter signal, frame by frame) passed.

Run by ctest as process.fault_matrix; `python3 fault_matrix.py` runs it by hand."""

import os
import subprocess
import sys
import unittest

MODULES = ["test_record", "test_control", "test_failover", "test_parent_and_backup",
           "test_watchdogs", "test_device", "test_crash", "test_power_cut", "test_hardening"]

# (fault, what the recorder does, the test that shows it)
FAULTS = [
    ("Drive full (tmpfs), 32-bit", "failover, parts join frame for frame",
     "test_failover.FullDrive.test_failover_to_the_backup_when_the_drive_fills"),
    ("Drive full (tmpfs), 24-bit", "failover, parts join frame for frame",
     "test_failover.FullDriveAt24Bits.test_failover_to_the_backup_when_the_drive_fills"),
    ("Drive full, no backup", "error, write-error, files valid",
     "test_failover.FullDrive.test_without_backup_the_recording_stops_and_keeps_what_was_written"),
    ("Backup folder cannot be created", "warning, error, write-error",
     "test_failover.FullDrive.test_backup_that_cannot_be_created"),
    ("File too large (RLIMIT_FSIZE)", "SIGXFSZ ignored, error, write-error",
     "test_failover.FileTooLarge.test_without_backup"),
    ("File too large, backup too", "failover, then error, write-error",
     "test_failover.FileTooLarge.test_backup_hits_the_same_limit"),
    ("Backup drive fails too (EIO)", "failover, then error, write-error",
     "test_parent_and_backup.BackupFailsToo."
     "test_a_failing_backup_ends_the_recording_and_keeps_its_files_valid"),
    ("Drive unmounted, --volume", "failover within a tick",
     "test_watchdogs.DriveUnmounted.test_failover_when_the_watched_drive_goes"),
    ("Drive unmounted, no --volume", "open files keep working, recording goes on",
     "test_watchdogs.DriveUnmounted.test_unwatched_drive_detached_lazily_keeps_recording"),
    ("Drive frozen while recording", "failover about 8 s after the stall",
     "test_watchdogs.DriveStalls."
     "test_failover_about_eight_seconds_after_the_drive_stops_answering"),
    ("Drive frozen in the final flush", "failover after 20 s, backup takes the rest",
     "test_watchdogs.FinalFlushStalls.test_backup_takes_what_the_flush_could_not_write"),
    ("Drive frozen in the final flush, no backup", "warning with the unwritten seconds",
     "test_watchdogs.FinalFlushStalls.test_without_backup_the_unwritten_seconds_are_told"),
    ("Backup drive frozen too", "backlog past 120 s: error, write-error",
     "test_watchdogs.BackupStallsToo.test_backlog_past_the_limit_stops_the_recording"),
    ("Drive whose stat() hangs", "progress goes on, stall failover",
     "test_watchdogs.StatHangs.test_progress_goes_on_while_the_watched_drive_hangs"),
    ("Device unplugged", "warning, device-disconnected, every frame saved",
     "test_device.Unplugged.test_killed_device_ends_the_recording_with_every_frame_saved"),
    ("Device back under the same name", "recorded on into the same files",
     "test_device.BackAtOnce."
     "test_device_back_under_the_same_name_is_recorded_on_into_the_same_files"),
    ("Another JACK client overruns", "no lost-input warning, files gap-free",
     "test_device.OtherClientOverruns.test_an_overrun_of_another_client_is_no_lost_input"),
    ("JACK server gone", "warning, device-disconnected, files valid",
     "test_device.ServerGone.test_server_stopping_ends_the_recording_with_valid_files"),
    ("JACK server frozen (SIGSTOP)", "stop ends within 25 s, every frame saved",
     "test_device.ServerGone.test_frozen_server_does_not_hang_the_stop"),
    ("Device left with fewer ports", "warning, device-changed",
     "test_hardening.FewerPorts."
     "test_device_left_with_fewer_ports_ends_the_recording_instead_of_recording_silence"),
    ("Source sends +-inf and NaN", "levels stay numbers, stops normally",
     "test_hardening.NonFiniteSamples.test_infinite_and_nan_samples_give_finite_levels"),
    ("Sample rate changed (fake audio layer)", "warning, device-changed",
     "unit:DeviceChangeTest.AGoneOrChangedDeviceEndsTheRecordingWithAWarningThatSaysWhy"),
    ("Parent gone: stdin closed", "parent-exited",
     "test_control.Stopping.test_closing_stdin"),
    ("Parent gone: stdout closed", "no SIGPIPE death, take kept, stops on stdin's end",
     "test_parent_and_backup.OutputClosed."
     "test_closed_output_neither_kills_the_recorder_nor_loses_audio"),
    ("Started with fd 0, 1 or 2 closed", "/dev/null there, JACK's metadata store intact",
     "test_hardening.ClosedDescriptors.test_closed_descriptor_never_lands_on_jacks_metadata_store"),
    ("Non-blocking stdin, nothing to read", "recording goes on, \"stop\" works",
     "test_hardening.NonBlockingInput."
     "test_non_blocking_stdin_with_nothing_to_read_does_not_stop_the_recording"),
    ("Folder name not UTF-8", "error naming the option, nothing created",
     "test_hardening.UnicodePaths."
     "test_folder_name_that_is_not_utf8_is_refused_before_anything_is_created"),
    ("SIGINT", "signal, every frame saved",
     "test_record.TrackMode.test_mono_and_stereo_tracks_at_32_bits_stopped_by_sigint"),
    ("SIGTERM", "signal, every frame saved",
     "test_record.TrackMode.test_every_channel_by_default_at_24_bits_stopped_by_sigterm"),
    ("SIGHUP", "signal, every frame saved",
     "test_record.TrackMode.test_16_bits_stopped_by_sighup"),
    ("SIGKILL at random moments", "files readable, all but about the last second",
     "test_crash.KilledAtRandomMoments."
     "test_every_file_stays_readable_and_misses_at_most_about_a_second"),
    ("Power cut, ext4", "files readable, all but about the last second",
     "test_power_cut.PowerCut.test_ext4_keeps_all_but_about_the_last_second"),
    ("Power cut, exFAT (exfat-fuse)", "files readable, all but about the last second",
     "test_power_cut.PowerCut.test_exfat_through_fuse_keeps_all_but_about_the_last_second"),
]


class Outcomes(unittest.TextTestResult):
    """Remembers which tests ran; a failing subtest fails its test."""

    def startTest(self, test):
        super().startTest(test)
        self.ran = getattr(self, "ran", set()) | {test.id()}

    def verdict(self, name):
        failed = {getattr(t, "test_case", t).id() for t, _ in self.failures + self.errors}
        skipped = {t.id() for t, _ in self.skipped}
        return ("FAILED" if name in failed else "skipped" if name in skipped
                else "passed" if name in getattr(self, "ran", ()) else "NOT RUN")


def unit_outcome(name):
    binary = os.environ.get("QUILLTAP_UNIT_TESTS")
    if not binary:
        return "skipped"
    done = subprocess.run([binary, "--gtest_filter=" + name], capture_output=True, text=True)
    return "passed" if done.returncode == 0 and "[  PASSED  ] 1 test" in done.stdout else "FAILED"


def main():
    suite = unittest.defaultTestLoader.loadTestsFromNames(MODULES)
    result = unittest.TextTestRunner(resultclass=Outcomes, verbosity=2, stream=sys.stdout).run(suite)
    rows = [("Fault", "Recorder", "Result", "Test")]
    for fault, behaviour, test in FAULTS:
        verdict = (unit_outcome(test[len("unit:"):]) if test.startswith("unit:")
                   else result.verdict(test))
        rows.append((fault, behaviour, verdict, test.split(".")[-1]))
    widths = [max(len(row[k]) for row in rows) for k in range(4)]
    print("\nFault matrix")
    for i, row in enumerate(rows):
        print("| " + " | ".join("%-*s" % (w, v) for w, v in zip(widths, row)) + " |")
        if i == 0:
            print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    bad = [row for row in rows[1:] if row[2] in ("FAILED", "NOT RUN")]
    return 0 if result.wasSuccessful() and not bad else 1


if __name__ == "__main__":
    sys.exit(main())
