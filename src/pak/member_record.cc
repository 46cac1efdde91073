#include "pak/member_record.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace radodaro {

namespace {

constexpr char kFirstLine[] = "radodaro member record 1";

// Paths and names with a tab, a line end or a backslash in them.
std::string escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

bool unescaped(const std::string& text, std::string* out) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out->push_back(text[i]);
      continue;
    }
    if (++i == text.size()) return false;
    switch (text[i]) {
      case '\\':
        out->push_back('\\');
        break;
      case 't':
        out->push_back('\t');
        break;
      case 'n':
        out->push_back('\n');
        break;
      case 'r':
        out->push_back('\r');
        break;
      default:
        return false;
    }
  }
  return true;
}

std::vector<std::string> fields_of(const std::string& line) {
  std::vector<std::string> fields;
  size_t at = 0;
  for (size_t tab; (tab = line.find('\t', at)) != std::string::npos; at = tab + 1) {
    fields.push_back(line.substr(at, tab - at));
  }
  fields.push_back(line.substr(at));
  return fields;
}

// A whole number in decimal (a leading '-' where `negative` allows one).
bool number(const std::string& text, bool negative, int64_t* value) {
  const size_t digits = !text.empty() && text[0] == '-' && negative ? 1 : 0;
  if (text.size() == digits || text.size() > digits + 19 ||
      text.find_first_not_of("0123456789", digits) != std::string::npos) {
    return false;
  }
  *value = std::strtoll(text.c_str(), nullptr, 10);
  return true;
}

bool unsigned_number(const std::string& text, uint64_t* value) {
  if (text.empty() || text.size() > 20 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  errno = 0;
  *value = std::strtoull(text.c_str(), nullptr, 10);
  return errno == 0;
}

}  // namespace

const RecordedMember* MemberRecord::find(uint32_t index) const {
  const auto it = std::lower_bound(members.begin(), members.end(), index,
                                   [](const RecordedMember& m, uint32_t i) { return m.index < i; });
  return it != members.end() && it->index == index ? &*it : nullptr;
}

std::string encode_record(const MemberRecord& record) {
  std::string text = std::string(kFirstLine) + "\n";
  text += "pack\t" + escaped(record.pack) + "\n";
  char line[160];
  std::snprintf(line, sizeof line, "dir_crc\t%08X\n", record.dir_crc);
  text += line;
  for (const RecordedMember& m : record.members) {
    std::snprintf(line, sizeof line, "member\t%u\t%llu\t%lld\t%lld\t%llu\t%llu\t", m.index,
                  static_cast<unsigned long long>(m.stamp.size),
                  static_cast<long long>(m.stamp.modified_ns),
                  static_cast<long long>(m.stamp.changed_ns),
                  static_cast<unsigned long long>(m.stamp.identity.volume),
                  static_cast<unsigned long long>(m.stamp.identity.index));
    text += line + escaped(m.path) + "\n";
  }
  return text + "end\t" + std::to_string(record.members.size()) + "\n";
}

bool decode_record(const std::string& text, MemberRecord* record, std::string* why) {
  *record = MemberRecord();
  std::vector<std::string> lines;
  size_t at = 0;
  for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    lines.push_back(text.substr(at, end - at));
  }
  const auto fail = [&](const std::string& what) {
    *why = what;
    *record = MemberRecord();
    return false;
  };
  if (at != text.size() || lines.empty()) return fail("it does not end with a whole line");
  if (lines[0] != kFirstLine) return fail("it is not a member record of this version");
  bool have_pack = false;
  bool have_crc = false;
  bool ended = false;
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::vector<std::string> f = fields_of(lines[i]);
    const std::string where = "line " + std::to_string(i + 1) + ": ";
    if (ended) return fail(where + "text after its end");
    if (f[0] == "pack" && f.size() == 2 && !have_pack) {
      if (!unescaped(f[1], &record->pack) || record->pack.empty()) return fail(where + "bad pack");
      have_pack = true;
    } else if (f[0] == "dir_crc" && f.size() == 2 && !have_crc) {
      if (f[1].size() != 8 || f[1].find_first_not_of("0123456789ABCDEF") != std::string::npos) {
        return fail(where + "bad dir_crc");
      }
      record->dir_crc = static_cast<uint32_t>(std::strtoul(f[1].c_str(), nullptr, 16));
      have_crc = true;
    } else if (f[0] == "member" && f.size() == 8) {
      RecordedMember m;
      uint64_t index = 0;
      if (!unsigned_number(f[1], &index) || index > 0xffffffffu ||
          !unsigned_number(f[2], &m.stamp.size) || !number(f[3], true, &m.stamp.modified_ns) ||
          !number(f[4], true, &m.stamp.changed_ns) ||
          !unsigned_number(f[5], &m.stamp.identity.volume) ||
          !unsigned_number(f[6], &m.stamp.identity.index) || !unescaped(f[7], &m.path) ||
          m.path.empty()) {
        return fail(where + "bad member");
      }
      m.index = static_cast<uint32_t>(index);
      if (!record->members.empty() && record->members.back().index >= m.index) {
        return fail(where + "members out of order");
      }
      record->members.push_back(std::move(m));
    } else if (f[0] == "end" && f.size() == 2) {
      uint64_t count = 0;
      if (!unsigned_number(f[1], &count) || count != record->members.size()) {
        return fail(where + "it does not hold the members it says");
      }
      ended = true;
    } else {
      return fail(where + "not understood");
    }
  }
  if (!have_pack || !have_crc || !ended) return fail("it is not whole");
  return true;
}

bool unchanged_by_record(const RecordedMember& recorded, const platform::FileStamp& now,
                         int64_t written_ns) {
  return recorded.stamp == now && now.modified_ns < written_ns;
}

RecordRead read_record(platform::Env& env, const platform::Handle& folder, MemberRecord* record,
                       std::string* why) {
  platform::FileStamp own;
  const platform::Error there = env.stamp_at(folder, kRecordName, &own);
  if (there == platform::Error::kNotFound) return RecordRead::kNone;
  platform::Handle file;
  uint64_t size = 0;
  platform::Error e = there;
  if (e == platform::Error::kOk) e = env.open_for_read(folder, kRecordName, &file, &size);
  std::string text;
  if (e == platform::Error::kOk && size > (uint64_t{1} << 30)) e = platform::Error::kNoMemory;
  if (e == platform::Error::kOk) {
    text.resize(size);
    uint64_t got = 0;
    e = env.read_at(file, reinterpret_cast<uint8_t*>(text.data()), size, 0, &got);
    if (e == platform::Error::kOk && got != size) e = platform::Error::kIo;
  }
  if (e != platform::Error::kOk) {
    *why = platform::reason(e);
    return RecordRead::kUnreadable;
  }
  if (!decode_record(text, record, why)) return RecordRead::kUnreadable;
  record->written_ns = own.modified_ns;
  return RecordRead::kRead;
}

platform::Error write_record(platform::Env& env, const platform::Handle& folder,
                             const MemberRecord& record) {
  const std::string text = encode_record(record);
  platform::NewFile file(env, folder, kRecordName);
  platform::Error e = file.create(/*beside=*/true);
  if (e == platform::Error::kOk) {
    e = file.append(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  }
  if (e == platform::Error::kOk) e = file.sync();
  if (e == platform::Error::kOk) e = file.commit_replacing();
  if (e == platform::Error::kOk) e = env.sync_folder(folder);
  return e;
}

}  // namespace radodaro
