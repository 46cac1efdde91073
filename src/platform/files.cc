#include "platform/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace radodaro::platform {

namespace {

// Linux moves at most this much in one read or write call.
constexpr size_t kMaxIo = size_t{1} << 30;

int g_fail_countdown = 0;
int g_fail_error = 0;

// The fault hook of fail_write_after(); true when this call must fail.
bool injected_write_failure() {
  if (g_fail_countdown == 0 || --g_fail_countdown != 0) return false;
  errno = g_fail_error;
  return true;
}

int open_retrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool lock_retrying(int fd, int operation) {
  int rc;
  do {
    rc = ::flock(fd, operation | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool regular_size(int fd, uint64_t* size) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

MapStatus map_file_shared(const std::string& path, MappedView* view) {
  // O_NONBLOCK keeps a FIFO or device from stalling the open; the fstat
  // below turns them away.
  UniqueFd fd(open_retrying(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY));
  uint64_t size = 0;
  if (!fd.valid() || !regular_size(fd.get(), &size)) return MapStatus::kCantOpen;
  if (!lock_retrying(fd.get(), LOCK_SH)) return MapStatus::kCantOpen;
  if (size == 0) return MapStatus::kEmpty;
  void* p = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd.get(), 0);
  if (p == MAP_FAILED) return MapStatus::kCantOpen;
  view->data = static_cast<const uint8_t*>(p);
  view->size = size;
  // The descriptor carries the lock, so it stays open with the view.
  view->lock_fd = fd.release();
  return MapStatus::kOk;
}

void release_view(MappedView* view) {
  if (view->data != nullptr) ::munmap(const_cast<uint8_t*>(view->data), view->size);
  if (view->lock_fd >= 0) ::close(view->lock_fd);
  *view = MappedView();
}

bool open_locked_for_update(const std::string& path, UniqueFd* fd, uint64_t* size) {
  UniqueFd f(open_retrying(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY));
  if (!f.valid() || !regular_size(f.get(), size)) return false;
  if (!lock_retrying(f.get(), LOCK_EX)) return false;
  // Re-read the size: it may have changed while we waited for the lock.
  if (!regular_size(f.get(), size)) return false;
  *fd = std::move(f);
  return true;
}

bool open_regular_for_read(const std::string& path, UniqueFd* fd, uint64_t* size) {
  UniqueFd f(open_retrying(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY));
  if (!f.valid() || !regular_size(f.get(), size)) return false;
  *fd = std::move(f);
  return true;
}

static_assert(kNoFolder == AT_FDCWD);

UniqueFd open_folder(const std::string& path) {
  return UniqueFd(open_retrying(path.c_str(), O_PATH | O_DIRECTORY));
}

CreateStatus create_exclusive(int folder_fd, const char* name, UniqueFd* fd) {
  int f;
  do {
    f = ::openat(folder_fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
                 0666);
  } while (f < 0 && errno == EINTR);
  if (f < 0) return errno == EEXIST ? CreateStatus::kExists : CreateStatus::kFailed;
  fd->reset(f);
  return CreateStatus::kCreated;
}

void fail_write_after(int countdown, int error) {
  g_fail_countdown = countdown;
  g_fail_error = error;
}

namespace {

// Writes all of `data`, at `*offset` when given, else at the file position.
bool write_fully(int fd, const uint8_t* data, uint64_t length, const uint64_t* offset) {
  if (injected_write_failure()) return false;
  uint64_t done = 0;
  while (done < length) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(length - done, kMaxIo));
    const ssize_t n = offset != nullptr
                          ? ::pwrite(fd, data + done, want, static_cast<off_t>(*offset + done))
                          : ::write(fd, data + done, want);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    done += static_cast<uint64_t>(n);
  }
  return true;
}

}  // namespace

bool write_all(int fd, const uint8_t* data, uint64_t length) {
  return write_fully(fd, data, length, nullptr);
}

bool pwrite_all(int fd, const uint8_t* data, uint64_t length, uint64_t offset) {
  return write_fully(fd, data, length, &offset);
}

int64_t pread_full(int fd, uint8_t* data, size_t length, uint64_t offset) {
  size_t done = 0;
  while (done < length) {
    const ssize_t n = ::pread(fd, data + done, std::min(length - done, kMaxIo),
                              static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

bool close_checked(UniqueFd* fd) {
  // After a failed close the descriptor is gone all the same (Linux), so
  // it is never retried.
  const int rc = ::close(fd->release());
  return rc == 0 && !injected_write_failure();
}

bool sync_file(int fd) {
  if (injected_write_failure()) return false;
  int rc;
  do {
    rc = ::fsync(fd);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool truncate_file(int fd, uint64_t length) {
  int rc;
  do {
    rc = ::ftruncate(fd, static_cast<off_t>(length));
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool remove_file(int folder_fd, const char* name) { return ::unlinkat(folder_fd, name, 0) == 0; }

bool make_dir(const std::string& path) {
  return ::mkdir(path.c_str(), 0777) == 0 || errno == EEXIST;
}

void advise_sequential(const uint8_t* data, uint64_t length) {
  // madvise wants a page-aligned start; the view itself is.
  (void)::madvise(const_cast<uint8_t*>(data), length, MADV_SEQUENTIAL);
}

const uint8_t* map_window(int fd, uint64_t offset, uint64_t length) {
  void* p = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(offset));
  return p == MAP_FAILED ? nullptr : static_cast<const uint8_t*>(p);
}

void unmap_window(const uint8_t* data, uint64_t length) {
  ::munmap(const_cast<uint8_t*>(data), length);
}

}  // namespace radodaro::platform
