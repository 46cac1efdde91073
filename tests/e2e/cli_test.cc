// The command line, opening the pack, and the directory line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "e2e/e2e_util.h"
#include "support/sample_pack.h"

namespace radodaro::testing {
namespace {

constexpr int kFailure = 255;  // -1 as the shell sees it

TEST(CommandLine, WrongArgumentCountPrintsUsage) {
  TempDir tmp;
  const std::vector<std::vector<std::string>> cases = {
      {}, {"/e"}, {"/e", "x.pak"}, {"/e", "x.pak", "out", "extra"}};
  for (const auto& args : cases) {
    const RunResult r = run_radodaro(args, {.cwd = tmp.path()});
    EXPECT_EQ(r.out, kUsage);
    EXPECT_EQ(r.exit_code, kFailure);
  }
  EXPECT_TRUE(list_folder(tmp.path()).empty());
}

TEST(CommandLine, UnknownOptionPrintsUsageAndTouchesNothing) {
  TempDir tmp;
  sample_pack().write(tmp / "s.pak");
  const Bytes before = read_file(tmp / "s.pak");
  for (const char* option : {"/ex", "/e ", "-e", "e", "/", "", "/x", "/pp", "//e"}) {
    const RunResult r = run_radodaro({option, "s.pak", "out"}, {.cwd = tmp.path()});
    EXPECT_EQ(r.out, kUsage) << "option '" << option << "'";
    EXPECT_EQ(r.exit_code, kFailure);
  }
  EXPECT_EQ(list_folder(tmp.path()), std::vector<std::string>{"s.pak"});
  EXPECT_EQ(read_file(tmp / "s.pak"), before);
}

TEST(CommandLine, OptionsInEitherCase) {
  for (const char* option : {"/e", "/E"}) {
    TempDir tmp;
    PackBuilder pack;
    pack.stored(bytes_of("x"));
    pack.write(tmp / "a.pak");
    const RunResult r = run_radodaro({option, "a.pak", "out"}, {.cwd = tmp.path()});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, expected_expand_output(pack, tmp / "out"));
  }
  for (const char* option : {"/p", "/P"}) {
    TempDir tmp;
    PackBuilder().stored(bytes_of("x")).write(tmp / "a.pak");
    const RunResult r = run_radodaro({option, "a.pak", "out"}, {.cwd = tmp.path()});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "Packing...\n");
  }
}

TEST(CommandLine, PathsAreResolvedLexically) {
  TempDir tmp;
  ::mkdir((tmp / "sub").c_str(), 0777);
  PackBuilder pack;
  pack.stored(bytes_of("abc"));
  pack.write(tmp / "a.pak");
  // "..", "." and doubled separators fold; the folder gets its separator.
  RunResult r = run_radodaro({"/e", "sub/../a.pak", ".//sub/./x/../out"}, {.cwd = tmp.path()});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, expected_expand_output(pack, tmp / "sub/out"));

  // An empty folder argument is the current folder.
  TempDir other;
  r = run_radodaro({"/e", tmp / "a.pak", ""}, {.cwd = other.path()});
  EXPECT_EQ(r.out, expected_expand_output(pack, other.path()));
  EXPECT_EQ(read_file(other / "00000000.dat"), bytes_of("abc"));
}

TEST(OpenPack, CantOpenIsOneLineWithTheFullPath) {
  TempDir tmp;
  ::mkdir((tmp / "folder").c_str(), 0777);
  ::mkfifo((tmp / "fifo").c_str(), 0666);
  // Missing, a folder, a FIFO (which must not block) and a device.
  for (const std::string& pak : {tmp / "missing.pak", tmp / "folder", tmp / "fifo",
                                 std::string("/dev/null"), tmp / "a.pak/"}) {
    const RunResult r = run_radodaro({"/e", pak, tmp / "out"});
    EXPECT_EQ(r.out, "Can't open dir file " + pak + "\n");
    EXPECT_EQ(r.exit_code, kFailure);
  }
  const RunResult r = run_radodaro({"/e", "missing.pak", "out"}, {.cwd = tmp.path()});
  EXPECT_EQ(r.out, "Can't open dir file " + tmp / "missing.pak" + "\n");
  EXPECT_FALSE(file_exists(tmp / "out"));
}

TEST(OpenPack, UnreadablePack) {
  RADODARO_SKIP_ON_WINDOWS(kNeedsAnotherUser);
  TempDir tmp;
  ::chmod(tmp.path().c_str(), 0777);
  sample_pack().write(tmp / "s.pak");
  ::chmod((tmp / "s.pak").c_str(), 0200);
  const RunResult r = run_radodaro({"/e", tmp / "s.pak", tmp / "out"}, {.unprivileged = true});
  EXPECT_EQ(r.out, "Can't open dir file " + tmp / "s.pak" + "\n");
  EXPECT_EQ(r.exit_code, kFailure);
}

TEST(OpenPack, EmptyDirectoryPrintsDirLineOnly) {
  TempDir tmp;
  PackBuilder().dir_crc(0xDEADBEEF).write(tmp / "e.pak");
  const RunResult r = run_radodaro({"/e", tmp / "e.pak", tmp / "out"});
  EXPECT_EQ(r.out, "Dir CRC=DEADBEEF, SUMM=00000000\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_FALSE(file_exists(tmp / "out"));
}

TEST(OpenPack, DirLineShowsSumOfDirectoryWords) {
  TempDir tmp;
  // One entry whose six words are 1..6: kind 2, four bytes at offset 5.
  Bytes pack(40, 0);
  pack[8] = 1;
  for (uint8_t w = 0; w < 6; ++w) pack[16 + 4 * w] = static_cast<uint8_t>(w + 1);
  write_file(tmp / "p.pak", pack);
  const RunResult r = run_radodaro({"/e", tmp / "p.pak", tmp / "out"});
  const Bytes content(pack.begin() + 5, pack.begin() + 9);
  EXPECT_EQ(r.out,
            "Dir CRC=00000000, SUMM=00000015\n"
            "Warning!!!! unpacked flag not set!\n"
            "Unpacked file CRC1 = 00000001\t CRC2= 00000003\t SUMM=" +
                hex8(sum_of(content)) + "\n" + member(tmp / "out", 0) + "\n");
  EXPECT_EQ(read_file(member(tmp / "out", 0)), content);
}

TEST(OpenPack, HeaderOrDirectoryOutsideFileIsBad) {
  TempDir tmp;
  const std::string pak = tmp / "bad.pak";
  const Bytes good = PackBuilder().stored(bytes_of("0123456789")).build();
  const std::vector<Bytes> cases = {
      {},                                      // empty: cannot be mapped
      Bytes(good.begin(), good.begin() + 15),  // shorter than the header
      Bytes(good.begin(), good.begin() + 39),  // directory cut short
      PackBuilder().entry_count(2).stored(bytes_of("x")).build(),
      PackBuilder().entry_count(0xFFFFFFFF).build(),
      PackBuilder().entry_count(178956971).build(),  // 24 * n wraps in 32 bits
  };
  for (const Bytes& bytes : cases) {
    write_file(pak, bytes);
    const RunResult r = run_radodaro({"/e", pak, tmp / "out"});
    EXPECT_EQ(r.out, "Bad dir file " + pak + "\n") << bytes.size() << " bytes";
    EXPECT_EQ(r.exit_code, kFailure);
    EXPECT_FALSE(file_exists(tmp / "out"));
  }
}

TEST(OpenPack, EveryCutOfAPackGetsACleanAnswer) {
  TempDir tmp;
  const Bytes whole = sample_pack().build();
  for (size_t len = 0; len <= whole.size(); len += (len < 120 ? 1 : 29)) {
    const std::string pak = tmp / "cut.pak";
    write_file(pak, Bytes(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(len)));
    const std::string out = tmp / ("out" + std::to_string(len));
    const RunResult r = run_radodaro({"/e", pak, out});
    ASSERT_EQ(r.signal, 0) << "cut at " << len;
    ASSERT_TRUE(r.exit_code == 0 || r.exit_code == kFailure)
        << "cut at " << len << ": exit " << r.exit_code << "\n"
        << r.out << r.err;
    EXPECT_TRUE(r.err.empty());
  }
}

TEST(OpenPack, StandardOutputThatCannotBeWrittenIsAFailure) {
  TempDir tmp;
  sample_pack().write(tmp / "s.pak");
  const Bytes before = read_file(tmp / "s.pak");
  ::mkdir((tmp / "m").c_str(), 0777);
  write_file(member(tmp / "m", 0), bytes_of("edit"));
  // The reason is the failed write's own, not a stale one from earlier.
  const std::string why = "radodaro: can't write standard output: No space left on device\n";
  RunResult r = run_radodaro({"/e", tmp / "s.pak", tmp / "out"}, {.stdout_path = "/dev/full"});
  EXPECT_EQ(r.exit_code, kFailure);
  EXPECT_EQ(r.err, why);
  // Group reports failure only with the pack as it was.
  r = run_radodaro({"/p", tmp / "s.pak", tmp / "m"}, {.stdout_path = "/dev/full"});
  EXPECT_EQ(r.exit_code, kFailure);
  EXPECT_EQ(r.err, why);
  EXPECT_EQ(read_file(tmp / "s.pak"), before);
}

TEST(OpenPack, LockHeldByAnotherProcess) {
  RADODARO_SKIP_ON_WINDOWS(kNeedsLinuxLock);
  TempDir tmp;
  PackBuilder pack;
  pack.stored(bytes_of("abc"));
  pack.write(tmp / "l.pak");
  const int fd = ::open((tmp / "l.pak").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);

  // A group run holds the file exclusively: expand must not read under it.
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  RunResult r = run_radodaro({"/e", tmp / "l.pak", tmp / "out"});
  EXPECT_EQ(r.out, "Can't open dir file " + tmp / "l.pak" + "\n");
  EXPECT_EQ(r.exit_code, kFailure);
  r = run_radodaro({"/p", tmp / "l.pak", tmp / "out"});
  EXPECT_EQ(r.out, "Can't create data file " + tmp / "l.pak" + "\n");
  EXPECT_EQ(r.exit_code, kFailure);

  // Readers share: expand runs beside another expand, group does not.
  ASSERT_EQ(::flock(fd, LOCK_SH), 0);
  r = run_radodaro({"/e", tmp / "l.pak", tmp / "out"});
  EXPECT_EQ(r.exit_code, 0);
  r = run_radodaro({"/p", tmp / "l.pak", tmp / "out"});
  EXPECT_EQ(r.out, "Can't create data file " + tmp / "l.pak" + "\n");
  EXPECT_EQ(r.exit_code, kFailure);
  ::close(fd);
}

TEST(SamplePack, CommittedCopyIsWhatTheFixtureCodeMakes) {
  EXPECT_EQ(read_file(RADODARO_SAMPLE_PACK), sample_pack().build());
}

}  // namespace
}  // namespace radodaro::testing
