// qel-probe: prints which engine library a host would find, its version and
// its C interface number. It takes no options.
#include <cstdio>

#include "bin/probe/engine.hpp"

int main() {
    probe::engine::print_engine_section();
    // A report that could not be written is not a success, but there is no
    // other channel to say so than the exit status.
    return std::fflush(stdout) == 0 && std::ferror(stdout) == 0 ? 0 : 1;
}
