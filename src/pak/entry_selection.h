// Which entries of a pack a command works on: "3,7-9,12-", each index in
// decimal, in hexadecimal after "0x", or as its member file's name (its 8
// hexadecimal digits, with or without ".dat" in any case).
#ifndef RADODARO_PAK_ENTRY_SELECTION_H_
#define RADODARO_PAK_ENTRY_SELECTION_H_

#include <cstdint>
#include <string>
#include <vector>

namespace radodaro {

class EntrySelection {
 public:
  // Every entry.
  EntrySelection() = default;

  // Adds the entries of `text` to those already named: a selection read
  // twice is their union. False, with `*why` saying what is wrong and
  // nothing added, for text that is not a selection.
  bool parse(const std::string& text, std::string* why);

  // Checks the selection against a directory of `entry_count` entries:
  // false, with `*why`, when it names an index past the end. Every range
  // holds at least one index, so a selection that fits names an entry.
  bool fits(uint32_t entry_count, std::string* why) const;

  bool contains(uint32_t index) const;
  bool everything() const { return ranges_.empty(); }

 private:
  struct Range {
    uint64_t first;
    uint64_t last;  // kOpen: to the directory's end
  };
  static constexpr uint64_t kOpen = ~uint64_t{0};
  std::vector<Range> ranges_;
};

}  // namespace radodaro

#endif  // RADODARO_PAK_ENTRY_SELECTION_H_
