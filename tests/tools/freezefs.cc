// freezefs: a pass-through FUSE filesystem that can stop answering on demand, standing in for a
// recording drive that hangs (a USB stick on a flaky hub, a stalled network share).
//
//   freezefs BACKING_DIR MOUNTPOINT [--freeze-all] [--exit-with-parent]
//
// Prints "mounted" once in place. SIGUSR1 freezes (calls that change the drive block, without
// error), SIGUSR2 thaws, SIGRTMIN fails them with EIO; each is acknowledged on stdout with
// "frozen", "thawed" or "failing". --freeze-all holds the looking calls too (getattr, readdir,
// statfs, read), as a real hung drive does. Every file is direct_io and nothing is cached, so a
// frozen write blocks the writer inside write(2). Blocked calls cannot be interrupted (like a
// real drive, even SIGKILL waits). SIGTERM or a dropped connection release every blocked call,
// unmount and end the daemon; --exit-with-parent makes the parent's death a
// SIGTERM so that a killed test run leaves no frozen mount behind.

#define FUSE_USE_VERSION 312
#include <dirent.h>
#include <fcntl.h>
#include <fuse.h>
#include <fuse_lowlevel.h>
#include <poll.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

enum class Mode { pass, frozen, failing, released };

// A call either changes the drive or only looks at it; by default a freeze holds only changes.
enum class Access { change, look };

// Where FUSE worker threads wait while the drive is frozen. Once released (shutdown) the mode no
// longer changes, so nothing can block again while the daemon winds down.
class Gate {
 public:
  void holdLooks(bool hold) { holdLooks_ = hold; }

  // Returns 0 to go on or -EIO to fail the call; waits while frozen.
  int pass(Access access) {
    if (access == Access::look && !holdLooks_) return 0;
    std::unique_lock lock(mu_);
    changed_.wait(lock, [this] { return mode_ != Mode::frozen; });
    return mode_ == Mode::failing ? -EIO : 0;
  }

  void set(Mode mode) {
    {
      std::lock_guard lock(mu_);
      if (mode_ == Mode::released) return;
      mode_ = mode;
    }
    changed_.notify_all();
  }

 private:
  bool holdLooks_ = false;  // set before the mount, read-only afterwards
  std::mutex mu_;
  std::condition_variable changed_;
  Mode mode_ = Mode::pass;  // guarded by mu_
};

Gate gate;
std::string backing;  // absolute, no trailing slash; FUSE paths start with '/'

std::string real(const char* path) { return backing + path; }

int check(int result) { return result == -1 ? -errno : 0; }

// fuse_file_info::fh holds the backing descriptor and, above it, whether the file was opened for
// writing: flush and release of a read-only file must not block on a freeze.
constexpr uint64_t writableBit = uint64_t{1} << 32;

bool opensForWriting(int flags) { return (flags & O_ACCMODE) != O_RDONLY || (flags & O_TRUNC); }

void keep(fuse_file_info* fi, int fd) {
  fi->fh = uint64_t(unsigned(fd)) | (opensForWriting(fi->flags) ? writableBit : 0);
  fi->direct_io = 1;
}

int fdOf(const fuse_file_info* fi) { return int(fi->fh & 0xffffffffu); }

Access accessOf(const fuse_file_info* fi) {
  return (fi->fh & writableBit) ? Access::change : Access::look;
}

// The kernel strips O_CREAT and O_EXCL itself; O_DIRECT would impose alignment on our buffers.
int backingFlags(int flags) { return flags & ~O_DIRECT; }

void* doInit(fuse_conn_info* conn, fuse_config* cfg) {
  conn->want &= ~FUSE_CAP_WRITEBACK_CACHE;
  cfg->direct_io = 1;
  cfg->kernel_cache = 0;
  cfg->attr_timeout = 0;
  cfg->entry_timeout = 0;
  cfg->negative_timeout = 0;
  cfg->use_ino = 1;
  // Every file call works on the descriptor, so an unlinked open file needs no hidden rename.
  cfg->hard_remove = 1;
  cfg->nullpath_ok = 1;
  cfg->intr = 0;
  return nullptr;
}

int doGetattr(const char* path, struct stat* st, fuse_file_info* fi) {
  if (int e = gate.pass(Access::look)) return e;
  return check(fi ? fstat(fdOf(fi), st) : lstat(real(path).c_str(), st));
}

int doOpendir(const char* path, fuse_file_info* fi) {
  if (int e = gate.pass(Access::look)) return e;
  DIR* dir = opendir(real(path).c_str());
  if (!dir) return -errno;
  fi->fh = reinterpret_cast<uintptr_t>(dir);
  return 0;
}

int doReaddir(const char*, void* buf, fuse_fill_dir_t fill, off_t offset, fuse_file_info* fi,
              fuse_readdir_flags) {
  if (int e = gate.pass(Access::look)) return e;
  DIR* dir = reinterpret_cast<DIR*>(fi->fh);
  // The library asks for the whole listing at once (we pass offset 0), again after a rewind.
  if (offset == 0) rewinddir(dir);
  errno = 0;
  while (dirent* entry = readdir(dir)) {
    struct stat st {};
    st.st_ino = entry->d_ino;
    st.st_mode = DTTOIF(entry->d_type);
    if (fill(buf, entry->d_name, &st, 0, fuse_fill_dir_flags(0))) break;
  }
  return -errno;
}

int doReleasedir(const char*, fuse_file_info* fi) {
  closedir(reinterpret_cast<DIR*>(fi->fh));
  return 0;
}

int doFsyncdir(const char*, int datasync, fuse_file_info* fi) {
  if (int e = gate.pass(Access::change)) return e;
  int fd = dirfd(reinterpret_cast<DIR*>(fi->fh));
  return check(datasync ? fdatasync(fd) : fsync(fd));
}

int doStatfs(const char* path, struct statvfs* st) {
  if (int e = gate.pass(Access::look)) return e;
  return check(statvfs(real(path).c_str(), st));
}

int doOpen(const char* path, fuse_file_info* fi) {
  if (int e = gate.pass(opensForWriting(fi->flags) ? Access::change : Access::look)) return e;
  int fd = open(real(path).c_str(), backingFlags(fi->flags));
  if (fd == -1) return -errno;
  keep(fi, fd);
  return 0;
}

int doCreate(const char* path, mode_t mode, fuse_file_info* fi) {
  if (int e = gate.pass(Access::change)) return e;
  int fd = open(real(path).c_str(), backingFlags(fi->flags) | O_CREAT, mode);
  if (fd == -1) return -errno;
  keep(fi, fd);
  return 0;
}

int doRead(const char*, char* buf, size_t size, off_t offset, fuse_file_info* fi) {
  if (int e = gate.pass(Access::look)) return e;
  ssize_t n = pread(fdOf(fi), buf, size, offset);
  return n == -1 ? -errno : int(n);
}

int doWrite(const char*, const char* buf, size_t size, off_t offset, fuse_file_info* fi) {
  if (int e = gate.pass(Access::change)) return e;
  ssize_t n = pwrite(fdOf(fi), buf, size, offset);
  return n == -1 ? -errno : int(n);
}

int doFlush(const char*, fuse_file_info* fi) {
  if (int e = gate.pass(accessOf(fi))) return e;
  // Closing a duplicate passes the close(2) on (lock release, flush on network filesystems)
  // while our descriptor stays open for the release that follows.
  return check(close(dup(fdOf(fi))));
}

int doRelease(const char*, fuse_file_info* fi) {
  int e = gate.pass(accessOf(fi));
  close(fdOf(fi));  // even when failing: the kernel forgets the file either way
  return e;
}

int doFsync(const char*, int datasync, fuse_file_info* fi) {
  if (int e = gate.pass(Access::change)) return e;
  return check(datasync ? fdatasync(fdOf(fi)) : fsync(fdOf(fi)));
}

int doTruncate(const char* path, off_t size, fuse_file_info* fi) {
  if (int e = gate.pass(Access::change)) return e;
  return check(fi ? ftruncate(fdOf(fi), size) : truncate(real(path).c_str(), size));
}

int doFallocate(const char*, int mode, off_t offset, off_t length, fuse_file_info* fi) {
  if (int e = gate.pass(Access::change)) return e;
  return check(fallocate(fdOf(fi), mode, offset, length));
}

int doMkdir(const char* path, mode_t mode) {
  if (int e = gate.pass(Access::change)) return e;
  return check(mkdir(real(path).c_str(), mode));
}

int doUnlink(const char* path) {
  if (int e = gate.pass(Access::change)) return e;
  return check(unlink(real(path).c_str()));
}

int doRmdir(const char* path) {
  if (int e = gate.pass(Access::change)) return e;
  return check(rmdir(real(path).c_str()));
}

int doRename(const char* from, const char* to, unsigned int flags) {
  if (int e = gate.pass(Access::change)) return e;
  return check(renameat2(AT_FDCWD, real(from).c_str(), AT_FDCWD, real(to).c_str(), flags));
}

int doUtimens(const char* path, const timespec times[2], fuse_file_info* fi) {
  if (int e = gate.pass(Access::change)) return e;
  if (fi) return check(futimens(fdOf(fi), times));
  return check(utimensat(AT_FDCWD, real(path).c_str(), times, AT_SYMLINK_NOFOLLOW));
}

int doChmod(const char* path, mode_t mode, fuse_file_info* fi) {
  if (int e = gate.pass(Access::change)) return e;
  return check(fi ? fchmod(fdOf(fi), mode) : chmod(real(path).c_str(), mode));
}

int doChown(const char* path, uid_t uid, gid_t gid, fuse_file_info* fi) {
  if (int e = gate.pass(Access::change)) return e;
  return check(fi ? fchown(fdOf(fi), uid, gid) : lchown(real(path).c_str(), uid, gid));
}

fuse_operations operations() {
  fuse_operations ops{};
  ops.init = doInit;
  ops.getattr = doGetattr;
  ops.opendir = doOpendir;
  ops.readdir = doReaddir;
  ops.releasedir = doReleasedir;
  ops.fsyncdir = doFsyncdir;
  ops.statfs = doStatfs;
  ops.open = doOpen;
  ops.create = doCreate;
  ops.read = doRead;
  ops.write = doWrite;
  ops.flush = doFlush;
  ops.release = doRelease;
  ops.fsync = doFsync;
  ops.truncate = doTruncate;
  ops.fallocate = doFallocate;
  ops.mkdir = doMkdir;
  ops.unlink = doUnlink;
  ops.rmdir = doRmdir;
  ops.rename = doRename;
  ops.utimens = doUtimens;
  ops.chmod = doChmod;
  ops.chown = doChown;
  return ops;
}

// Signals. The handler only records the request and wakes the control thread through a pipe.
constexpr int noRequest = -1;
std::atomic<int> requestedMode{noRequest};
std::atomic<bool> stopRequested{false};
int wakeWrite = -1;
int failSignal = 0;  // SIGRTMIN, read once: it is a libc call, not a constant

void onSignal(int sig) {
  int saved = errno;
  if (sig == SIGUSR1) {
    requestedMode.store(int(Mode::frozen));
  } else if (sig == SIGUSR2) {
    requestedMode.store(int(Mode::pass));
  } else if (sig == failSignal) {
    requestedMode.store(int(Mode::failing));
  } else {
    stopRequested.store(true);
  }
  char byte = 0;
  [[maybe_unused]] ssize_t ignored = write(wakeWrite, &byte, 1);
  errno = saved;
}

// Interrupts the loop thread's wait so that it notices fuse_exit().
void onLoopWake(int) {}

void say(const std::string& line) {
  std::string text = line + "\n";
  [[maybe_unused]] ssize_t ignored = write(STDOUT_FILENO, text.data(), text.size());
}

void apply(Mode mode) {
  gate.set(mode);
  say(mode == Mode::frozen ? "frozen" : mode == Mode::failing ? "failing" : "thawed");
}

std::atomic<bool> loopDone{false};  // fuse_loop_mt() has returned

// Runs the control side until something ends the daemon, then releases every blocked call and
// stops the FUSE loop.
void control(fuse* fs, int wakeRead, pthread_t loopThread) {
  sigset_t mine;
  sigemptyset(&mine);
  for (int sig : {SIGUSR1, SIGUSR2, failSignal, SIGTERM, SIGINT, SIGHUP}) sigaddset(&mine, sig);
  pthread_sigmask(SIG_UNBLOCK, &mine, nullptr);

  pollfd fds[2] = {{wakeRead, POLLIN, 0}, {fuse_session_fd(fuse_get_session(fs)), 0, 0}};
  for (bool running = true; running;) {
    if (poll(fds, 2, -1) == -1) continue;  // EINTR: our own signals, handled via the pipe
    if (fds[0].revents & POLLIN) {
      char drain[64];
      while (read(wakeRead, drain, sizeof drain) > 0) {
      }
      int mode = requestedMode.exchange(noRequest);
      if (mode != noRequest) apply(Mode(mode));
      if (stopRequested.load()) running = false;
    }
    if (fds[1].revents & (POLLERR | POLLHUP)) running = false;  // connection aborted
  }

  fuse_exit(fs);
  gate.set(Mode::released);
  // The loop thread sleeps until a worker finishes or a signal interrupts it; a single signal
  // could land just before it starts to wait, so repeat until it is out.
  while (!loopDone.load()) {
    pthread_kill(loopThread, SIGRTMIN + 1);
    usleep(20000);
  }
}

int usage() {
  std::fprintf(stderr,
               "usage: freezefs BACKING_DIR MOUNTPOINT [--freeze-all] [--exit-with-parent]\n");
  return 1;
}

void installHandlers() {
  struct sigaction action {};
  action.sa_handler = onSignal;  // no SA_RESTART: the control thread's poll must wake
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGUSR1, SIGUSR2, failSignal, SIGTERM, SIGINT, SIGHUP}) {
    sigaction(sig, &action, nullptr);
  }
  action.sa_handler = onLoopWake;
  sigaction(SIGRTMIN + 1, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

// Only the control thread takes the control signals; threads started from here inherit this.
void blockControlSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGUSR1, SIGUSR2, failSignal, SIGTERM, SIGINT, SIGHUP}) sigaddset(&set, sig);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  pid_t parent = getppid();
  std::vector<std::string> positional;
  bool exitWithParent = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--freeze-all") {
      gate.holdLooks(true);
    } else if (arg == "--exit-with-parent") {
      exitWithParent = true;
    } else if (arg.rfind("--", 0) == 0) {
      return usage();
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != 2) return usage();

  failSignal = SIGRTMIN;
  blockControlSignals();
  int wake[2];
  if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) == -1) return 1;
  wakeWrite = wake[1];
  installHandlers();
  if (exitWithParent) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) kill(getpid(), SIGTERM);  // gone before we asked
  }

  char resolved[PATH_MAX];
  if (!realpath(positional[0].c_str(), resolved)) {
    std::fprintf(stderr, "freezefs: %s: %s\n", positional[0].c_str(), std::strerror(errno));
    return 1;
  }
  backing = resolved;
  if (backing == "/") backing.clear();
  if (!realpath(positional[1].c_str(), resolved)) {
    std::fprintf(stderr, "freezefs: %s: %s\n", positional[1].c_str(), std::strerror(errno));
    return 1;
  }
  std::string mountpoint = resolved;

  const char* fuseArgv[] = {argv[0], "-o", "fsname=freezefs,subtype=freezefs"};
  fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(fuseArgv));
  fuse_operations ops = operations();
  fuse* fs = fuse_new(&args, &ops, sizeof ops, nullptr);
  if (!fs || fuse_mount(fs, mountpoint.c_str()) != 0) {
    if (fs) fuse_destroy(fs);
    fuse_opt_free_args(&args);
    return 1;
  }
  std::thread controller(control, fs, wake[0], pthread_self());
  say("mounted");

  fuse_loop_config* config = fuse_loop_cfg_create();
  // Every blocked call holds a worker thread; looking calls still need free ones.
  fuse_loop_cfg_set_max_threads(config, 1024);
  fuse_loop_mt(fs, config);
  fuse_loop_cfg_destroy(config);

  // The loop may also end on its own, when the kernel drops the connection.
  loopDone.store(true);
  stopRequested.store(true);
  char byte = 0;
  [[maybe_unused]] ssize_t ignored = write(wakeWrite, &byte, 1);
  controller.join();

  fuse_unmount(fs);
  fuse_destroy(fs);
  fuse_opt_free_args(&args);
  return 0;
}
