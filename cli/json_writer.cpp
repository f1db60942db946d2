#include "cli/json_writer.h"

#include <cstdio>

namespace vpn::cli {
namespace {

struct CodePoint {
    char32_t value = 0;
    std::size_t length = 1;  // bytes taken from the text
    bool valid = false;
};

// The UTF-8 sequence at text[position]; an invalid one (bad lead byte, missing or bad
// continuation, overlong form, surrogate, beyond U+10FFFF) takes one byte.
CodePoint decodeUtf8(std::string_view text, std::size_t position) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(position);
    if (lead < 0x80) {
        return {lead, 1, true};
    }
    std::size_t length = 0;
    char32_t value = 0;
    char32_t smallest = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        value = lead & 0x1FU;
        smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        value = lead & 0x0FU;
        smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        value = lead & 0x07U;
        smallest = 0x10000;
    } else {
        return {};
    }
    if (text.size() - position < length) {
        return {};
    }
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char next = byte(position + i);
        if ((next & 0xC0) != 0x80) {
            return {};
        }
        value = (value << 6) | (next & 0x3FU);
    }
    if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return {};
    }
    return {value, length, true};
}

bool isControl(char32_t value) {
    return value < 0x20 || (value >= 0x7F && value <= 0x9F);
}

std::string hexEscape(const char* format, unsigned value) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, format, value);
    return escaped;
}

}  // namespace

std::string escapeControlCharacters(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const CodePoint point = decodeUtf8(text, i);
        if (!point.valid) {
            out += hexEscape("\\x%02X", static_cast<unsigned char>(text[i]));
        } else if (isControl(point.value)) {
            out += hexEscape("\\u%04X", static_cast<unsigned>(point.value));
        } else {
            out.append(text.substr(i, point.length));
        }
        i += point.length;
    }
    return out;
}

std::string jsonString(std::string_view utf8) {
    std::string out = "\"";
    out.reserve(utf8.size() + 2);
    for (std::size_t i = 0; i < utf8.size();) {
        const CodePoint point = decodeUtf8(utf8, i);
        if (!point.valid) {
            out += "\xEF\xBF\xBD";  // U+FFFD
        } else if (point.value == '"' || point.value == '\\') {
            out += '\\';
            out += static_cast<char>(point.value);
        } else if (isControl(point.value)) {
            out += hexEscape("\\u%04X", static_cast<unsigned>(point.value));
        } else {
            out.append(utf8.substr(i, point.length));
        }
        i += point.length;
    }
    out += '"';
    return out;
}

std::string jsonObject(const std::vector<std::pair<std::string_view, std::string_view>>& members) {
    std::string out = "{";
    for (const auto& [key, value] : members) {
        if (out.size() > 1) {
            out += ", ";
        }
        out += jsonString(key) + ": " + jsonString(value);
    }
    out += '}';
    return out;
}

void writeJsonArray(std::ostream& out, const std::vector<std::string>& values) {
    if (values.empty()) {
        out << "[]\n";
        return;
    }
    out << "[\n";
    for (std::size_t i = 0; i < values.size(); ++i) {
        out << "  " << values[i] << (i + 1 < values.size() ? ",\n" : "\n");
    }
    out << "]\n";
}

}  // namespace vpn::cli
