#include "writing/file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace quilltap {
namespace {

int datasync(int fd) {
#ifdef QUILLTAP_HAVE_FDATASYNC
  return fdatasync(fd);
#else
  return fsync(fd);
#endif
}

class PosixFile : public WritableFile {
 public:
  PosixFile(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
  ~PosixFile() override {
    if (fd_ >= 0) ::close(fd_);
  }

  Status write(std::int64_t offset, const void* data, std::size_t size,
               std::size_t* written) override {
    const char* bytes = static_cast<const char*>(data);
    *written = 0;
    while (*written < size) {
      ssize_t n =
          pwrite(fd_, bytes + *written, size - *written, static_cast<off_t>(offset + *written));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return failed();
      if (n == 0) return Status::posix(path_, ENOSPC);
      *written += static_cast<std::size_t>(n);
    }
    return Status();
  }

  Status read(std::int64_t offset, void* into, std::size_t size, std::size_t* read) override {
    ssize_t n;
    do {
      n = pread(fd_, into, size, static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    *read = n < 0 ? 0 : static_cast<std::size_t>(n);
    return n < 0 ? failed() : Status();
  }

  Status length(std::int64_t* bytes) override {
    struct stat info;
    if (fstat(fd_, &info) != 0) return failed();
    *bytes = info.st_size;
    return Status();
  }

  Status truncate(std::int64_t length) override {
    return ftruncate(fd_, static_cast<off_t>(length)) == 0 ? Status() : failed();
  }

  Status sync() override { return datasync(fd_) == 0 ? Status() : failed(); }

  Status close() override {
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0 ? Status() : failed();
  }

 private:
  Status failed() const { return Status::posix(path_, errno); }

  std::string path_;
  int fd_;
};

// mkdir -p; false with errno set.
bool makeFolders(const std::string& dir) {
  struct stat info;
  if (stat(dir.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return true;
    errno = ENOTDIR;
    return false;
  }
  std::size_t slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !makeFolders(dir.substr(0, slash))) return false;
  if (mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST) {
    if (stat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return true;
    errno = ENOTDIR;
  }
  return false;
}

}  // namespace

Status PosixFileSystem::createFolders(const std::string& dir) {
  return makeFolders(dir) ? Status() : Status::posix(dir, errno);
}

Status PosixFileSystem::createFile(const std::string& path, std::unique_ptr<WritableFile>* file) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return Status::posix(path, errno);
  *file = std::make_unique<PosixFile>(path, fd);
  return Status();
}

}  // namespace quilltap
