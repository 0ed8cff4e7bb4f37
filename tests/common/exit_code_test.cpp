#include "common/exit_code.h"

#include <gtest/gtest.h>

namespace {

TEST(ExitCode, EveryResultCodeMapsByTheTable) {
    // Index: ResultCode 0 to 19.
    const int expected[] = {15, 10, 12, 10, 10, 13, 10, 10, 11, 19,
                            19, 18, 10, 17, 19, 19, 10, 16, 14, 10};
    for (ResultCode code = 0; code < 20; ++code) {
        EXPECT_EQ(MapExitCode(code), expected[code]) << "ResultCode " << code;
    }
}

TEST(ExitCode, UnknownCodesGiveTenAndNothingGivesZero) {
    for (const ResultCode code : {20u, 100u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        EXPECT_EQ(MapExitCode(code), 10) << "ResultCode " << code;
    }
    for (ResultCode code = 0; code < 64; ++code) {
        const int exitCode = MapExitCode(code);
        EXPECT_GE(exitCode, 10);
        EXPECT_LE(exitCode, 19);
    }
}

}  // namespace
