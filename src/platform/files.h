// What the tool needs of the operating system's files and folders, in the
// tool's own terms: opaque handles, a small error enum, and an Env whose
// methods do the work. The real Env talks to the system; tests derive from
// it to make chosen calls fail. Every operation retries interrupted calls,
// loops on short transfers and reports failure through its result; nothing
// here prints.
#ifndef RADODARO_PLATFORM_FILES_H_
#define RADODARO_PLATFORM_FILES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace radodaro::platform {

enum class Error {
  kOk,
  kNotFound,     // nothing at the path, or a folder on the way is missing
  kNotRegular,   // a folder, FIFO, device or socket where a file was wanted
  kExists,       // something, even a dangling link, is at the name already
  kBusy,         // another process holds the file (a lock, a share mode)
  kEmpty,        // a file of length zero, which cannot be mapped
  kNoSpace,      // the disk, a quota or a file size limit is full
  kNoMemory,     // memory or address space ran out
  kUnsupported,  // the file system cannot do it (say, unnamed files)
  kDenied,       // permissions, or a read-only file system, forbid it
  kIo,           // any other failure
};

// The reason `error` stands for, as a person reads it after the path it
// concerns: "Permission denied".
const char* reason(Error error);

// An open file or folder of the system, closed (unchecked) when it goes out
// of scope; files that were written are closed with Env::close() instead.
// Only the platform implementation looks inside.
class Handle {
 public:
  static constexpr intptr_t kNone = -1;
  Handle() = default;
  explicit Handle(intptr_t native) : native_(native) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle(Handle&& other) noexcept : native_(other.release()) {}
  Handle& operator=(Handle&& other) noexcept;
  ~Handle() { reset(); }

  bool is_open() const { return native_ != kNone; }
  intptr_t native() const { return native_; }
  intptr_t release() {
    const intptr_t n = native_;
    native_ = kNone;
    return n;
  }
  void reset(intptr_t native = kNone);

 private:
  intptr_t native_ = kNone;
};

// A read-only view of a whole file, and the handle that keeps it (and its
// shared lock) alive. Moves, never copies.
struct MappedView {
  const uint8_t* data = nullptr;
  uint64_t size = 0;
  Handle file;

  MappedView() = default;
  MappedView(MappedView&& other) noexcept;
  MappedView& operator=(MappedView&& other) noexcept;
  MappedView(const MappedView&) = delete;
  MappedView& operator=(const MappedView&) = delete;
  ~MappedView();
};

// What tells one file from every other on the system, whatever names lead
// to it (device and inode; volume serial and file index on Windows), and
// how many names (hard links) it has.
struct FileIdentity {
  uint64_t volume = 0;
  uint64_t index = 0;
  uint64_t links = 0;
  bool same_file(const FileIdentity& other) const {
    return volume == other.volume && index == other.index;
  }
};

// What a folder's listing and a file's metadata say of a regular file, to
// tell without reading it whether it changed since it was last seen: its
// size, its modification and change times in nanoseconds since 1970 (the
// change time moves with any write or metadata change, and cannot be set
// back), and its identity.
struct FileStamp {
  uint64_t size = 0;
  int64_t modified_ns = 0;
  int64_t changed_ns = 0;
  FileIdentity identity;
  bool operator==(const FileStamp& o) const {
    return size == o.size && modified_ns == o.modified_ns && changed_ns == o.changed_ns &&
           identity.same_file(o.identity);
  }
};

class Env {
 public:
  Env() = default;
  virtual ~Env() = default;
  Env(const Env&) = delete;
  Env& operator=(const Env&) = delete;

  // The operating system itself.
  static Env& system();

  // Opens the regular file at `path` for reading, shared with other readers
  // but no writer, and maps all of it read-only. kNotFound, kNotRegular,
  // kBusy (a writer holds it), kEmpty, or kIo.
  virtual Error map_shared(const std::string& path, MappedView* view);

  // Opens the regular file at `path` for reading and writing, held so that
  // no other reader or writer can open it meanwhile, and gives its length.
  // `replaceable`: a file that replace() is to put another in the place of
  // while it is still held (Windows lets nothing else replace it then).
  virtual Error open_exclusive(const std::string& path, Handle* file, uint64_t* size,
                               bool replaceable = false);

  // Opens the folder `path` so that files can be named within it, safe from
  // the folder being renamed or replaced afterwards.
  virtual Error open_folder(const std::string& path, Handle* folder);

  // Whether anything is at `name` in `folder`, links not followed: kOk when
  // something is, kNotFound when nothing is, another error when it cannot
  // be told.
  virtual Error look_up(const Handle& folder, const std::string& name);

  // Whether a plain file is at `name` in `folder`, links not followed: kOk
  // for a regular file, kNotRegular for a link, folder or anything else,
  // kNotFound when nothing is there.
  virtual Error regular_file_at(const Handle& folder, const std::string& name);

  // Every name in `folder` (links, folders and all), in no order.
  virtual Error list_folder(const Handle& folder, std::vector<std::string>* names);

  // Opens the regular file `name` in `folder` (or the file a link there
  // leads to) for reading, without blocking, and gives its length.
  // kNotFound when nothing is there, kNotRegular for anything but a file.
  virtual Error open_for_read(const Handle& folder, const std::string& name, Handle* file,
                              uint64_t* size);

  // A new file in `folder`, for writing, that is to become `name` and that
  // nobody can read by that name until link_unnamed(): where the system can
  // do it, it has no name yet; elsewhere it holds the name already, cannot
  // be opened by anyone else, and goes when its handle is closed, however
  // the process ends (kExists when anything is at the name). kUnsupported
  // where the file system can do neither.
  virtual Error create_unnamed(const Handle& folder, const std::string& name, Handle* file);
  // Makes the unnamed `file` the file `name`; kExists when anything is there.
  virtual Error link_unnamed(const Handle& folder, const Handle& file, const std::string& name);

  // A new file `name` in `folder`, never through a link and never over
  // anything that is there (kExists).
  virtual Error create_new(const Handle& folder, const std::string& name, Handle* file);
  // Renames `from` to `to` in `folder`, never over anything (kExists).
  virtual Error rename_new(const Handle& folder, const std::string& from, const std::string& to);
  virtual Error remove(const Handle& folder, const std::string& name);
  // Renames `from` to `to` in `folder`, over what is at `to`: at once, so
  // that `to` is always either. `held` is this run's open handle of `to`
  // (opened replaceable), or nullptr; it stays open throughout, and its
  // lock with it, so no other run comes in between. (On Windows the new
  // file also takes the old one's attributes and ACL there.)
  virtual Error replace(const Handle& folder, const std::string& from, const std::string& to,
                        Handle* held);
  // Gives `to` what `from` has of its owner, group, mode and extended
  // attributes, in that order (a change of owner may clear setuid bits),
  // as far as the file system keeps them.
  virtual Error copy_attributes(const Handle& from, const Handle& to);
  virtual Error identify(const Handle& file, FileIdentity* identity);
  // The stamp of the regular file `name` of `folder`, links not followed:
  // kNotFound, or kNotRegular for anything else there.
  virtual Error stamp_at(const Handle& folder, const std::string& name, FileStamp* stamp);
  // Makes the names created and removed in `folder` durable.
  virtual Error sync_folder(const Handle& folder);

  virtual Error write_at(const Handle& file, const uint8_t* data, uint64_t length, uint64_t offset);
  // Copies `length` bytes of `from` at `from_offset` to `to` at
  // `to_offset` inside the system, never through the process's memory:
  // kUnsupported where the system cannot (or will not, between these
  // files), the caller then copying the rest itself; `*copied` says how
  // many were copied before any failure. A source that ends first is kIo.
  virtual Error copy_range(const Handle& from, uint64_t from_offset, const Handle& to,
                           uint64_t to_offset, uint64_t length, uint64_t* copied);
  // Reads up to `length` bytes at `offset`; fewer only at the end of the file.
  virtual Error read_at(const Handle& file, uint8_t* data, uint64_t length, uint64_t offset,
                        uint64_t* got);
  virtual Error size_of(const Handle& file, uint64_t* size);
  virtual Error sync(const Handle& file);
  virtual Error truncate(const Handle& file, uint64_t length);
  // Closes `file`, which for a written file is part of the write.
  virtual Error close(Handle* file);

  // Creates one folder with the default permissions; kOk also when a folder
  // is there already.
  virtual Error make_folder(const std::string& path);

  // Maps `length` bytes of `file` from `offset`, a multiple of kWindowAlign,
  // read-only; nullptr on failure. Give it back with unmap_window().
  virtual const uint8_t* map_window(const Handle& file, uint64_t offset, uint64_t length);
  virtual void unmap_window(const uint8_t* data, uint64_t length);
};

inline constexpr uint64_t kWindowAlign = uint64_t{64} << 10;

// A new file that appears under its name only once it is whole, and never
// over anything that is there. It is written without a name (or, where the
// file system cannot do that, under a temporary name that no member file
// can have) and named by commit(). Dropped uncommitted, or when the process
// is killed, it leaves nothing under its name. `folder` must outlive it.
class NewFile {
 public:
  NewFile(Env& env, const Handle& folder, const std::string& name);
  ~NewFile();
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  // `beside`: written under the temporary name even where the file could
  // have none, as a file that is to replace another must be on Windows.
  Error create(bool beside = false);
  Error append(const uint8_t* data, uint64_t length);
  // The file itself, for writes at offsets of the caller's choosing.
  const Handle& handle() const { return file_; }
  // Makes what was appended durable.
  Error sync();
  // Gives the file the owner, group, mode and attributes of `other`.
  Error take_attributes_of(const Handle& other);
  // Closes the file and gives it its name: kExists when anything came to
  // be there meanwhile.
  Error commit();
  // The same, but a regular file at the name is replaced, at once, so that
  // the name always holds either whole file. Anything else there (a link,
  // a folder) is left alone: kNotRegular.
  Error commit_replacing();

 private:
  Env& env_;
  const Handle& folder_;
  const std::string name_;
  Handle file_;
  std::string temp_name_;  // empty while the file has no name
  int temp_slot_ = -1;     // how an interruption knows the temporary name
  uint64_t written_ = 0;
  bool committed_ = false;
};

// The name of the folder that holds the file at `path` (without a trailing
// separator, but for a root, which keeps its own), and the file's own name.
std::string folder_of(const std::string& path);
std::string name_of(const std::string& path);

// Tells the system that `length` bytes from `data` will be read once, in order.
void advise_sequential(const uint8_t* data, uint64_t length);

// The mapped bytes at `data` will not be read again soon: the pages wholly
// inside them leave this process's memory, to be read from the file again
// should they be touched. A run's memory then stays with what is in
// flight, however large the pack.
void let_go(const uint8_t* data, uint64_t length);

}  // namespace radodaro::platform

#endif  // RADODARO_PLATFORM_FILES_H_
