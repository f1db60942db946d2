#pragma once

#include <string>
#include <string_view>

namespace vpn {

// True when bytes are well-formed UTF-8 (plain ASCII included).
bool isValidUtf8(std::string_view bytes);

// Text from the network for display: kept as it stands when it is valid UTF-8; otherwise
// decoded from GBK (CP936), or, when the sender declared UTF-8, taken as broken UTF-8. Bytes
// that cannot be decoded become U+FFFD; the result is always valid UTF-8.
std::string decodeForDisplay(std::string_view bytes, bool declaredUtf8 = false);

// True when an HTTP Content-Type names the UTF-8 charset.
bool declaresUtf8(std::string_view contentType);

// GBK (CP936) <-> UTF-8 through the platform's converter (iconv on Linux). Characters that
// have no GBK form are replaced by '?' when encoding.
std::string gbkToUtf8(std::string_view gbk);
std::string utf8ToGbk(std::string_view utf8);

}  // namespace vpn
