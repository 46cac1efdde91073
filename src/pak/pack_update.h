// Changing a pack so that, whatever happens, it ends up either wholly as it
// was or wholly as it was meant to become. Before the first append, a small
// record of the pack's old length goes beside it, durably; data is then
// appended at the end; the header and directory are then rewritten in
// place through a rollback journal that takes the record's place: the old
// image goes there first and is made durable, then the new image is
// written and made durable, then the journal is removed. A run that finds
// the record cuts the pack back; one that finds the journal puts the old
// image back first, but only when the journal proves that it was written
// for this very file, and that the file is in a state its group can have
// left: the same file (device and inode), of the length it had before or
// after the appends, each disk sector of its image either the old one or
// the new one, but for the one a write was cut off inside. Anything else is
// some other pack, and is never touched.
#ifndef RADODARO_PAK_PACK_UPDATE_H_
#define RADODARO_PAK_PACK_UPDATE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pak/pack_notice.h"
#include "platform/files.h"
#include "platform/process.h"

namespace radodaro {

// The files of the tool's own that go with a pack. They lie beside the
// file itself (its real path, links resolved), so that every name that
// leads to the pack finds the same ones, and their names say whose they
// are: PACK.radodaro-journal, PACK.radodaro-compact.
struct PackFiles {
  // `pak_path` is absolute.
  explicit PackFiles(const std::string& pak_path);

  std::string real;    // the pack's real path
  std::string folder;  // the folder that holds it
  std::string name;    // its name there

  std::string journal_name() const { return name + ".radodaro-journal"; }
  std::string compact_name() const { return name + ".radodaro-compact"; }
  // The whole path of `file_name` beside the pack, for messages.
  std::string path_of(const std::string& file_name) const;
};

// The name of a pack's journal in the user's state folder, for a pack in a
// folder the user cannot write: made of the file's identity, as its path
// is not its own.
std::string state_journal_name(const platform::FileIdentity& pack);

enum class JournalState {
  kNone,        // nothing at the journal's name
  kForeign,     // something that is not a journal of ours
  kUnreadable,  // something that cannot be read to tell
  kStale,       // ours, but not for this file as it stands (or damaged)
  kHot,         // ours, and the pack is as its group run left it
};

// What a journal says of the pack and the state it was written for.
struct JournalInfo {
  platform::FileIdentity pack;
  uint64_t old_length = 0;  // before the group run appended
  uint64_t new_length = 0;  // after
  uint64_t image_size = 0;  // of the header and directory
  uint64_t block_size = 0;
  std::vector<uint32_t> new_block_crcs;
  // Written before the first append: the pack may be longer than
  // `old_length`, its image is as it was (its CRC-32 `image_crc`), and no
  // old image is kept.
  bool appending = false;
  uint32_t image_crc = 0;
};

// Looks at the journal `name` in `folder` and at the pack `pack`, now
// `pack_size` bytes long. With kHot, `*journal` holds it open and `*info`
// says what it holds.
JournalState inspect_journal(platform::Env& env, const platform::Handle& folder,
                             const std::string& name, const platform::Handle& pack,
                             uint64_t pack_size, platform::Handle* journal, JournalInfo* info);

// The old header and directory that a hot journal holds.
bool read_journal_image(platform::Env& env, const platform::Handle& journal,
                        const JournalInfo& info, std::vector<uint8_t>* image);

class PackUpdate {
 public:
  // `pak_path` is absolute; notices name the pack by it, and go to
  // `notices` (nowhere for nullptr).
  PackUpdate(platform::Env& env, std::string pak_path, PackNotices notices);
  // Uncommitted: cuts off what was appended; a pack whose old image could
  // not be put back is left to its journal.
  ~PackUpdate();
  PackUpdate(const PackUpdate&) = delete;
  PackUpdate& operator=(const PackUpdate&) = delete;

  // Before open(): the pack is to be replaced whole (--compact), while it is
  // still held.
  void to_be_replaced() { replaceable_ = true; }
  // Where no journal can be written at all, the pack is changed without
  // one, with a warning, as /p always has; otherwise that is a
  // failure.
  void allow_unjournaled() { unjournaled_allowed_ = true; }

  enum class Open { kOk, kCantOpen, kRecoveryFailed, kForeignFile };
  // Opens the pack for writing, held against every other run; removes what
  // a killed run of ours left beside it; puts it back from a journal that
  // an unfinished group run left, or sets aside one that does not fit it.
  // Tells why it fails, except for kCantOpen.
  Open open();
  // Why open() gave kCantOpen.
  platform::Error open_error() const { return open_error_; }

  const platform::Handle& file() const { return file_; }
  // The pack's own handle, for an Env::replace() of the whole pack.
  platform::Handle* held_file() { return &file_; }
  const platform::Handle& folder() const { return folder_; }
  const PackFiles& files() const { return files_; }
  const platform::FileIdentity& identity() const { return identity_; }
  uint64_t original_size() const { return original_size_; }

  // Before the first append: records the pack's length, and the CRC-32 of
  // its `image_size` bytes of header and directory `image`, beside it and
  // durably, so that a run killed while it appends is cut back by the next
  // one. False when that could not be done.
  bool before_append(const uint8_t* image, uint64_t image_size);

  // Makes the appended data (the pack is now `new_size` long) durable, then
  // replaces the first `image_size` bytes with `image` through the journal.
  // From its start until the process exits, interruptions wait. On failure
  // the pack is as it was before (or its journal says how to make it so).
  bool commit(const uint8_t* image, uint64_t image_size, uint64_t new_size);
  // Nothing was appended and nothing is to change: the pack is left as it
  // is, not even cut back to the length it has.
  void leave_untouched() { committed_ = true; }

  // After commit(): closes the pack. A failure here is only a warning, as
  // the new directory is durable already.
  platform::Error close();

 private:
  void remove_leftovers();
  Open recover();
  // Renames a journal that does not fit the pack to a name that says so.
  bool set_aside_journal();
  bool write_journal(const uint8_t* image, uint64_t image_size, uint64_t new_size);
  platform::Error write_record(const uint8_t* record);
  // Runs `write` in the journal's place, and where the pack's folder
  // refuses it, in the user's state folder.
  template <typename Write>
  platform::Error in_a_place_of_ours(Write write);
  // Where no journal can be written: true, with a warning, when the pack
  // may be changed without one.
  bool go_on_without_journal(platform::Error why);
  // The journal's place: beside the pack, or in the user's state folder
  // (made with `create`; false when there is none).
  void place_beside();
  bool use_state_folder(bool create);
  // Puts the pack back from the journal this run wrote; when that fails,
  // the journal stays and the pack is left to it.
  bool roll_back();
  bool cut_back();
  void tell(PackNotice::Kind kind, std::string other = "",
            platform::Error error = platform::Error::kOk) const;

  platform::Env& env_;
  const std::string pak_path_;
  platform::Error open_error_ = platform::Error::kOk;
  const PackFiles files_;
  const PackNotices notices_;
  platform::Handle folder_;
  bool replaceable_ = false;
  platform::Handle file_;
  platform::FileIdentity identity_;
  uint64_t original_size_ = 0;
  bool committed_ = false;
  bool left_to_journal_ = false;
  struct JournalPlace {
    const platform::Handle* folder = nullptr;
    std::string name;
    std::string path;  // for messages
  };
  JournalPlace place_;
  platform::Handle state_folder_;
  bool unjournaled_allowed_ = false;
  bool unjournaled_ = false;      // changed without a journal, as warned
  bool recorded_ = false;         // the append record is under the journal's name
  bool journal_written_ = false;  // this run's journal is there
  JournalInfo written_;
  // Declared last: it is dropped first, before the file it cuts back.
  std::unique_ptr<platform::CutBackOnInterrupt> cut_back_on_interrupt_;
};

}  // namespace radodaro

#endif  // RADODARO_PAK_PACK_UPDATE_H_
