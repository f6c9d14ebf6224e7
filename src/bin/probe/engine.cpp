#include "bin/probe/engine.hpp"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bin/probe/text.hpp"
#include "bin/probe/version_record.hpp"

namespace probe::engine {
namespace {

// Environment values are text: a value that is not valid UTF-8 is treated as
// unset rather than guessed at.
std::optional<std::string> text_var(const Platform& platform, const char* name) {
    auto value = platform.var(name);
    if (!value || !text::is_valid_utf8(*value)) return std::nullopt;
    return value;
}

std::optional<std::string> trimmed_var(const Platform& platform, const char* name) {
    const auto value = text_var(platform, name);
    if (!value) return std::nullopt;
    const std::string_view trimmed = text::trim_white_space(*value);
    if (trimmed.empty()) return std::nullopt;
    return std::string(trimmed);
}

void push_library_in(std::vector<std::string>& list, std::string_view dir) {
    push_unique(list, join_path(dir, LIBRARY_FILE_NAME));
}

std::optional<std::string> read_exe_link() {
    std::string buf(256, '\0');
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) return std::nullopt;
        if (static_cast<std::size_t>(n) < buf.size()) {
            buf.resize(static_cast<std::size_t>(n));
            return buf;
        }
        buf.resize(buf.size() * 2);
    }
}

std::optional<std::string> read_whole_file(const std::string& path) {
    // No file name holds a NUL; opening the text before it would read
    // another file than the one named.
    if (path.find('\0') != std::string::npos) return std::nullopt;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return std::nullopt;
    std::string bytes;
    char chunk[65536];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes.append(chunk, n);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) return std::nullopt;
    return bytes;
}

void data_line(std::string& out, std::string_view label, std::string_view value) {
    out += "  ";
    out += label;
    if (label.size() < 10) out.append(10 - label.size(), ' ');
    out += ' ';
    out += value;
    out += '\n';
}

}  // namespace

const Platform& system_platform() {
    static const Platform platform{
        [](const char* name) -> std::optional<std::string> {
            const char* value = std::getenv(name);
            if (!value) return std::nullopt;
            return std::string(value);
        },
        [] { return read_exe_link(); },
        [](const std::string& path) {
            if (path.find('\0') != std::string::npos) return false;
            struct stat st;
            return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
        },
    };
    return platform;
}

std::vector<std::string> candidate_paths(const Platform& platform) {
    std::vector<std::string> list;

    // Beside the program and in the usual package layouts around it.
    if (const auto exe = platform.current_exe()) {
        if (const auto dir = parent_path(*exe)) {
            push_library_in(list, *dir);
            push_library_in(list, join_path(*dir, "lib"));
            if (const auto up = parent_path(*dir)) {
                push_library_in(list, join_path(*up, "lib"));
                push_library_in(list, join_path(*up, "lib/python/qel_engine/lib"));
            }
        }
    }

    if (const auto home = trimmed_var(platform, ENGINE_HOME_VAR)) {
        push_library_in(list, join_path(*home, "lib"));
        push_library_in(list, *home);
    }

    push_library_in(list, "/Library/qel-engine/lib");
    push_library_in(list, "/Library/qel-engine/lib/python/qel_engine/lib");

    auto user = text_var(platform, "HOME");
    if (!user || user->empty()) user = text_var(platform, "USERPROFILE");
    if (user && !user->empty()) {
        push_library_in(list, join_path(*user, ".local/share/qel-engine/lib"));
        push_library_in(list, join_path(*user, ".qel-engine/lib"));
    }

    push_library_in(list, "/usr/local/lib/qel-engine");
    push_library_in(list, "/opt/qel-engine/lib");

    // Build trees, relative to the working directory, then a named one.
    push_library_in(list, "target/release");
    push_library_in(list, "target/debug");
    if (const auto target = trimmed_var(platform, TARGET_DIR_VAR)) {
        push_library_in(list, join_path(*target, "release"));
        push_library_in(list, join_path(*target, "debug"));
    }
    return list;
}

EngineReport report(const Platform& platform) {
    EngineReport out{EngineReport::NotFound{}, std::string(CLI_VERSION)};
    // An explicit library is taken as given: no search behind the user's back.
    if (auto explicit_path = trimmed_var(platform, ENGINE_LIB_VAR)) {
        if (platform.is_regular_file(*explicit_path)) {
            out.library = EngineReport::Found{std::move(*explicit_path)};
        } else {
            out.library = EngineReport::MissingOrNotAFile{std::move(*explicit_path)};
        }
        return out;
    }
    for (auto& candidate : candidate_paths(platform)) {
        if (platform.is_regular_file(candidate)) {
            out.library = EngineReport::Found{std::move(candidate)};
            return out;
        }
    }
    return out;
}

EngineReport report() { return report(system_platform()); }

LibraryInspection inspect_library(const std::string& path) {
    LibraryInspection out;
    if (const auto bytes = read_whole_file(path)) {
        if (const auto version = ffi::parse_engine_version_record(*bytes)) out.version = std::string(*version);
    }

    if (!text::is_valid_utf8(path) || path.find('\0') != std::string::npos) return out;
    // dlopen searches the loader's directories for a name without a slash;
    // the file we just read is the one to load, so name it as a path.
    const std::string load_path = path.find('/') == std::string::npos ? "./" + path : path;
    void* handle = ::dlopen(load_path.c_str(), RTLD_LAZY);
    if (!handle) return out;

    using AbiVersionFn = std::uint32_t (*)();
    using EngineVersionFn = const char* (*)();
    if (void* sym = ::dlsym(handle, "qel_abi_version")) {
        out.abi = reinterpret_cast<AbiVersionFn>(sym)();
    }
    if (void* sym = ::dlsym(handle, "qel_engine_version")) {
        if (const char* text = reinterpret_cast<EngineVersionFn>(sym)()) {
            const std::string_view version(text);
            if (text::is_valid_utf8(version)) out.version = std::string(version);
        }
    }
    ::dlclose(handle);
    return out;
}

std::string engine_section(const EngineReport& report, const std::optional<LibraryInspection>& inspection) {
    std::string out = "  -- Engine --\n";
    data_line(out, "cli", report.cli_version);
    if (const auto* found = std::get_if<EngineReport::Found>(&report.library)) {
        data_line(out, "library", text::display_lossy(found->path));
        const LibraryInspection none;
        const LibraryInspection& ins = inspection ? *inspection : none;
        data_line(out, "version", ins.version ? std::string_view(*ins.version) : "unknown (older library)");
        data_line(out, "abi", ins.abi ? std::to_string(*ins.abi) : "unknown (could not load library)");
        if (ins.version && *ins.version != report.cli_version) {
            data_line(out, "note", "cli and library versions differ");
        }
    } else if (const auto* missing = std::get_if<EngineReport::MissingOrNotAFile>(&report.library)) {
        data_line(out, "library", text::display_lossy(missing->path) + " (QEL_ENGINE_LIB missing or not a file)");
    } else {
        data_line(out, "library", "not found");
    }
    out += '\n';
    return out;
}

bool print_engine_section() {
    const EngineReport found = report();
    std::optional<LibraryInspection> inspection;
    if (const auto* lib = std::get_if<EngineReport::Found>(&found.library)) inspection = inspect_library(lib->path);
    const std::string section = engine_section(found, inspection);
    std::fwrite(section.data(), 1, section.size(), stdout);
    // The interface number comes from the loaded library only.
    return inspection && inspection->abi;
}

}  // namespace probe::engine
