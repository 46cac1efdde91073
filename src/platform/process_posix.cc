#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <utility>

#include "platform/posix_features.h"
#include "platform/posix_internal.h"
#include "platform/process.h"

namespace radodaro::platform {

namespace {

constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

std::atomic<int> g_cut_fd{-1};
std::atomic<uint64_t> g_cut_length{0};

// The run's temporary files, which an interruption removes: a slot for
// each that may be under way at once, on any thread. A slot holds the
// folder of its file once the file is there, kMaking while it is being
// made (the handler waits for that to end, so that no file comes to be
// after it looked), or kFree.
constexpr int kFree = -1;
constexpr int kMaking = -2;
struct TempFile {
  std::atomic<int> folder{kFree};
  std::atomic<const char*> name{nullptr};
};
TempFile g_temp_files[posix::kMaxTempFiles];
// Set as an interruption begins to undo the run: no temporary file is
// begun after it.
std::atomic<bool> g_ending{false};
std::atomic<int> g_tty_fd{-1};
termios g_tty_saved;
termios g_tty_raw;

// The guarded read under way on each thread, and the stretches of mappings whose pages a
// fault replaced with zeros: they stay zeros until their mapping goes, and
// every later read that touches them must fail too.
struct Guarded {
  std::atomic<uintptr_t> begin{0};
  std::atomic<uintptr_t> end{0};
};
thread_local Guarded g_guarded[2];
struct Zeroed {
  std::atomic<uintptr_t> begin{0};
  std::atomic<uintptr_t> end{0};
};
constexpr int kMaxZeroed = 64;
Zeroed g_zeroed[kMaxZeroed];
std::atomic<bool> g_zeroed_overflow{false};

// Standard output, written through our own function so that the error of
// the first failed write is kept for the message. Into a file or a pipe it
// is buffered here rather than by the C library, so that an interruption
// writes out what the buffer holds: every line printed before it reaches
// its reader, and no member is named without its line.
int g_output_errno = 0;
char g_output_buffer[1 << 16];
std::atomic<size_t> g_output_held{0};  // bytes of g_output_buffer not yet written
bool g_output_ours = false;            // stdout is buffered in g_output_buffer

// While above zero on the thread that interruptions reach, they wait: the
// handler only notes them, and the last scope to end handles them.
std::atomic<int> g_deferred{0};
std::atomic<int> g_pending_interrupt{0};

bool write_all(const char* data, size_t length) {
  size_t done = 0;
  while (done < length) {
    const ssize_t n = ::write(STDOUT_FILENO, data + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (g_output_errno == 0) g_output_errno = n < 0 ? errno : ENOSPC;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// Writes out what the buffer holds. Only async-signal-safe calls.
bool write_held() {
  const size_t held = g_output_held.load();
  if (held == 0) return true;
  const bool ok = write_all(g_output_buffer, held);
  g_output_held = 0;
  return ok;
}

std::atomic<size_t> g_drawn_line{0};

// Blanks out the line drawn on stderr. Only async-signal-safe calls.
void clear_drawn_line() {
  size_t left = g_drawn_line.load();
  if (left == 0) return;
  static const char kBlanks[] =
      "\r                                                                ";
  (void)!::write(STDERR_FILENO, "\r", 1);
  while (left > 0) {
    const size_t n = std::min(left, sizeof kBlanks - 2);
    (void)!::write(STDERR_FILENO, kBlanks + 1, n);
    left -= n;
  }
  (void)!::write(STDERR_FILENO, "\r", 1);
}

void restore_terminal() {
  const int tty = g_tty_fd.load();
  if (tty >= 0) ::tcsetattr(tty, TCSANOW, &g_tty_saved);
}

// Undoes what must not outlive the run, then lets `sig` end the process as
// it would have. Only async-signal-safe calls here.
void undo_and_end(int sig) {
  // What was printed goes out first: the lines of the members named.
  if (g_output_ours) (void)write_held();
  clear_drawn_line();
  g_ending = true;
  for (TempFile& t : g_temp_files) {
    int folder = t.folder.load();
    // A worker making one has interruptions blocked and is inside a single
    // call of the system: the wait is short.
    while (folder == kMaking) folder = t.folder.load();
    if (folder >= 0) ::unlinkat(folder, t.name.load(), 0);
  }
  const int fd = g_cut_fd.load();
  if (fd >= 0) (void)::ftruncate(fd, static_cast<off_t>(g_cut_length.load()));
  restore_terminal();
  // The signal stays blocked until the handler returns, and then ends the
  // process.
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

extern "C" void on_interrupt(int sig) {
  if (g_deferred.load() > 0) {
    g_pending_interrupt = sig;
    return;
  }
  undo_and_end(sig);
}

extern "C" void on_stop(int sig) {
  // Give the shell its terminal back as it was, stop, and on return take
  // up the key wait's settings again.
  const int saved_errno = errno;
  restore_terminal();
  ::signal(sig, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(sig);
  struct sigaction sa = {};
  sa.sa_handler = on_stop;
  sigemptyset(&sa.sa_mask);
  ::sigaction(sig, &sa, nullptr);
  errno = saved_errno;
}

extern "C" void on_continue(int) {
  // A shell that stopped us may have put the terminal back to its own
  // settings meanwhile.
  const int saved_errno = errno;
  const int tty = g_tty_fd.load();
  if (tty >= 0) ::tcsetattr(tty, TCSANOW, &g_tty_raw);
  errno = saved_errno;
}

bool map_zeros(void* at, uintptr_t length) {
  return ::mmap(at, length, PROT_READ, MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) !=
         MAP_FAILED;
}

// Set before the handler is installed: the handler itself calls nothing
// that is not safe there.
std::atomic<uintptr_t> g_page_size{0};

extern "C" void on_bus_error(int sig, siginfo_t* info, void*) {
  const auto addr = reinterpret_cast<uintptr_t>(info->si_addr);
  // The end of the guarded range that holds the faulting address. Each
  // range is published end first and withdrawn end first, so a begin
  // read after a nonzero end is that range's.
  uintptr_t end = 0;
  for (const Guarded& g : g_guarded) {
    const uintptr_t e = g.end.load();
    if (e != 0 && addr >= g.begin.load() && addr < e) end = e;
  }
  const uintptr_t page = g_page_size.load();
  if (end != 0 && page != 0) {
    // The file ends before this page. Zeros over the rest of the range let
    // the read run to its end; the guard then reports the loss. The
    // stretch is recorded before its pages change, so that no reader on
    // another thread takes the zeros for data without seeing it.
    const uintptr_t from = addr & ~(page - 1);
    const uintptr_t to = (end + page - 1) & ~(page - 1);
    // The page address comes from the faulting pointer itself.
    void* at = static_cast<char*>(info->si_addr) - (addr - from);
    if (posix::zero_pages(at, from, to, map_zeros)) return;
  }
  // A fault anywhere else is a real crash.
  undo_and_end(sig);
}

}  // namespace

bool posix::touches_zeroed(uintptr_t begin, uintptr_t end) {
  if (g_zeroed_overflow.load()) return true;
  return std::any_of(std::begin(g_zeroed), std::end(g_zeroed), [&](const Zeroed& z) {
    const uintptr_t e = z.end.load();
    if (e == 0) return false;
    // A stretch whose beginning is not written yet may be anywhere.
    const uintptr_t b = z.begin.load();
    return b == 0 || (b < end && begin < e);
  });
}

bool posix::zero_pages(void* at, uintptr_t from, uintptr_t to,
                       bool (*map)(void* at, uintptr_t length)) {
  // Recorded before the pages change, so that no reader on another thread
  // takes the zeros for data without seeing the record.
  bool recorded = false;
  for (Zeroed& z : g_zeroed) {
    uintptr_t none = 0;
    if (z.end.compare_exchange_strong(none, to)) {
      z.begin = from;
      recorded = true;
      break;
    }
  }
  if (!recorded) g_zeroed_overflow = true;
  return map(at, to - from);
}

namespace {

#if RADODARO_HAVE_FOPENCOOKIE
ssize_t write_output(void*, const char* data, size_t length) {
  const InterruptsDeferred deferred;
  if (!g_output_ours) return write_all(data, length) ? static_cast<ssize_t>(length) : -1;
  if (g_output_held.load() + length > sizeof g_output_buffer && !write_held()) return -1;
  if (length >= sizeof g_output_buffer) {
    return write_all(data, length) ? static_cast<ssize_t>(length) : -1;
  }
  const size_t held = g_output_held.load();
  std::memcpy(g_output_buffer + held, data, length);
  g_output_held = held + length;
  return static_cast<ssize_t>(length);
}
#endif

}  // namespace

void prepare_process() {
  // A closed standard stream would be the next file we open: the pack,
  // say, which would then take our messages.
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      const int null_fd = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
      if (null_fd >= 0 && null_fd != fd) {
        ::dup2(null_fd, fd);
        ::close(null_fd);
      }
    }
  }
  ::signal(SIGXFSZ, SIG_IGN);

#if RADODARO_HAVE_FOPENCOOKIE
  cookie_io_functions_t io = {};
  io.write = write_output;
  if (FILE* ours = ::fopencookie(nullptr, "w", io)) stdout = ours;
#endif
  // People read the lines as they come; scripts and files get them in
  // large blocks.
  if (::isatty(STDOUT_FILENO) == 1) {
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  } else {
#if RADODARO_HAVE_FOPENCOOKIE
    // Every piece goes straight to write_output(), which holds it.
    g_output_ours = std::setvbuf(stdout, nullptr, _IONBF, 0) == 0;
#else
    // Without a stream of our own, what the C library holds dies with an
    // interrupted process: each line goes out as it is printed instead.
    std::setvbuf(stdout, g_output_buffer, _IOLBF, sizeof g_output_buffer);
#endif
  }
}

std::vector<std::string> arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

void before_exit() {
  // A terminal stays open after the program: nothing to wait for.
}

bool flush_output() {
  bool held_out = true;
  if (g_output_ours) {
    const InterruptsDeferred deferred;
    held_out = write_held();
  }
  // A write that failed once fails the output for good.
  if (std::fflush(stdout) == 0 && !std::ferror(stdout) && held_out && g_output_errno == 0) {
    return true;
  }
  // Without our own stream, the reason is what the failed flush left.
  if (g_output_errno == 0) g_output_errno = errno != 0 ? errno : EIO;
  return false;
}

std::string output_error() { return std::strerror(g_output_errno != 0 ? g_output_errno : EIO); }

void handle_interruptions() {
  for (const int sig : kInterrupts) {
    struct sigaction old;
    if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    struct sigaction sa = {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    for (const int other : kInterrupts) sigaddset(&sa.sa_mask, other);
    ::sigaction(sig, &sa, nullptr);
  }
  struct sigaction stop = {};
  stop.sa_handler = on_stop;
  sigemptyset(&stop.sa_mask);
  ::sigaction(SIGTSTP, &stop, nullptr);
  struct sigaction cont = {};
  cont.sa_handler = on_continue;
  sigemptyset(&cont.sa_mask);
  cont.sa_flags = SA_RESTART;
  ::sigaction(SIGCONT, &cont, nullptr);
}

InterruptsDeferred::InterruptsDeferred() { ++g_deferred; }

InterruptsDeferred::~InterruptsDeferred() {
  if (--g_deferred == 0) {
    const int sig = g_pending_interrupt.exchange(0);
    if (sig != 0) {
      // Handled as the handler would have, with the interruptions that
      // its own mask keeps out kept out here too.
      const posix::InterruptsBlocked blocked;
      undo_and_end(sig);
    }
  }
}

CutBackOnInterrupt::CutBackOnInterrupt(const Handle& file, uint64_t length) {
  g_cut_length = length;
  g_cut_fd = posix::fd_of(file);
}

CutBackOnInterrupt::~CutBackOnInterrupt() { g_cut_fd = -1; }

void hold_interruptions() {
  sigset_t set;
  sigemptyset(&set);
  for (const int sig : kInterrupts) sigaddset(&set, sig);
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

std::thread start_worker(std::function<void()> fn) {
  // The new thread starts with the signal mask of this one.
  const posix::InterruptsBlocked blocked;
  return std::thread(std::move(fn));
}

bool run_reading_mapped(const uint8_t* data, uint64_t length, const uint8_t* data2,
                        uint64_t length2, void (*fn)(void*), void* arg) {
  // The guard needs its handler whoever calls it, the tool or a test.
  static const bool installed = [] {
    g_page_size = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    struct sigaction bus = {};
    bus.sa_sigaction = on_bus_error;
    sigemptyset(&bus.sa_mask);
    bus.sa_flags = SA_SIGINFO | SA_NODEFER;
    return ::sigaction(SIGBUS, &bus, nullptr) == 0;
  }();
  (void)installed;
  const uintptr_t begins[2] = {reinterpret_cast<uintptr_t>(data),
                               reinterpret_cast<uintptr_t>(data2)};
  const uintptr_t ends[2] = {begins[0] + length, begins[1] + length2};
  const auto lost = [&] {
    return posix::touches_zeroed(begins[0], ends[0]) ||
           (length2 != 0 && posix::touches_zeroed(begins[1], ends[1]));
  };
  if (lost()) return false;
  for (int i = 0; i < 2; ++i) {
    g_guarded[i].begin = begins[i];
    g_guarded[i].end = ends[i];
  }
  fn(arg);
  for (Guarded& g : g_guarded) g.end = 0;
  return !lost();
}

namespace posix {

void set_terminal_restore(int fd, const termios& saved, const termios& raw) {
  g_tty_saved = saved;
  g_tty_raw = raw;
  g_tty_fd = fd;
}

void clear_terminal_restore() { g_tty_fd = -1; }

int begin_temp_file(const char* name) {
  for (int slot = 0; slot < kMaxTempFiles; ++slot) {
    int free = kFree;
    if (!g_temp_files[slot].folder.compare_exchange_strong(free, kMaking)) continue;
    // Marked as being made before the end is looked at: either the handler
    // sees the mark and waits, or this sees that the run is ending.
    if (g_ending.load()) {
      g_temp_files[slot].folder = kFree;
      return -1;
    }
    g_temp_files[slot].name = name;
    return slot;
  }
  return -1;
}

void end_temp_file(int slot, int folder, bool made) {
  g_temp_files[slot].folder = made ? folder : kFree;
}

void clear_temp_file(int slot) {
  if (slot >= 0) g_temp_files[slot].folder = kFree;
}

InterruptsBlocked::InterruptsBlocked() {
  sigset_t set;
  sigemptyset(&set);
  for (const int sig : kInterrupts) sigaddset(&set, sig);
  ::pthread_sigmask(SIG_BLOCK, &set, &old_);
}

InterruptsBlocked::~InterruptsBlocked() { ::pthread_sigmask(SIG_SETMASK, &old_, nullptr); }

void forget_faulted(const uint8_t* data, uint64_t length) {
  const auto begin = reinterpret_cast<uintptr_t>(data);
  const uintptr_t end = begin + length;
  for (Zeroed& z : g_zeroed) {
    const uintptr_t b = z.begin.load();
    if (z.end.load() != 0 && b != 0 && b >= begin && b < end) {
      // Withdrawn end first, the slot's beginning cleared before it is
      // free again.
      z.end = 0;
      z.begin = 0;
    }
  }
}

}  // namespace posix

void set_drawn_line(size_t width) { g_drawn_line = width; }

bool console_of_our_own() { return false; }

}  // namespace radodaro::platform
