#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "app/command_line.h"

int main(int argc, char** argv) {
  // A front end that closes our output must not kill the recorder before its
  // files are closed; a failed write of an event is simply ignored.
  signal(SIGPIPE, SIG_IGN);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // The recorder speaks only in events on stdout. Libraries do not all ask
  // before they print (libjack's metadata store reports its database errors
  // on stderr), so stderr leads nowhere. Sanitizer builds keep it for reports.
  if (int null = open("/dev/null", O_WRONLY | O_CLOEXEC); null >= 0) {
    dup2(null, STDERR_FILENO);
    close(null);
  }
#endif
  return quilltap::runCommandLine(argc, argv);
}
