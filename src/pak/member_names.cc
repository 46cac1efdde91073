#include "pak/member_names.h"

#include <cstdlib>
#include <set>
#include <vector>

#include "pak/member_record.h"
#include "pak/pak_format.h"

namespace radodaro {

namespace {

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return s;
}

bool index_of(std::string text, uint64_t* index) {
  if (text.size() == 12 && lower(text.substr(8)) == ".dat") text.resize(8);
  bool hex = text.size() == 8;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.erase(0, 2);
    hex = true;
  }
  const char* digits = hex ? "0123456789abcdefABCDEF" : "0123456789";
  if (text.empty() || text.size() > (hex ? 8 : 10) ||
      text.find_first_not_of(digits) != std::string::npos) {
    return false;
  }
  *index = std::strtoull(text.c_str(), nullptr, hex ? 16 : 10);
  return *index <= 0xffffffffu;
}

// Names that Windows gives to devices, with or without an extension.
bool reserved_by_windows(const std::string& name) {
  const std::string base = lower(name.substr(0, name.find('.')));
  static const std::set<std::string> kDevices = {"con", "prn", "aux", "nul"};
  if (kDevices.contains(base)) return true;
  return base.size() == 4 && (base.starts_with("com") || base.starts_with("lpt")) &&
         base[3] >= '1' && base[3] <= '9';
}

}  // namespace

std::string refused_path(const std::string& path) {
  if (path.empty()) return "an empty path";
  if (path[0] == '/') return "an absolute path";
  if (path.size() >= 2 && path[1] == ':') return "a path with a drive";
  size_t at = 0;
  while (true) {
    const size_t slash = std::min(path.find('/', at), path.size());
    const std::string name = path.substr(at, slash - at);
    if (name.empty()) return "an empty folder name";
    if (name == "." || name == "..") return "a path through '" + name + "'";
    for (const char c : name) {
      if (static_cast<unsigned char>(c) < 0x20 ||
          std::string("<>:\"|?*").find(c) != std::string::npos) {
        return "a name with a character Windows does not take";
      }
    }
    if (name.back() == '.' || name.back() == ' ') return "a name that ends in a dot or a space";
    if (reserved_by_windows(name)) return "a name Windows reserves ('" + name + "')";
    if (lower(name) == kRecordName) return "the name of the folder's record";
    if (slash == path.size()) return "";
    at = slash + 1;
  }
}

bool MemberNames::read(const std::string& text, std::string* why) {
  paths_.clear();
  std::set<std::string> taken;  // in lower case: Windows takes names so
  size_t at = 0;
  for (size_t number = 1; at < text.size(); ++number) {
    const size_t end = std::min(text.find('\n', at), text.size());
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const std::string where = "line " + std::to_string(number) + ": ";
    const size_t tab = line.find('\t');
    uint64_t index = 0;
    if (tab == std::string::npos || !index_of(line.substr(0, tab), &index)) {
      *why = where + "not INDEX, a tab and a PATH";
      paths_.clear();
      return false;
    }
    std::string path = line.substr(tab + 1);
    for (char& c : path) c = c == '\\' ? '/' : c;
    std::string refused = refused_path(path);
    if (refused.empty() && paths_.contains(static_cast<uint32_t>(index))) {
      refused = "entry " + std::to_string(index) + " is named twice";
    }
    if (refused.empty() && !taken.insert(lower(path)).second) refused = "a path given twice";
    if (!refused.empty()) {
      const bool of_the_list = refused.starts_with("entry") || refused.starts_with("a path given");
      *why = where;
      if (of_the_list) {
        why->append(refused).append(" ('").append(path).append("')");
      } else {
        why->append("'").append(path).append("' is ").append(refused);
      }
      paths_.clear();
      return false;
    }
    paths_[static_cast<uint32_t>(index)] = path;
  }
  // A name that is some other entry's member name would take its place.
  for (const auto& [index, path] : paths_) {
    uint64_t other = 0;
    if (path.find('/') == std::string::npos && path.size() == 12 &&
        lower(path.substr(8)) == ".dat" && index_of(path, &other) && other != index &&
        !named(static_cast<uint32_t>(other))) {
      *why = "'" + path + "' is the member name of entry " + std::to_string(other);
      paths_.clear();
      return false;
    }
  }
  return true;
}

bool MemberNames::fits(uint32_t entry_count, std::string* why) const {
  if (paths_.empty() || paths_.rbegin()->first < entry_count) return true;
  *why = "entry " + std::to_string(paths_.rbegin()->first) + " is past the directory's end (" +
         std::to_string(entry_count) + " entries)";
  return false;
}

std::string MemberNames::path_of(uint32_t index) const {
  const auto it = paths_.find(index);
  return it != paths_.end() ? it->second : member_name(index);
}

}  // namespace radodaro
