#include "pak/member_record.h"

#include <gtest/gtest.h>

namespace radodaro {
namespace {

TEST(MemberRecord, ReadsBackWhatItWroteAndRefusesWhatIsNotWhole) {
  MemberRecord r;
  r.pack = "C:\\games\\a pack\twith\ntabs.pak";
  r.dir_crc = 0x0BADF00D;
  r.members = {
      {0, "00000000.dat", {34, -5, 7, {1, 2, 1}}},
      {12, "sub/dir\\x.dat", {1ull << 40, 1796909454924854717, 1796909454924854718, {3, 4, 1}}}};
  const std::string text = encode_record(r);
  MemberRecord back;
  std::string why;
  ASSERT_TRUE(decode_record(text, &back, &why)) << why;
  EXPECT_EQ(back.pack, r.pack);
  EXPECT_EQ(back.dir_crc, r.dir_crc);
  ASSERT_EQ(back.members.size(), 2u);
  EXPECT_EQ(back.members[1].path, "sub/dir\\x.dat");
  EXPECT_EQ(back.members[1].stamp, r.members[1].stamp);
  EXPECT_EQ(back.members[0].stamp.modified_ns, -5);
  EXPECT_EQ(back.find(12), &back.members[1]);
  EXPECT_EQ(back.find(5), nullptr);

  const std::string head = "radodaro member record 1\npack\t/p\ndir_crc\t0000000A\n";
  const struct {
    std::string text;
    const char* why;
  } bad[] = {
      {text.substr(0, text.size() - 1), "it does not end with a whole line"},
      {text.substr(0, text.rfind("end")), "it is not whole"},
      {"radodaro member record 2\n", "it is not a member record of this version"},
      {head + "end\t1\n", "line 4: it does not hold the members it says"},
      {head + "member\t3\t1\t1\t1\t1\t1\ta\nmember\t3\t1\t1\t1\t1\t1\tb\nend\t2\n",
       "line 5: members out of order"},
      {head + "member\t3\t1\tx\t1\t1\t1\ta\nend\t1\n", "line 4: bad member"},
      {head + "member\t3\t1\t1\t1\t1\t1\ta\\q\nend\t1\n", "line 4: bad member"},
      {head + "end\t0\nend\t0\n", "line 5: text after its end"},
      {"radodaro member record 1\ndir_crc\t0000000a\n", "line 2: bad dir_crc"},
      {head + "kind\t1\nend\t0\n", "line 4: not understood"},
  };
  for (const auto& c : bad) {
    EXPECT_FALSE(decode_record(c.text, &back, &why)) << c.text;
    EXPECT_EQ(why, c.why) << c.text;
  }
}

TEST(MemberRecord, OnlyAMemberModifiedBeforeTheRecordWithTheSameStampIsLeftUnread) {
  const RecordedMember m{1, "00000001.dat", {100, 5000, 5000, {1, 2, 1}}};
  const struct {
    platform::FileStamp now;
    int64_t written_ns;
    bool unchanged;
  } cases[] = {
      {{100, 5000, 5000, {1, 2, 1}}, 5001, true},
      // Modified within the record's own tick: it may have changed since.
      {{100, 5000, 5000, {1, 2, 1}}, 5000, false},
      {{100, 5000, 5000, {1, 2, 1}}, 4000, false},
      {{101, 5000, 5000, {1, 2, 1}}, 9000, false},
      {{100, 4000, 5000, {1, 2, 1}}, 9000, false},
      // Its modification time set back: the change time still moved.
      {{100, 5000, 6000, {1, 2, 1}}, 9000, false},
      {{100, 5000, 5000, {1, 3, 1}}, 9000, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(unchanged_by_record(m, c.now, c.written_ns), c.unchanged)
        << c.now.size << " " << c.now.modified_ns << " " << c.now.changed_ns << " " << c.written_ns;
  }
}

}  // namespace
}  // namespace radodaro
