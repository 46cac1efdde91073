#include "pak/pack_reader.h"

#include <new>

#include "pak/checksums.h"
#include "pak/pack_update.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace radodaro {

namespace {

using platform::Error;

// Where a group run of ours was cut off, the directory in place may be
// partly new: read the old one from its journal instead, when the journal
// proves to be for this pack as it stands. Only a run that may write puts
// the pack back. False when a journal is there that cannot be read.
bool read_through_journal(platform::Env& env, const PackFiles& files, const std::string& pak_path,
                          PackView* pack, PackNotices notices) {
  const auto tell = [&](PackNotice::Kind kind, const std::string& journal) {
    if (notices != nullptr) notices(PackNotice{kind, pak_path, journal, "", Error::kOk});
  };
  // Beside the pack, or where a run that could not write there left it.
  platform::Handle folder;
  std::string name = files.journal_name();
  std::string journal_path = files.path_of(name);
  if (env.open_folder(files.folder, &folder) != Error::kOk ||
      env.look_up(folder, name) == Error::kNotFound) {
    platform::FileIdentity identity;
    const std::string state = platform::state_folder();
    if (state.empty() || env.identify(pack->map.file, &identity) != Error::kOk) return true;
    name = state_journal_name(identity);
    journal_path = state + name;
    if (env.open_folder(state, &folder) != Error::kOk ||
        env.look_up(folder, name) == Error::kNotFound) {
      return true;
    }
  }
  platform::Handle journal;
  JournalInfo info;
  switch (inspect_journal(env, folder, name, pack->map.file, pack->map.size, &journal, &info)) {
    case JournalState::kNone:
    case JournalState::kForeign:
      return true;
    case JournalState::kStale:
      tell(PackNotice::Kind::kJournalNotUsed, journal_path);
      return true;
    case JournalState::kUnreadable:
      tell(PackNotice::Kind::kJournalUnreadable, journal_path);
      return false;
    case JournalState::kHot:
      break;
  }
  // A run killed while it appended left the directory as it was; only
  // the length is the old one's.
  try {
    if (!info.appending && !read_journal_image(env, journal, info, &pack->dir_image)) return false;
  } catch (const std::bad_alloc&) {
    return false;
  }
  pack->size = info.old_length;
  tell(PackNotice::Kind::kReadAsBefore, journal_path);
  return true;
}

}  // namespace

DirectoryRead read_directory(platform::Env& env, const platform::Handle& file, uint64_t file_size,
                             std::vector<uint8_t>* image) {
  uint8_t header[kHeaderSize];
  uint64_t got = 0;
  if (file_size < kHeaderSize || env.read_at(file, header, kHeaderSize, 0, &got) != Error::kOk ||
      got != kHeaderSize) {
    return DirectoryRead::kBad;
  }
  const uint64_t image_size = directory_end(decode_header(header).entry_count);
  if (image_size > file_size) return DirectoryRead::kBad;
  try {
    image->resize(image_size);
  } catch (const std::bad_alloc&) {
    return DirectoryRead::kNoMemory;
  }
  // A file cut short meanwhile reads short.
  if (env.read_at(file, image->data(), image_size, 0, &got) != Error::kOk || got != image_size) {
    return DirectoryRead::kBad;
  }
  return DirectoryRead::kOk;
}

bool open_pack(platform::Env& env, const std::string& pak_path, PackView* pack,
               PackOpenFailure* failure, PackNotices notices) {
  const auto fail = [&](bool bad, Error error) {
    *pack = PackView();
    *failure = {bad, error};
    return false;
  };
  const PackFiles files(pak_path);
  switch (const Error e = env.map_shared(files.real, &pack->map)) {
    case Error::kOk:
      break;
    case Error::kEmpty:
      return fail(true, e);
    default:
      return fail(false, e);
  }
  pack->size = pack->map.size;
  switch (read_directory(env, pack->map.file, pack->map.size, &pack->dir_image)) {
    case DirectoryRead::kOk:
      break;
    case DirectoryRead::kBad:
      return fail(true, Error::kOk);
    case DirectoryRead::kNoMemory:
      return fail(false, Error::kNoMemory);
  }
  if (!read_through_journal(env, files, pak_path, pack, notices)) return fail(false, Error::kIo);
  platform::advise_sequential(pack->map.data, pack->map.size);
  return true;
}

void ReadBehind::done(uint64_t offset, uint64_t length) {
  constexpr uint64_t kChunk = uint64_t{4} << 20;
  if (base_ == nullptr) return;
  // Entries mostly follow one another; one elsewhere starts a new stretch.
  if (offset != to_) {
    flush();
    from_ = offset;
  }
  to_ = offset + length;
  if (to_ - from_ >= kChunk) flush();
}

void ReadBehind::flush() {
  if (base_ != nullptr && to_ > from_) platform::let_go(base_ + from_, to_ - from_);
  from_ = to_;
}

}  // namespace radodaro
