#include "expand/output_dirs.h"

#include "platform/paths.h"

namespace radodaro {

void make_output_dirs(platform::Env& env, const std::string& path) {
  platform::make_folder_chain(env, path);
}

}  // namespace radodaro
