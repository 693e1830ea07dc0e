#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "platform/linux/CallbackGuard.h"
#include "platform/linux/SdEventRunLoop.h"

namespace ampwarden {
namespace {

TEST(SdEventRunLoopTest, AnExceptionFromTimedWorkEndsTheLoopWithAFailure) {
    SdEventRunLoop loop;
    bool later = false;
    loop.after(0, [] { throw 42; });
    loop.after(0.001, [&] { later = true; });
    testing::internal::CaptureStderr();
    EXPECT_EQ(loop.run(), CallbackGuard::kExitCode);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "a timed callback failed: an exception of unknown type"),
              std::string::npos);
    EXPECT_FALSE(later);
}

TEST(SdEventRunLoopTest, TerminationSignalsEndTheLoopCleanly) {
    for (int signal : {SIGTERM, SIGINT}) {
        SdEventRunLoop loop;
        loop.after(0, [signal] { raise(signal); });
        loop.after(20, [&] { loop.quit(99); });  // guard only
        EXPECT_EQ(loop.run(), 0) << signal;
    }
}

}  // namespace
}  // namespace ampwarden
