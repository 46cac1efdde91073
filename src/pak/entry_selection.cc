#include "pak/entry_selection.h"

#include <algorithm>

namespace radodaro {

namespace {

bool ends_with_dat(const std::string& text) {
  if (text.size() < 4) return false;
  std::string tail = text.substr(text.size() - 4);
  for (char& c : tail) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return tail == ".dat";
}

// One index: a member name ("0000000c", "0000000c.dat" or ".DAT"), a
// number in hexadecimal after "0x", or a decimal number; false for
// anything else.
bool parse_index(std::string text, uint64_t* index) {
  if (text.size() == 12 && ends_with_dat(text)) text.resize(8);
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
  *index = std::stoull(text, nullptr, hex ? 16 : 10);
  return true;
}

}  // namespace

bool EntrySelection::parse(const std::string& text, std::string* why) {
  const size_t before = ranges_.size();
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
      ranges_.resize(before);
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
