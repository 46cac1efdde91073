#include "cli/drop.h"

namespace radodaro {

std::string folder_for_pack(const std::string& pak_path) {
  // By its text alone, with either separator, as Explorer gives it.
  const size_t cut = pak_path.find_last_of("/\\") + 1;  // 0 when there is none
  std::string name = pak_path.substr(cut);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return pak_path.substr(0, cut) + name + "-members";
}

DropPlan plan_drop(bool own_console, const std::string& argument, const std::string& real,
                   const DroppedPath& dropped, const DroppedPath& beside) {
  DropPlan plan;
  if (!own_console) return plan;
  using Kind = DroppedPath::Kind;
  switch (dropped.kind) {
    case Kind::kFile: {
      const std::string folder = folder_for_pack(argument);
      if (beside.kind == Kind::kNothing) {
        plan.action = DropPlan::Action::kRun;
        plan.command = {"--expand", argument, folder};
      } else if (beside.kind == Kind::kFolder && !beside.record_pack.empty() &&
                 beside.record_pack == real) {
        plan.action = DropPlan::Action::kRun;
        plan.command = {"--expand", "--skip-existing", argument, folder};
      } else {
        plan.action = DropPlan::Action::kRefuse;
        plan.why = folder + " is there already, and was not expanded from " + argument +
                   " by radodaro; move it away, or expand the pack from a shell";
      }
      return plan;
    }
    case Kind::kFolder:
      if (!dropped.record_pack.empty()) {
        plan.action = DropPlan::Action::kRun;
        plan.command = {"--update", dropped.record_pack, argument};
      } else {
        plan.action = DropPlan::Action::kRefuse;
        plan.why = argument + " holds no record of the pack it was expanded from";
      }
      return plan;
    case Kind::kNothing:
      break;
  }
  plan.action = DropPlan::Action::kRefuse;
  plan.why = argument + ": nothing there to expand or put back";
  return plan;
}

}  // namespace radodaro
