// Message formatting: "{}" shows a value, "{:?}" its quoted debug form (text
// in double quotes with escapes). "{{" and "}}" stand for braces.
//
// Doubles are shown with the fewest digits that read back to the same value,
// in plain positional notation (0.0000001, 1e21 as 1000000000000000000000),
// integral values without a fraction ("2"), and NaN, inf, -inf by name.
#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace toolbox {

namespace format_detail {

std::string display_double(double v);
std::string debug_text(std::string_view text);

struct Arg {
    enum class Kind { Signed, Unsigned, Double, Text, Bool } kind;
    long long s = 0;
    unsigned long long u = 0;
    double d = 0.0;
    std::string_view text;
    bool b = false;
};

template <class T>
Arg make_arg(const T& v) {
    using D = std::decay_t<T>;
    Arg a{};
    if constexpr (std::is_same_v<D, bool>) {
        a.kind = Arg::Kind::Bool;
        a.b = v;
    } else if constexpr (std::is_floating_point_v<D>) {
        a.kind = Arg::Kind::Double;
        a.d = static_cast<double>(v);
    } else if constexpr (std::is_integral_v<D> && std::is_signed_v<D>) {
        a.kind = Arg::Kind::Signed;
        a.s = static_cast<long long>(v);
    } else if constexpr (std::is_integral_v<D>) {
        a.kind = Arg::Kind::Unsigned;
        a.u = static_cast<unsigned long long>(v);
    } else if constexpr (std::is_enum_v<D>) {
        a.kind = Arg::Kind::Signed;
        a.s = static_cast<long long>(v);
    } else {
        a.kind = Arg::Kind::Text;
        a.text = std::string_view(v);
    }
    return a;
}

std::string format_args(std::string_view pattern, const Arg* args, std::size_t count);

}  // namespace format_detail

template <class... Args>
std::string format(std::string_view pattern, const Args&... args) {
    if constexpr (sizeof...(Args) == 0) {
        return format_detail::format_args(pattern, nullptr, 0);
    } else {
        const format_detail::Arg packed[] = {format_detail::make_arg(args)...};
        return format_detail::format_args(pattern, packed, sizeof...(Args));
    }
}

}  // namespace toolbox
