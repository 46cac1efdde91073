// Which build of the tool the end-to-end tests run: the Linux binary
// itself, or radodaro.exe under Wine (RADODARO_TEST_TARGET=wine). The
// harness speaks Linux on both: it gives the program its paths as the
// program sees them and turns what the program prints back into Linux
// terms, so that every test keeps one exact expectation.
#ifndef RADODARO_TESTS_SUPPORT_TARGET_H_
#define RADODARO_TESTS_SUPPORT_TARGET_H_

#include <string>
#include <vector>

namespace radodaro::testing {

class Target {
 public:
  static const Target& current();

  bool windows() const { return windows_; }
  // What goes before the program's own arguments.
  std::vector<std::string> command() const;
  // An absolute Linux path as the program sees it: /tmp/x is Z:\tmp\x
  // under Wine (drive Z: is /). Anything else is given as it is.
  std::string program_path(const std::string& path) const;
  // What the program printed, in Linux terms: under Wine every line must
  // end with "\r\n", which becomes "\n" (a bare "\n" is kept visibly
  // wrong), and each well-formed Z:\ path becomes its Linux path.
  std::string host_text(const std::string& printed) const;
  // How a run that an interruption ended shows in a waitpid() status: on
  // Linux the signal ends it; on Windows Ctrl-C (which Wine makes of
  // SIGINT) ends it with the status that Windows gives, 0xC000013A, of
  // which Linux sees the low byte.
  bool ended_by_interrupt(int status) const;
  // The signal that interrupts a run: `wanted` on Linux; on Windows only
  // Ctrl-C reaches the program (Wine ends it outright for SIGTERM).
  int interrupt_signal(int wanted) const;
  // The line end the program prints.
  const char* line_end() const { return windows_ ? "\r\n" : "\n"; }

 private:
  bool windows_ = false;
  std::string binary_;
  std::string wine_;  // scripts/wine
};

// Why a test does not run on the Windows build.
inline constexpr char kNeedsAnotherUser[] =
    "runs the tool as another user, and Wine runs only in a prefix of its own user";
inline constexpr char kNeedsResourceLimit[] =
    "sets a Linux resource limit, which ends or starves Wine itself rather than failing a call";
inline constexpr char kNeedsLinuxLock[] =
    "holds the pack with a Linux lock; on Windows share modes do that (WindowsBuild tests)";
inline constexpr char kNeedsTerminal[] =
    "needs a pseudo-terminal, and Wine's console rewrites what goes to one with escape codes";
inline constexpr char kChangedBehindWine[] =
    "changes the pack or folder from Linux behind Wine's back, which Windows itself refuses "
    "(a mapped file cannot be shortened, a folder the run holds cannot be renamed)";
inline constexpr char kNeedsLinuxLinks[] =
    "puts Linux symbolic links at member paths, which Wine does not give Windows programs as "
    "links (a dangling one is not there at all); WindowsBuild tests what stands at a member path";
inline constexpr char kClosesDescriptors[] =
    "closes Linux descriptors 0 to 2 before Wine starts, which gives them to files of its own; "
    "Windows has no descriptors to reuse";

}  // namespace radodaro::testing

// Skips a test that needs what the Windows build does not have, saying why.
#define RADODARO_SKIP_ON_WINDOWS(reason)                                          \
  do {                                                                            \
    if (::radodaro::testing::Target::current().windows()) GTEST_SKIP() << reason; \
  } while (0)

#define RADODARO_ONLY_ON_WINDOWS()                                               \
  do {                                                                           \
    if (!::radodaro::testing::Target::current().windows())                       \
      GTEST_SKIP() << "a case of the Windows build (RADODARO_TEST_TARGET=wine)"; \
  } while (0)

#endif  // RADODARO_TESTS_SUPPORT_TARGET_H_
