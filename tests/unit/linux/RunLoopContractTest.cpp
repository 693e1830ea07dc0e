#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>

#include "fake/FakeRunLoop.h"
#include "platform/linux/CallbackGuard.h"
#include "platform/linux/SdEventRunLoop.h"

// The rules every RunLoop keeps are checked on the real loop and on the fake the other tests
// use, so the fake cannot drift from the real one. Intervals are a few milliseconds of real time;
// the real loop's cases assert on order and counts that load cannot change, never on wall time.

namespace ampwarden {
namespace {

template <typename Loop>
class RunLoopContractTest : public ::testing::Test {
  protected:
    static constexpr bool kFake = std::is_same_v<Loop, test::FakeRunLoop>;

    // Runs until quit() or a guard of 5 (virtual) seconds; returns the quit code.
    int runUntilQuit() {
        if constexpr (kFake) {
            for (int step = 0; step < 5000 && !subject.quitCode(); ++step) subject.advance(0.001);
            return subject.quitCode().value_or(-1);
        }
        subject.after(5, [this] { subject.quit(-1); });  // guard only
        return subject.run();
    }
    // A slow callback, holding up the loop.
    void hold(double seconds) {
        if constexpr (kFake)
            subject.hold(seconds);
        else
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }
    Loop subject;
};

using Loops = ::testing::Types<test::FakeRunLoop, SdEventRunLoop>;
TYPED_TEST_SUITE(RunLoopContractTest, Loops);

// Equal and past deadlines keep the order of scheduling, and work a callback schedules for
// "now" runs after what was already due. A timer cancelled, or dropped, from its own callback
// never ticks again: the quit comes long after, and the queue runs strictly by deadline, so a
// stray tick shows. A loop held up across ten 10 ms ticks fires the missed ones once, not in a
// burst: ticking on time, that timer would tick 15 times before the quit at 150 ms whatever the
// hold; skipping, it ticks once after the hold ends (at 105 ms or later) and at most on the 5
// slots from 110 to 150 ms. Load only delays the loop further, which makes fewer ticks.
TYPED_TEST(RunLoopContractTest, DueWorkKeepsItsOrderStoppedTimersStayStoppedMissedTicksAreSkipped) {
    auto& loop = this->subject;
    std::string order;
    loop.after(0, [&] {
        order += "a";
        loop.after(0, [&] { order += "d"; });
    });
    loop.after(0, [&] { order += "b"; });
    loop.after(-1, [&] { order += "c"; });  // a deadline in the past is simply due
    int cancelledTicks = 0, droppedTicks = 0, ticks = 0;
    std::unique_ptr<Timer> cancelled, dropped;
    cancelled = loop.repeating(0.002, [&] {
        if (++cancelledTicks == 3) cancelled->cancel();
    });
    dropped = loop.repeating(0.002, [&] {
        ++droppedTicks;
        dropped.reset();
    });
    auto skipping = loop.repeating(0.01, [&] { ++ticks; });
    loop.after(0.005, [&] { this->hold(0.1); });
    loop.after(0.15, [&] { loop.quit(7); });
    ASSERT_EQ(this->runUntilQuit(), 7);
    EXPECT_EQ(order, "abcd");
    EXPECT_EQ(cancelledTicks, 3);
    EXPECT_EQ(droppedTicks, 1);
    EXPECT_GE(ticks, 1);
    EXPECT_LE(ticks, 1 + 5 + 1);  // one more if the 150 ms tick ties with the quit
}

// An exception from timed work is a failure; termination signals end the loop cleanly.
TEST(SdEventRunLoopTest, AnExceptionFromTimedWorkIsAFailureAndATerminationSignalNot) {
    SdEventRunLoop loop;
    loop.after(0, [] { throw 42; });
    testing::internal::CaptureStderr();
    EXPECT_EQ(loop.run(), CallbackGuard::kExitCode);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "a timed callback failed: an exception of unknown type"),
              std::string::npos);
    for (int signal : {SIGTERM, SIGINT}) {
        SdEventRunLoop stopped;
        stopped.after(0, [signal] { raise(signal); });
        stopped.after(20, [&] { stopped.quit(99); });  // guard only
        EXPECT_EQ(stopped.run(), 0) << signal;
    }
}

}  // namespace
}  // namespace ampwarden
