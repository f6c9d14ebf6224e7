// The probe's engine module: which library file a host would find, what
// version it carries and which C interface number it offers.
//
// The search runs over a `Platform`, the few operating-system questions it
// asks, so that its order can be checked without touching real install
// directories; `system_platform()` answers them for the running process.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// The version macros alone: the probe never links the engine.
#include "qelcore_version.h"

namespace probe::engine {

// The file name a host looks for.
inline constexpr std::string_view LIBRARY_FILE_NAME = "libqelcore.so";
// The probe's own ("cli") version.
inline constexpr std::string_view CLI_VERSION = QEL_VERSION_STRING;

// Environment variables of the search. The build-output one names the
// directory holding the release and debug build trees.
inline constexpr const char* ENGINE_LIB_VAR = "QEL_ENGINE_LIB";
inline constexpr const char* ENGINE_HOME_VAR = "QEL_ENGINE_HOME";
inline constexpr const char* TARGET_DIR_VAR = "QEL_TARGET_DIR";

// Paths are byte strings, as the file system keeps them.
struct Platform {
    // The raw bytes of an environment variable; none when unset.
    std::function<std::optional<std::string>(const char* name)> var;
    // The running program's path; none when it cannot be obtained.
    std::function<std::optional<std::string>()> current_exe;
    // True when the path names a regular file, symbolic links followed; any
    // failure to examine it is false.
    std::function<bool(const std::string& path)> is_regular_file;
};

const Platform& system_platform();

struct EngineReport {
    struct Found {
        std::string path;
    };
    // The path named by QEL_ENGINE_LIB, which is not a regular file.
    struct MissingOrNotAFile {
        std::string path;
    };
    struct NotFound {};

    std::variant<Found, MissingOrNotAFile, NotFound> library;
    std::string cli_version;
};

struct LibraryInspection {
    std::optional<std::string> version;
    std::optional<std::uint32_t> abi;
};

// Path equality by components, without touching the file system: repeated
// and trailing separators and "." components after the first do not count,
// a leading "." and ".." components do, and absolute never equals relative.
bool same_path(std::string_view a, std::string_view b);

// Appends `path` unless an equal path is already listed.
void push_unique(std::vector<std::string>& list, std::string path);

// `base` and `rest` with one separator between them (`rest` is relative).
std::string join_path(std::string_view base, std::string_view rest);

// The path without its last component; none for "/" and "".
std::optional<std::string> parent_path(std::string_view path);

// The search places in order, each ending in the library file name.
// QEL_ENGINE_LIB plays no part here.
std::vector<std::string> candidate_paths(const Platform& platform);

EngineReport report(const Platform& platform);
EngineReport report();

// Reads the version record from the file, then loads the library by path to
// ask its two version exports, and unloads it.
LibraryInspection inspect_library(const std::string& path);

// The engine section as printed; `inspection` is used only when the report
// found a library.
std::string engine_section(const EngineReport& report, const std::optional<LibraryInspection>& inspection);

// Runs the search, inspects the library when found and prints the section
// on standard output. True when a library was found and loaded.
bool print_engine_section();

}  // namespace probe::engine
