#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vpn::cli {

// Text safe to print on a terminal: control characters (C0, DEL and C1) become \u00XX, so
// that text from the network cannot steer the terminal. Everything else is kept as is.
std::string escapeControlCharacters(std::string_view text);

// A JSON string literal, quotes included. Control characters are escaped as above, '"' and
// '\' with a backslash; bytes that are not valid UTF-8 become U+FFFD.
std::string jsonString(std::string_view utf8);

// {"key": "value", ...} with the members in the given order.
std::string jsonObject(const std::vector<std::pair<std::string_view, std::string_view>>& members);

// Writes a JSON array of ready-made JSON values, one per line, and a final newline.
void writeJsonArray(std::ostream& out, const std::vector<std::string>& values);

}  // namespace vpn::cli
