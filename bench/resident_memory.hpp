// The process's resident memory, as the benchmark hosts read it.
#pragma once

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace test_support {

// A field of /proc/self/status in KiB ("VmRSS:", "VmHWM:"), -1 when absent.
inline long status_kib(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::size_t n = std::strlen(key);
    while (std::getline(in, line)) {
        if (line.compare(0, n, key) == 0) return std::atol(line.c_str() + n + 1);
    }
    return -1;
}

// Starts the resident high-water mark (VmHWM) afresh from the current size.
inline void reset_peak() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
}

}  // namespace test_support
