// The thin layer over the operating system's files, folders and locks.
// Every operation retries EINTR and reports failure through its result;
// nothing here prints.
#ifndef RADODARO_PLATFORM_FILES_H_
#define RADODARO_PLATFORM_FILES_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace radodaro::platform {

// An open file descriptor that is closed, unchecked, when it goes out of
// scope. Files that were written are closed with close_checked() instead.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Read-only view of a whole file. The tool keeps it until exit; programs
// that open many packs in one process give it back with release_view().
struct MappedView {
  const uint8_t* data = nullptr;
  uint64_t size = 0;
  int lock_fd = -1;  // holds the shared lock
};

enum class MapStatus {
  kOk,
  kCantOpen,  // missing, unreadable, not a regular file, or locked by a writer
  kEmpty,     // a regular file of length zero, which cannot be mapped
};

// Opens the regular file at `path` read-only without blocking, takes a
// shared non-blocking advisory lock that is held until exit, and maps all of
// it read-only into `view`.
MapStatus map_file_shared(const std::string& path, MappedView* view);

// Unmaps the view and drops its lock.
void release_view(MappedView* view);

// Opens the regular file at `path` for reading and writing and takes an
// exclusive non-blocking advisory lock on it. On success `*size` is the
// file's length. Fails for anything but a regular file and when another
// process holds a lock on it.
bool open_locked_for_update(const std::string& path, UniqueFd* fd, uint64_t* size);

// Opens the regular file at `path`, or the regular file that a link there
// leads to, for reading without blocking. Fails for anything else, such as
// a folder or a FIFO.
bool open_regular_for_read(const std::string& path, UniqueFd* fd, uint64_t* size);

enum class CreateStatus {
  kCreated,
  kExists,  // something, even a dangling link, is already at the path
  kFailed,
};

// Files are named by a folder descriptor and a name within it, so that a
// folder renamed or replaced during a run cannot redirect them. kNoFolder
// with a whole path names a file the ordinary way.
inline constexpr int kNoFolder = -100;

// Opens the folder at `path` for naming files in it; invalid on failure.
UniqueFd open_folder(const std::string& path);

// Creates a new file, never through a link and never over anything that is
// there already.
CreateStatus create_exclusive(int folder_fd, const char* name, UniqueFd* fd);

// Writes all `length` bytes; false on any error, a short write included.
bool write_all(int fd, const uint8_t* data, uint64_t length);
bool pwrite_all(int fd, const uint8_t* data, uint64_t length, uint64_t offset);

// Reads until `length` bytes or the end of the file; returns the count or -1.
int64_t pread_full(int fd, uint8_t* data, size_t length, uint64_t offset);

// Closes `fd` and reports whether the close succeeded, which for a written
// file is part of the write.
bool close_checked(UniqueFd* fd);

bool sync_file(int fd);
bool truncate_file(int fd, uint64_t length);
bool remove_file(int folder_fd, const char* name);

// Creates one folder with the default permissions. Succeeds also when it
// exists already.
bool make_dir(const std::string& path);

// For tests that run the tool's code in-process: the write call that is
// `countdown` calls from now (1: the next one) fails with `error`, once.
// 0 switches it off.
void fail_write_after(int countdown, int error);

// Tells the kernel that `length` bytes from `data` are read once, in order.
void advise_sequential(const uint8_t* data, uint64_t length);

// Maps `length` bytes of `fd` from `offset`, a multiple of kWindowAlign,
// read-only; nullptr on failure. Give it back with unmap_window().
inline constexpr uint64_t kWindowAlign = uint64_t{64} << 10;
const uint8_t* map_window(int fd, uint64_t offset, uint64_t length);
void unmap_window(const uint8_t* data, uint64_t length);

}  // namespace radodaro::platform

#endif  // RADODARO_PLATFORM_FILES_H_
