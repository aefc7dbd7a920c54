#include "writing/track_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>

namespace quilltap {
namespace {

int sampleFormat(std::int64_t bitDepth) {
  switch (bitDepth) {
    case 16: return SF_FORMAT_PCM_16;
    case 24: return SF_FORMAT_PCM_24;
    default: return SF_FORMAT_FLOAT;
  }
}

int datasync(int fd) {
#ifdef QUILLTAP_HAVE_FDATASYNC
  return fdatasync(fd);
#else
  return fsync(fd);
#endif
}

// The `bext` chunk with the track's name and no time yet. libsndfile adds the
// same coding history each time, so the chunk keeps its size when stamped.
SF_BROADCAST_INFO broadcastInfo(const std::string& name) {
  SF_BROADCAST_INFO info = {};
  std::size_t n = std::min(name.size(), sizeof info.description);
  while (n > 0 && n < name.size() && (name[n] & 0xC0) == 0x80) --n;  // whole UTF-8 characters
  std::memcpy(info.description, name.data(), n);
  std::memcpy(info.originator, "quilltap", 8);
  return info;
}

}  // namespace

TrackFile::TrackFile(int fd, std::string name, double sampleRate, int channels,
                     std::int64_t bitDepth)
    : fd_(fd),
      name_(std::move(name)),
      sampleRate_(sampleRate),
      channels_(channels),
      scale_(bitDepth == 16 ? 32768.0f : bitDepth == 24 ? 8388608.0f : 0.0f),
      bytesPerFrame_(channels * static_cast<int>(bitDepth / 8)) {}

std::unique_ptr<TrackFile> TrackFile::create(const std::string& path, const std::string& name,
                                             double sampleRate, int channels, std::int64_t bitDepth,
                                             std::string* description) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *description = std::strerror(errno);
    return nullptr;
  }
  std::unique_ptr<TrackFile> file(new TrackFile(fd, name, sampleRate, channels, bitDepth));
  static SF_VIRTUAL_IO io = {&TrackFile::fileLength, &TrackFile::seek, &TrackFile::read,
                             &TrackFile::write, &TrackFile::tell};
  SF_INFO info = {};
  info.samplerate = static_cast<int>(sampleRate);
  info.channels = channels;
  info.format = SF_FORMAT_RF64 | sampleFormat(bitDepth) | SF_ENDIAN_LITTLE;
  file->sndfile_ = sf_open_virtual(&io, SFM_WRITE, &info, file.get());
  if (!file->sndfile_) {
    *description = file->lastErrno_ ? std::strerror(file->lastErrno_) : sf_strerror(nullptr);
    return nullptr;
  }
  sf_command(file->sndfile_, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
  // Integer samples arrive already scaled to the file's full scale (prepare).
  if (file->scale_ != 0) sf_command(file->sndfile_, SFC_SET_NORM_FLOAT, nullptr, SF_FALSE);
  // The chunk is in the first header, so that stamping it leaves the data where it is.
  SF_BROADCAST_INFO bext = broadcastInfo(name);
  if (sf_command(file->sndfile_, SFC_SET_BROADCAST_INFO, &bext, sizeof bext) != SF_TRUE) {
    file->failed(description, "the broadcast chunk could not be made");
    return nullptr;
  }
  // The header goes out now, so that even an empty file is a valid WAV file.
  if (sf_command(file->sndfile_, SFC_UPDATE_HEADER_NOW, nullptr, 0) != 0 || file->lastErrno_) {
    file->failed(description, "the header could not be written");
    return nullptr;
  }
  file->dataOffset_ = lseek(fd, 0, SEEK_CUR);
  return file;
}

TrackFile::~TrackFile() {
  if (sndfile_) sf_close(sndfile_);
  if (fd_ >= 0) ::close(fd_);
}

bool TrackFile::failed(std::string* description, const char* fallback) {
  *description = lastErrno_ ? std::strerror(lastErrno_)
                 : sndfile_ ? sf_strerror(sndfile_)
                            : fallback;
  return false;
}

bool TrackFile::place(std::chrono::system_clock::time_point takeStart, std::int64_t framesBefore,
                      std::string* description) {
  using namespace std::chrono;
  const auto second = floor<seconds>(takeStart);
  const std::time_t t = system_clock::to_time_t(second);
  std::tm local = {};
  localtime_r(&t, &local);
  SF_BROADCAST_INFO info = broadcastInfo(name_);
  char text[32];
  if (std::strftime(text, sizeof text, "%Y-%m-%d%H:%M:%S", &local) == 18) {
    std::memcpy(info.origination_date, text, 10);
    std::memcpy(info.origination_time, text + 10, 8);
  }
  // Counted on from the take's first frame: a take that runs past midnight
  // goes beyond a day's frames rather than wrapping.
  const std::int64_t reference =
      (local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec) * std::llround(sampleRate_) +
      std::llround(duration<double>(takeStart - second).count() * sampleRate_) + framesBefore;
  info.time_reference_low = static_cast<std::uint32_t>(reference);
  info.time_reference_high =
      static_cast<std::uint32_t>(static_cast<std::uint64_t>(reference) >> 32);
  lastErrno_ = 0;
  if (sf_command(sndfile_, SFC_SET_BROADCAST_INFO, &info, sizeof info) != SF_TRUE) {
    return failed(description, "the broadcast chunk could not be stamped");
  }
  // On the drive before the first frame, so that an interrupted file is placed too.
  sf_command(sndfile_, SFC_UPDATE_HEADER_NOW, nullptr, 0);
  if (lastErrno_) return failed(description, "");
  return true;
}

namespace {

using Floats = float __attribute__((vector_size(16)));  // four at a time
using Ints = std::int32_t __attribute__((vector_size(16)));

// `to[i]` = `from[i]` scaled by `scale`, rounded down to a whole step (as
// libsndfile's clipping conversion does), clipped to [low, high], NaN as 0.
void scaleAndClip(float* to, const float* from, std::int64_t frames, float scale, float low, float high) {
  const Floats s = {scale, scale, scale, scale};
  const Floats lo = {low, low, low, low};
  const Floats hi = {high, high, high, high};
  const Floats zero = {0, 0, 0, 0};
  const Floats one = {1, 1, 1, 1};
  std::int64_t i = 0;
  for (; i + 4 <= frames; i += 4) {
    Floats x;
    std::memcpy(&x, from + i, sizeof x);
    x *= s;
    x = x < lo ? lo : x;
    x = x > hi ? hi : x;
    x = x == x ? x : zero;
    Floats whole = __builtin_convertvector(__builtin_convertvector(x, Ints), Floats);
    x = whole > x ? whole - one : whole;  // truncation rounded toward zero; this floors
    std::memcpy(to + i, &x, sizeof x);
  }
  for (; i < frames; ++i) {
    float x = from[i] * scale;
    x = x < low ? low : (x > high ? high : x);
    to[i] = x == x ? std::floor(x) : 0.0f;
  }
}

}  // namespace

// The samples as libsndfile takes them: interleaved, and for an integer file
// as whole steps of its full scale, clipped there, never wrapped, NaN as
// silence. libsndfile then only packs them (its own clipping costs twice its
// conversion).
const float* TrackFile::prepare(const PcmBuffer& buffer) {
  const std::int64_t frames = buffer.frames();
  if (channels_ == 1 && scale_ == 0) return buffer.channel(0);
  const float low = -scale_, high = scale_ - 1.0f;
  samples_.resize(static_cast<std::size_t>(frames) * channels_);
  if (channels_ == 1) {
    scaleAndClip(samples_.data(), buffer.channel(0), frames, scale_, low, high);
    return samples_.data();
  }
  for (int c = 0; c < channels_; ++c) {
    const float* from = buffer.channel(c);
    float* to = samples_.data() + c;
    for (std::int64_t i = 0; i < frames; ++i) {
      float x = from[i];
      if (scale_ != 0) {
        x *= scale_;
        x = x < low ? low : (x > high ? high : x);
        x = x == x ? std::floor(x) : 0.0f;
      }
      to[i * channels_] = x;
    }
  }
  return samples_.data();
}

bool TrackFile::write(const PcmBuffer& buffer, std::string* description) {
  if (broken_) {
    *description = brokenReason_;
    return false;
  }
  const sf_count_t frames = buffer.frames();
  lastErrno_ = 0;
  // libsndfile hands its bytes over in pieces; they are gathered and go to
  // the drive in one write.
  staging_ = true;
  sf_count_t converted = sf_writef_float(sndfile_, prepare(buffer), frames);
  staging_ = false;
  bool ok = flushStaged() && converted == frames;
  if (!ok || lastErrno_) {
    failed(description, "the drive did not take all frames");
    truncate(frames_);  // a write that failed half-way leaves no partial frame behind
    return false;
  }
  frames_ += frames;
  return true;
}

void TrackFile::truncate(std::int64_t frames) {
  int saved = lastErrno_;
  frames_ = std::min(frames_, frames);
  if (ftruncate(fd_, end()) == 0) {
    sf_count_t count = frames_;
    // Brings libsndfile's own count back too, so that the header it writes
    // later describes what the file holds.
    sf_command(sndfile_, SFC_FILE_TRUNCATE, &count, sizeof count);
    sf_seek(sndfile_, frames_, SEEK_SET);
  } else if (!broken_) {
    // Whatever is past the last whole frame stays: a later write would
    // follow it, and every sample after it would be shifted or repeated.
    broken_ = true;
    brokenReason_ = std::strerror(errno);
  }
  lastErrno_ = saved;
}

bool TrackFile::sync(std::string* description) {
  lastErrno_ = 0;
  sf_command(sndfile_, SFC_UPDATE_HEADER_NOW, nullptr, 0);
  if (lastErrno_) return failed(description, "");
  if (datasync(fd_) != 0) {
    lastErrno_ = errno;
    return failed(description, "");
  }
  return true;
}

bool TrackFile::close(std::string* description) {
  lastErrno_ = 0;
  int status = sf_close(sndfile_);
  sndfile_ = nullptr;
  bool ok = status == 0 && lastErrno_ == 0;
  if (ok && datasync(fd_) != 0) {
    lastErrno_ = errno;
    ok = false;
  }
  if (::close(fd_) != 0 && ok) {
    lastErrno_ = errno;
    ok = false;
  }
  fd_ = -1;
  if (!ok) *description = lastErrno_ ? std::strerror(lastErrno_) : "the file could not be completed";
  return ok;
}

// While bytes are gathered, the file is as long, and its position as far, as
// if they had been written.
sf_count_t TrackFile::fileLength(void* self) {
  auto* file = static_cast<TrackFile*>(self);
  struct stat info;
  if (fstat(file->fd_, &info) != 0) return -1;
  return std::max<sf_count_t>(info.st_size, tell(self));
}

sf_count_t TrackFile::seek(sf_count_t offset, int whence, void* self) {
  auto* file = static_cast<TrackFile*>(self);
  file->flushStaged();
  off_t at = lseek(file->fd_, offset, whence);
  if (at < 0) file->lastErrno_ = errno;
  return at;
}

sf_count_t TrackFile::read(void* into, sf_count_t count, void* self) {
  auto* file = static_cast<TrackFile*>(self);
  ssize_t n;
  do {
    n = ::read(file->fd_, into, static_cast<std::size_t>(count));
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    file->lastErrno_ = errno;
    return 0;
  }
  return n;
}

sf_count_t TrackFile::write(const void* from, sf_count_t count, void* self) {
  auto* file = static_cast<TrackFile*>(self);
  if (file->staging_) {
    const char* bytes = static_cast<const char*>(from);
    file->staged_.insert(file->staged_.end(), bytes, bytes + count);
    return count;
  }
  return file->writeAll(from, count);
}

sf_count_t TrackFile::writeAll(const void* from, sf_count_t count) {
  const char* bytes = static_cast<const char*>(from);
  sf_count_t done = 0;
  while (done < count) {
    ssize_t n = ::write(fd_, bytes + done, static_cast<std::size_t>(count - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      lastErrno_ = errno;
      break;
    }
    if (n == 0) {
      lastErrno_ = ENOSPC;
      break;
    }
    done += n;
  }
  return done;
}

sf_count_t TrackFile::tell(void* self) {
  auto* file = static_cast<TrackFile*>(self);
  return lseek(file->fd_, 0, SEEK_CUR) + static_cast<sf_count_t>(file->staged_.size());
}

bool TrackFile::flushStaged() {
  sf_count_t size = static_cast<sf_count_t>(staged_.size());
  bool ok = writeAll(staged_.data(), size) == size;
  staged_.clear();
  return ok;
}

}  // namespace quilltap
