#include "PollPacing.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>

namespace {

using std::chrono::milliseconds;

// --- The hold asked for --------------------------------------------------------------------

struct WaitCase
{
    const char *name;
    std::optional<qint64> maxWaitMs;
    std::optional<qint64> waitMs;

    friend void PrintTo(const WaitCase &c, std::ostream *os) { *os << c.name; }
};

class PollPacingWait : public ::testing::TestWithParam<WaitCase>
{
};

TEST_P(PollPacingWait, WaitMs_FromTheAnnouncedHold)
{
    EXPECT_EQ(PollPacing::waitFor(GetParam().maxWaitMs), GetParam().waitMs);
}

INSTANTIATE_TEST_SUITE_P(Table, PollPacingWait,
                         ::testing::Values(WaitCase{"NotAnnounced", std::nullopt, std::nullopt},
                                           WaitCase{"Zero", 0, std::nullopt},
                                           WaitCase{"Negative", -5, std::nullopt},
                                           WaitCase{"Shorter", 8000, 8000},
                                           WaitCase{"Longest", 25000, 25000},
                                           WaitCase{"LongerCapped", 600000, 25000}),
                         [](const auto &info) { return std::string(info.param.name); });

// --- The pause before the next poll ---------------------------------------------------------

struct PauseCase
{
    const char *name;
    bool held;
    bool advanced;
    milliseconds took;
    milliseconds pause;

    friend void PrintTo(const PauseCase &c, std::ostream *os) { *os << c.name; }
};

class PollPacingPause : public ::testing::TestWithParam<PauseCase>
{
};

TEST_P(PollPacingPause, NextPoll_LeavesAfterThePause)
{
    const PauseCase c = GetParam();
    EXPECT_EQ(PollPacing::pauseAfter(c.held, c.advanced, c.took), c.pause);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PollPacingPause,
    ::testing::Values(
        // An old switchboard answers at once: polled every 90 ms as ever, pictures or not.
        PauseCase{"NotHeld_Empty", false, false, milliseconds(3), PollPacing::pause},
        PauseCase{"NotHeld_Pictures", false, true, milliseconds(3), PollPacing::pause},
        PauseCase{"NotHeld_Slow", false, false, milliseconds(400), PollPacing::pause},
        // Held polls follow one another at once...
        PauseCase{"Held_Pictures", true, true, milliseconds(2), milliseconds(0)},
        PauseCase{"Held_EmptyAfterTheHold", true, false, milliseconds(25000), milliseconds(0)},
        PauseCase{"Held_EmptyAtThePause", true, false, PollPacing::pause, milliseconds(0)},
        // ...except an empty answer sooner than the pause: a switchboard holding nothing after all.
        PauseCase{"Held_EmptyAtOnce", true, false, milliseconds(4), PollPacing::pause},
        PauseCase{"Held_EmptyJustBefore", true, false, PollPacing::pause - milliseconds(1), PollPacing::pause}),
    [](const auto &info) { return std::string(info.param.name); });

// --- The other side's quiet and the failures worth another try -------------------------------

TEST(PollPacing, PeerQuiet_OnlyOverTheLimit)
{
    EXPECT_FALSE(PollPacing::peerQuiet(std::nullopt));
    EXPECT_FALSE(PollPacing::peerQuiet(0));
    EXPECT_FALSE(PollPacing::peerQuiet(PollPacing::peerQuietLimit.count()));
    EXPECT_TRUE(PollPacing::peerQuiet(PollPacing::peerQuietLimit.count() + 1));
}

struct FailureCase
{
    const char *name;
    KivrenError error;
    bool mayPass;

    friend void PrintTo(const FailureCase &c, std::ostream *os) { *os << c.name; }
};

class PollPacingFailure : public ::testing::TestWithParam<FailureCase>
{
};

TEST_P(PollPacingFailure, Failure_TriedAgainOnlyWhenItMayPass)
{
    EXPECT_EQ(PollPacing::mayPass(GetParam().error), GetParam().mayPass);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PollPacingFailure,
    ::testing::Values(FailureCase{"Refused", KivrenError::url(KivrenError::cannotConnectToHost, "refused"), true},
                      FailureCase{"TimedOut", KivrenError::url(KivrenError::timedOut, "timed out"), true},
                      FailureCase{"Lost", KivrenError::url(KivrenError::networkConnectionLost, "lost"), true},
                      FailureCase{"BadGateway", KivrenError::kivren(502, "HTTP 502"), true},
                      FailureCase{"Unavailable", KivrenError::kivren(503, "HTTP 503"), true},
                      FailureCase{"UnknownSession", KivrenError::kivren(404, "Session not found"), false},
                      FailureCase{"Ended", KivrenError::kivren(410, "Session ended"), false},
                      FailureCase{"Cancelled", KivrenError::url(KivrenError::cancelled, "cancelled"), false},
                      FailureCase{"BadAddress", KivrenError::url(KivrenError::badURL, "unsupported URL"), false}),
    [](const auto &info) { return std::string(info.param.name); });

// A session unknown or a host offline is final, unless it follows an outage (a switchboard restarted).
TEST(PollPacing, AfterFailure_ReopensOnlyAfterAnOutage)
{
    using After = PollPacing::AfterFailure;
    const KivrenError unknown = KivrenError::kivren(404, "Session not found");
    const KivrenError offline = KivrenError::kivren(409, "That PC is offline");
    const KivrenError down = KivrenError::url(KivrenError::cannotConnectToHost, "refused");
    const KivrenError wrongPassword = KivrenError::kivren(401, "Wrong password");
    EXPECT_EQ(PollPacing::afterFailure(unknown, false), After::giveUp);
    EXPECT_EQ(PollPacing::afterFailure(unknown, true), After::reopen);
    EXPECT_EQ(PollPacing::afterFailure(offline, true), After::reopen);
    EXPECT_EQ(PollPacing::afterFailure(down, false), After::retry);
    EXPECT_EQ(PollPacing::afterFailure(down, true), After::retry);
    EXPECT_EQ(PollPacing::afterFailure(wrongPassword, true), After::giveUp);
}

} // namespace
