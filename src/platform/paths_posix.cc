#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/internal.h"
#include "platform/paths.h"

namespace radodaro::platform {

const char internal::kSeparator = '/';

bool internal::is_separator(char c) { return c == '/'; }

size_t internal::root_length(const std::string& path) { return !path.empty() && path[0] == '/'; }

namespace {

using internal::kSeparator;

bool current_dir(std::string* out) {
  // glibc sizes the buffer itself, so deep folders are no problem.
  std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
  if (!cwd || cwd.get()[0] != kSeparator) return false;
  *out = cwd.get();
  return true;
}

}  // namespace

std::string full_path(const std::string& path) {
  std::string joined;
  if (path.empty() || path[0] != kSeparator) {
    if (!current_dir(&joined)) return path;
    joined += kSeparator;
  }
  joined += path;

  std::vector<std::string_view> parts;
  const std::string_view all(joined);
  size_t pos = 0;
  while (pos <= all.size()) {
    size_t end = all.find(kSeparator, pos);
    if (end == std::string_view::npos) end = all.size();
    const std::string_view part = all.substr(pos, end - pos);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    pos = end + 1;
  }

  std::string result;
  for (const std::string_view part : parts) {
    result += kSeparator;
    result += part;
  }
  if (result.empty() || (!path.empty() && path.back() == kSeparator)) result += kSeparator;
  return result;
}

std::string real_path(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
  return real ? std::string(real.get()) : path;
}

std::string name_key(const std::string& name) { return name; }

std::string native_path(const std::string& slashed) { return slashed; }

std::string state_folder() {
  // XDG_STATE_HOME, or its default under the home folder.
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/radodaro/journals/";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/')
    return std::string(home) + "/.local/state/radodaro/journals/";
  return "";
}

}  // namespace radodaro::platform
