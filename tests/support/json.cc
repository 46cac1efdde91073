#include "support/json.h"

#include <fstream>
#include <regex>
#include <set>
#include <stdexcept>

namespace radodaro::testing {

namespace {

class Reader {
 public:
  explicit Reader(const std::string& text) : s_(text) {}

  JsonObject object() {
    JsonObject out;
    expect('{');
    if (peek() == '}') {
      ++at_;
    } else {
      while (true) {
        const std::string key = string();
        expect(':');
        if (!out.emplace(key, value()).second) fail("repeated key " + key);
        if (peek() == ',') {
          ++at_;
          continue;
        }
        expect('}');
        break;
      }
    }
    if (at_ != s_.size()) fail("text after the object");
    return out;
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw std::runtime_error("JSON: " + what + " at " + std::to_string(at_) + " in " + s_);
  }
  char peek() const { return at_ < s_.size() ? s_[at_] : '\0'; }
  void expect(char c) {
    if (peek() != c) fail(std::string("expected ") + c);
    ++at_;
  }

  std::string string() {
    expect('"');
    std::string out;
    while (true) {
      if (at_ >= s_.size()) fail("unterminated string");
      const char c = s_[at_++];
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) fail("raw control character");
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      const char e = peek();
      ++at_;
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out.push_back(e);
          break;
        case 'n':
          out.push_back('\n');
          break;
        case 't':
          out.push_back('\t');
          break;
        case 'u': {
          if (at_ + 4 > s_.size()) fail("short \\u escape");
          const unsigned long code = std::stoul(s_.substr(at_, 4), nullptr, 16);
          if (code >= 0x80) fail("\\u escape past ASCII");
          out.push_back(static_cast<char>(code));
          at_ += 4;
          break;
        }
        default:
          fail("unknown escape");
      }
    }
  }

  JsonValue value() {
    JsonValue v;
    const char c = peek();
    if (c == '"') {
      v.type = JsonValue::kString;
      v.text = string();
    } else if (c >= '0' && c <= '9') {
      v.type = JsonValue::kNumber;
      const size_t start = at_;
      while (peek() >= '0' && peek() <= '9') ++at_;
      if (at_ - start > 1 && s_[start] == '0') fail("leading zero");
      v.number = std::stoull(s_.substr(start, at_ - start));
    } else if (s_.compare(at_, 4, "true") == 0 || s_.compare(at_, 5, "false") == 0) {
      v.type = JsonValue::kBool;
      v.flag = c == 't';
      at_ += v.flag ? 4 : 5;
    } else if (c == '[') {
      v.type = JsonValue::kStrings;
      ++at_;
      if (peek() == ']') {
        ++at_;
        return v;
      }
      while (true) {
        v.strings.push_back(string());
        if (peek() == ',') {
          ++at_;
          continue;
        }
        expect(']');
        break;
      }
    } else {
      fail("unexpected value");
    }
    return v;
  }

  const std::string& s_;
  size_t at_ = 0;
};

}  // namespace

JsonObject parse_json_object(const std::string& line) { return Reader(line).object(); }

std::vector<JsonObject> parse_json_lines(const std::string& text) {
  std::vector<JsonObject> out;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    if (end == std::string::npos) throw std::runtime_error("JSON: last line has no line end");
    out.push_back(parse_json_object(text.substr(at, end - at)));
    at = end + 1;
  }
  return out;
}

namespace {

struct Field {
  std::string type;      // "integer", "string", "boolean", "array", or "" for a constant
  std::string constant;  // as the schema writes it: "entry" with its quotes, 2
};

struct Kind {
  std::map<std::string, Field> fields;
  std::set<std::string> required;
};

// The schema's two kinds of object, read once.
const std::map<std::string, Kind>& schema() {
  static const std::map<std::string, Kind> kinds = [] {
    std::map<std::string, Kind> out;
    std::ifstream in(RADODARO_JSON_SCHEMA);
    if (!in) throw std::runtime_error("cannot read " RADODARO_JSON_SCHEMA);
    const std::regex begins(R"re(^    "(\w+)": \{$)re");
    const std::regex property(R"re(^        "(\w+)": \{"(type|const)": ("?\w+"?))re");
    const std::regex required(R"re(^      "required": \[(.*)\],$)re");
    const std::regex quoted(R"re("(\w+)")re");
    Kind* kind = nullptr;
    std::smatch m;
    for (std::string line; std::getline(in, line);) {
      if (std::regex_match(line, m, begins)) {
        kind = &out[m[1]];
      } else if (kind != nullptr && std::regex_search(line, m, property)) {
        const bool constant = m[2] == "const";
        kind->fields[m[1]] = {constant ? "" : std::string(m[3]).substr(1, m[3].length() - 2),
                              constant ? std::string(m[3]) : ""};
      } else if (kind != nullptr && std::regex_match(line, m, required)) {
        const std::string names = m[1];
        for (std::sregex_iterator it(names.begin(), names.end(), quoted), end; it != end; ++it) {
          kind->required.insert((*it)[1]);
        }
      }
    }
    if (out.size() < 2) throw std::runtime_error("the schema's layout is not understood");
    return out;
  }();
  return kinds;
}

const char* type_name(JsonValue::Type t) {
  switch (t) {
    case JsonValue::kString:
      return "string";
    case JsonValue::kNumber:
      return "integer";
    case JsonValue::kBool:
      return "boolean";
    case JsonValue::kStrings:
      return "array";
  }
  return "";
}

}  // namespace

std::string schema_problems(const JsonObject& object) {
  const auto type = object.find("type");
  if (type == object.end() || type->second.type != JsonValue::kString) return "no \"type\"";
  const auto kind = schema().find(type->second.text);
  if (kind == schema().end()) return "no kind of object \"" + type->second.text + "\"";
  std::string problems;
  for (const std::string& name : kind->second.required) {
    if (object.count(name) == 0) problems += "\"" + name + "\" is missing; ";
  }
  for (const auto& [name, value] : object) {
    const auto field = kind->second.fields.find(name);
    if (field == kind->second.fields.end()) {
      problems += "\"" + name + "\" is not a field of " + kind->first + "; ";
      continue;
    }
    const Field& f = field->second;
    const std::string as_written = value.type == JsonValue::kString   ? "\"" + value.text + "\""
                                   : value.type == JsonValue::kNumber ? std::to_string(value.number)
                                                                      : "";
    if (f.type.empty() ? as_written != f.constant : f.type != type_name(value.type)) {
      problems += "\"" + name + "\" is " + type_name(value.type) + ", not " +
                  (f.type.empty() ? f.constant : f.type) + "; ";
    }
  }
  return problems;
}

std::vector<std::string> schema_fields() {
  std::set<std::string> names;
  for (const auto& [kind, k] : schema()) {
    for (const auto& [name, field] : k.fields) names.insert(name);
  }
  return {names.begin(), names.end()};
}

}  // namespace radodaro::testing
