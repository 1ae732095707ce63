// A minimal test harness for the engine tests: CHECK records a failure and
// goes on, finish() prints a summary line and gives the exit code.
#pragma once

#include <cmath>
#include <cstdio>
#include <functional>
#include <string>

namespace tessaly_test {

inline int& failures() {
    static int count = 0;
    return count;
}
inline int& checks() {
    static int count = 0;
    return count;
}

inline void record(bool ok, const char* expr, const char* file, int line) {
    ++checks();
    if (!ok) {
        ++failures();
        std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, expr);
    }
}

// Runs fn and reports whether it threw an exception of type E whose what()
// contains `needle`.
template <typename E, typename Fn>
bool throws(Fn&& fn, const std::string& needle = "") {
    try {
        fn();
    } catch (const E& e) {
        return std::string(e.what()).find(needle) != std::string::npos;
    } catch (...) {
        return false;
    }
    return false;
}

inline int finish() {
    std::printf("%d checks, %d failed\n", checks(), failures());
    return failures() == 0 ? 0 : 1;
}

}  // namespace tessaly_test

#define CHECK(expr) ::tessaly_test::record(static_cast<bool>(expr), #expr, __FILE__, __LINE__)
#define CHECK_EQ(a, b) ::tessaly_test::record((a) == (b), #a " == " #b, __FILE__, __LINE__)
