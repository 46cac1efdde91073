// Reads the JSON objects that radodaro prints, one per line: a parser of
// just enough JSON to check them, strict about what it does read.
#ifndef RADODARO_TESTS_SUPPORT_JSON_H_
#define RADODARO_TESTS_SUPPORT_JSON_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace radodaro::testing {

struct JsonValue {
  enum Type { kString, kNumber, kBool, kStrings } type = kString;
  std::string text;                  // kString
  uint64_t number = 0;               // kNumber: whole numbers only
  bool flag = false;                 // kBool
  std::vector<std::string> strings;  // kStrings: an array of strings
};

using JsonObject = std::map<std::string, JsonValue>;

// Parses one object whose values are strings, whole numbers, booleans or
// arrays of strings; throws std::runtime_error on anything else, on a
// repeated key, and on text after the object.
JsonObject parse_json_object(const std::string& line);

// Each line of `text` parsed; throws as above, also for a missing last
// line end.
std::vector<JsonObject> parse_json_lines(const std::string& text);

// What is wrong with `object` by the JSON Schema of radodaro's lines
// (doc/json-lines.schema.json): a field it does not define for objects of
// its "type", a field of another type, a required one missing, a constant
// that differs. "" when nothing is. The schema is read from its file,
// which keeps each property on a line of its own.
std::string schema_problems(const JsonObject& object);

// The names of the fields that the schema defines, entry and summary.
std::vector<std::string> schema_fields();

}  // namespace radodaro::testing

#endif  // RADODARO_TESTS_SUPPORT_JSON_H_
