#pragma once

namespace quilltap {

/// Turns the parsed options into a running recording and hands the main
/// thread to the main queue for good. A failure on the way is one "error"
/// event and exit status 1; afterwards the process ends through finish.
[[noreturn]] void startRecording();

/// Steps up to and including "started" and the run-time handlers, without
/// running the main queue (tests run it themselves).
void prepareRecording();

}  // namespace quilltap
