#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <new>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/internal.h"
#include "platform/windows_internal.h"

namespace radodaro::platform {

using windows::FilesLocked;
using windows::handle_of;
using windows::join;
using windows::Object;
using windows::wrap;

namespace {

// ReadFile and WriteFile move at most a DWORD's worth at a time.
constexpr uint64_t kMaxIo = uint64_t{1} << 30;

CRITICAL_SECTION* files_lock() {
  static CRITICAL_SECTION* lock = [] {
    static CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    return &cs;
  }();
  return lock;
}

OVERLAPPED at_offset(uint64_t offset) {
  OVERLAPPED o = {};
  o.Offset = static_cast<DWORD>(offset);
  o.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return o;
}

// Only a file on a disk, not a folder, a pipe, a console or a device.
Error regular_size(HANDLE h, uint64_t* size) {
  if (GetFileType(h) != FILE_TYPE_DISK) return Error::kNotRegular;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) return windows::from_last_error();
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return Error::kNotRegular;
  *size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  return Error::kOk;
}

bool is_folder(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(windows::system_path(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// A failed open of something that is not a file says "access denied";
// say what it is instead.
Error open_error(const std::string& path) {
  const DWORD error = GetLastError();
  if (error == ERROR_ACCESS_DENIED && is_folder(path)) return Error::kNotRegular;
  return windows::from_last_error(error);
}

Error set_delete_on_close(HANDLE h, bool on) {
  FILE_DISPOSITION_INFO info = {};
  info.DeleteFile = on ? TRUE : FALSE;
  return SetFileInformationByHandle(h, FileDispositionInfo, &info, sizeof info)
             ? Error::kOk
             : windows::from_last_error();
}

}  // namespace

// Set when this thread's last kNotFound was a file where a folder was
// wanted, which the tool's own words would call missing.
thread_local bool g_not_a_folder = false;

const char* internal::system_reason(Error error) {
  const bool not_a_folder = g_not_a_folder;
  g_not_a_folder = false;
  return error == Error::kNotFound && not_a_folder ? "Not a directory" : nullptr;
}

namespace windows {

Handle wrap(HANDLE handle, std::string path) {
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return Handle();
  auto* object = new (std::nothrow) Object{handle, std::move(path)};
  if (object == nullptr) {
    CloseHandle(handle);
    return Handle();
  }
  return Handle(reinterpret_cast<intptr_t>(object));
}

Error from_last_error(DWORD error) {
  switch (error) {
    case ERROR_SUCCESS:
      return Error::kOk;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_FILENAME_EXCED_RANGE:  // a name that cannot exist names nothing
    case ERROR_INVALID_NAME:
      return Error::kNotFound;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return Error::kExists;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return Error::kBusy;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_FILE_TOO_LARGE:
      return Error::kNoSpace;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_COMMITMENT_LIMIT:
    case ERROR_NOT_ENOUGH_QUOTA:
      return Error::kNoMemory;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
    case ERROR_INVALID_PARAMETER:
      return Error::kUnsupported;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return Error::kDenied;
    default:
      return Error::kIo;
  }
}

std::wstring wide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(std::max(n, 0)), L'\0');
  if (n > 0) {
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  }
  return out;
}

std::string narrow(const wchar_t* utf16, size_t length) {
  if (length == 0) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, utf16, static_cast<int>(length), nullptr, 0,
                                    nullptr, nullptr);
  std::string out(static_cast<size_t>(std::max(n, 0)), '\0');
  if (n > 0) {
    WideCharToMultiByte(CP_UTF8, 0, utf16, static_cast<int>(length), out.data(), n, nullptr,
                        nullptr);
  }
  return out;
}

std::wstring system_path(const std::string& path) {
  const bool separator0 = !path.empty() && (path[0] == '\\' || path[0] == '/');
  const bool separator1 = path.size() > 1 && (path[1] == '\\' || path[1] == '/');
  std::string plain = path;
  for (char& c : plain) {
    if (c == '/') c = '\\';
  }
  if (plain.rfind("\\\\?\\", 0) == 0) return wide(plain);
  if (plain.size() >= 3 && plain[1] == ':' && plain[2] == '\\') return L"\\\\?\\" + wide(plain);
  if (separator0 && separator1 && plain.size() > 2 && plain[2] != '?' && plain[2] != '.') {
    return L"\\\\?\\UNC\\" + wide(plain.substr(2));
  }
  return wide(path);
}

std::string join(const Handle& folder, const std::string& name) {
  const std::string& path = object_of(folder)->path;
  if (!path.empty() && (path.back() == '\\' || path.back() == '/')) return path + name;
  return path + '\\' + name;
}

void lock_files() { EnterCriticalSection(files_lock()); }
void unlock_files() { LeaveCriticalSection(files_lock()); }

}  // namespace windows

void Handle::reset(intptr_t native) {
  if (native_ != kNone) {
    Object* object = windows::object_from(native_);
    {
      FilesLocked locked;
      CloseHandle(object->handle);
    }
    delete object;
  }
  native_ = native;
}

void internal::unmap_view(const uint8_t* data, uint64_t) { UnmapViewOfFile(data); }

std::string internal::process_id() { return std::to_string(GetCurrentProcessId()); }

Error internal::create_temp_file(Env& env, const Handle& folder, const std::string& name,
                                 Handle* file, int* slot) {
  // The console handler takes the same lock before it removes the file.
  FilesLocked locked;
  const Error e = env.create_new(folder, name, file);
  if (e != Error::kOk) return e;
  *slot = windows::set_temp_file(join(folder, name));
  if (*slot >= 0) return Error::kOk;
  // No room to say it is ours: it goes at once.
  file->reset();
  (void)DeleteFileW(windows::system_path(join(folder, name)).c_str());
  return Error::kIo;
}

void internal::forget_temp_file(int slot) { windows::clear_temp_file(slot); }

Error internal::link_temp_file(Env& env, const Handle& folder, const Handle& file,
                               const std::string& name, int* slot) {
  FilesLocked locked;
  const Error e = env.link_unnamed(folder, file, name);
  if (e != Error::kOk) return e;
  *slot = windows::set_temp_file(join(folder, name));
  // Named, but not known: marked for deletion again, so that its close
  // removes it.
  if (*slot >= 0) return Error::kOk;
  (void)set_delete_on_close(handle_of(file), true);
  return Error::kIo;
}

Env& Env::system() {
  static Env env;
  return env;
}

Error Env::map_shared(const std::string& path, MappedView* view) {
  FilesLocked locked;
  // Read sharing only: no writer can open the pack while it is mapped, and
  // one that holds it already keeps us out.
  Handle file = wrap(CreateFileW(windows::system_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.is_open()) return open_error(path);
  uint64_t size = 0;
  if (const Error e = regular_size(handle_of(file), &size); e != Error::kOk) return e;
  if (size == 0) return Error::kEmpty;
  HANDLE mapping = CreateFileMappingW(handle_of(file), nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (mapping == nullptr) return windows::from_last_error();
  void* p = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
  const DWORD error = GetLastError();
  CloseHandle(mapping);  // the view keeps the mapping
  if (p == nullptr) return windows::from_last_error(error);
  *view = MappedView();
  view->data = static_cast<const uint8_t*>(p);
  view->size = size;
  view->file = std::move(file);
  return Error::kOk;
}

Error Env::open_exclusive(const std::string& path, Handle* file, uint64_t* size, bool replaceable) {
  FilesLocked locked;
  // Shared with nobody. A pack to be replaced shares reading and deleting,
  // which is what the replacement asks for; every run of ours wants to
  // write or asks others not to, so none can open it meanwhile.
  const DWORD share = replaceable ? FILE_SHARE_READ | FILE_SHARE_DELETE : 0;
  Handle f = wrap(CreateFileW(windows::system_path(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                              share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f.is_open()) return open_error(path);
  if (const Error e = regular_size(handle_of(f), size); e != Error::kOk) return e;
  *file = std::move(f);
  return Error::kOk;
}

Error Env::open_folder(const std::string& path, Handle* folder) {
  FilesLocked locked;
  // Without delete sharing the folder cannot be renamed or removed while
  // it is open, so it stays the folder that was asked for.
  Handle f = wrap(CreateFileW(windows::system_path(path).c_str(), FILE_LIST_DIRECTORY,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr),
                  path);
  if (!f.is_open()) {
    const DWORD error = GetLastError();
    // A file where the folder was to be: its name with a separator after
    // it is no name Windows takes.
    std::string bare = path;
    while (bare.size() > 1 && internal::is_separator(bare.back())) bare.pop_back();
    const DWORD attributes = GetFileAttributesW(windows::system_path(bare).c_str());
    g_not_a_folder =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    const Error e = windows::from_last_error(error);
    return g_not_a_folder ? Error::kNotFound : e;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle_of(f), &info)) return windows::from_last_error();
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    g_not_a_folder = true;
    return Error::kNotFound;
  }
  *folder = std::move(f);
  return Error::kOk;
}

Error Env::look_up(const Handle& folder, const std::string& name) {
  FilesLocked locked;
  if (!folder.is_open()) return Error::kIo;
  // The attributes of a link are its own: links are not followed.
  if (GetFileAttributesW(windows::system_path(join(folder, name)).c_str()) !=
      INVALID_FILE_ATTRIBUTES) {
    return Error::kOk;
  }
  return windows::from_last_error();
}

Error Env::regular_file_at(const Handle& folder, const std::string& name) {
  FilesLocked locked;
  if (!folder.is_open()) return Error::kIo;
  const DWORD attributes = GetFileAttributesW(windows::system_path(join(folder, name)).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return windows::from_last_error();
  constexpr DWORD kNotPlain =
      FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
  return (attributes & kNotPlain) != 0 ? Error::kNotRegular : Error::kOk;
}

Error Env::list_folder(const Handle& folder, std::vector<std::string>* names) {
  FilesLocked locked;
  if (!folder.is_open()) return Error::kIo;
  names->clear();
  WIN32_FIND_DATAW found;
  HANDLE search =
      FindFirstFileExW(windows::system_path(join(folder, "*")).c_str(), FindExInfoBasic, &found,
                       FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (search == INVALID_HANDLE_VALUE) {
    return GetLastError() == ERROR_FILE_NOT_FOUND ? Error::kOk : windows::from_last_error();
  }
  do {
    // Names differ here only where they differ in more than case; member
    // names are in lower case.
    std::string name = windows::narrow(found.cFileName, wcslen(found.cFileName));
    for (char& c : name) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    names->push_back(std::move(name));
  } while (FindNextFileW(search, &found));
  const DWORD error = GetLastError();
  FindClose(search);
  return error == ERROR_NO_MORE_FILES ? Error::kOk : windows::from_last_error(error);
}

Error Env::open_for_read(const Handle& folder, const std::string& name, Handle* file,
                         uint64_t* size) {
  FilesLocked locked;
  if (!folder.is_open()) return Error::kIo;
  const std::string path = join(folder, name);
  // Delete sharing lets the run remove a journal it holds open.
  Handle f = wrap(CreateFileW(windows::system_path(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!f.is_open()) return open_error(path);
  if (const Error e = regular_size(handle_of(f), size); e != Error::kOk) return e;
  *file = std::move(f);
  return Error::kOk;
}

Error Env::create_unnamed(const Handle& folder, const std::string& name, Handle* file) {
  FilesLocked locked;
  if (!folder.is_open()) return Error::kIo;
  // Windows has no file without a name. This one has a name that no member
  // file can have, so a group run never reads it; it is shared with nobody
  // and marked for deletion until link_unnamed(), so the system removes it
  // when its handle closes, however the process ends.
  const std::string path =
      join(folder, name + ".radodaro-" + std::to_string(GetCurrentProcessId()));
  Handle f = wrap(CreateFileW(windows::system_path(path).c_str(), GENERIC_WRITE | DELETE, 0,
                              nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr),
                  path);
  if (!f.is_open()) {
    const Error e = open_error(path);
    // A leftover at the temporary name says nothing of the member.
    return e == Error::kExists ? Error::kIo : e;
  }
  if (const Error e = set_delete_on_close(handle_of(f), true); e != Error::kOk) {
    f.reset();
    (void)DeleteFileW(windows::system_path(path).c_str());
    return e == Error::kUnsupported ? e : Error::kIo;
  }
  *file = std::move(f);
  return Error::kOk;
}

Error Env::link_unnamed(const Handle& folder, const Handle& file, const std::string& name) {
  FilesLocked locked;
  if (!folder.is_open() || !file.is_open()) return Error::kIo;
  // The system refuses to rename a file that is marked for deletion, so the
  // mark goes first; a kill between the two leaves the whole file under its
  // temporary name, never a part of it under the member's.
  if (const Error e = set_delete_on_close(handle_of(file), false); e != Error::kOk) return e;
  const std::wstring target = windows::system_path(join(folder, name));
  const size_t bytes = sizeof(FILE_RENAME_INFO) + sizeof(WCHAR) * (target.size() + 1);
  std::vector<uint8_t> buffer(bytes);
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = FALSE;  // nothing at the name is ever replaced
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(sizeof(WCHAR) * target.size());
  std::copy(target.begin(), target.end(), rename->FileName);
  rename->FileName[target.size()] = L'\0';
  const Error e =
      SetFileInformationByHandle(handle_of(file), FileRenameInfo, rename, static_cast<DWORD>(bytes))
          ? Error::kOk
          : windows::from_last_error();
  // Not named: marked again, so that the close removes it.
  if (e != Error::kOk) (void)set_delete_on_close(handle_of(file), true);
  return e;
}

Error Env::create_new(const Handle& folder, const std::string& name, Handle* file) {
  FilesLocked locked;
  if (!folder.is_open()) return Error::kIo;
  const std::string path = join(folder, name);
  Handle f = wrap(CreateFileW(windows::system_path(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                              nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f.is_open()) return open_error(path);
  *file = std::move(f);
  return Error::kOk;
}

Error Env::rename_new(const Handle& folder, const std::string& from, const std::string& to) {
  FilesLocked locked;
  if (!folder.is_open()) return Error::kIo;
  // Without MOVEFILE_REPLACE_EXISTING nothing at `to` is ever replaced.
  if (MoveFileExW(windows::system_path(join(folder, from)).c_str(),
                  windows::system_path(join(folder, to)).c_str(), MOVEFILE_WRITE_THROUGH)) {
    return Error::kOk;
  }
  return windows::from_last_error();
}

Error Env::remove(const Handle& folder, const std::string& name) {
  FilesLocked locked;
  if (!folder.is_open()) return Error::kIo;
  return DeleteFileW(windows::system_path(join(folder, name)).c_str()) ? Error::kOk
                                                                       : windows::from_last_error();
}

Error Env::replace(const Handle& folder, const std::string& from, const std::string& to,
                   Handle* held) {
  if (!folder.is_open()) return Error::kIo;
  FilesLocked locked;
  const std::wstring source = windows::system_path(join(folder, from));
  const std::wstring target = windows::system_path(join(folder, to));
  if (held != nullptr && held->is_open()) {
    // Put in place while the run still holds the old file, so that no other
    // run can come in between and have its work replaced; the new file
    // takes the old one's attributes and ACL.
    if (!ReplaceFileW(target.c_str(), source.c_str(), nullptr, REPLACEFILE_WRITE_THROUGH, nullptr,
                      nullptr)) {
      return windows::from_last_error();
    }
    // The handle now holds what was replaced.
    (void)close(held);
    return Error::kOk;
  }
  if (MoveFileExW(source.c_str(), target.c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return Error::kOk;
  }
  return windows::from_last_error();
}

Error Env::copy_attributes(const Handle&, const Handle&) {
  // A new file takes its permissions from its folder, as the pack did.
  return Error::kOk;
}

Error Env::identify(const Handle& file, FileIdentity* identity) {
  FilesLocked locked;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle_of(file), &info)) return windows::from_last_error();
  identity->volume = info.dwVolumeSerialNumber;
  identity->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  identity->links = info.nNumberOfLinks;
  return Error::kOk;
}

Error Env::stamp_at(const Handle& folder, const std::string& name, FileStamp* stamp) {
  FilesLocked locked;
  if (!folder.is_open()) return Error::kIo;
  // Opened for its attributes alone, the link itself rather than what it
  // points to, sharing everything: nothing else is kept from it.
  HANDLE file =
      CreateFileW(windows::system_path(join(folder, name)).c_str(), FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return windows::from_last_error();
  BY_HANDLE_FILE_INFORMATION info;
  FILE_BASIC_INFO basic;
  const bool told = GetFileInformationByHandle(file, &info) &&
                    GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic);
  const Error why = told ? Error::kOk : windows::from_last_error();
  CloseHandle(file);
  if (why != Error::kOk) return why;
  constexpr DWORD kNotPlain =
      FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
  if ((info.dwFileAttributes & kNotPlain) != 0) return Error::kNotRegular;
  // 100-nanosecond ticks since 1601.
  constexpr int64_t kTicksTo1970 = 116444736000000000;
  const auto ns = [](LARGE_INTEGER t) { return (t.QuadPart - kTicksTo1970) * 100; };
  stamp->size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  stamp->modified_ns = ns(basic.LastWriteTime);
  stamp->changed_ns = ns(basic.ChangeTime);
  stamp->identity.volume = info.dwVolumeSerialNumber;
  stamp->identity.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  stamp->identity.links = info.nNumberOfLinks;
  return Error::kOk;
}

Error Env::sync_folder(const Handle&) {
  // Windows gives no way to flush a folder's names; NTFS commits them
  // through its own log. The files themselves are flushed with sync().
  return Error::kOk;
}

// Nothing on every Windows file system copies a range of one file into
// another within the system: the caller copies it.
Error Env::copy_range(const Handle&, uint64_t, const Handle&, uint64_t, uint64_t,
                      uint64_t* copied) {
  *copied = 0;
  return Error::kUnsupported;
}

Error Env::write_at(const Handle& file, const uint8_t* data, uint64_t length, uint64_t offset) {
  FilesLocked locked;
  for (uint64_t done = 0; done < length;) {
    const auto want = static_cast<DWORD>(std::min(length - done, kMaxIo));
    OVERLAPPED at = at_offset(offset + done);
    DWORD n = 0;
    if (!WriteFile(handle_of(file), data + done, want, &n, &at)) return windows::from_last_error();
    if (n == 0) return Error::kNoSpace;
    done += n;
  }
  return Error::kOk;
}

Error Env::read_at(const Handle& file, uint8_t* data, uint64_t length, uint64_t offset,
                   uint64_t* got) {
  FilesLocked locked;
  uint64_t done = 0;
  while (done < length) {
    const auto want = static_cast<DWORD>(std::min(length - done, kMaxIo));
    OVERLAPPED at = at_offset(offset + done);
    DWORD n = 0;
    if (!ReadFile(handle_of(file), data + done, want, &n, &at)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return windows::from_last_error();
    }
    if (n == 0) break;
    done += n;
  }
  *got = done;
  return Error::kOk;
}

Error Env::size_of(const Handle& file, uint64_t* size) {
  FilesLocked locked;
  return regular_size(handle_of(file), size);
}

Error Env::sync(const Handle& file) {
  FilesLocked locked;
  return FlushFileBuffers(handle_of(file)) ? Error::kOk : windows::from_last_error();
}

Error Env::truncate(const Handle& file, uint64_t length) {
  FilesLocked locked;
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(length);
  if (!SetFilePointerEx(handle_of(file), at, nullptr, FILE_BEGIN) ||
      !SetEndOfFile(handle_of(file))) {
    return windows::from_last_error();
  }
  return Error::kOk;
}

Error Env::close(Handle* file) {
  FilesLocked locked;
  if (!file->is_open()) return Error::kIo;
  Object* object = windows::object_from(file->release());
  const bool closed = CloseHandle(object->handle) != 0;
  const DWORD error = GetLastError();
  delete object;
  return closed ? Error::kOk : windows::from_last_error(error);
}

Error Env::make_folder(const std::string& path) {
  FilesLocked locked;
  if (CreateDirectoryW(windows::system_path(path).c_str(), nullptr) ||
      GetLastError() == ERROR_ALREADY_EXISTS) {
    return Error::kOk;
  }
  return windows::from_last_error();
}

const uint8_t* Env::map_window(const Handle& file, uint64_t offset, uint64_t length) {
  FilesLocked locked;
  HANDLE mapping = CreateFileMappingW(handle_of(file), nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (mapping == nullptr) return nullptr;
  void* p = MapViewOfFile(mapping, FILE_MAP_READ, static_cast<DWORD>(offset >> 32),
                          static_cast<DWORD>(offset), static_cast<SIZE_T>(length));
  CloseHandle(mapping);
  return static_cast<const uint8_t*>(p);
}

void Env::unmap_window(const uint8_t* data, uint64_t) { UnmapViewOfFile(data); }

void advise_sequential(const uint8_t*, uint64_t) {
  // The cache manager reads ahead in mapped files of its own accord.
}

void let_go(const uint8_t*, uint64_t) {
  // The system trims a process's working set of mapped pages on its own.
}

}  // namespace radodaro::platform
