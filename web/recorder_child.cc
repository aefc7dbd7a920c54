#include "web/recorder_child.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <nlohmann/json.hpp>
#include <thread>

namespace quilltap::web {
namespace {

struct Spawned {
  pid_t pid = -1;
  int input = -1;   // write end of the child's stdin
  int output = -1;  // read end of the child's stdout
};

// Between fork and exec only async-signal-safe calls. The child gets an empty
// signal mask and default dispositions (ours block the stop signals for the
// signal thread), its own process group, so that a Ctrl-C in our terminal
// reaches only us and we decide how the take ends, and none of our sockets.
[[noreturn]] void becomeChild(const std::vector<char*>& argv, int in, int out) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGPIPE, SIG_DFL);
  setpgid(0, 0);
  int null = open("/dev/null", O_WRONLY);
  dup2(in, STDIN_FILENO);
  dup2(out, STDOUT_FILENO);
  dup2(null, STDERR_FILENO);
  syscall(SYS_close_range, 3U, ~0U, 0U);
  execv(argv[0], argv.data());
  _exit(127);
}

std::optional<Spawned> spawn(const std::string& binary, const std::vector<std::string>& args) {
  std::vector<std::string> words{binary};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return std::nullopt;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return std::nullopt;
  }
  pid_t pid = fork();
  if (pid == 0) becomeChild(argv, in[0], out[1]);
  close(in[0]);
  close(out[1]);
  if (pid < 0) {
    close(in[1]);
    close(out[0]);
    return std::nullopt;
  }
  return Spawned{pid, in[1], out[0]};
}

ChildEnd reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFSIGNALED(status)) return {std::nullopt, WTERMSIG(status)};
  return {WEXITSTATUS(status), std::nullopt};
}

// Reads `fd` to its end, handing over each complete line.
template <typename OnLine>
void readLines(int fd, OnLine onLine) {
  std::string held;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    held.append(buffer, static_cast<std::size_t>(n));
    std::size_t start = 0;
    for (std::size_t end; (end = held.find('\n', start)) != std::string::npos; start = end + 1) {
      onLine(held.substr(start, end - start));
    }
    held.erase(0, start);
  }
}

bool writeAll(int fd, std::string bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

RecorderChild::~RecorderChild() {
  close();
  std::unique_lock<std::mutex> hold(mutex_);
  changed_.wait(hold, [&] { return readers_ == 0; });  // they end with their recorder
}

std::optional<std::string> RecorderChild::listDevices() {
  std::optional<Spawned> child = spawn(binary_, {"list"});
  if (!child) return std::nullopt;
  ::close(child->input);
  std::optional<std::string> first;
  readLines(child->output, [&](std::string line) {
    if (!first) first = std::move(line);
  });
  ::close(child->output);
  reap(child->pid);
  return first;
}

RecorderChild::Start RecorderChild::record(const std::vector<std::string>& args,
                                           std::string* firstLine) {
  std::unique_lock<std::mutex> hold(mutex_);
  if (closed_ || (current_ && !current_->end)) return Start::busy;
  std::vector<std::string> words{"record"};
  words.insert(words.end(), args.begin(), args.end());
  std::optional<Spawned> child = spawn(binary_, words);
  if (!child) return Start::silent;
  auto run = std::make_shared<Run>();
  run->id = current_ ? current_->id + 1 : 1;
  run->pid = child->pid;
  run->input = child->input;
  current_ = run;
  ++readers_;
  std::thread([this, run, output = child->output] { readUntilExit(run, output); }).detach();

  changed_.notify_all();  // followers move on to the new recording
  changed_.wait(hold, [&] { return !run->lines.empty() || run->end; });
  if (run->lines.empty()) return Start::silent;
  *firstLine = run->lines.front();
  return Start::answered;
}

void RecorderChild::readUntilExit(std::shared_ptr<Run> run, int output) {
  readLines(output, [&](std::string line) {
    std::lock_guard<std::mutex> hold(mutex_);
    run->lines.push_back(std::move(line));
    changed_.notify_all();
  });
  ::close(output);
  ChildEnd end = reap(run->pid);
  std::lock_guard<std::mutex> hold(mutex_);
  if (!run->lines.empty()) {
    nlohmann::json last = nlohmann::json::parse(run->lines.back(), nullptr, false);
    end.stopped = last.is_object() && last.value("event", "") == "stopped";
  }
  ::close(run->input);
  run->input = -1;
  run->end = end;
  --readers_;
  changed_.notify_all();
}

bool RecorderChild::send(const std::string& line) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (!current_ || current_->end) return false;
  // The recorder reads its stdin at once, so a short line never blocks here;
  // a recorder that has gone makes it fail with EPIPE (SIGPIPE is ignored).
  return writeAll(current_->input, line + "\n");
}

std::optional<RecorderChild::Ending> RecorderChild::stop() {
  std::unique_lock<std::mutex> hold(mutex_);
  std::shared_ptr<Run> run = current_;
  if (!run || run->end) return std::nullopt;
  writeAll(run->input, "stop\n");  // fails only if it is exiting anyway
  changed_.wait(hold, [&] { return run->end.has_value(); });
  return Ending{*run->end, run->lines.empty() ? "" : run->lines.back()};
}

RecorderChild::News RecorderChild::follow(Cursor& cursor, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> hold(mutex_);
  auto pending = [&] {
    if (!current_) return false;
    if (current_->id != cursor.run) return true;
    return current_->lines.size() > cursor.next || (current_->end && !cursor.endSeen);
  };
  News news;
  // Once closed, what is pending still goes out: the last take's end.
  if (!changed_.wait_for(hold, timeout, [&] { return closed_ || pending(); }) || !pending()) {
    return news;
  }
  if (current_->id != cursor.run) cursor = Cursor{current_->id, 0, false};
  news.lines.assign(current_->lines.begin() + static_cast<std::ptrdiff_t>(cursor.next),
                    current_->lines.end());
  cursor.next = current_->lines.size();
  if (current_->end && !cursor.endSeen) {
    news.end = current_->end;
    cursor.endSeen = true;
  }
  return news;
}

void RecorderChild::close() {
  std::lock_guard<std::mutex> hold(mutex_);
  closed_ = true;
  changed_.notify_all();
}

bool RecorderChild::closed() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return closed_;
}

}  // namespace quilltap::web
