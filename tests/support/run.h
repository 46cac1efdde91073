// Runs the built radodaro binary and collects what it printed.
#ifndef RADODARO_TESTS_SUPPORT_RUN_H_
#define RADODARO_TESTS_SUPPORT_RUN_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "support/temp_dir.h"

namespace radodaro::testing {

struct RunOptions {
  std::string cwd;                      // empty: the test's own
  uint64_t file_size_limit = 0;         // RLIMIT_FSIZE in bytes; 0: none
  uint64_t memory_limit = 0;            // RLIMIT_AS in bytes; 0: none
  bool unprivileged = false;            // when run as root, run as nobody instead
  std::string stdout_path;              // send standard output there instead
  bool stdout_reader_gone = false;      // standard output a pipe that nobody reads any more
  bool close_standard_streams = false;  // start with descriptors 0, 1 and 2 closed
  bool stdin_never_ends = false;        // standard input a pipe that stays open and empty
  unsigned time_limit_seconds = 0;      // SIGALRM after this long; 0: none
  std::vector<std::pair<std::string, std::string>> environment;  // set for the run
};

// Whether the tool was built with no feature beyond POSIX (RADODARO_PORTABLE):
// it then writes member files under temporary names, as on Windows.
constexpr bool kPortableBuild = RADODARO_PORTABLE_BUILD;

// Whether the binary under test runs under AddressSanitizer, which needs
// far more address space than any memory limit a test could set: this
// build is, or RADODARO_TEST_SANITIZED=1 says the binary is.
bool under_address_sanitizer();

// The binary under test: RADODARO_TEST_BINARY from the environment when
// set (to try the tests on another build), else the one built beside them.
std::string binary_under_test();

struct RunResult {
  int exit_code = -1;  // 0..255, or -1 when ended by a signal
  int signal = 0;
  std::string out;  // in Linux terms (Target::host_text)
  std::string err;
  std::string raw_out;  // as the program printed it
};

// Runs the binary with `args` in a new session, so it has no controlling
// terminal and a key wait ends at once. Every signal starts with its
// default action, as from a shell.
RunResult run_radodaro(const std::vector<std::string>& args, const RunOptions& options = {});

// Starts the binary without waiting; stdout and stderr go to /dev/null.
// `stdout_path`: standard output goes to this file instead of nowhere.
pid_t spawn_radodaro(const std::vector<std::string>& args, const std::string& stdout_path = "");

}  // namespace radodaro::testing

#endif  // RADODARO_TESTS_SUPPORT_RUN_H_
