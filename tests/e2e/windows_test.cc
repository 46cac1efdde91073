// What only the Windows build does: drive letters and both separators in
// arguments, "\r\n" line ends, share modes between two runs, a key wait
// without a console, and new files only where nothing is.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "e2e/e2e_util.h"

namespace radodaro::testing {
namespace {

constexpr int kFailure = 255;

PackBuilder small_pack() {
  PackBuilder pack;
  pack.stored(bytes_of("first")).lzo1x(text_like_bytes(3000, 2)).stored(bytes_of("third"));
  return pack;
}

// The Windows form of a Linux path, with the separator `slash`.
std::string windows_form(const std::string& path, char slash) {
  std::string out = Target::current().program_path(path);
  for (char& c : out) {
    if (c == '\\') c = slash;
  }
  return out;
}

TEST(WindowsBuild, DriveLettersAndEitherSeparatorNameTheSamePlaces) {
  RADODARO_ONLY_ON_WINDOWS();
  TempDir tmp;
  const PackBuilder pack = small_pack();
  pack.write(tmp / "t.pak");
  const struct {
    std::string pak, folder, cwd;
    std::string out;  // the folder the members must land in
  } cases[] = {
      {windows_form(tmp / "t.pak", '/'), windows_form(tmp / "a", '/'), "", tmp / "a"},
      {windows_form(tmp / "t.pak", '\\'), windows_form(tmp / "b", '\\') + "\\", "", tmp / "b"},
      // Rooted without a drive: the current drive, Z: here.
      {windows_form(tmp / "t.pak", '\\').substr(2), "c/./d/../e", tmp.path(), tmp / "c/e"},
      {"t.pak", "f\\g", tmp.path(), tmp / "f/g"},
  };
  for (const auto& c : cases) {
    const RunResult r = run_radodaro({"/e", c.pak, c.folder}, {.cwd = c.cwd});
    EXPECT_EQ(r.out, expected_expand_output(pack, c.out)) << c.pak << " " << c.folder;
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(read_file(member(c.out, 1)), pack.entries()[1].content);
  }
}

TEST(WindowsBuild, EveryLineEndsWithCarriageReturnAndLineFeed) {
  RADODARO_ONLY_ON_WINDOWS();
  TempDir tmp;
  const PackBuilder pack = small_pack();
  pack.write(tmp / "t.pak");
  const RunResult expanded = run_radodaro({"/e", tmp / "t.pak", tmp / "out"});
  const RunResult grouped = run_radodaro({"/p", tmp / "t.pak", tmp / "out"});
  const RunResult usage = run_radodaro({"/x", "a", "b"});
  for (const RunResult* r : {&expanded, &grouped, &usage}) {
    size_t lines = 0;
    for (size_t at = r->raw_out.find('\n'); at != std::string::npos;
         at = r->raw_out.find('\n', at + 1)) {
      ++lines;
      ASSERT_TRUE(at > 0 && r->raw_out[at - 1] == '\r') << r->raw_out;
    }
    EXPECT_GE(lines, 4u) << r->raw_out;
  }
  EXPECT_EQ(usage.raw_out,
            "Usage: radodaro.exe [option] pak_file extract_path\r\nOption:\r\n/e - expand "
            "files\r\n/p - group files\r\n");
  // The paths too are the program's own: a drive and backslashes.
  EXPECT_NE(grouped.raw_out.find("\r\n" + Target::current().program_path(member(tmp / "out", 0)) +
                                 "\r\n"),
            std::string::npos)
      << grouped.raw_out;
}

TEST(WindowsBuild, SecondGroupWhileOneHoldsThePackIsRefused) {
  RADODARO_ONLY_ON_WINDOWS();
  TempDir tmp;
  PackBuilder pack;
  pack.stored(bytes_of("old"));
  pack.write(tmp / "t.pak");
  const uint64_t size0 = pack.build().size();
  std::filesystem::create_directories(tmp / "m");
  write_file(member(tmp / "m", 0), random_bytes(64 << 20, 1));
  const pid_t first = spawn_radodaro({"/p", tmp / "t.pak", tmp / "m"});
  ASSERT_TRUE(eventually([&] { return std::filesystem::file_size(tmp / "t.pak") > size0; }));
  ::kill(first, SIGSTOP);  // mid-append, holding the pack without sharing
  ASSERT_EQ(::waitpid(first, nullptr, WNOHANG), 0);
  const RunResult second = run_radodaro({"/p", tmp / "t.pak", tmp / "m"});
  ::kill(first, SIGCONT);
  int status = 0;
  ::waitpid(first, &status, 0);
  EXPECT_EQ(second.out, "Can't create data file " + tmp / "t.pak" + "\n");
  EXPECT_EQ(second.exit_code, kFailure);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // Only the first run's member went in, once.
  EXPECT_EQ(std::filesystem::file_size(tmp / "t.pak"), size0 + (64 << 20));
}

TEST(WindowsBuild, KeyWaitWithoutAConsoleNeitherWaitsNorReadsStandardInput) {
  RADODARO_ONLY_ON_WINDOWS();
  TempDir tmp;
  const PackBuilder pack = small_pack();
  pack.write(tmp / "t.pak");
  ASSERT_EQ(run_radodaro({"/e", tmp / "t.pak", tmp / "out"}).exit_code, 0);
  // Standard input stays open and empty: a wait that read it would never
  // end, and the time limit would end the run instead.
  const RunResult r = run_radodaro({"/e", tmp / "t.pak", tmp / "out"},
                                   {.stdin_never_ends = true, .time_limit_seconds = 20});
  std::string want = dir_line(pack.build());
  for (uint32_t i = 0; i < 3; ++i) want += "File " + member(tmp / "out", i) + " alredy exists\n";
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.out, want);
  EXPECT_EQ(r.exit_code, 0);
}

TEST(WindowsBuild, NewMemberFilesOnlyWhereNothingIs) {
  RADODARO_ONLY_ON_WINDOWS();
  TempDir tmp;
  const std::string out = tmp / "out";
  std::filesystem::create_directories(member(out, 1));  // a folder
  write_file(member(out, 2), bytes_of("theirs"));
  ::chmod(member(out, 2).c_str(), 0444);  // read-only
  // Windows names ignore case: this one is 00000003.dat.
  write_file(out + "/00000003.DAT", bytes_of("upper case"));
  PackBuilder pack;
  for (int i = 0; i < 5; ++i) pack.stored(bytes_of("entry " + std::to_string(i)));
  pack.write(tmp / "t.pak");
  const RunResult r = run_radodaro({"/e", tmp / "t.pak", out});
  const Bytes image = pack.build();
  const auto written = [&](uint32_t i) {
    return "Unpacked file " +
           checksum_line(pack.directory()[i], sum_of(pack.entries()[i].content)) + member(out, i) +
           "\n";
  };
  EXPECT_EQ(r.out, dir_line(image) + written(0) + "File " + member(out, 1) + " alredy exists\n" +
                       "File " + member(out, 2) + " alredy exists\n" + "File " + member(out, 3) +
                       " alredy exists\n" + written(4));
  EXPECT_EQ(read_file(member(out, 2)), bytes_of("theirs"));
  EXPECT_EQ(read_file(out + "/00000003.DAT"), bytes_of("upper case"));
  EXPECT_EQ(list_folder(out),
            (std::vector<std::string>{"00000000.dat", "00000001.dat", "00000002.dat",
                                      "00000003.DAT", "00000004.dat"}));
}

// Any name Windows can hold, in any script, and folders past the old limit
// of 260 characters: expanded, grouped, listed and expanded again, the
// paths printed in the plain form a person types.
TEST(WindowsBuild, NamesInAnyScriptAndPathsOfAnyLength) {
  RADODARO_ONLY_ON_WINDOWS();
  TempDir tmp;
  const PackBuilder pack = small_pack();
  std::vector<std::string> folders;
  for (const char* name :
       {"\xce\x95\xce\xbb\xce\xbb\xce\xb7\xce\xbd\xce\xb9\xce\xba\xce\xac",
        "\xd0\x9a\xd0\xb8\xd1\x80\xd0\xb8\xd0\xbb\xd0\xbb\xd0\xb8\xd1\x86\xd0\xb0",
        "\xe6\xbc\xa2\xe5\xad\x97\xe3\x81\x8b\xe3\x81\xaa", "\xf0\x9f\x93\xa6-pack"}) {
    folders.push_back(tmp / name);
  }
  for (const size_t length : {300u, 1000u}) {
    std::string folder = tmp / "long";
    while (folder.size() < length) folder += "/" + std::string(40, 'd');
    folders.push_back(folder);
  }
  for (const std::string& folder : folders) {
    SCOPED_TRACE(folder);
    std::filesystem::create_directories(folder);
    const std::string name = folder.substr(folder.rfind('/') + 1);
    const std::string pak = folder + "/" + name.substr(0, 40) + ".pak";
    // (Spaces would end a path where the harness reads the printed lines.)
    const std::string out = folder + "/" + name.substr(0, 40) + "-members";
    pack.write(pak);
    RunResult r = run_radodaro({"/e", pak, out});
    EXPECT_EQ(r.out, expected_expand_output(pack, out));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(read_file(member(out, 1)), pack.entries()[1].content);
    write_file(member(out, 0), bytes_of("edited"));
    r = run_radodaro({"/p", pak, out});
    EXPECT_EQ(r.out, "Packing...\n" + member(out, 0) + "\n" + member(out, 1) + "\n" +
                         member(out, 2) + "\n");
    EXPECT_EQ(r.exit_code, 0);
    r = run_radodaro({"--expand", pak, out + "-again", "--json"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_file(member(out + "-again", 0)), bytes_of("edited"));
    EXPECT_NE(r.out.find("\"path\":\"" + member(out + "-again", 2) + "\""), std::string::npos)
        << r.out;
    r = run_radodaro({"--verify", pak});
    EXPECT_EQ(r.exit_code, 0) << r.out;
  }
}

}  // namespace
}  // namespace radodaro::testing
