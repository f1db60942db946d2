#pragma once

#include <string>
#include <string_view>

namespace vpn {

class HttpClient;

// The text of `text` between the first openMarker and the first closeMarker, byte for byte,
// with the edge rules of the old lookup: a missing closing marker or one before the opening
// marker gives an empty text; a missing opening marker takes the bytes from position
// length(openMarker) up to the closing marker. Matches never start on the second byte of a
// two-byte GBK character.
std::string ExtractBetween(std::string_view text, std::string_view openMarker,
                           std::string_view closeMarker);

// Asks the public address page which address and location the machine is seen from and
// returns the text inside its <center> element, decoded for display (UTF-8), or "Unknown".
// A page without "<center>" also gives "Unknown". Errors of the download propagate
// (SocketError, HttpError); the client is disconnected after a successful GET.
std::string LookupAddressLocation(HttpClient& client, const std::string& lookupUrl);

}  // namespace vpn
