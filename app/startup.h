#pragma once

namespace quilltap {

/// Turns the parsed options into a running recording and hands the main
/// thread to the main queue for good. A failure on the way is one "error"
/// event and exit status 1; afterwards the process ends through finish.
[[noreturn]] void startRecording();

/// Every step but the last: the recording runs, "started" is out, the timer
/// and the signal handlers wait for the main queue, and standard input
/// (`controlFd`, none when negative) is read. Tests run the queue themselves.
void prepareRecording(int controlFd);

}  // namespace quilltap
