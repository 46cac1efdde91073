// A pack or a folder dropped on the program in Explorer (or double-clicked
// with it): the program starts in a console window of its own with the one
// path as its argument, and does what that path calls for.
#ifndef RADODARO_CLI_DROP_H_
#define RADODARO_CLI_DROP_H_

#include <string>
#include <vector>

namespace radodaro {

// What a path is, as far as the drop needs to know.
struct DroppedPath {
  enum class Kind { kNothing, kFile, kFolder };
  Kind kind = Kind::kNothing;
  // A folder: the pack its record names (its real path), or "" when it
  // has no record that can be read.
  std::string record_pack;
};

struct DropPlan {
  enum class Action { kUsage, kRun, kRefuse };
  Action action = Action::kUsage;
  std::vector<std::string> command;  // kRun: the arguments after the program's name
  std::string why;                   // kRefuse
};

// The folder that a dropped pack is expanded into: beside it, named after
// it without its extension, and "-members" ("game.pak": "game-members").
std::string folder_for_pack(const std::string& pak_path);

// What to do with the one `argument` (absolute) given to a program whose
// console is its own (`own_console`, else the usage text as ever), that is
// `dropped`, beside which the folder for a pack is `beside`, and whose real
// path is `real`:
// - a pack: --expand into folder_for_pack(); into a folder there already
//   only when its record is of this pack (resumed, members there passed
//   over), else refused;
// - a folder with a record: --update of the pack it names;
// - anything else: refused.
DropPlan plan_drop(bool own_console, const std::string& argument, const std::string& real,
                   const DroppedPath& dropped, const DroppedPath& beside);

}  // namespace radodaro

#endif  // RADODARO_CLI_DROP_H_
