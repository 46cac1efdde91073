#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "cli/tool.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  radodaro::platform::prepare_process();

  int status = -1;
  try {
    const std::vector<std::string> args = radodaro::platform::arguments(argc, argv);
    std::vector<const char*> pointers;
    pointers.reserve(args.size() + 1);
    for (const std::string& a : args) pointers.push_back(a.c_str());
    pointers.push_back(nullptr);
    status = radodaro::run_tool(static_cast<int>(args.size()), pointers.data());
  } catch (const std::bad_alloc&) {
    // What was under way has been undone on the way here.
    std::fprintf(stderr, "radodaro: out of memory\n");
    status = -1;
  } catch (const std::exception& e) {
    // A thread that could not start, say: undone the same way.
    std::fprintf(stderr, "radodaro: %s\n", e.what());
    status = -1;
  }

  // Lines that never reached their file are a failure too, not a success.
  if (!radodaro::platform::flush_output()) {
    std::fprintf(stderr, "radodaro: can't write standard output: %s\n",
                 radodaro::platform::output_error().c_str());
    status = -1;
  }
  radodaro::platform::before_exit();
  return status;
}
