// Failed reads, writes, syncs, closes and removals, injected into the tool's
// own code run in-process: whatever fails, the pack ends up wholly old or
// wholly new, and a member file is there whole or not at all.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <new>
#include <thread>

#include "commands/compact.h"
#include "commands/expand.h"
#include "commands/group.h"
#include "commands/open_pack.h"
#include "pak/checksums.h"
#include "pak/pack_reader.h"
#include "pak/pack_update.h"
#include "platform/paths.h"
#include "support/fault_env.h"
#include "support/pack_builder.h"
#include "support/temp_dir.h"

namespace radodaro::testing {
namespace {

using Op = FaultEnv::Op;
using platform::Error;
using platform::Handle;

std::string journal_of(const std::string& pak) { return pak + ".radodaro-journal"; }

// What any run that may write does first: puts the pack back from its
// journal. False when it could not.
bool put_back(const std::string& pak) {
  PackUpdate update(platform::Env::system(), pak, say);
  const bool ok = update.open() == PackUpdate::Open::kOk;
  update.leave_untouched();
  return ok;
}

// Runs `fn` with standard output captured.
template <typename F>
std::string captured(F fn) {
  ::testing::internal::CaptureStdout();
  fn();
  std::fflush(stdout);
  return ::testing::internal::GetCapturedStdout();
}

class GroupFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    PackBuilder pack;
    // Enough entries for a directory of several pieces of the journal copy.
    for (uint32_t i = 0; i < 50000; ++i) pack.stored(bytes_of(i % 2 ? "odd" : "even"));
    original_ = pack.build();
    std::filesystem::create_directories(folder_);
    write_file(member_path(folder_, 1), bytes_of("new one"));
    write_file(member_path(folder_, 49999), random_bytes(3000, 7));
    write_file(pak_, original_);
    captured([&] { ASSERT_TRUE(run_group(platform::Env::system(), pak_, folder_)); });
    grouped_ = read_file(pak_);
  }

  // Whether the pack is wholly old (false) or wholly new (true); fails the
  // test for anything else.
  bool old_or_new(const std::string& context) {
    const Bytes now = read_file(pak_);
    EXPECT_TRUE(now == original_ || now == grouped_) << context;
    return now == grouped_;
  }

  TempDir tmp_;
  const std::string pak_ = tmp_ / "t.pak";
  const std::string folder_ = tmp_ / "m/";
  Bytes original_, grouped_;
};

// Every kind of call but the opening of members, which one member-read
// case covers; with 50,000 entries, each would be a case of its own.
const std::set<Op> kEveryOp = {Op::kWrite,    Op::kSync,   Op::kClose, Op::kRead,
                               Op::kTruncate, Op::kRemove, Op::kCreate};

TEST_F(GroupFaults, AnySingleFaultLeavesTheOldPackOrADurableNewOne) {
  FaultEnv env;
  env.fail(0, Error::kIo, kEveryOp);
  write_file(pak_, original_);
  captured([&] { run_group(env, pak_, folder_); });
  const int calls = env.counted();
  ASSERT_GT(calls, 15);

  int old_packs = 0;
  for (int nth = 1; nth <= calls; ++nth) {
    write_file(pak_, original_);
    env.fail(nth, Error::kNoSpace, kEveryOp);
    bool ok = false;
    const std::string out = captured([&] { ok = run_group(env, pak_, folder_); });
    const std::string context = "fault " + std::to_string(nth) + ": " + out;
    // True only with the new directory durable; false only with the pack
    // as it was, and no journal left to undo a good pack later.
    EXPECT_EQ(old_or_new(context), ok) << context;
    EXPECT_FALSE(file_exists(journal_of(pak_))) << context;
    if (!ok) ++old_packs;
  }
  std::printf("single faults: %d; packs left old: %d, new: %d\n", calls, old_packs,
              calls - old_packs);
  EXPECT_GT(old_packs, 10);
}

TEST_F(GroupFaults, DiskThatDiesMidRunIsPutBackByTheNextRun) {
  // Everything fails from some call on, or only writes do (so that cutting
  // the pack back would still work, and must wait for the old image).
  for (const std::set<Op>& dying : {kEveryOp, std::set<Op>{Op::kWrite}}) {
    FaultEnv env;
    env.fail(0, Error::kIo, dying);
    write_file(pak_, original_);
    captured([&] { run_group(env, pak_, folder_); });
    const int calls = env.counted();

    int restored = 0;
    for (int nth = 1; nth <= calls; ++nth) {
      write_file(pak_, original_);
      // From this call on nothing reaches the disk: the run cannot put the
      // pack back itself, so the journal must.
      env.fail(nth, Error::kIo, dying, /*sticky=*/true);
      bool ok = false;
      captured([&] { ok = run_group(env, pak_, folder_); });
      const std::string context =
          "dies at " + std::to_string(nth) + " of " + std::to_string(dying.size()) + " kinds";
      if (file_exists(journal_of(pak_))) {
        ++restored;
        // A journal, not the record of a run that was appending: not cut
        // back, as the appended data is what a half-new directory points at.
        const Bytes left = read_file(journal_of(pak_));
        if (std::string(left.begin(), left.begin() + 8) == "rdrjrnl2") {
          EXPECT_EQ(read_file(pak_).size(), grouped_.size()) << context;
        }
      }
      // The next run that may write first puts the pack back.
      EXPECT_TRUE(put_back(pak_)) << context;
      EXPECT_EQ(old_or_new(context), ok) << context;
      EXPECT_FALSE(file_exists(journal_of(pak_))) << context;
    }
    std::printf("disk dies at each of %d calls (%zu kinds): put back from the journal: %d\n", calls,
                dying.size(), restored);
    EXPECT_GT(restored, 0);
  }
}

// The real system, knowing which handle is the pack's.
class KnowsThePack : public platform::Env {
 public:
  Error open_exclusive(const std::string& path, Handle* f, uint64_t* size,
                       bool replaceable) override {
    const Error e = Env::open_exclusive(path, f, size, replaceable);
    pack_ = f->native();
    return e;
  }

 protected:
  intptr_t pack_ = -1;
};

// The new directory's write gets `written` bytes onto the disk, then the
// disk is full; with `dying`, nothing gets through after that.
class TornWrite : public KnowsThePack {
 public:
  TornWrite(uint64_t written, bool dying) : written_(written), dying_(dying) {}
  Error write_at(const Handle& f, const uint8_t* d, uint64_t n, uint64_t at) override {
    if (dead_) return Error::kIo;
    if (torn_ || f.native() != pack_ || at != 0 || n <= written_) {
      return Env::write_at(f, d, n, at);
    }
    torn_ = true;
    dead_ = dying_;
    (void)Env::write_at(f, d, written_, 0);
    return Error::kNoSpace;
  }
  Error truncate(const Handle& f, uint64_t n) override {
    return dead_ ? Error::kIo : Env::truncate(f, n);
  }
  Error remove(const Handle& folder, const std::string& name) override {
    return dead_ ? Error::kIo : Env::remove(folder, name);
  }

 private:
  const uint64_t written_;
  const bool dying_;
  bool torn_ = false;
  bool dead_ = false;
};

TEST_F(GroupFaults, DirectoryWriteCutAnywhereIsPutBackFromTheRunsOwnJournal) {
  for (const uint64_t written : {uint64_t{16}, uint64_t{512}, uint64_t{1000}, uint64_t{4096 * 3},
                                 directory_end(50000) - 1}) {
    for (const bool dying : {false, true}) {
      // A disk writes a sector whole: a run that cannot put the pack back
      // itself leaves whole sectors to the next one. Its own run trusts
      // its journal whatever the write left.
      if (dying && written % 512 != 0) continue;
      const std::string context =
          std::to_string(written) + " bytes written" + (dying ? ", then the disk died" : "");
      write_file(pak_, original_);
      TornWrite env(written, dying);
      bool ok = true;
      captured([&] { ok = run_group(env, pak_, folder_); });
      EXPECT_FALSE(ok) << context;
      EXPECT_FALSE(file_exists(journal_of(pak_) + "-stale")) << context;
      if (dying) {
        // Never cut behind a directory that may point past the cut: the
        // journal stays, and the next run puts the pack back.
        EXPECT_EQ(read_file(pak_).size(), grouped_.size()) << context;
        EXPECT_TRUE(put_back(pak_)) << context;
      }
      EXPECT_EQ(read_file(pak_), original_) << context;
      EXPECT_FALSE(file_exists(journal_of(pak_))) << context;
    }
  }
}

// Memory runs out at the `nth` opening of a member (on a worker) or write
// (on the committing thread).
class OutOfMemory : public platform::Env {
 public:
  OutOfMemory(int nth_open, int nth_write) : open_(nth_open), write_(nth_write) {}
  Error open_for_read(const Handle& folder, const std::string& name, Handle* f,
                      uint64_t* size) override {
    if (--open_ == 0) throw std::bad_alloc();
    return Env::open_for_read(folder, name, f, size);
  }
  Error write_at(const Handle& f, const uint8_t* d, uint64_t n, uint64_t at) override {
    if (--write_ == 0) throw std::bad_alloc();
    return Env::write_at(f, d, n, at);
  }

 private:
  std::atomic<int> open_, write_;
};

TEST_F(GroupFaults, ExceptionOnAnyThreadLeavesThePackAsItWas) {
  for (const auto& [nth_open, nth_write] : {std::pair{1, 0}, {2, 0}, {0, 1}, {0, 2}, {0, 3}}) {
    const std::string context =
        "open " + std::to_string(nth_open) + ", write " + std::to_string(nth_write);
    write_file(pak_, original_);
    OutOfMemory env(nth_open, nth_write);
    captured([&] {
      EXPECT_THROW(run_group(env, pak_, folder_, GroupMode::kEvery, Compression::kNone, 4),
                   std::bad_alloc)
          << context;
    });
    EXPECT_EQ(read_file(pak_), original_) << context;
    EXPECT_FALSE(file_exists(journal_of(pak_))) << context;
  }
}

// No file can be mapped (an address-space limit, say): what cannot be
// compared is never taken for a change.
class NoMapping : public platform::Env {
 public:
  const uint8_t* map_window(const Handle&, uint64_t, uint64_t) override { return nullptr; }
  Error open_for_read(const Handle& folder, const std::string& name, Handle* f,
                      uint64_t* size) override {
    ++opened;
    return Env::open_for_read(folder, name, f, size);
  }
  std::atomic<int> opened{0};  // workers open members at once
};

// Another program rewrites the last member once the run has read it, or
// as the run appends it.
class MemberRewritten : public KnowsThePack {
 public:
  explicit MemberRewritten(std::string member) : member_(std::move(member)) {}
  Error read_at(const Handle& f, uint8_t* d, uint64_t n, uint64_t at, uint64_t* got) override {
    const Error e = Env::read_at(f, d, n, at, got);
    if (f.native() != pack_ && n == 3000) rewrite();
    return e;
  }
  Error write_at(const Handle& f, const uint8_t* d, uint64_t n, uint64_t at) override {
    if (at != 0 && n == 3000) rewrite();
    return Env::write_at(f, d, n, at);
  }

 private:
  void rewrite() {
    const std::lock_guard<std::mutex> hold(lock_);
    if (!rewritten_) write_file(member_, random_bytes(3000, 99));
    rewritten_ = true;
  }
  const std::string member_;
  std::mutex lock_;
  bool rewritten_ = false;
};

TEST_F(GroupFaults, UpdateComparesWhatItCannotMapAndSumsWhatItStores) {
  write_file(pak_, grouped_);
  NoMapping no_mapping;
  bool ok = false;
  captured([&] { ok = run_update(no_mapping, pak_, folder_); });
  EXPECT_TRUE(ok);
  EXPECT_EQ(read_file(pak_), grouped_);
  // The two member files, and the journal's name: not one open for each
  // of the 50,000 entries.
  EXPECT_LE(no_mapping.opened.load(), 4);

#ifdef _WIN32
  // Windows lets no other program write a member that the run holds open.
  return;
#endif
  for (const uint32_t workers : {1u, 4u}) {
    write_file(pak_, original_);
    write_file(member_path(folder_, 49999), random_bytes(3000, 7));
    MemberRewritten rewritten(member_path(folder_, 49999));
    captured([&] {
      ok = run_group(rewritten, pak_, folder_, GroupMode::kEvery, Compression::kNone, workers);
    });
    EXPECT_TRUE(ok);
    // Each entry's sum is that of the bytes in the pack.
    const Bytes after = read_file(pak_);
    for (const uint32_t i : {1u, 49999u}) {
      const PakEntry e = decode_entry(after.data() + entry_position(i));
      EXPECT_EQ(e.crc2, sum32(after.data() + e.offset, e.unpacked_size)) << i << " " << workers;
    }
  }
  write_file(member_path(folder_, 49999), random_bytes(3000, 7));
}

// The real system, with a log of what reaches which file in what order.
class OrderLog : public KnowsThePack {
 public:
  Error create_new(const Handle& folder, const std::string& name, Handle* f) override {
    const Error e = Env::create_new(folder, name, f);
    journal_ = f->native();
    return e;
  }
  Error write_at(const Handle& f, const uint8_t* d, uint64_t n, uint64_t at) override {
    log_ += who(f) + (at == 0 ? "-write-start " : "-write ");
    return Env::write_at(f, d, n, at);
  }
  Error sync(const Handle& f) override {
    log_ += who(f) + "-sync ";
    return Env::sync(f);
  }
  Error sync_folder(const Handle& f) override {
    log_ += "folder-sync ";
    return Env::sync_folder(f);
  }
  Error remove(const Handle& folder, const std::string& name) override {
    log_ += "remove ";
    return Env::remove(folder, name);
  }
  const std::string& log() const { return log_; }

 private:
  std::string who(const Handle& f) const { return f.native() == pack_ ? "pack" : "journal"; }
  intptr_t journal_ = -1;
  std::string log_;
};

TEST_F(GroupFaults, EachStepIsDurableBeforeTheNextDependsOnIt) {
  write_file(pak_, original_);
  OrderLog env;
  bool ok = false;
  captured([&] { ok = run_group(env, pak_, folder_); });
  ASSERT_TRUE(ok);
  // The old length recorded, then appended data, then the journal whole
  // in its folder, then the new directory in place, and only then the
  // journal goes.
  const std::string& log = env.log();
  EXPECT_EQ(log.find("journal-write-start journal-sync folder-sync pack-write "), 0u) << log;
  const size_t data_synced = log.find("pack-write pack-sync ");
  const size_t journal_synced = log.rfind("journal-write journal-sync folder-sync ");
  const size_t in_place = log.find("pack-write-start pack-sync remove folder-sync");
  ASSERT_NE(data_synced, std::string::npos) << log;
  ASSERT_NE(journal_synced, std::string::npos) << log;
  ASSERT_NE(in_place, std::string::npos) << log;
  EXPECT_LT(data_synced, journal_synced) << log;
  EXPECT_LT(journal_synced, in_place) << log;
  EXPECT_EQ(log.find("pack-write-start"), in_place) << log;
}

class CompactFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    PackBuilder pack;
    for (uint32_t i = 0; i < 200; ++i) pack.stored(random_bytes(3000 + i, i));
    write_file(pak_, pack.build());
    // Every member grouped back once: half the pack is dead.
    std::filesystem::create_directories(folder_);
    for (uint32_t i = 0; i < 200; ++i) write_file(member_path(folder_, i), random_bytes(3000, i));
    captured([&] { ASSERT_TRUE(run_group(platform::Env::system(), pak_, folder_)); });
    grouped_ = read_file(pak_);
    captured([&] { ASSERT_TRUE(run_compact(platform::Env::system(), pak_)); });
    compacted_ = read_file(pak_);
    ASSERT_LT(compacted_.size(), grouped_.size());
  }

  TempDir tmp_;
  const std::string pak_ = tmp_ / "t.pak";
  const std::string folder_ = tmp_ / "m/";
  Bytes grouped_, compacted_;
};

const std::set<Op> kCompactOps = {Op::kWrite,  Op::kSync, Op::kClose, Op::kRead,   Op::kRemove,
                                  Op::kCreate, Op::kLink, Op::kOpen,  Op::kRename, Op::kAttributes};

TEST_F(CompactFaults, AnySingleFaultLeavesTheOldPackOrTheDurableNewOne) {
  FaultEnv env;
  env.fail(0, Error::kIo, kCompactOps);
  write_file(pak_, grouped_);
  captured([&] { ASSERT_TRUE(run_compact(env, pak_)); });
  const int calls = env.counted();
  for (const Op op : {Op::kRename, Op::kAttributes, Op::kSync, Op::kLink}) {
    EXPECT_NE(std::find(env.log().begin(), env.log().end(), op), env.log().end());
  }

  int old_packs = 0;
  for (int nth = 1; nth <= calls; ++nth) {
    write_file(pak_, grouped_);
    env.fail(nth, Error::kIo, kCompactOps);
    bool ok = false;
    const std::string out = captured([&] { ok = run_compact(env, pak_); });
    const std::string context = "fault " + std::to_string(nth) + ": " + out;
    EXPECT_EQ(read_file(pak_), ok ? compacted_ : grouped_) << context;
    old_packs += !ok;
    // Nothing is left beside the pack but what the next run removes.
    for (const std::string& name : list_folder(tmp_.path())) {
      EXPECT_TRUE(name == "t.pak" || name == "m" || name == "t.pak.radodaro-compact")
          << context << " left " << name;
    }
    std::filesystem::remove(tmp_ / "t.pak.radodaro-compact");
  }
  std::printf("compactions with one failing call: %d; packs left old: %d, new: %d\n", calls,
              old_packs, calls - old_packs);
  EXPECT_GT(old_packs, 5);
}

// A system that copies within itself only some of a range, or none, before
// it refuses: the rest goes through memory, to the same new pack.
class CopiesPartly : public platform::Env {
 public:
  explicit CopiesPartly(uint64_t most) : most_(most) {}
  Error copy_range(const Handle& from, uint64_t from_at, const Handle& to, uint64_t to_at,
                   uint64_t n, uint64_t* copied) override {
    ++calls;
    const Error e = Env::copy_range(from, from_at, to, to_at, std::min(n, most_), copied);
    return e == Error::kOk && *copied < n ? Error::kUnsupported : e;
  }
  int calls = 0;

 private:
  uint64_t most_;
};

TEST_F(CompactFaults, ACopyTheSystemRefusesGoesOnThroughMemory) {
  for (const uint64_t most : {uint64_t{0}, uint64_t{1000}, ~uint64_t{0}}) {
    CopiesPartly env(most);
    write_file(pak_, grouped_);
    captured([&] { ASSERT_TRUE(run_compact(env, pak_)); });
    EXPECT_EQ(read_file(pak_), compacted_) << most;
    // The live data is one run, copied in one call; once refused, the
    // system is not asked again.
    EXPECT_EQ(env.calls, 1) << most;
  }
}

TEST_F(CompactFaults, NewPackIsDurableAndTakesTheOldOnesAttributesBeforeItsRename) {
  FaultEnv env;
  env.fail(0, Error::kIo, kCompactOps);
  write_file(pak_, grouped_);
  captured([&] { ASSERT_TRUE(run_compact(env, pak_)); });
  const std::vector<Op>& log = env.log();
  const auto last = [&](Op op, std::vector<Op>::const_iterator end) {
    return std::find(std::make_reverse_iterator(end), log.rend(), op).base();
  };
  const auto rename = std::find(log.begin(), log.end(), Op::kRename);
  ASSERT_NE(rename, log.end());
  // The last write of the new pack, then its sync, its attributes and its
  // name, and only then the rename over the old one.
  EXPECT_LT(last(Op::kWrite, rename), last(Op::kSync, rename));
  EXPECT_LT(last(Op::kSync, rename), last(Op::kAttributes, rename));
  EXPECT_LT(last(Op::kAttributes, rename), last(Op::kLink, rename));
}

// Runs a whole group run of the pack the moment the compaction lets go of
// the pack: in the gap, were there one between letting go and the rename.
class GroupWhenThePackIsLetGo : public platform::Env {
 public:
  GroupWhenThePackIsLetGo(std::string pak, std::string folder)
      : pak_(std::move(pak)), folder_(std::move(folder)) {}
  Error open_exclusive(const std::string& path, Handle* f, uint64_t* size,
                       bool replaceable) override {
    const Error e = Env::open_exclusive(path, f, size, replaceable);
    if (replaceable) held_ = f->native();
    return e;
  }
  Error close(Handle* f) override {
    const bool pack = f->native() == held_;
    const Error e = Env::close(f);
    if (pack) {
      held_ = -1;
      // (Its lines go where the compaction's go.)
      grouped = run_group(platform::Env::system(), pak_, folder_);
    }
    return e;
  }
  bool grouped = false;

 private:
  std::string pak_, folder_;
  intptr_t held_ = -1;
};

TEST_F(CompactFaults, GroupRunThatComesAsTheCompactionLetsGoIsKept) {
  write_file(pak_, grouped_);
  write_file(member_path(folder_, 7), bytes_of("edited while compacting"));
  GroupWhenThePackIsLetGo env(pak_, folder_);
  captured([&] { ASSERT_TRUE(run_compact(env, pak_)); });
  // Where the pack is let go only as the run ends (its lock held through
  // the rename), the group run comes then.
  if (!env.grouped)
    captured([&] { env.grouped = run_group(platform::Env::system(), pak_, folder_); });
  // Wherever the group run came, the pack has its member 7 and is the
  // compacted one or a group of it: never the compaction over the group.
  PackView view;
  captured([&] { ASSERT_TRUE(open_pack(platform::Env::system(), pak_, &view)); });
  const PakEntry e = entry_of(view.dir_image, 7);
  ASSERT_TRUE(env.grouped);
  ASSERT_TRUE(range_in_file(e.offset, e.unpacked_size, view.size));
  EXPECT_EQ(Bytes(view.data() + e.offset, view.data() + e.offset + e.unpacked_size),
            bytes_of("edited while compacting"));
}

class ExpandFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    pack_.stored(random_bytes(600 * 1024, 1)).lzo1x(text_like_bytes(1000, 1));
    pack_.write(tmp_ / "t.pak");
    folder_.open(platform::Env::system(), tmp_.path());
    ASSERT_TRUE(folder_.handle.is_open());
    captured([&] { ASSERT_TRUE(map_pak_file(platform::Env::system(), tmp_ / "t.pak", &view_)); });
  }

  std::string expand(platform::Env& env, uint32_t index, DecodeBuffer* buffer) {
    const std::string name = member_name(index);
    return captured([&] {
      expand_entry(env, folder_, name, tmp_ / name, pack_.directory()[index], view_, buffer);
    });
  }

  TempDir tmp_;
  PackBuilder pack_;
  OutputFolder folder_;
  PackView view_;
};

TEST_F(ExpandFaults, MemberIsWholeOrAbsentAndNothingElseIsLeft) {
  DecodeBuffer buffer;
  const struct {
    Op op;
    Error error;
    std::string message;
  } cases[] = {
      {Op::kCreate, Error::kIo, "Can't create file "},
      {Op::kWrite, Error::kNoSpace, "Can't write file "},
      {Op::kLink, Error::kNoSpace, "Can't write file "},
      {Op::kLink, Error::kExists, "File "},
      {Op::kClose, Error::kIo, "Can't write file "},
  };
  for (uint32_t index : {0u, 1u}) {
    for (const auto& c : cases) {
      FaultEnv env;
      env.fail(1, c.error, {c.op});
      const std::string out = expand(env, index, &buffer);
      const std::string name = member_name(index);
      EXPECT_NE(out.find(c.message + tmp_ / name), std::string::npos) << out;
      EXPECT_EQ(list_folder(tmp_.path()), std::vector<std::string>{"t.pak"}) << out;
    }
  }
}

// Another program writes a file at the member's name just after the tool
// looked and found nothing there.
class FileAppearsAfterTheLook : public platform::Env {
 public:
  explicit FileAppearsAfterTheLook(std::string dir) : dir_(std::move(dir)) {}
  Error create_unnamed(const Handle& folder, const std::string& name, Handle* f) override {
    for (const char* member : {"00000000.dat", "00000001.dat"}) {
      write_file(dir_ + "/" + member, bytes_of("theirs"));
    }
    return Env::create_unnamed(folder, name, f);
  }

 private:
  std::string dir_;
};

TEST_F(ExpandFaults, FileThatAppearsMeanwhileIsNeverReplaced) {
  DecodeBuffer buffer;
  FileAppearsAfterTheLook env(tmp_.path());
  for (uint32_t index : {0u, 1u}) {
    std::filesystem::remove(tmp_ / member_name(index));
    const std::string out = expand(env, index, &buffer);
    EXPECT_NE(out.find("File " + tmp_ / member_name(index) + " alredy exists\n"), std::string::npos)
        << out;
    EXPECT_EQ(read_file(tmp_ / member_name(index)), bytes_of("theirs"));
  }
}

// A folder that cannot be listed: each member is looked up on its own.
class Unlistable : public platform::Env {
 public:
  Error list_folder(const Handle&, std::vector<std::string>*) override { return Error::kIo; }
};

TEST_F(ExpandFaults, FolderThatCannotBeListedIsLookedUpMemberByMember) {
  DecodeBuffer buffer;
  Unlistable env;
  OutputFolder folder;
  folder.open(env, tmp_.path());
  ASSERT_FALSE(folder.listed);
  write_file(tmp_ / member_name(0), bytes_of("there before"));
  const std::string name = member_name(0);
  const std::string out = captured(
      [&] { expand_entry(env, folder, name, tmp_ / name, pack_.directory()[0], view_, &buffer); });
  EXPECT_EQ(out, "File " + tmp_ / name + " alredy exists\n");
  EXPECT_EQ(read_file(tmp_ / name), bytes_of("there before"));
}

// A file system without unnamed files.
class NoUnnamedFiles : public FaultEnv {
 public:
  Error create_unnamed(const Handle&, const std::string&, Handle*) override {
    return Error::kUnsupported;
  }
};

TEST_F(ExpandFaults, WithoutUnnamedFilesATemporaryNameIsUsedAndNeverLeft) {
  DecodeBuffer buffer;
  NoUnnamedFiles env;
  expand(env, 0, &buffer);
  EXPECT_EQ(read_file(tmp_ / member_name(0)), pack_.entries()[0].content);
  env.fail(1, Error::kNoSpace, {Op::kWrite});
  EXPECT_NE(expand(env, 1, &buffer).find("Can't write file "), std::string::npos);
  EXPECT_EQ(list_folder(tmp_.path()), (std::vector<std::string>{"00000000.dat", "t.pak"}));
}

// No file can be written but on the thread that started the run: every
// member a worker writes ahead fails there, and is written at its turn as
// though no worker had tried.
class WritesOnlyOnTheFirstThread : public platform::Env {
 public:
  Error write_at(const Handle& f, const uint8_t* data, uint64_t length, uint64_t offset) override {
    if (std::this_thread::get_id() != first_) {
      ++refused;
      return Error::kNoSpace;
    }
    return Env::write_at(f, data, length, offset);
  }
  std::atomic<int> refused{0};  // writes refused to workers

 private:
  std::thread::id first_ = std::this_thread::get_id();
};

TEST(ExpandOnWorkers, WhatFailsOnAWorkerIsWrittenAtItsTurn) {
  TempDir tmp;
  PackBuilder pack;
  for (uint32_t i = 0; i < 300; ++i) {
    if (i % 2 == 0) {
      pack.stored(random_bytes(3000 + i, i));
    } else {
      pack.lzo1x(text_like_bytes(5000 + i, i));
    }
  }
  pack.write(tmp / "t.pak");
  PackView view;
  captured([&] { ASSERT_TRUE(map_pak_file(platform::Env::system(), tmp / "t.pak", &view)); });
  // As the command line gives it: absolute, with its separator.
  const std::string folder = platform::full_folder_path(tmp / "m");
  const std::string alone = captured([&] { run_expand(platform::Env::system(), view, folder, 1); });
  std::filesystem::remove_all(tmp / "m");
  WritesOnlyOnTheFirstThread env;
  EXPECT_EQ(captured([&] { run_expand(env, view, folder, 4); }), alone);
  for (uint32_t i = 0; i < 300; ++i) {
    ASSERT_EQ(read_file(tmp / "m/" + member_name(i)), pack.entries()[i].content) << i;
  }
  EXPECT_EQ(list_folder(tmp / "m").size(), 300u);
  EXPECT_GT(env.refused.load(), 0);
}

TEST_F(ExpandFaults, CodecThatFailedToStartMakesEveryLzo1xEntryAnError) {
  DecodeBuffer broken(false);
  const std::string out = expand(platform::Env::system(), 1, &broken);
  EXPECT_EQ(out.substr(0, 16), "Error unpacking\n");
  EXPECT_EQ(read_file(tmp_ / member_name(1)), Bytes(1000, 0));
}

// The folder's record spares --update the members it vouches for: of 600,
// with 3 edited, only those and the few written within the record's own
// clock tick (which may have changed since) are opened; with --check-all,
// every one.
TEST(RecordedFolder, UpdateOpensOnlyTheMembersTheRecordCannotVouchFor) {
  TempDir tmp;
  // As the command line gives them: absolute, the folder with its
  // separator.
  const std::string pak = platform::full_path(tmp / "t.pak");
  const std::string dir = platform::full_folder_path(tmp / "m");
  PackBuilder pack;
  for (uint32_t i = 0; i < 600; ++i) pack.stored(random_bytes(100, i));
  pack.write(pak);
  {
    PackView view;
    ASSERT_TRUE(open_pack_to_read(platform::Env::system(), pak, &view));
    ExpandOptions options;
    options.pak_path = pak;
    captured(
        [&] { EXPECT_EQ(run_expand_command(platform::Env::system(), view, dir, options, 2), 0); });
  }
  // The members were written within the record's own clock tick, on a
  // loaded machine many of them: were the record that old, each would be
  // read again, as it may have changed unseen. Dated later, it vouches for
  // them all.
  std::filesystem::last_write_time(
      dir + ".radodaro-record",
      std::filesystem::file_time_type::clock::now() + std::chrono::seconds(2));
  for (const uint32_t i : {7u, 300u, 599u}) write_file(member_path(dir, i), bytes_of("an edit"));
  NoMapping counted;
  bool ok = false;
  const std::string out =
      captured([&] { ok = run_update(counted, pak, dir, Compression::kNone, 2); });
  EXPECT_TRUE(ok);
  EXPECT_EQ(out, member_path(dir, 7) + "\n" + member_path(dir, 300) + "\n" + member_path(dir, 599) +
                     "\n");
  EXPECT_GE(counted.opened.load(), 4);  // the three, and the record
  EXPECT_LE(counted.opened.load(), 20);
  NoMapping all;
  GroupOptions options;
  options.check_all = true;
  captured([&] { ok = run_update(all, pak, dir, Compression::kNone, 2, options); });
  EXPECT_TRUE(ok);
  EXPECT_GE(all.opened.load(), 600);
}

}  // namespace
}  // namespace radodaro::testing
