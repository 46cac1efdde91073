#include "commands/group.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "commands/invocation.h"
#include "commands/open_pack.h"
#include "commands/output.h"
#include "pak/checksums.h"
#include "pak/entry_kind.h"
#include "pak/entry_pipeline.h"
#include "pak/member_record.h"
#include "pak/pack_reader.h"
#include "pak/pack_update.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace radodaro {

namespace {

// Member files are compared a window at a time, mapped, so that memory
// stays flat however large they are. What goes into the pack is read into
// memory of our own first: its sum is that of the very bytes written,
// whatever another program does to the file meanwhile.
constexpr uint64_t kWindow = uint64_t{1} << 20;
constexpr uint64_t kNoLimit = ~uint64_t{0};
static_assert(kWindow % platform::kWindowAlign == 0);

bool absent(platform::Error e) {
  return e == platform::Error::kNotFound || e == platform::Error::kNotRegular;
}

enum class Same { kYes, kNo, kCannotTell };

// Reads `length` bytes of `file` at `offset` into `*into`.
bool read_whole(platform::Env& env, const platform::Handle& file, uint64_t offset, uint64_t length,
                std::vector<uint8_t>* into) {
  into->resize(static_cast<size_t>(length));
  uint64_t got = 0;
  return env.read_at(file, into->data(), length, offset, &got) == platform::Error::kOk &&
         got == length;
}

// Whether the `length` bytes of `member` are the `length` bytes at
// `expected`, compared a window at a time: mapped where the system lets
// us, read where it does not.
Same member_holds(platform::Env& env, const platform::Handle& member, uint64_t length,
                  const uint8_t* expected) {
  std::vector<uint8_t> read;
  for (uint64_t done = 0; done < length;) {
    const uint64_t n = std::min(length - done, kWindow);
    const uint8_t* window = env.map_window(member, done, n);
    bool same = false;
    if (window == nullptr) {
      if (!read_whole(env, member, done, n, &read)) return Same::kCannotTell;
      same = std::memcmp(read.data(), expected + done, n) == 0;
    } else {
      const bool whole = platform::read_mapped(window, n, expected + done, n, [&] {
        same = std::memcmp(window, expected + done, n) == 0;
      });
      env.unmap_window(window, n);
      if (!whole) return Same::kCannotTell;
    }
    if (!same) return Same::kNo;
    done += n;
  }
  return Same::kYes;
}

// Whether `member` holds what /e writes for `entry`: then /e followed by
// --update with nothing edited never writes the pack. A comparison that
// cannot be made is no answer: the member is then neither.
Same holds_the_same(platform::Env& env, const platform::Handle& member, uint64_t length,
                    const PakEntry& entry, const UpdateContext& same) {
  if (length != entry.unpacked_size ||
      !range_in_file(entry.offset, read_extent(entry), same.pack_size)) {
    return Same::kNo;
  }
  const uint8_t* data = nullptr;
  if (same.pack_data != nullptr) {
    data = same.pack_data + entry.offset;
  } else {
    // The pack could not be mapped: its bytes are read instead.
    if (same.pack_file == nullptr ||
        !read_whole(env, *same.pack_file, entry.offset, read_extent(entry), same.packed)) {
      return Same::kCannotTell;
    }
    data = same.packed->data();
  }
  const EntryKind& kind = kind_of(entry);
  if (!kind.compressed) return member_holds(env, member, length, data);
  std::unique_ptr<DecodeBuffer> buffer = same.buffers->take();
  const Decoded d = kind.decode(entry, data, buffer.get(), false);
  const Same same_bytes =
      d.data == nullptr || !d.read ? Same::kCannotTell : member_holds(env, member, length, d.data);
  same.buffers->give(std::move(buffer));
  return same_bytes;
}

// Appends the `length` bytes of `member` from `at_member` to `pack` at
// `at`, a window at a time through memory of our own, summing them.
bool append_read(platform::Env& env, const platform::Handle& member, uint64_t length,
                 const platform::Handle& pack, uint64_t at, Sum32* sum) {
  std::vector<uint8_t> window;
  for (uint64_t done = 0; done < length;) {
    const uint64_t n = std::min(length - done, kWindow);
    if (!read_whole(env, member, done, n, &window) ||
        env.write_at(pack, window.data(), n, at + done) != platform::Error::kOk) {
      return false;
    }
    sum->update(window.data(), n);
    done += n;
  }
  return true;
}

// Points `entry` at `length` bytes appended at `*pack_end`, and moves the
// end past them.
void point_at(PakEntry* entry, uint32_t kind, uint64_t length, uint64_t packed, uint32_t sum,
              uint64_t* pack_end) {
  entry->kind = kind;
  entry->unpacked_size = static_cast<uint32_t>(length);
  entry->packed_size = static_cast<uint32_t>(packed);
  entry->offset = static_cast<uint32_t>(*pack_end);
  entry->crc2 = sum;
  *pack_end += packed;
}

}  // namespace

uint64_t prepare_member(platform::Env& env, const platform::Handle& folder, const std::string& name,
                        const PakEntry& entry, const UpdateContext* same, uint64_t most,
                        MemberPrepared* out) {
  out->state = MemberPrepared::kFailed;
  // Only nothing there, or something that is not a file, counts as absent:
  // a member that is there but cannot be read is an edit that would be
  // lost without a word.
  if (const platform::Error e = env.open_for_read(folder, name, &out->member, &out->length);
      e != platform::Error::kOk) {
    if (absent(e)) out->state = MemberPrepared::kAbsent;
    return 0;
  }
  const uint64_t length = out->length;
  if (same != nullptr) {
    switch (holds_the_same(env, out->member, length, entry, *same)) {
      case Same::kYes:
        out->state = MemberPrepared::kUnchanged;
        out->member.reset();
        return 0;
      case Same::kCannotTell:
        return 0;
      case Same::kNo:
        break;
    }
  }
  const bool encode = same != nullptr && same->encoder != nullptr && kind_of(entry).compressed;
  return load_member(env, encode ? same->encoder : nullptr, most, out);
}

uint64_t load_member(platform::Env& env, Lzo1xEncoder* encoder, uint64_t most,
                     MemberPrepared* out) {
  out->state = MemberPrepared::kFailed;
  const uint64_t length = out->length;
  if (length >= kPackLimit) return 0;
  // One too large to be held alongside others waits for its turn: one to
  // be compressed is then read whole, one to be stored a window at a time.
  if (length > most) {
    out->state = encoder != nullptr ? MemberPrepared::kDeferred : MemberPrepared::kOpen;
    return 0;
  }
  if (!read_whole(env, out->member, 0, length, &out->data)) return 0;
  out->member.reset();
  out->sum = sum32(out->data.data(), length);
  if (encoder == nullptr) {
    out->state = MemberPrepared::kRead;
    return length;
  }
  const bool encoded = encoder->encode(out->data.data(), length, &out->sum);
  std::vector<uint8_t>().swap(out->data);
  if (!encoded) return 0;
  out->stream = encoder->take_stream();
  out->state = MemberPrepared::kEncoded;
  return out->stream.size();
}

namespace {

// What becomes of the `prepared` member before a byte of it is appended at
// `pack_end`: kAppended when it is to be appended, its copy `*appended`
// bytes long; anything else says why not.
GroupResult settle(const MemberPrepared& prepared, uint64_t pack_end, uint64_t* appended) {
  switch (prepared.state) {
    case MemberPrepared::kAbsent:
      return GroupResult::kAbsent;
    case MemberPrepared::kUnchanged:
      return GroupResult::kUnchanged;
    case MemberPrepared::kFailed:
    case MemberPrepared::kDeferred:
      return GroupResult::kFailed;
    case MemberPrepared::kEncoded:
    case MemberPrepared::kRead:
    case MemberPrepared::kOpen:
      break;
  }
  // Offsets and lengths must stay below 2 GiB.
  *appended = prepared.state == MemberPrepared::kEncoded ? prepared.stream.size() : prepared.length;
  if (pack_end + *appended >= kPackLimit) return GroupResult::kFailed;
  return GroupResult::kAppended;
}

}  // namespace

GroupResult append_member(platform::Env& env, MemberPrepared* prepared,
                          const platform::Handle& pack, uint64_t* pack_end, PakEntry* entry) {
  const uint64_t length = prepared->length;
  uint64_t appended = 0;
  if (const GroupResult r = settle(*prepared, *pack_end, &appended); r != GroupResult::kAppended) {
    return r;
  }
  switch (prepared->state) {
    case MemberPrepared::kEncoded:
    case MemberPrepared::kRead: {
      const bool encoded = prepared->state == MemberPrepared::kEncoded;
      const std::vector<uint8_t>& bytes = encoded ? prepared->stream : prepared->data;
      if (env.write_at(pack, bytes.data(), bytes.size(), *pack_end) != platform::Error::kOk) {
        return GroupResult::kFailed;
      }
      point_at(entry, encoded ? kKindLzo1x : kKindStored, length, bytes.size(), prepared->sum,
               pack_end);
      return GroupResult::kAppended;
    }
    default:
      break;
  }
  Sum32 sum;
  if (!append_read(env, prepared->member, length, pack, *pack_end, &sum)) {
    return GroupResult::kFailed;
  }
  point_at(entry, kKindStored, length, length, sum.value(), pack_end);
  return GroupResult::kAppended;
}

namespace {

// The member files' folder, opened once, so that it cannot be swapped for
// another halfway through the run, and read once, so that the run opens
// only the member files that are there.
struct MemberFolder {
  platform::Handle handle;
  platform::Error error = platform::Error::kOk;
  bool listed = false;
  std::vector<std::string> names;
  std::unordered_set<std::string> keys;  // name_key() of each name

  void open(platform::Env& env, const std::string& path) {
    error = env.open_folder(path, &handle);
    if (error != platform::Error::kOk) return;
    listed = env.list_folder(handle, &names) == platform::Error::kOk;
    for (const std::string& n : names) keys.insert(platform::name_key(n));
  }
  // Whether something may be at the member name `name`: when the folder
  // could not be read, anything may be.
  bool may_hold(const std::string& name) const {
    return !listed || keys.contains(platform::name_key(name));
  }
};

bool equal_ignoring_ascii_case(const std::string& a, const char* b) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
  return a.size() == std::strlen(b) &&
         std::equal(a.begin(), a.end(), b, [&](char x, char y) { return lower(x) == lower(y); });
}

// The index that a name of eight hexadecimal digits and ".dat" gives, in
// any case, and whether it is the member name of that index exactly.
bool member_index_of(const std::string& name, uint32_t* index, bool* exact) {
  if (name.size() != 12 || !equal_ignoring_ascii_case(name.substr(8), ".dat")) return false;
  uint32_t value = 0;
  for (size_t i = 0; i < 8; ++i) {
    const char c = name[i];
    const int digit = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                             : -1;
    if (digit < 0) return false;
    value = value << 4 | static_cast<uint32_t>(digit);
  }
  *index = value;
  *exact = name == member_name(value);
  return true;
}

// With --update: says on stderr which files of the folder look like member
// files but are not put back (past the directory's end, a skipped entry,
// a name the system does not take for its member's), one line each for
// the first few and a count for the rest.
// With --status, each is a line of its own on stdout instead, and the
// count of them is returned.
size_t name_unused_members(const MemberFolder& folder, const std::string& folder_path,
                           const std::vector<uint8_t>& dir_image, const GroupOptions& options,
                           const MemberRecord* named) {
  constexpr size_t kNamed = 10;
  const uint32_t count = header_of(dir_image).entry_count;
  std::vector<std::string> names = folder.names;
  std::sort(names.begin(), names.end());
  size_t unused = 0;
  for (const std::string& name : names) {
    uint32_t index = 0;
    bool exact = false;
    if (!member_index_of(name, &index, &exact)) continue;
    std::string why;
    if (platform::name_key(name) != platform::name_key(member_name(index))) {
      why = "not a member name (member names are " + member_name(index) + " in lower case)";
    } else if (index >= count) {
      why = "the pack has no entry " + std::to_string(index) + " (it has " + std::to_string(count) +
            ")";
    } else if (!kind_of(entry_of(dir_image, index)).holds_data) {
      why = "entry " + std::to_string(index) + " is skipped";
    } else if (const RecordedMember* m = named != nullptr ? named->find(index) : nullptr;
               m != nullptr && m->path != name) {
      why = "entry " + std::to_string(index) + " is " + m->path + " in this folder";
    } else {
      continue;
    }
    ++unused;
    if (options.status && options.json) {
      print_out(JsonLine()
                    .string("type", "file")
                    .string("path", folder_path + name)
                    .string("status", "unused")
                    .strings("problems", {why})
                    .text());
    } else if (options.status) {
      print_out(std::string("unused     ")
                    .append(folder_path)
                    .append(name)
                    .append(": ")
                    .append(why)
                    .append("\n"));
    } else if (unused <= kNamed) {
      complain("%s%s: not used: %s", folder_path.c_str(), name.c_str(), why.c_str());
    }
  }
  if (!options.status && unused > kNamed) {
    complain("%s: %llu more member files not used", folder_path.c_str(),
             static_cast<unsigned long long>(unused - kNamed));
  }
  return unused;
}

// The folder's record, read and held against the pack as it is now.
struct FolderRecord {
  enum class State { kNone, kFits, kUnreadable, kOther };
  State state = State::kNone;
  MemberRecord record;
  uint32_t dir_crc = 0;  // of the pack's directory as it is now, once a record is read

  // The folders under the member folder that its members are in, opened
  // and listed (none that a link leads out of).
  std::map<std::string, MemberFolder> subfolders;

  // The record to pass members over by, or nullptr.
  const MemberRecord* usable(const GroupOptions& options) const {
    return state == State::kFits && !options.check_all ? &record : nullptr;
  }
  // The record that says where members are, or nullptr.
  const MemberRecord* names() const { return state == State::kFits ? &record : nullptr; }
};

uint32_t directory_crc(const std::vector<uint8_t>& dir_image) {
  return Crc32().crc32(dir_image.data() + kHeaderSize, dir_image.size() - kHeaderSize);
}

// Reads the record of the folder; says on stderr what is wrong with it.
// False when the run must stop: a record made for another pack (or for
// this one before something else changed it), unless --force.
bool check_record(platform::Env& env, const MemberFolder& folder, const std::string& folder_path,
                  const std::string& pak_path, const std::vector<uint8_t>& dir_image,
                  const GroupOptions& options, FolderRecord* out) {
  if (!folder.handle.is_open()) return true;
  std::string why;
  switch (read_record(env, folder.handle, &out->record, &why)) {
    case RecordRead::kNone:
      return true;
    case RecordRead::kUnreadable:
      out->state = FolderRecord::State::kUnreadable;
      complain("%s%s: cannot be read (%s); the folder is taken as a plain folder",
               folder_path.c_str(), kRecordName, why.c_str());
      return true;
    case RecordRead::kRead:
      break;
  }
  // Only a record needs it: a million entries take a pass of their own.
  out->dir_crc = directory_crc(dir_image);
  if (out->record.dir_crc == out->dir_crc) {
    out->state = FolderRecord::State::kFits;
    for (const RecordedMember& m : out->record.members) {
      const size_t slash = m.path.rfind('/');
      if (slash == std::string::npos) continue;
      auto [it, made] = out->subfolders.try_emplace(m.path.substr(0, slash));
      const std::string where = folder_path + platform::native_path(it->first);
      if (made && platform::lies_inside(where, folder_path)) it->second.open(env, where);
      if (made && !it->second.handle.is_open()) it->second.error = platform::Error::kNotFound;
    }
    return true;
  }
  out->state = FolderRecord::State::kOther;
  if (options.force) return true;
  complain(
      "%s was expanded from %s with directory CRC %08X, not from %s as it is now (directory CRC "
      "%08X); nothing was changed (--force puts the members back anyway)",
      folder_path.c_str(), out->record.pack.c_str(), out->record.dir_crc, pak_path.c_str(),
      out->dir_crc);
  return false;
}

// With --update: the folder must be there, or there is nothing to compare.
bool folder_is_there(const MemberFolder& folder, const std::string& folder_path) {
  if (folder.handle.is_open()) return true;
  complain("%s: %s", folder_path.c_str(), platform::reason(folder.error));
  return false;
}

// With --update: the pack as it was, mapped (the run holds it, and appends
// only past its old end), the run's decode buffers, and an encoder for each
// thread.
class UpdateState {
 public:
  // `pack_data`: the pack's `pack_size` bytes, mapped; `owned` when they
  // are to be unmapped with this.
  // `pack_file`: where the pack's bytes are read from when it could not be
  // mapped.
  UpdateState(platform::Env& env, uint64_t pack_size, const uint8_t* pack_data, bool owned,
              const platform::Handle* pack_file, bool wanted, Compression compression,
              const PipelineLimits& limits)
      : env_(env),
        wanted_(wanted),
        owned_(owned),
        pack_size_(pack_size),
        pack_data_(pack_data),
        buffers_(limits.budget),
        threads_(limits.workers + 1),
        read_behind_(pack_data_) {
    const Lzo1xEffort effort =
        compression == Compression::kBest ? Lzo1xEffort::kBest : Lzo1xEffort::kFast;
    for (Thread& t : threads_) {
      t.encoder.emplace(effort);
      t.check = {pack_size_, pack_data_, pack_file,
                 &t.packed,  &buffers_,  compression == Compression::kNone ? nullptr : &*t.encoder};
    }
  }
  ~UpdateState() {
    if (owned_ && pack_data_ != nullptr) env_.unmap_window(pack_data_, pack_size_);
  }
  UpdateState(const UpdateState&) = delete;
  UpdateState& operator=(const UpdateState&) = delete;
  uint32_t committing_thread() const { return static_cast<uint32_t>(threads_.size() - 1); }
  // --update, which compares; /p puts every member back.
  bool compares() const { return wanted_; }
  const UpdateContext* check(uint32_t thread) const {
    return wanted_ ? &threads_[thread].check : nullptr;
  }
  // The old data of `entry` has been compared: its pages may go.
  void let_go(const PakEntry& entry) {
    if (range_in_file(entry.offset, read_extent(entry), pack_size_)) {
      read_behind_.done(entry.offset, read_extent(entry));
    }
  }
  // Gives back what a thread's encoder and reads hold beyond
  // `keep` bytes each.
  void trim(uint32_t thread, uint64_t keep) {
    Thread& t = threads_[thread];
    t.encoder->trim(keep);
    if (t.packed.capacity() > keep) std::vector<uint8_t>().swap(t.packed);
  }

 private:
  struct Thread {
    std::vector<uint8_t> packed;
    std::optional<Lzo1xEncoder> encoder;
    UpdateContext check;
  };
  platform::Env& env_;
  bool wanted_;
  bool owned_;
  uint64_t pack_size_ = 0;
  const uint8_t* pack_data_ = nullptr;
  DecodeBufferPool buffers_;
  std::vector<Thread> threads_;
  ReadBehind read_behind_;
};

// --update --json: the summary, once every member line is out.
void print_update_summary(const std::string& pak_path, const std::string& folder_path,
                          const GroupOptions& options, const std::vector<uint8_t>& dir_image,
                          uint64_t appended) {
  // The entries selected, skipped ones too, as every summary counts them.
  uint64_t selected = 0;
  for (uint32_t i = 0; i < header_of(dir_image).entry_count; ++i) {
    selected += options.selection.contains(i) ? 1 : 0;
  }
  print_out(summary_json("update", pak_path)
                .string("folder", folder_path)
                .flag("dry_run", options.dry_run)
                .number("entries", selected)
                .number("appended", appended)
                .text());
}

// Says that the pack could not be written: /p in its words, --update on
// stderr.
void cannot_write(bool modern, const std::string& pak_path) {
  if (!modern) {
    std::printf("Can't write data file %s\n", pak_path.c_str());
    return;
  }
  complain(
      "%s: could not be written; it stays as it was before this run (or a journal left "
      "beside it puts it back at the next run)",
      pak_path.c_str());
}

// Opens the pack and reads its directory; says why not, and warns that a
// pack with several names is put back only through the one this run used.
bool open_pack(platform::Env& env, PackUpdate* update, const std::string& pak_path,
               std::vector<uint8_t>* dir_image, Voice voice) {
  if (!open_pack_for_writing(env, update, pak_path, dir_image, voice)) return false;
  if (update->identity().links > 1) {
    std::fprintf(stderr,
                 "radodaro: warning: %s has %llu names (hard links); should this run be cut "
                 "off, only a run through this same name puts the pack back\n",
                 pak_path.c_str(), static_cast<unsigned long long>(update->identity().links));
  }
  return true;
}

// Whether append_member() writes anything of `prepared` (when it fits).
bool writes_something(const MemberPrepared& prepared) {
  return prepared.state == MemberPrepared::kEncoded || prepared.state == MemberPrepared::kRead ||
         prepared.state == MemberPrepared::kOpen;
}

// What append_member() would do, without writing: `entry` and `*pack_end`
// as it would leave them.
GroupResult would_append(const MemberPrepared& prepared, uint64_t* pack_end, PakEntry* entry) {
  uint64_t appended = 0;
  if (const GroupResult r = settle(prepared, *pack_end, &appended); r != GroupResult::kAppended) {
    return r;
  }
  const bool encoded = prepared.state == MemberPrepared::kEncoded;
  point_at(entry, encoded ? kKindLzo1x : kKindStored, prepared.length, appended, prepared.sum,
           pack_end);
  return GroupResult::kAppended;
}

// /p and --update on the pipeline: workers open, compare, compress and
// read the member files; the committing thread appends them to the pack,
// rewrites their entries and prints their paths, in index order, and stops
// at the first that cannot be appended whole.
class GroupWork final : public EntryWork {
 public:
  // `pack_update`: the run's hold on the pack, or nullptr for a dry run.
  GroupWork(platform::Env& env, const MemberFolder& folder, const std::string& folder_path,
            const platform::Handle& pack, PackUpdate* pack_update, const std::string& pak_path,
            UpdateState* update, const PipelineLimits& limits, std::vector<uint8_t>* dir_image,
            uint64_t original_end, const GroupOptions& options, Progress* progress)
      : env_(env),
        folder_(folder),
        folder_path_(folder_path),
        pack_(pack),
        pack_update_(pack_update),
        pak_path_(pak_path),
        update_(update),
        options_(options),
        progress_(progress),
        budget_(limits.budget),
        keep_(limits.budget / (limits.workers + 1)),
        original_(*dir_image),
        slots_(limits.slots),
        pack_end(original_end) {}

  // Where the member of entry `index` is: the folder it is in, its name
  // there, and its path under the member folder ('/' between names) — its
  // member name, or the path the record gives it.
  struct Place {
    const MemberFolder* folder;
    std::string name;
    std::string relative;
  };
  Place place_of(uint32_t index) const {
    static const MemberFolder kNowhere = [] {
      MemberFolder none;
      none.error = platform::Error::kNotFound;
      none.listed = true;
      return none;
    }();
    const RecordedMember* m = names_ != nullptr ? names_->find(index) : nullptr;
    if (m == nullptr) {
      // Its member name, in the folder itself: asked for every entry, so
      // made once.
      std::string name = member_name(index);
      return {&folder_, name, std::move(name)};
    }
    const std::string& relative = m->path;
    const size_t slash = relative.rfind('/');
    if (slash == std::string::npos) return {&folder_, relative, relative};
    const auto it = subfolders_ != nullptr ? subfolders_->find(relative.substr(0, slash))
                                           : std::map<std::string, MemberFolder>::const_iterator();
    const bool open = subfolders_ != nullptr && it != subfolders_->end();
    return {open ? &it->second : &kNowhere, relative.substr(slash + 1), relative};
  }

  uint64_t cost(uint32_t index) override {
    const PakEntry entry = entry_of(original_, index);
    if (!kind_of(entry).holds_data || !options_.selection.contains(index)) return 0;
    const Place p = place_of(index);
    return p.folder->may_hold(p.name) ? entry.unpacked_size : 0;
  }

  uint64_t prepare(uint32_t index, uint32_t slot, uint32_t worker) override {
    std::optional<MemberPrepared>& s = slots_[slot];
    s.emplace();
    const PakEntry entry = entry_of(original_, index);
    const Place p = place_of(index);
    if (!kind_of(entry).holds_data || !p.folder->handle.is_open() ||
        !options_.selection.contains(index)) {
      return 0;
    }
    const std::string& name = p.name;
    if (!p.folder->may_hold(name)) {
      s->state = MemberPrepared::kAbsent;
      return 0;
    }
    // Its stamp before it is read: should it change meanwhile, the stamp
    // recorded is older than the file, and the next run reads it again.
    if (stamps_)
      s->stamped = env_.stamp_at(p.folder->handle, name, &s->stamp) == platform::Error::kOk;
    if (record_ != nullptr && s->stamped) {
      const RecordedMember* m = record_->find(index);
      if (m != nullptr && m->path == p.relative &&
          unchanged_by_record(*m, s->stamp, record_->written_ns)) {
        s->state = MemberPrepared::kUnchanged;
        s->length = s->stamp.size;
        return 0;
      }
    }
    const uint64_t held =
        prepare_member(env_, p.folder->handle, name, entry, update_->check(worker), budget_, &*s);
    update_->trim(worker, keep_);
    return held;
  }

  // --update speaks on stderr; /p in its own words on stdout.
  bool modern() const { return update_->compares(); }

  // Members are found where `names` (the record that fits the pack) puts
  // them, in `subfolders` when under one, and passed over where `record`
  // says they are unchanged; with `stamps`, the stamp of every member read
  // is taken for a new record.
  void use_record(const MemberRecord* names, const std::map<std::string, MemberFolder>* subfolders,
                  const MemberRecord* record, bool stamps) {
    names_ = names;
    subfolders_ = subfolders;
    record_ = record;
    stamps_ = stamps || record != nullptr;
  }

  // --status: a line for a member that --update would put back, or that is
  // missing (with --verbose or --json, unchanged ones too).
  void say_status(uint32_t index, GroupResult result, const PakEntry& after, uint64_t length) {
    const PakEntry before = entry_of(original_, index);
    const std::string path = folder_path_ + platform::native_path(place_of(index).relative);
    const char* status = result == GroupResult::kAppended    ? "changed"
                         : result == GroupResult::kUnchanged ? "unchanged"
                         : result == GroupResult::kAbsent    ? "missing"
                                                             : nullptr;
    if (status == nullptr) return;
    if (result == GroupResult::kAppended) ++changed;
    if (result == GroupResult::kAbsent) ++missing;
    if (result == GroupResult::kUnchanged) ++unchanged;
    if (options_.json) {
      JsonLine line = entry_json(index, before);
      line.string("path", path).string("status", status);
      if (result == GroupResult::kAppended) line.number("size", length);
      print_out(line.text());
      return;
    }
    if (result == GroupResult::kAppended) {
      char sizes[64];
      std::snprintf(sizes, sizeof sizes, ": %u bytes, now %llu", before.unpacked_size,
                    static_cast<unsigned long long>(length));
      print_out("changed    " + path + sizes + "\n");
    } else if (result == GroupResult::kAbsent) {
      print_out("missing    " + path + ": the entry stays as it is\n");
    } else if (options_.verbose) {
      print_out("unchanged  " + path + "\n");
    }
    (void)after;
  }

  bool commit(uint32_t index, uint32_t slot) override {
    std::optional<MemberPrepared>& s = slots_[slot];
    PakEntry entry = entry_of(original_, index);
    if (!kind_of(entry).holds_data || !options_.selection.contains(index)) return true;
    const Place p = place_of(index);
    if (s->state == MemberPrepared::kDeferred) {
      const bool stamped = s->stamped;
      const platform::FileStamp stamp = s->stamp;
      s.emplace();
      s->stamped = stamped;
      s->stamp = stamp;
      const uint32_t here = update_->committing_thread();
      prepare_member(env_, p.folder->handle, p.name, entry, update_->check(here), kNoLimit, &*s);
      update_->trim(here, keep_);
    }
    const uint64_t length = s->length;
    if (pack_update_ != nullptr && !options_.dry_run && writes_something(*s) &&
        !pack_update_->before_append(original_.data(), original_.size())) {
      cannot_write(modern(), pak_path_);
      return false;
    }
    const GroupResult result =
        !p.folder->handle.is_open()
            ? (absent(p.folder->error) ? GroupResult::kAbsent : GroupResult::kFailed)
        : options_.dry_run ? would_append(*s, &pack_end, &entry)
                           : append_member(env_, &*s, pack_, &pack_end, &entry);
    if ((result == GroupResult::kAppended || result == GroupResult::kUnchanged) && s->stamped) {
      seen.push_back({index, p.relative, s->stamp});
    }
    if (options_.status) say_status(index, result, entry, length);
    s.reset();
    progress_->advance(result == GroupResult::kAbsent ? 0 : length);
    update_->let_go(entry_of(original_, index));
    if (result == GroupResult::kAbsent || result == GroupResult::kUnchanged) return true;
    const std::string name = platform::native_path(p.relative);
    switch (result) {
      case GroupResult::kAbsent:
      case GroupResult::kUnchanged:
        return true;
      case GroupResult::kAppended:
        ++appended;
        rewritten_.emplace_back(index, entry);
        if (options_.status) return true;
        if (options_.json) {
          print_out(entry_json(index, entry)
                        .string("path", folder_path_ + name)
                        .string("status", options_.dry_run ? "to_append" : "appended")
                        .text());
        } else {
          print_out(folder_path_ + name + "\n");
        }
        return true;
      case GroupResult::kFailed:
        break;
    }
    if (modern() && pack_end + length >= kPackLimit) {
      complain(
          "%s%s: %llu bytes would take the pack to 2 GiB, where no offset can point; the "
          "pack stays as it was",
          folder_path_.c_str(), name.c_str(), static_cast<unsigned long long>(length));
    } else if (modern()) {
      complain("%s%s: could not be read whole and appended; the pack stays as it was",
               folder_path_.c_str(), name.c_str());
    } else {
      std::printf("Can't group file %s%s\n", folder_path_.c_str(), name.c_str());
    }
    return false;
  }

 private:
  platform::Env& env_;
  const MemberFolder& folder_;
  const std::string& folder_path_;
  const platform::Handle& pack_;
  PackUpdate* pack_update_;
  const std::string& pak_path_;
  UpdateState* update_;
  const GroupOptions& options_;
  Progress* progress_;
  const uint64_t budget_;
  const uint64_t keep_;
  // The directory as it was, which workers read throughout; the entries
  // the committing thread rewrites wait in `rewritten_` until the run ends
  // (a copy of a million entries would cost more than they do).
  const std::vector<uint8_t>& original_;
  std::vector<std::pair<uint32_t, PakEntry>> rewritten_;
  std::vector<std::optional<MemberPrepared>> slots_;
  const MemberRecord* names_ = nullptr;
  const std::map<std::string, MemberFolder>* subfolders_ = nullptr;
  const MemberRecord* record_ = nullptr;
  bool stamps_ = false;

 public:
  // Puts the entries of the members appended into `dir_image`, the
  // directory the run read, once no worker reads it.
  void rewrite(std::vector<uint8_t>* dir_image) const {
    for (const auto& [index, entry] : rewritten_) {
      encode_entry(entry, dir_image->data() + entry_position(index));
    }
  }
  uint64_t pack_end;
  uint32_t appended = 0;
  // --status: the members of each kind.
  uint64_t changed = 0;
  uint64_t unchanged = 0;
  uint64_t missing = 0;
  // The members appended or found unchanged, and their stamps before they
  // were read, in index order: the new record's members.
  std::vector<RecordedMember> seen;
};

}  // namespace

namespace {

// The entries and bytes of member files that a group run over `selection`
// looks at.
void selected_totals(const std::vector<uint8_t>& dir_image, const EntrySelection& selection,
                     uint64_t* entries, uint64_t* bytes) {
  const uint32_t count = header_of(dir_image).entry_count;
  *entries = *bytes = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const PakEntry e = entry_of(dir_image, i);
    if (!kind_of(e).holds_data || !selection.contains(i)) continue;
    ++*entries;
    *bytes += e.unpacked_size;
  }
}

}  // namespace

bool move_out_of_the_directory(platform::Env& env, const platform::Handle& pack, uint64_t size,
                               std::vector<uint8_t>* dir_image, uint64_t* pack_end) {
  const uint32_t count = header_of(*dir_image).entry_count;
  std::vector<uint8_t> data;
  for (uint32_t i = 0; i < count; ++i) {
    PakEntry entry = entry_of(*dir_image, i);
    const uint64_t extent = read_extent(entry);
    if (!kind_of(entry).holds_data || extent == 0 || entry.offset >= dir_image->size() ||
        !range_in_file(entry.offset, extent, size)) {
      continue;
    }
    if (*pack_end + extent >= kPackLimit || !read_whole(env, pack, entry.offset, extent, &data) ||
        env.write_at(pack, data.data(), extent, *pack_end) != platform::Error::kOk) {
      return false;
    }
    complain("entry %u: its data lay inside the directory, and was moved to the pack's end", i);
    entry.offset = static_cast<uint32_t>(*pack_end);
    encode_entry(entry, dir_image->data() + entry_position(i));
    *pack_end += extent;
  }
  return true;
}

int64_t look_at_members(platform::Env& env, const std::string& pak_path,
                        const std::string& folder_path, Compression compression, uint32_t workers,
                        const GroupOptions& options) {
  PackView pack;
  if (!open_pack_to_read(env, pak_path, &pack)) return -1;
  std::vector<uint8_t> dir_image = pack.dir_image;
  if (!selection_fits(options.selection, dir_image)) return -1;
  MemberFolder folder;
  folder.open(env, folder_path);
  if (!folder_is_there(folder, folder_path)) return -1;
  FolderRecord record;
  if (!check_record(env, folder, folder_path, pak_path, dir_image, options, &record)) return -1;
  const size_t unused =
      name_unused_members(folder, folder_path, dir_image, options, record.names());
  const PipelineLimits limits = pipeline_limits(workers);
  UpdateState mapped(env, pack.size, pack.data(), /*owned=*/false, nullptr, /*wanted=*/true,
                     compression, limits);
  uint64_t entries = 0;
  uint64_t bytes = 0;
  selected_totals(dir_image, options.selection, &entries, &bytes);
  Progress progress(options.progress, entries, bytes);
  const platform::Handle none;
  GroupWork work(env, folder, folder_path, none, nullptr, pak_path, &mapped, limits, &dir_image,
                 pack.size, options, &progress);
  work.use_record(record.names(), &record.subfolders, record.usable(options), false);
  const bool ok = run_in_order(work, header_of(dir_image).entry_count, limits);
  progress.clear();
  if (!ok) return -1;
  if (options.status) {
    static const char* const kRecordStates[] = {"none", "fits", "unreadable", "other"};
    if (options.json) {
      print_out(summary_json("status", pak_path)
                    .string("folder", folder_path)
                    .string("record", kRecordStates[static_cast<int>(record.state)])
                    .number("changed", work.changed)
                    .number("unchanged", work.unchanged)
                    .number("missing", work.missing)
                    .number("unused", unused)
                    .text());
    } else if (record.state == FolderRecord::State::kOther) {
      print_out("record     " + folder_path + kRecordName + ": made for " + record.record.pack +
                " as it was then, not for this pack as it is now\n");
    }
    return work.appended;
  }
  if (options.json) print_update_summary(pak_path, folder_path, options, dir_image, work.appended);
  if (work.appended == 0) complain("nothing changed");
  return work.appended;
}

bool run_group(platform::Env& env, const std::string& pak_path, const std::string& folder_path,
               GroupMode mode, Compression compression, uint32_t workers,
               const GroupOptions& options) {
  const bool only_changed = mode == GroupMode::kOnlyChanged;
  if (only_changed && options.dry_run) {
    return look_at_members(env, pak_path, folder_path, compression, workers, options) >= 0;
  }
  PackUpdate update(env, pak_path, say);
  // /p works wherever it always has; --update needs its journal.
  if (!only_changed) update.allow_unjournaled();
  std::vector<uint8_t> dir_image;
  if (!open_pack(env, &update, pak_path, &dir_image,
                 only_changed ? Voice::kCommand : Voice::kGroup)) {
    return false;
  }
  if (!selection_fits(options.selection, dir_image)) {
    update.leave_untouched();
    return false;
  }
  MemberFolder folder;
  folder.open(env, folder_path);
  FolderRecord record;
  if (only_changed) {
    if (!folder_is_there(folder, folder_path) ||
        !check_record(env, folder, folder_path, pak_path, dir_image, options, &record)) {
      update.leave_untouched();
      return false;
    }
    name_unused_members(folder, folder_path, dir_image, options, record.names());
  }
  const PipelineLimits limits = pipeline_limits(workers);
  const uint64_t size = update.original_size();
  UpdateState mapped(env, size, only_changed ? env.map_window(update.file(), 0, size) : nullptr,
                     /*owned=*/true, &update.file(), only_changed, compression, limits);
  uint64_t entries = 0;
  uint64_t bytes = 0;
  selected_totals(dir_image, options.selection, &entries, &bytes);
  Progress progress(options.progress, entries, bytes);

  if (!only_changed) std::fputs("Packing...\n", stdout);
  GroupWork work(env, folder, folder_path, update.file(), &update, pak_path, &mapped, limits,
                 &dir_image, update.original_size(), options, &progress);
  // A record that fits is kept up to date; one made for another pack that
  // --force passed over is replaced by one for this pack.
  const bool recorded = only_changed && record.state != FolderRecord::State::kNone &&
                        record.state != FolderRecord::State::kUnreadable;
  if (only_changed) {
    work.use_record(record.names(), &record.subfolders, record.usable(options), recorded);
  }
  const bool ok = run_in_order(work, header_of(dir_image).entry_count, limits);
  progress.clear();
  if (!ok) return false;
  work.rewrite(&dir_image);
  uint64_t pack_end = work.pack_end;
  const uint32_t appended = work.appended;
  if (only_changed && appended != 0 &&
      !move_out_of_the_directory(env, update.file(), update.original_size(), &dir_image,
                                 &pack_end)) {
    cannot_write(only_changed, pak_path);
    return false;
  }
  if (only_changed && options.json) {
    print_update_summary(pak_path, folder_path, options, dir_image, appended);
  }
  // The lines must reach their reader before the pack changes: a run whose
  // log is lost reports failure, and then the pack must be as it was.
  if (!platform::flush_output()) return false;
  if (only_changed && appended == 0) {
    update.leave_untouched();
    complain("nothing changed");
    return true;
  }

  PakHeader header = header_of(dir_image);
  header.dir_crc = Crc32().crc32(dir_image.data() + kHeaderSize, dir_image.size() - kHeaderSize);
  encode_header(header, dir_image.data());
  if (!update.commit(dir_image.data(), dir_image.size(), pack_end)) {
    cannot_write(only_changed, pak_path);
    return false;
  }
  if (update.close() != platform::Error::kOk) {
    std::fprintf(stderr,
                 "radodaro: warning: closing %s failed after its new directory was made durable\n",
                 pak_path.c_str());
  }
  if (recorded) {
    MemberRecord next;
    next.pack = platform::real_path(pak_path);
    next.dir_crc = header.dir_crc;
    // The members read or passed over now, and those the record knew that
    // this run did not look at (outside --only).
    next.members = std::move(work.seen);
    if (record.state == FolderRecord::State::kFits) {
      for (const RecordedMember& m : record.record.members) {
        if (!options.selection.contains(m.index)) next.members.push_back(m);
      }
      std::sort(next.members.begin(), next.members.end(),
                [](const RecordedMember& a, const RecordedMember& b) { return a.index < b.index; });
    }
    if (const platform::Error e = write_record(env, folder.handle, next);
        e != platform::Error::kOk) {
      complain("warning: %s%s could not be written (%s); the next --update reads every member",
               folder_path.c_str(), kRecordName, platform::reason(e));
    }
  }
  return true;
}

int update_command(platform::Env& env, const Invocation& in) {
  GroupOptions options;
  options.dry_run = in.options.dry_run;
  options.progress = in.options.progress;
  options.selection = in.options.selection;
  options.json = in.options.json;
  options.check_all = in.options.check_all;
  options.force = in.options.force;
  return run_update(env, in.pack, in.folder, in.options.compression, in.options.jobs, options) ? 0
                                                                                               : -1;
}

}  // namespace radodaro
