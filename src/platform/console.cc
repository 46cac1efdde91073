#include "platform/console.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "platform/files.h"
#include "platform/signals.h"

namespace radodaro::platform {

namespace {

constexpr unsigned char kEscape = 0x1b;

ssize_t read_retrying(int fd, unsigned char* buf, size_t length) {
  ssize_t n;
  do {
    n = ::read(fd, buf, length);
  } while (n < 0 && errno == EINTR);
  return n;
}

}  // namespace

void wait_for_key() {
  UniqueFd tty(::open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC));
  if (!tty.valid()) return;
  termios saved;
  if (::tcgetattr(tty.get(), &saved) != 0) return;

  termios raw = saved;
  raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  set_terminal_restore(tty.get(), saved);
  if (::tcsetattr(tty.get(), TCSANOW, &raw) == 0) {
    unsigned char key = 0;
    // Modifier keys alone send nothing, so they never end the wait.
    if (read_retrying(tty.get(), &key, 1) == 1 && key == kEscape) {
      // A function or arrow key sends a sequence; take all of it, so that
      // its tail does not end the next wait.
      raw.c_cc[VMIN] = 0;
      if (::tcsetattr(tty.get(), TCSANOW, &raw) == 0) {
        unsigned char rest[16];
        (void)read_retrying(tty.get(), rest, sizeof rest);
      }
    }
  }
  ::tcsetattr(tty.get(), TCSANOW, &saved);
  clear_terminal_restore();
}

bool stdout_is_terminal() { return ::isatty(STDOUT_FILENO) == 1; }

}  // namespace radodaro::platform
