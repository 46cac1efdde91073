// /p and --update: member files appended to their pack, its directory
// rewritten through the journal.
#ifndef RADODARO_COMMANDS_GROUP_H_
#define RADODARO_COMMANDS_GROUP_H_

#include <cstdint>
#include <string>
#include <vector>

#include "commands/output.h"
#include "pak/entry_decoder.h"
#include "pak/entry_encoder.h"
#include "pak/entry_selection.h"
#include "pak/pak_format.h"
#include "platform/files.h"

namespace radodaro {

// Appends every member file under `folder_path` whose entry is not skipped
// to the pack at `pak_path` and rewrites the directory through the pack's
// journal. All or nothing: true means the new directory is durable; false
// means the pack is byte for byte as it was (or its journal will make it
// so on the next run), with the reason printed.
//
// With kOnlyChanged (--update), a member file that holds exactly what /e
// writes for its entry is passed over, its entry unchanged; when nothing
// changed, the pack is not written at all. A changed member of an lzo1x
// entry is stored as `compression` says: as a new lzo1x stream, or
// uncompressed as /p stores every member.
enum class GroupMode { kEvery, kOnlyChanged };
enum class Compression { kFast, kBest, kNone };

// What --update adds to /p: the member files of the selected entries only;
// with `dry_run`, what would be appended is printed and nothing written,
// the pack held only as a reader holds it; "nothing changed" on stderr
// when nothing is (or would be) appended.
struct GroupOptions {
  EntrySelection selection;
  bool dry_run = false;
  ProgressMode progress = ProgressMode::kOff;
  bool json = false;  // a JSON object per member appended, then a summary
  // The folder's record is not used to pass over members, all are read.
  bool check_all = false;
  // A record made for another pack, or for this one as it was before
  // something else changed it, does not stop the run (nor is it used).
  bool force = false;
  // --status: says what each member is, appends nothing (as a dry run).
  bool status = false;
  bool verbose = false;  // --status: unchanged members too
};
//
// `workers` threads read, compare and compress the members ahead of their
// turn; the pack and what is printed are the same for any number of them.
bool run_group(platform::Env& env, const std::string& pak_path, const std::string& folder_path,
               GroupMode mode = GroupMode::kEvery, Compression compression = Compression::kNone,
               uint32_t workers = 1, const GroupOptions& options = {});

// --update --dry-run and --status: the pack read as --verify reads it,
// the members compared (and compressed as `compression` says), nothing
// written, and each member said as `options` asks. -1 when nothing could
// be done, else the members that --update would put back.
int64_t look_at_members(platform::Env& env, const std::string& pak_path,
                        const std::string& folder_path, Compression compression, uint32_t workers,
                        const GroupOptions& options);

// --update PACK FOLDER.
inline bool run_update(platform::Env& env, const std::string& pak_path,
                       const std::string& folder_path, Compression compression = Compression::kFast,
                       uint32_t workers = 1, const GroupOptions& options = {}) {
  return run_group(env, pak_path, folder_path, GroupMode::kOnlyChanged, compression, workers,
                   options);
}

enum class GroupResult {
  kAppended,   // `entry` now describes the appended copy
  kAbsent,     // nothing there, or no regular file: nothing read, `entry` unchanged
  kUnchanged,  // the member holds what the entry holds: `entry` unchanged
  kFailed,     // the member file is there but could not be appended whole
};

// With --update: the pack as it was when the run began, mapped, to compare
// members with, and how a changed member of an lzo1x entry is stored.
struct UpdateContext {
  uint64_t pack_size = 0;
  // nullptr: the pack could not be mapped, and its bytes are read from
  // `pack_file` into `packed` instead.
  const uint8_t* pack_data = nullptr;
  const platform::Handle* pack_file = nullptr;
  std::vector<uint8_t>* packed = nullptr;
  DecodeBufferPool* buffers = nullptr;
  Lzo1xEncoder* encoder = nullptr;  // nullptr: uncompressed, as a stored entry
};

// What can be done for a member file before its turn: opened, compared
// with its entry, compressed or read into memory.
struct MemberPrepared {
  enum State {
    kAbsent,     // nothing there, or no regular file
    kUnchanged,  // holds what its entry holds
    kFailed,     // there, but it cannot be appended whole (or compared)
    kEncoded,    // `stream` holds it as one lzo1x stream, `sum` its sum
    kRead,       // `data` holds it whole, `sum` its sum
    kOpen,       // `member` is open, to be read at its turn
    kDeferred,   // too large to compress ahead of its turn: prepare it then
  };
  State state = kFailed;
  // The member file as it was before it was read, for the folder's record.
  bool stamped = false;
  platform::FileStamp stamp;
  platform::Handle member;
  uint64_t length = 0;
  uint32_t sum = 0;
  std::vector<uint8_t> stream;
  std::vector<uint8_t> data;
};

// Opens the member file `name` of `folder` and, with `same`, tells whether
// it holds what /e writes for `entry`, compressing a changed member of an
// lzo1x entry as `same` says. A member of at most `most` bytes is read
// (and compressed); one of more is kOpen, or kDeferred when it is to be
// compressed. Creates, writes and prints nothing.
// Returns the bytes that `out` holds.
uint64_t prepare_member(platform::Env& env, const platform::Handle& folder, const std::string& name,
                        const PakEntry& entry, const UpdateContext* same, uint64_t most,
                        MemberPrepared* out);

// The rest of prepare_member() for the open member `out` (its `member`
// and `length` set): read and compressed with `encoder`, or read to be
// stored without one; one of more than `most` bytes is left kOpen, or
// kDeferred when it is to be compressed.
uint64_t load_member(platform::Env& env, Lzo1xEncoder* encoder, uint64_t most, MemberPrepared* out);

// Appends the `prepared` member to `pack` at `*pack_end` and rewrites
// `entry` to point at it; `*pack_end` advances past the copy.
GroupResult append_member(platform::Env& env, MemberPrepared* prepared,
                          const platform::Handle& pack, uint64_t* pack_end, PakEntry* entry);

// --update, --apply-patch: an entry whose data lies inside the header or
// directory `*dir_image` (as it is to be written) would change as the
// directory is rewritten over it; its data is appended at `*pack_end`
// first, as it is, and the entry pointed at the copy. The pack is `size`
// bytes long before the run's appends.
bool move_out_of_the_directory(platform::Env& env, const platform::Handle& pack, uint64_t size,
                               std::vector<uint8_t>* dir_image, uint64_t* pack_end);

}  // namespace radodaro

#endif  // RADODARO_COMMANDS_GROUP_H_
