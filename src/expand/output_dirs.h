#ifndef RADODARO_EXPAND_OUTPUT_DIRS_H_
#define RADODARO_EXPAND_OUTPUT_DIRS_H_

#include <string>

#include "platform/files.h"

namespace radodaro {

// Creates every folder on the way to the file at the absolute `path`, outer
// first, with the default permissions, without changing the current folder.
// Failures are silent: they show up when the file itself is created.
void make_output_dirs(platform::Env& env, const std::string& path);

}  // namespace radodaro

#endif  // RADODARO_EXPAND_OUTPUT_DIRS_H_
