// freezefs BACKING_DIR MOUNTPOINT [--freeze-all]: a pass-through FUSE filesystem that stops
// answering on demand, standing in for a recording drive that hangs (a USB stick on a flaky hub).
// Says "mounted" once in place. SIGUSR1 freezes (calls that change the drive block), SIGUSR2
// thaws, SIGRTMIN fails them with EIO; each is acknowledged with "frozen", "thawed" or
// "failing". --freeze-all holds the looking calls too (getattr, read), as a hung drive does.
// Nothing is cached, so a frozen write blocks its writer inside write(2), beyond SIGKILL.
// SIGTERM, the parent's death or a dropped connection release every call and unmount.

#define FUSE_USE_VERSION 312
#include <fcntl.h>
#include <fuse.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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
  std::lock_guard lock(mu);
  if (mode != Mode::released) mode = m;
  changed.notify_all();
}

// Each call: `gate() ?: call` makes the call only once the gate lets it through; -1 is -errno.
std::string real(const char* path) { return backing + path; }
int check(ssize_t result) { return result == -1 ? -errno : int(result); }

// fh: the backing descriptor, and above it whether the file was opened for writing (the flush
// and release of a file opened for reading must not block).
constexpr uint64_t writable = uint64_t{1} << 32;
int fdOf(const fuse_file_info* fi) { return int(fi->fh & 0xffffffffu); }
bool changes(const fuse_file_info* fi) { return fi->fh & writable; }
bool writes(const fuse_file_info* fi) { return (fi->flags & (O_ACCMODE | O_TRUNC)) != O_RDONLY; }

int keep(fuse_file_info* fi, int fd) {
  fi->fh = uint64_t(unsigned(fd)) | (writes(fi) ? writable : 0);
  return fd == -1 ? -errno : 0;
}

fuse_operations operations() {
  fuse_operations ops{};
  ops.init = [](fuse_conn_info*, fuse_config* cfg) -> void* {  // no kernel cache of any kind
    cfg->attr_timeout = cfg->entry_timeout = cfg->negative_timeout = 0;
    cfg->direct_io = cfg->hard_remove = cfg->nullpath_ok = 1;
    return nullptr;
  };
  ops.getattr = [](const char* path, struct stat* st, fuse_file_info* fi) {
    return gate(false) ?: check(fi ? fstat(fdOf(fi), st) : lstat(real(path).c_str(), st));
  };
  ops.mkdir = [](const char* path, mode_t m) {
    return gate(true) ?: check(mkdir(real(path).c_str(), m));
  };
  ops.open = [](const char* path, fuse_file_info* fi) {
    return gate(writes(fi)) ?: keep(fi, open(real(path).c_str(), fi->flags & ~O_DIRECT));
  };
  ops.create = [](const char* path, mode_t m, fuse_file_info* fi) {
    return gate(true) ?: keep(fi, open(real(path).c_str(), (fi->flags & ~O_DIRECT) | O_CREAT, m));
  };
  ops.read = [](const char*, char* buf, size_t size, off_t offset, fuse_file_info* fi) {
    return gate(false) ?: check(pread(fdOf(fi), buf, size, offset));
  };
  ops.write = [](const char*, const char* buf, size_t size, off_t offset, fuse_file_info* fi) {
    return gate(true) ?: check(pwrite(fdOf(fi), buf, size, offset));
  };
  ops.flush = [](const char*, fuse_file_info* fi) { return gate(changes(fi)); };
  // The kernel forgets the file whatever the answer.
  ops.release = [](const char*, fuse_file_info* fi) { return close(fdOf(fi)), gate(changes(fi)); };
  ops.fsync = [](const char*, int datasync, fuse_file_info* fi) {
    return gate(true) ?: check(datasync ? fdatasync(fdOf(fi)) : fsync(fdOf(fi)));
  };
  ops.truncate = [](const char* path, off_t size, fuse_file_info* fi) {
    return gate(true) ?: check(fi ? ftruncate(fdOf(fi), size) : truncate(real(path).c_str(), size));
  };
  return ops;
}

void say(const char* line) { [[maybe_unused]] auto n = write(STDOUT_FILENO, line, strlen(line)); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 1;
  holdLooks = argc > 3 && std::string(argv[3]) == "--freeze-all";
  backing = argv[1];  // the calls come in from the mount's root, and this program stays put
  sigset_t control;
  sigemptyset(&control);
  for (int sig : {SIGUSR1, SIGUSR2, SIGRTMIN, SIGTERM, SIGINT, SIGHUP}) sigaddset(&control, sig);
  pthread_sigmask(SIG_BLOCK, &control, nullptr);  // every thread inherits it; sigwait takes them
  signal(SIGPIPE, SIG_IGN);
  const pid_t parent = getppid();
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) return 1;

  const char* fuseArgv[] = {argv[0], "-o", "fsname=freezefs,subtype=freezefs"};
  fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(fuseArgv));
  const fuse_operations ops = operations();
  fuse* fs = fuse_new(&args, &ops, sizeof ops, nullptr);
  if (!fs || fuse_mount(fs, argv[2]) != 0) return 1;
  std::thread([fs] {
    fuse_loop_config* config = fuse_loop_cfg_create();
    fuse_loop_cfg_set_max_threads(config, 1024);  // every blocked call holds a worker
    fuse_loop_mt(fs, config);
    kill(getpid(), SIGTERM);  // the connection dropped
  }).detach();
  say("mounted\n");
  for (int sig = 0; sig != SIGTERM && sig != SIGINT && sig != SIGHUP;) {
    if (sigwait(&control, &sig) != 0 || (sig != SIGUSR1 && sig != SIGUSR2 && sig != SIGRTMIN))
      continue;
    setMode(sig == SIGUSR1 ? Mode::frozen : sig == SIGUSR2 ? Mode::pass : Mode::failing);
    say(sig == SIGUSR1 ? "frozen\n" : sig == SIGUSR2 ? "thawed\n" : "failing\n");
  }
  // Every blocked call goes on; the lazy unmount then closes the connection, which ends whatever
  // is still in the kernel's queue.
  setMode(Mode::released);
  usleep(100000);  // the released calls answer
  fuse_unmount(fs);
  _exit(0);  // the loop's threads are still there
}
