// Expanding packs of every kind, and expanding damaged ones.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "e2e/e2e_util.h"
#include "support/sample_pack.h"

namespace radodaro::testing {
namespace {

RunResult expand(const TempDir& tmp, const PackBuilder& pack, const std::string& out = "out") {
  pack.write(tmp / "t.pak");
  return run_radodaro({"/e", tmp / "t.pak", tmp / out});
}

void expect_contents(const TempDir& tmp, const PackBuilder& pack, const std::string& out = "out") {
  for (size_t i = 0; i < pack.entries().size(); ++i) {
    const FixtureEntry& f = pack.entries()[i];
    const std::string path = member(tmp / out, static_cast<uint32_t>(i));
    if (f.kind == kKindSkipped) {
      EXPECT_FALSE(file_exists(path)) << path;
    } else {
      EXPECT_EQ(read_file(path), f.content) << path;
    }
  }
}

TEST(Expand, EveryKindGivesItsContentAndLines) {
  TempDir tmp;
  PackBuilder pack;
  pack.stored(bytes_of("plain stored data"), 0x11111111)
      .lzo1x(text_like_bytes(10000, 5), LzoLevel::kFast, 0x22222222)
      .skipped(bytes_of("not for expansion"))
      .lzo1x(text_like_bytes(7777, 6), LzoLevel::kBest, 0x33333333)
      .stored({})  // empty: SUMM 00000000
      .lzo1x({});
  const RunResult r = expand(tmp, pack);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, expected_expand_output(pack, tmp / "out"));
  EXPECT_NE(r.out.find("Unpacked file CRC1 = 00000000\t CRC2= 00000000\t SUMM=00000000\n"),
            std::string::npos);
  expect_contents(tmp, pack);
  EXPECT_EQ(list_folder(tmp / "out").size(), 5u);
}

TEST(Expand, SamplePackOutputIsExact) {
  TempDir tmp;
  const RunResult r = run_radodaro({"/e", RADODARO_SAMPLE_PACK, tmp / "x"});
  std::ifstream expected_file(std::string(RADODARO_E2E_DATA) + "/sample_expand.txt");
  std::stringstream expected;
  expected << expected_file.rdbuf();
  std::string want = expected.str();
  for (size_t at; (at = want.find("{DIR}")) != std::string::npos;) want.replace(at, 5, tmp / "x");
  EXPECT_EQ(r.out, want);
  EXPECT_EQ(r.exit_code, 0);
  expect_contents(tmp, sample_pack(), "x");
}

TEST(Expand, LargeEntries) {
  TempDir tmp;
  PackBuilder pack;
  pack.stored(random_bytes(3 * 1024 * 1024 + 3, 7)).lzo1x(text_like_bytes(5 * 1024 * 1024, 8));
  const RunResult r = expand(tmp, pack);
  EXPECT_EQ(r.out, expected_expand_output(pack, tmp / "out"));
  expect_contents(tmp, pack);
}

TEST(Expand, UnknownKindAndSizeMismatchWarnAndWriteUnpackedSize) {
  TempDir tmp;
  PackBuilder pack;
  pack.stored(bytes_of("kind two"));
  pack.last().kind = 2;
  pack.stored(bytes_of("0123456789"));
  pack.last().packed_size = 3;  // the unpacked size counts
  pack.last().unpacked_size = 10;
  pack.stored(bytes_of("abcdef"));
  pack.last().unpacked_size = 4;
  pack.last().content = bytes_of("abcd");
  const RunResult r = expand(tmp, pack);
  EXPECT_EQ(r.out, expected_expand_output(pack, tmp / "out"));
  expect_contents(tmp, pack);
}

TEST(Expand, DecodeErrorsStillWriteUnpackedSizeBytes) {
  TempDir tmp;
  const Bytes content = text_like_bytes(5000, 9);
  const Bytes stream = lzo1x_compress(content);
  PackBuilder pack;
  // Claims more than the stream gives: the rest of the file is zeros.
  pack.lzo1x(content);
  pack.last().unpacked_size = 6000;
  // Claims less: the output space runs out.
  pack.lzo1x(content);
  pack.last().unpacked_size = 1000;
  // A stream cut in half, and one of garbage.
  FixtureEntry cut;
  cut.kind = kKindLzo1x;
  cut.data = Bytes(stream.begin(), stream.begin() + static_cast<ptrdiff_t>(stream.size() / 2));
  cut.unpacked_size = 5000;
  pack.add(cut);
  FixtureEntry garbage;
  garbage.kind = kKindLzo1x;
  garbage.data = random_bytes(300, 10);
  garbage.unpacked_size = 4096;
  pack.add(garbage);
  const RunResult r = expand(tmp, pack);
  EXPECT_EQ(r.exit_code, 0);

  Bytes longer = content;
  longer.resize(6000, 0);
  EXPECT_EQ(read_file(member(tmp / "out", 0)), longer);
  EXPECT_EQ(read_file(member(tmp / "out", 1)).size(), 1000u);
  EXPECT_EQ(read_file(member(tmp / "out", 2)).size(), 5000u);
  EXPECT_EQ(read_file(member(tmp / "out", 3)).size(), 4096u);
  const std::string first =
      "Error unpacking\n" + checksum_line(pack.directory()[0], sum_of(longer)) +
      checksum_line(pack.directory()[0], sum_of(stream)) + member(tmp / "out", 0) + "\n";
  EXPECT_EQ(r.out.substr(r.out.find('\n') + 1, first.size()), first);
  size_t errors = 0;
  for (size_t at = 0; (at = r.out.find("Error unpacking\n", at)) != std::string::npos; ++at) {
    ++errors;
  }
  EXPECT_EQ(errors, 4u);
  // Bytes a stream did not produce are zero, so two runs agree.
  TempDir again;
  expand(again, pack);
  for (uint32_t i = 0; i < 4; ++i) {
    EXPECT_EQ(read_file(member(tmp / "out", i)), read_file(member(again / "out", i)));
  }
}

TEST(Expand, AllSkippedCreatesNoFolder) {
  TempDir tmp;
  PackBuilder pack;
  pack.skipped(bytes_of("a")).skipped().skipped(bytes_of("b"));
  const RunResult r = expand(tmp, pack, "deep/er/out");
  EXPECT_EQ(r.out, dir_line(pack.build()));
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_FALSE(file_exists(tmp / "deep"));
}

TEST(Expand, CreatesTheFolderChain) {
  TempDir tmp;
  PackBuilder pack;
  pack.stored(bytes_of("x")).stored(bytes_of("y"));
  const RunResult r = expand(tmp, pack, "a/b/c");
  EXPECT_EQ(r.out, expected_expand_output(pack, tmp / "a/b/c"));
  expect_contents(tmp, pack, "a/b/c");
}

TEST(Expand, FolderThatCannotBeMadeGivesCantCreate) {
  TempDir tmp;
  write_file(tmp / "file", bytes_of("a file where a folder should be"));
  PackBuilder pack;
  pack.stored(bytes_of("x")).skipped().stored(bytes_of("y"));
  const RunResult r = expand(tmp, pack, "file/out");
  EXPECT_EQ(r.out, dir_line(pack.build()) + "Can't create file " + member(tmp / "file/out", 0) +
                       "\nCan't create file " + member(tmp / "file/out", 2) + "\n");
  EXPECT_EQ(r.exit_code, 0);
}

TEST(Expand, ReadOnlyFolderGivesCantCreate) {
  RADODARO_SKIP_ON_WINDOWS(kNeedsAnotherUser);
  TempDir tmp;
  ::chmod(tmp.path().c_str(), 0777);
  ::mkdir((tmp / "ro").c_str(), 0555);
  PackBuilder pack;
  pack.stored(bytes_of("x"));
  pack.write(tmp / "t.pak");
  const RunResult r = run_radodaro({"/e", tmp / "t.pak", tmp / "ro"}, {.unprivileged = true});
  EXPECT_EQ(r.out, dir_line(pack.build()) + "Can't create file " + member(tmp / "ro", 0) + "\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(list_folder(tmp / "ro").empty());
}

TEST(Expand, SecondRunLeavesExistingFilesAlone) {
  TempDir tmp;
  PackBuilder pack;
  pack.stored(bytes_of("one")).skipped().lzo1x(text_like_bytes(300, 1));
  expand(tmp, pack);
  write_file(member(tmp / "out", 0), bytes_of("edited"));
  const RunResult r = expand(tmp, pack);
  EXPECT_EQ(r.out, dir_line(pack.build()) + "File " + member(tmp / "out", 0) +
                       " alredy exists\nFile " + member(tmp / "out", 2) + " alredy exists\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(read_file(member(tmp / "out", 0)), bytes_of("edited"));
  EXPECT_EQ(read_file(member(tmp / "out", 2)), pack.entries()[2].content);
}

TEST(Expand, NeverFollowsOrReplacesWhatStandsAtAMemberPath) {
  RADODARO_SKIP_ON_WINDOWS(kNeedsLinuxLinks);
  TempDir tmp;
  ::mkdir((tmp / "out").c_str(), 0777);
  // A dangling link, a link to a file elsewhere, and a folder.
  ASSERT_EQ(::symlink((tmp / "target0").c_str(), member(tmp / "out", 0).c_str()), 0);
  write_file(tmp / "victim", bytes_of("precious"));
  ASSERT_EQ(::symlink((tmp / "victim").c_str(), member(tmp / "out", 1).c_str()), 0);
  ::mkdir(member(tmp / "out", 2).c_str(), 0777);
  PackBuilder pack;
  pack.stored(bytes_of("a")).stored(bytes_of("b")).stored(bytes_of("c"));
  const RunResult r = expand(tmp, pack);
  std::string want = dir_line(pack.build());
  for (uint32_t i = 0; i < 3; ++i) want += "File " + member(tmp / "out", i) + " alredy exists\n";
  EXPECT_EQ(r.out, want);
  EXPECT_FALSE(file_exists(tmp / "target0"));
  EXPECT_EQ(read_file(tmp / "victim"), bytes_of("precious"));
}

TEST(Expand, EntriesOutsideTheFileAreReportedAndSkipped) {
  TempDir tmp;
  PackBuilder pack;
  pack.stored(bytes_of("good one"));
  pack.stored(bytes_of("bad"));
  pack.last().offset = 1000000;  // past the end
  pack.stored(bytes_of("bad"));
  pack.last().offset = 0xFFFFFFF0;  // offset + size wraps 32 bits
  pack.last().unpacked_size = 0x20;
  pack.lzo1x(text_like_bytes(100, 1));
  pack.last().packed_size = 0xFFFFFFFF;
  pack.stored(bytes_of("good two"));
  const Bytes bytes = pack.build();
  write_file(tmp / "t.pak", bytes);
  const RunResult r = run_radodaro({"/e", tmp / "t.pak", tmp / "out"});
  const auto dir = pack.directory();
  const std::string o = tmp / "out";
  EXPECT_EQ(r.out, dir_line(bytes) + "Unpacked file " +
                       checksum_line(dir[0], sum_of(bytes_of("good one"))) + member(o, 0) +
                       "\nBad entry " + member(o, 1) + "\nBad entry " + member(o, 2) +
                       "\nBad entry " + member(o, 3) + "\nUnpacked file " +
                       checksum_line(dir[4], sum_of(bytes_of("good two"))) + member(o, 4) + "\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(list_folder(o), (std::vector<std::string>{"00000000.dat", "00000004.dat"}));
}

TEST(Expand, EntryReachingExactlyTheEndIsGood) {
  TempDir tmp;
  PackBuilder pack;
  pack.stored(bytes_of("tail"));
  const RunResult r = expand(tmp, pack);
  EXPECT_EQ(r.out, expected_expand_output(pack, tmp / "out"));
}

TEST(Expand, WriteFailureLeavesNoPartialFile) {
  RADODARO_SKIP_ON_WINDOWS(kNeedsResourceLimit);
  TempDir tmp;
  PackBuilder pack;
  pack.stored(random_bytes(64 * 1024, 1)).lzo1x(text_like_bytes(64 * 1024, 2));
  pack.stored(bytes_of("small enough"));
  pack.write(tmp / "t.pak");
  const RunResult r = run_radodaro({"/e", tmp / "t.pak", tmp / "out"}, {.file_size_limit = 10000});
  const std::string o = tmp / "out";
  EXPECT_EQ(r.out, dir_line(pack.build()) + "Unpacked file \nCan't write file " + member(o, 0) +
                       "\nCan't write file " + member(o, 1) + "\nUnpacked file " +
                       checksum_line(pack.directory()[2], sum_of(bytes_of("small enough"))) +
                       member(o, 2) + "\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(list_folder(o), std::vector<std::string>{"00000002.dat"});
}

TEST(Expand, HugeClaimedSizeDoesNotCrash) {
  RADODARO_SKIP_ON_WINDOWS(kNeedsResourceLimit);
  TempDir tmp;
  PackBuilder pack;
  pack.lzo1x(text_like_bytes(100, 3));
  pack.last().unpacked_size = 0xFFFFFFFF;  // about 4 GiB
  pack.stored(bytes_of("after"));
  pack.write(tmp / "t.pak");
  // No room for 4 GiB of output: the write fails and the run goes on.
  const RunResult r =
      run_radodaro({"/e", tmp / "t.pak", tmp / "out"}, {.file_size_limit = 1024 * 1024});
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("Can't write file " + member(tmp / "out", 0) + "\n"), std::string::npos);
  EXPECT_EQ(list_folder(tmp / "out"), std::vector<std::string>{"00000001.dat"});
}

TEST(Expand, NoMemoryForTheBufferIsAWriteFailure) {
  RADODARO_SKIP_ON_WINDOWS(kNeedsResourceLimit);
  if (under_address_sanitizer()) GTEST_SKIP() << "a memory limit starves the sanitizer";
  TempDir tmp;
  PackBuilder pack;
  pack.lzo1x(text_like_bytes(100, 3));
  pack.last().unpacked_size = 0xF0000000;  // far more than the limit below
  pack.stored(bytes_of("after"));
  pack.write(tmp / "t.pak");
  const RunResult r =
      run_radodaro({"/e", tmp / "t.pak", tmp / "out"}, {.memory_limit = uint64_t{512} << 20});
  const std::string o = tmp / "out";
  EXPECT_EQ(r.out, dir_line(pack.build()) + "Can't write file " + member(o, 0) +
                       "\nUnpacked file " +
                       checksum_line(pack.directory()[1], sum_of(bytes_of("after"))) +
                       member(o, 1) + "\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(list_folder(o), std::vector<std::string>{"00000001.dat"});
}

}  // namespace
}  // namespace radodaro::testing
