// json_writer.h - a small streaming JSON writer for the inspector's report.
//
// Pretty-prints with two-space indentation and escapes strings so the output
// is valid UTF-8 JSON whatever bytes a module or file name brings.
#ifndef SELVAR_TOOLS_INSPECT_JSON_WRITER_H
#define SELVAR_TOOLS_INSPECT_JSON_WRITER_H

#include <cstdint>
#include <string>
#include <vector>

class JsonWriter {
 public:
  void beginObject();
  void endObject();
  void beginArray();
  void endArray();
  // Names the next value inside an object.
  void key(const std::string& name);
  void string(const std::string& value);
  void number(int64_t value);
  void boolean(bool value);
  void null();

  // The document so far; complete once every container is closed.
  const std::string& text() const { return out; }

  // value as a JSON string literal. Bytes that are not valid UTF-8 are taken
  // as Latin-1 characters.
  static std::string quote(const std::string& value);

 private:
  void beforeValue();
  void open(char bracket);
  void close(char bracket);
  void newline();

  std::string out;
  std::vector<bool> levels;  // per open container: nothing written in it yet
  bool afterKey = false;
};

#endif  // SELVAR_TOOLS_INSPECT_JSON_WRITER_H
