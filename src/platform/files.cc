// What files and folders do alike on every system, written once over the
// Env and the primitives of platform/internal.h.
#include <new>
#include <utility>

#include "platform/files.h"
#include "platform/internal.h"

namespace radodaro::platform {

Handle& Handle::operator=(Handle&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

MappedView::MappedView(MappedView&& other) noexcept
    : data(other.data), size(other.size), file(std::move(other.file)) {
  other.data = nullptr;
  other.size = 0;
}

MappedView& MappedView::operator=(MappedView&& other) noexcept {
  if (this != &other) {
    this->~MappedView();
    new (this) MappedView(std::move(other));
  }
  return *this;
}

MappedView::~MappedView() {
  if (data != nullptr) internal::unmap_view(data, size);
  data = nullptr;
}

std::string folder_of(const std::string& path) {
  size_t separator = path.size();
  while (separator > 0 && !internal::is_separator(path[separator - 1])) --separator;
  if (separator == 0) return ".";
  // A file in a root: the folder is the root, separator and all.
  if (separator <= internal::root_length(path)) return path.substr(0, separator);
  return path.substr(0, separator - 1);
}

std::string name_of(const std::string& path) {
  size_t separator = path.size();
  while (separator > 0 && !internal::is_separator(path[separator - 1])) --separator;
  return path.substr(separator);
}

NewFile::NewFile(Env& env, const Handle& folder, const std::string& name)
    : env_(env), folder_(folder), name_(name) {}

NewFile::~NewFile() {
  if (committed_) return;
  // An unnamed file goes with its handle.
  file_.reset();
  if (!temp_name_.empty()) {
    (void)env_.remove(folder_, temp_name_);
    internal::forget_temp_file(temp_slot_);
    temp_slot_ = -1;
  }
}

Error NewFile::create(bool beside) {
  if (!beside) {
    const Error e = env_.create_unnamed(folder_, name_, &file_);
    if (e != Error::kUnsupported) return e;
  }
  // A name that no member file can have, so a group run never reads it;
  // the process number keeps two runs apart. A kill can leave it behind,
  // but never under the file's own name.
  temp_name_ = name_ + ".radodaro-" + internal::process_id();
  const Error c = internal::create_temp_file(env_, folder_, temp_name_, &file_, &temp_slot_);
  if (c != Error::kOk) {
    temp_name_.clear();
    // A leftover at the temporary name says nothing of the file's own.
    return c == Error::kExists ? Error::kIo : c;
  }
  return Error::kOk;
}

Error NewFile::append(const uint8_t* data, uint64_t length) {
  const Error e = env_.write_at(file_, data, length, written_);
  if (e == Error::kOk) written_ += length;
  return e;
}

Error NewFile::sync() { return env_.sync(file_); }

Error NewFile::take_attributes_of(const Handle& other) {
  return env_.copy_attributes(other, file_);
}

Error NewFile::commit() {
  Error e = Error::kOk;
  if (temp_name_.empty()) {
    e = env_.link_unnamed(folder_, file_, name_);
    if (e != Error::kOk) return e;
    if (const Error c = env_.close(&file_); c != Error::kOk) {
      // Named, but perhaps not whole: take the name back.
      (void)env_.remove(folder_, name_);
      return c;
    }
  } else {
    e = env_.close(&file_);
    if (e == Error::kOk) e = env_.rename_new(folder_, temp_name_, name_);
    if (e != Error::kOk) return e;
    internal::forget_temp_file(temp_slot_);
    temp_slot_ = -1;
    temp_name_.clear();
  }
  committed_ = true;
  return Error::kOk;
}

Error NewFile::commit_replacing() {
  const Error there = env_.regular_file_at(folder_, name_);
  if (there == Error::kNotFound) return commit();
  if (there != Error::kOk) return there;
  if (temp_name_.empty()) {
    // Named first under a name of the run's own, then renamed over: a
    // kill in between leaves that name, never a part of a file under the
    // member's.
    // An interruption meanwhile removes it.
    temp_name_ = name_ + ".radodaro-" + internal::process_id();
    if (const Error e = internal::link_temp_file(env_, folder_, file_, temp_name_, &temp_slot_);
        e != Error::kOk) {
      temp_name_.clear();
      return e == Error::kExists ? Error::kIo : e;
    }
  }
  Error e = env_.close(&file_);
  if (e == Error::kOk) e = env_.replace(folder_, temp_name_, name_, nullptr);
  if (e != Error::kOk) return e;  // the destructor takes the temporary name away
  internal::forget_temp_file(temp_slot_);
  temp_slot_ = -1;
  temp_name_.clear();
  committed_ = true;
  return Error::kOk;
}

const char* reason(Error error) {
  if (const char* own = internal::system_reason(error)) return own;
  switch (error) {
    case Error::kOk:
      return "Success";
    case Error::kNotFound:
      return "No such file or directory";
    case Error::kNotRegular:
      return "Not a regular file";
    case Error::kExists:
      return "File exists";
    case Error::kBusy:
      return "Held by another process";
    case Error::kEmpty:
      return "Empty file";
    case Error::kNoSpace:
      return "No space left on device";
    case Error::kNoMemory:
      return "Cannot allocate memory";
    case Error::kUnsupported:
      return "Operation not supported";
    case Error::kDenied:
      return "Permission denied";
    case Error::kIo:
      break;
  }
  return "Input/output error";
}

}  // namespace radodaro::platform
