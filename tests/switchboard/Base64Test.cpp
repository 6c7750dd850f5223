#include "Base64.h"

#include <QRandomGenerator>
#include <QString>

#include <gtest/gtest.h>

namespace {

struct Vector
{
    QByteArray bytes;
    QByteArray text;

    friend void PrintTo(const Vector &row, std::ostream *out) { *out << '"' << row.text.constData() << '"'; }
};

class Base64Vector : public ::testing::TestWithParam<Vector>
{
};

TEST_P(Base64Vector, EncodeAndDecode_RoundTrip)
{
    const Vector &v = GetParam();
    EXPECT_EQ(Base64::encode(v.bytes), v.text);
    EXPECT_EQ(Base64::decodeStrict(v.text), v.bytes);
    EXPECT_EQ(Base64::decodeStrict(QStringView(QString::fromLatin1(v.text))), v.bytes);
}

// Every padding length (none, one, two), the empty text, and bytes that use "+" and "/".
INSTANTIATE_TEST_SUITE_P(Rfc4648, Base64Vector,
                         ::testing::Values(Vector{"", ""}, Vector{"f", "Zg=="}, Vector{"fo", "Zm8="},
                                           Vector{"foo", "Zm9v"}, Vector{"foob", "Zm9vYg=="},
                                           Vector{"fooba", "Zm9vYmE="}, Vector{"foobar", "Zm9vYmFy"},
                                           Vector{QByteArray("\xfb\xff\xbf", 3), "+/+/"},
                                           Vector{QByteArray(3, '\0'), "AAAA"}));

TEST(Base64, RandomBytes_AgreeWithQt)
{
    QRandomGenerator random(7);
    for (int size = 0; size < 300; ++size) {
        QByteArray bytes(size, Qt::Uninitialized);
        for (char &b : bytes)
            b = static_cast<char>(random.bounded(256));
        const QByteArray text = Base64::encode(bytes);
        ASSERT_EQ(text, bytes.toBase64()) << "size " << size;
        ASSERT_EQ(Base64::decodeStrict(text), bytes) << "size " << size;
    }
}

struct Rejected
{
    const char *name;
    QByteArray text;

    friend void PrintTo(const Rejected &row, std::ostream *out) { *out << row.name; }
};

class Base64Rejected : public ::testing::TestWithParam<Rejected>
{
};

TEST_P(Base64Rejected, DecodeStrict_NoValue)
{
    const QByteArray &text = GetParam().text;
    EXPECT_FALSE(Base64::decodeStrict(text).has_value()) << text.constData();
    EXPECT_FALSE(Base64::decodeStrict(QStringView(QString::fromLatin1(text))).has_value());
}

TEST(Base64, Utf16BeyondLatin1_Rejected)
{
    // U+0141 and U+2B41 end in the byte of 'A': a decoder that narrowed units would take them.
    EXPECT_FALSE(Base64::decodeStrict(QStringView(u"Zm9\u0141")).has_value());
    EXPECT_FALSE(Base64::decodeStrict(QStringView(u"\u2B41AAA")).has_value());
    EXPECT_EQ(Base64::decodeStrict(QStringView(u"Zm9A")), QByteArray("fo@"));
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, Base64Rejected,
    ::testing::Values(Rejected{"LineBreakInside", "Zm9v\nYmFy"}, Rejected{"LineBreakAtEnd", "Zm9vYmFy\n"},
                      Rejected{"CrLfInside", "Zm9v\r\nYmFy"}, Rejected{"SpaceInside", "Zm9v YmFy"},
                      Rejected{"SpaceFirst", " Zm9v"}, Rejected{"StrayCharacter", "Zm9*"},
                      Rejected{"PaddingInsideQuad", "Zm=v"}, Rejected{"PaddingInsideLastQuad", "Zm9vYm=y"},
                      Rejected{"PaddingFirst", "=m9v"}, Rejected{"ShortPadded", "Zg="}, Rejected{"LengthNotQuads", "Zm9vY"},
                      Rejected{"PaddingAfterFullQuads", "Zm9vYmFy="}, Rejected{"PaddedQuadThenMore", "Zg==Zg=="},
                      Rejected{"DataAfterPadding", "Zg==AAAA"}, Rejected{"OnlyPadding", "===="},
                      Rejected{"ThreePaddings", "Z==="}, Rejected{"UrlAlphabet", "Zm9v-_-_"},
                      Rejected{"NulByte", QByteArray("Zm9\0", 4)}, Rejected{"NonAscii", "\xc3\xa9QQ"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Base64, NonZeroPaddingBits_Accepted)
{
    // "Zh==" and "Zm9=" carry stray bits under the padding; the bytes they name are unambiguous.
    EXPECT_EQ(Base64::decodeStrict("Zh=="), QByteArray("f"));
    EXPECT_EQ(Base64::decodeStrict("Zm9="), QByteArray("fo"));
}

} // namespace
