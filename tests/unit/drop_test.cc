#include "cli/drop.h"

#include <gtest/gtest.h>

namespace radodaro {
namespace {

TEST(Drop, APackIsExpandedBesideItAndAFolderWithItsRecordPutBack) {
  using Kind = DroppedPath::Kind;
  using Action = DropPlan::Action;
  const std::string pak = "C:\\games\\game.pak";
  const std::string folder = "C:\\games\\game-members";
  const struct {
    const char* what;
    bool own_console;
    std::string argument;
    DroppedPath dropped;
    DroppedPath beside;
    Action action;
    std::vector<std::string> command;
  } cases[] = {
      {"from a shell", false, pak, {Kind::kFile, ""}, {}, Action::kUsage, {}},
      {"a pack", true, pak, {Kind::kFile, ""}, {}, Action::kRun, {"--expand", pak, folder}},
      {"a pack expanded before",
       true,
       pak,
       {Kind::kFile, ""},
       {Kind::kFolder, pak},
       Action::kRun,
       {"--expand", "--skip-existing", pak, folder}},
      {"a folder of another pack beside it",
       true,
       pak,
       {Kind::kFile, ""},
       {Kind::kFolder, "C:\\other.pak"},
       Action::kRefuse,
       {}},
      {"a folder of the user's beside it",
       true,
       pak,
       {Kind::kFile, ""},
       {Kind::kFolder, ""},
       Action::kRefuse,
       {}},
      {"a file at the folder's name",
       true,
       pak,
       {Kind::kFile, ""},
       {Kind::kFile, ""},
       Action::kRefuse,
       {}},
      {"a member folder",
       true,
       folder,
       {Kind::kFolder, pak},
       {},
       Action::kRun,
       {"--update", pak, folder}},
      {"a folder without a record", true, folder, {Kind::kFolder, ""}, {}, Action::kRefuse, {}},
      {"nothing there", true, pak, {}, {}, Action::kRefuse, {}},
  };
  for (const auto& c : cases) {
    const DropPlan plan = plan_drop(c.own_console, c.argument, c.argument, c.dropped, c.beside);
    EXPECT_EQ(plan.action, c.action) << c.what;
    EXPECT_EQ(plan.command, c.command) << c.what;
    EXPECT_EQ(plan.why.empty(), c.action != Action::kRefuse) << c.what;
  }
  EXPECT_EQ(folder_for_pack("/data/x.y.pak"), "/data/x.y-members");
  EXPECT_EQ(folder_for_pack("/data/noext"), "/data/noext-members");
}

}  // namespace
}  // namespace radodaro
