#include "BookEntry.h"
#include "RemoteInput.h"
#include "SessionPhase.h"
#include "Transport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

#include <gtest/gtest.h>

#include <unordered_set>

namespace {

template<typename Enum>
void expectRawRoundTrip(std::initializer_list<std::pair<Enum, const char *>> cases,
                        std::optional<Enum> (*fromRaw)(const QString &))
{
    QSet<Enum> seen;
    for (const auto &[value, text] : cases) {
        EXPECT_EQ(rawText(value), QString::fromUtf8(text));
        EXPECT_EQ(fromRaw(QString::fromUtf8(text)), value);
        // Raw texts are case-sensitive and exact.
        EXPECT_EQ(fromRaw(QString::fromUtf8(text).toUpper()), std::nullopt) << text;
        EXPECT_EQ(fromRaw(QString::fromUtf8(text) + u' '), std::nullopt) << text;
        seen.insert(value);
    }
    EXPECT_EQ(seen.size(), static_cast<qsizetype>(cases.size())); // hashes keep distinct cases apart
    EXPECT_EQ(fromRaw(QString()), std::nullopt);
}

TEST(ValueTypes, RawTexts_RoundTripAndCaseSensitive)
{
    using P = SessionPhase;
    expectRawRoundTrip<P>({{P::idle, "idle"}, {P::connecting, "connecting"}, {P::authenticating, "authenticating"},
                           {P::live, "live"}, {P::reconnecting, "reconnecting"}, {P::failed, "failed"}},
                          &sessionPhaseFromRaw);
    EXPECT_EQ(sessionPhaseFromRaw("Live"), std::nullopt);
    expectRawRoundTrip<Transport>({{Transport::lan, "lan"}, {Transport::p2p, "p2p"}, {Transport::relay, "relay"}},
                                  &transportFromRaw);
    using K = RemoteInput::Kind;
    expectRawRoundTrip<K>({{K::move, "move"}, {K::down, "down"}, {K::up, "up"}, {K::wheel, "wheel"}},
                          &remoteInputKindFromRaw);
}

TEST(ValueTypes, RemoteInput_EqualityAndHashUseEveryField)
{
    const RemoteInput base{RemoteInput::Kind::down, 0.25, 0.75, 1, 1, 0, 0, {}};
    const QList<RemoteInput> variants{
        {RemoteInput::Kind::up, 0.25, 0.75, 1, 1, 0, 0, {}},  {RemoteInput::Kind::down, 0.5, 0.75, 1, 1, 0, 0, {}},
        {RemoteInput::Kind::down, 0.25, 0.5, 1, 1, 0, 0, {}}, {RemoteInput::Kind::down, 0.25, 0.75, 0, 1, 0, 0, {}},
        {RemoteInput::Kind::down, 0.25, 0.75, 1, 2, 0, 0, {}}, {RemoteInput::Kind::down, 0.25, 0.75, 1, 1, 3, 0, {}},
        {RemoteInput::Kind::down, 0.25, 0.75, 1, 1, 0, -3, {}},
        {RemoteInput::Kind::down, 0.25, 0.75, 1, 1, 0, 0, {KeyModifier::Shift}},
    };
    std::unordered_set<RemoteInput> set{base};
    for (const RemoteInput &v : variants) {
        EXPECT_NE(v, base);
        set.insert(v);
    }
    EXPECT_EQ(set.size(), 1 + variants.size());
    EXPECT_TRUE(set.contains(RemoteInput{RemoteInput::Kind::down, 0.25, 0.75, 1, 1, 0, 0, {}}));
    // 0.0 and -0.0 are equal, so they must hash alike.
    const RemoteInput negativeZero{RemoteInput::Kind::down, 0.25, 0.75, 1, 1, -0.0, 0, {}};
    EXPECT_EQ(negativeZero, base);
    EXPECT_EQ(qHash(negativeZero), qHash(base));
}

QDateTime reference(qint64 msecsAfter = 0)
{
    return QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC).addMSecs(msecsAfter);
}

struct LastCase
{
    const char *name;
    QDateTime when;
    double seconds;
};

void PrintTo(const LastCase &row, std::ostream *out)
{
    *out << row.name;
}

class BookEntryLast : public ::testing::TestWithParam<LastCase>
{
};

// Seconds since 2001-01-01 00:00:00 UTC, not since 1970.
TEST_P(BookEntryLast, Json_LastCountsFrom2001)
{
    const LastCase &c = GetParam();
    const BookEntry entry{"123456789", "Desk", c.when};
    const QJsonObject json = entry.toJson();
    EXPECT_EQ(json.keys(), (QStringList{"id", "last", "name"}));
    EXPECT_DOUBLE_EQ(json["last"].toDouble(), c.seconds);
    EXPECT_EQ(BookEntry::fromJson(json), entry);
}

INSTANTIATE_TEST_SUITE_P(
    Instants, BookEntryLast,
    ::testing::Values(LastCase{"Reference", reference(), 0.0}, LastCase{"OneDayLater", reference(86400000), 86400.0},
                      LastCase{"FractionalSecond", reference(1500), 1.5},
                      LastCase{"UnixEpoch", QDateTime::fromMSecsSinceEpoch(0, Qt::UTC), -978307200.0},
                      LastCase{"OtherZone", QDateTime(QDate(2001, 1, 1), QTime(1, 0), Qt::OffsetFromUTC, 3600), 0.0}),
    [](const auto &info) { return std::string(info.param.name); });

struct FarDateCase
{
    const char *name;
    double seconds;
};

void PrintTo(const FarDateCase &row, std::ostream *out)
{
    *out << row.name;
}

class BookEntryFarDate : public ::testing::TestWithParam<FarDateCase>
{
};

// An entry read from settings is written back on the next remember: far from 2001 too, it must
// read back as the same instant, not one a millisecond off.
TEST_P(BookEntryFarDate, Json_WrittenBackReadsAsTheSameInstant)
{
    const auto entry = BookEntry::fromJson(QJsonObject{{"id", "123456789"}, {"name", "Desk"}, {"last", GetParam().seconds}});
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(BookEntry::fromJson(entry->toJson()), entry);
}

INSTANTIATE_TEST_SUITE_P(Seconds, BookEntryFarDate,
                         ::testing::Values(FarDateCase{"FractionTooFineForItsDouble", 4430800646815.65},
                                           FarDateCase{"LatestAccepted", 1e13}, FarDateCase{"EarliestAccepted", -1e13}),
                         [](const auto &info) { return std::string(info.param.name); });

struct BadEntryCase
{
    const char *name;
    const char *json;
};

void PrintTo(const BadEntryCase &row, std::ostream *out)
{
    *out << row.name;
}

class BookEntryRejected : public ::testing::TestWithParam<BadEntryCase>
{
};

TEST_P(BookEntryRejected, FromJson_NoValue)
{
    const QJsonDocument document = QJsonDocument::fromJson(GetParam().json);
    const QJsonValue value = document.isObject() ? QJsonValue(document.object()) : QJsonValue(document.array());
    EXPECT_EQ(BookEntry::fromJson(value), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    Members, BookEntryRejected,
    ::testing::Values(BadEntryCase{"LastMissing", R"({"id":"123456789","name":"Desk"})"},
                      BadEntryCase{"LastText", R"({"id":"123456789","name":"Desk","last":"0"})"},
                      BadEntryCase{"NameMissing", R"({"id":"123456789","last":0})"},
                      BadEntryCase{"NameNull", R"({"id":"123456789","name":null,"last":0})"},
                      BadEntryCase{"IdNumber", R"({"id":123456789,"name":"Desk","last":0})"},
                      BadEntryCase{"LastHuge", R"({"id":"123456789","name":"Desk","last":1e300})"},
                      BadEntryCase{"NotObject", R"([1])"}),
    [](const auto &info) { return std::string(info.param.name); });

// The device token a switchboard may hand out: kept with the entry when it has a token's form,
// and written back only then, so a book of an older build reads as it always did and an older
// build skips the member.
struct DeviceTokenCase
{
    const char *name;
    QString stored; // the member's JSON text; empty: no member
    QString kept;   // what the entry holds; empty: none
};

void PrintTo(const DeviceTokenCase &row, std::ostream *out)
{
    *out << row.name;
}

class BookEntryDeviceToken : public ::testing::TestWithParam<DeviceTokenCase>
{
};

TEST_P(BookEntryDeviceToken, Json_KeptOnlyInItsForm_WrittenBackOnlyWhenKept)
{
    const DeviceTokenCase &row = GetParam();
    QString json = QStringLiteral(R"({"id":"123456789","name":"Desk","last":0)");
    if (!row.stored.isEmpty())
        json += QStringLiteral(R"(,"deviceToken":)") + row.stored;
    json += u'}';
    const std::optional<BookEntry> entry = BookEntry::fromJson(QJsonDocument::fromJson(json.toUtf8()).object());
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->deviceToken, row.kept);
    const QJsonObject written = entry->toJson();
    EXPECT_EQ(written.contains(QStringLiteral("deviceToken")), !row.kept.isEmpty());
    EXPECT_EQ(written.value(QStringLiteral("deviceToken")).toString(), row.kept);
}

INSTANTIATE_TEST_SUITE_P(
    Members, BookEntryDeviceToken,
    ::testing::Values(DeviceTokenCase{"OlderBookHasNone", {}, {}},
                      DeviceTokenCase{"PrintableAsciiKept", R"("a Z~!09")", "a Z~!09"},
                      DeviceTokenCase{"LongestKept", "\"" + QString(128, u'x') + "\"", QString(128, u'x')},
                      DeviceTokenCase{"TooLongDropped", "\"" + QString(129, u'x') + "\"", {}},
                      DeviceTokenCase{"ControlCharacterDropped", R"("ab\u0007")", {}},
                      DeviceTokenCase{"BeyondAsciiDropped", R"("t\u00e4")", {}},
                      DeviceTokenCase{"EmptyDropped", R"("")", {}},
                      DeviceTokenCase{"NumberDropped", "42", {}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(BookEntry, List_RoundTripsInOrderAndRejectsOneBadEntry)
{
    const QList<BookEntry> book{{"123456789", "Desk", reference(5000), "token-1"}, {"111222333", "Remote", reference(-2000)}};
    const QByteArray json = BookEntry::encodeList(book);
    EXPECT_EQ(BookEntry::decodeList(json), book);
    EXPECT_EQ(std::unordered_set<BookEntry>(book.begin(), book.end()).size(), 2u);

    EXPECT_EQ(BookEntry::decodeList(R"([{"id":"1","name":"a","last":0},{"id":"2","name":"b"}])"), std::nullopt);
    EXPECT_EQ(BookEntry::decodeList(R"({"id":"1","name":"a","last":0})"), std::nullopt);
    EXPECT_EQ(BookEntry::decodeList("not json"), std::nullopt);
    EXPECT_EQ(BookEntry::decodeList("[]"), QList<BookEntry>{});
}

} // namespace
