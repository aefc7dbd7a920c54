#pragma once

#include <sndfile.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/chunk.h"

namespace quilltap {

/// One open track file: WAV, little-endian, interleaved frames of 16- or
/// 24-bit signed integers (clipped, never wrapped; NaN becomes silence) or
/// 32-bit IEEE float.
/// Written as RF64 that stays a plain RIFF WAV until it outgrows 4 GiB.
/// The recorder owns the file descriptor (libsndfile writes through virtual
/// I/O), so a failed write reports the system's own error and the file can be
/// made durable with fdatasync. Used on its Sink's queue only.
/// Every file carries a Broadcast WAV `bext` chunk named after its track, so
/// that a DAW can place it on the day's timeline (place()).
class TrackFile {
 public:
  /// Opens `path` for writing, replacing any file there. On failure returns
  /// null and sets `description` to the system's description.
  static std::unique_ptr<TrackFile> create(const std::string& path, const std::string& name,
                                           double sampleRate, int channels, std::int64_t bitDepth,
                                           std::string* description);
  /// Completes the header and closes the file; errors are ignored here.
  ~TrackFile();
  TrackFile(const TrackFile&) = delete;
  TrackFile& operator=(const TrackFile&) = delete;

  /// Stamps the file's `bext` chunk, before its first frame: origination
  /// date and time are the local time of the take's first frame
  /// (`takeStart`), and the time reference counts the frames from that day's
  /// local midnight to this file's first frame, which comes `framesBefore`
  /// frames after the take's. False with the system's description when the
  /// header could not be written.
  bool place(std::chrono::system_clock::time_point takeStart, std::int64_t framesBefore,
             std::string* description);

  /// Appends every frame of `buffer` (one run per channel). False with the
  /// system's description when the drive refused.
  bool write(const PcmBuffer& buffer, std::string* description);

  /// Cuts the file back to its first `frames` frames (at most those written).
  /// A cut that fails leaves the file failed for good: no later write goes in.
  void truncate(std::int64_t frames);

  /// Brings the header up to date and makes everything written durable.
  bool sync(std::string* description);

  /// Completes the header, makes the file durable and closes it.
  bool close(std::string* description);

  std::int64_t framesWritten() const { return frames_; }

 private:
  TrackFile(int fd, std::string name, double sampleRate, int channels, std::int64_t bitDepth);
  bool failed(std::string* description, const char* fallback);

  static sf_count_t fileLength(void* self);
  static sf_count_t seek(sf_count_t offset, int whence, void* self);
  static sf_count_t read(void* into, sf_count_t count, void* self);
  static sf_count_t write(const void* from, sf_count_t count, void* self);
  static sf_count_t tell(void* self);

  const float* prepare(const PcmBuffer& buffer);
  sf_count_t writeAll(const void* from, sf_count_t count);
  bool flushStaged();

  /// Where the last whole frame written ends.
  off_t end() const { return dataOffset_ + static_cast<off_t>(frames_) * bytesPerFrame_; }

  int fd_;
  std::string name_;
  double sampleRate_;
  int channels_;
  float scale_;  // full scale of an integer file's samples; 0 for a float file
  int bytesPerFrame_;
  off_t dataOffset_ = 0;
  SNDFILE* sndfile_ = nullptr;
  int lastErrno_ = 0;  // the errno of the last failed system call
  std::int64_t frames_ = 0;
  std::vector<float> samples_;  // interleaved (and for integers scaled and clipped) frames
  std::vector<char> staged_;    // the bytes of one write, gathered
  bool staging_ = false;
  bool broken_ = false;  // a roll-back failed; the file takes nothing more
  std::string brokenReason_;
};

}  // namespace quilltap
