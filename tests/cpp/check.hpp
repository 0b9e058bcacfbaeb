// The checks of the C++ tests of the core: CHECK records a failure with its
// line and goes on; finish() reports and gives main's exit status.
#pragma once

#include <cstdio>

namespace core_test {

inline int failures = 0;

inline void check(bool ok, const char* what, const char* file, int line) {
    if (!ok) {
        std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
        ++failures;
    }
}

inline int finish(const char* name) {
    if (failures != 0) {
        std::fprintf(stderr, "%s: %d check(s) failed\n", name, failures);
        return 1;
    }
    std::printf("%s: all checks passed\n", name);
    return 0;
}

}  // namespace core_test

#define CHECK(expr) core_test::check((expr), #expr, __FILE__, __LINE__)
