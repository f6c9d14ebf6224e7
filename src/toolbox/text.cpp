#include "toolbox/text.hpp"

#include <cstdint>
#include <cstdio>

namespace toolbox::text {
namespace {

// Decodes one code point at `i` of valid UTF-8 and advances `i`.
char32_t decode(std::string_view s, std::size_t& i) noexcept {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    int extra = b0 >= 0xF0 ? 3 : b0 >= 0xE0 ? 2 : 1;
    char32_t cp = b0 & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += static_cast<std::size_t>(extra) + 1;
    return cp;
}

bool is_white_space(char32_t c) noexcept {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

// Characters shown escaped: controls, the line and paragraph separators and
// other format or unassigned characters that print nothing.
bool is_printable(char32_t c) noexcept {
    if (c < 0x20 || (c >= 0x7F && c < 0xA0)) return false;
    if (c == 0xAD || c == 0x061C || c == 0x180E || c == 0xFEFF) return false;
    if (c >= 0x200B && c <= 0x200F) return false;
    if (c >= 0x2028 && c <= 0x202E) return false;
    if (c >= 0x2060 && c <= 0x206F) return false;
    if (c >= 0xD800 && c <= 0xDFFF) return false;
    if (c >= 0xE000 && c <= 0xF8FF) return false;  // private use
    if (c >= 0xFFF0 && c <= 0xFFFF) return false;
    if ((c & 0xFFFE) == 0xFFFE) return false;  // noncharacters U+xFFFE/U+xFFFF
    if (c >= 0xF0000) return false;            // private use planes
    return true;
}

}  // namespace

bool is_valid_utf8(std::string_view s) noexcept {
    std::size_t i = 0;
    const std::size_t n = s.size();
    while (i < n) {
        const auto b0 = static_cast<unsigned char>(s[i]);
        if (b0 < 0x80) {
            ++i;
            continue;
        }
        std::size_t extra;
        char32_t min;
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            extra = 1;
            min = 0x80;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            extra = 2;
            min = 0x800;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            extra = 3;
            min = 0x10000;
        } else {
            return false;
        }
        if (n - i <= extra) return false;
        char32_t cp = b0 & (0x3F >> extra);
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto b = static_cast<unsigned char>(s[i + k]);
            if ((b & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (b & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

std::string_view trim_unicode_whitespace(std::string_view s) noexcept {
    std::size_t begin = 0;
    while (begin < s.size()) {
        std::size_t next = begin;
        if (!is_white_space(decode(s, next))) break;
        begin = next;
    }
    std::size_t end = begin;
    std::size_t i = begin;
    while (i < s.size()) {
        const bool ws = is_white_space(decode(s, i));
        if (!ws) end = i;
    }
    return s.substr(begin, end - begin);
}

std::string ascii_lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::string debug_quote(std::string_view s) {
    std::string out = "\"";
    std::size_t i = 0;
    while (i < s.size()) {
        const std::size_t start = i;
        const char32_t c = decode(s, i);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            default:
                if (is_printable(c)) {
                    out.append(s.substr(start, i - start));
                } else {
                    char hex[16];
                    std::snprintf(hex, sizeof hex, "\\u{%x}", static_cast<unsigned>(c));
                    out += hex;
                }
        }
    }
    out += '"';
    return out;
}

}  // namespace toolbox::text
