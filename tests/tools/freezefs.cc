// freezefs: a pass-through FUSE filesystem that stops answering on demand, standing in for a
// recording drive that hangs (a USB stick on a flaky hub).
//
//   freezefs BACKING_DIR MOUNTPOINT [--freeze-all]
//
// Says "mounted" once in place. SIGUSR1 freezes (calls that change the drive block), SIGUSR2
// thaws, SIGRTMIN fails them with EIO; each is acknowledged with "frozen", "thawed" or
// "failing". --freeze-all holds the looking calls too (getattr, read), as a hung drive does.
// Nothing is cached, so a frozen write blocks its writer inside write(2), beyond SIGKILL.
// SIGTERM, the parent's death or a dropped connection release every call and unmount.

#define FUSE_USE_VERSION 312
#include <fcntl.h>
#include <fuse.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

enum class Mode { pass, frozen, failing, released };

std::mutex mu;
std::condition_variable changed;
Mode mode = Mode::pass;  // guarded by mu; once released it no longer changes
bool holdLooks = false;  // set before the mount
std::string backing;

// 0 to go on or -EIO; waits while frozen. `change`: the call changes the drive.
int gate(bool change) {
  if (!change && !holdLooks) return 0;
  std::unique_lock lock(mu);
  changed.wait(lock, [] { return mode != Mode::frozen; });
  return mode == Mode::failing ? -EIO : 0;
}

void setMode(Mode m) {
  {
    std::lock_guard lock(mu);
    if (mode != Mode::released) mode = m;
  }
  changed.notify_all();
}

std::string real(const char* path) { return backing + path; }
int check(int result) { return result == -1 ? -errno : 0; }

// fh: the backing descriptor, and above it whether the file was opened for writing (the flush
// and release of a file opened for reading must not block).
constexpr uint64_t writable = uint64_t{1} << 32;
int fdOf(const fuse_file_info* fi) { return int(fi->fh & 0xffffffffu); }
bool changes(const fuse_file_info* fi) { return fi->fh & writable; }

int keep(fuse_file_info* fi, int fd) {
  if (fd == -1) return -errno;
  const bool writing = (fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & O_TRUNC);
  fi->fh = uint64_t(unsigned(fd)) | (writing ? writable : 0);
  fi->direct_io = 1;
  return 0;
}

fuse_operations operations() {
  fuse_operations ops{};
  ops.init = [](fuse_conn_info* conn, fuse_config* cfg) -> void* {
    conn->want &= ~FUSE_CAP_WRITEBACK_CACHE;
    cfg->direct_io = 1;
    cfg->kernel_cache = 0;
    cfg->attr_timeout = cfg->entry_timeout = cfg->negative_timeout = 0;
    cfg->hard_remove = cfg->nullpath_ok = 1;
    return nullptr;
  };
  ops.getattr = [](const char* path, struct stat* st, fuse_file_info* fi) {
    if (int e = gate(false)) return e;
    return check(fi ? fstat(fdOf(fi), st) : lstat(real(path).c_str(), st));
  };
  ops.mkdir = [](const char* path, mode_t m) {
    if (int e = gate(true)) return e;
    return check(mkdir(real(path).c_str(), m));
  };
  ops.open = [](const char* path, fuse_file_info* fi) {
    const bool writing = (fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & O_TRUNC);
    if (int e = gate(writing)) return e;
    return keep(fi, open(real(path).c_str(), fi->flags & ~O_DIRECT));
  };
  ops.create = [](const char* path, mode_t m, fuse_file_info* fi) {
    if (int e = gate(true)) return e;
    return keep(fi, open(real(path).c_str(), (fi->flags & ~O_DIRECT) | O_CREAT, m));
  };
  ops.read = [](const char*, char* buf, size_t size, off_t offset, fuse_file_info* fi) {
    if (int e = gate(false)) return e;
    ssize_t n = pread(fdOf(fi), buf, size, offset);
    return n == -1 ? -errno : int(n);
  };
  ops.write = [](const char*, const char* buf, size_t size, off_t offset, fuse_file_info* fi) {
    if (int e = gate(true)) return e;
    ssize_t n = pwrite(fdOf(fi), buf, size, offset);
    return n == -1 ? -errno : int(n);
  };
  ops.flush = [](const char*, fuse_file_info* fi) { return gate(changes(fi)); };
  ops.release = [](const char*, fuse_file_info* fi) {
    int e = gate(changes(fi));
    close(fdOf(fi));  // the kernel forgets the file either way
    return e;
  };
  ops.fsync = [](const char*, int datasync, fuse_file_info* fi) {
    if (int e = gate(true)) return e;
    return check(datasync ? fdatasync(fdOf(fi)) : fsync(fdOf(fi)));
  };
  ops.truncate = [](const char* path, off_t size, fuse_file_info* fi) {
    if (int e = gate(true)) return e;
    return check(fi ? ftruncate(fdOf(fi), size) : truncate(real(path).c_str(), size));
  };
  return ops;
}

void say(const char* line) { [[maybe_unused]] auto n = write(STDOUT_FILENO, line, strlen(line)); }
std::atomic<bool> loopDone{false};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 1;
  holdLooks = argc > 3 && std::string(argv[3]) == "--freeze-all";
  char resolved[PATH_MAX];
  if (!realpath(argv[1], resolved)) return 1;
  backing = resolved;
  const int failSignal = SIGRTMIN, wakeSignal = SIGRTMIN + 1;
  sigset_t control;
  sigemptyset(&control);
  for (int sig : {SIGUSR1, SIGUSR2, failSignal, SIGTERM, SIGINT, SIGHUP}) sigaddset(&control, sig);
  pthread_sigmask(SIG_BLOCK, &control, nullptr);  // every thread inherits it; sigwait takes them
  struct sigaction wake {};
  wake.sa_handler = [](int) {};  // no SA_RESTART: interrupts the loop's wait
  sigaction(wakeSignal, &wake, nullptr);
  signal(SIGPIPE, SIG_IGN);
  const pid_t parent = getppid();
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) return 1;

  const char* fuseArgv[] = {argv[0], "-o", "fsname=freezefs,subtype=freezefs"};
  fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(fuseArgv));
  const fuse_operations ops = operations();
  fuse* fs = fuse_new(&args, &ops, sizeof ops, nullptr);
  if (!fs || fuse_mount(fs, argv[2]) != 0) return 1;
  const pthread_t loopThread = pthread_self();
  std::thread controller([&] {
    for (int sig = 0; sig != SIGTERM && sig != SIGINT && sig != SIGHUP;) {
      if (sigwait(&control, &sig) != 0) continue;
      const Mode m = sig == SIGUSR1 ? Mode::frozen : sig == SIGUSR2 ? Mode::pass : Mode::failing;
      if (sig == SIGUSR1 || sig == SIGUSR2 || sig == failSignal) {
        setMode(m);
        say(m == Mode::frozen ? "frozen\n" : m == Mode::pass ? "thawed\n" : "failing\n");
      }
    }
    fuse_exit(fs);
    setMode(Mode::released);
    // The loop thread sleeps until a worker ends or a signal comes; one could land just before
    // it starts to wait, so repeat until it is out.
    while (!loopDone.load()) {
      pthread_kill(loopThread, wakeSignal);
      usleep(20000);
    }
  });
  say("mounted\n");
  fuse_loop_config* config = fuse_loop_cfg_create();
  fuse_loop_cfg_set_max_threads(config, 1024);  // every blocked call holds a worker
  fuse_loop_mt(fs, config);
  loopDone = true;
  pthread_kill(controller.native_handle(), SIGTERM);  // the loop may end on its own
  controller.join();
  fuse_unmount(fs);
  fuse_destroy(fs);
  return 0;
}
