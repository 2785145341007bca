// json_reader.h - the inspector's --json report as the tests read it: parsed
// by nlohmann-json (a reader independent of the writer), as a script would.
#ifndef SELVAR_TESTS_INSPECT_JSON_READER_H
#define SELVAR_TESTS_INSPECT_JSON_READER_H

#include <string>
#include <utility>
#include <vector>

struct JsonValue {
  enum Type { Null, Bool, Number, String, Array, Object };
  Type type = Null;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<JsonValue> items;
  std::vector<std::pair<std::string, JsonValue>> members;

  bool has(const std::string& key) const;
  // A missing key or index gives a Null value.
  const JsonValue& operator[](const std::string& key) const;
  const JsonValue& operator[](size_t index) const;
  size_t size() const { return type == Array ? items.size() : members.size(); }
};

// Parses a whole document (trailing blanks allowed). False on any error.
bool parseJson(const std::string& text, JsonValue* value, std::string* error);

#endif  // SELVAR_TESTS_INSPECT_JSON_READER_H
