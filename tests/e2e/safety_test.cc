// The safety net as a careful user meets it: links, hard links, files of
// the user's own beside the pack, owners and attributes, a pack that
// cannot be written, a compaction that cannot move its data or report its
// result. Nothing the tool did not create is ever changed, and the exit
// status says whether the pack changed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "e2e/e2e_util.h"

namespace radodaro::testing {
namespace {

namespace fs = std::filesystem;
constexpr int kFailure = 255;

// Every file in `folder` with its content (folders as empty).
std::map<std::string, Bytes> snapshot(const std::string& folder) {
  std::map<std::string, Bytes> files;
  for (const std::string& name : list_folder(folder)) {
    const std::string path = folder + "/" + name;
    files[name] = is_regular(path) ? read_file(path) : Bytes{};
  }
  return files;
}

// A pack with dead space: every member grouped back once.
Bytes pack_with_dead_space(const std::string& dir) {
  PackBuilder pack;
  for (uint32_t i = 0; i < 8; ++i) pack.stored(random_bytes(5000, i));
  pack.write(dir + "/scratch.pak");
  EXPECT_EQ(run_radodaro({"/e", dir + "/scratch.pak", dir + "/scratch"}).exit_code, 0);
  EXPECT_EQ(run_radodaro({"/p", dir + "/scratch.pak", dir + "/scratch"}).exit_code, 0);
  const Bytes bytes = read_file(dir + "/scratch.pak");
  fs::remove_all(dir + "/scratch");
  fs::remove(dir + "/scratch.pak");
  return bytes;
}

TEST(SafetyNet, RunsThatOnlyReadChangeNothingBesideThePack) {
  TempDir tmp;
  fs::create_directory(tmp / "p");
  const std::string pak = tmp / "p/t.pak";
  write_file(pak, pack_with_dead_space(tmp.path()));
  // The user's own files under the names the tool once used, and a
  // leftover of a killed compaction of ours.
  write_file(tmp / "p/t.pak-journal", bytes_of("my notes on this pack"));
  write_file(tmp / "p/t.pak-compact", bytes_of("my compacted copy"));
  write_file(tmp / "p/t.pak.radodaro-compact", bytes_of("left by a killed compaction"));
  const auto before = snapshot(tmp / "p");
  const struct {
    std::vector<std::string> args;
    int exit_code;
  } runs[] = {
      {{"--list", pak}, 0},
      {{"--verify", pak}, 0},
      {{"/e", pak, tmp / "out"}, 0},
  };
  for (const auto& run : runs) {
    EXPECT_EQ(run_radodaro(run.args).exit_code, run.exit_code) << run.args[0];
    EXPECT_EQ(snapshot(tmp / "p"), before) << run.args[0];
  }
  // The next run that may write removes the leftover of its own, and only
  // that.
  EXPECT_EQ(run_radodaro({"--update", pak, tmp / "out"}).exit_code, 0);
  auto after = before;
  after.erase("t.pak.radodaro-compact");
  EXPECT_EQ(snapshot(tmp / "p"), after);
}

TEST(SafetyNet, WritingRunsRefuseAForeignFileWhereTheirJournalGoes) {
  TempDir tmp;
  const std::string pak = tmp / "t.pak";
  write_file(pak, pack_with_dead_space(tmp.path()));
  ::mkdir((tmp / "m").c_str(), 0777);
  write_file(member(tmp / "m", 0), bytes_of("an edit"));
  write_file(journal_of(pak), bytes_of("not a journal at all"));
  const auto before = snapshot(tmp.path());
  for (const char* command : {"/p", "--update", "--compact"}) {
    std::vector<std::string> args = {command, pak};
    if (std::string(command) != "--compact") args.push_back(tmp / "m");
    const RunResult r = run_radodaro(args);
    // /p in its own words on stdout; the "--" commands on stderr alone.
    EXPECT_EQ(r.out, command[0] == '/' ? "Can't create data file " + pak + "\n" : "") << command;
    EXPECT_EQ(r.err, "radodaro: " + journal_of(pak) + " is not a journal of radodaro's, so " + pak +
                         " was left as it is; move that file out of the way and run again\n")
        << command;
    EXPECT_EQ(r.exit_code, kFailure) << command;
    EXPECT_EQ(snapshot(tmp.path()), before) << command;
  }
}

TEST(SafetyNet, CompactWorksOnTheFileBehindALink) {
  RADODARO_SKIP_ON_WINDOWS(kNeedsLinuxLinks);
  TempDir tmp;
  fs::create_directories(tmp / "real");
  fs::create_directories(tmp / "links");
  const Bytes pack = pack_with_dead_space(tmp.path());
  write_file(tmp / "real/t.pak", pack);
  fs::create_symlink("../real/t.pak", tmp / "links/t.pak");
  ASSERT_EQ(run_radodaro({"/e", tmp / "links/t.pak", tmp / "before"}).exit_code, 0);

  const RunResult r = run_radodaro({"--compact", tmp / "links/t.pak"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(fs::is_symlink(tmp / "links/t.pak"));
  EXPECT_EQ(list_folder(tmp / "links"), std::vector<std::string>{"t.pak"});
  EXPECT_EQ(list_folder(tmp / "real"), std::vector<std::string>{"t.pak"});
  EXPECT_LT(fs::file_size(tmp / "real/t.pak"), pack.size());
  ASSERT_EQ(run_radodaro({"/e", tmp / "real/t.pak", tmp / "after"}).exit_code, 0);
  for (const std::string& name : list_folder(tmp / "before")) {
    EXPECT_EQ(read_file(tmp / "after/" + name), read_file(tmp / "before/" + name)) << name;
  }
}

TEST(SafetyNet, APackWithSeveralNamesIsGroupedWithAWarningAndNeverCompacted) {
  TempDir tmp;
  const std::string pak = tmp / "t.pak", other = tmp / "other.pak";
  const Bytes pack = pack_with_dead_space(tmp.path());
  write_file(pak, pack);
  fs::create_hard_link(pak, other);

  RunResult r = run_radodaro({"--compact", other});
  EXPECT_EQ(r.err, "radodaro: " + other +
                       " has 2 names (hard links), and a compacted pack would take the place of "
                       "this one only: it was left as it is\n");
  EXPECT_EQ(r.exit_code, kFailure);
  EXPECT_EQ(read_file(pak), pack);
  EXPECT_EQ(fs::hard_link_count(pak), 2u);
  EXPECT_EQ(list_folder(tmp.path()), (std::vector<std::string>{"other.pak", "t.pak"}));

  // Appends and writes in place keep every name.
  ::mkdir((tmp / "m").c_str(), 0777);
  write_file(member(tmp / "m", 3), bytes_of("an edit"));
  for (const char* command : {"/p", "--update"}) {
    r = run_radodaro({command, other, tmp / "m"});
    EXPECT_EQ(r.out, (command[0] == '/' ? "Packing...\n" : "") + member(tmp / "m", 3) + "\n")
        << command;
    EXPECT_EQ(r.err, "radodaro: warning: " + other +
                         " has 2 names (hard links); should this run be cut off, only a run "
                         "through this same name puts the pack back\n")
        << command;
    EXPECT_EQ(r.exit_code, 0) << command;
    write_file(member(tmp / "m", 3), bytes_of("another edit"));
  }
  EXPECT_EQ(read_file(pak), read_file(other));
  ASSERT_EQ(run_radodaro({"/e", pak, tmp / "x"}).exit_code, 0);
  EXPECT_EQ(read_file(member(tmp / "x", 3)), bytes_of("another edit"));
}

TEST(SafetyNet, CompactKeepsOwnerGroupModeAndAttributes) {
  RADODARO_SKIP_ON_WINDOWS(kNeedsAnotherUser);
  if (::geteuid() != 0) GTEST_SKIP() << "gives the pack to other users: needs root";
  TempDir tmp;
  const Bytes pack = pack_with_dead_space(tmp.path());
  const struct {
    uid_t uid;
    gid_t gid;
    mode_t mode;
  } cases[] = {{65534, 65534, 0600}, {65534, 0, 04755}, {0, 65534, 02640}, {0, 0, 0444}};
  for (const auto& c : cases) {
    const std::string pak = tmp / "t.pak";
    write_file(pak, pack);
    ASSERT_EQ(::chown(pak.c_str(), c.uid, c.gid), 0);
    ASSERT_EQ(::chmod(pak.c_str(), c.mode), 0);
    // The portable build copies no extended attributes.
    const bool xattrs =
        !kPortableBuild && ::setxattr(pak.c_str(), "user.radodaro-test", "kept", 4, 0) == 0;
    const RunResult r = run_radodaro({"--compact", pak});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    struct stat st;
    ASSERT_EQ(::stat(pak.c_str(), &st), 0);
    EXPECT_LT(static_cast<uint64_t>(st.st_size), pack.size());
    EXPECT_EQ(st.st_uid, c.uid);
    EXPECT_EQ(st.st_gid, c.gid);
    EXPECT_EQ(st.st_mode & 07777, c.mode) << std::oct << c.mode;
    if (xattrs) {
      char value[16] = {};
      EXPECT_EQ(::getxattr(pak.c_str(), "user.radodaro-test", value, sizeof value), 4);
      EXPECT_STREQ(value, "kept");
    }
    fs::remove(pak);
  }
}

TEST(SafetyNet, CompactThatWouldMoveDataPast4GiBLeavesThePack) {
  TempDir tmp;
  const std::string pak = tmp / "t.pak";
  // Entry 0 covers the first 4 GiB less 16 bytes, entry 1 the 16 after it,
  // and a tail follows that nothing refers to: compacted, entry 1 would
  // begin past 4 GiB.
  Bytes head(directory_end(2));
  PakHeader header;
  header.entry_count = 2;
  encode_header(header, head.data());
  encode_entry({0, kKindStored, 0, 0xFFFFFFF0, 0, 0xFFFFFFF0}, head.data() + entry_position(0));
  encode_entry({0, kKindStored, 0, 16, 0xFFFFFFF0, 16}, head.data() + entry_position(1));
  write_file(pak, head);
  const uint64_t size = (uint64_t{1} << 32) + 100;
  fs::resize_file(pak, size);  // sparse
  const RunResult r = run_radodaro({"--compact", pak});
  EXPECT_EQ(r.err, "radodaro: " + pak +
                       ": compacted, some data would lie past 4 GiB, where no offset can point; "
                       "it was left as it is\n");
  EXPECT_EQ(r.exit_code, kFailure);
  EXPECT_EQ(fs::file_size(pak), size);
  std::ifstream in(pak, std::ios::binary);
  Bytes now(head.size());
  in.read(reinterpret_cast<char*>(now.data()), static_cast<std::streamsize>(now.size()));
  EXPECT_EQ(now, head);
  EXPECT_EQ(list_folder(tmp.path()), std::vector<std::string>{"t.pak"});
}

TEST(SafetyNet, CompactThatCannotReportItsResultLeavesThePack) {
  TempDir tmp;
  const std::string pak = tmp / "t.pak";
  const Bytes pack = pack_with_dead_space(tmp.path());
  const struct {
    const char* what;
    RunOptions options;
    int exit_code;
    int signal;
    bool under_wine;  // Wine ends no process by SIGPIPE
  } cases[] = {
      {"standard output on a full disk", {.stdout_path = "/dev/full"}, kFailure, 0, true},
      {"standard output a pipe nobody reads", {.stdout_reader_gone = true}, -1, SIGPIPE, false},
  };
  for (const auto& c : cases) {
    if (Target::current().windows() && !c.under_wine) continue;
    write_file(pak, pack);
    const RunResult r = run_radodaro({"--compact", pak}, c.options);
    EXPECT_EQ(r.exit_code, c.exit_code) << c.what;
    EXPECT_EQ(r.signal, c.signal) << c.what;
    EXPECT_EQ(read_file(pak), pack) << c.what;
    // A signal may leave the new pack under the name of the tool's own, for
    // the next run that may write to remove.
    // An empty folder: a run that may write, and puts nothing back.
    std::filesystem::create_directories(tmp / "none");
    ASSERT_EQ(run_radodaro({"--update", pak, tmp / "none"}).exit_code, 0);
    EXPECT_EQ(list_folder(tmp.path()), (std::vector<std::string>{"none", "t.pak"})) << c.what;
  }
}

TEST(SafetyNet, UsersWhoMayOnlyReadThePackReadItAfterAKilledCompaction) {
  RADODARO_SKIP_ON_WINDOWS(kNeedsAnotherUser);
  TempDir tmp;
  ::chmod(tmp.path().c_str(), 0755);
  const std::string pak = tmp / "t.pak";
  PackBuilder pack;
  pack.stored(random_bytes(70000, 1)).lzo1x(text_like_bytes(90000, 2)).skipped();
  pack.true_dir_crc().write(pak);
  ::chmod(pak.c_str(), 0644);
  // What a killed compaction leaves, under the name it has and the one it
  // once had.
  write_file(tmp / "t.pak.radodaro-compact", bytes_of("left by a killed compaction"));
  write_file(tmp / "t.pak-compact", bytes_of("left by a killed compaction"));
  fs::create_directory(tmp / "out");
  ::chmod((tmp / "out").c_str(), 0777);
  const auto before = snapshot(tmp.path());
  const RunOptions nobody = {.unprivileged = true};
  // The path every ordinary user takes: an expand into a folder of one's own.
  const RunResult r = run_radodaro({"/e", pak, tmp / "out/x"}, nobody);
  EXPECT_EQ(r.out, expected_expand_output(pack, tmp / "out/x"));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  for (uint32_t i : {0u, 1u}) {
    EXPECT_EQ(read_file(member(tmp / "out/x", i)), pack.entries()[i].content) << i;
  }
  EXPECT_EQ(run_radodaro({"--list", pak}, nobody).exit_code, 0);
  const RunResult verify = run_radodaro({"--verify", pak}, nobody);
  EXPECT_EQ(verify.out, "entries checked 2, problems 0\n");
  EXPECT_EQ(verify.exit_code, 0);
  auto after = snapshot(tmp.path());
  after.erase("out");
  auto without_out = before;
  without_out.erase("out");
  EXPECT_EQ(after, without_out);
}

TEST(SafetyNet, WithoutProcMembersAreWrittenUnderATemporaryName) {
  RADODARO_SKIP_ON_WINDOWS(kNeedsAnotherUser);
  if (under_address_sanitizer()) GTEST_SKIP() << "the sanitizer itself needs /proc";
  if (::geteuid() != 0 || std::system("unshare -m true 2>/dev/null") != 0) {
    GTEST_SKIP() << "needs root and a mount namespace of its own to hide /proc";
  }
  TempDir tmp;
  ::chmod(tmp.path().c_str(), 0755);
  PackBuilder pack;
  pack.stored(random_bytes(5000, 1)).lzo1x(text_like_bytes(9000, 2));
  pack.write(tmp / "t.pak");
  fs::create_directory(tmp / "out");
  ::chmod((tmp / "out").c_str(), 0777);
  // Unnamed files, but neither /proc nor the privilege to name them by
  // their descriptor.
  const std::string command =
      "unshare -m sh -c 'mount -t tmpfs none /proc && exec setpriv "
      "--reuid=65534 --regid=65534 --clear-groups " +
      binary_under_test() + " /e " + tmp / "t.pak" + " " + tmp / "out/x" + "' >/dev/null 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(list_folder(tmp / "out/x"), (std::vector<std::string>{"00000000.dat", "00000001.dat"}));
  for (uint32_t i : {0u, 1u}) {
    EXPECT_EQ(read_file(member(tmp / "out/x", i)), pack.entries()[i].content) << i;
  }
}

}  // namespace
}  // namespace radodaro::testing
