#include <signal.h>

#include "app/command_line.h"

int main(int argc, char** argv) {
  // A front end that closes our output must not kill the recorder before its
  // files are closed; a failed write of an event is simply ignored.
  signal(SIGPIPE, SIG_IGN);
  return quilltap::runCommandLine(argc, argv);
}
