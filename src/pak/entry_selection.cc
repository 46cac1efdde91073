#include "pak/entry_selection.h"

#include <algorithm>

namespace radodaro {

namespace {

// One index: a member name ("0000000c" or "0000000c.dat") or a decimal
// number; false for anything else.
bool parse_index(std::string text, uint64_t* index) {
  if (text.size() == 12 && text.ends_with(".dat")) text.resize(8);
  const bool member = text.size() == 8;
  const char* digits = member ? "0123456789abcdefABCDEF" : "0123456789";
  if (text.empty() || text.size() > 10 || text.find_first_not_of(digits) != std::string::npos) {
    return false;
  }
  *index = std::stoull(text, nullptr, member ? 16 : 10);
  return true;
}

}  // namespace

bool EntrySelection::parse(const std::string& text, std::string* why) {
  ranges_.clear();
  size_t at = 0;
  while (true) {
    const size_t comma = std::min(text.find(',', at), text.size());
    const std::string part = text.substr(at, comma - at);
    const size_t dash = part.find('-');
    Range r{0, 0};
    bool ok = false;
    if (dash == std::string::npos) {
      ok = parse_index(part, &r.first);
      r.last = r.first;
    } else {
      ok = parse_index(part.substr(0, dash), &r.first);
      const std::string end = part.substr(dash + 1);
      if (end.empty()) {
        r.last = kOpen;
      } else {
        ok = ok && parse_index(end, &r.last);
      }
      ok = ok && r.first <= r.last;
    }
    if (!ok) {
      *why = "'" + part + "' is not an index, a member name or a range of them";
      ranges_.clear();
      return false;
    }
    ranges_.push_back(r);
    if (comma == text.size()) return true;
    at = comma + 1;
  }
}

bool EntrySelection::fits(uint32_t entry_count, std::string* why) const {
  return std::ranges::all_of(ranges_, [&](const Range& r) {
    const uint64_t end = r.last == kOpen ? r.first : r.last;
    if (end < entry_count) return true;
    *why = "entry " + std::to_string(end) + " is past the directory's end (" +
           std::to_string(entry_count) + " entries)";
    return false;
  });
}

bool EntrySelection::contains(uint32_t index) const {
  if (everything()) return true;
  return std::ranges::any_of(ranges_,
                             [&](const Range& r) { return index >= r.first && index <= r.last; });
}

}  // namespace radodaro
