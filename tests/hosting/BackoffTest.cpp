#include "Backoff.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace std::chrono_literals;

TEST(Backoff, Next_DoublesUpToTheCapAndStartsOverAfterReset)
{
    Backoff backoff(100ms, 350ms);
    std::vector<std::chrono::milliseconds> pauses;
    for (int i = 0; i < 5; ++i)
        pauses.push_back(backoff.next());
    EXPECT_EQ(pauses, (std::vector<std::chrono::milliseconds>{100ms, 200ms, 350ms, 350ms, 350ms}));

    backoff.reset();
    EXPECT_EQ(backoff.next(), 100ms);
    EXPECT_EQ(backoff.next(), 200ms);
}

} // namespace
