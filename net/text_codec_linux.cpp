#include <iconv.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "net/text_codec.h"

namespace vpn {
namespace {

// Converts with iconv, replacing every input byte that cannot be converted by `replacement`
// and going on after it, so that no text is ever lost whole.
std::string convert(const char* to, const char* from, std::string_view input,
                    std::string_view replacement) {
    iconv_t cd = iconv_open(to, from);
    // iconv_open reports failure as (iconv_t)-1.
    if (cd == reinterpret_cast<iconv_t>(-1)) {  // NOLINT(performance-no-int-to-ptr)
        return std::string(input);
    }
    std::string out;
    out.reserve(input.size() * 2);
    char buffer[4096];
    auto* in = const_cast<char*>(input.data());
    std::size_t inLeft = input.size();
    while (inLeft > 0) {
        char* outPtr = buffer;
        std::size_t outLeft = sizeof buffer;
        const std::size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
        if (rc == static_cast<std::size_t>(-1)) {
            if (errno == E2BIG) {
                continue;
            }
            // EILSEQ or EINVAL (truncated sequence at the end): skip one byte, or one UTF-8
            // character when the input is UTF-8.
            std::size_t skip = 1;
            if (std::string_view(from) == "UTF-8") {
                while (skip < inLeft && (static_cast<unsigned char>(in[skip]) & 0xC0) == 0x80) {
                    ++skip;
                }
            }
            out.append(replacement);
            in += skip;
            inLeft -= skip;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    iconv_close(cd);
    return out;
}

}  // namespace

std::string gbkToUtf8(std::string_view gbk) {
    return convert("UTF-8", "GBK", gbk, "\xEF\xBF\xBD");
}

std::string utf8ToGbk(std::string_view utf8) {
    return convert("GBK", "UTF-8", utf8, "?");
}

}  // namespace vpn
