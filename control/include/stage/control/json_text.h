// JSON written straight into a text, for the lines the console sends often
// (status notifications and get_status answers): no document is built, and
// a text that is reused keeps its memory, so that writing allocates nothing
// once the text has grown to its size. A double is written in the shortest
// form that reads back the same, a whole one with ".0" as nlohmann's dump
// writes it (so that a client reads a float), a NaN or an infinity as null.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace stage::control::json_text {

void AppendString(std::string& out, std::string_view text);
void AppendDouble(std::string& out, double value);
void AppendInteger(std::string& out, std::int64_t value);
inline void AppendBool(std::string& out, bool value) { out += value ? "true" : "false"; }

}  // namespace stage::control::json_text
