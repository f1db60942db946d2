#pragma once

namespace vpn {

// The provider's server directory and the public address page. Both can be overridden on
// the command line (--directory-url, --lookup-url) for tests, demos and other providers.
inline constexpr const char* kDefaultDirectoryUrl = "http://vpn.qinghelu.com/server.txt";
inline constexpr const char* kDefaultLookupUrl = "http://www.ip138.com/ip2city.asp";

}  // namespace vpn
