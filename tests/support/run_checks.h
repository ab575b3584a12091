// Checks of a whole run: exactly one line on standard output, nothing on
// standard error, and the exit status.
#pragma once

#include "sandbox.h"

#include <gtest/gtest.h>
#include <string>

namespace testing_support {

inline void expect_outcome(const RunResult& result, const std::string& out, int status) {
    EXPECT_EQ(result.out, out);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, status);
}

inline void expect_success(const RunResult& result, const std::string& out) {
    expect_outcome(result, out, 0);
}

inline void expect_failure(const RunResult& result, const std::string& out) {
    expect_outcome(result, out, 1);
}

} // namespace testing_support
