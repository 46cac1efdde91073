#ifndef RADODARO_PLATFORM_PATHS_H_
#define RADODARO_PLATFORM_PATHS_H_

#include <string>

namespace radodaro::platform {

constexpr char kSeparator = '/';

// The absolute form of `path`, found lexically: taken relative to the current
// folder, "." and ".." folded ("/.." is "/"), repeated separators collapsed,
// links not followed, and the path need not exist. A trailing separator
// stays. An empty path gives the current folder. When the current folder
// cannot be read, a relative path is returned unchanged so that it still
// names the same place.
std::string full_path(const std::string& path);

}  // namespace radodaro::platform

#endif  // RADODARO_PLATFORM_PATHS_H_
