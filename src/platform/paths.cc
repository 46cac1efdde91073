// What paths do alike on every system, over the roots and separators that
// each system's paths file knows.
#include "platform/paths.h"
#include "platform/internal.h"

namespace radodaro::platform {

std::string full_folder_path(const std::string& path) {
  std::string folder = full_path(path);
  if (folder.empty() || folder.back() != internal::kSeparator) folder += internal::kSeparator;
  return folder;
}

Error make_folder_chain(Env& env, const std::string& path) {
  const size_t last = path.rfind(internal::kSeparator);
  if (last == std::string::npos) return Error::kOk;
  // Each separator after the root ends one folder of the chain. A folder
  // that cannot be made fails those inside it too: the first failure of
  // the failing tail is the reason.
  Error why = Error::kOk;
  for (size_t pos = path.find(internal::kSeparator, internal::root_length(path));
       pos != std::string::npos && pos <= last; pos = path.find(internal::kSeparator, pos + 1)) {
    const Error e = env.make_folder(path.substr(0, pos));
    if (e == Error::kOk) {
      why = Error::kOk;
    } else if (why == Error::kOk) {
      why = e;
    }
  }
  return why;
}

}  // namespace radodaro::platform
