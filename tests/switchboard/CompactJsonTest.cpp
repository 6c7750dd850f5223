#include "CompactJson.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

#include <limits>

namespace {

struct JsonCase
{
    const char *name;
    QJsonObject object;
};

class CompactJsonText : public ::testing::TestWithParam<JsonCase>
{
};

// Byte for byte what Qt's own compact writer produces, so peers see no difference.
TEST_P(CompactJsonText, Write_MatchesQt)
{
    const QJsonObject &object = GetParam().object;
    const QByteArray ours = CompactJson::write(object);
    EXPECT_EQ(ours, QJsonDocument(object).toJson(QJsonDocument::Compact));
    EXPECT_EQ(QJsonDocument::fromJson(ours).object(), object);
}

INSTANTIATE_TEST_SUITE_P(
    Objects, CompactJsonText,
    ::testing::Values(
        JsonCase{"Empty", {}},
        JsonCase{"Scalars", {{"t", true}, {"f", false}, {"n", QJsonValue::Null}, {"s", ""}}},
        JsonCase{"Numbers",
                 {{"zero", 0}, {"int", 17880}, {"negative", -3}, {"big", qint64(1) << 60}, {"half", 0.5},
                  {"third", 1.0 / 3}, {"tiny", 1e-300}, {"huge", 1e300}, {"wholeDouble", 3.0},
                  {"e15", 1e15}, {"negZero", -0.0}}},
        JsonCase{"Escapes",
                 {{"quote\"key", "a\"b\\c/d"}, {"controls", QString::fromUtf8("\b\f\n\r\t\x01\x1f\x7f")},
                  {"nul", QString(QChar(0))}}},
        JsonCase{"Unicode", {{"name", u"Zoë’s Mac · ✓ 𝟎"_qs}, {"sep", u"\u2028\u2029"_qs}}},
        JsonCase{"Nested",
                 {{"frames", QJsonArray{QJsonObject{{"kind", "json"}, {"payload", "e30="}}, 1, "x", QJsonArray{}}},
                  {"inner", QJsonObject{{"a", QJsonArray{true, QJsonValue::Null}}}}}},
        JsonCase{"LongPayload", {{"payload", QString(200 * 1024, u'Q') + "=="}}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(CompactJson, NonFiniteNumber_WritesNull)
{
    const QJsonObject object{{"inf", std::numeric_limits<double>::infinity()}};
    EXPECT_EQ(CompactJson::write(object), QByteArray(R"({"inf":null})"));
    EXPECT_EQ(CompactJson::write(object), QJsonDocument(object).toJson(QJsonDocument::Compact));
}

TEST(CompactJson, LoneSurrogate_WrittenAsQuestionMark)
{
    // Not valid text, so no peer sends it; Qt would write "\ud800", which many parsers refuse.
    EXPECT_EQ(CompactJson::write({{"s", QString(QChar(0xD800)) + "x"}}), QByteArray(R"({"s":"?x"})"));
}

TEST(CompactJson, Write_AppendsAndSurvivesDeepNesting)
{
    QByteArray out("prefix");
    CompactJson::write({{"a", 1}}, out);
    EXPECT_EQ(out, QByteArray(R"(prefix{"a":1})"));

    // Deeper than the transcriber follows: still the same text, through Qt's writer.
    QJsonValue deep = 1;
    for (int i = 0; i < 1100; ++i)
        deep = QJsonArray{deep};
    const QJsonObject object{{"deep", deep}};
    EXPECT_EQ(CompactJson::write(object), QJsonDocument(object).toJson(QJsonDocument::Compact));
}

} // namespace
