#ifndef RADODARO_PLATFORM_CONSOLE_H_
#define RADODARO_PLATFORM_CONSOLE_H_

namespace radodaro::platform {

// Waits for one key press on the console itself, not on standard input,
// without echo, and discards it. A key that sends a sequence counts once;
// a modifier key alone does not end the wait. Returns at once when the
// process has no console. The console's settings are restored on return,
// when an interruption ends the process, and when the run is stopped
// (Ctrl-Z); they are taken up again when it continues.
void wait_for_key();

// Whether standard error is a terminal (a console on Windows), where a
// progress line can be drawn over and over and cleared.
bool error_output_is_terminal();

// Makes standard output carry bytes as they are, for a command that writes
// an entry's content there: on Windows no "\n" becomes "\r\n" and no
// Ctrl-Z ends anything. False, with nothing changed, when it cannot.
bool binary_output();

}  // namespace radodaro::platform

#endif  // RADODARO_PLATFORM_CONSOLE_H_
