// The process as a whole: its standard streams, what an interruption
// (Ctrl-C, a hang-up, a closed pipe, a termination request) undoes before
// it ends the run, and reads of mapped files that another process may cut
// short.
#ifndef RADODARO_PLATFORM_PROCESS_H_
#define RADODARO_PLATFORM_PROCESS_H_

#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "platform/files.h"

namespace radodaro::platform {

// Call first. Opens the null device on any standard stream that is closed,
// so that no file the tool opens can become one of them; makes a file size
// limit fail the write (kNoSpace) instead of ending the process; and gives
// standard output a 64 KiB buffer unless a person reads it on a terminal.
void prepare_process();

// The command line, each argument in UTF-8 (on Windows read as the wide
// characters the system holds, whatever the code page).
std::vector<std::string> arguments(int argc, char** argv);

// Called last, after the final flush. A program that Explorer started has
// a console window of its own that closes as it exits, taking the lines
// with it; there it says "Press any key to close this window." and waits
// for a key. Run from a shell, a script or a pipe it never waits.
void before_exit();

// Whether a console that `processes` processes are attached to (0: none)
// is this program's own, made for it alone: the case of before_exit().
inline bool console_is_ours_alone(unsigned processes) { return processes == 1; }

// Whether the program runs in a console of its own, as when Explorer
// starts it (a file dropped on it, say); never outside Windows.
bool console_of_our_own();

// Writes out what standard output holds. On failure, output_error() says
// why, as the first failed write saw it.
bool flush_output();
std::string output_error();

// Installs what undoes an interrupted run; an interruption that is ignored
// when the run starts stays ignored.
void handle_interruptions();

// The width of the line drawn over and over on standard error (the
// progress line), 0 for none: an interruption blanks it out before the
// process ends, so the shell's prompt starts on a clean line.
void set_drawn_line(size_t width);

// While one lives on the thread that commits, an interruption waits, and
// is handled as the last one ends: what is named, and the lines that say
// so, go out together or not at all. Never held across a wait for the
// user.
class InterruptsDeferred {
 public:
  InterruptsDeferred();
  ~InterruptsDeferred();
  InterruptsDeferred(const InterruptsDeferred&) = delete;
  InterruptsDeferred& operator=(const InterruptsDeferred&) = delete;
};

// While one lives, an interruption cuts `file` back to `length` before it
// ends the process: what a group run appended goes, the old pack stays.
class CutBackOnInterrupt {
 public:
  CutBackOnInterrupt(const Handle& file, uint64_t length);
  ~CutBackOnInterrupt();
  CutBackOnInterrupt(const CutBackOnInterrupt&) = delete;
  CutBackOnInterrupt& operator=(const CutBackOnInterrupt&) = delete;
};

// From here until the process exits, interruptions wait: the run finishes
// what it is doing (a commit, or putting the pack back) and then ends with
// the status it reports, as if the interruption had come too late.
void hold_interruptions();

// Starts a thread that works for the one that commits: interruptions are
// never handled on it, so that hold_interruptions() holds for the whole
// process. The only files it may create are NewFiles, which an
// interruption takes away; it names none.
std::thread start_worker(std::function<void()> fn);

// Runs fn(arg), which reads the `length` mapped bytes at `data` and the
// `length2` at `data2` (and no other mapped bytes; `length2` may be 0).
// Returns false when a file no longer held all of them because another
// process cut it short; fn then read zeros where the file was missing, but
// ran to its end, so it may own anything.
bool run_reading_mapped(const uint8_t* data, uint64_t length, const uint8_t* data2,
                        uint64_t length2, void (*fn)(void*), void* arg);

template <typename F>
bool read_mapped(const uint8_t* data, uint64_t length, F&& fn) {
  return run_reading_mapped(
      data, length, nullptr, 0, [](void* p) { (*static_cast<std::remove_reference_t<F>*>(p))(); },
      static_cast<void*>(&fn));
}

template <typename F>
bool read_mapped(const uint8_t* data, uint64_t length, const uint8_t* data2, uint64_t length2,
                 F&& fn) {
  return run_reading_mapped(
      data, length, data2, length2,
      [](void* p) { (*static_cast<std::remove_reference_t<F>*>(p))(); }, static_cast<void*>(&fn));
}

}  // namespace radodaro::platform

#endif  // RADODARO_PLATFORM_PROCESS_H_
