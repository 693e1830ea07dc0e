#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <string>

#include "platform/linux/SdEventRunLoop.h"

namespace ampwarden {
namespace {

TEST(SdEventRunLoopTest, RunReturnsTheCodeGivenToQuit) {
    SdEventRunLoop loop;
    loop.after(0, [&] { loop.quit(7); });
    EXPECT_EQ(loop.run(), 7);

    SdEventRunLoop early;
    early.quit(3);
    EXPECT_EQ(early.run(), 3);
}

TEST(SdEventRunLoopTest, DueWorkRunsInTheOrderItWasScheduled) {
    SdEventRunLoop loop;
    std::string order;
    loop.after(0, [&] {
        order += "a";
        loop.after(0, [&] {
            order += "d";
            loop.quit(0);
        });
    });
    loop.after(0, [&] { order += "b"; });
    loop.after(-1, [&] { order += "c"; });  // a deadline in the past is simply due
    ASSERT_EQ(loop.run(), 0);
    EXPECT_EQ(order, "abcd");
}

TEST(SdEventRunLoopTest, RepeatingTimerWaitsOneIntervalBeforeItsFirstTick) {
    SdEventRunLoop loop;
    std::string order;
    auto timer = loop.repeating(0.1, [&] {
        order += "tick";
        loop.quit(0);
    });
    loop.after(0, [&] { order += "now,"; });
    ASSERT_EQ(loop.run(), 0);
    EXPECT_EQ(order, "now,tick");
}

TEST(SdEventRunLoopTest, ATimerCancelledFromItsOwnCallbackNeverTicksAgain) {
    SdEventRunLoop loop;
    int ticks = 0;
    std::unique_ptr<Timer> timer;
    timer = loop.repeating(0.001, [&] {
        if (++ticks == 3) {
            timer->cancel();
            // Far later than the next tick would have been: the queue runs by deadline.
            loop.after(0.02, [&] { loop.quit(0); });
        }
    });
    ASSERT_EQ(loop.run(), 0);
    EXPECT_EQ(ticks, 3);
}

TEST(SdEventRunLoopTest, ATimerDroppedFromItsOwnCallbackNeverTicksAgain) {
    SdEventRunLoop loop;
    int ticks = 0;
    std::unique_ptr<Timer> timer;
    timer = loop.repeating(0.001, [&] {
        ++ticks;
        timer.reset();
        loop.after(0.02, [&] { loop.quit(0); });
    });
    ASSERT_EQ(loop.run(), 0);
    EXPECT_EQ(ticks, 1);
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
