// Inspecting library files (record in the bytes, versions from a loaded
// library), the printed section, and the built program run end to end.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bin/probe/engine.hpp"

namespace {

using probe::engine::EngineReport;
using probe::engine::LibraryInspection;

const std::string MARKER = std::string("QEL-ENGINE-") + "VERSION=";

// A private directory, removed with what the test put in it.
struct TempDir {
    std::string path;
    std::vector<std::string> made;
    TempDir() {
        char tmpl[] = "/tmp/qel-probe-test-XXXXXX";
        const char* p = ::mkdtemp(tmpl);
        path = p ? p : "";
    }
    ~TempDir() {
        for (auto it = made.rbegin(); it != made.rend(); ++it) std::remove(it->c_str());
        ::rmdir(path.c_str());
    }
    std::string file(const std::string& name, const std::string& bytes) {
        const std::string full = path + "/" + name;
        std::ofstream(full, std::ios::binary) << bytes;
        made.push_back(full);
        return full;
    }
    std::string dir(const std::string& name) {
        const std::string full = path + "/" + name;
        ::mkdir(full.c_str(), 0700);
        made.push_back(full);
        return full;
    }
    std::string link(const std::string& name, const std::string& target) {
        const std::string full = path + "/" + name;
        if (::symlink(target.c_str(), full.c_str()) != 0) ADD_FAILURE() << "symlink " << full;
        made.push_back(full);
        return full;
    }
};

TEST(Inspect, LoadedLibrariesAnswerOverTheirRecord) {
    struct Case {
        const char* name;
        const char* path;
        std::optional<std::string> version;
        std::optional<std::uint32_t> abi;
    } cases[] = {
        {"the engine", QEL_LIBRARY_FILE, "1.3.2", 5u},
        {"empty version from the export replaces the record", QEL_FAKE_EMPTY_VERSION, "", 7u},
        {"no exports: the record stands, abi unknown", QEL_FAKE_NO_EXPORTS, "2.0.0", std::nullopt},
        {"NULL version: the record stands", QEL_FAKE_NULL_VERSION, "1.3.2", 5u},
        {"version not UTF-8 and no record", QEL_FAKE_BAD_VERSION, std::nullopt, 4294967295u},
    };
    for (const auto& c : cases) {
        const LibraryInspection got = probe::engine::inspect_library(c.path);
        EXPECT_EQ(got.version, c.version) << c.name;
        EXPECT_EQ(got.abi, c.abi) << c.name;
    }
}

TEST(Inspect, FilesThatCannotBeLoaded) {
    TempDir t;
    const std::string nul(1, '\0');
    struct Case {
        const char* name;
        std::string path;
        std::optional<std::string> version;
    } cases[] = {
        {"record in a file that is no library", t.file("libqelcore.so", "xx" + MARKER + "0.9.1" + nul + "yy"),
         "0.9.1"},
        {"record at the very end without its NUL", t.file("tail.so", "xx" + MARKER + "0.9.1"), std::nullopt},
        {"no record", t.file("plain.so", "nothing here"), std::nullopt},
        {"missing file", t.path + "/absent.so", std::nullopt},
        {"a directory", t.dir("d.so"), std::nullopt},
        // A NUL ends the text the C library sees: the path must not be read
        // as the shorter one that names a real file.
        {"path with a NUL after a real file", t.file("cut.so", "xx" + MARKER + "0.9.1" + nul) + nul + "x",
         std::nullopt},
    };
    for (const auto& c : cases) {
        const LibraryInspection got = probe::engine::inspect_library(c.path);
        EXPECT_EQ(got.version, c.version) << c.name;
        EXPECT_EQ(got.abi, std::nullopt) << c.name;
    }
}

TEST(Inspect, BareFileNameLoadsTheFileInTheWorkingDirectory) {
    // A name without a slash must not send the loader through its search
    // directories: the report would name one file and the versions of another.
    TempDir t;
    const std::string lib = t.link("libqelcore.so", QEL_FAKE_EMPTY_VERSION);
    char old[4096];
    ASSERT_NE(::getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(::chdir(t.path.c_str()), 0);
    const LibraryInspection got = probe::engine::inspect_library("libqelcore.so");
    ASSERT_EQ(::chdir(old), 0);
    EXPECT_EQ(got.version, "");
    EXPECT_EQ(got.abi, 7u);
}

TEST(Inspect, SystemFileTestFollowsLinks) {
    TempDir t;
    const std::string file = t.file("f", "x");
    const std::string dir = t.dir("d");
    const auto& is_file = probe::engine::system_platform().is_regular_file;
    EXPECT_TRUE(is_file(file));
    EXPECT_TRUE(is_file(t.link("to-file", file)));
    EXPECT_FALSE(is_file(dir));
    EXPECT_FALSE(is_file(t.link("to-dir", dir)));
    EXPECT_FALSE(is_file(t.link("dangling", t.path + "/nothing")));
    EXPECT_FALSE(is_file(t.path + "/nothing"));
    EXPECT_FALSE(is_file(file + std::string(1, '\0') + "x"));
}

TEST(Section, Lines) {
    const EngineReport found{EngineReport::Found{"/lib/libqelcore.so"}, "1.3.2"};
    struct Case {
        const char* name;
        EngineReport report;
        std::optional<LibraryInspection> inspection;
        std::string expected;
    } cases[] = {
        {"matching library", found, LibraryInspection{"1.3.2", 5u},
         "  -- Engine --\n"
         "  cli        1.3.2\n"
         "  library    /lib/libqelcore.so\n"
         "  version    1.3.2\n"
         "  abi        5\n"
         "\n"},
        {"record only, not loadable", found, LibraryInspection{"1.2.0", std::nullopt},
         "  -- Engine --\n"
         "  cli        1.3.2\n"
         "  library    /lib/libqelcore.so\n"
         "  version    1.2.0\n"
         "  abi        unknown (could not load library)\n"
         "  note       cli and library versions differ\n"
         "\n"},
        {"empty version", found, LibraryInspection{"", 5u},
         "  -- Engine --\n"
         "  cli        1.3.2\n"
         "  library    /lib/libqelcore.so\n"
         "  version    \n"
         "  abi        5\n"
         "  note       cli and library versions differ\n"
         "\n"},
        {"nothing known", found, LibraryInspection{},
         "  -- Engine --\n"
         "  cli        1.3.2\n"
         "  library    /lib/libqelcore.so\n"
         "  version    unknown (older library)\n"
         "  abi        unknown (could not load library)\n"
         "\n"},
        {"path not UTF-8", EngineReport{EngineReport::Found{"/l\xff/libqelcore.so"}, "1.3.2"},
         LibraryInspection{"1.3.2", 0u},
         "  -- Engine --\n"
         "  cli        1.3.2\n"
         "  library    /l\xef\xbf\xbd/libqelcore.so\n"
         "  version    1.3.2\n"
         "  abi        0\n"
         "\n"},
        {"explicit path not a file", EngineReport{EngineReport::MissingOrNotAFile{"/tmp"}, "1.3.2"}, std::nullopt,
         "  -- Engine --\n"
         "  cli        1.3.2\n"
         "  library    /tmp (QEL_ENGINE_LIB missing or not a file)\n"
         "\n"},
        {"not found", EngineReport{EngineReport::NotFound{}, "1.3.2"}, std::nullopt,
         "  -- Engine --\n"
         "  cli        1.3.2\n"
         "  library    not found\n"
         "\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(probe::engine::engine_section(c.report, c.inspection), c.expected) << c.name;
    }
}

// Runs `exe` (the built program by default) with only the given
// environment, in `dir` when given; its exit status in `*status`, and what it
// wrote on standard error in `*err` when asked.
std::string run_probe(const std::string& env, int* status, std::string* err = nullptr,
                      const std::string& exe = QEL_PROBE_EXE, const std::string& dir = "") {
    TempDir scratch;
    const std::string err_file = scratch.path + "/stderr";
    scratch.made.push_back(err_file);
    const std::string cmd = (dir.empty() ? "" : "cd '" + dir + "' && ") + "env -i " + env + " '" + exe + "' 2>'" +
                            err_file + "'";
    FILE* pipe = ::popen(cmd.c_str(), "r");
    if (!pipe) return {};
    std::string out;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    const int wait_status = ::pclose(pipe);
    *status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
    if (err) {
        std::ifstream in(err_file, std::ios::binary);
        err->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return out;
}

std::string real(const std::string& path) {
    char* r = ::realpath(path.c_str(), nullptr);
    std::string out = r ? r : path;
    std::free(r);
    return out;
}

TEST(Program, ReportsTheBuiltEngine) {
    int status = -1;
    const std::string out = run_probe(std::string("QEL_ENGINE_LIB='") + QEL_LIBRARY_FILE + "'", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, std::string("  -- Engine --\n"
                               "  cli        1.3.2\n"
                               "  library    ") +
                       QEL_LIBRARY_FILE +
                       "\n"
                       "  version    1.3.2\n"
                       "  abi        5\n"
                       "\n");
}

TEST(Program, BlankExplicitLibraryFindsTheOneBesideTheProgram) {
    // The build puts the program and the library in one directory.
    const std::string exe = real(QEL_PROBE_EXE);
    const std::string beside = exe.substr(0, exe.rfind('/')) + "/libqelcore.so";
    if (real(QEL_LIBRARY_FILE) != real(beside)) GTEST_SKIP() << "library not built beside the program";
    int status = -1;
    const std::string out = run_probe("QEL_ENGINE_LIB='   '", &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(out.find("  library    " + beside + "\n  version    1.3.2\n  abi        5\n\n"), std::string::npos)
        << out;
}

TEST(Program, ExplicitDirectoryIsReportedWithoutSearching) {
    TempDir t;
    int status = -1;
    const std::string out = run_probe("QEL_ENGINE_LIB='" + t.path + "'", &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, "  -- Engine --\n"
                   "  cli        1.3.2\n"
                   "  library    " + t.path + " (QEL_ENGINE_LIB missing or not a file)\n"
                   "\n");
}

// A report that says no library was found or loaded is a failure for a
// script: exit status 1, the same report, nothing on standard error.
TEST(Program, ExitStatusSaysWhetherALibraryWasLoaded) {
    TempDir t;
    const std::string not_a_library = t.file("libqelcore.so", MARKER + "1.3.2" + std::string(1, '\0'));
    struct Case {
        const char* name;
        std::string library;
        int status;
        std::string tail;  // the report's last data lines
    } cases[] = {
        {"the built engine", QEL_LIBRARY_FILE, 0, "  version    1.3.2\n  abi        5\n\n"},
        {"a library whose version export says nothing", QEL_FAKE_EMPTY_VERSION, 0,
         "  version    \n  abi        7\n  note       cli and library versions differ\n\n"},
        {"a file with a record that does not load", not_a_library, 1,
         "  version    1.3.2\n  abi        unknown (could not load library)\n\n"},
        {"a library without the version exports", QEL_FAKE_NO_EXPORTS, 1,
         "  version    2.0.0\n  abi        unknown (could not load library)\n  note       cli and library versions "
         "differ\n\n"},
        {"a directory", t.path, 1, " (QEL_ENGINE_LIB missing or not a file)\n\n"},
    };
    for (const auto& c : cases) {
        int status = -1;
        std::string err;
        const std::string out = run_probe("QEL_ENGINE_LIB='" + c.library + "'", &status, &err);
        EXPECT_EQ(status, c.status) << c.name;
        EXPECT_EQ(err, "") << c.name;
        ASSERT_GE(out.size(), c.tail.size()) << c.name << ":\n" << out;
        EXPECT_EQ(out.substr(out.size() - c.tail.size()), c.tail) << c.name << ":\n" << out;
    }

    // Nothing found anywhere: a copy of the program, alone in a directory,
    // with no home directory to search.
    for (const char* place : {"/Library/qel-engine", "/usr/local/lib/qel-engine", "/opt/qel-engine"}) {
        struct stat st;
        if (::stat(place, &st) == 0) GTEST_SKIP() << "an engine is installed in " << place;
    }
    std::ifstream program(QEL_PROBE_EXE, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(program)), std::istreambuf_iterator<char>());
    const std::string alone = t.dir("bin");
    const std::string copy = t.file("bin/qel-probe", bytes);
    ASSERT_EQ(::chmod(copy.c_str(), 0700), 0);
    int status = -1;
    std::string err;
    const std::string out = run_probe("", &status, &err, copy, alone);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(err, "");
    EXPECT_EQ(out, "  -- Engine --\n  cli        1.3.2\n  library    not found\n\n");
}

}  // namespace
