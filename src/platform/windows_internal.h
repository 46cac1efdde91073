// What the Windows implementation files share among themselves; nothing
// outside src/platform/ includes this.
#ifndef RADODARO_PLATFORM_WINDOWS_INTERNAL_H_
#define RADODARO_PLATFORM_WINDOWS_INTERNAL_H_

#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/files.h"

namespace radodaro::platform::windows {

// What a Handle holds here: the system's handle and, for a folder, its
// path, since Windows names files by path alone.
struct Object {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::string path;
};

// A Handle keeps its Object as an integer, the one type that the handles
// of both platforms fit.
inline Object* object_from(intptr_t native) {
  return reinterpret_cast<Object*>(native);  // NOLINT(performance-no-int-to-ptr)
}
inline Object* object_of(const Handle& h) { return object_from(h.native()); }
inline HANDLE handle_of(const Handle& h) {
  return h.is_open() ? object_of(h)->handle : INVALID_HANDLE_VALUE;
}
Handle wrap(HANDLE handle, std::string path = {});

Error from_last_error(DWORD error = GetLastError());

// Text is UTF-8 inside the tool and UTF-16 for the system: every name that
// Windows can hold round-trips.
std::wstring wide(const std::string& utf8);
std::string narrow(const wchar_t* utf16, size_t length);
inline std::string narrow(const std::wstring& utf16) { return narrow(utf16.data(), utf16.size()); }

// `path` as the wide file functions take it: an absolute path in its
// \\?\ form, which knows no length limit (\\?\C:\..., \\?\UNC\server\...);
// anything else as it is. Printed paths stay the plain form.
std::wstring system_path(const std::string& path);

// `name` in the folder `folder`.
std::string join(const Handle& folder, const std::string& name);

// Held by every file operation, and by the console control handler (which
// runs on a thread of its own) while it undoes a run: so the handler never
// acts in the middle of one, and nothing runs after it.
void lock_files();
void unlock_files();
class FilesLocked {
 public:
  FilesLocked() { lock_files(); }
  ~FilesLocked() { unlock_files(); }
  FilesLocked(const FilesLocked&) = delete;
  FilesLocked& operator=(const FilesLocked&) = delete;
};

// Until cleared, an interruption removes the temporary file at `path`:
// one of at most kMaxTempFiles at once, on any thread, each known by the
// slot that set_temp_file() gives (-1: no room). Callers hold the files
// lock from the file's making to its slot's being set.
inline constexpr int kMaxTempFiles = 512;
int set_temp_file(const std::string& path);
void clear_temp_file(int slot);

}  // namespace radodaro::platform::windows

#endif  // RADODARO_PLATFORM_WINDOWS_INTERNAL_H_
