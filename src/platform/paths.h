// Paths as the command line gives them, made absolute, and the folders on
// the way to a file. Roots and separators are known only here.
#ifndef RADODARO_PLATFORM_PATHS_H_
#define RADODARO_PLATFORM_PATHS_H_

#include <string>

#include "platform/files.h"

namespace radodaro::platform {

// The absolute form of `path`, found lexically: taken relative to the current
// folder, "." and ".." folded ("/.." is "/"), repeated separators collapsed,
// links not followed, and the path need not exist. A trailing separator
// stays. An empty path gives the current folder. When the current folder
// cannot be read, a relative path is returned unchanged so that it still
// names the same place.
std::string full_path(const std::string& path);

// The path of the file that the absolute `path` leads to, every link on
// the way resolved, so that each name of a pack finds the same files of
// the tool's own beside it. `path` itself when nothing is there or it
// cannot be resolved.
std::string real_path(const std::string& path);

// full_path() of a folder, ending with exactly one separator.
std::string full_folder_path(const std::string& path);

// Creates every folder on the way to the file at the absolute `path`, outer
// first after the root, with the default permissions. Returns why the
// innermost folder is not there, or kOk; /e ignores it, and the failure
// shows when the file itself is created.
Error make_folder_chain(Env& env, const std::string& path);

// The folder, ending with a separator, where the tool keeps the files of
// its own that belong to a user rather than beside a pack: journals of
// packs in folders the user cannot write. Empty when the system names
// none.
std::string state_folder();

// `name` as the system compares the names in a folder: two names that lead
// to the same file give the same string (on Windows, whatever the case of
// their letters; elsewhere, byte for byte).
std::string name_key(const std::string& name);

// A path relative to a folder, written with '/' between names, with the
// system's own separator.
std::string native_path(const std::string& slashed);

// Whether the folder `inner` (absolute) lies inside the folder `outer`
// once every link on the way to either is resolved: false for a link in
// `inner` that leads elsewhere.
bool lies_inside(const std::string& inner, const std::string& outer);

}  // namespace radodaro::platform

#endif  // RADODARO_PLATFORM_PATHS_H_
