#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <string>

#include "platform/linux/CallbackGuard.h"
#include "platform/linux/SdEventRunLoop.h"

namespace ampwarden {
namespace {

// A repeating timer waits one interval before its first tick. (A quit before the run is the
// no-bus test's.)
TEST(SdEventRunLoopTest, DueWorkRunsInTheOrderItWasScheduledUntilQuit) {
    SdEventRunLoop loop;
    std::string order;
    auto timer = loop.repeating(0.1, [&] {
        order += "tick";
        loop.quit(7);
    });
    loop.after(0, [&] {
        order += "a";
        loop.after(0, [&] { order += "d"; });
    });
    loop.after(0, [&] { order += "b"; });
    loop.after(-1, [&] { order += "c"; });  // a deadline in the past is simply due
    EXPECT_EQ(loop.run(), 7);
    EXPECT_EQ(order, "abcdtick");
}

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

// The quit comes far later than further ticks would: the queue runs strictly by deadline.
TEST(SdEventRunLoopTest, TimersStoppedFromTheirOwnCallbackNeverTickAgain) {
    SdEventRunLoop loop;
    int cancelledTicks = 0;
    int droppedTicks = 0;
    std::unique_ptr<Timer> cancelled;
    std::unique_ptr<Timer> dropped;
    cancelled = loop.repeating(0.001, [&] {
        if (++cancelledTicks == 3) cancelled->cancel();
    });
    dropped = loop.repeating(0.001, [&] {
        ++droppedTicks;
        dropped.reset();
    });
    loop.after(0.03, [&] { loop.quit(0); });
    ASSERT_EQ(loop.run(), 0);
    EXPECT_EQ(cancelledTicks, 3);
    EXPECT_EQ(droppedTicks, 1);
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
