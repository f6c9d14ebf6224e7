// The library as a host sees it: exported symbols, versions and the version
// record in the file.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "exports.h"
#include "qelcore.h"

namespace {

std::set<std::string> dynamic_symbols(const std::string& library) {
    std::set<std::string> names;
    const std::string cmd = "nm -D --defined-only '" + library + "'";
    FILE* pipe = popen(cmd.c_str(), "r");
    if (!pipe) return names;
    char line[512];
    while (std::fgets(line, sizeof line, pipe)) {
        char address[64], type[8], name[400];
        if (std::sscanf(line, "%63s %7s %399s", address, type, name) == 3) {
            const std::string t = type;
            // Linker-defined section markers are not exports.
            const std::string n = name;
            if (n == "_init" || n == "_fini" || n == "_edata" || n == "_end" || n == "__bss_start") continue;
            names.insert(n);
        }
    }
    pclose(pipe);
    return names;
}

TEST(Library, ExportsExactlyTheQelFunctions) {
    std::set<std::string> expected;
    for (size_t i = 0; i < QEL_EXPORT_COUNT; ++i) {
        EXPECT_NE(QEL_EXPORTS[i].address, nullptr) << QEL_EXPORTS[i].name;
        EXPECT_TRUE(expected.insert(QEL_EXPORTS[i].name).second) << "listed twice: " << QEL_EXPORTS[i].name;
    }
    const auto actual = dynamic_symbols(QEL_LIBRARY_FILE);
    ASSERT_FALSE(actual.empty()) << "nm found no symbols in " << QEL_LIBRARY_FILE;
    EXPECT_EQ(actual, expected);
}

TEST(Library, Versions) {
    EXPECT_EQ(qel_abi_version(), 5u);
    EXPECT_STREQ(qel_engine_version(), "1.3.2");
}

TEST(Library, VersionRecordIsTheFirstMarkerInTheFile) {
    std::ifstream in(QEL_LIBRARY_FILE, std::ios::binary);
    ASSERT_TRUE(in) << QEL_LIBRARY_FILE;
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string marker = std::string("QEL-ENGINE-") + "VERSION=";
    const auto at = bytes.find(marker);
    ASSERT_NE(at, std::string::npos);
    const std::string record = bytes.substr(at, 25);
    EXPECT_EQ(record, std::string("QEL-ENGINE-VERSION=1.3.2") + '\0');
    EXPECT_EQ(bytes.substr(at + marker.size(), 5), qel_engine_version());
}

}  // namespace
