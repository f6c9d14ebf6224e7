// Path text operations of the search. They never ask the file system: the
// search lists places, and only the regular-file test looks at the disk.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "bin/probe/engine.hpp"

namespace probe::engine {
namespace {

struct Components {
    bool absolute = false;
    std::vector<std::string_view> names;  // a leading "." is kept as a name
};

Components components(std::string_view p) {
    Components c;
    c.absolute = !p.empty() && p.front() == '/';
    std::size_t i = 0;
    while (i < p.size()) {
        const std::size_t sep = p.find('/', i);
        const std::size_t stop = sep == std::string_view::npos ? p.size() : sep;
        const std::string_view name = p.substr(i, stop - i);
        // "." says something only at the very start of a relative path.
        const bool leading_dot = name == "." && i == 0 && !c.absolute;
        if (!name.empty() && (name != "." || leading_dot)) c.names.push_back(name);
        i = stop + 1;
    }
    return c;
}

}  // namespace

bool same_path(std::string_view a, std::string_view b) {
    if (a == b) return true;
    const Components ca = components(a);
    const Components cb = components(b);
    return ca.absolute == cb.absolute && ca.names == cb.names;
}

void push_unique(std::vector<std::string>& list, std::string path) {
    for (const auto& listed : list) {
        if (same_path(listed, path)) return;
    }
    list.push_back(std::move(path));
}

std::string join_path(std::string_view base, std::string_view rest) {
    std::string out(base);
    if (!out.empty() && out.back() != '/') out += '/';
    out += rest;
    return out;
}

std::optional<std::string> parent_path(std::string_view path) {
    const Components c = components(path);
    if (c.names.empty()) return std::nullopt;
    std::string out = c.absolute ? "/" : "";
    for (std::size_t k = 0; k + 1 < c.names.size(); ++k) {
        if (k > 0) out += '/';
        out += c.names[k];
    }
    return out;
}

}  // namespace probe::engine
