#pragma once

#include <string>
#include <vector>

namespace quilltap {

/// A peak (linear, 1.0 = full scale) as a level in dB to 0.1 dB, computed in
/// single precision; −120 for silence, a negative peak or NaN.
double levelOf(float peak);

/// The name of the drive at `volumePath`: its last path component.
std::string driveName(const std::string& volumePath);

/// One tick of the progress timer, every 0.25 s on the main queue: reports
/// "progress", warns about input the system dropped, and runs the drive-gone,
/// stall and backlog watchdogs.
void progressTick();

/// Remembers which filesystem `volumePath` is on, so that a drive unmounted
/// under a mount-point folder that stays behind is noticed. Start-up.
void noteVolume();

}  // namespace quilltap
