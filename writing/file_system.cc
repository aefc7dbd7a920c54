#include "writing/file_system.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
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

// syncfs(2) makes a whole file system durable with one commit and one
// flush. It is used for the kernel's own disk file systems (through FUSE it
// would not reach the file system's process) and not on the system's disk,
// where it would wait for everyone's writes.
bool wholeDriveSyncPays(int fd) {
  struct statfs drive;
  if (fstatfs(fd, &drive) != 0) return false;
  switch (drive.f_type) {
    case EXT4_SUPER_MAGIC:  // also ext2 and ext3
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case F2FS_SUPER_MAGIC:
    case MSDOS_SUPER_MAGIC:
    case 0x2011BAB0:  // exFAT, in the kernel
      break;
    default:
      return false;
  }
  struct stat here, system;
  return fstat(fd, &here) == 0 && stat("/", &system) == 0 && here.st_dev != system.st_dev;
}

class PosixFile : public WritableFile {
 public:
  PosixFile(std::string path, int fd)
      : path_(std::move(path)), fd_(fd), wholeDrive_(wholeDriveSyncPays(fd)) {}
  ~PosixFile() override {
    if (fd_ >= 0) ::close(fd_);
  }

  Status write(std::int64_t offset, const void* data, std::size_t size,
               std::size_t* written) override {
    reserve(offset + static_cast<std::int64_t>(size));
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

  bool syncsWholeDrive() const override { return wholeDrive_; }
  Status syncDrive() override { return syncfs(fd_) == 0 ? Status() : failed(); }

  void startWriteback() override {
#ifdef SYNC_FILE_RANGE_WRITE
    sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
  }

  Status waitWritten() override {
#ifdef SYNC_FILE_RANGE_WRITE
    const unsigned all =
        SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
    if (sync_file_range(fd_, 0, 0, all) != 0) return failed();
#endif
    return Status();
  }

  Status close() override {
    // Space reserved beyond the end goes back to the drive.
    std::int64_t length = 0;
    if (reserved_ > 0 && this->length(&length).ok() && reserved_ > length) {
      if (ftruncate(fd_, static_cast<off_t>(length)) != 0) {
        // Nothing is lost: the blocks stay allocated beyond the file's end.
      }
    }
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0 ? Status() : failed();
  }

 private:
  Status failed() const { return Status::posix(path_, errno); }

  // Space is allocated ahead in large steps, so that the file system extends
  // the file (and journals that) rarely. Where it cannot (exFAT through FUSE,
  // a full drive) files simply grow as they are written.
  void reserve(std::int64_t end) {
    if (!reserving_ || end <= reserved_) return;
    constexpr std::int64_t kStep = 4 << 20;
    const std::int64_t upTo = (end / kStep + 1) * kStep;
#ifdef FALLOC_FL_KEEP_SIZE
    if (fallocate(fd_, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(reserved_),
                  static_cast<off_t>(upTo - reserved_)) == 0) {
      reserved_ = upTo;
      return;
    }
#endif
    reserving_ = false;
  }

  std::string path_;
  int fd_;
  bool wholeDrive_;
  std::int64_t reserved_ = 0;
  bool reserving_ = true;
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
