#ifndef RADODARO_PLATFORM_CONSOLE_H_
#define RADODARO_PLATFORM_CONSOLE_H_

namespace radodaro::platform {

// Waits for one key press on the controlling terminal, not on standard
// input, without echo, and discards it. Returns at once when the process has
// no terminal. The terminal's settings are restored on return and, through
// the cleanup handlers, when a signal such as Ctrl-C ends the process.
void wait_for_key();

// Whether standard output is a terminal, where a person reads it line by line.
bool stdout_is_terminal();

}  // namespace radodaro::platform

#endif  // RADODARO_PLATFORM_CONSOLE_H_
