// Names for nameless entries: a list of lines "INDEX<TAB>PATH" that gives
// some entries a path of their own under the member folder, in place of
// %08x.dat. A path is refused that could land outside the folder, that
// Windows cannot hold, or that another entry already has.
#ifndef RADODARO_PAK_MEMBER_NAMES_H_
#define RADODARO_PAK_MEMBER_NAMES_H_

#include <cstdint>
#include <map>
#include <string>

namespace radodaro {

class MemberNames {
 public:
  // Reads a list: one "INDEX<TAB>PATH" a line (the index in decimal, in
  // hexadecimal after "0x", or as its 8-digit member name), '#' lines and
  // empty ones passed over, '/' or '\' between folder names. False, with
  // `*why` naming the line, for anything else, a path that is absolute,
  // holds "..", a drive or a name Windows reserves, or one given twice.
  bool read(const std::string& text, std::string* why);
  // False, with `*why`, when an index lies past a directory of
  // `entry_count` entries.
  bool fits(uint32_t entry_count, std::string* why) const;

  // The path of entry `index` under the folder, '/' between names: its
  // name from the list, or its member name.
  std::string path_of(uint32_t index) const;
  bool named(uint32_t index) const { return paths_.contains(index); }
  const std::map<uint32_t, std::string>& paths() const { return paths_; }

 private:
  std::map<uint32_t, std::string> paths_;
};

// Why `path` (relative, '/' between names) may not be a member's path, or
// "" when it may.
std::string refused_path(const std::string& path);

}  // namespace radodaro

#endif  // RADODARO_PAK_MEMBER_NAMES_H_
