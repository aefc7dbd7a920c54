#pragma once

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace quilltap {

/// A small tmpfs mounted for one test: a real drive that fills up or goes
/// away. Needs root; `mounted()` says whether it worked.
class Tmpfs {
 public:
  Tmpfs(const std::string& at, std::size_t bytes) : at_(at) {
    mkdir(at.c_str(), 0755);
    std::string options = "size=" + std::to_string(bytes);
    mounted_ = geteuid() == 0 && mount("tmpfs", at.c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~Tmpfs() { unmount(); }
  bool mounted() const { return mounted_; }
  /// Detaches the filesystem at once, as a pulled drive would.
  void unmount() {
    if (mounted_) umount2(at_.c_str(), MNT_DETACH);
    mounted_ = false;
  }

 private:
  std::string at_;
  bool mounted_ = false;
};

}  // namespace quilltap
