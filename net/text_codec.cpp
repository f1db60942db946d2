#include "net/text_codec.h"

#include <algorithm>
#include <cctype>

namespace vpn {

bool isValidUtf8(std::string_view bytes) {
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        std::size_t extra = 0;
        unsigned minCode = 0;
        unsigned code = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1, minCode = 0x80, code = lead & 0x1Fu;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2, minCode = 0x800, code = lead & 0x0Fu;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3, minCode = 0x10000, code = lead & 0x07u;
        } else {
            return false;
        }
        if (n - i <= extra) {
            return false;
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto cont = static_cast<unsigned char>(bytes[i + k]);
            if ((cont & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (cont & 0x3Fu);
        }
        // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
        if (code < minCode || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

bool declaresUtf8(std::string_view contentType) {
    std::string lower(contentType);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const auto at = lower.find("charset=");
    if (at == std::string::npos) {
        return false;
    }
    std::string_view value = std::string_view(lower).substr(at + 8);
    if (!value.empty() && value.front() == '"') {
        value.remove_prefix(1);
    }
    return value.starts_with("utf-8") || value.starts_with("utf8");
}

namespace {

// Length of the well-formed UTF-8 sequence at the start of bytes, 0 when there is none.
std::size_t validSequenceLength(std::string_view bytes) {
    for (std::size_t length = 1; length <= 4 && length <= bytes.size(); ++length) {
        if (isValidUtf8(bytes.substr(0, length))) {
            return length;
        }
    }
    return 0;
}

// A body declared UTF-8 that is not: each byte that starts no valid sequence becomes U+FFFD.
std::string replaceInvalidUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    while (!bytes.empty()) {
        const std::size_t length = validSequenceLength(bytes);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            bytes.remove_prefix(1);
        } else {
            out.append(bytes.substr(0, length));
            bytes.remove_prefix(length);
        }
    }
    return out;
}

}  // namespace

std::string decodeForDisplay(std::string_view bytes, bool declaredUtf8) {
    if (isValidUtf8(bytes)) {
        return std::string(bytes);
    }
    return declaredUtf8 ? replaceInvalidUtf8(bytes) : gbkToUtf8(bytes);
}

}  // namespace vpn
