#include "pak/member_record.h"

#include "pak/content_type.h"
#include "pak/member_names.h"

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

TEST(MemberNames, ReadsAListAndRefusesEveryPathThatCouldLandElsewhere) {
  const struct {
    const char* text;
    const char* why;  // "" when it is read
  } cases[] = {
      {"# a comment\n\n1\ttextures/hero.dds\r\n0x2\tsounds\\click.wav\n0000000a.DAT\tx.bin\n", ""},
      {"1\t00000001.dat\n", ""},  // its own member name
      {"1 textures/a\n", "line 1: not INDEX, a tab and a PATH"},
      {"x\ta\n", "line 1: not INDEX, a tab and a PATH"},
      {"1\t/etc/passwd\n", "line 1: '/etc/passwd' is an absolute path"},
      {"1\t\\\\server\\share\n", "line 1: '//server/share' is an absolute path"},
      {"1\tC:/x\n", "line 1: 'C:/x' is a path with a drive"},
      {"1\ta/../../x\n", "line 1: 'a/../../x' is a path through '..'"},
      {"1\t./x\n", "line 1: './x' is a path through '.'"},
      {"1\ta//x\n", "line 1: 'a//x' is an empty folder name"},
      {"1\t\n", "line 1: '' is an empty path"},
      {"1\tsub/NUL.txt\n", "line 1: 'sub/NUL.txt' is a name Windows reserves ('NUL.txt')"},
      {"1\tcom3\n", "line 1: 'com3' is a name Windows reserves ('com3')"},
      {"1\ta?b\n", "line 1: 'a?b' is a name with a character Windows does not take"},
      {"1\tdir./x\n", "line 1: 'dir./x' is a name that ends in a dot or a space"},
      {"1\t.radodaro-record\n", "line 1: '.radodaro-record' is the name of the folder's record"},
      {"1\ta\n2\tA\n", "line 2: a path given twice ('A')"},
      {"1\ta\n1\tb\n", "line 2: entry 1 is named twice ('b')"},
      {"1\t00000002.dat\n", "'00000002.dat' is the member name of entry 2"},
  };
  for (const auto& c : cases) {
    MemberNames names;
    std::string why;
    EXPECT_EQ(names.read(c.text, &why), *c.why == '\0') << c.text;
    EXPECT_EQ(why, c.why) << c.text;
  }
  MemberNames names;
  std::string why;
  ASSERT_TRUE(names.read("1\ttextures/hero.dds\n0x2\tsounds\\click.wav\n", &why));
  EXPECT_EQ(names.path_of(1), "textures/hero.dds");
  EXPECT_EQ(names.path_of(2), "sounds/click.wav");
  EXPECT_EQ(names.path_of(3), "00000003.dat");
  EXPECT_TRUE(names.fits(3, &why));
  EXPECT_FALSE(names.fits(2, &why));
  EXPECT_EQ(why, "entry 2 is past the directory's end (2 entries)");
}

TEST(ContentType, ExtensionsFromWhatTheContentBeginsOrEndsWith) {
  using namespace std::string_literals;
  std::string bmp = "BM" + std::string(12, '\0');
  bmp[2] = 14;
  static constexpr char kFooter[] = "TRUEVISION-XFILE.";  // its NUL too
  std::string tga(30, '\x01');
  tga.append(kFooter, sizeof kFooter);
  const struct {
    std::string content;
    const char* ext;
  } cases[] = {
      {"DDS |...", "dds"},
      {"\x89PNG\r\n\x1a\n....", "png"},
      {"\xFF\xD8\xFF\xE0", "jpg"},
      {"GIF89a..", "gif"},
      {bmp, "bmp"},
      {"BM but not a bitmap, whose size is not here", "txt"},
      {"RIFF\x04\0\0\0WAVEfmt "s, "wav"},
      {"RIFF\x04\0\0\0AVI LIST"s, "avi"},
      {"OggS\0\x02"s, "ogg"},
      {"PK\x03\x04", "zip"},
      {tga, "tga"},
      {"\xEF\xBB\xBF<?xml version=\"1.0\"?>", "xml"},
      {"plain text\r\nwith lines\tand tabs\n", "txt"},
      {"text with a \0 in it"s, nullptr},
      {"\x01\x02\x03", nullptr},
      {"", nullptr},
  };
  for (const auto& c : cases) {
    const auto* data = reinterpret_cast<const uint8_t*>(c.content.data());
    const uint64_t size = c.content.size();
    const uint64_t tail = std::min<uint64_t>(size, kGuessTail);
    const char* got = guess_extension(data, size, data + size - tail, tail, size);
    EXPECT_STREQ(got, c.ext) << c.content;
  }
}

}  // namespace
}  // namespace radodaro
