#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake/FakeRunLoop.h"

namespace ampwarden::test {
namespace {

TEST(FakeRunLoop, RunsDueWorkInDeadlineOrderAndRepeatsTimers) {
    FakeRunLoop loop;
    std::vector<std::string> seen;
    loop.after(0.5, [&] { seen.push_back("half@" + std::to_string(loop.now())); });
    loop.after(0.2, [&] { seen.push_back("fifth"); });
    auto timer = loop.repeating(0.3, [&] { seen.push_back("tick"); });
    loop.advance(0.65);
    EXPECT_EQ(seen, (std::vector<std::string>{"fifth", "tick", "half@0.500000", "tick"}));
    timer->cancel();
    loop.advance(10);
    EXPECT_EQ(seen.size(), 4u);
}

}  // namespace
}  // namespace ampwarden::test
