#pragma once

#include <cstddef>
#include <string_view>

namespace vpn::cli {

// Terminal columns that UTF-8 text takes: two for each wide (East Asian) character, none for
// combining marks, one for everything else (a byte that is not UTF-8 counts as one).
std::size_t displayWidth(std::string_view utf8);

}  // namespace vpn::cli
