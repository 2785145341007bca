// JsonWriter: commas, indentation and string escaping.
#include "tools/inspect/json_writer.h"

#include <cstdio>

namespace {

// Length of the valid UTF-8 sequence at s[at], or 0 when it is not one.
size_t utf8Length(const std::string& s, size_t at) {
  const unsigned char lead = static_cast<unsigned char>(s[at]);
  size_t length;
  uint32_t min;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    min = 0x10000;
  } else {
    return 0;
  }
  if (at + length > s.size()) return 0;
  uint32_t code = lead & (0x7F >> length);
  for (size_t i = 1; i < length; ++i) {
    const unsigned char next = static_cast<unsigned char>(s[at + i]);
    if ((next & 0xC0) != 0x80) return 0;
    code = (code << 6) | (next & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

void appendEscape(std::string* out, unsigned code) {
  char buffer[8];
  snprintf(buffer, sizeof(buffer), "\\u%04x", code);
  *out += buffer;
}

}  // namespace

std::string JsonWriter::quote(const std::string& value) {
  std::string out = "\"";
  for (size_t i = 0; i < value.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(value[i]);
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\b': out += "\\b"; continue;
      case '\f': out += "\\f"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      default: break;
    }
    if (c < 0x20 || c == 0x7F) {
      appendEscape(&out, c);
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (const size_t length = utf8Length(value, i)) {
      out.append(value, i, length);
      i += length - 1;
    } else {
      appendEscape(&out, c);
    }
  }
  out += '"';
  return out;
}

void JsonWriter::newline() {
  out += '\n';
  out.append(levels.size() * 2, ' ');
}

void JsonWriter::beforeValue() {
  if (afterKey) {
    afterKey = false;
    return;
  }
  if (levels.empty()) return;
  if (!levels.back()) out += ',';
  levels.back() = false;
  newline();
}

void JsonWriter::open(char bracket) {
  beforeValue();
  out += bracket;
  levels.push_back(true);
}

void JsonWriter::close(char bracket) {
  const bool empty = levels.back();
  levels.pop_back();
  if (!empty) newline();
  out += bracket;
  if (levels.empty()) out += '\n';
}

void JsonWriter::beginObject() { open('{'); }
void JsonWriter::endObject() { close('}'); }
void JsonWriter::beginArray() { open('['); }
void JsonWriter::endArray() { close(']'); }

void JsonWriter::key(const std::string& name) {
  beforeValue();
  out += quote(name);
  out += ": ";
  afterKey = true;
}

void JsonWriter::string(const std::string& value) {
  beforeValue();
  out += quote(value);
}

void JsonWriter::number(int64_t value) {
  beforeValue();
  out += std::to_string(value);
}

void JsonWriter::boolean(bool value) {
  beforeValue();
  out += value ? "true" : "false";
}

void JsonWriter::null() {
  beforeValue();
  out += "null";
}
