#include <gtest/gtest.h>

#include "engine/core/net/session_timings.h"

namespace rvo {
namespace {

TEST(NetSilenceCounter, SixthEmptyWaitInARowEndsAndDataStartsTheCountAgain) {
    SilenceCounter silence(SessionTimings{}.extraTimeouts);
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(silence.timedOut()) << "wait " << i + 1;
    silence.heard();
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(silence.timedOut()) << "wait " << i + 1 << " after data";
    EXPECT_TRUE(silence.timedOut());
}

}  // namespace
}  // namespace rvo
