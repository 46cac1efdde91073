#include <windows.h>

#include <string>
#include <vector>

#include "platform/internal.h"
#include "platform/paths.h"
#include "platform/windows_internal.h"

namespace radodaro::platform {

const char internal::kSeparator = '\\';

bool internal::is_separator(char c) { return c == '\\' || c == '/'; }

size_t internal::root_length(const std::string& path) {
  if (path.size() >= 3 && path[1] == ':' && is_separator(path[2])) return 3;
  if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
    // A network path: the root takes in the server and the share.
    size_t at = 2;
    for (int part = 0; part < 2; ++part) {
      while (at < path.size() && !is_separator(path[at])) ++at;
      if (at == path.size()) return at;
      ++at;
    }
    return at;
  }
  return !path.empty() && is_separator(path[0]) ? 1 : 0;
}

std::string full_path(const std::string& path) {
  // The system's own service: relative to the current folder of the
  // current drive, forward slashes taken as separators, "." and ".."
  // folded, of any length. It takes an empty path as no path, which here
  // means the current folder.
  const std::wstring given = windows::wide(path.empty() ? "." : path);
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD n =
        GetFullPathNameW(given.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (n == 0) return path;
    if (n < buffer.size()) return windows::narrow(buffer.data(), n);
    buffer.resize(n);
  }
}

std::string real_path(const std::string& path) {
  // The system's own answer, from the file itself: links and junctions
  // resolved. It comes as \\?\C:\... or \\?\UNC\server\share\...
  Handle file = windows::wrap(CreateFileW(
      windows::system_path(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file.is_open()) return path;
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD n = GetFinalPathNameByHandleW(windows::handle_of(file), buffer.data(),
                                              static_cast<DWORD>(buffer.size()),
                                              FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return path;
    if (n < buffer.size()) {
      std::string real = windows::narrow(buffer.data(), n);
      if (real.rfind("\\\\?\\UNC\\", 0) == 0) return "\\\\" + real.substr(8);
      if (real.rfind("\\\\?\\", 0) == 0) return real.substr(4);
      return real;
    }
    buffer.resize(n);
  }
}

std::string state_folder() {
  // The user's local application data, as Windows keeps it.
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n =
        GetEnvironmentVariableW(L"LOCALAPPDATA", buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return "";
    if (n < buffer.size()) {
      buffer.resize(n);
      break;
    }
    buffer.resize(n);
  }
  return windows::narrow(buffer) + "\\radodaro\\journals\\";
}

std::string native_path(const std::string& slashed) {
  std::string path = slashed;
  for (char& c : path) c = c == '/' ? '\\' : c;
  return path;
}

std::string name_key(const std::string& name) {
  std::string key = name;
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
}

}  // namespace radodaro::platform
