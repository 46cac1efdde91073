#include "commands/expand.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "commands/invocation.h"
#include "commands/output.h"
#include "pak/checksums.h"
#include "pak/content_type.h"
#include "pak/entry_check.h"
#include "pak/entry_kind.h"
#include "pak/entry_pipeline.h"
#include "pak/member_record.h"
#include "platform/console.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace radodaro {

namespace {

void print_checksums(const PakEntry& entry, uint32_t sum) {
  std::printf("CRC1 = %08X\t CRC2= %08X\t SUMM=%08X\n", entry.crc1, entry.crc2, sum);
}

constexpr char kCantWrite[] = "Can't write file %s\n";
constexpr char kBadEntry[] = "Bad entry %s\n";
constexpr char kExists[] = "File %s alredy exists\n";

// Says why the member could not be written, ending the line that "Unpacked
// file " began first. Existing files get their key wait.
void report(const std::string& path, bool line_begun, const char* message) {
  if (line_begun) std::fputc('\n', stdout);
  std::printf(message, path.c_str());
  if (message == kExists) {
    (void)platform::flush_output();
    platform::wait_for_key();
  }
}

// Appends the `n` mapped bytes of the pack at `data` to `file`, and adds
// their sum, read again once they are written, to `*sum`. `*whole` is false
// when the pack lost them under us: another thread's read may have found
// that first and put zeros in their place. A pack cut inside a page reads
// as zeros past its end without any fault, so the caller compares `*sum`
// with the sum its entry was read with.
platform::Error append_mapped(platform::NewFile* file, const uint8_t* data, uint64_t n,
                              uint32_t* sum, bool* whole) {
  platform::Error e = platform::Error::kOk;
  *whole = platform::read_mapped(data, n, [&] {
    e = file->append(data, n);
    *sum += sum32(data, n);
  });
  return e;
}

// How far writing one member file got: the one writer of /e and --expand,
// which each say it in their own words.
struct MemberWrite {
  enum class Step {
    kOutside,        // the entry's data lies past the end of the file
    kThere,          // something is at the name already
    kCannotLook,     // whether something is at the name cannot be told (`error`)
    kCannotCreate,   // the new file could not be made (`error`)
    kNotRead,        // the data could not be read whole: `verdict.read` says why
    kCannotWrite,    // writing it failed (`error`)
    kThereAtNaming,  // something came to be at the name meanwhile
    kCannotName,     // it could not be given its name (`error`)
    kWritten,
  };
  Step step = Step::kOutside;
  platform::Error error = platform::Error::kOk;
  EntryVerdict verdict;  // from kNotRead on
};

// Appends the content of the non-skipped `entry`, read whole into
// `prepared`, to `file`. False when that failed, `w` then saying why: a
// write (kCannotWrite), or the pack cut short since it was read.
bool write_content(platform::NewFile* file, const PakEntry& entry, const PackView& pack,
                   const PreparedEntry& prepared, MemberWrite* w) {
  if (kind_of(entry).compressed) {
    w->error = file->append(prepared.decoded.data, entry.unpacked_size);
    w->step = MemberWrite::Step::kCannotWrite;
    return w->error == platform::Error::kOk;
  }
  const uint8_t* data = pack.data() + entry.offset;
  uint32_t sum = 0;
  for (uint64_t done = 0; done < entry.unpacked_size;) {
    const uint64_t n = std::min(entry.unpacked_size - done, kStoredChunk);
    // The bytes were read once already; a pack cut short since shows here.
    bool whole = false;
    const platform::Error e = append_mapped(file, data + done, n, &sum, &whole);
    if (!whole) {
      w->verdict.read = EntryVerdict::Read::kCutShort;
      return false;
    }
    if (e != platform::Error::kOk) {
      w->step = MemberWrite::Step::kCannotWrite;
      w->error = e;
      return false;
    }
    done += n;
  }
  // What was written is not what was read: the pack changed under us.
  if (sum != prepared.stored_sum) {
    w->verdict.read = EntryVerdict::Read::kCutShort;
    return false;
  }
  return true;
}

// An entry made ready for its member file ahead of its turn, on a worker:
// checked, and where it could be, its content written whole into a new
// file that nobody can see under the member's name yet. Naming it is the
// committing thread's alone.
struct ReadyMember {
  bool checked = false;  // `verdict` is check_entry()'s
  EntryVerdict verdict;
  std::unique_ptr<platform::NewFile> file;  // written whole, or nullptr
};

// Writes the non-skipped, prepared `entry` as the member file `name` of
// `folder`: whole under a name of its own, or with `overwrite` over a
// regular file there. What is at the name already is found before the
// member is named, a link counts wherever it leads; with `overwrite`, what
// may be replaced is told only as the member takes the name. `ready`, if
// not nullptr, is what a worker did for it already. From the naming on,
// `*naming` holds interruptions until the caller has said so.
MemberWrite write_member_file(platform::Env& env, const OutputFolder& folder,
                              const std::string& name, const PakEntry& entry, const PackView& pack,
                              const PreparedEntry& prepared, bool overwrite, ReadyMember* ready,
                              std::optional<platform::InterruptsDeferred>* naming) {
  using Step = MemberWrite::Step;
  MemberWrite w;
  if (!range_in_file(entry.offset, read_extent(entry), pack.size)) return w;
  // What a worker wrote goes, unnamed, when the member is not written.
  std::unique_ptr<platform::NewFile> file;
  if (ready != nullptr) file = std::move(ready->file);
  const platform::Error there = overwrite ? platform::Error::kNotFound : folder.look_up(env, name);
  if (there != platform::Error::kNotFound) {
    w.step = there == platform::Error::kOk ? Step::kThere : Step::kCannotLook;
    w.error = there;
    return w;
  }
  const bool written = file != nullptr;
  if (!written) {
    file = std::make_unique<platform::NewFile>(env, folder.handle, name);
    // Where a new file takes its name at once, one that appeared since the
    // look shows here.
    if (const platform::Error e = file->create(/*beside=*/overwrite); e != platform::Error::kOk) {
      w.step = e == platform::Error::kExists ? Step::kThere : Step::kCannotCreate;
      w.error = e;
      return w;
    }
  }
  w.verdict = ready != nullptr && ready->checked ? std::move(ready->verdict)
                                                 : check_entry(entry, pack.size, prepared);
  w.step = Step::kNotRead;
  if (w.verdict.read != EntryVerdict::Read::kWhole) return w;
  if (!written && !write_content(file.get(), entry, pack, prepared, &w)) return w;
  naming->emplace();
  const platform::Error e = overwrite ? file->commit_replacing() : file->commit();
  if (e != platform::Error::kOk) {
    naming->reset();
    w.step = e == platform::Error::kExists ? Step::kThereAtNaming : Step::kCannotName;
    w.error = e;
    return w;
  }
  w.step = Step::kWritten;
  return w;
}

// The most member files that workers hold written and unnamed at once:
// each is an open file of the process.
constexpr int kMostReady = 128;

// What a worker can do ahead for the member `name` of `folder`, whose
// entry it prepared: check it, and unless something is at the name (or,
// with `overwrite`, in any case) write its content into a new file.
// Whatever fails here is left for the member's turn, which says so.
void make_ready(platform::Env& env, const OutputFolder& folder, const std::string& name,
                const PakEntry& entry, const PackView& pack, const PreparedEntry& prepared,
                bool overwrite, std::atomic<int>* files_ready, ReadyMember* ready) {
  ready->verdict = check_entry(entry, pack.size, prepared);
  ready->checked = true;
  if (ready->verdict.read != EntryVerdict::Read::kWhole) return;
  if (!overwrite && folder.look_up(env, name) != platform::Error::kNotFound) return;
  if (files_ready->fetch_add(1) >= kMostReady) {
    --*files_ready;
    return;
  }
  auto file = std::make_unique<platform::NewFile>(env, folder.handle, name);
  MemberWrite w;
  w.verdict.read = EntryVerdict::Read::kWhole;
  if (file->create(/*beside=*/overwrite) == platform::Error::kOk &&
      write_content(file.get(), entry, pack, prepared, &w)) {
    ready->file = std::move(file);
    return;
  }
  // A pack cut short since it was read stays so at the member's turn.
  if (w.verdict.read != EntryVerdict::Read::kWhole) ready->verdict.read = w.verdict.read;
  --*files_ready;
}

// make_ready() for a stored entry, in one pass: its bytes are read from the
// pack file into `*chunk` a piece at a time, summed there and written from
// there, so the sum is that of the very bytes written. A read is a copy
// inside the system; through the mapping every page costs a fault and
// misses of its own, which made the sums of large members slower than
// writing them. True once `*prepared` holds what prepare_entry() would
// have found (its verdict in `*ready`); false, with nothing done, where
// the member could not be written ahead: the mapping's way then takes over.
bool make_ready_stored(platform::Env& env, const OutputFolder& folder, const std::string& name,
                       const PakEntry& entry, const PackView& pack, bool overwrite,
                       std::atomic<int>* files_ready, std::vector<uint8_t>* chunk,
                       PreparedEntry* prepared, ReadyMember* ready) {
  if (!overwrite && folder.look_up(env, name) != platform::Error::kNotFound) return false;
  if (files_ready->fetch_add(1) >= kMostReady) {
    --*files_ready;
    return false;
  }
  auto file = std::make_unique<platform::NewFile>(env, folder.handle, name);
  if (file->create(/*beside=*/overwrite) != platform::Error::kOk) {
    --*files_ready;
    return false;
  }
  chunk->resize(static_cast<size_t>(kStoredChunk));
  uint32_t sum = 0;
  uint64_t done = 0;
  while (done < entry.unpacked_size) {
    // As prepare_entry() reads: whole pieces, each but the last a whole
    // number of words; one the pack lost under us ends the read.
    const uint64_t n = std::min(entry.unpacked_size - done, kStoredChunk);
    uint64_t got = 0;
    if (env.read_at(pack.map.file, chunk->data(), n, entry.offset + done, &got) !=
            platform::Error::kOk ||
        got != n) {
      break;
    }
    if (file->append(chunk->data(), n) != platform::Error::kOk) {
      --*files_ready;
      return false;
    }
    sum += sum32(chunk->data(), n);
    done += n;
  }
  prepared->stored_sum = sum;
  prepared->read_whole = done;
  ready->verdict = check_entry(entry, pack.size, *prepared);
  ready->checked = true;
  if (ready->verdict.read != EntryVerdict::Read::kWhole) {
    --*files_ready;
    return true;
  }
  ready->file = std::move(file);
  return true;
}

}  // namespace

void OutputFolder::open(platform::Env& env, const std::string& path) {
  if (env.open_folder(path, &handle) != platform::Error::kOk) return;
  std::vector<std::string> all;
  listed = env.list_folder(handle, &all) == platform::Error::kOk;
  if (listed) names.insert(all.begin(), all.end());
}

platform::Error OutputFolder::look_up(platform::Env& env, const std::string& name) const {
  if (!listed) return env.look_up(handle, name);
  return names.contains(name) ? platform::Error::kOk : platform::Error::kNotFound;
}

namespace {

// /e of one prepared entry, which a worker may have made `ready`.
void expand_member(platform::Env& env, const OutputFolder& folder, const std::string& name,
                   const std::string& path, const PakEntry& entry, const PackView& pack,
                   const PreparedEntry& prepared, ReadyMember* ready) {
  using Step = MemberWrite::Step;
  std::optional<platform::InterruptsDeferred> naming;
  const MemberWrite w = write_member_file(env, folder, name, entry, pack, prepared,
                                          /*overwrite=*/false, ready, &naming);
  switch (w.step) {
    case Step::kOutside:
      std::printf(kBadEntry, path.c_str());
      return;
    case Step::kThere:
      report(path, false, kExists);
      return;
    case Step::kCannotLook:
    case Step::kCannotCreate:
      std::printf("Can't create file %s\n", path.c_str());
      return;
    default:
      break;
  }
  // The lines that /e prints as it writes, in the order it printed them.
  const bool lzo1x = kind_of(entry).compressed;
  const bool line_begun = !lzo1x;
  if (lzo1x) {
    if (w.verdict.read != EntryVerdict::Read::kWhole) {
      report(path, false, w.verdict.read == EntryVerdict::Read::kNoMemory ? kCantWrite : kBadEntry);
      return;
    }
    if (prepared.decoded.unpack_error()) std::fputs("Error unpacking\n", stdout);
  } else {
    if (entry.unpacked_size != entry.packed_size || !kind_of(entry).sizes_agree) {
      std::fputs("Warning!!!! unpacked flag not set!\n", stdout);
    }
    std::fputs("Unpacked file ", stdout);
    if (w.verdict.read != EntryVerdict::Read::kWhole) {
      report(path, true, kBadEntry);
      return;
    }
  }
  if (w.step != Step::kWritten) {
    report(path, line_begun, w.step == Step::kThereAtNaming ? kExists : kCantWrite);
    return;
  }
  print_checksums(entry, w.verdict.sum);
  if (lzo1x) print_checksums(entry, w.verdict.packed_sum);
  std::printf("%s\n", path.c_str());
}

}  // namespace

void expand_entry(platform::Env& env, const OutputFolder& folder, const std::string& name,
                  const std::string& path, const PakEntry& entry, const PackView& pack,
                  const PreparedEntry& prepared) {
  expand_member(env, folder, name, path, entry, pack, prepared, nullptr);
}

void expand_entry(platform::Env& env, const OutputFolder& folder, const std::string& name,
                  const std::string& path, const PakEntry& entry, const PackView& pack,
                  DecodeBuffer* buffer) {
  PreparedEntry prepared;
  prepare_entry(env, entry, pack, buffer, &prepared);
  expand_entry(env, folder, name, path, entry, pack, prepared);
}

namespace {

// What became of one entry of --expand.
struct MemberOutcome {
  const char* status = "error";       // "written", "exists", "skipped" or "error"
  std::vector<std::string> problems;  // what did not check, or why it is not there
  bool summed = false;                // `sum` is the sum of its content
  uint32_t sum = 0;
  bool packed_summed = false;  // lzo1x: `packed_sum` is the sum of its packed bytes
  uint32_t packed_sum = 0;
};

// Says on stderr why the member at `path` is not there, and keeps it.
void not_written(MemberOutcome* out, const std::string& path, const std::string& why) {
  complain("%s: %s", path.c_str(), why.c_str());
  out->problems.push_back(why);
}

void cannot(MemberOutcome* out, const char* what, const std::string& path, platform::Error e) {
  complain("cannot %s %s: %s", what, path.c_str(), platform::reason(e));
  out->problems.push_back(std::string("cannot ") + what + ": " + platform::reason(e));
}

void exists(MemberOutcome* out, const std::string& path, bool skip_existing) {
  out->status = "exists";
  if (skip_existing) return;
  complain("%s: exists; left as it is (--overwrite replaces it)", path.c_str());
  out->problems.emplace_back("exists");
}

// --expand of one prepared entry, said on stderr when anything is wrong.
MemberOutcome write_member(platform::Env& env, const OutputFolder& folder, const std::string& name,
                           const std::string& path, const PakEntry& entry, const PackView& pack,
                           const PreparedEntry& prepared, bool overwrite, bool skip_existing,
                           ReadyMember* ready) {
  using Step = MemberWrite::Step;
  MemberOutcome out;
  if (!kind_of(entry).holds_data) {
    out.status = "skipped";
    return out;
  }
  std::optional<platform::InterruptsDeferred> naming;
  MemberWrite w =
      write_member_file(env, folder, name, entry, pack, prepared, overwrite, ready, &naming);
  switch (w.step) {
    case Step::kOutside:
      not_written(&out, path, "not written: " + outside_problem(entry));
      return out;
    case Step::kThere:
      exists(&out, path, skip_existing);
      return out;
    case Step::kCannotLook:
    case Step::kCannotCreate:
      cannot(&out, "create", path, w.error);
      return out;
    default:
      break;
  }
  switch (w.verdict.read) {
    case EntryVerdict::Read::kWhole:
    case EntryVerdict::Read::kOutside:  // found above
      break;
    case EntryVerdict::Read::kNoMemory:
      cannot(&out, "decode", path, platform::Error::kNoMemory);
      return out;
    case EntryVerdict::Read::kCutShort:
      not_written(&out, path, "not written: the pack was cut short while it was read");
      return out;
  }
  out.summed = w.verdict.summed;
  out.sum = w.verdict.sum;
  out.packed_summed = w.verdict.packed_summed;
  out.packed_sum = w.verdict.packed_sum;
  switch (w.step) {
    case Step::kCannotWrite:
      cannot(&out, "write", path, w.error);
      return out;
    case Step::kThereAtNaming:
      exists(&out, path, skip_existing);
      return out;
    case Step::kCannotName:
      cannot(&out, overwrite && w.error == platform::Error::kNotRegular ? "replace" : "create",
             path, w.error);
      return out;
    default:
      break;
  }
  out.status = "written";
  for (const std::string& p : w.verdict.problems) complain("%s: %s", path.c_str(), p.c_str());
  out.problems = std::move(w.verdict.problems);
  return out;
}

}  // namespace

namespace {

// /e on the pipeline: workers decode and checksum, the committing thread
// names the member files and prints, in index order.
class ExpandWork final : public EntryWork {
 public:
  // `options` nullptr: /e, as it always was.
  ExpandWork(platform::Env& env, const PackView& pack, const std::string& folder_path,
             const PipelineLimits& limits, const ExpandOptions* options, Progress* progress)
      : env_(env),
        pack_(pack),
        folder_path_(folder_path),
        options_(options),
        progress_(progress),
        buffers_(limits.budget),
        chunks_(limits.workers + 1),
        slots_(limits.slots) {}

  bool selected(uint32_t index) const {
    return options_ == nullptr || options_->selection.contains(index);
  }

  uint64_t cost(uint32_t index) override {
    const PakEntry entry = entry_of(pack_.dir_image, index);
    return kind_of(entry).compressed && selected(index) ? entry.unpacked_size : 0;
  }

  uint64_t prepare(uint32_t index, uint32_t slot, uint32_t worker) override {
    Slot& s = slots_[slot];
    s.prepared = PreparedEntry();
    s.ready = ReadyMember();
    if (!selected(index)) return 0;
    const PakEntry entry = entry_of(pack_.dir_image, index);
    const EntryKind& kind = kind_of(entry);
    const bool overwrite = options_ != nullptr && options_->overwrite;
    // Members of the folder itself are written here, once it is there;
    // those of folders on their way (--names) wait for their turn, which
    // makes the folders in order.
    const auto ahead = [&](const std::string& name) {
      return kind.holds_data && range_in_file(entry.offset, read_extent(entry), pack_.size) &&
             folder_ready_.load() && name.find('/') == std::string::npos;
    };
    // A stored member is read and written in one pass, unless its type is
    // guessed from its content first.
    if (!kind.compressed && (options_ == nullptr || !options_->guess_types)) {
      const std::string name =
          options_ != nullptr ? (s.relative = relative_path(index, entry, s)) : member_name(index);
      if (ahead(name) &&
          make_ready_stored(env_, folder_, name, entry, pack_, overwrite, &files_ready_,
                            &chunks_[worker], &s.prepared, &s.ready)) {
        return 0;
      }
    }
    if (kind.compressed) s.buffer = buffers_.take();
    prepare_entry(env_, entry, pack_, s.buffer.get(), &s.prepared);
    if (options_ != nullptr) s.relative = relative_path(index, entry, s);
    const std::string& name = options_ != nullptr ? s.relative : member_name(index);
    if (ahead(name)) {
      make_ready(env_, folder_, name, entry, pack_, s.prepared, overwrite, &files_ready_, &s.ready);
    }
    return s.prepared.decoded.data != nullptr ? entry.unpacked_size : 0;
  }

  bool commit(uint32_t index, uint32_t slot) override {
    Slot& s = slots_[slot];
    if (!selected(index)) return true;
    const PakEntry entry = entry_of(pack_.dir_image, index);
    const bool ready = s.ready.file != nullptr;
    if (options_ != nullptr) {
      commit_modern(index, entry, s);
    } else if (kind_of(entry).holds_data) {
      const std::string name = member_name(index);
      const std::string path = folder_path_ + name;
      // Every member file lies in the same folder, so one walk serves them
      // all, and the folder, once open, spares each member a path lookup.
      if (!folder_made_) {
        (void)platform::make_folder_chain(env_, path);
        folder_.open(env_, folder_path_);
        folder_made_ = true;
        // From here on workers may write members into it.
        folder_ready_ = folder_.handle.is_open();
      }
      expand_member(env_, folder_, name, path, entry, pack_, s.prepared, &s.ready);
      if (range_in_file(entry.offset, read_extent(entry), pack_.size)) {
        read_behind_.done(entry.offset, read_extent(entry));
      }
    }
    // Named or gone by now.
    s.ready = ReadyMember();
    if (ready) --files_ready_;
    buffers_.give(std::move(s.buffer));
    return true;
  }

  // --expand: how many entries were written and checked, and how many not.
  uint64_t written = 0;
  uint64_t existing = 0;                 // with --skip-existing: members passed over
  std::vector<RecordedMember> recorded;  // the members written, as they are
  uint64_t failed = 0;

 private:
  struct Slot;

  // The folder `relative` of the member folder, made (with those on the
  // way) and opened the first time a member needs it; never one that a
  // link leads out of the member folder.
  const OutputFolder& subfolder(const std::string& relative) {
    auto [it, made] = subfolders_.try_emplace(relative);
    if (!made) return it->second;
    // Made a level at a time, each only once the one above it is seen to
    // lie inside the member folder: nothing is made through a link.
    for (size_t at = 0; at <= relative.size();) {
      const size_t slash = std::min(relative.find('/', at), relative.size());
      const std::string where = folder_path_ + platform::native_path(relative.substr(0, slash));
      (void)env_.make_folder(where);
      if (!platform::lies_inside(where, folder_path_)) {
        refused_.insert(relative);
        return it->second;
      }
      at = slash + 1;
    }
    it->second.open(env_, folder_path_ + platform::native_path(relative));
    return it->second;
  }

  // --guess-types: the extension that the content of `entry` calls for,
  // or nullptr, from the bytes read for it (what the pack lost under the
  // read is never looked at).
  const char* guessed(const PakEntry& entry, const Slot& s) const {
    const uint64_t size = entry.unpacked_size;
    const uint8_t* data = nullptr;
    if (kind_of(entry).compressed) {
      if (s.prepared.decoded.data != nullptr && s.prepared.decoded.read) {
        data = s.prepared.decoded.data;
      }
    } else if (kind_of(entry).holds_data && s.prepared.read_whole == size &&
               range_in_file(entry.offset, size, pack_.size)) {
      data = pack_.data() + entry.offset;
    }
    if (data == nullptr) return nullptr;
    const uint64_t head = std::min(size, kGuessHead);
    const uint64_t tail = std::min(size, kGuessTail);
    const char* ext = nullptr;
    if (!platform::read_mapped(data, head, data + size - tail, tail, [&] {
          ext = guess_extension(data, head, data + size - tail, tail, size);
        })) {
      return nullptr;
    }
    return ext;
  }

  // --expand: the path under the folder of the member of `entry`, which
  // `s` prepared.
  std::string relative_path(uint32_t index, const PakEntry& entry, const Slot& s) const {
    const bool named = options_->names != nullptr && options_->names->named(index);
    std::string relative = named ? options_->names->path_of(index) : member_name(index);
    if (const char* ext = options_->guess_types && !named ? guessed(entry, s) : nullptr) {
      relative.replace(relative.size() - 3, 3, ext);
    }
    return relative;
  }

  void commit_modern(uint32_t index, const PakEntry& entry, Slot& s) {
    // A member named, and its line, go out together (no key is waited for
    // here).
    const platform::InterruptsDeferred naming;
    // Its path under the folder, and the folder it is named in.
    const std::string& relative = s.relative;
    const size_t slash = relative.rfind('/');
    const std::string name = slash == std::string::npos ? relative : relative.substr(slash + 1);
    const std::string path = folder_path_ + platform::native_path(relative);
    const OutputFolder& folder =
        slash == std::string::npos ? folder_ : subfolder(relative.substr(0, slash));
    MemberOutcome out;
    if (slash != std::string::npos && refused_.contains(relative.substr(0, slash))) {
      not_written(&out, path, "not written: a link on its way leads out of " + folder_path_);
    } else {
      out = write_member(env_, folder, name, path, entry, pack_, s.prepared, options_->overwrite,
                         options_->skip_existing, &s.ready);
    }
    const bool inside = range_in_file(entry.offset, read_extent(entry), pack_.size);
    if (inside) read_behind_.done(entry.offset, read_extent(entry));
    const bool whole = std::strcmp(out.status, "written") == 0;
    if (whole && out.problems.empty()) ++written;
    // What the member file looks like now it is named, for the record.
    if (RecordedMember m{index, relative, {}};
        whole && env_.stamp_at(folder.handle, name, &m.stamp) == platform::Error::kOk) {
      recorded.push_back(std::move(m));
    }
    if (!out.problems.empty()) ++failed;
    if (out.problems.empty() && std::strcmp(out.status, "exists") == 0) ++existing;
    if (options_->json) {
      JsonLine line = entry_json(index, entry);
      line.string("path", path).string("status", out.status);
      if (out.summed) line.hex("sum", out.sum);
      if (out.packed_summed) line.hex("packed_sum", out.packed_sum);
      print_out(line.strings("problems", out.problems).text());
    } else if (options_->verbose && whole) {
      print_out(path + "\n");
    }
    progress_->advance(inside ? read_extent(entry) : 0);
  }

  struct Slot {
    std::unique_ptr<DecodeBuffer> buffer;
    PreparedEntry prepared;
    std::string relative;  // --expand: the member's path under the folder
    ReadyMember ready;
  };

  platform::Env& env_;
  const PackView& pack_;
  const std::string& folder_path_;
  const ExpandOptions* options_;
  Progress* progress_;
  DecodeBufferPool buffers_;
  std::vector<std::vector<uint8_t>> chunks_;        // by worker: stored pieces on their way
  std::atomic<int> files_ready_{0};                 // member files written ahead, not yet named
  std::map<std::string, OutputFolder> subfolders_;  // --names: by relative path
  std::set<std::string> refused_;  // --names: folders that lead out of the member folder
  ReadBehind read_behind_{pack_.data()};

 public:
  bool folder_made_ = false;
  // Set once `folder_` is open (and never changed after): workers write
  // members into it from then on.
  std::atomic<bool> folder_ready_{false};
  OutputFolder folder_;

 private:
  // Last, so that a member written ahead and never named goes before the
  // folder it was written in closes.
  std::vector<Slot> slots_;
};

}  // namespace

namespace {

// Writes the folder's record of `pack` and of the members `written`: with
// those of the record that was there for this same pack, as a resumed run
// finds them. False, said on stderr, when it could not be written.
bool record_members(platform::Env& env, const PackView& pack, const std::string& folder_path,
                    const platform::Handle& folder, std::vector<RecordedMember>* written,
                    const std::string& pak_path) {
  MemberRecord record;
  record.pack = platform::real_path(pak_path);
  record.dir_crc =
      Crc32().crc32(pack.dir_image.data() + kHeaderSize, pack.dir_image.size() - kHeaderSize);
  const auto by_index = [](const RecordedMember& a, const RecordedMember& b) {
    return a.index < b.index;
  };
  // Written in index order already; the record's own members are too.
  const size_t new_ones = written->size();
  MemberRecord before;
  std::string why;
  switch (read_record(env, folder, &before, &why)) {
    case RecordRead::kRead:
      if (before.dir_crc == record.dir_crc) {
        for (const RecordedMember& m : before.members) {
          if (!std::binary_search(written->begin(),
                                  written->begin() + static_cast<std::ptrdiff_t>(new_ones), m,
                                  by_index)) {
            written->push_back(m);
          }
        }
      } else {
        complain("%s%s was made for %s with directory CRC %08X; it now records %s",
                 folder_path.c_str(), kRecordName, before.pack.c_str(), before.dir_crc,
                 record.pack.c_str());
      }
      break;
    case RecordRead::kUnreadable:
      complain("%s%s could not be read (%s), and is replaced", folder_path.c_str(), kRecordName,
               why.c_str());
      break;
    case RecordRead::kNone:
      // A run that wrote nothing leaves no record where there was none.
      if (written->empty()) return true;
      break;
  }
  std::inplace_merge(written->begin(), written->begin() + static_cast<std::ptrdiff_t>(new_ones),
                     written->end(), by_index);
  record.members = std::move(*written);
  if (const platform::Error e = write_record(env, folder, record); e != platform::Error::kOk) {
    complain("cannot write %s%s: %s", folder_path.c_str(), kRecordName, platform::reason(e));
    return false;
  }
  return true;
}

}  // namespace

void run_expand(platform::Env& env, const PackView& pack, const std::string& folder_path,
                uint32_t workers) {
  const PipelineLimits limits = pipeline_limits(workers);
  ExpandWork work(env, pack, folder_path, limits, nullptr, nullptr);
  run_in_order(work, header_of(pack.dir_image).entry_count, limits);
}

int run_expand_command(platform::Env& env, const PackView& pack, const std::string& folder_path,
                       const ExpandOptions& options, uint32_t workers) {
  const uint32_t count = header_of(pack.dir_image).entry_count;
  const PipelineLimits limits = pipeline_limits(workers);
  uint64_t entries = 0;
  uint64_t bytes = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (!options.selection.contains(i)) continue;
    const PakEntry e = entry_of(pack.dir_image, i);
    ++entries;
    if (range_in_file(e.offset, read_extent(e), pack.size)) bytes += read_extent(e);
  }
  Progress progress(options.progress, entries, bytes);
  ExpandWork work(env, pack, folder_path, limits, &options, &progress);
  // The folder is made, and opened once, before anything is written.
  const platform::Error made = platform::make_folder_chain(env, folder_path + "x");
  work.folder_.open(env, folder_path);
  if (!work.folder_.handle.is_open()) {
    const platform::Error e =
        made != platform::Error::kOk ? made : env.open_folder(folder_path, &work.folder_.handle);
    complain("cannot create %s: %s", folder_path.c_str(), platform::reason(e));
    return -1;
  }
  work.folder_made_ = true;
  work.folder_ready_ = true;
  run_in_order(work, count, limits);
  progress.clear();
  const bool recorded =
      record_members(env, pack, folder_path, work.folder_.handle, &work.recorded, options.pak_path);
  if (options.json) {
    JsonLine summary = summary_json("expand", options.pak_path);
    summary.string("folder", folder_path)
        .number("entries", entries)
        .number("written", work.written)
        .number("existing", work.existing)
        .number("failed", work.failed);
    print_out(summary.text());
  }
  return work.failed == 0 && recorded ? 0 : 1;
}

int expand_command(platform::Env& env, const Invocation& in) {
  MemberNames names;
  if (!in.options.names.empty() &&
      !load_names(env, in.options.names, header_of(in.view.dir_image).entry_count, &names)) {
    return -1;
  }
  ExpandOptions options;
  if (!in.options.names.empty()) options.names = &names;
  options.verbose = in.options.verbose;
  options.json = in.options.json;
  options.overwrite = in.options.overwrite;
  options.progress = in.options.progress;
  options.selection = in.options.selection;
  options.skip_existing = in.options.skip_existing;
  options.guess_types = in.options.guess_types;
  options.pak_path = in.pack;
  if (in.options.quiet) {
    options.verbose = false;
    options.progress = ProgressMode::kOff;
  }
  return run_expand_command(env, in.view, in.folder, options, in.options.jobs);
}

}  // namespace radodaro
