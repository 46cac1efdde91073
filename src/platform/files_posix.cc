#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix_features.h"
#if RADODARO_HAVE_LINUX_XATTR
#include <sys/xattr.h>
#endif

#include "platform/files.h"
#include "platform/internal.h"
#include "platform/posix_internal.h"

namespace radodaro::platform {

using posix::fd_of;

namespace {

// Linux moves at most this much in one read or write call.
constexpr uint64_t kMaxIo = uint64_t{1} << 30;

int open_retrying(int folder, const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::openat(folder, path, flags | O_CLOEXEC, mode);
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

// Whether `path` still names the file open as `fd`: a run that replaced
// the file (a compaction) may have renamed another over it meanwhile, and
// a lock on the old one would hold nothing.
bool still_at(const char* path, int fd) {
  struct stat open_st;
  struct stat path_st;
  return ::fstat(fd, &open_st) == 0 && ::stat(path, &path_st) == 0 &&
         open_st.st_dev == path_st.st_dev && open_st.st_ino == path_st.st_ino;
}

// How often an open is tried again when the file was replaced under it.
constexpr int kReplacedRetries = 16;

Error regular_size(int fd, uint64_t* size) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return posix::from_errno(errno);
  if (!S_ISREG(st.st_mode) || st.st_size < 0) return Error::kNotRegular;
  *size = static_cast<uint64_t>(st.st_size);
  return Error::kOk;
}

template <typename Call>
Error retrying(Call call) {
  int rc;
  do {
    rc = call();
  } while (rc != 0 && errno == EINTR);
  return rc == 0 ? Error::kOk : posix::from_errno(errno);
}

// Which way of naming an unnamed file works here: by the descriptor itself
// (one call, but it needs a privilege most users lack) or through /proc.
enum LinkWay { kUntried, kByDescriptor, kThroughProc };
std::atomic<int> g_link_way{kUntried};

}  // namespace

namespace {

// The last failure of each thread: what reason() says of it.
thread_local int g_last_errno = 0;
thread_local Error g_last_error = Error::kOk;

Error classify(int error) {
  switch (error) {
    case 0:
      return Error::kOk;
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:  // a name that cannot exist names nothing
      return Error::kNotFound;
    case EEXIST:
      return Error::kExists;
    case EWOULDBLOCK:
      return Error::kBusy;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return Error::kNoSpace;
    case ENOMEM:
      return Error::kNoMemory;
    case EISDIR:
      return Error::kNotRegular;
    case EOPNOTSUPP:
      return Error::kUnsupported;
    case EACCES:
    case EPERM:
    case EROFS:
      return Error::kDenied;
    default:
      return Error::kIo;
  }
}

// What strerror_r() gave: the GNU one its own pointer, the POSIX one a
// status, the text in `buffer`.
[[maybe_unused]] const char* text_of(const char* given, const char*) { return given; }
[[maybe_unused]] const char* text_of(int status, const char* buffer) {
  return status == 0 ? buffer : nullptr;
}

}  // namespace

Error posix::from_errno(int error) {
  const Error e = classify(error);
  g_last_errno = error;
  g_last_error = e;
  return e;
}

const char* internal::system_reason(Error error) {
  if (g_last_errno == 0 || error != g_last_error ||
      (error != Error::kIo && error != Error::kNotFound)) {
    return nullptr;
  }
  thread_local char text[128];
  return text_of(strerror_r(g_last_errno, text, sizeof text), text);
}

void Handle::reset(intptr_t native) {
  if (native_ != kNone) ::close(static_cast<int>(native_));
  native_ = native;
}

void internal::unmap_view(const uint8_t* data, uint64_t size) {
  posix::forget_faulted(data, size);
  ::munmap(const_cast<uint8_t*>(data), size);
}

std::string internal::process_id() { return std::to_string(::getpid()); }

Error internal::create_temp_file(Env& env, const Handle& folder, const std::string& name,
                                 Handle* file, int* slot) {
  const posix::InterruptsBlocked blocked;
  *slot = posix::begin_temp_file(name.c_str());
  if (*slot < 0) return Error::kIo;
  const Error e = env.create_new(folder, name, file);
  posix::end_temp_file(*slot, fd_of(folder), e == Error::kOk);
  if (e != Error::kOk) *slot = -1;
  return e;
}

void internal::forget_temp_file(int slot) { posix::clear_temp_file(slot); }

Error internal::link_temp_file(Env& env, const Handle& folder, const Handle& file,
                               const std::string& name, int* slot) {
  const posix::InterruptsBlocked blocked;
  *slot = posix::begin_temp_file(name.c_str());
  if (*slot < 0) return Error::kIo;
  const Error e = env.link_unnamed(folder, file, name);
  posix::end_temp_file(*slot, fd_of(folder), e == Error::kOk);
  if (e != Error::kOk) *slot = -1;
  return e;
}

Env& Env::system() {
  static Env env;
  return env;
}

Error Env::map_shared(const std::string& path, MappedView* view) {
  for (int attempt = 0;; ++attempt) {
    // O_NONBLOCK keeps a FIFO or device from stalling the open; the fstat
    // below turns them away.
    Handle file(open_retrying(AT_FDCWD, path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY));
    if (!file.is_open()) return posix::from_errno(errno);
    uint64_t size = 0;
    if (const Error e = regular_size(fd_of(file), &size); e != Error::kOk) return e;
    // Locks stand in for share modes: a group run holds an exclusive one.
    if (!lock_retrying(fd_of(file), LOCK_SH)) return posix::from_errno(errno);
    if (!still_at(path.c_str(), fd_of(file))) {
      if (attempt < kReplacedRetries) continue;
      return Error::kBusy;
    }
    // The size may have changed while another process held it.
    if (const Error e = regular_size(fd_of(file), &size); e != Error::kOk) return e;
    if (size == 0) return Error::kEmpty;
    void* p = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd_of(file), 0);
    if (p == MAP_FAILED) return posix::from_errno(errno);
    *view = MappedView();
    view->data = static_cast<const uint8_t*>(p);
    view->size = size;
    view->file = std::move(file);
    return Error::kOk;
  }
}

Error Env::open_exclusive(const std::string& path, Handle* file, uint64_t* size, bool) {
  for (int attempt = 0;; ++attempt) {
    Handle f(open_retrying(AT_FDCWD, path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY));
    if (!f.is_open()) return posix::from_errno(errno);
    if (const Error e = regular_size(fd_of(f), size); e != Error::kOk) return e;
    if (!lock_retrying(fd_of(f), LOCK_EX)) return posix::from_errno(errno);
    if (!still_at(path.c_str(), fd_of(f))) {
      if (attempt < kReplacedRetries) continue;
      return Error::kBusy;
    }
    // The size may have changed while another process held it.
    if (const Error e = regular_size(fd_of(f), size); e != Error::kOk) return e;
    *file = std::move(f);
    return Error::kOk;
  }
}

Error Env::open_folder(const std::string& path, Handle* folder) {
  // O_PATH asks for no permission on the folder itself: one that cannot
  // be listed can still hold the files it names.
  Handle f(open_retrying(AT_FDCWD, path.c_str(), O_PATH | O_DIRECTORY));
  if (!f.is_open()) return posix::from_errno(errno);
  *folder = std::move(f);
  return Error::kOk;
}

Error Env::look_up(const Handle& folder, const std::string& name) {
  struct stat st;
  if (::fstatat(fd_of(folder), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return Error::kOk;
  return posix::from_errno(errno);
}

Error Env::regular_file_at(const Handle& folder, const std::string& name) {
  struct stat st;
  if (::fstatat(fd_of(folder), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return posix::from_errno(errno);
  }
  return S_ISREG(st.st_mode) ? Error::kOk : Error::kNotRegular;
}

Error Env::list_folder(const Handle& folder, std::vector<std::string>* names) {
  const int fd = open_retrying(fd_of(folder), ".", O_RDONLY | O_DIRECTORY);
  if (fd < 0) return posix::from_errno(errno);
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    ::close(fd);
    return posix::from_errno(errno);
  }
  names->clear();
  errno = 0;
  while (const dirent* e = ::readdir(dir)) names->emplace_back(e->d_name);
  const int error = errno;
  ::closedir(dir);
  return posix::from_errno(error);
}

Error Env::open_for_read(const Handle& folder, const std::string& name, Handle* file,
                         uint64_t* size) {
  Handle f(open_retrying(fd_of(folder), name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY));
  // A socket, or a link that leads round in a circle, is no file either.
  if (!f.is_open() && (errno == ENXIO || errno == ELOOP)) return Error::kNotRegular;
  if (!f.is_open()) return posix::from_errno(errno);
  if (const Error e = regular_size(fd_of(f), size); e != Error::kOk) return e;
  *file = std::move(f);
  return Error::kOk;
}

#if RADODARO_HAVE_UNNAMED_FILES

namespace {

// Whether an unnamed file can be given a name here: through /proc, or by
// its descriptor once that has worked (it needs a privilege).
bool unnamed_files_can_be_named() {
  static const bool proc = ::access("/proc/self/fd", X_OK) == 0;
  return proc || g_link_way.load(std::memory_order_relaxed) == kByDescriptor;
}

}  // namespace

Error Env::create_unnamed(const Handle& folder, const std::string&, Handle* file) {
  if (!unnamed_files_can_be_named()) return Error::kUnsupported;
  Handle f(open_retrying(fd_of(folder), ".", O_TMPFILE | O_WRONLY, 0666));
  if (!f.is_open()) {
    // What a kernel or file system without unnamed files answers.
    if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) return Error::kUnsupported;
    return posix::from_errno(errno);
  }
  *file = std::move(f);
  return Error::kOk;
}

Error Env::link_unnamed(const Handle& folder, const Handle& file, const std::string& name) {
  const int way = g_link_way.load(std::memory_order_relaxed);
  if (way != kThroughProc) {
    const Error e = retrying(
        [&] { return ::linkat(fd_of(file), "", fd_of(folder), name.c_str(), AT_EMPTY_PATH); });
    // Without the privilege the descriptor reads as a missing file.
    if (e != Error::kNotFound || way == kByDescriptor) {
      if (e == Error::kOk) g_link_way = kByDescriptor;
      return e;
    }
  }
  char proc_path[64];
  std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd_of(file));
  const Error e = retrying([&] {
    return ::linkat(AT_FDCWD, proc_path, fd_of(folder), name.c_str(), AT_SYMLINK_FOLLOW);
  });
  if (e == Error::kOk) g_link_way = kThroughProc;
  return e;
}

#else

// No unnamed files here: NewFile writes under a temporary name instead.
Error Env::create_unnamed(const Handle&, const std::string&, Handle*) {
  return Error::kUnsupported;
}

Error Env::link_unnamed(const Handle&, const Handle&, const std::string&) {
  return Error::kUnsupported;
}

#endif

Error Env::create_new(const Handle& folder, const std::string& name, Handle* file) {
  Handle f(open_retrying(fd_of(folder), name.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY, 0666));
  if (!f.is_open()) return posix::from_errno(errno);
  *file = std::move(f);
  return Error::kOk;
}

Error Env::rename_new(const Handle& folder, const std::string& from, const std::string& to) {
#if RADODARO_HAVE_RENAMEAT2
  const Error e = retrying([&] {
    const int rc =
        ::renameat2(fd_of(folder), from.c_str(), fd_of(folder), to.c_str(), RENAME_NOREPLACE);
    // A file system without the flag says so with EINVAL.
    if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) errno = EOPNOTSUPP;
    return rc;
  });
  if (e != Error::kUnsupported) return e;
#endif
  // No RENAME_NOREPLACE here: a link never replaces either.
  if (const Error l = retrying(
          [&] { return ::linkat(fd_of(folder), from.c_str(), fd_of(folder), to.c_str(), 0); });
      l != Error::kOk) {
    return l;
  }
  // Part of the one rename: not an Env::remove() of its own.
  return retrying([&] { return ::unlinkat(fd_of(folder), from.c_str(), 0); });
}

Error Env::remove(const Handle& folder, const std::string& name) {
  return retrying([&] { return ::unlinkat(fd_of(folder), name.c_str(), 0); });
}

Error Env::replace(const Handle& folder, const std::string& from, const std::string& to, Handle*) {
  return retrying(
      [&] { return ::renameat(fd_of(folder), from.c_str(), fd_of(folder), to.c_str()); });
}

namespace {

#if RADODARO_HAVE_LINUX_XATTR
// Copies every extended attribute of `from` (ACLs, security labels, a
// user's own) to `to`; nothing to do where the file system has none.
Error copy_xattrs(int from, int to) {
  const ssize_t list_size = ::flistxattr(from, nullptr, 0);
  if (list_size < 0) return errno == ENOTSUP ? Error::kOk : posix::from_errno(errno);
  std::vector<char> names(static_cast<size_t>(list_size));
  const ssize_t listed = ::flistxattr(from, names.data(), names.size());
  if (listed < 0) return posix::from_errno(errno);
  std::vector<char> value;
  for (size_t at = 0; at < static_cast<size_t>(listed); at += std::strlen(names.data() + at) + 1) {
    const char* name = names.data() + at;
    const ssize_t size = ::fgetxattr(from, name, nullptr, 0);
    if (size < 0) return posix::from_errno(errno);
    value.resize(static_cast<size_t>(size));
    const ssize_t got = ::fgetxattr(from, name, value.data(), value.size());
    if (got < 0) return posix::from_errno(errno);
    if (::fsetxattr(to, name, value.data(), static_cast<size_t>(got), 0) != 0) {
      return posix::from_errno(errno);
    }
  }
  return Error::kOk;
}
#else
// Extended attributes, where the system has them, are not copied.
Error copy_xattrs(int, int) { return Error::kOk; }
#endif

}  // namespace

Error Env::copy_attributes(const Handle& from, const Handle& to) {
  struct stat st;
  struct stat now;
  if (::fstat(fd_of(from), &st) != 0 || ::fstat(fd_of(to), &now) != 0) {
    return posix::from_errno(errno);
  }
  // Owner and group first: a change of owner clears setuid and setgid.
  if (now.st_uid != st.st_uid || now.st_gid != st.st_gid) {
    if (const Error e = retrying([&] { return ::fchown(fd_of(to), st.st_uid, st.st_gid); });
        e != Error::kOk) {
      return e;
    }
  }
  if (const Error e = retrying([&] { return ::fchmod(fd_of(to), st.st_mode & 07777); });
      e != Error::kOk) {
    return e;
  }
  return copy_xattrs(fd_of(from), fd_of(to));
}

Error Env::identify(const Handle& file, FileIdentity* identity) {
  struct stat st;
  if (::fstat(fd_of(file), &st) != 0) return posix::from_errno(errno);
  identity->volume = static_cast<uint64_t>(st.st_dev);
  identity->index = static_cast<uint64_t>(st.st_ino);
  identity->links = static_cast<uint64_t>(st.st_nlink);
  return Error::kOk;
}

Error Env::stamp_at(const Handle& folder, const std::string& name, FileStamp* stamp) {
  struct stat st;
  if (::fstatat(fd_of(folder), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return posix::from_errno(errno);
  }
  if (!S_ISREG(st.st_mode)) return Error::kNotRegular;
  constexpr int64_t kBillion = 1000000000;
  stamp->size = static_cast<uint64_t>(st.st_size);
  stamp->modified_ns = int64_t{st.st_mtim.tv_sec} * kBillion + st.st_mtim.tv_nsec;
  stamp->changed_ns = int64_t{st.st_ctim.tv_sec} * kBillion + st.st_ctim.tv_nsec;
  stamp->identity.volume = static_cast<uint64_t>(st.st_dev);
  stamp->identity.index = static_cast<uint64_t>(st.st_ino);
  stamp->identity.links = static_cast<uint64_t>(st.st_nlink);
  return Error::kOk;
}

Error Env::sync_folder(const Handle& folder) {
  // A folder opened by path alone cannot be synced; open it for reading.
  Handle readable(open_retrying(fd_of(folder), ".", O_RDONLY | O_DIRECTORY));
  if (!readable.is_open()) return posix::from_errno(errno);
  return retrying([&] { return ::fsync(fd_of(readable)); });
}

Error Env::write_at(const Handle& file, const uint8_t* data, uint64_t length, uint64_t offset) {
  for (uint64_t done = 0; done < length;) {
    const size_t want = static_cast<size_t>(std::min(length - done, kMaxIo));
    const ssize_t n = ::pwrite(fd_of(file), data + done, want, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return posix::from_errno(errno);
    }
    if (n == 0) return Error::kNoSpace;
    done += static_cast<uint64_t>(n);
  }
  return Error::kOk;
}

Error Env::copy_range(const Handle& from, uint64_t from_offset, const Handle& to,
                      uint64_t to_offset, uint64_t length, uint64_t* copied) {
  *copied = 0;
#if RADODARO_HAVE_COPY_FILE_RANGE
  while (*copied < length) {
    auto in = static_cast<off_t>(from_offset + *copied);
    auto out = static_cast<off_t>(to_offset + *copied);
    const size_t want = static_cast<size_t>(std::min(length - *copied, kMaxIo));
    const ssize_t n = ::copy_file_range(fd_of(from), &in, fd_of(to), &out, want, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      // Not between these files, or not on this system or file system.
      if (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL) {
        return Error::kUnsupported;
      }
      return posix::from_errno(errno);
    }
    if (n == 0) return Error::kIo;  // the source ends before the range does
    *copied += static_cast<uint64_t>(n);
  }
  return Error::kOk;
#else
  (void)from, (void)from_offset, (void)to, (void)to_offset, (void)length;
  return Error::kUnsupported;
#endif
}

Error Env::read_at(const Handle& file, uint8_t* data, uint64_t length, uint64_t offset,
                   uint64_t* got) {
  uint64_t done = 0;
  while (done < length) {
    const size_t want = static_cast<size_t>(std::min(length - done, kMaxIo));
    const ssize_t n = ::pread(fd_of(file), data + done, want, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return posix::from_errno(errno);
    }
    if (n == 0) break;
    done += static_cast<uint64_t>(n);
  }
  *got = done;
  return Error::kOk;
}

Error Env::size_of(const Handle& file, uint64_t* size) { return regular_size(fd_of(file), size); }

Error Env::sync(const Handle& file) {
  return retrying([&] { return ::fsync(fd_of(file)); });
}

Error Env::truncate(const Handle& file, uint64_t length) {
  return retrying([&] { return ::ftruncate(fd_of(file), static_cast<off_t>(length)); });
}

Error Env::close(Handle* file) {
  // After a failed close the descriptor is gone all the same (Linux), so
  // it is never retried.
  return ::close(static_cast<int>(file->release())) == 0 ? Error::kOk : posix::from_errno(errno);
}

Error Env::make_folder(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) == 0 || errno == EEXIST) return Error::kOk;
  return posix::from_errno(errno);
}

const uint8_t* Env::map_window(const Handle& file, uint64_t offset, uint64_t length) {
  // A small window is read whole, right away: populated in one go, not a
  // fault at a time. A large one (a whole pack) may be read only in part.
#if RADODARO_HAVE_MAP_POPULATE
  const int populate = length <= (uint64_t{4} << 20) ? MAP_POPULATE : 0;
#else
  const int populate = 0;
#endif
  void* p = ::mmap(nullptr, length, PROT_READ, MAP_SHARED | populate, fd_of(file),
                   static_cast<off_t>(offset));
  return p == MAP_FAILED ? nullptr : static_cast<const uint8_t*>(p);
}

void Env::unmap_window(const uint8_t* data, uint64_t length) {
  posix::forget_faulted(data, length);
  ::munmap(const_cast<uint8_t*>(data), length);
}

void let_go(const uint8_t* data, uint64_t length) {
  static const auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<uintptr_t>(data);
  const uintptr_t from = (begin + page - 1) & ~(page - 1);
  const uintptr_t to = (begin + length) & ~(page - 1);
  // A shared mapping of a file loses nothing: its pages are the file's.
  if (from < to)
    (void)::madvise(const_cast<uint8_t*>(data) + (from - begin), to - from, MADV_DONTNEED);
}

void advise_sequential(const uint8_t* data, uint64_t length) {
  // madvise wants a page-aligned start; a whole view has one.
  (void)::madvise(const_cast<uint8_t*>(data), length, MADV_SEQUENTIAL);
}

}  // namespace radodaro::platform
