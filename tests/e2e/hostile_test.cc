// Packs made by someone hostile, and other programs at work on the same
// files: every case ends with its message and exit status, nothing lost and
// nothing written outside the folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "e2e/e2e_util.h"

namespace radodaro::testing {
namespace {

constexpr int kFailure = 255;

TEST(Hostile, SizesAndOffsetsNearFourGib) {
  TempDir tmp;
  const struct {
    uint32_t kind, offset, unpacked, packed;
  } cases[] = {
      {kKindStored, 0xFFFFFFFF, 1, 1},
      {kKindStored, 1, 0xFFFFFFFF, 0xFFFFFFFF},
      {kKindStored, 0x80000000, 0x80000000, 0},
      {kKindStored, 40, 0xFFFFFFF0, 3},
      {kKindLzo1x, 0xFFFFFFFE, 10, 2},
      {kKindLzo1x, 40, 10, 0xFFFFFFFF},
      {7, 0xFFFFFF00, 0x100, 0x100},
  };
  PackBuilder pack;
  for (const auto& c : cases) {
    FixtureEntry e;
    e.kind = c.kind;
    e.offset = c.offset;
    e.unpacked_size = c.unpacked;
    e.packed_size = c.packed;
    pack.add(e);
  }
  pack.write(tmp / "t.pak");
  const RunResult r = run_radodaro({"/e", tmp / "t.pak", tmp / "out"});
  std::string want = dir_line(pack.build());
  for (uint32_t i = 0; i < std::size(cases); ++i)
    want += "Bad entry " + member(tmp / "out", i) + "\n";
  EXPECT_EQ(r.out, want);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(list_folder(tmp / "out").empty());
}

TEST(Hostile, EntryCountThatWrapsIn32Bits) {
  TempDir tmp;
  // 24 * 0x0AAAAAAB is 0x100000008: eight bytes if the product wrapped.
  for (uint32_t count : {0x0AAAAAABu, 0x0AAAAAACu, 0x80000000u}) {
    Bytes pack = PackBuilder().entry_count(count).build();
    pack.resize(64, 0);
    write_file(tmp / "t.pak", pack);
    RunResult r = run_radodaro({"/e", tmp / "t.pak", tmp / "out"});
    EXPECT_EQ(r.out, "Bad dir file " + tmp / "t.pak" + "\n");
    EXPECT_EQ(r.exit_code, kFailure);
    r = run_radodaro({"/p", tmp / "t.pak", tmp / "out"});
    EXPECT_EQ(r.out, "Bad data file " + tmp / "t.pak" + "\n");
    EXPECT_EQ(r.exit_code, kFailure);
    EXPECT_EQ(read_file(tmp / "t.pak"), pack);
  }
}

TEST(Hostile, OverlappingEntriesAndEntriesOverTheDirectory) {
  TempDir tmp;
  PackBuilder pack;
  pack.stored(bytes_of("shared data"));
  FixtureEntry again;  // the same bytes as entry 0
  again.offset = 16 + 4 * 24;
  again.unpacked_size = again.packed_size = 11;
  pack.add(again);
  FixtureEntry header;  // the header itself
  header.offset = 0;
  header.unpacked_size = header.packed_size = 16;
  pack.add(header);
  FixtureEntry self;  // its own directory record and what follows
  self.offset = 16 + 3 * 24;
  self.unpacked_size = self.packed_size = 24 + 11;
  pack.add(self);
  const Bytes bytes = pack.build();
  write_file(tmp / "t.pak", bytes);
  const RunResult r = run_radodaro({"/e", tmp / "t.pak", tmp / "out"});
  EXPECT_EQ(r.out, expected_expand_output(pack, tmp / "out"));
  EXPECT_EQ(read_file(member(tmp / "out", 1)), bytes_of("shared data"));
  EXPECT_EQ(read_file(member(tmp / "out", 2)), Bytes(bytes.begin(), bytes.begin() + 16));
  EXPECT_EQ(read_file(member(tmp / "out", 3)), Bytes(bytes.begin() + 88, bytes.end()));

  // --update of one member moves the data of those inside the directory
  // before rewriting it: every other entry keeps its content.
  write_file(member(tmp / "out", 0), bytes_of("edited"));
  const RunResult update = run_radodaro({"--update", tmp / "t.pak", tmp / "out"});
  EXPECT_EQ(update.exit_code, 0) << update.err;
  EXPECT_NE(update.err.find("radodaro: entry 2: its data lay inside the directory"),
            std::string::npos)
      << update.err;
  ASSERT_EQ(run_radodaro({"/e", tmp / "t.pak", tmp / "again"}).exit_code, 0);
  EXPECT_EQ(read_file(member(tmp / "again", 0)), bytes_of("edited"));
  for (uint32_t i = 1; i < 4; ++i) {
    EXPECT_EQ(read_file(member(tmp / "again", i)), read_file(member(tmp / "out", i))) << i;
  }
  // and nothing is left to put back.
  EXPECT_EQ(run_radodaro({"--update", tmp / "t.pak", tmp / "again"}).out, "");
}

TEST(Hostile, FifoAtAMemberPathNeverBlocks) {
  TempDir tmp;
  ::mkdir((tmp / "out").c_str(), 0777);
  ::mkfifo(member(tmp / "out", 0).c_str(), 0666);
  PackBuilder pack;
  pack.stored(bytes_of("x")).stored(bytes_of("y"));
  pack.write(tmp / "t.pak");
  const RunResult r = run_radodaro({"/e", tmp / "t.pak", tmp / "out"});
  EXPECT_EQ(r.out.substr(0, r.out.find('\n', 40) + 1),
            dir_line(pack.build()) + "File " + member(tmp / "out", 0) + " alredy exists\n");
  EXPECT_EQ(read_file(member(tmp / "out", 1)), bytes_of("y"));
}

TEST(Hostile, PackCutShortWhileExpandingLeavesNoPartialFile) {
  RADODARO_SKIP_ON_WINDOWS(kChangedBehindWine);
  TempDir tmp;
  // Large entries of both kinds; and many tiny ones, several to a page, so
  // that one thread's read past the cut replaces pages that another
  // thread's entry lies in.
  PackBuilder large, tiny;
  for (uint32_t i = 0; i < 120; ++i) {
    if (i % 2) {
      large.stored(random_bytes(512 * 1024, i));
    } else {
      large.lzo1x(text_like_bytes(1536 * 1024, i));
    }
  }
  for (uint32_t i = 0; i < 20000; ++i) tiny.stored(random_bytes(64, i));
  for (const auto& [pack, jobs] : {std::pair{&large, "1"}, {&large, "8"}, {&tiny, "64"}}) {
    const Bytes bytes = pack->build();
    const uint32_t count = static_cast<uint32_t>(pack->entries().size());
    ::setenv("RADODARO_JOBS", jobs, 1);
    bool cut_midway = false;
    for (int attempt = 0; attempt < 5 && !cut_midway; ++attempt) {
      write_file(tmp / "t.pak", bytes);
      const std::string out = tmp / ("out" + std::to_string(attempt) + jobs);
      const pid_t pid = spawn_radodaro({"/e", tmp / "t.pak", out});
      while (list_folder(out).empty()) std::this_thread::yield();
      ASSERT_EQ(::truncate((tmp / "t.pak").c_str(), directory_end(count) + 100), 0);
      int status = 0;
      ::waitpid(pid, &status, 0);
      ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
      EXPECT_EQ(WEXITSTATUS(status), 0);
      // A member is the entry's content whole, or not there.
      size_t present = 0;
      for (uint32_t i = 0; i < count; ++i) {
        const std::string path = member(out, i);
        if (!file_exists(path)) continue;
        ++present;
        ASSERT_EQ(read_file(path), pack->entries()[i].content) << path << " at " << jobs << " jobs";
      }
      cut_midway = present < count;
    }
    ::unsetenv("RADODARO_JOBS");
    EXPECT_TRUE(cut_midway) << jobs;
  }
}

TEST(Hostile, ExpandDuringGroupFailsCleanly) {
  TempDir tmp;
  PackBuilder pack;
  pack.stored(bytes_of("old"));
  pack.write(tmp / "t.pak");
  const uint64_t size0 = pack.build().size();
  ::mkdir((tmp / "m").c_str(), 0777);
  write_file(member(tmp / "m", 0), random_bytes(64 << 20, 1));
  const pid_t group = spawn_radodaro({"/p", tmp / "t.pak", tmp / "m"});
  struct stat st;
  ASSERT_TRUE(eventually([&] {
    return ::stat((tmp / "t.pak").c_str(), &st) == 0 && static_cast<uint64_t>(st.st_size) > size0;
  }));
  ::kill(group, SIGSTOP);  // mid-append, holding its lock
  ASSERT_EQ(::waitpid(group, nullptr, WNOHANG), 0);
  const RunResult r = run_radodaro({"/e", tmp / "t.pak", tmp / "out"});
  EXPECT_EQ(r.out, "Can't open dir file " + tmp / "t.pak" + "\n");
  EXPECT_EQ(r.exit_code, kFailure);
  EXPECT_FALSE(file_exists(tmp / "out"));
  ::kill(group, SIGCONT);
  int status = 0;
  ::waitpid(group, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Hostile, GroupDuringExpandFailsCleanly) {
  TempDir tmp;
  PackBuilder pack;
  for (uint32_t i = 0; i < 200; ++i) pack.stored(random_bytes(256 * 1024, i));
  pack.write(tmp / "t.pak");
  const Bytes before = read_file(tmp / "t.pak");
  const pid_t expand = spawn_radodaro({"/e", tmp / "t.pak", tmp / "out"});
  ASSERT_TRUE(eventually([&] { return !list_folder(tmp / "out").empty(); }));
  ::kill(expand, SIGSTOP);
  ASSERT_EQ(::waitpid(expand, nullptr, WNOHANG), 0);
  const RunResult r = run_radodaro({"/p", tmp / "t.pak", tmp / "out"});
  EXPECT_EQ(r.out, "Can't create data file " + tmp / "t.pak" + "\n");
  EXPECT_EQ(r.exit_code, kFailure);
  ::kill(expand, SIGCONT);
  int status = 0;
  ::waitpid(expand, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(read_file(tmp / "t.pak"), before);
}

TEST(Hostile, InterruptedExpandLeavesNoPartialFile) {
  TempDir tmp;
  PackBuilder pack;
  for (uint32_t i = 0; i < 60; ++i) pack.stored(random_bytes(2 << 20, i));
  pack.write(tmp / "t.pak");
  for (int attempt = 0; attempt < 4; ++attempt) {
    const std::string out = tmp / ("out" + std::to_string(attempt));
    // Into a file, lines wait in a buffer: the interruption writes them.
    const std::string printed = tmp / ("printed" + std::to_string(attempt));
    const bool verbose = attempt >= 2;
    const pid_t pid = verbose ? spawn_radodaro({"--expand", "-v", tmp / "t.pak", out}, printed)
                              : spawn_radodaro({"/e", tmp / "t.pak", out}, printed);
    ASSERT_TRUE(eventually([&] { return list_folder(out).size() >= 2; }));
    ::kill(pid, Target::current().interrupt_signal(attempt % 2 ? SIGINT : SIGTERM));
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!Target::current().ended_by_interrupt(status)) continue;  // finished first
    // On Windows the system removes a member still marked for deletion as
    // it closes what the process held, a moment after it ends.
    EXPECT_TRUE(eventually([&] {
      const std::vector<std::string> names = list_folder(out);
      return std::all_of(names.begin(), names.end(),
                         [](const std::string& name) { return name.size() == 12; });
    }));
    // The interruption may land after the last member too, while the
    // folder's record is written: it is then not there either.
    const std::vector<std::string> names = list_folder(out);
    EXPECT_LE(names.size(), 60u);
    const Bytes raw = read_file(printed);
    const std::string lines = Target::current().host_text(std::string(raw.begin(), raw.end()));
    for (const std::string& name : names) {
      const uint32_t index = static_cast<uint32_t>(std::stoul(name, nullptr, 16));
      ASSERT_EQ(read_file(out + "/" + name), pack.entries()[index].content) << name;
      // Every member named has its line.
      EXPECT_NE(lines.find(member(out, index) + "\n"), std::string::npos)
          << name << (verbose ? " of --expand -v" : " of /e");
    }
  }
}

TEST(Hostile, InterruptedGroupCutsThePackBack) {
  TempDir tmp;
  PackBuilder pack;
  for (uint32_t i = 0; i < 40; ++i) pack.stored(bytes_of("old"));
  const Bytes original = pack.build();
  const std::string m = tmp / "m";
  ::mkdir(m.c_str(), 0777);
  for (uint32_t i = 0; i < 40; ++i) write_file(member(m, i), random_bytes(2 << 20, i));
  for (int attempt = 0; attempt < 4; ++attempt) {
    write_file(tmp / "t.pak", original);
    const pid_t pid = spawn_radodaro({"/p", tmp / "t.pak", m});
    struct stat st;
    ASSERT_TRUE(eventually([&] {
      return ::stat((tmp / "t.pak").c_str(), &st) == 0 &&
             static_cast<uint64_t>(st.st_size) > original.size();
    }));
    ::kill(pid, Target::current().interrupt_signal(attempt % 2 ? SIGINT : SIGTERM));
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!Target::current().ended_by_interrupt(status)) continue;  // finished first
    const Bytes after = read_file(tmp / "t.pak");
    // Cut back whole, or killed after the new directory went out.
    if (after.size() == original.size()) {
      EXPECT_EQ(after, original);
    } else {
      EXPECT_EQ(after.size(), original.size() + 40 * (2 << 20));
    }
  }
}

}  // namespace
}  // namespace radodaro::testing
