#include "platform/signals.h"

#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace radodaro::platform {

namespace {

// The member file being written. While it is being created we cannot yet
// tell whether it is ours to remove, so a fatal signal then waits for the
// creator to find out.
enum PartialState { kNone, kCreating, kCreated };
std::atomic<int> g_partial_state{kNone};
std::atomic<int> g_partial_folder{-1};
std::atomic<const char*> g_partial_name{nullptr};
std::atomic<int> g_deferred_signal{0};
std::atomic<int> g_rollback_fd{-1};
std::atomic<uint64_t> g_rollback_length{0};
std::atomic<const uint8_t*> g_rollback_image{nullptr};
std::atomic<uint64_t> g_rollback_image_size{0};
std::atomic<int> g_tty_fd{-1};
termios g_tty_saved;

std::atomic<bool> g_bus_guard_active{false};
sigjmp_buf g_bus_env;

constexpr int kFatalSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGXFSZ};

// Undoes what must not outlive the run, then lets `sig` end the process as
// it would have. Only async-signal-safe calls here.
void clean_up_and_die(int sig) {
  if (g_partial_state.load() == kCreated) {
    ::unlinkat(g_partial_folder.load(), g_partial_name.load(), 0);
  }
  const int fd = g_rollback_fd.load();
  if (fd >= 0) {
    const uint8_t* image = g_rollback_image.load();
    const uint64_t size = g_rollback_image_size.load();
    for (uint64_t done = 0; image != nullptr && done < size;) {
      const ssize_t n = ::pwrite(fd, image + done, size - done, static_cast<off_t>(done));
      if (n <= 0 && errno != EINTR) break;
      if (n > 0) done += static_cast<uint64_t>(n);
    }
    (void)::ftruncate(fd, static_cast<off_t>(g_rollback_length.load()));
  }
  const int tty = g_tty_fd.load();
  if (tty >= 0) ::tcsetattr(tty, TCSANOW, &g_tty_saved);
  // In a handler the signal stays blocked until it returns; elsewhere it is
  // delivered at once.
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

extern "C" void on_fatal_signal(int sig) {
  if (g_partial_state.load() == kCreating) {
    g_deferred_signal = sig;
    return;
  }
  clean_up_and_die(sig);
}

extern "C" void on_bus_error(int sig) {
  if (g_bus_guard_active.load()) siglongjmp(g_bus_env, 1);
  // A fault outside a guarded read is a real crash: clean up and let it end
  // the process.
  clean_up_and_die(sig);
}

}  // namespace

void install_cleanup_handlers() {
  for (const int sig : kFatalSignals) {
    struct sigaction old;
    if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    struct sigaction sa = {};
    sa.sa_handler = on_fatal_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    ::sigaction(sig, &sa, nullptr);
  }
  struct sigaction bus = {};
  bus.sa_handler = on_bus_error;
  sigemptyset(&bus.sa_mask);
  bus.sa_flags = SA_NODEFER;
  ::sigaction(SIGBUS, &bus, nullptr);
}

PartialFileGuard::PartialFileGuard(int folder_fd, const char* name) {
  g_partial_folder = folder_fd;
  g_partial_name = name;
  g_partial_state = kCreating;
}

void PartialFileGuard::created(bool ours) {
  g_partial_state = ours ? kCreated : kNone;
  if (const int sig = g_deferred_signal.exchange(0)) clean_up_and_die(sig);
}

PartialFileGuard::~PartialFileGuard() { g_partial_state = kNone; }

void set_pack_rollback(int fd, uint64_t length, const uint8_t* image, uint64_t image_size) {
  g_rollback_length = length;
  g_rollback_image_size = image_size;
  g_rollback_image = image;
  g_rollback_fd = fd;
}
void clear_pack_rollback() {
  g_rollback_fd = -1;
  g_rollback_image = nullptr;
}

void set_terminal_restore(int fd, const termios& saved) {
  g_tty_saved = saved;
  g_tty_fd = fd;
}
void clear_terminal_restore() { g_tty_fd = -1; }

bool run_guarding_mapped_reads(void (*fn)(void*), void* arg) {
  // The handler runs with SA_NODEFER, so the signal mask needs no saving:
  // that spares a system call on every guarded read.
  if (sigsetjmp(g_bus_env, 0) != 0) {
    g_bus_guard_active = false;
    return false;
  }
  g_bus_guard_active = true;
  fn(arg);
  g_bus_guard_active = false;
  return true;
}

}  // namespace radodaro::platform
