#include <windows.h>

#include <string>
#include <vector>

#include "platform/paths.h"

namespace radodaro::platform {

namespace {

constexpr char kSeparator = '\\';

// Where the folder chain starts: past the drive's root ("C:\"), past the
// share of a network path ("\\server\share\"), or past a lone root "\".
size_t chain_start(const std::string& path) {
  if (path.size() >= 3 && path[1] == ':' && path[2] == kSeparator) return 3;
  if (path.rfind("\\\\", 0) == 0) {
    const size_t server_end = path.find(kSeparator, 2);
    if (server_end == std::string::npos) return path.size();
    const size_t share_end = path.find(kSeparator, server_end + 1);
    return share_end == std::string::npos ? path.size() : share_end + 1;
  }
  return path.rfind(kSeparator, 0) == 0 ? 1 : 0;
}

}  // namespace

std::string full_path(const std::string& path) {
  // The system's own service: relative to the current folder of the
  // current drive, forward slashes taken as separators, "." and ".."
  // folded. It takes an empty path as no path, which here means the
  // current folder.
  const char* given = path.empty() ? "." : path.c_str();
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    const DWORD n =
        GetFullPathNameA(given, static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (n == 0) return path;
    if (n < buffer.size()) return std::string(buffer.data(), n);
    buffer.resize(n);
  }
}

std::string full_folder_path(const std::string& path) {
  std::string folder = full_path(path);
  if (folder.empty() || folder.back() != kSeparator) folder += kSeparator;
  return folder;
}

void make_folder_chain(Env& env, const std::string& path) {
  const size_t last = path.rfind(kSeparator);
  if (last == std::string::npos) return;
  for (size_t pos = path.find(kSeparator, chain_start(path));
       pos != std::string::npos && pos <= last; pos = path.find(kSeparator, pos + 1)) {
    (void)env.make_folder(path.substr(0, pos));
  }
}

}  // namespace radodaro::platform
