// Runs a call that might never return (a hang is the fault under test) on a
// worker thread and gives it a generous limit. A stuck thread can be neither
// joined nor cancelled, so when the limit passes the whole test program ends
// with a failure instead of blocking the suite for ever.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <utility>

namespace test_support {

inline constexpr std::chrono::seconds kHangLimit{60};

// The call's result, or the end of the process (status 1) when it has not
// returned within `kHangLimit`.
template <class Call>
auto returns(const char* what, Call&& call) {
    auto done = std::async(std::launch::async, std::forward<Call>(call));
    if (done.wait_for(kHangLimit) != std::future_status::ready) {
        std::fprintf(stderr, "%s did not return within %lld s: it hangs\n", what,
                     static_cast<long long>(kHangLimit.count()));
        std::fflush(stderr);
        // The future's destructor would wait for the stuck thread.
        std::quick_exit(1);
    }
    return done.get();
}

}  // namespace test_support
