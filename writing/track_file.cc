#include "writing/track_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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

}  // namespace

TrackFile::TrackFile(int fd, int channels, std::int64_t bitDepth)
    : fd_(fd), channels_(channels), bytesPerFrame_(channels * static_cast<int>(bitDepth / 8)) {}

std::unique_ptr<TrackFile> TrackFile::create(const std::string& path, double sampleRate,
                                             int channels, std::int64_t bitDepth,
                                             std::string* description) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *description = std::strerror(errno);
    return nullptr;
  }
  std::unique_ptr<TrackFile> file(new TrackFile(fd, channels, bitDepth));
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
  sf_command(file->sndfile_, SFC_SET_CLIPPING, nullptr, SF_TRUE);
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

bool TrackFile::write(const PcmBuffer& buffer, std::string* description) {
  const sf_count_t frames = buffer.frames();
  const float* samples = buffer.channel(0);
  if (channels_ > 1) {
    interleaved_.resize(static_cast<std::size_t>(frames) * channels_);
    for (int c = 0; c < channels_; ++c) {
      const float* from = buffer.channel(c);
      for (sf_count_t i = 0; i < frames; ++i) interleaved_[i * channels_ + c] = from[i];
    }
    samples = interleaved_.data();
  }
  lastErrno_ = 0;
  if (sf_writef_float(sndfile_, samples, frames) != frames || lastErrno_) {
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

sf_count_t TrackFile::fileLength(void* self) {
  struct stat info;
  if (fstat(static_cast<TrackFile*>(self)->fd_, &info) != 0) return -1;
  return info.st_size;
}

sf_count_t TrackFile::seek(sf_count_t offset, int whence, void* self) {
  auto* file = static_cast<TrackFile*>(self);
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
  const char* bytes = static_cast<const char*>(from);
  sf_count_t done = 0;
  while (done < count) {
    ssize_t n = ::write(file->fd_, bytes + done, static_cast<std::size_t>(count - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      file->lastErrno_ = errno;
      break;
    }
    if (n == 0) {
      file->lastErrno_ = ENOSPC;
      break;
    }
    done += n;
  }
  return done;
}

sf_count_t TrackFile::tell(void* self) {
  return lseek(static_cast<TrackFile*>(self)->fd_, 0, SEEK_CUR);
}

}  // namespace quilltap
