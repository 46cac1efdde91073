#include "commands/output.h"

#include "commands/open_pack.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "pak/entry_kind.h"
#include "platform/console.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace radodaro {

namespace {

// The progress line now drawn, if any: whatever else is printed clears it.
Progress* g_drawn = nullptr;

void clear_progress() {
  if (g_drawn != nullptr) g_drawn->clear();
}

std::string quoted(const std::string& value) {
  std::string q = "\"";
  for (const char c : value) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      q.push_back('\\');
      q.push_back(c);
    } else if (u < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
      q.append(escaped);
    } else {
      q.push_back(c);
    }
  }
  q.push_back('"');
  return q;
}

std::string mib(uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
  return text;
}

}  // namespace

// NOLINTNEXTLINE(cert-dcl50-cpp)
void complain(const char* format, ...) {
  clear_progress();
  // Whole, however long the paths in it.
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string line(length > 0 ? static_cast<size_t>(length) : 0, '\0');
  if (length > 0) std::vsnprintf(line.data(), line.size() + 1, format, again);
  va_end(again);
  std::fprintf(stderr, "radodaro: %s\n", line.c_str());
}

void print_out(const std::string& text) {
  if (text.empty()) return;
  clear_progress();
  std::fputs(text.c_str(), stdout);
}

bool load_names(platform::Env& env, const std::string& list_path, uint32_t entry_count,
                MemberNames* names) {
  const std::string full = platform::full_path(list_path);
  platform::Handle folder;
  platform::Handle file;
  uint64_t size = 0;
  platform::Error e = env.open_folder(platform::folder_of(full), &folder);
  if (e == platform::Error::kOk)
    e = env.open_for_read(folder, platform::name_of(full), &file, &size);
  if (e == platform::Error::kOk && size > (uint64_t{64} << 20)) e = platform::Error::kNoMemory;
  std::string text(e == platform::Error::kOk ? size : 0, '\0');
  uint64_t got = 0;
  if (e == platform::Error::kOk)
    e = env.read_at(file, reinterpret_cast<uint8_t*>(text.data()), size, 0, &got);
  if (e == platform::Error::kOk && got != size) e = platform::Error::kIo;
  if (e != platform::Error::kOk) {
    complain("cannot read %s: %s", full.c_str(), platform::reason(e));
    return false;
  }
  std::string why;
  if (!names->read(text, &why) || !names->fits(entry_count, &why)) {
    complain("%s: %s", full.c_str(), why.c_str());
    return false;
  }
  return true;
}

bool selection_fits(const EntrySelection& selection, const std::vector<uint8_t>& dir_image) {
  std::string why;
  if (selection.fits(header_of(dir_image).entry_count, &why)) return true;
  complain("--only: %s", why.c_str());
  return false;
}

bool open_pack_to_read(platform::Env& env, const std::string& pak_path, PackView* pack) {
  PackOpenFailure failure;
  if (open_pack(env, pak_path, pack, &failure, say)) return true;
  if (failure.bad) {
    complain("%s: not a pack: too short for its header and directory", pak_path.c_str());
  } else {
    complain("cannot open %s: %s", pak_path.c_str(), platform::reason(failure.error));
  }
  return false;
}

bool place_for_new_file(platform::Env& env, const std::string& path, bool overwrite,
                        platform::Handle* folder, std::string* name) {
  const std::string folder_path = platform::folder_of(path);
  *name = platform::name_of(path);
  if (const platform::Error e = env.open_folder(folder_path, folder); e != platform::Error::kOk) {
    complain("%s: %s", folder_path.c_str(), platform::reason(e));
    return false;
  }
  const platform::Error there = env.regular_file_at(*folder, *name);
  if (there == platform::Error::kNotFound || (overwrite && there == platform::Error::kOk)) {
    return true;
  }
  complain(
      "%s is there already; nothing was written%s", path.c_str(),
      overwrite ? " (--overwrite replaces a regular file only)" : " (--overwrite replaces it)");
  return false;
}

void JsonLine::key(const char* key) {
  if (text_.size() > 1) text_.push_back(',');
  text_.append(quoted(key)).push_back(':');
}

JsonLine& JsonLine::string(const char* key, const std::string& value) {
  this->key(key);
  text_.append(quoted(value));
  return *this;
}

JsonLine& JsonLine::number(const char* key, uint64_t value) {
  this->key(key);
  text_.append(std::to_string(value));
  return *this;
}

JsonLine& JsonLine::flag(const char* key, bool value) {
  this->key(key);
  text_.append(value ? "true" : "false");
  return *this;
}

JsonLine& JsonLine::hex(const char* key, uint32_t value) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%08X", value);
  return string(key, digits);
}

JsonLine& JsonLine::strings(const char* key, const std::vector<std::string>& values) {
  this->key(key);
  text_.push_back('[');
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) text_.push_back(',');
    text_.append(quoted(values[i]));
  }
  text_.push_back(']');
  return *this;
}

JsonLine summary_json(const char* command, const std::string& pak_path) {
  JsonLine line;
  line.string("type", "summary")
      .number("schema", kJsonSchema)
      .string("command", command)
      .string("pack", pak_path);
  return line;
}

JsonLine entry_json(uint32_t index, const PakEntry& entry) {
  const char* kind = kind_name(entry.kind);
  JsonLine line;
  line.string("type", "entry")
      .number("index", index)
      .string("member", member_name(index))
      .string("kind", kind != nullptr ? kind : "other")
      .number("kind_code", entry.kind)
      .number("unpacked", entry.unpacked_size)
      .number("packed", entry.packed_size)
      .number("offset", entry.offset)
      .hex("crc1", entry.crc1)
      .hex("crc2", entry.crc2);
  return line;
}

Progress::Progress(ProgressMode mode, uint64_t entries, uint64_t bytes, const char* unit)
    : start_(std::chrono::steady_clock::now()), entries_(entries), bytes_(bytes), unit_(unit) {
  if (mode == ProgressMode::kOff) return;
  if (mode == ProgressMode::kOn) {
    enabled_ = true;
    delay_ = std::chrono::milliseconds(0);
    return;
  }
  enabled_ = platform::error_output_is_terminal();
  if (const char* after = std::getenv("RADODARO_PROGRESS_AFTER")) {
    delay_ = std::chrono::milliseconds(std::strtoul(after, nullptr, 10));
  }
}

Progress::~Progress() { clear(); }

void Progress::advance(uint64_t bytes) {
  ++entries_done_;
  bytes_done_ += bytes;
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - start_ < delay_) return;
  // A few times a second is enough to read, and costs nothing: at most
  // five, whatever clears the line in between.
  if (drawn_ && now - drawn_at_ < kRedrawEvery) return;
  draw(now);
}

void Progress::draw(std::chrono::steady_clock::time_point now) {
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const double rate = seconds > 0 ? static_cast<double>(bytes_done_) / seconds : 0;
  std::string line = std::to_string(entries_done_) + "/" + std::to_string(entries_) + " " + unit_ +
                     ", " + mib(bytes_done_) + " of " + mib(bytes_);
  if (rate > 0) {
    line.append(", ").append(mib(static_cast<uint64_t>(rate))).append("/s");
    const uint64_t to_go = bytes_done_ < bytes_ ? bytes_ - bytes_done_ : 0;
    const auto left = static_cast<uint64_t>(static_cast<double>(to_go) / rate);
    char eta[32];
    std::snprintf(eta, sizeof eta, ", %llu:%02llu left", static_cast<unsigned long long>(left / 60),
                  static_cast<unsigned long long>(left % 60));
    line.append(eta);
  }
  // Spaces over whatever a longer line before left.
  const size_t length = line.size();
  if (length < shown_) line.append(shown_ - length, ' ');
  std::fprintf(stderr, "\r%s\r", line.c_str());
  std::fflush(stderr);
  shown_ = length;
  platform::set_drawn_line(length);
  drawn_at_ = now;
  drawn_ = true;
  g_drawn = this;
}

void Progress::clear() {
  if (g_drawn == this) g_drawn = nullptr;
  if (shown_ == 0) return;
  std::fprintf(stderr, "\r%s\r", std::string(shown_, ' ').c_str());
  std::fflush(stderr);
  shown_ = 0;
  platform::set_drawn_line(0);
}

}  // namespace radodaro
