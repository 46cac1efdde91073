// A journal is applied only to the very file it was written for, in a state
// its own group run can have left. Replaced packs, crafted and damaged
// journals, and files that are not journals at all are never applied;
// runs that only read change nothing; a journal that does not fit is set
// aside, never removed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "commands/group.h"
#include "commands/open_pack.h"
#include "pak/checksums.h"
#include "pak/pack_reader.h"
#include "pak/pack_update.h"
#include "support/fault_env.h"
#include "support/pack_builder.h"
#include "support/temp_dir.h"

namespace radodaro::testing {
namespace {

namespace fs = std::filesystem;
using Op = FaultEnv::Op;
using platform::Error;

template <typename F>
void quietly(F fn) {
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  fn();
  std::fflush(stdout);
  ::testing::internal::GetCapturedStdout();
  ::testing::internal::GetCapturedStderr();
}

// Runs `fn` and gives what it printed on stderr.
template <typename F>
std::string stderr_of(F fn) {
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  fn();
  std::fflush(stdout);
  ::testing::internal::GetCapturedStdout();
  return ::testing::internal::GetCapturedStderr();
}

class Journals : public ::testing::Test {
 protected:
  void SetUp() override {
    // A directory of two blocks of the journal's, so that blocks are told
    // apart one by one.
    PackBuilder pack;
    for (uint32_t i = 0; i < 3000; ++i) pack.stored(bytes_of("old " + std::to_string(i)));
    original_ = pack.build();
    fs::create_directories(folder_);
    write_file(member_path(folder_, 1), bytes_of("new one"));
    write_file(member_path(folder_, 2999), random_bytes(3000, 7));
    write_file(pak_, original_);
    FaultEnv counting;
    counting.fail(0, Error::kIo, {Op::kWrite});
    quietly([&] { ASSERT_TRUE(run_group(counting, pak_, folder_)); });
    grouped_ = read_file(pak_);

    // The same group, but the disk dies at its last write, the new
    // directory in place: neither that nor putting it back gets through,
    // and the journal stays. Then the first block of the new directory is
    // there after all, as a kill midway leaves it.
    write_file(pak_, original_);
    FaultEnv dying;
    dying.fail(counting.counted(), Error::kIo, {Op::kWrite}, /*sticky=*/true);
    quietly([&] { ASSERT_FALSE(run_group(dying, pak_, folder_)); });
    ASSERT_TRUE(fs::exists(journal_));
    left_ = read_file(pak_);
    ASSERT_EQ(left_.size(), grouped_.size());
    std::copy(grouped_.begin(), grouped_.begin() + (64 << 10), left_.begin());
    write_file(pak_, left_);
    journal_bytes_ = read_file(journal_);
  }

  // What a run that only reads sees: the directory and the length.
  std::pair<Bytes, uint64_t> read_as_reader(std::string* err = nullptr) {
    PackView view;
    bool ok = false;
    const std::string e = stderr_of([&] { ok = open_pack(platform::Env::system(), pak_, &view); });
    if (err != nullptr) *err = e;
    EXPECT_TRUE(ok);
    return {view.dir_image, view.size};
  }

  // What a run that may write does first.
  PackUpdate::Open open_as_writer(std::string* err = nullptr) {
    PackUpdate update(platform::Env::system(), pak_, say);
    PackUpdate::Open result = PackUpdate::Open::kCantOpen;
    const std::string e = stderr_of([&] { result = update.open(); });
    if (err != nullptr) *err = e;
    update.leave_untouched();
    return result;
  }

  // The journal, written for the file now at the pack's name: a test that
  // renamed another file there must not find the journal's own file again
  // under a reused inode.
  Bytes journal_for_the_file_there() {
    platform::Handle file;
    uint64_t size = 0;
    platform::FileIdentity id;
    EXPECT_EQ(platform::Env::system().open_exclusive(pak_, &file, &size), Error::kOk);
    EXPECT_EQ(platform::Env::system().identify(file, &id), Error::kOk);
    Bytes journal = journal_bytes_;
    encode_fixed64(journal.data() + 8, id.volume);
    encode_fixed64(journal.data() + 16, id.index);
    encode_fixed32(journal.data() + journal.size() - 4,
                   Crc32().crc32(journal.data(), journal.size() - 4));
    return journal;
  }

  Bytes directory_of(const Bytes& pack) const {
    return Bytes(pack.begin(), pack.begin() + static_cast<ptrdiff_t>(directory_end(3000)));
  }

  TempDir tmp_;
  const std::string pak_ = tmp_ / "t.pak";
  const std::string journal_ = tmp_ / "t.pak.radodaro-journal";
  const std::string folder_ = tmp_ / "m/";
  Bytes original_, grouped_, left_, journal_bytes_;
};

TEST_F(Journals, HotJournalIsReadThroughByReadersAndAppliedOnlyByWriters) {
  // Beside the pack, or in the user's state folder, where a run that could
  // not write beside it leaves it.
  const std::string state = tmp_ / "state";
#ifdef _WIN32
  ::_putenv_s("LOCALAPPDATA", state.c_str());
  const std::string journals = state + "\\radodaro\\journals\\";
#else
  ::setenv("XDG_STATE_HOME", state.c_str(), 1);
  const std::string journals = state + "/radodaro/journals/";
#endif
  for (const bool in_state_folder : {false, true}) {
    write_file(pak_, left_);
    std::string journal = journal_;
    if (in_state_folder) {
      platform::FileIdentity id;
      platform::Handle file;
      uint64_t size = 0;
      ASSERT_EQ(platform::Env::system().open_exclusive(pak_, &file, &size), Error::kOk);
      ASSERT_EQ(platform::Env::system().identify(file, &id), Error::kOk);
      fs::create_directories(journals);
      journal = journals + state_journal_name(id);
      fs::remove(journal_);
    }
    write_file(journal, journal_bytes_);
    std::string err;
    const auto [dir, size] = read_as_reader(&err);
    EXPECT_EQ(dir, directory_of(original_)) << in_state_folder;
    EXPECT_EQ(size, original_.size());
    EXPECT_NE(err.find("is read as it was before an unfinished group run"), std::string::npos)
        << err;
    // Reading wrote nothing.
    EXPECT_EQ(read_file(pak_), left_);
    EXPECT_EQ(read_file(journal), journal_bytes_);

    EXPECT_EQ(open_as_writer(&err), PackUpdate::Open::kOk);
    EXPECT_NE(err.find("was put back as it was before an unfinished group run"), std::string::npos)
        << err;
    EXPECT_EQ(read_file(pak_), original_);
    EXPECT_FALSE(fs::exists(journal)) << in_state_folder;
  }
#ifdef _WIN32
  ::_putenv_s("LOCALAPPDATA", "");
#else
  ::unsetenv("XDG_STATE_HOME");
#endif
  EXPECT_EQ(list_folder(tmp_.path()), (std::vector<std::string>{"m", "state", "t.pak"}));
}

TEST_F(Journals, WriteCutAtAnySectorIsPutBack) {
  // A group that changes every sector of the directory, and its journal,
  // as a run that died at its last write leaves it.
  for (uint32_t i = 0; i < 3000; i += 16) write_file(member_path(folder_, i), bytes_of("edit"));
  fs::remove(journal_);
  write_file(pak_, original_);
  FaultEnv counting;
  counting.fail(0, Error::kIo, {Op::kWrite});
  quietly([&] { ASSERT_TRUE(run_group(counting, pak_, folder_)); });
  const Bytes grouped = read_file(pak_);
  write_file(pak_, original_);
  FaultEnv dying;
  dying.fail(counting.counted(), Error::kIo, {Op::kWrite}, /*sticky=*/true);
  quietly([&] { ASSERT_FALSE(run_group(dying, pak_, folder_)); });
  const Bytes journal = read_file(journal_);

  // A reader reads the pack as it was, and a writer puts it back so.
  int cuts = 0;
  const auto put_back_from = [&](const Bytes& left, const Bytes& beside, uint64_t cut) {
    write_file(pak_, left);
    write_file(journal_, beside);
    const auto [dir, size] = read_as_reader();
    EXPECT_EQ(dir, directory_of(original_)) << cut;
    EXPECT_EQ(size, original_.size()) << cut;
    EXPECT_EQ(open_as_writer(), PackUpdate::Open::kOk) << cut;
    EXPECT_EQ(read_file(pak_), original_) << cut;
    EXPECT_EQ(list_folder(tmp_.path()), (std::vector<std::string>{"m", "t.pak"})) << cut;
    ++cuts;
  };
  // The new image in place up to the cut, the old one after it.
  const uint64_t image = directory_end(3000);
  for (uint64_t cut = 0; cut < image + 512; cut += 512) {
    Bytes torn = grouped;
    const auto at = static_cast<ptrdiff_t>(std::min(cut, image));
    std::copy(original_.begin() + at, original_.begin() + static_cast<ptrdiff_t>(image),
              torn.begin() + at);
    put_back_from(torn, journal, cut);
  }

  // Killed while it appended: the record of the old length is there, and
  // the appended bytes up to any sector.
  write_file(pak_, original_);
  Bytes record;
  {
    PackUpdate update(platform::Env::system(), pak_, say);
    ASSERT_EQ(update.open(), PackUpdate::Open::kOk);
    const Bytes dir = directory_of(original_);
    ASSERT_TRUE(update.before_append(dir.data(), dir.size()));
    record = read_file(journal_);
  }
  EXPECT_FALSE(fs::exists(journal_));
  for (uint64_t cut = 0; cut < grouped.size() - original_.size() + 512; cut += 512) {
    Bytes longer = original_;
    const uint64_t tail = std::min<uint64_t>(cut, grouped.size() - original_.size());
    longer.insert(longer.end(), grouped.begin() + static_cast<ptrdiff_t>(original_.size()),
                  grouped.begin() + static_cast<ptrdiff_t>(original_.size() + tail));
    put_back_from(longer, record, cut);
  }
  std::printf("writes cut at %d sectors: every one put back\n", cuts);
}

// What a user may do to the pack between the killed run and the next one,
// given the pack as the run left it and as it was before.
struct Change {
  const char* what;
  std::function<void(const std::string& pak, const Bytes& left, const Bytes& original)> change;
  bool fits;  // a state the killed run can have left: the journal applies
};

Bytes another_pack(size_t length = 0) {
  PackBuilder other;
  for (uint32_t i = 0; i < 3000; ++i) other.stored(bytes_of("v2 " + std::to_string(i)));
  Bytes bytes = other.build();
  if (length != 0) bytes.resize(length, 7);
  return bytes;
}

// Another file takes the name; the old one is still there meanwhile, so
// the new one cannot have its inode.
void replace_by_rename(const std::string& pak, const Bytes& with) {
  write_file(pak + ".new", with);
  fs::rename(pak + ".new", pak);
}

Bytes changed_at(Bytes bytes, size_t at) {
  bytes[at] ^= 0x55;
  return bytes;
}

const Change kChanges[] = {
    {"another version copied over it",
     [](const std::string& pak, const Bytes&, const Bytes&) { write_file(pak, another_pack()); },
     false},
    {"another version of the very same length copied over it",
     [](const std::string& pak, const Bytes& left, const Bytes&) {
       write_file(pak, another_pack(left.size()));
     },
     false},
    {"another version renamed over it",
     [](const std::string& pak, const Bytes&, const Bytes&) {
       replace_by_rename(pak, another_pack());
     },
     false},
    {"the very bytes it was left with, as another file",
     [](const std::string& pak, const Bytes& left, const Bytes&) { replace_by_rename(pak, left); },
     false},
    {"the pack as it was before the group, as another file",
     [](const std::string& pak, const Bytes&, const Bytes& original) {
       replace_by_rename(pak, original);
     },
     false},
    {"cut shorter than it ever was",
     [](const std::string& pak, const Bytes& left, const Bytes&) {
       fs::resize_file(pak, left.size() - 100);
     },
     false},
    {"grown by another append",
     [](const std::string& pak, const Bytes& left, const Bytes&) {
       Bytes more = left;
       more.push_back(1);
       write_file(pak, more);
     },
     false},
    {"a byte of its first directory block changed",
     [](const std::string& pak, const Bytes& left, const Bytes&) {
       write_file(pak, changed_at(left, 100));
     },
     false},
    {"a byte of its last directory block changed",
     [](const std::string& pak, const Bytes& left, const Bytes&) {
       write_file(pak, changed_at(left, directory_end(3000) - 1));
     },
     false},
    {"grouped through another of its names",
     [](const std::string& pak, const Bytes&, const Bytes&) {
       const std::string dir = platform::folder_of(pak);
       fs::create_hard_link(pak, dir + "/other.pak");
       const std::string members = dir + "/m2/";
       fs::create_directories(members);
       write_file(member_path(members, 5), bytes_of("through the other name"));
       quietly([&] { run_group(platform::Env::system(), dir + "/other.pak", members); });
       fs::remove(dir + "/other.pak");
       fs::remove_all(members);
     },
     false},
    {"the pack as it was before the group, copied back",
     [](const std::string& pak, const Bytes&, const Bytes& original) { write_file(pak, original); },
     true},
    {"cut to its old length with the new block still in place",
     [](const std::string& pak, const Bytes& left, const Bytes& original) {
       write_file(pak, Bytes(left.begin(), left.begin() + static_cast<ptrdiff_t>(original.size())));
     },
     true},
};

TEST_F(Journals, JournalIsNeverAppliedToAPackItWasNotWrittenFor) {
  int stale = 0;
  for (const Change& c : kChanges) {
    write_file(pak_, left_);
    const Bytes journal = journal_for_the_file_there();
    write_file(journal_, journal);
    c.change(pak_, left_, original_);
    const Bytes as_left = read_file(pak_);

    std::string err;
    const auto [dir, size] = read_as_reader(&err);
    EXPECT_EQ(read_file(pak_), as_left) << c.what;
    EXPECT_EQ(read_file(journal_), journal) << c.what;
    if (c.fits) {
      EXPECT_EQ(dir, directory_of(original_)) << c.what;
      EXPECT_EQ(open_as_writer(), PackUpdate::Open::kOk) << c.what;
      EXPECT_EQ(read_file(pak_), original_) << c.what;
      EXPECT_FALSE(fs::exists(journal_)) << c.what;
      continue;
    }
    ++stale;
    EXPECT_EQ(dir, directory_of(as_left)) << c.what;
    EXPECT_EQ(size, as_left.size()) << c.what;
    EXPECT_NE(err.find("so it was not used"), std::string::npos) << c.what << ": " << err;

    // The writer leaves the pack as the user put it and sets the journal
    // aside, whole, under a name that says so.
    EXPECT_EQ(open_as_writer(&err), PackUpdate::Open::kOk) << c.what;
    EXPECT_NE(err.find("so it was not applied and is set aside as "), std::string::npos) << err;
    EXPECT_NE(err.find("t.pak.radodaro-journal-stale; the pack is as you left it"),
              std::string::npos)
        << err;
    EXPECT_EQ(read_file(pak_), as_left) << c.what;
    EXPECT_FALSE(fs::exists(journal_)) << c.what;
    EXPECT_EQ(read_file(journal_ + "-stale"), journal) << c.what;
    fs::remove(journal_ + "-stale");
  }
  // With every name to set it aside taken, the run refuses and says which
  // files to look at.
  write_file(pak_, another_pack());
  write_file(journal_, journal_for_the_file_there());
  write_file(journal_ + "-stale", bytes_of("older"));
  for (int n = 2; n <= 9; ++n) write_file(journal_ + "-stale-" + std::to_string(n), bytes_of("x"));
  std::string err;
  EXPECT_EQ(open_as_writer(&err), PackUpdate::Open::kForeignFile);
  EXPECT_NE(err.find("t.pak.radodaro-journal-stale to "), std::string::npos) << err;
  EXPECT_NE(err.find("t.pak.radodaro-journal-stale-9 are taken"), std::string::npos) << err;
  EXPECT_EQ(read_file(pak_), another_pack());
  std::printf("stale journals: %d scenarios, each pack left byte for byte as it was put\n", stale);
  EXPECT_GE(stale, 10);
}

// Journals of ours with a field changed and the CRC made right again, or
// damaged: none is trusted.
void set64(Bytes* j, size_t at, uint64_t v) { encode_fixed64(j->data() + at, v); }
void fix_crc(Bytes* j) {
  encode_fixed32(j->data() + j->size() - 4, Crc32().crc32(j->data(), j->size() - 4));
}

TEST_F(Journals, CraftedOrDamagedJournalIsNeverApplied) {
  const struct {
    const char* what;
    std::function<void(Bytes*)> craft;
  } cases[] = {
      {"old length 0", [](Bytes* j) { set64(j, 24, 0), fix_crc(j); }},
      {"old length 1 TiB", [](Bytes* j) { set64(j, 24, uint64_t{1} << 40), fix_crc(j); }},
      {"new length 1 TiB", [](Bytes* j) { set64(j, 32, uint64_t{1} << 40), fix_crc(j); }},
      {"image size 0", [](Bytes* j) { set64(j, 40, 0), fix_crc(j); }},
      {"image size past the journal", [](Bytes* j) { set64(j, 40, j->size() * 2), fix_crc(j); }},
      {"another block size", [](Bytes* j) { encode_fixed32(j->data() + 48, 4096), fix_crc(j); }},
      {"another file",
       [](Bytes* j) { set64(j, 16, decode_fixed64(j->data() + 16) + 1), fix_crc(j); }},
      {"a byte of the old image changed, CRC not", [](Bytes* j) { (*j)[j->size() - 10] ^= 1; }},
      {"a block CRC changed, CRC not", [](Bytes* j) { (*j)[56 + 4] ^= 1; }},
      {"cut short", [](Bytes* j) { j->resize(j->size() - 1); }},
      {"only the magic", [](Bytes* j) { j->resize(8); }},
  };
  for (const auto& c : cases) {
    write_file(pak_, left_);
    Bytes journal = journal_bytes_;
    c.craft(&journal);
    write_file(journal_, journal);
    const auto [dir, size] = read_as_reader();
    EXPECT_EQ(dir, directory_of(left_)) << c.what;
    EXPECT_EQ(size, left_.size()) << c.what;
    EXPECT_EQ(open_as_writer(), PackUpdate::Open::kOk) << c.what;
    EXPECT_EQ(read_file(pak_), left_) << c.what;
    EXPECT_EQ(read_file(journal_ + "-stale"), journal) << c.what;
    fs::remove(journal_ + "-stale");
  }
}

TEST_F(Journals, FileThatIsNotAJournalIsNeverTouched) {
  const struct {
    const char* what;
    std::function<void(const std::string&)> make;
  } cases[] = {
      {"a user's notes", [](const std::string& p) { write_file(p, bytes_of("my notes")); }},
      {"an empty file", [](const std::string& p) { write_file(p, {}); }},
      {"a folder", [](const std::string& p) { fs::create_directory(p); }},
  };
  for (const auto& c : cases) {
    write_file(pak_, left_);
    fs::remove(journal_);
    c.make(journal_);
    const std::vector<std::string> before = list_folder(tmp_.path());
    const Bytes content = fs::is_regular_file(journal_) ? read_file(journal_) : Bytes{9};
    const auto [dir, size] = read_as_reader();
    EXPECT_EQ(dir, directory_of(left_)) << c.what;
    std::string err;
    EXPECT_EQ(open_as_writer(&err), PackUpdate::Open::kForeignFile) << c.what;
    EXPECT_NE(err.find("t.pak.radodaro-journal is not a journal of radodaro's"), std::string::npos)
        << err;
    EXPECT_EQ(list_folder(tmp_.path()), before) << c.what;
    EXPECT_EQ(read_file(pak_), left_) << c.what;
    EXPECT_EQ(fs::is_regular_file(journal_) ? read_file(journal_) : Bytes{9}, content) << c.what;
    fs::remove_all(journal_);
  }
}

}  // namespace
}  // namespace radodaro::testing
