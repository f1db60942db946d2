#include "net/address_lookup.h"

#include <algorithm>

#include "net/http_client.h"
#include "net/text_codec.h"

namespace vpn {
namespace {

constexpr std::string_view kOpenMarker = "<center>";
constexpr std::string_view kCloseMarker = "</center>";
constexpr const char* kUnknown = "Unknown";

bool isGbkLead(unsigned char c) {
    return c >= 0x81 && c <= 0xFE;
}
bool isGbkTrail(unsigned char c) {
    return c >= 0x40 && c <= 0xFE && c != 0x7F;
}

// 0-based offset of the first match that starts on a character boundary, npos when none.
std::size_t findOnCharBoundary(std::string_view text, std::string_view marker) {
    if (marker.empty()) {
        return std::string_view::npos;
    }
    std::size_t i = 0;
    while (i + marker.size() <= text.size()) {
        if (text.compare(i, marker.size(), marker) == 0) {
            return i;
        }
        const bool pair = isGbkLead(static_cast<unsigned char>(text[i])) && i + 1 < text.size() &&
                          isGbkTrail(static_cast<unsigned char>(text[i + 1]));
        i += pair ? 2 : 1;
    }
    return std::string_view::npos;
}

}  // namespace

std::string ExtractBetween(std::string_view text, std::string_view openMarker,
                           std::string_view closeMarker) {
    // The rules are written with 1-based positions, 0 meaning "absent".
    const auto position = [&](std::string_view marker) -> long long {
        const std::size_t at = findOnCharBoundary(text, marker);
        return at == std::string_view::npos ? 0 : static_cast<long long>(at) + 1;
    };
    const long long p1 = position(openMarker);
    const long long p2 = position(closeMarker);
    long long start = p1 + static_cast<long long>(openMarker.size());
    const long long count = p2 - start;
    start = std::max(start, 1LL);
    if (count <= 0 || start > static_cast<long long>(text.size())) {
        return {};
    }
    return std::string(
        text.substr(static_cast<std::size_t>(start - 1), static_cast<std::size_t>(count)));
}

std::string LookupAddressLocation(HttpClient& client, const std::string& lookupUrl) {
    const HttpResponse response = client.get(lookupUrl);
    // A page without the opening marker would otherwise show its first bytes.
    std::string result;
    if (findOnCharBoundary(response.body, kOpenMarker) != std::string_view::npos) {
        result = ExtractBetween(response.body, kOpenMarker, kCloseMarker);
    }
    client.disconnect();
    if (result.empty()) {
        return kUnknown;
    }
    const bool utf8 = declaresUtf8(response.contentType) || isValidUtf8(response.body);
    return decodeForDisplay(result, utf8);
}

}  // namespace vpn
