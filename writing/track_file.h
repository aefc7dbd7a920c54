#pragma once

#include <sndfile.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "capture/chunk.h"
#include "common/status.h"
#include "writing/file_system.h"

namespace quilltap {

/// One open track file: WAV, little-endian, interleaved frames of 16- or
/// 24-bit signed integers (clipped, never wrapped; NaN becomes silence) or
/// 32-bit IEEE float.
/// Written as RF64 that stays a plain RIFF WAV until it outgrows 4 GiB.
/// libsndfile writes the header through virtual I/O into a WritableFile of
/// the recorder's, which takes the frames directly, so a failed write reports
/// the system's own error and the file can be made durable. Used on its Sink's queue only.
/// Every file carries a Broadcast WAV `bext` chunk named after its track, so
/// that a DAW can place it on the day's timeline (place()).
class TrackFile {
 public:
  /// Creates `path` on `drive` for writing, replacing any file there.
  static Status create(FileSystem& drive, const std::string& path, const std::string& name,
                       double sampleRate, int channels, std::int64_t bitDepth,
                       std::unique_ptr<TrackFile>* created);
  /// Closes the file as close() does, without a sync; errors are ignored here.
  ~TrackFile();
  TrackFile(const TrackFile&) = delete;
  TrackFile& operator=(const TrackFile&) = delete;

  /// Stamps the file's `bext` chunk, before its first frame: origination
  /// date and time are the local time of the take's first frame
  /// (`takeStart`), and the time reference counts the frames from that day's
  /// local midnight to this file's first frame, which comes `framesBefore`
  /// frames after the take's.
  Status place(std::chrono::system_clock::time_point takeStart, std::int64_t framesBefore);

  /// Appends every frame of `buffers`, one after the other, in one write.
  Status write(std::span<const PcmBuffer* const> buffers);
  Status write(const PcmBuffer& buffer) {
    const PcmBuffer* one[] = {&buffer};
    return write(one);
  }

  /// Cuts the file back to its first `frames` frames (at most those written).
  /// A cut that fails leaves the file failed for good: no later write goes in.
  void truncate(std::int64_t frames);

  /// Brings the header up to date on the drive, not yet durably.
  Status updateHeader();
  /// The file as the drive sees it, for a sync on another thread while
  /// this one writes on: its sync() makes all written so far durable.
  WritableFile& drive() { return *file_; }

  /// How close() makes the file durable: by itself, with everything else
  /// on its drive (WritableFile::syncDrive), or not at all (a later sync of
  /// the drive will).
  enum class Durable { file, drive, later };
  /// Completes the header, makes the file durable and closes it.
  Status close(Durable how = Durable::file);

  std::int64_t framesWritten() const { return frames_; }

 private:
  TrackFile(std::unique_ptr<WritableFile> file, std::string name, double sampleRate, int channels,
            std::int64_t bitDepth);
  /// The failure of the last operation: the drive's own, else libsndfile's.
  Status failure(const char* fallback);

  static sf_count_t fileLength(void* self);
  static sf_count_t seek(sf_count_t offset, int whence, void* self);
  static sf_count_t read(void* into, sf_count_t count, void* self);
  static sf_count_t write(const void* from, sf_count_t count, void* self);
  static sf_count_t tell(void* self);

  unsigned char* encode(const PcmBuffer& buffer, unsigned char* to) const;

  /// Where the last whole frame written ends.
  std::int64_t end() const { return dataOffset_ + frames_ * bytesPerFrame_; }

  std::unique_ptr<WritableFile> file_;
  std::string name_;
  double sampleRate_;
  int channels_;
  float scale_;  // full scale of an integer file's samples; 0 for a float file
  int bytesPerFrame_;
  std::int64_t dataOffset_ = 0;
  bool historyLine_ = false;   // the `bext` chunk's coding history has a line of ours
  std::int64_t position_ = 0;  // libsndfile's position in the file, within the header
  SNDFILE* sndfile_ = nullptr;
  Status error_;  // the drive's answer to the last failed call
  std::int64_t frames_ = 0;
  std::vector<unsigned char> bytes_;  // one write's frames as the file holds them
  Status broken_;                     // a roll-back failed; the file takes nothing more
};

}  // namespace quilltap
