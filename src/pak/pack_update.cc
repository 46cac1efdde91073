#include "pak/pack_update.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "pak/checksums.h"
#include "pak/pak_format.h"

namespace radodaro {

namespace {

using platform::Env;
using platform::Error;
using platform::Handle;

// The journal: a magic number, the pack's old length, the size of the old
// image, the image itself, and the CRC-32 of everything before it.
constexpr uint8_t kJournalMagic[8] = {'r', 'd', 'r', 'j', 'r', 'n', 'l', '1'};
constexpr uint64_t kJournalHeader = 24;
constexpr uint64_t kJournalTrailer = 4;
constexpr uint64_t kChunk = uint64_t{1} << 20;

// A buffer for copying `total` bytes a chunk at a time: no larger than it
// needs to be, as most directories are small.
std::vector<uint8_t> chunk_for(uint64_t total) {
  return std::vector<uint8_t>(static_cast<size_t>(std::min(kChunk, total)));
}

struct JournalInfo {
  uint64_t pack_length = 0;
  uint64_t image_size = 0;
};

// Reads the journal's header and checks the CRC over all of it: true only
// for a journal written to its end.
bool check_journal(Env& env, const Handle& journal, uint64_t journal_size, JournalInfo* info) {
  uint8_t header[kJournalHeader];
  uint64_t got = 0;
  if (journal_size < kJournalHeader + kJournalTrailer ||
      env.read_at(journal, header, kJournalHeader, 0, &got) != Error::kOk ||
      got != kJournalHeader || std::memcmp(header, kJournalMagic, sizeof kJournalMagic) != 0) {
    return false;
  }
  info->pack_length = decode_fixed64(header + 8);
  info->image_size = decode_fixed64(header + 16);
  if (info->image_size != journal_size - kJournalHeader - kJournalTrailer ||
      info->image_size > info->pack_length) {
    return false;
  }
  const uint64_t covered = kJournalHeader + info->image_size;
  std::vector<uint8_t> chunk = chunk_for(covered);
  uint32_t crc = 0;
  for (uint64_t at = 0; at < covered;) {
    const uint64_t n = std::min(kChunk, covered - at);
    if (env.read_at(journal, chunk.data(), n, at, &got) != Error::kOk || got != n) return false;
    crc = Crc32().extend(crc, chunk.data(), n);
    at += n;
  }
  uint8_t trailer[kJournalTrailer];
  return env.read_at(journal, trailer, kJournalTrailer, covered, &got) == Error::kOk &&
         got == kJournalTrailer && decode_fixed32(trailer) == crc;
}

// Copies the old image back over the pack, then cuts it to its old length
// (never before the image is back), and makes both durable.
bool restore(Env& env, const Handle& pack, const Handle& journal, const JournalInfo& info) {
  std::vector<uint8_t> chunk = chunk_for(info.image_size);
  for (uint64_t at = 0; at < info.image_size;) {
    const uint64_t n = std::min(kChunk, info.image_size - at);
    uint64_t got = 0;
    if (env.read_at(journal, chunk.data(), n, kJournalHeader + at, &got) != Error::kOk ||
        got != n || env.write_at(pack, chunk.data(), n, at) != Error::kOk) {
      return false;
    }
    at += n;
  }
  return env.truncate(pack, info.pack_length) == Error::kOk && env.sync(pack) == Error::kOk;
}

enum class Journal { kNone, kIncomplete, kComplete };

// Opens the journal `name` in `folder`, if there is one, and checks it.
Journal find_journal(Env& env, const Handle& folder, const std::string& name, Handle* journal,
                     JournalInfo* info) {
  uint64_t size = 0;
  const Error e = env.open_for_read(folder, name, journal, &size);
  if (e == Error::kNotFound) return Journal::kNone;
  if (e != Error::kOk) return Journal::kComplete;  // cannot be told: assume the worst
  return check_journal(env, *journal, size, info) ? Journal::kComplete : Journal::kIncomplete;
}

// With the pack held for writing: puts it back from a complete journal and
// removes the journal; removes an incomplete one, which was being written
// when the run that wrote it ended, before anything in place had changed.
Recovery recover(Env& env, const Handle& pack, const Handle& folder, const std::string& pak_path,
                 const std::string& name, uint64_t* pack_size) {
  // A compaction that ended before its rename left its new pack behind;
  // with the pack held, no compaction is under way.
  const std::string compact_name = platform::name_of(compact_path(pak_path));
  if (env.look_up(folder, compact_name) == Error::kOk) {
    (void)env.remove(folder, compact_name);
    (void)env.sync_folder(folder);
  }
  Handle journal;
  JournalInfo info;
  switch (find_journal(env, folder, name, &journal, &info)) {
    case Journal::kNone:
      return Recovery::kNothing;
    case Journal::kIncomplete:
      (void)env.remove(folder, name);
      (void)env.sync_folder(folder);
      return Recovery::kNothing;
    case Journal::kComplete:
      break;
  }
  if (!journal.is_open() || !restore(env, pack, journal, info) ||
      env.remove(folder, name) != Error::kOk || env.sync_folder(folder) != Error::kOk) {
    std::fprintf(stderr,
                 "radodaro: %s could not be put back from %s, which stays for the next run\n",
                 pak_path.c_str(), journal_path(pak_path).c_str());
    return Recovery::kFailed;
  }
  *pack_size = info.pack_length;
  std::fprintf(stderr, "radodaro: %s was put back as it was before an unfinished group run\n",
               pak_path.c_str());
  return Recovery::kRestored;
}

}  // namespace

std::string journal_path(const std::string& pak_path) { return pak_path + "-journal"; }

std::string compact_path(const std::string& pak_path) { return pak_path + "-compact"; }

Recovery recover_pack(Env& env, const std::string& pak_path) {
  Handle folder;
  const std::string name = platform::name_of(journal_path(pak_path));
  if (env.open_folder(platform::folder_of(pak_path), &folder) != Error::kOk ||
      (env.look_up(folder, name) == Error::kNotFound &&
       env.look_up(folder, platform::name_of(compact_path(pak_path))) == Error::kNotFound)) {
    return Recovery::kNothing;
  }
  Handle pack;
  uint64_t size = 0;
  const Error e = env.open_exclusive(pak_path, &pack, &size);
  // A group run holds it: the journal is its own, not a leftover. A pack
  // that is not there has nothing to put back.
  if (e == Error::kBusy || e == Error::kNotFound || e == Error::kNotRegular) {
    return Recovery::kNothing;
  }
  if (e != Error::kOk) {
    std::fprintf(stderr, "radodaro: %s cannot be opened to put it back from %s\n", pak_path.c_str(),
                 journal_path(pak_path).c_str());
    return Recovery::kFailed;
  }
  return recover(env, pack, folder, pak_path, name, &size);
}

PackUpdate::PackUpdate(Env& env, const std::string& pak_path)
    : env_(env), pak_path_(pak_path), journal_name_(platform::name_of(journal_path(pak_path))) {}

PackUpdate::~PackUpdate() {
  cut_back_on_interrupt_.reset();
  if (file_.is_open() && !committed_ && !left_to_journal_) cut_back();
}

PackUpdate::Open PackUpdate::open() {
  if (env_.open_exclusive(pak_path_, &file_, &original_size_) != Error::kOk ||
      env_.open_folder(platform::folder_of(pak_path_), &folder_) != Error::kOk) {
    file_.reset();
    return Open::kCantOpen;
  }
  if (recover(env_, file_, folder_, pak_path_, journal_name_, &original_size_) ==
      Recovery::kFailed) {
    left_to_journal_ = true;
    return Open::kRecoveryFailed;
  }
  cut_back_on_interrupt_ = std::make_unique<platform::CutBackOnInterrupt>(file_, original_size_);
  return Open::kOk;
}

void PackUpdate::cut_back() {
  (void)env_.truncate(file_, original_size_);
  (void)env_.sync(file_);
}

bool PackUpdate::write_journal(uint64_t image_size) {
  Handle journal;
  // Anything at the journal's name now is a leftover that recovery could
  // not read; the pack is held, so no run is writing it.
  (void)env_.remove(folder_, journal_name_);
  if (env_.create_new(folder_, journal_name_, &journal) != Error::kOk) return false;
  uint8_t header[kJournalHeader];
  std::memcpy(header, kJournalMagic, sizeof kJournalMagic);
  encode_fixed64(header + 8, original_size_);
  encode_fixed64(header + 16, image_size);
  uint32_t crc = Crc32().crc32(header, kJournalHeader);
  bool ok = env_.write_at(journal, header, kJournalHeader, 0) == Error::kOk;
  // The old image is still in place on disk: copy it from there, so that
  // only the new one is held in memory.
  std::vector<uint8_t> chunk = chunk_for(ok ? image_size : 0);
  for (uint64_t at = 0; ok && at < image_size;) {
    const uint64_t n = std::min(kChunk, image_size - at);
    uint64_t got = 0;
    ok = env_.read_at(file_, chunk.data(), n, at, &got) == Error::kOk && got == n &&
         env_.write_at(journal, chunk.data(), n, kJournalHeader + at) == Error::kOk;
    crc = Crc32().extend(crc, chunk.data(), n);
    at += n;
  }
  uint8_t trailer[kJournalTrailer];
  encode_fixed32(trailer, crc);
  ok = ok &&
       env_.write_at(journal, trailer, kJournalTrailer, kJournalHeader + image_size) == Error::kOk;
  ok = ok && env_.sync(journal) == Error::kOk;
  ok = env_.close(&journal) == Error::kOk && ok;
  ok = ok && env_.sync_folder(folder_) == Error::kOk;
  if (!ok) (void)env_.remove(folder_, journal_name_);
  return ok;
}

bool PackUpdate::put_back_from_journal() {
  uint64_t size = original_size_;
  if (recover(env_, file_, folder_, pak_path_, journal_name_, &size) == Recovery::kFailed) {
    left_to_journal_ = true;
    return false;
  }
  return true;
}

bool PackUpdate::commit(const uint8_t* image, uint64_t image_size, uint64_t new_size) {
  // The appended data must be durable before any directory points at it.
  if (new_size != original_size_ && env_.sync(file_) != Error::kOk) return false;
  platform::hold_interruptions();
  cut_back_on_interrupt_.reset();
  if (!write_journal(image_size)) return false;
  if (env_.write_at(file_, image, image_size, 0) != Error::kOk || env_.sync(file_) != Error::kOk ||
      env_.remove(folder_, journal_name_) != Error::kOk) {
    // The journal holds what the pack was; the destructor then cuts off
    // what was appended only if that worked.
    (void)put_back_from_journal();
    return false;
  }
  committed_ = true;
  if (env_.sync_folder(folder_) != Error::kOk) {
    std::fprintf(stderr, "radodaro: warning: the removal of %s may not be durable\n",
                 journal_path(pak_path_).c_str());
  }
  return true;
}

Error PackUpdate::close() { return env_.close(&file_); }

}  // namespace radodaro
