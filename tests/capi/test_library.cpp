// The library as a host sees it: exported symbols, versions and the version
// record in the file.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
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

// A C host checks what it compiled against with the header's macros.
TEST(Library, VersionMacrosAgreeWithTheLibrary) {
    EXPECT_EQ(qel_abi_version(), static_cast<uint32_t>(QEL_ABI_VERSION));
    EXPECT_STREQ(qel_engine_version(), QEL_VERSION_STRING);
    EXPECT_EQ(std::to_string(QEL_VERSION_MAJOR) + "." + std::to_string(QEL_VERSION_MINOR) + "." +
                  std::to_string(QEL_VERSION_PATCH),
              QEL_VERSION_STRING);
}

std::string base_name(const std::string& path) { return path.substr(path.rfind('/') + 1); }

std::string real_path(const std::string& path) {
    char* r = realpath(path.c_str(), nullptr);
    std::string out = r ? r : "";
    std::free(r);
    return out;
}

std::string soname_of(const std::string& library) {
    const std::string cmd = "readelf -d '" + library + "'";
    FILE* pipe = popen(cmd.c_str(), "r");
    if (!pipe) return {};
    std::string soname;
    char line[512];
    while (std::fgets(line, sizeof line, pipe)) {
        const std::string l = line;
        const auto tag = l.find("(SONAME)");
        const auto open = l.find('[', tag == std::string::npos ? l.size() : tag);
        const auto close = l.find(']', open == std::string::npos ? l.size() : open);
        if (close != std::string::npos) soname = l.substr(open + 1, close - open - 1);
    }
    pclose(pipe);
    return soname;
}

// The file is named for the engine version and its SONAME for the interface
// number; the SONAME link and the development link the probe searches for
// both lead to the file.
TEST(Library, FileNamesCarryTheVersions) {
    EXPECT_EQ(base_name(QEL_LIBRARY_FILE), std::string("libqelcore.so.") + QEL_VERSION_STRING);
    const std::string soname = "libqelcore.so." + std::to_string(QEL_ABI_VERSION);
    EXPECT_EQ(soname_of(QEL_LIBRARY_FILE), soname);
    EXPECT_EQ(base_name(QEL_LIBRARY_SONAME_FILE), soname);
    EXPECT_EQ(base_name(QEL_LIBRARY_LINK), "libqelcore.so");
    const std::string file = real_path(QEL_LIBRARY_FILE);
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(real_path(QEL_LIBRARY_SONAME_FILE), file);
    EXPECT_EQ(real_path(QEL_LIBRARY_LINK), file);
}

// The library pins OpenBLAS's pthread build: a host that links only libqelcore
// runs the engine's inversions on it, never on the single-threaded build.
TEST(Library, RunsOnThePthreadOpenBLAS) {
    using Query = int (*)();
    auto parallel = reinterpret_cast<Query>(dlsym(RTLD_DEFAULT, "openblas_get_parallel"));
    ASSERT_NE(parallel, nullptr) << "OpenBLAS is not loaded";
    EXPECT_EQ(parallel(), 1) << "0 is the single-threaded build, 2 the OpenMP one";
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
