#include <cstdio>
#include <new>

#include "cli/tool.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  radodaro::platform::prepare_process();

  int status = -1;
  try {
    status = radodaro::run_tool(argc, argv);
  } catch (const std::bad_alloc&) {
    // What was under way has been undone on the way here.
    std::fprintf(stderr, "radodaro: out of memory\n");
    status = -1;
  }

  // Lines that never reached their file are a failure too, not a success.
  if (!radodaro::platform::flush_output()) {
    std::fprintf(stderr, "radodaro: can't write standard output: %s\n",
                 radodaro::platform::output_error().c_str());
    status = -1;
  }
  return status;
}
