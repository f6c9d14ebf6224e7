// The library search over a made-up process: environment, program path and
// the set of regular files are the fixture's, never the machine's.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "bin/probe/engine.hpp"
#include "bin/probe/text.hpp"

namespace {

using probe::engine::EngineReport;

struct FakeProcess {
    std::map<std::string, std::string> env;
    std::optional<std::string> exe;
    std::set<std::string> files;

    probe::engine::Platform platform() const {
        return {
            [this](const char* name) -> std::optional<std::string> {
                const auto it = env.find(name);
                if (it == env.end()) return std::nullopt;
                return it->second;
            },
            [this] { return exe; },
            [this](const std::string& path) { return files.count(path) > 0; },
        };
    }
};

TEST(Search, CandidateOrderWithEveryPlaceEnabled) {
    FakeProcess p;
    p.exe = "/srv/app/bin/qel-probe";
    p.env = {{"QEL_ENGINE_HOME", "  /eng \t"}, {"HOME", "/home/u"}, {"USERPROFILE", "/ignored"},
             {"QEL_TARGET_DIR", " out "}};
    const std::vector<std::string> expected = {
        "/srv/app/bin/libqelcore.so",
        "/srv/app/bin/lib/libqelcore.so",
        "/srv/app/lib/libqelcore.so",
        "/srv/app/lib/python/qel_engine/lib/libqelcore.so",
        "/eng/lib/libqelcore.so",
        "/eng/libqelcore.so",
        "/Library/qel-engine/lib/libqelcore.so",
        "/Library/qel-engine/lib/python/qel_engine/lib/libqelcore.so",
        "/home/u/.local/share/qel-engine/lib/libqelcore.so",
        "/home/u/.qel-engine/lib/libqelcore.so",
        "/usr/local/lib/qel-engine/libqelcore.so",
        "/opt/qel-engine/lib/libqelcore.so",
        "target/release/libqelcore.so",
        "target/debug/libqelcore.so",
        "out/release/libqelcore.so",
        "out/debug/libqelcore.so",
    };
    EXPECT_EQ(probe::engine::candidate_paths(p.platform()), expected);
}

TEST(Search, PlacesThatDoNotQualifyAreLeftOut) {
    FakeProcess p;  // no program path, no variables
    const std::vector<std::string> fixed = {
        "/Library/qel-engine/lib/libqelcore.so",
        "/Library/qel-engine/lib/python/qel_engine/lib/libqelcore.so",
        "/usr/local/lib/qel-engine/libqelcore.so",
        "/opt/qel-engine/lib/libqelcore.so",
        "target/release/libqelcore.so",
        "target/debug/libqelcore.so",
    };
    EXPECT_EQ(probe::engine::candidate_paths(p.platform()), fixed);

    // Blank or non-UTF-8 values count as absent; an empty HOME gives way to
    // USERPROFILE, which is taken untrimmed.
    p.env = {{"QEL_ENGINE_HOME", " \xe2\x80\x83 "}, {"QEL_TARGET_DIR", "\xff"}, {"HOME", ""},
             {"USERPROFILE", " C:/Users/u"}};
    auto expected = fixed;
    expected.insert(expected.begin() + 2, {" C:/Users/u/.local/share/qel-engine/lib/libqelcore.so",
                                           " C:/Users/u/.qel-engine/lib/libqelcore.so"});
    EXPECT_EQ(probe::engine::candidate_paths(p.platform()), expected);

    // A HOME that is not UTF-8 is absent too.
    p.env = {{"HOME", "/home/\xc3"}};
    EXPECT_EQ(probe::engine::candidate_paths(p.platform()), fixed);
}

TEST(Search, ProgramAtTheRootHasNoParentPlaces) {
    FakeProcess p;
    p.exe = "/qel-probe";
    const auto list = probe::engine::candidate_paths(p.platform());
    ASSERT_GE(list.size(), 3u);
    EXPECT_EQ(list[0], "/libqelcore.so");
    EXPECT_EQ(list[1], "/lib/libqelcore.so");
    EXPECT_EQ(list[2], "/Library/qel-engine/lib/libqelcore.so");
}

TEST(Search, RepeatedPlaceIsListedOnceAtItsFirstPosition) {
    FakeProcess p;
    // The program's directory, up/lib and QEL_ENGINE_HOME/lib are one place.
    p.exe = "/x/lib/qel-probe";
    p.env = {{"QEL_ENGINE_HOME", "/x/"}, {"QEL_TARGET_DIR", "target"}};
    const auto list = probe::engine::candidate_paths(p.platform());
    const std::vector<std::string> head = {
        "/x/lib/libqelcore.so",
        "/x/lib/lib/libqelcore.so",
        "/x/lib/python/qel_engine/lib/libqelcore.so",
        "/x/libqelcore.so",
        "/Library/qel-engine/lib/libqelcore.so",
    };
    ASSERT_GE(list.size(), head.size());
    EXPECT_EQ(std::vector<std::string>(list.begin(), list.begin() + 5), head);
    // target/release and target/debug come once, from the fixed places.
    EXPECT_EQ(list.back(), "target/debug/libqelcore.so");
    EXPECT_EQ(list[list.size() - 2], "target/release/libqelcore.so");
}

TEST(Search, ExplicitLibraryDecidesWithoutSearching) {
    FakeProcess p;
    p.exe = "/app/qel-probe";
    p.files = {"/app/libqelcore.so", "/custom/engine.so"};

    p.env = {{"QEL_ENGINE_LIB", "  /custom/engine.so\n"}};
    auto r = probe::engine::report(p.platform());
    ASSERT_TRUE(std::holds_alternative<EngineReport::Found>(r.library));
    EXPECT_EQ(std::get<EngineReport::Found>(r.library).path, "/custom/engine.so");
    EXPECT_EQ(r.cli_version, "1.3.2");

    // Not a file: reported as such even though the search would succeed.
    p.env = {{"QEL_ENGINE_LIB", " /custom/missing.so "}};
    r = probe::engine::report(p.platform());
    ASSERT_TRUE(std::holds_alternative<EngineReport::MissingOrNotAFile>(r.library));
    EXPECT_EQ(std::get<EngineReport::MissingOrNotAFile>(r.library).path, "/custom/missing.so");

    // Blank: the search runs as if it were unset.
    for (const char* blank : {"", "   ", "\t\n", "\xc2\xa0"}) {
        p.env = {{"QEL_ENGINE_LIB", blank}};
        r = probe::engine::report(p.platform());
        ASSERT_TRUE(std::holds_alternative<EngineReport::Found>(r.library)) << '"' << blank << '"';
        EXPECT_EQ(std::get<EngineReport::Found>(r.library).path, "/app/libqelcore.so");
    }
}

TEST(Search, FirstRegularFileInListOrderWins) {
    FakeProcess p;
    p.exe = "/app/bin/qel-probe";
    p.env = {{"HOME", "/home/u"}};
    p.files = {"target/debug/libqelcore.so", "/home/u/.qel-engine/lib/libqelcore.so",
               "/opt/qel-engine/lib/libqelcore.so"};
    auto r = probe::engine::report(p.platform());
    ASSERT_TRUE(std::holds_alternative<EngineReport::Found>(r.library));
    EXPECT_EQ(std::get<EngineReport::Found>(r.library).path, "/home/u/.qel-engine/lib/libqelcore.so");

    p.files.clear();
    r = probe::engine::report(p.platform());
    EXPECT_TRUE(std::holds_alternative<EngineReport::NotFound>(r.library));
}

TEST(Paths, ComponentEquality) {
    struct Case {
        const char* a;
        const char* b;
        bool equal;
    } cases[] = {
        {"a/b", "a/b", true},
        {"a//b", "a/b", true},
        {"a/b/", "a/b", true},
        {"a/./b", "a/b", true},
        {"a/b/.", "a/b", true},
        {"/./a", "/a", true},
        {"./a", "a", false},  // a leading "." counts
        {"./a", ".//a/", true},
        {"a/../b", "b", false},  // ".." is a name, nothing is resolved
        {"a/../b", "a/../b/", true},
        {"/a", "a", false},
        {"/", "//", true},
        {"/", "", false},
        {".", "", false},
        {"a/b", "a/c", false},
        {"a/b", "a", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(probe::engine::same_path(c.a, c.b), c.equal) << c.a << " vs " << c.b;
        EXPECT_EQ(probe::engine::same_path(c.b, c.a), c.equal) << c.b << " vs " << c.a;
    }
}

TEST(Paths, PushUniqueKeepsTheFirstSpelling) {
    std::vector<std::string> list;
    probe::engine::push_unique(list, "/x//lib/libqelcore.so");
    probe::engine::push_unique(list, "/x/lib/./libqelcore.so");
    probe::engine::push_unique(list, "x/lib/libqelcore.so");
    probe::engine::push_unique(list, "/x/lib/libqelcore.so");
    EXPECT_EQ(list, (std::vector<std::string>{"/x//lib/libqelcore.so", "x/lib/libqelcore.so"}));
}

TEST(Paths, ParentAndJoin) {
    using probe::engine::join_path;
    using probe::engine::parent_path;
    EXPECT_EQ(parent_path("/a/b/qel-probe"), "/a/b");
    EXPECT_EQ(parent_path("/a/b/"), "/a");
    EXPECT_EQ(parent_path("/a"), "/");
    EXPECT_EQ(parent_path("a"), "");
    EXPECT_EQ(parent_path("/"), std::nullopt);
    EXPECT_EQ(parent_path(""), std::nullopt);
    EXPECT_EQ(join_path("/", "lib"), "/lib");
    EXPECT_EQ(join_path("/a/", "lib"), "/a/lib");
    EXPECT_EQ(join_path("/a", "lib"), "/a/lib");
    EXPECT_EQ(join_path("", "lib"), "lib");
}

TEST(Text, TrimAndDisplay) {
    using probe::text::display_lossy;
    using probe::text::trim_white_space;
    EXPECT_EQ(trim_white_space(" \t/a b\n"), "/a b");
    EXPECT_EQ(trim_white_space("\xe3\x80\x80/p\xc2\x85"), "/p");  // U+3000 and U+0085
    EXPECT_EQ(trim_white_space("\xe2\x80\x8b/p"), "\xe2\x80\x8b/p");  // U+200B is not white space
    EXPECT_EQ(trim_white_space(" \xc2\xa0 "), "");

    EXPECT_EQ(display_lossy("/ok/\xc3\xa9"), "/ok/\xc3\xa9");
    EXPECT_EQ(display_lossy("/a\xff" "b"), "/a\xef\xbf\xbd" "b");
    // A truncated sequence is one replacement, not one per byte.
    EXPECT_EQ(display_lossy("\xe2\x82/"), "\xef\xbf\xbd/");
    // Surrogates and overlong forms are ill-formed from their first byte on.
    EXPECT_EQ(display_lossy("\xed\xa0\x80"), "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_EQ(display_lossy("\xc0\xaf"), "\xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_FALSE(probe::text::is_valid_utf8("\xf4\x90\x80\x80"));
    EXPECT_TRUE(probe::text::is_valid_utf8("\xf4\x8f\xbf\xbf"));
}

}  // namespace
