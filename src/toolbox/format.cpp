#include "toolbox/format.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "toolbox/error.hpp"
#include "toolbox/text.hpp"

namespace toolbox::format_detail {

std::string display_double(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    // Shortest round-trip digits in scientific form, then laid out positionally.
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string sci(buf, res.ptr);
    std::string out;
    std::size_t pos = 0;
    if (sci[0] == '-') {
        out += '-';
        pos = 1;
    }
    const std::size_t e = sci.find('e');
    std::string digits;
    for (std::size_t i = pos; i < e; ++i) {
        if (sci[i] != '.') digits += sci[i];
    }
    const int exp10 = std::atoi(sci.c_str() + e + 1);
    // value = 0.d1d2d3... * 10^(exp10 + 1)
    const int point = exp10 + 1;
    const int n = static_cast<int>(digits.size());
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (point >= n) {
        out += digits;
        out.append(static_cast<std::size_t>(point - n), '0');
    } else {
        out += digits.substr(0, static_cast<std::size_t>(point));
        out += '.';
        out += digits.substr(static_cast<std::size_t>(point));
    }
    return out;
}

std::string debug_text(std::string_view text) { return toolbox::text::debug_quote(text); }

namespace {

void append_arg(std::string& out, const Arg& a, bool debug) {
    switch (a.kind) {
        case Arg::Kind::Signed: out += std::to_string(a.s); break;
        case Arg::Kind::Unsigned: out += std::to_string(a.u); break;
        case Arg::Kind::Double: out += display_double(a.d); break;
        case Arg::Kind::Bool: out += a.b ? "true" : "false"; break;
        case Arg::Kind::Text: out += debug ? debug_text(a.text) : std::string(a.text); break;
    }
}

}  // namespace

std::string format_args(std::string_view pattern, const Arg* args, std::size_t count) {
    std::string out;
    out.reserve(pattern.size() + 16 * count);
    std::size_t next = 0;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (c == '{' && i + 1 < pattern.size() && pattern[i + 1] == '{') {
            out += '{';
            ++i;
        } else if (c == '}' && i + 1 < pattern.size() && pattern[i + 1] == '}') {
            out += '}';
            ++i;
        } else if (c == '{') {
            const std::size_t close = pattern.find('}', i);
            require(close != std::string_view::npos, "unterminated placeholder in message pattern");
            const std::string_view placeholder = pattern.substr(i + 1, close - i - 1);
            require(placeholder.empty() || placeholder == ":?", "unsupported placeholder in message pattern");
            require(next < count, "message pattern has more placeholders than values");
            append_arg(out, args[next++], placeholder == ":?");
            i = close;
        } else {
            out += c;
        }
    }
    require(next == count, "message pattern has fewer placeholders than values");
    return out;
}

}  // namespace toolbox::format_detail
