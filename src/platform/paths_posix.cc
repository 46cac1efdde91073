#include "platform/paths.h"

#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

namespace radodaro::platform {

namespace {

constexpr char kSeparator = '/';

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

std::string full_folder_path(const std::string& path) {
  std::string folder = full_path(path);
  if (folder.empty() || folder.back() != kSeparator) folder += kSeparator;
  return folder;
}

void make_folder_chain(Env& env, const std::string& path) {
  const size_t last = path.rfind(kSeparator);
  if (last == std::string::npos) return;
  // Each separator after the root's ends one folder of the chain.
  for (size_t pos = path.find(kSeparator, 1); pos != std::string::npos && pos <= last;
       pos = path.find(kSeparator, pos + 1)) {
    (void)env.make_folder(path.substr(0, pos));
  }
}

}  // namespace radodaro::platform
