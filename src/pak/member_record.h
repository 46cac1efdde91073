// The record that a member folder keeps of its pack: which pack it was
// expanded from (its real path, and the CRC-32 of its directory as the run
// left it), and for each member written, the entry it holds and what its
// file looked like then. With it a later run tells, without reading a
// member, that it is unchanged, as git's index does; without it (or with
// one that cannot be read) the folder is a plain folder of member files.
#ifndef RADODARO_PAK_MEMBER_RECORD_H_
#define RADODARO_PAK_MEMBER_RECORD_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/files.h"

namespace radodaro {

// The record's name in the member folder.
inline constexpr char kRecordName[] = ".radodaro-record";

struct RecordedMember {
  uint32_t index = 0;
  std::string path;  // relative to the folder, '/' between names
  platform::FileStamp stamp;
};

struct MemberRecord {
  std::string pack;  // the pack's real path
  uint32_t dir_crc = 0;
  std::vector<RecordedMember> members;  // in index order, one each
  // The record file's own modification time, as it was read: a member
  // modified at or after it may have changed within the same tick, and is
  // read to tell.
  int64_t written_ns = 0;

  // The member of entry `index`, or nullptr.
  const RecordedMember* find(uint32_t index) const;
};

// The record as its file holds it (the man page documents the format).
std::string encode_record(const MemberRecord& record);
// Reads a record's text; false, with `*why`, for one that is not whole or
// not of this version.
bool decode_record(const std::string& text, MemberRecord* record, std::string* why);

// Whether a member whose file now has `now` is, by the record, what was
// written, without reading it: the stamp is the same and the member was
// modified before the record was written (git's racy-clean rule).
bool unchanged_by_record(const RecordedMember& recorded, const platform::FileStamp& now,
                         int64_t written_ns);

enum class RecordRead { kRead, kNone, kUnreadable };
// Reads the record of `folder`: kNone when there is none, kUnreadable
// (with `*why`) when it is there but cannot be read or is not whole.
RecordRead read_record(platform::Env& env, const platform::Handle& folder, MemberRecord* record,
                       std::string* why);
// Writes `record` into `folder` whole, durably and at once: the old one, if
// any, stays until the new one takes its place.
platform::Error write_record(platform::Env& env, const platform::Handle& folder,
                             const MemberRecord& record);

}  // namespace radodaro

#endif  // RADODARO_PAK_MEMBER_RECORD_H_
