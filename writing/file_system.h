#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/status.h"

namespace quilltap {

/// One file open for writing, as the drive sees it. Positions are explicit,
/// so the file keeps no cursor of its own. Failures name the file.
class WritableFile {
 public:
  virtual ~WritableFile() = default;

  /// Writes `size` bytes at `offset`; `*written` says how many the drive
  /// took, also when it refused the rest.
  virtual Status write(std::int64_t offset, const void* data, std::size_t size,
                       std::size_t* written) = 0;
  /// Reads up to `size` bytes at `offset`; `*read` says how many came.
  virtual Status read(std::int64_t offset, void* into, std::size_t size, std::size_t* read) = 0;
  /// The file's length on the drive.
  virtual Status length(std::int64_t* bytes) = 0;
  virtual Status truncate(std::int64_t length) = 0;
  /// Makes everything written so far durable (fdatasync).
  virtual Status sync() = 0;
  /// Starts sending what was written so far to the drive without waiting,
  /// so that the syncs of many files that follow wait on one batch of
  /// writes. A failure shows in the sync.
  virtual void startWriteback() {}
  /// Waits until what was written so far has reached the drive (not yet
  /// durably: the drive's journal and cache may still hold it).
  virtual Status waitWritten() { return Status(); }
  /// Whether syncDrive() is the cheaper way to make all of a folder's files
  /// durable together.
  virtual bool syncsWholeDrive() const { return false; }
  /// Makes everything written to this file's drive durable at once: one
  /// journal commit and one cache flush, where a sync per file brings a
  /// flush each.
  virtual Status syncDrive() { return sync(); }
  virtual Status close() = 0;
};

/// The drives the recorder writes to.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  /// Creates `dir` with its missing parents; an existing folder is fine.
  virtual Status createFolders(const std::string& dir) = 0;
  /// Creates `path`, replacing any file there.
  virtual Status createFile(const std::string& path, std::unique_ptr<WritableFile>* file) = 0;
};

/// The real drives.
class PosixFileSystem : public FileSystem {
 public:
  Status createFolders(const std::string& dir) override;
  Status createFile(const std::string& path, std::unique_ptr<WritableFile>* file) override;
};

}  // namespace quilltap
