#include "bin/probe/text.hpp"

#include <cstddef>

namespace probe::text {
namespace {

// Length of the well-formed sequence at `i`, or 0 with `consumed` set to the
// length of the maximal ill-formed prefix there (at least 1 byte).
std::size_t sequence_at(std::string_view s, std::size_t i, std::size_t& consumed) noexcept {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) return 1;
    std::size_t extra;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        extra = 1;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        extra = 2;
        if (b0 == 0xE0) lo = 0xA0;       // no overlong forms
        if (b0 == 0xED) hi = 0x9F;       // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        extra = 3;
        if (b0 == 0xF0) lo = 0x90;       // no overlong forms
        if (b0 == 0xF4) hi = 0x8F;       // nothing above U+10FFFF
    } else {
        consumed = 1;
        return 0;
    }
    std::size_t k = 1;
    for (; k <= extra; ++k) {
        if (i + k >= s.size()) break;
        const auto b = static_cast<unsigned char>(s[i + k]);
        const bool ok = k == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
        if (!ok) break;
    }
    if (k > extra) return extra + 1;
    consumed = k;
    return 0;
}

char32_t decode(std::string_view s, std::size_t i, std::size_t len) noexcept {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (len == 1) return b0;
    char32_t cp = b0 & (0x7F >> len);
    for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    return cp;
}

bool is_white_space(char32_t c) noexcept {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

}  // namespace

bool is_valid_utf8(std::string_view s) noexcept {
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t consumed = 0;
        const std::size_t len = sequence_at(s, i, consumed);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

std::string_view trim_white_space(std::string_view s) noexcept {
    std::size_t begin = s.size();
    std::size_t end = 0;
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t consumed = 0;
        const std::size_t len = sequence_at(s, i, consumed);
        // A stray byte is never white space; it is kept as text.
        const std::size_t step = len != 0 ? len : consumed;
        if (len == 0 || !is_white_space(decode(s, i, len))) {
            if (begin == s.size()) begin = i;
            end = i + step;
        }
        i += step;
    }
    return begin == s.size() ? s.substr(s.size()) : s.substr(begin, end - begin);
}

std::string display_lossy(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t consumed = 0;
        const std::size_t len = sequence_at(s, i, consumed);
        if (len != 0) {
            out.append(s.substr(i, len));
            i += len;
        } else {
            out += "\xEF\xBF\xBD";
            i += consumed;
        }
    }
    return out;
}

}  // namespace probe::text
