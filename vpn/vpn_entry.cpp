#include "vpn/vpn_entry.h"

namespace vpn {

VpnEntrySettings makeVpnEntrySettings(const std::string& server) {
    VpnEntrySettings settings;
    settings.server = server;
    return settings;
}

std::size_t gbkByteLength(std::string_view utf8) {
    std::size_t length = 0;
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        if (lead < 0x80) {
            length += 1;
            ++i;
            continue;
        }
        std::size_t extra = 0;
        if (lead >= 0xF0) {
            extra = 3;
        } else if (lead >= 0xE0) {
            extra = 2;
        } else if (lead >= 0xC0) {
            extra = 1;
        }
        std::size_t taken = 1;
        while (taken <= extra && i + taken < utf8.size() &&
               (static_cast<unsigned char>(utf8[i + taken]) & 0xC0) == 0x80) {
            ++taken;
        }
        // A whole sequence is one character; otherwise the byte stands alone.
        i += taken == extra + 1 ? taken : 1;
        length += 2;
    }
    return length;
}

}  // namespace vpn
