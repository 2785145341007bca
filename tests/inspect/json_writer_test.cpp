// JsonWriter: its output must parse back to what was written, whatever bytes
// a file name, loader message or payload preview brings.
#include <gtest/gtest.h>

#include "json_reader.h"
#include "tools/inspect/json_writer.h"

namespace {

std::string roundTrip(const std::string& value) {
  JsonValue parsed;
  std::string error;
  const std::string literal = JsonWriter::quote(value);
  EXPECT_TRUE(parseJson(literal, &parsed, &error)) << literal << ": " << error;
  return parsed.text;
}

TEST(JsonWriter, StringsSurviveEscaping) {
  EXPECT_EQ(roundTrip("plain"), "plain");
  EXPECT_EQ(roundTrip("say \"hi\" \\ back"), "say \"hi\" \\ back");
  EXPECT_EQ(roundTrip("tab\tnl\ncr\rbs\bff\f"), "tab\tnl\ncr\rbs\bff\f");
  EXPECT_EQ(roundTrip(std::string("nul\0bell\x07" "del\x7f", 13)), std::string("nul\0bell\x07" "del\x7f", 13));
  EXPECT_EQ(roundTrip("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xb9"), "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xb9");
  EXPECT_EQ(JsonWriter::quote("\x01"), "\"\\u0001\"");
}

TEST(JsonWriter, InvalidUtf8BecomesLatin1Characters) {
  // A stray continuation byte, a cut sequence, an overlong form, a surrogate.
  EXPECT_EQ(roundTrip("a\x80z"), "a\xc2\x80z");
  EXPECT_EQ(roundTrip("\xe2\x82"), "\xc3\xa2\xc2\x82");
  EXPECT_EQ(roundTrip("\xc0\xaf"), "\xc3\x80\xc2\xaf");
  EXPECT_EQ(roundTrip("\xed\xa0\x80"), "\xc3\xad\xc2\xa0\xc2\x80");
}

}  // namespace
