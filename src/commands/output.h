// What the "--" commands print: diagnostics on stderr, JSON Lines for
// scripts, and the progress line on a terminal. /e and /p print nothing
// through here.
#ifndef RADODARO_COMMANDS_OUTPUT_H_
#define RADODARO_COMMANDS_OUTPUT_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "pak/entry_selection.h"
#include "pak/member_names.h"
#include "pak/pack_reader.h"
#include "pak/pak_format.h"
#include "platform/files.h"

namespace radodaro {

// "radodaro: " and the formatted text, as one line on stderr; a progress
// line on the terminal is cleared first.
// NOLINTNEXTLINE(cert-dcl50-cpp)
__attribute__((format(printf, 1, 2))) void complain(const char* format, ...);

// Text for stdout; a progress line on the same terminal is cleared first.
void print_out(const std::string& text);

// Opens the pack to read it, as open_pack() does; on failure says why on
// stderr: "radodaro: cannot open PACK: reason".
bool open_pack_to_read(platform::Env& env, const std::string& pak_path, PackView* pack);

// Opens the folder where the run is to create the file `path`, and gives
// the file's name there; says on stderr why not, or that something is at
// that name already, unless it is a regular file and `overwrite` allows
// its replacement. (Naming the file checks again.)
bool place_for_new_file(platform::Env& env, const std::string& path, bool overwrite,
                        platform::Handle* folder, std::string* name);

// Whether every entry that `selection` names is in the directory
// `dir_image`; says on stderr what is not.
bool selection_fits(const EntrySelection& selection, const std::vector<uint8_t>& dir_image);

// Reads the list of names at `list_path` for a pack of `entry_count`
// entries; says on stderr why not ("radodaro: LIST: line 3: ...").
bool load_names(platform::Env& env, const std::string& list_path, uint32_t entry_count,
                MemberNames* names);

// One JSON object on one line, its fields in the order added.
class JsonLine {
 public:
  JsonLine& string(const char* key, const std::string& value);
  JsonLine& number(const char* key, uint64_t value);
  JsonLine& flag(const char* key, bool value);
  // Eight upper-case hexadecimal digits, as the text output shows them.
  JsonLine& hex(const char* key, uint32_t value);
  JsonLine& strings(const char* key, const std::vector<std::string>& values);
  // The object and its line end.
  std::string text() const { return text_ + "}\n"; }

 private:
  void key(const char* key);
  std::string text_ = "{";
};

// The fields every entry object begins with: "type" "entry", then what its
// directory entry says.
JsonLine entry_json(uint32_t index, const PakEntry& entry);

// The version of the JSON Lines fields (doc/json-lines.schema.json),
// carried by each summary object. Within a version fields are only added;
// version 2 gave every field one name and one type in every command.
inline constexpr uint64_t kJsonSchema = 2;

// The fields every summary begins with: "type" "summary", the schema, the
// command ("list") and the pack's path.
JsonLine summary_json(const char* command, const std::string& pak_path);

enum class ProgressMode { kAuto, kOn, kOff };

// One line on stderr that says how far a run is: entries and bytes done of
// the total, the rate and the time left. kAuto draws it only on a terminal
// and only once the run has lasted about a second (RADODARO_PROGRESS_AFTER
// milliseconds); kOn draws it wherever stderr goes, from the start. It is
// cleared when the run ends.
class Progress {
 public:
  // `unit` names what `entries` counts: "entries", or the stretches of
  // data a compaction copies.
  Progress(ProgressMode mode, uint64_t entries, uint64_t bytes, const char* unit = "entries");
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // One more entry done, of `bytes` bytes.
  void advance(uint64_t bytes);
  // Takes the line off the terminal; the next advance draws it again.
  void clear();

 private:
  void draw(std::chrono::steady_clock::time_point now);

  bool enabled_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point drawn_at_;
  std::chrono::milliseconds delay_{1000};
  uint64_t entries_ = 0;
  uint64_t bytes_ = 0;
  uint64_t entries_done_ = 0;
  uint64_t bytes_done_ = 0;
  const char* unit_;
  size_t shown_ = 0;  // characters of the line now on the terminal
  bool drawn_ = false;
  static constexpr std::chrono::milliseconds kRedrawEvery{200};
};

}  // namespace radodaro

#endif  // RADODARO_COMMANDS_OUTPUT_H_
