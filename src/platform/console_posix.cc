#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "platform/console.h"
#include "platform/posix_internal.h"

namespace radodaro::platform {

namespace {

constexpr unsigned char kEscape = 0x1b;
// How long the rest of an escape sequence may take to arrive, in tenths of
// a second: long enough for a slow line or a loaded machine, short enough
// that a lone Escape key still feels like one key.
constexpr cc_t kSequenceWait = 3;

ssize_t read_retrying(int fd, unsigned char* buf, size_t length) {
  ssize_t n;
  do {
    n = ::read(fd, buf, length);
  } while (n < 0 && errno == EINTR);
  return n;
}

// After an Escape, takes the rest of the sequence that a function or arrow
// key sends (ESC [ ... final, or ESC O x), so that its tail does not end
// the next wait. Bytes that take longer than kSequenceWait end it.
void drain_sequence(int tty, termios raw) {
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = kSequenceWait;
  if (::tcsetattr(tty, TCSANOW, &raw) != 0) return;
  unsigned char c = 0;
  if (read_retrying(tty, &c, 1) != 1) return;
  if (c == 'O') {
    (void)read_retrying(tty, &c, 1);
    return;
  }
  if (c != '[') return;
  // Parameters and intermediates run from 0x20 to 0x3F; a byte from 0x40
  // to 0x7E ends the sequence.
  for (int i = 0; i < 16; ++i) {
    if (read_retrying(tty, &c, 1) != 1 || (c >= 0x40 && c <= 0x7E)) return;
  }
}

}  // namespace

void wait_for_key() {
  Handle tty(::open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC));
  if (!tty.is_open()) return;
  const int fd = posix::fd_of(tty);
  termios saved;
  if (::tcgetattr(fd, &saved) != 0) return;

  termios raw = saved;
  raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  posix::set_terminal_restore(fd, saved, raw);
  if (::tcsetattr(fd, TCSANOW, &raw) == 0) {
    unsigned char key = 0;
    // Modifier keys alone send nothing, so they never end the wait.
    if (read_retrying(fd, &key, 1) == 1 && key == kEscape) drain_sequence(fd, raw);
  }
  ::tcsetattr(fd, TCSANOW, &saved);
  posix::clear_terminal_restore();
}

bool error_output_is_terminal() { return ::isatty(STDERR_FILENO) == 1; }

bool binary_output() { return true; }

}  // namespace radodaro::platform
