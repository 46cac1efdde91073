// What the POSIX implementation files share among themselves; nothing
// outside src/platform/ includes this.
#ifndef RADODARO_PLATFORM_POSIX_INTERNAL_H_
#define RADODARO_PLATFORM_POSIX_INTERNAL_H_

#include <signal.h>
#include <termios.h>

#include <cstdint>

#include "platform/files.h"

namespace radodaro::platform::posix {

inline int fd_of(const Handle& h) { return static_cast<int>(h.native()); }

Error from_errno(int error);

// While set, an interruption (or a stop and continue) puts `saved` back on
// the terminal `fd`; a continue puts `raw` back again.
void set_terminal_restore(int fd, const termios& saved, const termios& raw);
void clear_terminal_restore();

// The temporary files that an interruption removes, on any thread: at
// most kMaxTempFiles at once. begin_temp_file() takes a slot for the file
// `name` about to be made (or named), -1 when none is free or the run is
// ending; end_temp_file() says whether it now is, in `folder`, and frees
// the slot if not. Between the two the thread must have interruptions
// blocked. `name` must stay valid until clear_temp_file() (a no-op for -1).
inline constexpr int kMaxTempFiles = 512;
int begin_temp_file(const char* name);
void end_temp_file(int slot, int folder, bool made);
void clear_temp_file(int slot);

// Blocks the interruptions for a short stretch, such as the creation of a
// file that must be known to be ours before it may be removed.
class InterruptsBlocked {
 public:
  InterruptsBlocked();
  ~InterruptsBlocked();
  InterruptsBlocked(const InterruptsBlocked&) = delete;
  InterruptsBlocked& operator=(const InterruptsBlocked&) = delete;

 private:
  sigset_t old_;
};

// After a fault at the stretch [from, to) of a mapping (page addresses;
// `at` is `from` as a pointer): records the stretch as lost, then lets
// `map` put zero pages over it, so that a read can run to its end. False
// when `map` failed.
bool zero_pages(void* at, uintptr_t from, uintptr_t to, bool (*map)(void* at, uintptr_t length));
// Whether the stretch [begin, end) touches pages that zero_pages() replaced,
// or one that it is replacing.
bool touches_zeroed(uintptr_t begin, uintptr_t end);

// The mapping [data, data + length) is going away: forget the pages that a
// fault replaced with zeros there.
void forget_faulted(const uint8_t* data, uint64_t length);

}  // namespace radodaro::platform::posix

#endif  // RADODARO_PLATFORM_POSIX_INTERNAL_H_
