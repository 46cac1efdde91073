#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/tool.h"
#include "platform/console.h"

int main(int argc, char** argv) {
  // People read the lines as they come; scripts and files get them in large
  // blocks.
  if (!radodaro::platform::stdout_is_terminal()) std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);

  int status = radodaro::run_tool(argc, argv);

  // Lines that never reached their file are a failure too, not a success.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "radodaro: can't write standard output: %s\n", std::strerror(errno));
    status = -1;
  }
  return status;
}
