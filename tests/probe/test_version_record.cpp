// The version record as the probe reads it from a library file's bytes.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "bin/probe/version_record.hpp"

namespace {

const std::string MARKER = std::string("QEL-ENGINE-") + "VERSION=";

std::string bytes(std::initializer_list<std::string> parts) {
    std::string out;
    for (const auto& p : parts) out += p;
    return out;
}

TEST(VersionRecord, Cases) {
    const std::string nul(1, '\0');
    struct Case {
        const char* name;
        std::string input;
        std::optional<std::string> expected;
    } cases[] = {
        {"record inside binary bytes", bytes({"\x7f" "ELF", nul, "junk", MARKER, "1.3.2", nul, "more"}), "1.3.2"},
        {"ended by a line feed", bytes({MARKER, "2.0\n"}), "2.0"},
        {"first record wins", bytes({MARKER, "1.0", nul, MARKER, "2.0", nul}), "1.0"},
        {"first record is taken even when it is empty", bytes({MARKER, nul, MARKER, "2.0", nul}), std::nullopt},
        {"shorter than the marker", MARKER.substr(0, 18), std::nullopt},
        {"empty buffer", "", std::nullopt},
        {"no marker", bytes({"QEL-ENGINE-VERSION", nul, "1.3.2", nul}), std::nullopt},
        {"marker ends the buffer", bytes({"abc", MARKER}), std::nullopt},
        {"record at the end without its NUL", bytes({"abc", MARKER, "1.3.2"}), std::nullopt},
        {"empty version", bytes({MARKER, nul}), std::nullopt},
        {"version not UTF-8", bytes({MARKER, "1.\xff", nul}), std::nullopt},
        {"non-ASCII UTF-8 version", bytes({MARKER, "1.3.2-\xc3\xa9", nul}), "1.3.2-\xc3\xa9"},
        {"text after a truncated marker is not a record", bytes({"QEL-ENGINE-VERSIO", "=1.0", nul}), std::nullopt},
    };
    for (const auto& c : cases) {
        const auto got = ffi::parse_engine_version_record(c.input);
        ASSERT_EQ(got.has_value(), c.expected.has_value()) << c.name;
        if (got) {
            EXPECT_EQ(std::string(*got), *c.expected) << c.name;
        }
    }
}

TEST(VersionRecord, TextIsBorrowedFromTheBuffer) {
    const std::string buf = MARKER + "1.3.2" + std::string(1, '\0');
    const auto got = ffi::parse_engine_version_record(buf);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->data(), buf.data() + MARKER.size());
}

}  // namespace
