#include "expand/output_dirs.h"

#include "platform/files.h"
#include "platform/paths.h"

namespace radodaro {

void make_output_dirs(const std::string& path) {
  const size_t last = path.rfind(platform::kSeparator);
  if (last == std::string::npos) return;
  // Each separator after the first ends one folder of the chain.
  for (size_t pos = path.find(platform::kSeparator, 1); pos != std::string::npos && pos <= last;
       pos = path.find(platform::kSeparator, pos + 1)) {
    (void)platform::make_dir(path.substr(0, pos));
  }
}

}  // namespace radodaro
