// Changing a pack so that, whatever happens, it ends up either wholly as it
// was or wholly as it was meant to become. Data is appended at the end; the
// header and directory are then rewritten in place through a rollback
// journal beside the pack (its path with "-journal" appended): the old
// image and length go there first and are made durable, then the new image
// is written and made durable, then the journal is removed. A run that
// finds a complete journal later puts the old image back first.
#ifndef RADODARO_PAK_PACK_UPDATE_H_
#define RADODARO_PAK_PACK_UPDATE_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/files.h"
#include "platform/process.h"

namespace radodaro {

// Where a compaction writes the new pack before it renames it over the old.
std::string compact_path(const std::string& pak_path);

std::string journal_path(const std::string& pak_path);

enum class Recovery {
  kNothing,   // no complete journal: the pack stands as it is
  kRestored,  // the pack was put back from its journal
  kFailed,    // a complete journal is there, but the pack could not be put back
};

// For runs that only read the pack: when a journal lies beside it, takes
// the pack for writing long enough to put it back. A pack that a running
// group holds is left to it.
Recovery recover_pack(platform::Env& env, const std::string& pak_path);

class PackUpdate {
 public:
  PackUpdate(platform::Env& env, const std::string& pak_path);
  // Uncommitted: cuts off what was appended; a pack whose old image could
  // not be put back is left to its journal.
  ~PackUpdate();
  PackUpdate(const PackUpdate&) = delete;
  PackUpdate& operator=(const PackUpdate&) = delete;

  enum class Open { kOk, kCantOpen, kRecoveryFailed };
  // Opens the pack for writing, held against every other run, and first
  // puts it back from a journal left by an earlier run.
  Open open();

  const platform::Handle& file() const { return file_; }
  // The pack's own handle, for an Env::replace() of the whole pack.
  platform::Handle* held_file() { return &file_; }
  const platform::Handle& folder() const { return folder_; }
  uint64_t original_size() const { return original_size_; }

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
  bool write_journal(uint64_t image_size);
  bool put_back_from_journal();
  void cut_back();

  platform::Env& env_;
  const std::string& pak_path_;
  std::string journal_name_;
  platform::Handle folder_;
  platform::Handle file_;
  uint64_t original_size_ = 0;
  bool committed_ = false;
  bool left_to_journal_ = false;
  // Declared last: it is dropped first, before the file it cuts back.
  std::unique_ptr<platform::CutBackOnInterrupt> cut_back_on_interrupt_;
};

}  // namespace radodaro

#endif  // RADODARO_PAK_PACK_UPDATE_H_
