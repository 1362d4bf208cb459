// The main of every test program: resets the platform's test controls before each test, so a
// fault or a frozen clock never leaks from one test into the next.
#include <gtest/gtest.h>

#include "platform_testing.h"

namespace {

class ResetPlatformControls : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override { platform::testing::ResetAll(); }
    void OnTestEnd(const ::testing::TestInfo&) override { platform::testing::ResetAll(); }
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new ResetPlatformControls);
    return RUN_ALL_TESTS();
}
