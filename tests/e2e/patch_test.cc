// New packs from folders, and patches between versions of a pack: made,
// applied, taken off again, refused where they do not fit, and whole old
// or whole new after a kill.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "e2e/e2e_util.h"
#include "support/sample_pack.h"
#include "support/temp_dir.h"

namespace radodaro::testing {
namespace {

constexpr int kFailure = 255;

// The member files a folder holds, by name, without the folder's record.
std::map<std::string, Bytes> members_of(const std::string& folder) {
  std::map<std::string, Bytes> out;
  for (const std::string& name : list_folder(folder)) {
    if (name != ".radodaro-record") out[name] = read_file(folder + "/" + name);
  }
  return out;
}

// Over every pack the fuzzers start from: a pack made like it from what
// /e writes of it holds what it holds; a patch to an edited version turns
// a copy into that version, once only, and its undo turns it back.
TEST(CreateAndPatch, RoundTripOverTheFuzzCorpus) {
  int patched = 0;
  for (const std::string& p : corpus_packs()) {
    SCOPED_TRACE(p);
    if (!modest(read_file(p))) continue;
    TempDir tmp;
    std::filesystem::create_directories(tmp / "m");
    const RunResult expanded = run_radodaro({"/e", p, tmp / "m"});
    if (expanded.exit_code != 0) continue;
    const RunResult made = run_radodaro({"--create", tmp / "q.pak", tmp / "m", "--like", p});
    // Data that lies outside its file, with no member in its place, is
    // refused, not made up.
    if (made.exit_code != 0) {
      EXPECT_EQ(made.exit_code, kFailure);
      EXPECT_NE(made.err.find("lies outside its file"), std::string::npos) << made.err;
      EXPECT_FALSE(file_exists(tmp / "q.pak"));
      continue;
    }
    EXPECT_EQ(run_radodaro({"/e", tmp / "q.pak", tmp / "m2"}).exit_code, 0);
    EXPECT_EQ(members_of(tmp / "m2"), members_of(tmp / "m"));
    const RunResult same = run_radodaro({"--diff", p, tmp / "q.pak"});
    EXPECT_EQ(same.exit_code, 0) << same.out << same.err;

    // B: one member edited, and one more entry.
    const std::map<std::string, Bytes> before = members_of(tmp / "m");
    if (!before.empty()) {
      Bytes edited = before.begin()->second;
      edited.push_back('!');
      write_file(tmp / "m/" + before.begin()->first, edited);
    }
    const uint32_t count = decode_fixed32(read_file(p).data() + 8);
    write_file(member(tmp / "m", count), bytes_of("a new entry"));
    ASSERT_EQ(run_radodaro({"--create", tmp / "b.pak", tmp / "m", "--like", p}).exit_code, 0);
    ASSERT_EQ(run_radodaro({"--make-patch", p, tmp / "b.pak", tmp / "p.pak"}).exit_code, 0);
    EXPECT_NE(run_radodaro({"--verify", tmp / "p.pak"}).exit_code, kFailure);
    write_file(tmp / "a.pak", read_file(p));
    const RunResult applied =
        run_radodaro({"--apply-patch", tmp / "a.pak", tmp / "p.pak", "--undo", tmp / "u.pak"});
    ASSERT_EQ(applied.exit_code, 0) << applied.err;
    EXPECT_EQ(run_radodaro({"--diff", tmp / "a.pak", tmp / "b.pak"}).exit_code, 0);
    const Bytes once = read_file(tmp / "a.pak");
    const RunResult twice = run_radodaro({"--apply-patch", tmp / "a.pak", tmp / "p.pak"});
    EXPECT_EQ(twice.exit_code, 0);
    EXPECT_EQ(twice.out, tmp / "a.pak" + ": the patch is in place already; nothing to do\n");
    EXPECT_EQ(read_file(tmp / "a.pak"), once);
    ASSERT_EQ(run_radodaro({"--apply-patch", tmp / "a.pak", tmp / "u.pak"}).exit_code, 0);
    const RunResult back = run_radodaro({"--diff", p, tmp / "a.pak"});
    EXPECT_EQ(back.exit_code, 0) << back.out;
    ++patched;
  }
  EXPECT_GE(patched, 5);
}

// What --create makes: entries of the kinds asked, gaps skipped, the same
// pack at any job count, and never over a file that is there.
TEST(CreateCommand, KindsGapsJobsAndExistingFiles) {
  TempDir tmp;
  ::mkdir((tmp / "m").c_str(), 0777);
  write_file(member(tmp / "m", 0), text_like_bytes(300000, 1));
  write_file(member(tmp / "m", 3), random_bytes(5000, 2));
  const auto kinds = [&](const std::string& pack) {
    const RunResult r = run_radodaro({"--list", pack});
    std::string k;
    for (size_t at = 0; (at = r.out.find("\n0000000", at)) != std::string::npos; ++at) {
      k += r.out.substr(at + 11, 8);
    }
    return k;
  };
  ASSERT_EQ(run_radodaro({"--create", tmp / "fast.pak", tmp / "m", "-j1"}).exit_code, 0);
  EXPECT_EQ(kinds(tmp / "fast.pak"), "lzo1x   skipped skipped lzo1x   ");
  ASSERT_EQ(run_radodaro({"--create", tmp / "four.pak", tmp / "m", "-j4"}).exit_code, 0);
  EXPECT_EQ(read_file(tmp / "four.pak"), read_file(tmp / "fast.pak"));
  const RunResult stored = run_radodaro({"--create", tmp / "s.pak", tmp / "m", "--store"});
  EXPECT_EQ(stored.out,
            "Created " + tmp / "s.pak" + ": 4 entries, 2 from member files, 305112 bytes\n");
  EXPECT_EQ(run_radodaro({"--verify", tmp / "s.pak"}).exit_code, 0);
  // An existing pack is left as it is, unless --overwrite.
  const RunResult refused = run_radodaro({"--create", tmp / "s.pak", tmp / "m"});
  EXPECT_EQ(refused.exit_code, kFailure);
  EXPECT_EQ(refused.err, "radodaro: " + tmp / "s.pak" +
                             " is there already; nothing was written (--overwrite replaces it)\n");
  EXPECT_EQ(read_file(tmp / "s.pak").size(), 305112u);
  ASSERT_EQ(run_radodaro({"--create", tmp / "s.pak", tmp / "m", "--overwrite"}).exit_code, 0);
  EXPECT_EQ(read_file(tmp / "s.pak"), read_file(tmp / "fast.pak"));
  ::mkdir((tmp / "dir.pak").c_str(), 0777);
  EXPECT_EQ(run_radodaro({"--create", tmp / "dir.pak", tmp / "m", "--overwrite"}).exit_code,
            kFailure);
  EXPECT_TRUE(std::filesystem::is_directory(tmp / "dir.pak"));
}

// A sample, a version of it, and a copy of the sample changed elsewhere.
struct Versions {
  TempDir tmp;
  std::string a = tmp / "a.pak", b = tmp / "b.pak", patch = tmp / "p.pak";
  Versions() {
    sample_pack().write(a);
    EXPECT_EQ(run_radodaro({"--expand", a, tmp / "m"}).exit_code, 0);
    write_file(member(tmp / "m", 0), bytes_of("edited"));
    write_file(member(tmp / "m", 3), bytes_of("edited too"));
    EXPECT_EQ(run_radodaro({"--create", b, tmp / "m", "--like", a}).exit_code, 0);
    EXPECT_EQ(run_radodaro({"--make-patch", a, b, patch}).exit_code, 0);
  }
};

// A pack whose entries hold neither the old content nor the new one is
// refused whole, every conflict named, unless --force; nothing is written,
// the undo neither.
TEST(ApplyPatch, ConflictsAreRefusedWholeUnlessForced) {
  Versions v;
  const std::string mine = v.tmp / "mine.pak";
  write_file(mine, read_file(v.a));
  ::mkdir((v.tmp / "mm").c_str(), 0777);
  write_file(v.tmp / "mm/00000003.dat", bytes_of("mine"));
  ASSERT_EQ(run_radodaro({"--update", mine, v.tmp / "mm"}).exit_code, 0);
  const Bytes before = read_file(mine);
  const RunResult dry = run_radodaro({"--apply-patch", mine, v.patch, "-n", "--force"});
  EXPECT_EQ(dry.exit_code, 0);
  EXPECT_EQ(dry.out,
            "to_patch   00000000.dat: 34 bytes, now 6 bytes\n"
            "to_patch   00000003.dat: 4 bytes, now 10 bytes\n"
            "Would patch " +
                mine + ": 2 entries, 0 already so\n");
  const RunResult refused =
      run_radodaro({"--apply-patch", mine, v.patch, "--undo", v.tmp / "u.pak"});
  EXPECT_EQ(refused.exit_code, kFailure);
  EXPECT_EQ(refused.err,
            "radodaro: " + mine +
                ": entry 3 (00000003.dat): it holds neither what the patch was made against nor "
                "what it puts there\nradodaro: " +
                mine + ": 1 conflict with " + v.patch +
                "; nothing was changed (--force applies it anyway)\n");
  EXPECT_EQ(read_file(mine), before);
  EXPECT_FALSE(file_exists(v.tmp / "u.pak"));
  const RunResult forced =
      run_radodaro({"--apply-patch", mine, v.patch, "--force", "--undo", v.tmp / "u.pak"});
  EXPECT_EQ(forced.exit_code, 0);
  EXPECT_EQ(run_radodaro({"--diff", mine, v.b}).exit_code, 0);
  ASSERT_EQ(run_radodaro({"--apply-patch", mine, v.tmp / "u.pak"}).exit_code, 0);
  EXPECT_EQ(run_radodaro({"--cat", mine, "3"}).raw_out, "mine");
  // An undo that is there already is never written over: nothing changes.
  const Bytes undone = read_file(mine);
  const RunResult taken =
      run_radodaro({"--apply-patch", mine, v.patch, "--force", "--undo", v.tmp / "u.pak"});
  EXPECT_EQ(taken.exit_code, kFailure);
  EXPECT_EQ(read_file(mine), undone);
}

// What binds a patch is checked before anything is changed: a pack that is
// no patch, a binding damaged, entries changed since the patch was made.
// --compact refuses a patch, as it would drop the binding.
TEST(ApplyPatch, WhatIsNoWholePatchIsRefused) {
  Versions v;
  const Bytes a = read_file(v.a);
  Bytes damaged = read_file(v.patch);
  damaged[16 + 24 * 4 + 30] ^= 1;
  write_file(v.tmp / "damaged.pak", damaged);
  write_file(v.tmp / "edited.pak", read_file(v.patch));
  ::mkdir((v.tmp / "e").c_str(), 0777);
  write_file(v.tmp / "e/00000003.dat", bytes_of("not what the patch holds"));
  ASSERT_EQ(run_radodaro({"--update", v.tmp / "edited.pak", v.tmp / "e"}).exit_code, 0);
  const struct {
    std::string patch, err;
  } cases[] = {
      {v.a, ": not a patch: nothing after its directory binds it to a pack\n"},
      {v.tmp / "damaged.pak",
       ": its binding to the pack it patches is damaged: its CRC-32 does not match\n"},
      {v.tmp / "edited.pak",
       ": entry 3 does not hold what the patch binds it to (changed since it was made?); "
       "nothing was changed\n"},
  };
  for (const auto& c : cases) {
    const RunResult r = run_radodaro({"--apply-patch", v.a, c.patch});
    EXPECT_EQ(r.exit_code, kFailure) << c.patch;
    EXPECT_EQ(r.err, "radodaro: " + c.patch + c.err);
    EXPECT_EQ(read_file(v.a), a);
  }
  const RunResult checked = run_radodaro({"--verify", v.tmp / "damaged.pak"});
  EXPECT_EQ(checked.exit_code, 1);
  EXPECT_NE(checked.out.find("patch: its binding to the pack it patches is damaged: its CRC-32 "
                             "does not match\n"),
            std::string::npos)
      << checked.out;
  const Bytes patch = read_file(v.patch);
  EXPECT_EQ(run_radodaro({"--compact", v.patch}).exit_code, kFailure);
  EXPECT_EQ(read_file(v.patch), patch);
}

// Kills at moments all through an apply: the next run finds the pack
// whole old or whole new, and wherever the pack may have begun to change,
// the undo is there whole already.
TEST(ApplyPatch, KilledAtAnyMomentLeavesWholeOldOrWholeNew) {
  RADODARO_SKIP_ON_WINDOWS("ends runs within milliseconds of their start");
  TempDir tmp;
  PackBuilder old_pack, new_pack;
  // A directory large enough that its journal and its rewrite take a good
  // part of the run, so that kills land in them too.
  for (uint32_t i = 0; i < 40000; ++i) {
    old_pack.stored(random_bytes(40, i));
    new_pack.stored(i % 16 == 0 ? random_bytes(50, i + 7) : random_bytes(40, i));
  }
  old_pack.true_dir_crc().write(tmp / "old.pak");
  new_pack.true_dir_crc().write(tmp / "new.pak");
  ASSERT_EQ(
      run_radodaro({"--make-patch", tmp / "old.pak", tmp / "new.pak", tmp / "p.pak"}).exit_code, 0);
  const Bytes old_bytes = read_file(tmp / "old.pak");
  const std::string pak = tmp / "t.pak", journal = pak + ".radodaro-journal";
  std::filesystem::create_directories(tmp / "none");
  // How long a run lasts from its first write to the pack: the kills are
  // spread over it, and a little before and after.
  const auto until_journal = [&](pid_t pid) {
    while (!file_exists(journal) && ::waitpid(pid, nullptr, WNOHANG) == 0) {
      std::this_thread::yield();
    }
  };
  write_file(pak, old_bytes);
  const pid_t timed = spawn_radodaro({"--apply-patch", pak, tmp / "p.pak"});
  until_journal(timed);
  const auto start = std::chrono::steady_clock::now();
  ::waitpid(timed, nullptr, 0);
  // Runs beside other tests vary in length: whenever one ends before its
  // kill, the kills that follow come sooner.
  auto span = std::chrono::steady_clock::now() - start;
  int kills = 0, olds = 0, news = 0, undo_checked = 0;
  for (int round = 0; round < 100 && (round < 24 || kills < 20); ++round) {
    write_file(pak, old_bytes);
    const std::string undo = tmp / ("u" + std::to_string(round));
    const pid_t pid = spawn_radodaro({"--apply-patch", pak, tmp / "p.pak", "--undo", undo});
    until_journal(pid);
    if (file_exists(journal)) {
      // From the first byte written to the pack on, the way back is there.
      EXPECT_TRUE(file_exists(undo)) << round;
      ++undo_checked;
    }
    std::this_thread::sleep_for(span * (6 + round % 12) / 16);
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFSIGNALED(status)) {
      span = span * 3 / 4;
      continue;
    }
    ++kills;
    ASSERT_EQ(run_radodaro({"--update", pak, tmp / "none"}).exit_code, 0) << round;
    const bool is_new = run_radodaro({"--diff", pak, tmp / "new.pak"}).exit_code == 0;
    const bool is_old = run_radodaro({"--diff", pak, tmp / "old.pak"}).exit_code == 0;
    ASSERT_TRUE(is_new != is_old) << round;
    EXPECT_EQ(run_radodaro({"--verify", pak}).exit_code, 0) << round;
    (is_new ? news : olds)++;
  }
  std::printf("applies killed: %d; packs old: %d, new: %d; undo there at the journal: %d\n", kills,
              olds, news, undo_checked);
  EXPECT_GE(kills, 20);
  EXPECT_GE(undo_checked, 10);
}

}  // namespace
}  // namespace radodaro::testing
