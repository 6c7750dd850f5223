#include "KivrenIds.h"

#include <QRegularExpression>
#include <QSet>

#include <gtest/gtest.h>

namespace {

struct TextCase
{
    const char *name;
    QString input;
    QString expected;
};

void PrintTo(const TextCase &row, std::ostream *out)
{
    *out << row.name;
}

std::string caseName(const ::testing::TestParamInfo<TextCase> &info)
{
    return info.param.name;
}

// U+1D7CE MATHEMATICAL BOLD DIGIT ZERO .. U+1D7D7 NINE, written as surrogate pairs.
QString boldDigits(const char *digits)
{
    QString out;
    for (const char *d = digits; *d; ++d)
        out += QString::fromUcs4(std::u32string(1, U'\U0001D7CE' + (*d - '0')).data(), 1);
    return out;
}

class CompactId : public ::testing::TestWithParam<TextCase>
{
};

TEST_P(CompactId, KeepsNumericCharacters)
{
    EXPECT_EQ(KivrenIds::compactId(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, CompactId,
    ::testing::Values(TextCase{"Grouped", "123 456 789", "123456789"},
                      TextCase{"Punctuated", "ID: 12-34.56/789!", "123456789"},
                      TextCase{"ArabicIndic", u"١٢٣ ٤٥٦"_qs, u"١٢٣٤٥٦"_qs},
                      TextCase{"Fullwidth", u"１２３-４"_qs, u"１２３４"_qs},
                      TextCase{"FractionAndRoman", u"a½bⅫc²"_qs, u"½Ⅻ²"_qs},
                      TextCase{"SurrogatePairDigits", "x" + boldDigits("0") + "-" + boldDigits("79"),
                               boldDigits("079")},
                      TextCase{"NoDigits", "abc - def", ""}, TextCase{"Empty", "", ""},
                      TextCase{"NoLimit", "1234567890123", "1234567890123"}),
    caseName);

class FormatId : public ::testing::TestWithParam<TextCase>
{
};

TEST_P(FormatId, GroupsOnlyNineCharacters)
{
    EXPECT_EQ(KivrenIds::formatId(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, FormatId,
    ::testing::Values(TextCase{"Plain", "123456789", "123 456 789"},
                      TextCase{"AlreadyGrouped", "123 456 789", "123 456 789"},
                      TextCase{"Short", "12-34", "1234"}, TextCase{"TooLong", "1234567890", "1234567890"},
                      // Nine characters of 18 UTF-16 units: grouped by characters, not units.
                      TextCase{"SurrogatePairs", boldDigits("123456789"),
                               boldDigits("123") + " " + boldDigits("456") + " " + boldDigits("789")},
                      TextCase{"NineUnitsFiveCharacters", boldDigits("1234") + "5", boldDigits("1234") + "5"}),
    caseName);

class CompactPassword : public ::testing::TestWithParam<TextCase>
{
};

TEST_P(CompactPassword, KeepsAlphabetUpperCased)
{
    EXPECT_EQ(KivrenIds::compactPassword(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, CompactPassword,
    ::testing::Values(TextCase{"DropsLookalikes", "ab1c-dOe", "ABCDE"},
                      TextCase{"DropsZeroAndI", "0iI9z", "9Z"},
                      TextCase{"Display", "ABCD-EFGH", "ABCDEFGH"},
                      TextCase{"FullUpperCasing", u"ßx"_qs, "SSX"},
                      // An accented letter is not its base letter.
                      TextCase{"AccentsDropped", u"éa\u0301b"_qs, "B"}),
    caseName);

class FormatPassword : public ::testing::TestWithParam<TextCase>
{
};

TEST_P(FormatPassword, FourDashRest)
{
    const QString formatted = KivrenIds::formatPassword(GetParam().input);
    EXPECT_EQ(formatted, GetParam().expected);
    EXPECT_EQ(KivrenIds::formatPassword(formatted), formatted);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, FormatPassword,
    ::testing::Values(TextCase{"TenLetters", "abcdefghjk", "ABCD-EFGH"}, TextCase{"Five", "abcde", "ABCD-E"},
                      TextCase{"Four", "abcd", "ABCD"}, TextCase{"Empty", "", ""},
                      TextCase{"NoiseIgnored", " a-b 1c d O e", "ABCD-E"}),
    caseName);

TEST(KivrenIds, PasswordDisplayForm_CompactsBack)
{
    for (int i = 0; i < 50; ++i) {
        const QString password = KivrenIds::pick(8);
        EXPECT_EQ(KivrenIds::compactPassword(KivrenIds::formatPassword(password)), password);
    }
}

TEST(KivrenIds, Generators_StayInRange)
{
    const QString &alphabet = KivrenIds::alphabet();
    EXPECT_EQ(alphabet, "ABCDEFGHJKLMNPQRSTUVWXYZ23456789");
    QSet<QChar> seenLetters;
    for (int i = 0; i < 5000; ++i) {
        const QString id = KivrenIds::nineDigit();
        ASSERT_EQ(id.size(), 9) << id.toStdString();
        bool ok = false;
        const qlonglong value = id.toLongLong(&ok);
        ASSERT_TRUE(ok) << id.toStdString();
        ASSERT_GE(value, 100000000);
        ASSERT_LE(value, 116777215);

        for (QChar c : KivrenIds::pick(4)) {
            ASSERT_TRUE(alphabet.contains(c));
            seenLetters.insert(c);
        }
    }
    EXPECT_EQ(seenLetters.size(), 32);
    EXPECT_EQ(KivrenIds::pick(0), "");
    EXPECT_EQ(KivrenIds::pick(8).size(), 8);

    const QString token = KivrenIds::token(24);
    EXPECT_EQ(token.size(), 48);
    EXPECT_TRUE(QRegularExpression("^[0-9a-f]{48}$").match(token).hasMatch()) << token.toStdString();
    EXPECT_NE(KivrenIds::token(24), token);
}

TEST(KivrenIds, CharacterCount_CountsGraphemeClusters)
{
    EXPECT_EQ(KivrenIds::characterCount(boldDigits("123")), 3);
    EXPECT_EQ(KivrenIds::characterCount(u"e\u0301x"_qs), 2);
    EXPECT_EQ(KivrenIds::characterCount(""), 0);
}

} // namespace
