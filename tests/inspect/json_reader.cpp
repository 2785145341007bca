// The inspector's JSON read back with an independent parser (nlohmann-json),
// then held in the small JsonValue tree the tests walk.
#include "json_reader.h"

#include <nlohmann/json.hpp>

namespace {

const JsonValue nullValue;

void convert(const nlohmann::ordered_json& in, JsonValue* out) {
  switch (in.type()) {
    case nlohmann::ordered_json::value_t::null: out->type = JsonValue::Null; break;
    case nlohmann::ordered_json::value_t::boolean:
      out->type = JsonValue::Bool;
      out->boolean = in.get<bool>();
      break;
    case nlohmann::ordered_json::value_t::number_integer:
    case nlohmann::ordered_json::value_t::number_unsigned:
    case nlohmann::ordered_json::value_t::number_float:
      out->type = JsonValue::Number;
      out->number = in.get<double>();
      break;
    case nlohmann::ordered_json::value_t::string:
      out->type = JsonValue::String;
      out->text = in.get<std::string>();
      break;
    case nlohmann::ordered_json::value_t::array:
      out->type = JsonValue::Array;
      for (const auto& item : in) convert(item, &out->items.emplace_back());
      break;
    case nlohmann::ordered_json::value_t::object:
      out->type = JsonValue::Object;
      for (const auto& member : in.items()) {
        out->members.emplace_back(member.key(), JsonValue());
        convert(member.value(), &out->members.back().second);
      }
      break;
    default: out->type = JsonValue::Null; break;  // binary and discarded: never in a report
  }
}

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
  *value = JsonValue();
  try {
    convert(nlohmann::ordered_json::parse(text), value);
    return true;
  } catch (const nlohmann::json::exception& e) {
    if (error != nullptr) *error = e.what();
    return false;
  }
}
