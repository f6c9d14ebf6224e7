// qel-probe: prints which engine library a host would find, its version and
// its C interface number. It takes no options.
#include <cstdio>

#include "bin/probe/engine.hpp"

int main() {
    // A report that says no library was found or loaded is a failure, for a
    // script that runs the probe as a check; so is a report that could not be
    // written. The exit status is the only channel for either.
    const bool loaded = probe::engine::print_engine_section();
    const bool written = std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
    return loaded && written ? 0 : 1;
}
