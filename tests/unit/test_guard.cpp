// The guard at the C boundary turns every thrown object into status 5.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "ffi/error.hpp"
#include "toolbox/format.hpp"
#include "toolbox/text.hpp"

#include <cmath>
#include <limits>
#include <string_view>

namespace {

using ffi::error::FaultMessage;
using ffi::error::guard;

TEST(Guard, EveryThrownKindBecomesStatus5) {
    // A fault is reported on standard error; running out of memory is no
    // fault of the engine, and its message says only that, with the call.
    const std::string report = "qelcore: internal fault caught (ctx): ";
    struct Case {
        const char* name;
        void (*thrower)();
        FaultMessage mode;
        std::string message;
        std::string stderr_text;
    } cases[] = {
        {"fault with text", [] { toolbox::fault("bad shape"); }, FaultMessage::WithPayload, "ctx: bad shape",
         report + "bad shape\n"},
        {"fault without text", [] { throw toolbox::Fault(); }, FaultMessage::WithPayload, "ctx: unknown panic payload",
         report + "unknown panic payload\n"},
        {"std exception", [] { throw std::runtime_error("boom"); }, FaultMessage::WithPayload, "ctx: boom",
         report + "boom\n"},
        {"other object", [] { throw 42; }, FaultMessage::WithPayload, "ctx: unknown panic payload",
         report + "unknown panic payload\n"},
        {"out of memory", [] { throw std::bad_alloc(); }, FaultMessage::WithPayload,
         "qel_x: out of memory (an allocation failed)", ""},
        {"fixed text", [] { toolbox::fault("bad shape"); }, FaultMessage::Fixed, "ctx", report + "bad shape\n"},
        {"fixed, other object", [] { throw 1.5; }, FaultMessage::Fixed, "ctx", report + "unknown panic payload\n"},
        {"fixed, out of memory", [] { throw std::bad_alloc(); }, FaultMessage::Fixed,
         "qel_x: out of memory (an allocation failed)", ""},
        {"an impossible length", [] { throw std::bad_array_new_length(); }, FaultMessage::Fixed,
         "qel_x: out of memory (an allocation failed)", ""},
    };
    for (const auto& c : cases) {
        ffi::error::clear_last_error();
        testing::internal::CaptureStderr();
        const int32_t status = guard("qel_x", "ctx", c.mode, [&]() -> int32_t {
            c.thrower();
            return 0;
        });
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.stderr_text) << c.name;
        EXPECT_EQ(status, 5) << c.name;
        EXPECT_EQ(std::string(ffi::error::last_error()), c.message) << c.name;
    }
}

// An engine error marked as an internal fault reaches the boundary as a value
// and is reported there as a caught fault would be; any other error is its
// message alone.
TEST(Guard, AnErrorMarkedAsAnInternalFaultIsReportedAsOne) {
    const std::string report = "qelcore: internal fault caught (ctx): singular\n";
    struct Case {
        const char* name;
        toolbox::ComputeError error;
        FaultMessage mode;
        std::string message;
        std::string stderr_text;
    } cases[] = {
        {"ordinary", {"singular"}, FaultMessage::WithPayload, "singular", ""},
        {"ordinary, fixed words", {"singular"}, FaultMessage::Fixed, "singular", ""},
        {"internal fault", toolbox::internal_fault("singular").error(), FaultMessage::WithPayload, "ctx: singular",
         report},
        {"internal fault, fixed words", toolbox::internal_fault(toolbox::ComputeError{"singular"}).error(),
         FaultMessage::Fixed, "ctx", report},
    };
    for (const auto& c : cases) {
        ffi::error::clear_last_error();
        testing::internal::CaptureStderr();
        const int32_t status =
            guard("qel_x", "ctx", c.mode, [&] { return ffi::error::map_compute_err(c.error, "ctx", c.mode); });
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.stderr_text) << c.name;
        EXPECT_EQ(status, 5) << c.name;
        EXPECT_EQ(std::string(ffi::error::last_error()), c.message) << c.name;
    }
}

TEST(Guard, PassesTheBodysStatusThrough) {
    ffi::error::clear_last_error();
    EXPECT_EQ(guard("qel_x", "ctx", FaultMessage::WithPayload, [] { return 2; }), 2);
    EXPECT_STREQ(ffi::error::last_error(), "");
}

TEST(ErrorChannel, NulBytesAreRemoved) {
    using namespace std::string_literals;
    ffi::error::set_last_error("a\0b\0\0c"s);
    EXPECT_STREQ(ffi::error::last_error(), "abc");
    EXPECT_EQ(ffi::error::map_compute_err(toolbox::ComputeError{"x\0y"s}, "ctx", FaultMessage::WithPayload), 5);
    EXPECT_STREQ(ffi::error::last_error(), "xy");
    ffi::error::clear_last_error();
    EXPECT_STREQ(ffi::error::last_error(), "");
}

TEST(ErrorChannel, MessageThatCannotBeStoredStillLeavesAReason) {
    // A length no string can hold fails the copy before a byte is read, as
    // running out of memory would; the failing call must not look silent.
    const char byte = 'x';
    ffi::error::clear_last_error();
    ffi::error::set_last_error(std::string_view(&byte, std::numeric_limits<std::size_t>::max() / 2));
    EXPECT_STREQ(ffi::error::last_error(), "out of memory (an allocation failed)");
    ffi::error::set_last_error("next");
    EXPECT_STREQ(ffi::error::last_error(), "next");
    ffi::error::set_last_error(std::string_view(&byte, std::numeric_limits<std::size_t>::max() / 2));
    ffi::error::clear_last_error();
    EXPECT_STREQ(ffi::error::last_error(), "");
}

TEST(Text, TrimAndQuote) {
    using toolbox::text::debug_quote;
    using toolbox::text::trim_unicode_whitespace;
    EXPECT_EQ(trim_unicode_whitespace(" \t\u2028x y\u3000\u0085"), "x y");
    EXPECT_EQ(trim_unicode_whitespace("\u200b"), "\u200b");  // zero-width space is not white space
    EXPECT_EQ(trim_unicode_whitespace("   "), "");
    EXPECT_EQ(debug_quote("\u2028"), "\"\\u{2028}\"");
    EXPECT_EQ(debug_quote("\xc2\x85"), "\"\\u{85}\"");
}

}  // namespace

namespace {

TEST(Format, PlaceholdersAndNumbers) {
    struct Case {
        std::string got;
        std::string expected;
    } cases[] = {
        {toolbox::format("a {} b {}", 3, std::size_t{18446744073709551615u}), "a 3 b 18446744073709551615"},
        {toolbox::format("{}", -7), "-7"},
        {toolbox::format("{{}} {}", "x"), "{} x"},
        {toolbox::format("{:?}", "a\"b"), "\"a\\\"b\""},
        {toolbox::format("{}", 1.0), "1"},
        {toolbox::format("{}", 0.1), "0.1"},
        {toolbox::format("{}", -2.5), "-2.5"},
        {toolbox::format("{}", 1e-7), "0.0000001"},
        {toolbox::format("{}", 1e21), "1000000000000000000000"},
        {toolbox::format("{}", 123456.789), "123456.789"},
        {toolbox::format("{}", -0.0), "-0"},
        {toolbox::format("{} {} {}", std::nan(""), 1.0 / 0.0, -1.0 / 0.0), "NaN inf -inf"},
        {toolbox::format("{}", true), "true"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.expected);
}

}  // namespace
