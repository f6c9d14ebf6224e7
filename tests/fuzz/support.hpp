// What every fuzz target shares: a check that aborts with a report when the
// library breaks a promise of qelcore.h, the values the targets draw, and
// small reference implementations of the text rules the header states.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "qelcore.h"

namespace fuzz {

// A broken promise: print what was expected and stop, so libFuzzer keeps the
// input as a crash.
[[noreturn]] inline void fail(const char* file, int line, const std::string& what) {
    std::fprintf(stderr, "\n%s:%d: broken promise: %s\n", file, line, what.c_str());
    std::fflush(stderr);
    std::abort();
}

#define FUZZ_CHECK(cond, what)                                   \
    do {                                                         \
        if (!(cond)) ::fuzz::fail(__FILE__, __LINE__, (what));   \
    } while (0)

inline std::string str(long long v) { return std::to_string(v); }
inline std::string ustr(unsigned long long v) { return std::to_string(v); }

// The calling thread's message as a string.
inline std::string last_error() {
    const char* m = qel_last_error();
    FUZZ_CHECK(m != nullptr, "qel_last_error returned NULL");
    return m;
}

// Leaves a known message in the slot, so a check can see whether a call
// cleared it, set it or left it alone. The failing setter changes nothing.
inline const std::string& stain() {
    static const std::string text = "invalid percentile algorithm: 77 (0=full_sort, 1=order_statistics)";
    const int32_t s = qel_set_percentile_value_algorithm(77);
    FUZZ_CHECK(s == QEL_STATUS_INVALID_VALUE && last_error() == text, "percentile setter did not refuse 77");
    return text;
}

// The outcome of one fallible call: status and message.
struct Outcome {
    int32_t status;
    std::string message;
    bool operator==(const Outcome&) const = default;
};

inline Outcome outcome(int32_t status) { return {status, last_error()}; }

inline std::string show(const Outcome& o) { return "status " + str(o.status) + " \"" + o.message + "\""; }

// A success leaves the message empty; a failure leaves exactly one message.
inline void check_channel(const char* call, const Outcome& got) {
    if (got.status == QEL_STATUS_OK) {
        FUZZ_CHECK(got.message.empty(), std::string(call) + ": success with message \"" + got.message + "\"");
    } else {
        FUZZ_CHECK(got.status == 1 || got.status == 2 || got.status == 3 || got.status == 5,
                   std::string(call) + ": status outside the header's codes: " + show(got));
        FUZZ_CHECK(!got.message.empty(), std::string(call) + ": failure without a message: " + show(got));
    }
}

inline void expect(const char* call, const Outcome& got, const Outcome& want) {
    check_channel(call, got);
    FUZZ_CHECK(got == want, std::string(call) + ": got " + show(got) + ", expected " + show(want));
}

// --- Values ----------------------------------------------------------------

// A double: mostly ordinary small numbers, so computations get far, and now
// and then a value that stresses them.
inline double value(FuzzedDataProvider& p) {
    const uint8_t sel = p.ConsumeIntegral<uint8_t>();
    if (sel < 160) return static_cast<double>(static_cast<int8_t>(sel * 7 + p.ConsumeIntegral<uint8_t>())) / 8.0;
    switch (sel % 16) {
        case 0: return 0.0;
        case 1: return -0.0;
        case 2: return 1e308;
        case 3: return -1e308;
        case 4: return std::numeric_limits<double>::infinity();
        case 5: return -std::numeric_limits<double>::infinity();
        case 6: return std::numeric_limits<double>::quiet_NaN();
        case 7: return std::numeric_limits<double>::denorm_min();
        case 8: return std::numeric_limits<double>::min();
        case 9: return 1e-300;
        case 10: return 1e154;
        case 11: return 1.0 + std::numeric_limits<double>::epsilon();
        case 12: return static_cast<double>(p.ConsumeIntegral<int32_t>());
        default: {
            uint64_t bits = p.ConsumeIntegral<uint64_t>();
            double d;
            std::memcpy(&d, &bits, sizeof d);
            return d;
        }
    }
}

// A threshold: mostly a fraction in [0, 1], sometimes any value.
inline double threshold(FuzzedDataProvider& p) {
    const uint8_t sel = p.ConsumeIntegral<uint8_t>();
    if (sel < 200) return static_cast<double>(sel % 101) / 100.0;
    return value(p);
}

// An int32 code: mostly in the small range the setters know, sometimes any.
inline int32_t code(FuzzedDataProvider& p) {
    const uint8_t sel = p.ConsumeIntegral<uint8_t>();
    if (sel < 200) return static_cast<int32_t>(sel % 5);
    switch (sel % 4) {
        case 0: return -1;
        case 1: return std::numeric_limits<int32_t>::min();
        case 2: return std::numeric_limits<int32_t>::max();
        default: return p.ConsumeIntegral<int32_t>();
    }
}

// Same bits, NaN payloads included: for inputs and copies, which the
// library must leave or pass on as they are.
inline bool same_bits(const double* a, const double* b, size_t n) {
    return n == 0 || std::memcmp(a, b, n * sizeof(double)) == 0;
}

// Same bits, except that any NaN matches any NaN: for results that two calls
// compute. IEEE 754 leaves the sign and payload of a NaN that arithmetic
// makes to the operand the hardware picks, and the compiler may swap the
// operands of an addition, so two copies of one kernel can give NaNs that
// differ in their sign bit alone.
inline bool same_values(const double* a, const double* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (std::isnan(a[i]) && std::isnan(b[i])) continue;
        if (std::memcmp(a + i, b + i, sizeof(double)) != 0) return false;
    }
    return true;
}

// --- Text rules --------------------------------------------------------------

// Valid UTF-8: shortest forms only, no surrogates, nothing above U+10FFFF.
inline bool valid_utf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        const unsigned b = static_cast<unsigned char>(s[i]);
        size_t len;
        uint32_t cp;
        if (b < 0x80) {
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            len = 2;
            cp = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            len = 3;
            cp = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0) {
            len = 4;
            cp = b & 0x07;
        } else {
            return false;
        }
        if (i + len > s.size()) return false;
        for (size_t k = 1; k < len; ++k) {
            const unsigned c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        static constexpr uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

// Code points of valid UTF-8, each with its byte length.
inline std::vector<std::pair<uint32_t, size_t>> code_points(std::string_view s) {
    std::vector<std::pair<uint32_t, size_t>> out;
    for (size_t i = 0; i < s.size();) {
        const unsigned b = static_cast<unsigned char>(s[i]);
        const size_t len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        uint32_t cp = len == 1 ? b : b & (0x7F >> len);
        for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        out.emplace_back(cp, len);
        i += len;
    }
    return out;
}

// The Unicode White_Space set.
inline bool white_space(uint32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Valid UTF-8 with white space removed from both ends.
inline std::string trim(std::string_view s) {
    const auto cps = code_points(s);
    size_t begin = 0, end = s.size(), lo = 0, hi = cps.size();
    while (lo < hi && white_space(cps[lo].first)) begin += cps[lo++].second;
    while (hi > lo && white_space(cps[hi - 1].first)) end -= cps[--hi].second;
    return std::string(s.substr(begin, end - begin));
}

// Lower case as the setters compare: ASCII letters, plus the Kelvin sign,
// the one character outside ASCII whose lower case is an ASCII letter.
inline std::string fold(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s.compare(i, 3, "\xE2\x84\xAA") == 0) {
            out += 'k';
            i += 2;
            continue;
        }
        char c = s[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        out += c;
    }
    return out;
}

inline bool is_ascii(std::string_view s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

// The quoted form of an ASCII text in messages: backslash escapes for the
// quote, the backslash, tab, carriage return and line feed, \u{hex} for other
// control characters.
inline std::string quote_ascii(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                    char hex[16];
                    std::snprintf(hex, sizeof hex, "\\u{%x}", static_cast<unsigned>(c));
                    out += hex;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

// A text argument: NUL-terminated bytes (no NUL inside), or no text at all.
struct Text {
    bool null = false;
    std::string bytes;
    const char* c_str() const { return null ? nullptr : bytes.c_str(); }
};

// Words the setters know, so that the fuzzer reaches the accepting paths
// without having to guess them byte by byte.
inline constexpr const char* kWords[] = {
    "relevance", "similarity", "both", ">", "gt", "greater_than", "<", "lt", "less_than", ">=", "gte",
    "greater_than_or_equal_to", "<=", "lte", "less_than_or_equal_to", "score", "percent", "auto", "0", "off",
    "seq", "false", "sequential", "1", "true", "on", "none", "all", "fit", "adjusted_fit", "kfit", "yhat_cells",
    "adjusted_fit_cells", "n_cells", "weights_cells", "k_cells", "combi_cells", "ysolo_distribution",
    "ysolo_cells", "[yhat_cells, 'k_cells']", "[]", "sort", "fullsort", "full_sort", "nth", "select_nth",
    "order_stats", "order_statistics", ("\xE2\x84\xAA" "fit"), "SCORE", " percent", "Relevance\n"};

inline Text text(FuzzedDataProvider& p) {
    Text t;
    const uint8_t sel = p.ConsumeIntegral<uint8_t>();
    if (sel < 8) {
        t.null = true;
    } else if (sel < 120) {
        t.bytes = kWords[sel % (sizeof kWords / sizeof kWords[0])];
        if (sel & 1) t.bytes = p.ConsumeRandomLengthString(4) + t.bytes + p.ConsumeRandomLengthString(4);
    } else {
        t.bytes = p.ConsumeRandomLengthString(48);
    }
    // A C string ends at its first NUL.
    t.bytes = t.bytes.c_str();
    return t;
}

}  // namespace fuzz
