// The question put to the person at this computer: the first answer in time counts, none
// within the limit refuses, and the viewer is told why in the words it shows.
#include "ConnectionPrompt.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>

namespace {

using namespace std::chrono_literals;
using Clock = ConnectionPrompt::Clock;
using Answer = ConnectionPrompt::Answer;
using Outcome = ConnectionPrompt::Outcome;

struct Step
{
    std::chrono::milliseconds at;      // after the question was put
    std::optional<Answer> answer;      // none: only time passing
};

struct PromptCase
{
    const char *name;
    std::vector<Step> steps;
    Outcome outcome;
    const char *reason;

    friend void PrintTo(const PromptCase &row, std::ostream *out) { *out << row.name; }
};

class ConnectionPromptOutcome : public testing::TestWithParam<PromptCase>
{
};

TEST_P(ConnectionPromptOutcome, Answers_FirstInTimeCounts)
{
    const PromptCase &row = GetParam();
    const Clock::time_point asked = Clock::now();
    ConnectionPrompt prompt({{"s1", "t1"}, QStringLiteral("Pixel")}, asked, 30s);
    for (const Step &step : row.steps) {
        if (step.answer)
            prompt.answer(*step.answer, asked + step.at);
        else
            prompt.expire(asked + step.at);
    }
    EXPECT_EQ(prompt.outcome(), row.outcome);
    EXPECT_EQ(prompt.closeReason(), QString::fromUtf8(row.reason));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ConnectionPromptOutcome,
    testing::Values(
        PromptCase{"Unanswered", {}, Outcome::pending, ""},
        PromptCase{"UnansweredBeforeTheLimit", {{29'999ms, std::nullopt}}, Outcome::pending, ""},
        PromptCase{"UnansweredAtTheLimit", {{30s, std::nullopt}}, Outcome::timedOut,
                   "Nobody at that computer accepted the connection"},
        PromptCase{"Allowed", {{2s, Answer::allow}}, Outcome::allowed, ""},
        PromptCase{"Refused", {{2s, Answer::refuse}}, Outcome::refused,
                   "The person at that computer refused the connection"},
        PromptCase{"AllowedJustInTime", {{29'999ms, Answer::allow}}, Outcome::allowed, ""},
        // A click racing the timeout lets nobody in: the viewer is being told already.
        PromptCase{"AllowedTooLate", {{30s, Answer::allow}}, Outcome::timedOut,
                   "Nobody at that computer accepted the connection"},
        PromptCase{"AllowedAfterTheTimeoutWasSeen", {{31s, std::nullopt}, {31s, Answer::allow}}, Outcome::timedOut,
                   "Nobody at that computer accepted the connection"},
        PromptCase{"RefusedThenAllowed", {{1s, Answer::refuse}, {2s, Answer::allow}}, Outcome::refused,
                   "The person at that computer refused the connection"},
        PromptCase{"AllowedThenRefused", {{1s, Answer::allow}, {2s, Answer::refuse}}, Outcome::allowed, ""},
        PromptCase{"AllowedThenTimePasses", {{1s, Answer::allow}, {60s, std::nullopt}}, Outcome::allowed, ""}),
    [](const auto &info) { return std::string(info.param.name); });

struct QuestionCase
{
    const char *name;
    SwitchboardRequests::PendingSession viewer;
    const char *question;

    friend void PrintTo(const QuestionCase &row, std::ostream *out) { *out << row.name; }
};

class ConnectionPromptQuestion : public testing::TestWithParam<QuestionCase>
{
};

TEST_P(ConnectionPromptQuestion, Question_NamesWhoAndFromWhere)
{
    EXPECT_EQ(ConnectionPrompt::question(GetParam().viewer), QString::fromUtf8(GetParam().question));
}

INSTANTIATE_TEST_SUITE_P(
    Viewers, ConnectionPromptQuestion,
    testing::Values(
        QuestionCase{"Everything",
                     {{"s", "t"}, QStringLiteral("Pixel"), QStringLiteral("android"), QStringLiteral("203.0.113.9")},
                     "Pixel (android) wants to see and control this computer, from 203.0.113.9."},
        QuestionCase{"NothingSaid", {{"s", "t"}}, "A viewer without a name wants to see and control this computer, "
                                                  "from an address the switchboard could not tell."},
        QuestionCase{"EmptyName", {{"s", "t"}, QString(), QStringLiteral("web")},
                     "A viewer without a name (web) wants to see and control this computer, "
                     "from an address the switchboard could not tell."}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
