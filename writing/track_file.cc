#include "writing/track_file.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>

namespace quilltap {
namespace {

constexpr std::int64_t kPage = 4096;

int sampleFormat(std::int64_t bitDepth) {
  switch (bitDepth) {
    case 16:
      return SF_FORMAT_PCM_16;
    case 24:
      return SF_FORMAT_PCM_24;
    default:
      return SF_FORMAT_FLOAT;
  }
}

// A line of coding history naming the recorder; its 18 bytes also move the
// data by 2, since libsndfile rounds a JUNK chunk's size to 4 bytes.
constexpr char kHistoryLine[] = "A=PCM,T=quilltap\r\n";

// The `bext` chunk with the track's name and no time yet. libsndfile adds the
// same coding history each time, so the chunk keeps its size when stamped.
SF_BROADCAST_INFO broadcastInfo(const std::string& name, bool historyLine) {
  SF_BROADCAST_INFO info = {};
  if (historyLine) {
    info.coding_history_size = sizeof kHistoryLine - 1;
    std::memcpy(info.coding_history, kHistoryLine, info.coding_history_size);
  }
  std::size_t n = std::min(name.size(), sizeof info.description);
  while (n > 0 && n < name.size() && (name[n] & 0xC0) == 0x80) --n;  // whole UTF-8 characters
  std::memcpy(info.description, name.data(), n);
  std::memcpy(info.originator, "quilltap", 8);
  return info;
}

}  // namespace

TrackFile::TrackFile(std::unique_ptr<WritableFile> file, std::string name, double sampleRate,
                     int channels, std::int64_t bitDepth)
    : file_(std::move(file)),
      name_(std::move(name)),
      sampleRate_(sampleRate),
      channels_(channels),
      scale_(bitDepth == 16   ? 32768.0f
             : bitDepth == 24 ? 8388608.0f
                              : 0.0f),
      bytesPerFrame_(channels * static_cast<int>(bitDepth / 8)) {}

Status TrackFile::create(FileSystem& drive, const std::string& path, const std::string& name,
                         double sampleRate, int channels, std::int64_t bitDepth,
                         std::unique_ptr<TrackFile>* created) {
  std::unique_ptr<WritableFile> raw;
  if (Status opened = drive.createFile(path, &raw); !opened.ok()) return opened;
  std::unique_ptr<TrackFile> file(
      new TrackFile(std::move(raw), name, sampleRate, channels, bitDepth));
  static SF_VIRTUAL_IO io = {&TrackFile::fileLength, &TrackFile::seek, &TrackFile::read,
                             &TrackFile::write, &TrackFile::tell};
  SF_INFO info = {};
  info.samplerate = static_cast<int>(sampleRate);
  info.channels = channels;
  info.format = SF_FORMAT_RF64 | sampleFormat(bitDepth) | SF_ENDIAN_LITTLE;
  file->sndfile_ = sf_open_virtual(&io, SFM_WRITE, &info, file.get());
  if (!file->sndfile_)
    return file->error_.ok() ? Status::error(sf_strerror(nullptr)) : file->error_;
  sf_command(file->sndfile_, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
  // The chunk is in the first header, so that stamping it leaves the data where it is.
  // The header goes out now, so that even an empty file is a valid WAV file.
  for (bool measured = false;; measured = true) {
    SF_BROADCAST_INFO bext = broadcastInfo(name, file->historyLine_);
    if (sf_command(file->sndfile_, SFC_SET_BROADCAST_INFO, &bext, sizeof bext) != SF_TRUE) {
      return file->failure("the broadcast chunk could not be made");
    }
    if (sf_command(file->sndfile_, SFC_UPDATE_HEADER_NOW, nullptr, 0) != 0 || !file->error_.ok()) {
      return file->failure("the header could not be written");
    }
    if (measured || file->position_ % 4 == 0) break;
    file->historyLine_ = true;
  }
  // A JUNK chunk (which every reader skips) moves the data to the start of a
  // page: whole chunks of frames are then whole pages, and the drive never
  // has to take a page of audio twice.
  {
    const std::int64_t pad = (kPage - (file->position_ + 8) % kPage) % kPage;
    static const std::vector<char> zeros(kPage);
    SF_CHUNK_INFO junk = {};
    std::memcpy(junk.id, "JUNK", 4);
    junk.id_size = 4;
    junk.datalen = static_cast<unsigned>(pad);
    junk.data = const_cast<char*>(zeros.data());
    if (sf_set_chunk(file->sndfile_, &junk) == SF_ERR_NO_ERROR) {
      if (sf_command(file->sndfile_, SFC_UPDATE_HEADER_NOW, nullptr, 0) != 0 ||
          !file->error_.ok()) {
        return file->failure("the header could not be written");
      }
    }
  }
  file->dataOffset_ = file->position_;
  *created = std::move(file);
  return Status();
}

TrackFile::~TrackFile() {
  if (sndfile_) static_cast<void>(close(Durable::later));
}

Status TrackFile::failure(const char* fallback) {
  if (!error_.ok()) return error_;
  return Status::error(sndfile_ && sf_error(sndfile_) ? sf_strerror(sndfile_) : fallback);
}

Status TrackFile::place(std::chrono::system_clock::time_point takeStart,
                        std::int64_t framesBefore) {
  using namespace std::chrono;
  const auto second = floor<seconds>(takeStart);
  const std::time_t t = system_clock::to_time_t(second);
  std::tm local = {};
  localtime_r(&t, &local);
  SF_BROADCAST_INFO info = broadcastInfo(name_, historyLine_);
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
  error_ = Status();
  if (sf_command(sndfile_, SFC_SET_BROADCAST_INFO, &info, sizeof info) != SF_TRUE) {
    return failure("the broadcast chunk could not be stamped");
  }
  // On the drive before the first frame, so that an interrupted file is placed too.
  sf_command(sndfile_, SFC_UPDATE_HEADER_NOW, nullptr, 0);
  return error_;
}

namespace {

static_assert(std::endian::native == std::endian::little,
              "samples go to the file in the host's byte order");

using Floats = float __attribute__((vector_size(16)));  // four at a time
using Ints = std::int32_t __attribute__((vector_size(16)));

// Samples as whole steps of an integer file's full scale: rounded down (as
// libsndfile's conversion does), clipped to [low, high], never wrapped; NaN
// is silence.
inline Ints steps(Floats x, Floats scale, Floats low, Floats high) {
  x *= scale;
  x = x < low ? low : x;
  x = x > high ? high : x;
  x = x == x ? x : Floats{};
  const Ints whole = __builtin_convertvector(x, Ints);          // toward zero
  return whole + (__builtin_convertvector(whole, Floats) > x);  // a true lane is -1
}

inline std::int32_t step(float x, float scale, float low, float high) {
  return steps(Floats{x}, Floats{scale}, Floats{low}, Floats{high})[0];
}

// Four 24-bit samples in 12 bytes, each stored 4 bytes wide over the spare
// byte of the one before: no shifting, and no load of what was just stored.
inline void pack24(unsigned char* to, Ints v) {
  for (int k = 0; k < 4; ++k) {
    const std::int32_t sample = v[k];
    std::memcpy(to + 3 * k, &sample, sizeof sample);
  }
}

// Frame by frame, channel by channel, from frame `first` on, each sample
// `width` bytes on from the last; `put` stores one, and may store a spare
// byte past it that the next one overwrites.
template <typename Put>
void interleave(const PcmBuffer& buffer, std::int64_t first, int channels, int width,
                unsigned char* to, Put put) {
  to += first * channels * width;
  for (std::int64_t i = first; i < buffer.frames(); ++i)
    for (int c = 0; c < channels; ++c, to += width) put(to, buffer.channel(c)[i]);
}

}  // namespace

// Straight from a chunk's runs to the file's bytes at `to`, in one pass:
// the frames as the file holds them. A 24-bit sample is stored 4 bytes wide,
// over the first byte of the next, so the buffer has a spare byte at its end.
unsigned char* TrackFile::encode(const PcmBuffer& buffer, unsigned char* to) const {
  const std::int64_t frames = buffer.frames();
  if (scale_ == 0 && channels_ == 1) {  // float mono: the run is the file's bytes
    std::memcpy(to, buffer.channel(0), static_cast<std::size_t>(frames) * sizeof(float));
    return to + frames * bytesPerFrame_;
  }
  const float scale = scale_, low = -scale_, high = scale_ - 1.0f;
  const int width = bytesPerFrame_ / channels_;
  std::int64_t done = 0;
  if (scale_ != 0 && channels_ == 1) {  // a track file: four at a time
    const Floats s = {scale, scale, scale, scale}, lo = {low, low, low, low},
                 hi = {high, high, high, high};
    for (const float* from = buffer.channel(0); done + 4 <= frames; done += 4) {
      Floats x;
      std::memcpy(&x, from + done, sizeof x);
      const Ints v = steps(x, s, lo, hi);
      if (width == 3) {
        pack24(to + 3 * done, v);
      } else {
        const std::int16_t narrow[4] = {
            static_cast<std::int16_t>(v[0]), static_cast<std::int16_t>(v[1]),
            static_cast<std::int16_t>(v[2]), static_cast<std::int16_t>(v[3])};
        std::memcpy(to + 2 * done, narrow, sizeof narrow);
      }
    }
  }
  if (scale == 0) {
    interleave(buffer, done, channels_, 4, to,
               [](unsigned char* at, float x) { std::memcpy(at, &x, sizeof x); });
  } else if (width == 3) {
    interleave(buffer, done, channels_, 3, to, [=](unsigned char* at, float x) {
      const std::int32_t v = step(x, scale, low, high);
      std::memcpy(at, &v, sizeof v);
    });
  } else {
    interleave(buffer, done, channels_, 2, to, [=](unsigned char* at, float x) {
      const auto v = static_cast<std::int16_t>(step(x, scale, low, high));
      std::memcpy(at, &v, sizeof v);
    });
  }
  return to + frames * bytesPerFrame_;
}

// libsndfile writes the headers only: it counts the data from the file's
// length, so the frames go to the drive directly, in one write.
Status TrackFile::write(std::span<const PcmBuffer* const> buffers) {
  if (!broken_.ok()) return broken_;
  std::int64_t frames = 0;
  for (const PcmBuffer* buffer : buffers) frames += buffer->frames();
  const std::size_t size = static_cast<std::size_t>(frames * bytesPerFrame_);
  if (bytes_.size() <= size) bytes_.resize(size + 1);  // grown only: no zeroing each time
  unsigned char* to = bytes_.data();
  for (const PcmBuffer* buffer : buffers) to = encode(*buffer, to);
  std::size_t done = 0;
  Status wrote = file_->write(end(), bytes_.data(), size, &done);
  if (wrote.ok() && done != size) wrote = Status::error("the drive did not take all frames");
  if (!wrote.ok()) {
    truncate(frames_);  // a write that failed half-way leaves no partial frame behind
    return wrote;
  }
  frames_ += frames;
  return Status();
}

void TrackFile::truncate(std::int64_t frames) {
  frames_ = std::min(frames_, frames);
  if (Status cut = file_->truncate(end()); !cut.ok() && broken_.ok()) {
    // Whatever is past the last whole frame stays: a later write would
    // follow it, and every sample after it would be shifted or repeated.
    broken_ = cut;
  }
}

Status TrackFile::updateHeader() {
  error_ = Status();
  sf_command(sndfile_, SFC_UPDATE_HEADER_NOW, nullptr, 0);
  return error_;
}

Status TrackFile::close(Durable how) {
  // libsndfile completes the file with the count of frames it last put in
  // the header, which it takes from the file's length.
  error_ = updateHeader();
  int status = sf_close(sndfile_);
  sndfile_ = nullptr;
  Status closed = error_;
  if (closed.ok() && status != 0) closed = Status::error("the file could not be completed");
  if (closed.ok() && how != Durable::later)
    closed = how == Durable::file ? file_->sync() : file_->syncDrive();
  Status released = file_->close();
  return closed.ok() ? released : closed;
}

sf_count_t TrackFile::fileLength(void* self) {
  auto* file = static_cast<TrackFile*>(self);
  std::int64_t bytes = 0;
  if (Status known = file->file_->length(&bytes); !known.ok()) {
    file->error_ = known;
    return -1;
  }
  return bytes;
}

sf_count_t TrackFile::seek(sf_count_t offset, int whence, void* self) {
  auto* file = static_cast<TrackFile*>(self);
  sf_count_t base = whence == SEEK_SET   ? 0
                    : whence == SEEK_CUR ? file->position_
                                         : fileLength(self);
  if (base < 0 || base + offset < 0) return -1;
  file->position_ = base + offset;
  return file->position_;
}

sf_count_t TrackFile::read(void* into, sf_count_t count, void* self) {
  auto* file = static_cast<TrackFile*>(self);
  std::size_t got = 0;
  if (Status read = file->file_->read(file->position_, into, static_cast<std::size_t>(count), &got);
      !read.ok()) {
    file->error_ = read;
  }
  file->position_ += static_cast<sf_count_t>(got);
  return static_cast<sf_count_t>(got);
}

sf_count_t TrackFile::write(const void* from, sf_count_t count, void* self) {
  auto* file = static_cast<TrackFile*>(self);
  std::size_t done = 0;
  if (Status wrote =
          file->file_->write(file->position_, from, static_cast<std::size_t>(count), &done);
      !wrote.ok()) {
    file->error_ = wrote;
  }
  file->position_ += static_cast<sf_count_t>(done);
  return static_cast<sf_count_t>(done);
}

sf_count_t TrackFile::tell(void* self) {
  auto* file = static_cast<TrackFile*>(self);
  return file->position_;
}

}  // namespace quilltap
