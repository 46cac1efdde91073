// What paths do alike on every system, over the roots and separators that
// each system's paths file knows.
#include "platform/paths.h"
#include "platform/internal.h"

namespace radodaro::platform {

bool lies_inside(const std::string& inner, const std::string& outer) {
  std::string in = name_key(real_path(inner));
  std::string out = name_key(real_path(outer));
  while (!out.empty() && out.back() == internal::kSeparator) out.pop_back();
  while (!in.empty() && in.back() == internal::kSeparator) in.pop_back();
  return in.size() > out.size() && in.compare(0, out.size(), out) == 0 &&
         in[out.size()] == internal::kSeparator;
}

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
