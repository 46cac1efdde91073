#include "support/json.h"

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

}  // namespace radodaro::testing
