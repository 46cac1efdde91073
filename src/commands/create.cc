// --create PACK FOLDER: a new pack from the member files of a folder,
// written as a file of its own and named only once whole and durable. With
// --like TEMPLATE, the pack is TEMPLATE with the folder's members in place
// of its entries' data, and no dead space.
#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "commands/group.h"
#include "commands/invocation.h"
#include "commands/output.h"
#include "pak/entry_kind.h"
#include "pak/entry_pipeline.h"
#include "pak/member_record.h"
#include "pak/pack_writer.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace radodaro {

namespace {

using platform::Error;

// The index of the member name `name` (00000003.dat, in lower case), if
// it is one.
bool index_of_member(const std::string& name, uint32_t* index) {
  if (name.size() != 12 || name.compare(8, 4, ".dat") != 0) return false;
  uint32_t value = 0;
  for (size_t i = 0; i < 8; ++i) {
    const char c = name[i];
    if (!(c >= '0' && c <= '9') && !(c >= 'a' && c <= 'f')) return false;
    value = value << 4 | static_cast<uint32_t>(c <= '9' ? c - '0' : c - 'a' + 10);
  }
  *index = value;
  return true;
}

// Where the member of an entry is, and how large it was when looked at.
struct Member {
  const platform::Handle* folder = nullptr;
  std::string name;
  std::string path;  // for messages
  uint64_t size = 0;
};

// The member files of the folder: those named by the folder's record (where
// --expand --names put them), and every member name.
class MemberFiles {
 public:
  bool find(platform::Env& env, const std::string& folder_path) {
    if (const Error e = env.open_folder(folder_path, &folder_); e != Error::kOk) {
      complain("%s: %s", folder_path.c_str(), platform::reason(e));
      return false;
    }
    std::vector<std::string> names;
    if (const Error e = env.list_folder(folder_, &names); e != Error::kOk) {
      complain("%s: cannot be read: %s", folder_path.c_str(), platform::reason(e));
      return false;
    }
    for (const std::string& n : names) {
      uint32_t index = 0;
      if (index_of_member(n, &index)) add(env, index, folder_, n, folder_path + n);
    }
    MemberRecord record;
    std::string why;
    switch (read_record(env, folder_, &record, &why)) {
      case RecordRead::kNone:
        return true;
      case RecordRead::kUnreadable:
        complain("%s%s: cannot be read (%s); the folder is taken as a plain folder",
                 folder_path.c_str(), kRecordName, why.c_str());
        return true;
      case RecordRead::kRead:
        break;
    }
    for (const RecordedMember& m : record.members) {
      const size_t slash = m.path.rfind('/');
      if (slash == std::string::npos) {
        add(env, m.index, folder_, m.path, folder_path + m.path);
        continue;
      }
      const std::string sub = m.path.substr(0, slash);
      auto [it, made] = subfolders_.try_emplace(sub);
      const std::string where = folder_path + platform::native_path(sub);
      if (made && platform::lies_inside(where, folder_path))
        (void)env.open_folder(where, &it->second);
      if (it->second.is_open()) {
        add(env, m.index, it->second, m.path.substr(slash + 1),
            folder_path + platform::native_path(m.path));
      }
    }
    return true;
  }

  const std::map<uint32_t, Member>& members() const { return members_; }

 private:
  // The record's path for an entry takes the place of its member name.
  void add(platform::Env& env, uint32_t index, const platform::Handle& folder,
           const std::string& name, const std::string& path) {
    platform::FileStamp stamp;
    if (env.stamp_at(folder, name, &stamp) != Error::kOk) return;
    members_[index] = {&folder, name, path, stamp.size};
  }

  platform::Handle folder_;
  std::map<std::string, platform::Handle> subfolders_;
  std::map<uint32_t, Member> members_;
};

// Workers read and compress the members; the committing thread appends
// them, and the template's data for entries with none, in index order.
class CreateWork final : public EntryWork {
 public:
  CreateWork(platform::Env& env, const std::vector<const Member*>& members, const PackView* like,
             Compression compression, const PipelineLimits& limits, PackWriter* out,
             Progress* progress)
      : env_(env),
        members_(members),
        like_(like),
        compression_(compression),
        budget_(limits.budget),
        keep_(limits.budget / (limits.workers + 1)),
        out_(out),
        progress_(progress),
        slots_(limits.slots) {
    const Lzo1xEffort effort =
        compression == Compression::kBest ? Lzo1xEffort::kBest : Lzo1xEffort::kFast;
    for (uint32_t i = 0; i <= limits.workers; ++i) encoders_.emplace_back(effort);
  }

  uint64_t cost(uint32_t index) override {
    return members_[index] != nullptr ? members_[index]->size : 0;
  }

  uint64_t prepare(uint32_t index, uint32_t slot, uint32_t worker) override {
    std::optional<MemberPrepared>& s = slots_[slot];
    s.emplace();
    const Member* m = members_[index];
    if (m == nullptr) return 0;
    if (env_.open_for_read(*m->folder, m->name, &s->member, &s->length) != Error::kOk) return 0;
    const uint64_t held = load_member(env_, encoder_for(index, worker), budget_, &*s);
    encoders_[worker].trim(keep_);
    return held;
  }

  bool commit(uint32_t index, uint32_t slot) override {
    std::optional<MemberPrepared>& s = slots_[slot];
    const PakEntry like = template_entry(index);
    const Member* m = members_[index];
    if (m == nullptr) {
      s.reset();
      return copy_from_template(index, like);
    }
    if (s->state == MemberPrepared::kDeferred) {
      const uint32_t here = static_cast<uint32_t>(encoders_.size() - 1);
      s->member.reset();
      (void)env_.open_for_read(*m->folder, m->name, &s->member, &s->length);
      (void)load_member(env_, encoder_for(index, here), ~uint64_t{0}, &*s);
      encoders_[here].trim(keep_);
    }
    PakEntry entry;
    const uint64_t length = s->length;
    if (append_member(env_, &*s, out_->file(), out_->end(), &entry) != GroupResult::kAppended) {
      if (*out_->end() + length >= kPackLimit) {
        complain("%s: %llu bytes would take the pack to 2 GiB, where no offset can point",
                 m->path.c_str(), static_cast<unsigned long long>(length));
      } else {
        complain("%s: could not be read whole and written", m->path.c_str());
      }
      return false;
    }
    s.reset();
    entry.crc1 = like.crc1;
    // A kind the format does not know is read as stored: its member stays
    // of that kind.
    if (in_template(index) && kind_of(like).holds_data && !kind_of(like).compressed) {
      entry.kind = like.kind;
    }
    out_->set(index, entry);
    ++from_members;
    progress_->advance(length);
    return true;
  }

 private:
  bool in_template(uint32_t index) const {
    return like_ != nullptr && index < header_of(like_->dir_image).entry_count;
  }
  PakEntry template_entry(uint32_t index) const {
    return in_template(index) ? entry_of(like_->dir_image, index) : PakEntry{};
  }

  // The encoder for an lzo1x member of entry `index`, or nullptr for a
  // stored one.
  Lzo1xEncoder* encoder_for(uint32_t index, uint32_t worker) {
    if (compression_ == Compression::kNone) return nullptr;
    const PakEntry like = template_entry(index);
    const bool compressed =
        !in_template(index) || !kind_of(like).holds_data || kind_of(like).compressed;
    return compressed ? &encoders_[worker] : nullptr;
  }

  bool copy_from_template(uint32_t index, PakEntry like) {
    if (!in_template(index)) return true;
    if (kind_of(like).holds_data) {
      const uint64_t extent = read_extent(like);
      if (!range_in_file(like.offset, extent, like_->size)) {
        complain(
            "entry %u of the template lies outside its file, and no member file takes its "
            "place",
            index);
        return false;
      }
      if (!out_->append(like_->data() + like.offset, extent, &like)) {
        complain("entry %u of the template could not be copied whole", index);
        return false;
      }
    }
    out_->set(index, like);
    return true;
  }

  platform::Env& env_;
  const std::vector<const Member*>& members_;
  const PackView* like_;
  Compression compression_;
  const uint64_t budget_;
  const uint64_t keep_;
  PackWriter* out_;
  Progress* progress_;
  std::vector<std::optional<MemberPrepared>> slots_;
  std::vector<Lzo1xEncoder> encoders_;

 public:
  uint64_t from_members = 0;
};

// What the command says it made, before the pack is named.
void print_created(const Invocation& in, uint32_t entries, uint64_t members, uint64_t size) {
  if (in.options.json) {
    JsonLine line = summary_json("create", in.pack);
    line.string("folder", in.folder);
    if (!in.options.like.empty()) line.string("like", platform::full_path(in.options.like));
    print_out(line.number("entries", entries)
                  .number("members", members)
                  .number("file_size", size)
                  .text());
    return;
  }
  std::printf("Created %s: %u entries, %llu from member files, %llu bytes\n", in.pack.c_str(),
              entries, static_cast<unsigned long long>(members),
              static_cast<unsigned long long>(size));
}

}  // namespace

int create_command(platform::Env& env, const Invocation& in) {
  const std::string& pak_path = in.pack;
  // Whether a pack that is there already is replaced.
  const bool replacing = in.options.overwrite;
  platform::Handle pack_folder;
  std::string name;
  if (!place_for_new_file(env, pak_path, replacing, &pack_folder, &name)) return -1;
  std::optional<PackView> like;
  if (!in.options.like.empty()) {
    like.emplace();
    if (!open_pack_to_read(env, platform::full_path(in.options.like), &*like)) return -1;
  }
  MemberFiles files;
  if (!files.find(env, in.folder)) return -1;
  uint64_t count = like ? header_of(like->dir_image).entry_count : 0;
  if (!files.members().empty())
    count = std::max(count, uint64_t{files.members().rbegin()->first} + 1);
  if (directory_end(static_cast<uint32_t>(std::min<uint64_t>(count, ~uint32_t{0}))) >= kPackLimit) {
    complain("%s: a member of entry %llu would take the directory past 2 GiB", in.folder.c_str(),
             static_cast<unsigned long long>(count - 1));
    return -1;
  }
  const auto entries = static_cast<uint32_t>(count);
  std::vector<const Member*> members(entries, nullptr);
  uint64_t bytes = 0;
  for (const auto& [index, m] : files.members()) {
    members[index] = &m;
    bytes += m.size;
  }
  static const uint8_t kNoLead[kLeadBytesSize] = {};
  PackWriter out(env, pack_folder, name, like ? header_of(like->dir_image).lead_bytes : kNoLead,
                 entries);
  if (const Error e = out.create(); e != Error::kOk) {
    complain("cannot create %s: %s", pak_path.c_str(), platform::reason(e));
    return -1;
  }
  const PipelineLimits limits = pipeline_limits(in.options.jobs);
  Progress progress(in.options.progress, files.members().size(), bytes);
  CreateWork work(env, members, like ? &*like : nullptr, in.options.compression, limits, &out,
                  &progress);
  const bool ok = run_in_order(work, entries, limits);
  progress.clear();
  if (!ok) {
    complain("%s was not created", pak_path.c_str());
    return -1;
  }
  if (const Error e = out.finish(); e != Error::kOk) {
    complain("cannot write %s: %s; it was not created", pak_path.c_str(), platform::reason(e));
    return -1;
  }
  // The line goes out before the pack is named: exit 0 then means made.
  print_created(in, entries, work.from_members, *out.end());
  if (!platform::flush_output()) return -1;
  platform::hold_interruptions();
  if (const Error e = out.name(replacing); e != Error::kOk) {
    complain("cannot name %s: %s; it was not created", pak_path.c_str(),
             e == Error::kExists ? "something came to be there meanwhile" : platform::reason(e));
    return -1;
  }
  if (out.sync_name() != Error::kOk) {
    complain("warning: the name of %s may not be durable", pak_path.c_str());
  }
  return 0;
}

}  // namespace radodaro
