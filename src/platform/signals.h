// What must be undone however a run ends. A fatal signal (Ctrl-C, a
// hang-up, a closed pipe, a file size limit) removes a member file that is
// only partly written, cuts a pack back to its length before an unfinished
// group run, and restores the terminal's settings; then the signal ends the
// process as it would have.
#ifndef RADODARO_PLATFORM_SIGNALS_H_
#define RADODARO_PLATFORM_SIGNALS_H_

#include <termios.h>

#include <cstdint>
#include <string>

namespace radodaro::platform {

// Installs the handlers; signals that are ignored stay ignored.
void install_cleanup_handlers();

// Marks the file `name` in `folder_fd` (as for create_exclusive) as partial
// output for as long as it lives. Make the guard just before creating the
// file and call created() right after: a fatal signal in between waits for
// that answer, so that only a file this run made is ever removed. `name`
// must outlive the guard.
class PartialFileGuard {
 public:
  PartialFileGuard(int folder_fd, const char* name);
  void created(bool ours);
  ~PartialFileGuard();
  PartialFileGuard(const PartialFileGuard&) = delete;
  PartialFileGuard& operator=(const PartialFileGuard&) = delete;
};

// While set, a fatal signal puts the pack `fd` back as it was: `image`, when
// given, written at offset 0 (the old header and directory), then the file
// cut to `length`. `image` must stay valid until cleared.
void set_pack_rollback(int fd, uint64_t length, const uint8_t* image = nullptr,
                       uint64_t image_size = 0);
void clear_pack_rollback();

// While set, a fatal signal restores `saved` on the terminal `fd`.
void set_terminal_restore(int fd, const termios& saved);
void clear_terminal_restore();

// Runs fn(arg), which reads a mapped file. When that file shrinks under it
// and the read faults (SIGBUS), fn is abandoned and false is returned. fn
// must not own anything that needs a destructor.
bool run_guarding_mapped_reads(void (*fn)(void*), void* arg);

template <typename F>
bool guard_mapped_reads(F&& f) {
  return run_guarding_mapped_reads([](void* p) { (*static_cast<F*>(p))(); },
                                   static_cast<void*>(&f));
}

}  // namespace radodaro::platform

#endif  // RADODARO_PLATFORM_SIGNALS_H_
