// --status PACK FOLDER: what --update would do with each member, and why.
#include "commands/group.h"
#include "commands/invocation.h"

namespace radodaro {

int status_command(platform::Env& env, const Invocation& in) {
  GroupOptions options;
  options.dry_run = true;
  options.status = true;
  options.progress = in.options.progress;
  options.selection = in.options.selection;
  options.json = in.options.json;
  options.verbose = in.options.verbose;
  options.check_all = in.options.check_all;
  options.force = in.options.force;
  const int64_t to_put_back =
      look_at_members(env, in.pack, in.folder, Compression::kNone, in.options.jobs, options);
  return to_put_back < 0 ? -1 : to_put_back > 0 ? 1 : 0;
}

}  // namespace radodaro
