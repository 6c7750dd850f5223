// The viewer's status line: what to type next, and failures in plain words.
#include "ViewerWording.h"

#include <gtest/gtest.h>

namespace {

struct HintCase
{
    const char *name;
    const char *id;
    const char *password;
    const char *ownId;
    const char *hint;
};

void PrintTo(const HintCase &row, std::ostream *out)
{
    *out << row.name;
}

class ViewerHint : public ::testing::TestWithParam<HintCase> {};

TEST_P(ViewerHint, Hint_FollowsWhatIsTyped)
{
    const HintCase c = GetParam();
    EXPECT_EQ(ViewerWording::idHint(QString::fromUtf8(c.id), QString::fromUtf8(c.password), QString::fromUtf8(c.ownId)),
              QString::fromUtf8(c.hint));
}

INSTANTIATE_TEST_SUITE_P(
    Table, ViewerHint,
    ::testing::Values(
        HintCase{"Empty", "", "", "", "Enter the ID shown on the other computer"},
        HintCase{"SpacesOnly", " - ", "", "", "Enter the ID shown on the other computer"},
        HintCase{"ThreeDigits", "123", "", "", "6 more digits"},
        HintCase{"GroupedEightDigits", "123 456 78", "", "", "1 more digit"},
        HintCase{"TenDigits", "1234567890", "", "", "An ID has 9 digits: this one has 10"},
        HintCase{"CompleteWithoutPassword", "123-456-789", "", "", "Now enter the password shown on that computer"},
        HintCase{"ShortPassword", "123456789", "ABCD", "", "The password has 8 characters"},
        HintCase{"Ready", "123 456 789", "abcd-efgh", "987654321", "Press Enter or Connect"},
        HintCase{"OwnId", "987 654 321", "ABCD-EFGH", "987654321",
                 "That is this computer's own ID: enter the ID of the computer you want to reach"}),
    [](const auto &info) { return std::string(info.param.name); });

struct RefusalCase
{
    const char *name;
    const char *id;       // compact
    const char *password; // compact
    const char *ownId;
    const char *refusal;  // empty: may be sent
};

void PrintTo(const RefusalCase &row, std::ostream *out)
{
    *out << row.name;
}

class ViewerRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(ViewerRefusal, Refusal_BeforeAnythingGoesOut)
{
    const RefusalCase c = GetParam();
    EXPECT_EQ(ViewerWording::refusal(QString::fromUtf8(c.id), QString::fromUtf8(c.password), QString::fromUtf8(c.ownId)),
              QString::fromUtf8(c.refusal));
}

INSTANTIATE_TEST_SUITE_P(
    Table, ViewerRefusal,
    ::testing::Values(
        RefusalCase{"ShortId", "12345678", "ABCDEFGH", "", "Enter the 9-digit ID shown on the other computer"},
        RefusalCase{"OwnId", "987654321", "ABCDEFGH", "987654321",
                    "That is this computer's own ID: enter the ID of the computer you want to reach"},
        RefusalCase{"OwnIdUnknown", "987654321", "ABCDEFGH", "", ""},
        RefusalCase{"ShortPassword", "123456789", "ABCDEFG", "987654321",
                    "Enter the 8-character password shown on that computer"},
        RefusalCase{"Fine", "123456789", "ABCDEFGH", "987654321", ""}),
    [](const auto &info) { return std::string(info.param.name); });

struct FailureCase
{
    const char *name;
    KivrenError error;
    ViewerWording::Step step;
    const char *words;
};

void PrintTo(const FailureCase &row, std::ostream *out)
{
    *out << row.name;
}

class ViewerFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(ViewerFailure, Failure_SaysWhatHappenedAndWhatToDo)
{
    const FailureCase c = GetParam();
    EXPECT_EQ(ViewerWording::failure(c.error, c.step), QString::fromUtf8(c.words));
}

using Step = ViewerWording::Step;
using E = KivrenError;

INSTANTIATE_TEST_SUITE_P(
    Table, ViewerFailure,
    ::testing::Values(
        FailureCase{"UnknownId", E::kivren(404, QStringLiteral("Unknown ID")), Step::reaching,
                    "No computer has this ID: check the ID"},
        FailureCase{"Offline", E::kivren(409, QStringLiteral("That PC is offline")), Step::reaching,
                    "That computer is not reachable now: KivrenRemote must be open on it"},
        FailureCase{"WrongPassword", E::kivren(403, QStringLiteral("Wrong password")), Step::reaching,
                    "Wrong password: type the password that computer shows now"},
        FailureCase{"Busy", E::kivren(503, QStringLiteral("That PC has too many viewers; try again later")),
                    Step::reaching, "That PC has too many viewers; try again later"},
        // The host that quit says so; the switchboard hands its words on with the ended session.
        FailureCase{"HostClosed", E::kivren(410, QStringLiteral("KivrenRemote on that computer was closed")), Step::live,
                    "KivrenRemote on that computer was closed"},
        FailureCase{"EndedWithoutReason", E::kivren(410, QString()), Step::live, "The session has ended"},
        FailureCase{"SessionForgotten", E::kivren(404, QStringLiteral("Unknown session")), Step::live,
                    "The session is over: connect again"},
        // A transport failure is the network's, not the host's.
        FailureCase{"LostWhileLive", E::url(E::networkConnectionLost, QStringLiteral("The network connection was lost.")),
                    Step::live, "The connection to that computer was lost: check the internet connection, then connect again"},
        FailureCase{"TimedOutWhileLive", E::url(E::timedOut, QStringLiteral("The request timed out.")), Step::live,
                    "The connection to that computer was lost: check the internet connection, then connect again"},
        FailureCase{"UnreachableCloud", E::url(E::cannotConnectToHost, QStringLiteral("Could not connect to the server.")),
                    Step::reaching, "The cloud address cannot be reached: check the internet connection and the cloud address"},
        FailureCase{"NoSuchHostName", E::url(E::cannotFindHost, QStringLiteral("A server with that host name could not be found.")),
                    Step::reaching, "The cloud address cannot be reached: check the internet connection and the cloud address"},
        FailureCase{"NotASwitchboard", E::url(E::badServerResponse, QStringLiteral("The server's answer could not be read.")),
                    Step::reaching, "The cloud address does not answer as KivrenRemote does: check the cloud address"}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
