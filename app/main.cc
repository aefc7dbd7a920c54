#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "app/command_line.h"

namespace {

// A descriptor among 0, 1 and 2 that the parent left closed would be taken by
// the next file anyone opens: libjack's metadata database once landed on a
// closed stdout and received our event lines. Each closed one gets /dev/null
// before anything else is opened, and none of them is closed again.
void occupyStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    int null = open("/dev/null", O_RDWR);
    if (null >= 0 && null != fd) {
      dup2(null, fd);
      close(null);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  occupyStandardDescriptors();
  // A front end that closes our output must not kill the recorder before its
  // files are closed; a failed write of an event is simply ignored.
  signal(SIGPIPE, SIG_IGN);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // The recorder speaks only in events on stdout. Libraries do not all ask
  // before they print (libjack's metadata store reports its database errors
  // on stderr), so stderr leads nowhere. Sanitizer builds keep it for reports.
  if (int null = open("/dev/null", O_WRONLY | O_CLOEXEC); null > STDERR_FILENO) {
    dup2(null, STDERR_FILENO);
    close(null);
  }
#endif
  quilltap::EventStream events;
  std::unique_ptr<quilltap::AudioSystem> audio = quilltap::makeAudioSystem();
  quilltap::Status status =
      quilltap::runCommandLine(std::vector<std::string>(argv + 1, argv + argc), *audio, events);
  if (status.ok()) return 0;
  events.emit({{"event", "error"}, {"message", status.message()}});
  return 1;
}
