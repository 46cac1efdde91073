// Runs that are killed, starved or handed odd descriptors and files: the
// pack ends up wholly old or wholly new, a member file is whole or absent,
// and the exit status says which.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstring>
#include <filesystem>

#include <algorithm>
#include <chrono>
#include <thread>

#include "e2e/e2e_util.h"

namespace radodaro::testing {
namespace {

constexpr int kFailure = 255;

TEST(NothingLost, ClosedStandardStreamsNeverBecomeThePack) {
  RADODARO_SKIP_ON_WINDOWS(kClosesDescriptors);
  TempDir tmp;
  PackBuilder pack;
  for (uint32_t i = 0; i < 300; ++i) pack.stored(bytes_of("old " + std::to_string(i)));
  pack.write(tmp / "t.pak");
  ::mkdir((tmp / "m").c_str(), 0777);
  for (uint32_t i = 0; i < 300; i += 2) write_file(member(tmp / "m", i), random_bytes(100, i));
  std::string printed;
  const Bytes want = model_group(read_file(tmp / "t.pak"), tmp / "m", &printed);
  const RunResult r =
      run_radodaro({"/p", tmp / "t.pak", tmp / "m"}, {.close_standard_streams = true});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(read_file(tmp / "t.pak"), want);
}

TEST(NothingLost, MemberThatIsThereButUnreadableFailsTheGroup) {
  RADODARO_SKIP_ON_WINDOWS(kNeedsAnotherUser);
  TempDir tmp;
  ::chmod(tmp.path().c_str(), 0777);
  PackBuilder pack;
  pack.stored(bytes_of("zero")).stored(bytes_of("one")).stored(bytes_of("two"));
  const std::string m = tmp / "m";
  ::mkdir(m.c_str(), 0777);
  const struct {
    const char* what;
    void (*make)(const std::string& path);
  } cases[] = {
      {"no permission",
       [](const std::string& p) {
         write_file(p, bytes_of("an edit"));
         ::chmod(p.c_str(), 0);
       }},
  };
  for (const auto& c : cases) {
    pack.write(tmp / "t.pak");
    ::chmod((tmp / "t.pak").c_str(), 0666);
    write_file(member(m, 0), bytes_of("first edit"));
    ::unlink(member(m, 1).c_str());
    c.make(member(m, 1));
    const RunResult r = run_radodaro({"/p", tmp / "t.pak", m}, {.unprivileged = true});
    EXPECT_EQ(r.out, "Packing...\n" + member(m, 0) + "\nCan't group file " + member(m, 1) + "\n")
        << c.what;
    EXPECT_EQ(r.exit_code, kFailure) << c.what;
    EXPECT_EQ(read_file(tmp / "t.pak"), pack.build()) << c.what;
  }
}

// A pack the user may write, in a folder the user may not: its journal
// goes to the user's state folder; with nowhere to write one, /p goes on
// as it always has, with a warning, and --update refuses.
TEST(NothingLost, PackInAFolderTheUserCannotWrite) {
  RADODARO_SKIP_ON_WINDOWS(kNeedsAnotherUser);
  TempDir tmp;
  ::chmod(tmp.path().c_str(), 0777);
  PackBuilder pack;
  pack.stored(bytes_of("zero")).stored(bytes_of("one"));
  const std::string ro = tmp / "ro", m = tmp / "m", state = tmp / "state", none = tmp / "none";
  for (const std::string& d : {ro, m, state, none}) {
    ::mkdir(d.c_str(), 0777);
    ::chmod(d.c_str(), 0777);
  }
  pack.write(ro + "/t.pak");
  ::chmod((ro + "/t.pak").c_str(), 0666);
  ::chmod(ro.c_str(), 0555);
  ::chmod(none.c_str(), 0555);
  const struct {
    const char* command;
    const std::string& state;
    int exit_code;
    const char* err;  // the beginning of stderr
  } cases[] = {
      {"/p", state, 0, ""},
      {"--update", state, 0, ""},
      {"/p", none, 0, "radodaro: warning: cannot write "},
      {"--update", none, kFailure, "radodaro: cannot write "},
  };
  int edit = 0;
  for (const auto& c : cases) {
    write_file(member(m, 1), bytes_of("edit " + std::to_string(++edit)));
    const Bytes before = read_file(ro + "/t.pak");
    std::string printed;
    const Bytes want = model_group(before, m, &printed);
    const RunResult r =
        run_radodaro({c.command, ro + "/t.pak", m},
                     {.unprivileged = true, .environment = {{"XDG_STATE_HOME", c.state}}});
    EXPECT_EQ(r.exit_code, c.exit_code) << c.command << " " << r.err;
    EXPECT_EQ(r.err.substr(0, std::strlen(c.err)), c.err) << c.command;
    if (*c.err == '\0') {
      EXPECT_EQ(r.err, "") << c.command;
    }
    EXPECT_EQ(read_file(ro + "/t.pak"), c.exit_code == 0 ? want : before) << c.command;
    EXPECT_EQ(list_folder(ro), std::vector<std::string>{"t.pak"}) << c.command;
    EXPECT_TRUE(list_folder(state + "/radodaro/journals").empty()) << c.command;
  }
  ::chmod(ro.c_str(), 0777);
}

TEST(NothingLost, DirectoryTooLargeForMemoryIsRefusedAndThePackKept) {
  RADODARO_SKIP_ON_WINDOWS(kNeedsResourceLimit);
  if (under_address_sanitizer()) GTEST_SKIP() << "a memory limit starves the sanitizer";
  TempDir tmp;
  // Sparse packs whose directories fill them: 96 GiB and 1.2 GB.
  for (const uint32_t count : {0xFFFFFFFFu, 50000000u}) {
    write_file(tmp / "t.pak", PackBuilder().entry_count(count).build());
    ASSERT_EQ(::truncate((tmp / "t.pak").c_str(), static_cast<off_t>(directory_end(count))), 0);
    const RunResult r =
        run_radodaro({"/p", tmp / "t.pak", tmp / "m"}, {.memory_limit = uint64_t{512} << 20});
    EXPECT_EQ(r.signal, 0) << count;
    EXPECT_EQ(r.out, "Can't create data file " + tmp / "t.pak" + "\n") << count;
    EXPECT_EQ(r.exit_code, kFailure);
    struct stat st;
    ASSERT_EQ(::stat((tmp / "t.pak").c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), directory_end(count));
  }
}

TEST(NothingLost, FolderSwappedMidRunIsNeverMixedIn) {
  RADODARO_SKIP_ON_WINDOWS(kChangedBehindWine);
  TempDir tmp;
  PackBuilder pack;
  for (uint32_t i = 0; i < 8; ++i) pack.stored(bytes_of("old"));
  pack.write(tmp / "t.pak");
  const uint64_t size0 = pack.build().size();
  const std::string m = tmp / "m", other = tmp / "other";
  ::mkdir(m.c_str(), 0777);
  ::mkdir(other.c_str(), 0777);
  for (uint32_t i = 0; i < 8; ++i) {
    write_file(member(m, i), random_bytes(i == 0 ? 16 << 20 : 100, i));
    write_file(member(other, i), bytes_of("not from the folder asked for"));
  }
  const pid_t pid = spawn_radodaro({"/p", tmp / "t.pak", m});
  struct stat st;
  while (::stat((tmp / "t.pak").c_str(), &st) == 0 && static_cast<uint64_t>(st.st_size) == size0) {
    std::this_thread::yield();
  }
  ::kill(pid, SIGSTOP);  // in the first member
  ASSERT_EQ(::rename(m.c_str(), (tmp / "m.old").c_str()), 0);
  ASSERT_EQ(::rename(other.c_str(), m.c_str()), 0);
  ::kill(pid, SIGCONT);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_EQ(WEXITSTATUS(status), 0);
  const RunResult r = run_radodaro({"/e", tmp / "t.pak", tmp / "check"});
  for (uint32_t i = 0; i < 8; ++i) {
    EXPECT_EQ(read_file(member(tmp / "check", i)), read_file(member(tmp / "m.old", i))) << i;
  }
}

// Waits for `pid` and tells whether it died by SIGKILL.
bool killed(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

TEST(NothingLost, GroupKilledThroughALinkIsWholeOldOrNewThroughTheOtherName) {
  TempDir tmp;
  // A directory of 1.2 MB, mostly skipped entries, so that checking a
  // round takes an expand of only the live ones.
  PackBuilder pack;
  const uint32_t kEntries = 50000, kStride = 250;
  for (uint32_t i = 0; i < kEntries; ++i) {
    if (i % kStride == 0) {
      pack.stored(bytes_of("old " + std::to_string(i)));
    } else {
      pack.skipped();
    }
  }
  const Bytes original = pack.build();
  const std::string m = tmp / "m";
  ::mkdir(m.c_str(), 0777);
  for (uint32_t i = 0; i < kEntries; i += kStride) write_file(member(m, i), random_bytes(4000, i));
  std::string printed;
  const Bytes grouped = model_group(original, m, &printed);
  // The group runs through a link; every later run through the file's own
  // name, which must find the same journal.
  const std::string pak = tmp / "t.pak", link = tmp / "link.pak", journal = journal_of(pak);
  ASSERT_EQ(::symlink("t.pak", link.c_str()), 0);

  int kills = 0, in_journal = 0, old_packs = 0, new_packs = 0;
  // A run may end before its kill on a loaded machine: rounds go on until
  // enough kills landed.
  for (int round = 0; round < 90 && (round < 30 || kills < 20 || in_journal < 10); ++round) {
    write_file(pak, original);
    const pid_t pid = spawn_radodaro({"/p", link, m});
    // The journal appears whole, just before the new directory goes in
    // place: kills land before it, all through the directory write, and
    // after it.
    while (!file_exists(journal) && ::waitpid(pid, nullptr, WNOHANG) == 0) {
      std::this_thread::yield();
    }
    std::this_thread::sleep_for(std::chrono::microseconds(round % 10 * 300));
    const bool journal_at_kill = file_exists(journal);
    ::kill(pid, SIGKILL);
    if (!killed(pid)) continue;
    ++kills;
    in_journal += journal_at_kill;
    // A run that only reads sees one whole pack, old or new, and writes
    // nothing.
    const Bytes left = read_file(pak);
    const std::string c = tmp / ("c" + std::to_string(round));
    ASSERT_EQ(run_radodaro({"/e", pak, c}).exit_code, 0) << round;
    EXPECT_EQ(read_file(pak), left) << round;
    const bool read_old = read_file(member(c, 0)) == bytes_of("old 0");
    for (uint32_t i = 0; i < kEntries; i += kStride) {
      ASSERT_EQ(read_file(member(c, i)),
                read_old ? bytes_of("old " + std::to_string(i)) : read_file(member(m, i)))
          << round << " " << i;
    }
    // The next run that may write puts it back as the reader saw it. Old
    // means the old header, directory and data; what a kill before the
    // journal left appended is not referred to by any entry.
    // An empty folder: a run that may write, and puts nothing back.
    std::filesystem::create_directories(tmp / "none");
    ASSERT_EQ(run_radodaro({"--update", pak, tmp / "none"}).exit_code, 0) << round;
    const Bytes after = read_file(pak);
    const bool old = after.size() >= original.size() &&
                     std::equal(original.begin(), original.end(), after.begin());
    ASSERT_TRUE(old || after == grouped) << "round " << round;
    EXPECT_EQ(old, read_old) << round;
    (old ? old_packs : new_packs)++;
    EXPECT_FALSE(file_exists(journal));
  }
  std::printf(
      "groups through a link killed: %d, %d with the journal there; packs old: %d, new: %d\n",
      kills, in_journal, old_packs, new_packs);
  EXPECT_GE(kills, 20);
  EXPECT_GE(in_journal, 10);
}

TEST(NothingLost, KillDuringExpandNeverLeavesAPartialMember) {
  TempDir tmp;
  PackBuilder pack;
  for (uint32_t i = 0; i < 24; ++i) {
    if (i % 2) {
      pack.stored(random_bytes(2 << 20, i));
    } else {
      pack.lzo1x(text_like_bytes(2 << 20, i));
    }
  }
  pack.write(tmp / "t.pak");
  int midway = 0, checked = 0, left_behind = 0;
  const auto is_member = [](const std::string& name) { return name.size() == 12; };
  for (int round = 0; round < 25; ++round) {
    const std::string out = tmp / ("out" + std::to_string(round));
    const pid_t pid = spawn_radodaro({"/e", tmp / "t.pak", out});
    std::this_thread::sleep_for(std::chrono::milliseconds(round * 3));
    ::kill(pid, SIGKILL);
    if (!killed(pid)) continue;
    // On Windows a member is written under a temporary name that the system
    // removes as it closes what the killed process held, a moment after it
    // ends. A kill in the instant before the file is marked for removal
    // leaves it empty, in the instant between unmarking and renaming it
    // leaves it whole; never a part of it. Linux leaves none at all.
    eventually([&] {
      const std::vector<std::string> names = list_folder(out);
      return std::all_of(names.begin(), names.end(), is_member);
    });
    for (const std::string& name : list_folder(out)) {
      if (is_member(name)) continue;
      // Where the system has no unnamed files (the portable build), a
      // member is written under its temporary name, which a kill leaves
      // behind as it was: never under the member's own name.
      EXPECT_TRUE(Target::current().windows() || kPortableBuild) << out << "/" << name;
      EXPECT_EQ(name.substr(12, 10), ".radodaro-") << out << "/" << name;
      const Bytes left = read_file(out + "/" + name);
      const uint32_t index = static_cast<uint32_t>(std::stoul(name, nullptr, 16));
      if (!kPortableBuild) {
        EXPECT_TRUE(left.empty() || left == pack.entries()[index].content) << out << "/" << name;
      }
      ++left_behind;
    }
    const std::vector<std::string> names = list_folder(out);
    midway += names.size() < 24;
    for (const std::string& name : names) {
      if (!is_member(name)) continue;
      const uint32_t index = static_cast<uint32_t>(std::stoul(name, nullptr, 16));
      ASSERT_EQ(read_file(out + "/" + name), pack.entries()[index].content) << name;
      ++checked;
    }
  }
  std::printf(
      "expands killed midway: %d of 25; member files left, all whole: %d; temporary files "
      "left, empty or whole: %d\n",
      midway, checked, left_behind);
  EXPECT_GT(midway, 10);
}

}  // namespace
}  // namespace radodaro::testing
