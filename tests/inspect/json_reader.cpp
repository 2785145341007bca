// Recursive-descent JSON parser: RFC 8259 syntax, \u escapes to UTF-8.
#include "json_reader.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace {

const JsonValue nullValue;

class Parser {
 public:
  explicit Parser(const std::string& text) : s(text) {}

  bool document(JsonValue* value) {
    if (!parse(value, 0)) return false;
    blanks();
    return at == s.size() || fail("trailing text");
  }

  std::string error;

 private:
  bool fail(const char* what) {
    error = std::string(what) + " at " + std::to_string(at);
    return false;
  }
  void blanks() {
    while (at < s.size() && strchr(" \t\r\n", s[at]) != nullptr) ++at;
  }
  bool literal(const char* word) {
    const size_t n = strlen(word);
    if (s.compare(at, n, word) != 0) return fail("bad literal");
    at += n;
    return true;
  }
  bool parse(JsonValue* v, int depth) {
    if (depth > 64) return fail("too deep");
    blanks();
    if (at >= s.size()) return fail("unexpected end");
    const char c = s[at];
    if (c == '{') return object(v, depth);
    if (c == '[') return array(v, depth);
    if (c == '"') {
      v->type = JsonValue::String;
      return string(&v->text);
    }
    if (c == 't' || c == 'f') {
      v->type = JsonValue::Bool;
      v->boolean = c == 't';
      return literal(c == 't' ? "true" : "false");
    }
    if (c == 'n') return literal("null");
    return number(v);
  }
  bool number(JsonValue* v) {
    const size_t start = at;
    if (s[at] == '-') ++at;
    if (at >= s.size() || !isdigit(static_cast<unsigned char>(s[at]))) return fail("bad number");
    if (s[at] == '0' && at + 1 < s.size() && isdigit(static_cast<unsigned char>(s[at + 1])))
      return fail("leading zero");
    while (at < s.size() && strchr("0123456789.eE+-", s[at]) != nullptr) ++at;
    const std::string digits = s.substr(start, at - start);
    char* end = nullptr;
    v->type = JsonValue::Number;
    v->number = strtod(digits.c_str(), &end);
    return *end == '\0' || fail("bad number");
  }
  bool hex4(unsigned* code) {
    if (at + 4 > s.size()) return fail("short \\u escape");
    char* end = nullptr;
    const std::string digits = s.substr(at, 4);
    *code = static_cast<unsigned>(strtoul(digits.c_str(), &end, 16));
    at += 4;
    return *end == '\0' || fail("bad \\u escape");
  }
  static void utf8(unsigned code, std::string* out) {
    if (code < 0x80) {
      *out += static_cast<char>(code);
    } else if (code < 0x800) {
      *out += static_cast<char>(0xC0 | (code >> 6));
      *out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      *out += static_cast<char>(0xE0 | (code >> 12));
      *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      *out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      *out += static_cast<char>(0xF0 | (code >> 18));
      *out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      *out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  bool string(std::string* out) {
    ++at;  // opening quote
    for (;;) {
      if (at >= s.size()) return fail("unterminated string");
      const unsigned char c = static_cast<unsigned char>(s[at++]);
      if (c == '"') return true;
      if (c < 0x20) return fail("raw control character");
      if (c != '\\') {
        *out += static_cast<char>(c);
        continue;
      }
      if (at >= s.size()) return fail("unterminated escape");
      const char e = s[at++];
      const char* plain = strchr("\"\\/bfnrt", e);
      if (e != 'u') {
        if (plain == nullptr) return fail("bad escape");
        *out += "\"\\/\b\f\n\r\t"[plain - "\"\\/bfnrt"];
        continue;
      }
      unsigned code = 0;
      if (!hex4(&code)) return false;
      if (code >= 0xD800 && code <= 0xDBFF) {
        unsigned low = 0;
        if (s.compare(at, 2, "\\u") != 0) return fail("lone surrogate");
        at += 2;
        if (!hex4(&low) || low < 0xDC00 || low > 0xDFFF) return fail("bad surrogate pair");
        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
      } else if (code >= 0xDC00 && code <= 0xDFFF) {
        return fail("lone surrogate");
      }
      utf8(code, out);
    }
  }
  bool array(JsonValue* v, int depth) {
    v->type = JsonValue::Array;
    ++at;
    blanks();
    if (at < s.size() && s[at] == ']') return ++at, true;
    for (;;) {
      v->items.emplace_back();
      if (!parse(&v->items.back(), depth + 1)) return false;
      blanks();
      if (at < s.size() && s[at] == ',') {
        ++at;
        continue;
      }
      if (at < s.size() && s[at] == ']') return ++at, true;
      return fail("expected , or ]");
    }
  }
  bool object(JsonValue* v, int depth) {
    v->type = JsonValue::Object;
    ++at;
    blanks();
    if (at < s.size() && s[at] == '}') return ++at, true;
    for (;;) {
      blanks();
      if (at >= s.size() || s[at] != '"') return fail("expected key");
      std::string key;
      if (!string(&key)) return false;
      blanks();
      if (at >= s.size() || s[at++] != ':') return fail("expected :");
      v->members.emplace_back(key, JsonValue());
      if (!parse(&v->members.back().second, depth + 1)) return false;
      blanks();
      if (at < s.size() && s[at] == ',') {
        ++at;
        continue;
      }
      if (at < s.size() && s[at] == '}') return ++at, true;
      return fail("expected , or }");
    }
  }

  const std::string& s;
  size_t at = 0;
};

}  // namespace

bool JsonValue::has(const std::string& key) const {
  for (const auto& member : members)
    if (member.first == key) return true;
  return false;
}

const JsonValue& JsonValue::operator[](const std::string& key) const {
  for (const auto& member : members)
    if (member.first == key) return member.second;
  return nullValue;
}

const JsonValue& JsonValue::operator[](size_t index) const {
  return index < items.size() ? items[index] : nullValue;
}

bool parseJson(const std::string& text, JsonValue* value, std::string* error) {
  Parser parser(text);
  *value = JsonValue();
  const bool ok = parser.document(value);
  if (!ok && error != nullptr) *error = parser.error;
  return ok;
}
