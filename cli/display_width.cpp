#include "cli/display_width.h"

namespace vpn::cli {
namespace {

struct Range {
    char32_t first;
    char32_t last;
};

// Wide and full-width characters: Hangul Jamo, CJK symbols and punctuation (the ideographic
// blank included), kana, CJK ideographs, Yi, Hangul syllables, compatibility ideographs,
// vertical and full-width forms, emoji, and the supplementary ideograph planes.
constexpr Range kWide[] = {
    {0x1100, 0x115F},   {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},
    {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},
    {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},
    {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};

// Combining marks and zero-width characters.
constexpr Range kZeroWidth[] = {
    {0x0300, 0x036F}, {0x200B, 0x200F}, {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F},
};

template <std::size_t N>
bool within(const Range (&ranges)[N], char32_t code) {
    for (const Range& range : ranges) {
        if (code >= range.first && code <= range.last) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::size_t displayWidth(std::string_view utf8) {
    std::size_t width = 0;
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        std::size_t length = lead < 0x80    ? 1
                             : lead >= 0xF0 ? 4
                             : lead >= 0xE0 ? 3
                             : lead >= 0xC0 ? 2
                                            : 0;
        char32_t code = length == 4 ? lead & 0x07u : length == 3 ? lead & 0x0Fu : lead & 0x1Fu;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = i + k < utf8.size() ? static_cast<unsigned char>(utf8[i + k]) : 0;
            if ((next & 0xC0) != 0x80) {
                length = 0;
                break;
            }
            code = (code << 6) | (next & 0x3Fu);
        }
        if (length <= 1) {
            ++width;  // ASCII, or a byte that does not start a whole character
            ++i;
            continue;
        }
        width += within(kWide, code) ? 2 : within(kZeroWidth, code) ? 0 : 1;
        i += length;
    }
    return width;
}

}  // namespace vpn::cli
