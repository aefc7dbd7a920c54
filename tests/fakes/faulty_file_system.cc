#include "tests/fakes/faulty_file_system.h"

#include <algorithm>
#include <cerrno>

namespace quilltap {
namespace {

bool take(std::atomic<int>& count) {
  int left = count.load();
  while (left > 0 && !count.compare_exchange_weak(left, left - 1)) {
  }
  return left > 0;
}

class FaultyFile : public WritableFile {
 public:
  FaultyFile(FaultyFileSystem& drive, std::string path, std::unique_ptr<WritableFile> real)
      : drive_(drive),
        path_(std::move(path)),
        real_(std::move(real)),
        limited_(path_.rfind(drive.limitedDir, 0) == 0) {}

  // Only bytes that make the file longer take space, as on a real drive.
  Status write(std::int64_t offset, const void* data, std::size_t size,
               std::size_t* written) override {
    if (limited_) drive_.waitWhileStalled();
    std::int64_t length = 0;
    if (!limited_ || !real_->length(&length).ok()) return real_->write(offset, data, size, written);
    const std::int64_t end = offset + static_cast<std::int64_t>(size);
    const std::int64_t growth = std::max<std::int64_t>(0, end - std::max(length, offset));
    std::int64_t left = drive_.spaceLeft.load();
    if (growth <= left) {
      drive_.spaceLeft -= growth;
      return real_->write(offset, data, size, written);
    }
    drive_.spaceLeft = 0;
    auto fits = static_cast<std::size_t>(
        std::max<std::int64_t>(0, std::max(length, offset) + left - offset));
    if (Status partial = real_->write(offset, data, fits, written); !partial.ok()) return partial;
    return Status::posix(path_, ENOSPC);
  }
  Status read(std::int64_t offset, void* into, std::size_t size, std::size_t* read) override {
    return real_->read(offset, into, size, read);
  }
  Status length(std::int64_t* bytes) override { return real_->length(bytes); }
  Status truncate(std::int64_t length) override {
    return take(drive_.failingTruncates) ? Status::posix(path_, EIO) : real_->truncate(length);
  }
  Status sync() override {
    return take(drive_.failingSyncs) ? Status::posix(path_, EIO) : real_->sync();
  }
  Status close() override {
    if (limited_) drive_.waitWhileStalled();
    if (drive_.onClose) drive_.onClose(path_);
    return real_->close();
  }

 private:
  FaultyFileSystem& drive_;
  std::string path_;
  std::unique_ptr<WritableFile> real_;
  bool limited_;
};

}  // namespace

Status FaultyFileSystem::createFolders(const std::string& dir) {
  return noFolders ? Status::posix(dir, EACCES) : real_.createFolders(dir);
}

Status FaultyFileSystem::createFile(const std::string& path, std::unique_ptr<WritableFile>* file) {
  std::unique_ptr<WritableFile> real;
  if (Status opened = real_.createFile(path, &real); !opened.ok()) return opened;
  *file = std::make_unique<FaultyFile>(*this, path, std::move(real));
  return Status();
}

void FaultyFileSystem::stall() {
  std::lock_guard<std::mutex> hold(mutex_);
  stalled_ = true;
}

void FaultyFileSystem::release() {
  std::lock_guard<std::mutex> hold(mutex_);
  stalled_ = false;
  released_.notify_all();
}

void FaultyFileSystem::waitWhileStalled() {
  std::unique_lock<std::mutex> hold(mutex_);
  released_.wait(hold, [this] { return !stalled_; });
}

}  // namespace quilltap
