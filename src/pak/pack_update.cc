#include "pak/pack_update.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "pak/checksums.h"
#include "pak/pak_format.h"
#include "platform/paths.h"

namespace radodaro {

namespace {

using platform::Env;
using platform::Error;
using platform::Handle;

// The journal: a header that names the pack and the state it is for, the
// CRC-32 of each block of the new image, the old image, and the CRC-32 of
// everything before it.
//   0 magic, 8 volume, 16 index, 24 old length, 32 new length,
//   40 image size (all 64-bit), 48 block size, 52 block count (32-bit)
// A block is one disk sector, the most that a disk writes at once: a write
// cut off by a kill or a power cut leaves each block either old or new.
// Journals of earlier versions have larger blocks, and are read as well.
constexpr uint8_t kJournalMagic[8] = {'r', 'd', 'r', 'j', 'r', 'n', 'l', '2'};
constexpr uint64_t kJournalHeader = 56;
constexpr uint64_t kJournalTrailer = 4;
constexpr uint64_t kBlock = 512;
constexpr uint64_t kLargestBlock = uint64_t{64} << 10;
constexpr uint64_t kChunk = uint64_t{1} << 20;
static_assert(kChunk % kLargestBlock == 0);

// The record that a group run leaves under the journal's name before its
// first append: the pack's old length, so that a run killed while it
// appends is cut back by the next one, and the CRC-32 of the image, which
// the appends leave as it is.
//   0 magic, 8 volume, 16 index, 24 old length, 32 image size (64-bit),
//   40 image CRC, 44 CRC-32 of the bytes before it (32-bit)
constexpr uint8_t kAppendMagic[8] = {'r', 'd', 'r', 'j', 'a', 'p', 'p', '1'};
constexpr uint64_t kAppendRecord = 48;

uint64_t block_count(uint64_t image_size, uint64_t block = kBlock) {
  return (image_size + block - 1) / block;
}

// Where the old image starts in the journal.
uint64_t image_offset(uint64_t image_size, uint64_t block = kBlock) {
  return kJournalHeader + 4 * block_count(image_size, block);
}

// A buffer for moving `total` bytes `piece` at a time: no larger than it
// needs to be, as most directories are small.
std::vector<uint8_t> buffer_for(uint64_t total, uint64_t piece = kChunk) {
  return std::vector<uint8_t>(static_cast<size_t>(std::min(piece, total)));
}

bool read_exactly(Env& env, const Handle& file, uint8_t* data, uint64_t length, uint64_t offset) {
  uint64_t got = 0;
  return env.read_at(file, data, length, offset, &got) == Error::kOk && got == length;
}

// Decodes the header and checks that every length in it fits the others
// and the journal's own size, before any of them is used.
bool decode_journal_header(const uint8_t* header, uint64_t journal_size, JournalInfo* info) {
  info->pack.volume = decode_fixed64(header + 8);
  info->pack.index = decode_fixed64(header + 16);
  info->old_length = decode_fixed64(header + 24);
  info->new_length = decode_fixed64(header + 32);
  info->image_size = decode_fixed64(header + 40);
  info->block_size = decode_fixed32(header + 48);
  const uint64_t image_size = info->image_size;
  const uint64_t block = info->block_size;
  return block >= kBlock && block <= kLargestBlock && (block & (block - 1)) == 0 &&
         image_size >= kHeaderSize && image_size <= info->old_length &&
         info->old_length <= info->new_length && image_size <= journal_size &&
         decode_fixed32(header + 52) == block_count(image_size, block) &&
         journal_size == image_offset(image_size, block) + image_size + kJournalTrailer;
}

// The same for the record of a run that is appending.
bool decode_append_record(const uint8_t* record, uint64_t record_size, JournalInfo* info) {
  info->appending = true;
  info->pack.volume = decode_fixed64(record + 8);
  info->pack.index = decode_fixed64(record + 16);
  info->old_length = info->new_length = decode_fixed64(record + 24);
  info->image_size = decode_fixed64(record + 32);
  info->image_crc = decode_fixed32(record + 40);
  return record_size == kAppendRecord && info->image_size >= kHeaderSize &&
         info->image_size <= info->old_length &&
         decode_fixed32(record + 44) == Crc32().crc32(record, kAppendRecord - 4);
}

// Whether the CRC at the journal's end covers all before it.
JournalState check_crc(Env& env, const Handle& journal, uint64_t journal_size) {
  const uint64_t covered = journal_size - kJournalTrailer;
  std::vector<uint8_t> chunk = buffer_for(covered);
  uint32_t crc = 0;
  for (uint64_t at = 0; at < covered;) {
    const uint64_t n = std::min(kChunk, covered - at);
    if (!read_exactly(env, journal, chunk.data(), n, at)) return JournalState::kUnreadable;
    crc = Crc32().extend(crc, chunk.data(), n);
    at += n;
  }
  uint8_t trailer[kJournalTrailer];
  if (!read_exactly(env, journal, trailer, kJournalTrailer, covered)) {
    return JournalState::kUnreadable;
  }
  return decode_fixed32(trailer) == crc ? JournalState::kHot : JournalState::kStale;
}

// Whether each block of the pack's image is the old one the journal holds
// or the new one whose CRC it holds: all a group run can have left, as a
// block is one sector, which a disk writes whole (and a kill cuts a write
// off between pages, whole sectors each).
JournalState check_blocks(Env& env, const Handle& journal, const Handle& pack,
                          const JournalInfo& info) {
  std::vector<uint8_t> old_chunk = buffer_for(info.image_size);
  std::vector<uint8_t> pack_chunk = buffer_for(info.image_size);
  const uint64_t block = info.block_size;
  const uint64_t image_at = image_offset(info.image_size, block);
  for (uint64_t at = 0; at < info.image_size;) {
    const uint64_t n = std::min(kChunk, info.image_size - at);
    if (!read_exactly(env, journal, old_chunk.data(), n, image_at + at) ||
        !read_exactly(env, pack, pack_chunk.data(), n, at)) {
      return JournalState::kUnreadable;
    }
    if (at == 0 && directory_end(decode_header(old_chunk.data()).entry_count) != info.image_size) {
      return JournalState::kStale;
    }
    for (uint64_t b = 0; b < n; b += block) {
      const size_t m = static_cast<size_t>(std::min(block, n - b));
      if (std::memcmp(old_chunk.data() + b, pack_chunk.data() + b, m) != 0 &&
          Crc32().crc32(pack_chunk.data() + b, m) != info.new_block_crcs[(at + b) / block]) {
        return JournalState::kStale;
      }
    }
    at += n;
  }
  return JournalState::kHot;
}

// Copies the old image back over the pack, then cuts it to its old length
// (never before the image is back), and makes both durable. A run that
// was appending left the image as it was: it is only cut back.
bool restore(Env& env, const Handle& pack, const Handle& journal, const JournalInfo& info) {
  if (!info.appending) {
    std::vector<uint8_t> chunk = buffer_for(info.image_size);
    const uint64_t image_at = image_offset(info.image_size, info.block_size);
    for (uint64_t at = 0; at < info.image_size;) {
      const uint64_t n = std::min(kChunk, info.image_size - at);
      if (!read_exactly(env, journal, chunk.data(), n, image_at + at) ||
          env.write_at(pack, chunk.data(), n, at) != Error::kOk) {
        return false;
      }
      at += n;
    }
  }
  return env.truncate(pack, info.old_length) == Error::kOk && env.sync(pack) == Error::kOk;
}

bool equal_ignoring_case(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

// Whether `name` is `base` with the temporary suffix that NewFile gives a
// file where it cannot make it unnamed: ".radodaro-" and a process number.
bool is_temporary_of(const std::string& name, const std::string& base) {
  const std::string prefix = base + ".radodaro-";
  if (name.size() <= prefix.size() || !equal_ignoring_case(name.substr(0, prefix.size()), prefix)) {
    return false;
  }
  return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                     [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::string state_journal_name(const platform::FileIdentity& pack) {
  char name[64];
  std::snprintf(name, sizeof name, "pack-%llx-%llx.radodaro-journal",
                static_cast<unsigned long long>(pack.volume),
                static_cast<unsigned long long>(pack.index));
  return name;
}

PackFiles::PackFiles(const std::string& pak_path)
    : real(platform::real_path(pak_path)),
      folder(platform::folder_of(real)),
      name(platform::name_of(real)) {}

std::string PackFiles::path_of(const std::string& file_name) const {
  // The real path ends with the pack's name: swap that for the other.
  return real.substr(0, real.size() - name.size()) + file_name;
}

namespace {

// Whether the first `image_size` bytes of `pack` have the CRC `crc`: the
// image that an append record says the appends left as it was.
JournalState check_image_crc(Env& env, const Handle& pack, uint64_t image_size, uint32_t crc) {
  std::vector<uint8_t> chunk = buffer_for(image_size);
  uint32_t got = 0;
  for (uint64_t at = 0; at < image_size;) {
    const uint64_t n = std::min(kChunk, image_size - at);
    if (!read_exactly(env, pack, chunk.data(), n, at)) return JournalState::kUnreadable;
    got = Crc32().extend(got, chunk.data(), n);
    at += n;
  }
  return got == crc ? JournalState::kHot : JournalState::kStale;
}

}  // namespace

JournalState inspect_journal(Env& env, const Handle& folder, const std::string& name,
                             const Handle& pack, uint64_t pack_size, Handle* journal,
                             JournalInfo* info) {
  Handle file;
  uint64_t size = 0;
  switch (env.open_for_read(folder, name, &file, &size)) {
    case Error::kOk:
      break;
    case Error::kNotFound:
      return JournalState::kNone;
    case Error::kNotRegular:
      return JournalState::kForeign;
    default:
      return JournalState::kUnreadable;
  }
  uint8_t header[kJournalHeader] = {};
  const uint64_t head = std::min(size, kJournalHeader);
  if (!read_exactly(env, file, header, head, 0)) return JournalState::kUnreadable;
  const bool appending =
      head >= sizeof kAppendMagic && std::memcmp(header, kAppendMagic, sizeof kAppendMagic) == 0;
  if (!appending && (head < sizeof kJournalMagic ||
                     std::memcmp(header, kJournalMagic, sizeof kJournalMagic) != 0)) {
    return JournalState::kForeign;
  }
  platform::FileIdentity identity;
  if (appending) {
    // The run was killed while it appended: the pack may be longer than it
    // was, its image as it was.
    if (head < kAppendRecord || !decode_append_record(header, size, info)) {
      return JournalState::kStale;
    }
    if (env.identify(pack, &identity) != Error::kOk) return JournalState::kUnreadable;
    if (!identity.same_file(info->pack) || pack_size < info->old_length) {
      return JournalState::kStale;
    }
    const JournalState s = check_image_crc(env, pack, info->image_size, info->image_crc);
    if (s == JournalState::kHot) *journal = std::move(file);
    return s;
  }
  if (head < kJournalHeader || !decode_journal_header(header, size, info)) {
    return JournalState::kStale;
  }
  if (const JournalState s = check_crc(env, file, size); s != JournalState::kHot) return s;

  if (env.identify(pack, &identity) != Error::kOk) return JournalState::kUnreadable;
  if (!identity.same_file(info->pack) ||
      (pack_size != info->old_length && pack_size != info->new_length)) {
    return JournalState::kStale;
  }
  std::vector<uint8_t> crcs(4 * block_count(info->image_size, info->block_size));
  if (!read_exactly(env, file, crcs.data(), crcs.size(), kJournalHeader)) {
    return JournalState::kUnreadable;
  }
  info->new_block_crcs.resize(crcs.size() / 4);
  for (size_t i = 0; i < info->new_block_crcs.size(); ++i) {
    info->new_block_crcs[i] = decode_fixed32(crcs.data() + 4 * i);
  }
  if (const JournalState s = check_blocks(env, file, pack, *info); s != JournalState::kHot) {
    return s;
  }
  *journal = std::move(file);
  return JournalState::kHot;
}

bool read_journal_image(Env& env, const Handle& journal, const JournalInfo& info,
                        std::vector<uint8_t>* image) {
  if (info.appending) return false;
  image->resize(info.image_size);
  return read_exactly(env, journal, image->data(), info.image_size,
                      image_offset(info.image_size, info.block_size));
}

PackUpdate::PackUpdate(Env& env, std::string pak_path, PackNotices notices)
    : env_(env), pak_path_(std::move(pak_path)), files_(pak_path_), notices_(notices) {}

PackUpdate::~PackUpdate() {
  cut_back_on_interrupt_.reset();
  if (!file_.is_open() || committed_ || left_to_journal_) return;
  // The record goes only once the pack is back at its old length: until
  // then it is what tells the next run to cut it.
  if (cut_back() && recorded_ && env_.remove(*place_.folder, place_.name) == Error::kOk) {
    (void)env_.sync_folder(*place_.folder);
  }
}

PackUpdate::Open PackUpdate::open() {
  open_error_ = env_.open_exclusive(files_.real, &file_, &original_size_, replaceable_);
  if (open_error_ == Error::kOk) open_error_ = env_.open_folder(files_.folder, &folder_);
  if (open_error_ == Error::kOk) open_error_ = env_.identify(file_, &identity_);
  if (open_error_ != Error::kOk) {
    file_.reset();
    return Open::kCantOpen;
  }
  place_ = {&folder_, files_.journal_name(), files_.path_of(files_.journal_name())};
  remove_leftovers();
  const Open recovered = recover();
  if (recovered != Open::kOk) return recovered;
  cut_back_on_interrupt_ = std::make_unique<platform::CutBackOnInterrupt>(file_, original_size_);
  return Open::kOk;
}

void PackUpdate::remove_leftovers() {
  // With the pack held, no run of ours is writing beside it: a compaction's
  // new pack, or a file of ours under a temporary name, is what a killed
  // run left.
  std::vector<std::string> names;
  if (env_.list_folder(folder_, &names) != Error::kOk) return;
  bool removed = false;
  for (const std::string& n : names) {
    if (equal_ignoring_case(n, files_.compact_name()) ||
        is_temporary_of(n, files_.compact_name()) || is_temporary_of(n, files_.journal_name())) {
      removed = env_.remove(folder_, n) == Error::kOk || removed;
    }
  }
  if (removed) (void)env_.sync_folder(folder_);
}

PackUpdate::Open PackUpdate::recover() {
  uint64_t size = 0;
  Handle journal;
  JournalInfo info;
  JournalState state = JournalState::kUnreadable;
  if (env_.size_of(file_, &size) == Error::kOk) {
    state = inspect_journal(env_, *place_.folder, place_.name, file_, size, &journal, &info);
    // Where the pack's own folder could not take one, a run left its
    // journal in the user's folder for them.
    if (state == JournalState::kNone && use_state_folder(/*create=*/false)) {
      state = inspect_journal(env_, *place_.folder, place_.name, file_, size, &journal, &info);
      if (state == JournalState::kNone) place_beside();
    }
  }
  const std::string& journal_name = place_.name;
  switch (state) {
    case JournalState::kNone:
      return Open::kOk;
    case JournalState::kForeign:
      tell(PackNotice::Kind::kNotOurJournal);
      return Open::kForeignFile;
    case JournalState::kStale:
      // Never applied: it would put another pack's directory over this one.
      return set_aside_journal() ? Open::kOk : Open::kForeignFile;
    case JournalState::kUnreadable:
    case JournalState::kHot:
      break;
  }
  if (state != JournalState::kHot || !restore(env_, file_, journal, info) ||
      env_.remove(*place_.folder, journal_name) != Error::kOk ||
      env_.sync_folder(*place_.folder) != Error::kOk) {
    tell(PackNotice::Kind::kCannotPutBack);
    left_to_journal_ = true;
    return Open::kRecoveryFailed;
  }
  original_size_ = info.old_length;
  place_beside();
  tell(PackNotice::Kind::kPutBack);
  return Open::kOk;
}

void PackUpdate::place_beside() {
  place_ = {&folder_, files_.journal_name(), files_.path_of(files_.journal_name())};
}

bool PackUpdate::use_state_folder(bool create) {
  const std::string folder = platform::state_folder();
  if (folder.empty()) return false;
  const std::string name = state_journal_name(identity_);
  if (create) (void)platform::make_folder_chain(env_, folder + name);
  if (!state_folder_.is_open() && env_.open_folder(folder, &state_folder_) != Error::kOk) {
    return false;
  }
  place_ = {&state_folder_, name, folder + name};
  return true;
}

bool PackUpdate::set_aside_journal() {
  const std::string journal_name = place_.name;
  for (int n = 1; n <= 9; ++n) {
    std::string aside = journal_name + "-stale";
    if (n > 1) aside.append("-").append(std::to_string(n));
    const Error e = env_.rename_new(*place_.folder, journal_name, aside);
    if (e == Error::kExists) continue;
    if (e != Error::kOk) break;
    (void)env_.sync_folder(*place_.folder);
    tell(PackNotice::Kind::kSetAside, place_.path + aside.substr(journal_name.size()));
    place_beside();
    return true;
  }
  tell(PackNotice::Kind::kCannotSetAside);
  return false;
}

void PackUpdate::tell(PackNotice::Kind kind, std::string other, Error error) const {
  if (notices_ == nullptr) return;
  notices_(PackNotice{kind, pak_path_, place_.path, std::move(other), error});
}

bool PackUpdate::cut_back() {
  return env_.truncate(file_, original_size_) == Error::kOk && env_.sync(file_) == Error::kOk;
}

bool PackUpdate::before_append(const uint8_t* image, uint64_t image_size) {
  if (recorded_) return true;
  uint8_t record[kAppendRecord];
  std::memcpy(record, kAppendMagic, sizeof kAppendMagic);
  encode_fixed64(record + 8, identity_.volume);
  encode_fixed64(record + 16, identity_.index);
  encode_fixed64(record + 24, original_size_);
  encode_fixed64(record + 32, image_size);
  encode_fixed32(record + 40, Crc32().crc32(image, static_cast<size_t>(image_size)));
  encode_fixed32(record + 44, Crc32().crc32(record, kAppendRecord - 4));
  const Error e = in_a_place_of_ours([&] { return write_record(record); });
  if (e == Error::kOk) return true;
  return go_on_without_journal(e);
}

template <typename Write>
Error PackUpdate::in_a_place_of_ours(Write write) {
  Error e = write();
  // The pack's folder may be one the user cannot write: the record and
  // the journal then go to the user's own folder for them.
  if (e == Error::kDenied && place_.folder == &folder_ && use_state_folder(/*create=*/true)) {
    e = write();
    if (e != Error::kOk) place_beside();
  }
  return e;
}

bool PackUpdate::go_on_without_journal(Error why) {
  // Only a place that refuses us is no place: a disk that is full or
  // failing fails the run.
  if (why != Error::kDenied) return false;
  if (!unjournaled_allowed_) {
    tell(PackNotice::Kind::kCannotWriteJournal, "", why);
    return false;
  }
  tell(PackNotice::Kind::kWithoutJournal, "", why);
  unjournaled_ = true;
  return true;
}

Error PackUpdate::write_record(const uint8_t* record) {
  platform::NewFile file(env_, *place_.folder, place_.name);
  Error e = file.create();
  if (e == Error::kOk) e = file.append(record, kAppendRecord);
  if (e == Error::kOk) e = file.sync();
  if (e == Error::kOk) e = file.commit();
  if (e != Error::kOk) return e;
  recorded_ = true;
  return env_.sync_folder(*place_.folder);
}

bool PackUpdate::write_journal(const uint8_t* image, uint64_t image_size, uint64_t new_size) {
  const uint64_t blocks = block_count(image_size);
  std::vector<uint8_t> head(static_cast<size_t>(image_offset(image_size)));
  std::memcpy(head.data(), kJournalMagic, sizeof kJournalMagic);
  encode_fixed64(head.data() + 8, identity_.volume);
  encode_fixed64(head.data() + 16, identity_.index);
  encode_fixed64(head.data() + 24, original_size_);
  encode_fixed64(head.data() + 32, new_size);
  encode_fixed64(head.data() + 40, image_size);
  encode_fixed32(head.data() + 48, static_cast<uint32_t>(kBlock));
  encode_fixed32(head.data() + 52, static_cast<uint32_t>(blocks));
  for (uint64_t i = 0; i < blocks; ++i) {
    const uint64_t n = std::min(kBlock, image_size - i * kBlock);
    encode_fixed32(head.data() + kJournalHeader + 4 * i,
                   Crc32().crc32(image + i * kBlock, static_cast<size_t>(n)));
  }
  uint32_t crc = Crc32().crc32(head.data(), head.size());

  // The journal appears under its name only once whole, so anything of
  // ours found there later is a whole journal or a damaged one. It takes
  // the place of the append record at once.
  std::optional<platform::NewFile> journal;
  const Error created = in_a_place_of_ours([&] {
    journal.emplace(env_, *place_.folder, place_.name);
    return journal->create(/*beside=*/recorded_);
  });
  if (created != Error::kOk) {
    // Nowhere to write one: the pack is then changed without it, if that
    // is allowed, as the caller sees.
    journal.reset();
    return !recorded_ && go_on_without_journal(created) ? unjournaled_ : false;
  }
  bool ok = journal->append(head.data(), head.size()) == Error::kOk;
  // The old image is still in place on disk: copy it from there, so that
  // only the new one is held in memory.
  std::vector<uint8_t> chunk = buffer_for(ok ? image_size : 0);
  for (uint64_t at = 0; ok && at < image_size;) {
    const uint64_t n = std::min(kChunk, image_size - at);
    ok = read_exactly(env_, file_, chunk.data(), n, at) &&
         journal->append(chunk.data(), n) == Error::kOk;
    crc = Crc32().extend(crc, chunk.data(), n);
    at += n;
  }
  uint8_t trailer[kJournalTrailer];
  encode_fixed32(trailer, crc);
  ok = ok && journal->append(trailer, kJournalTrailer) == Error::kOk &&
       journal->sync() == Error::kOk &&
       (recorded_ ? journal->commit_replacing() : journal->commit()) == Error::kOk;
  if (!ok) return false;
  // From here the journal is this run's own: whatever befalls the pack,
  // it is put back from it, never set aside.
  recorded_ = false;
  journal_written_ = true;
  written_ = JournalInfo{};
  written_.pack = identity_;
  written_.old_length = original_size_;
  written_.new_length = new_size;
  written_.image_size = image_size;
  written_.block_size = kBlock;
  if (env_.sync_folder(*place_.folder) != Error::kOk) {
    // Not durable under its name: the image must not change. Gone again,
    // the pack is cut back as though the journal never was.
    if (env_.remove(*place_.folder, place_.name) == Error::kOk) journal_written_ = false;
    return false;
  }
  return true;
}

bool PackUpdate::roll_back() {
  Handle journal;
  uint64_t size = 0;
  if (env_.open_for_read(*place_.folder, place_.name, &journal, &size) == Error::kOk &&
      restore(env_, file_, journal, written_) &&
      env_.remove(*place_.folder, place_.name) == Error::kOk &&
      env_.sync_folder(*place_.folder) == Error::kOk) {
    journal_written_ = false;
    return true;
  }
  tell(PackNotice::Kind::kCannotPutBack);
  left_to_journal_ = true;
  return false;
}

bool PackUpdate::commit(const uint8_t* image, uint64_t image_size, uint64_t new_size) {
  // The appended data must be durable before any directory points at it.
  if (new_size != original_size_ && env_.sync(file_) != Error::kOk) return false;
  platform::hold_interruptions();
  cut_back_on_interrupt_.reset();
  if (!unjournaled_ && !write_journal(image, image_size, new_size)) {
    // A journal that could not be removed again may hold the pack's place:
    // the pack is then left to it, uncut.
    if (journal_written_) (void)roll_back();
    return false;
  }
  if (unjournaled_) {
    // Warned of: nothing can put the old image back. A pack whose image
    // may be partly new is never cut.
    if (env_.write_at(file_, image, image_size, 0) != Error::kOk ||
        env_.sync(file_) != Error::kOk) {
      left_to_journal_ = true;
      return false;
    }
    committed_ = true;
    return true;
  }
  if (env_.write_at(file_, image, image_size, 0) != Error::kOk || env_.sync(file_) != Error::kOk ||
      env_.remove(*place_.folder, place_.name) != Error::kOk) {
    // The image on disk may be partly new and point past the old end: it
    // is put back from this run's journal before anything is cut, or the
    // journal stays for the next run.
    (void)roll_back();
    return false;
  }
  journal_written_ = false;
  committed_ = true;
  if (env_.sync_folder(*place_.folder) != Error::kOk) {
    tell(PackNotice::Kind::kRemovalNotDurable);
  }
  return true;
}

Error PackUpdate::close() { return env_.close(&file_); }

}  // namespace radodaro
