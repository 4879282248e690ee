// The one assertion helper of the native tests: records a failure, says
// which, and lets the test go on so one run reports every broken check.
#pragma once

#include <cstdio>

inline int failures = 0;

inline void check(bool ok, const char* what) {
    if (!ok) {
        ++failures;
        std::fprintf(stderr, "FAIL: %s\n", what);
    }
}
