#include "pak/entry_selection.h"

#include <gtest/gtest.h>

namespace radodaro {
namespace {

TEST(EntrySelection, ReadsIndicesNamesAndRangesAndRefusesTheRest) {
  const struct {
    const char* text;  // ';' between the values of --only given more than once
    uint32_t entries;
    const char* selected;  // one character per entry: 'x' selected
    const char* why;       // "" when it parses and fits
  } cases[] = {
      {"3", 5, "...x.", ""},
      {"0,2-3", 5, "x.xx.", ""},
      {"3-", 6, "...xxx", ""},
      {"0-0,4-4", 5, "x...x", ""},
      {"00000002", 5, "..x..", ""},
      {"0000000a.dat", 12, "..........x.", ""},
      {"0000000A-0000000b", 12, "..........xx", ""},
      {"00000010", 17, "................x", ""},  // eight digits: a member name, in hexadecimal
      {"10", 17, "..........x......", ""},        // fewer: decimal
      {"2,2,1-3", 5, ".xxx.", ""},
      {"4", 4, "", "entry 4 is past the directory's end (4 entries)"},
      {"0-9", 4, "", "entry 9 is past the directory's end (4 entries)"},
      {"4-", 4, "", "entry 4 is past the directory's end (4 entries)"},
      {"0", 0, "", "entry 0 is past the directory's end (0 entries)"},
      {"4294967295", 4, "", "entry 4294967295 is past the directory's end (4 entries)"},
      {"", 4, "", "'' is not an index, a member name or a range of them"},
      {"1,", 4, "", "'' is not an index, a member name or a range of them"},
      {"3-1", 4, "", "'3-1' is not an index, a member name or a range of them"},
      {"-2", 4, "", "'-2' is not an index, a member name or a range of them"},
      {"x", 4, "", "'x' is not an index, a member name or a range of them"},
      {"1a", 4, "", "'1a' is not an index, a member name or a range of them"},
      {"0x10", 17, "................x", ""},
      {"0X0a-0xB", 12, "..........xx", ""},
      {"0000000B.DAT,00000001.Dat", 12, ".x.........x", ""},
      {"1;3-4", 5, ".x.xx", ""},  // given twice: the union
      {"1;0x", 4, "", "'0x' is not an index, a member name or a range of them"},
      {"0x123456789", 4, "", "'0x123456789' is not an index, a member name or a range of them"},
      {"0xg", 4, "", "'0xg' is not an index, a member name or a range of them"},
      {"1 ", 4, "", "'1 ' is not an index, a member name or a range of them"},
      {"12345678901", 4, "", "'12345678901' is not an index, a member name or a range of them"},
      {"1-2-3", 4, "", "'1-2-3' is not an index, a member name or a range of them"},
  };
  for (const auto& c : cases) {
    EntrySelection s;
    std::string why;
    bool ok = true;
    std::string text = c.text;
    for (size_t at = 0; ok;) {
      const size_t end = std::min(text.find(';', at), text.size());
      ok = s.parse(text.substr(at, end - at), &why);
      if (end == text.size()) break;
      at = end + 1;
    }
    ok = ok && s.fits(c.entries, &why);
    EXPECT_EQ(why, c.why) << c.text;
    EXPECT_EQ(ok, *c.why == '\0') << c.text;
    if (!ok) continue;
    std::string selected;
    for (uint32_t i = 0; i < c.entries; ++i) selected.push_back(s.contains(i) ? 'x' : '.');
    EXPECT_EQ(selected, c.selected) << c.text;
    EXPECT_FALSE(s.everything());
  }
  EXPECT_TRUE(EntrySelection().everything());
  EXPECT_TRUE(EntrySelection().contains(123456));
}

}  // namespace
}  // namespace radodaro
