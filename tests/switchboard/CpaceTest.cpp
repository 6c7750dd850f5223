#include "Cpace.h"
#include "E2eVectors.h"

#include <QJsonArray>

#include <gtest/gtest.h>

namespace {

using E2eVectors::bytes;

QByteArray hexOf(const std::optional<QByteArray> &bytes)
{
    return bytes ? bytes->toHex() : QByteArray("(identity)");
}

TEST(Cpace, LengthValue_DraftVectors)
{
    const QJsonObject vectors = E2eVectors::section("lengthValue");
    ASSERT_FALSE(vectors.isEmpty());
    for (const QJsonValue &row : vectors.value("prependLength").toArray()) {
        const QByteArray input = bytes(row["bytes"]);
        EXPECT_EQ(Cpace::prependLength(input).toHex(), row["out"].toString().toLatin1()) << input.size() << " bytes";
    }
    const QJsonObject concat = vectors.value("concat").toObject();
    const QJsonArray parts = concat.value("parts").toArray();
    ASSERT_EQ(parts.size(), 4);
    EXPECT_EQ(Cpace::lengthValueConcat({bytes(parts[0]), bytes(parts[1]), bytes(parts[2]), bytes(parts[3])}).toHex(),
              concat.value("out").toString().toLatin1());
}

TEST(Cpace, Generator_DraftVectors)
{
    const QJsonObject v = E2eVectors::section("cpace");
    ASSERT_FALSE(v.isEmpty());
    EXPECT_EQ(Cpace::generatorString(Cpace::domainSeparator(), bytes(v["PRS"]), bytes(v["CI"]), bytes(v["sid"]),
                                     Cpace::hashBlockBytes)
                  .toHex(),
              v["generatorString"].toString().toLatin1());
    EXPECT_EQ(Cpace::calculateGenerator(bytes(v["PRS"]), bytes(v["CI"]), bytes(v["sid"])).toHex(),
              v["g"].toString().toLatin1());
}

TEST(Cpace, SharesPointAndIsk_DraftVectors)
{
    const QJsonObject v = E2eVectors::section("cpace");
    const QByteArray g = bytes(v["g"]);
    EXPECT_EQ(hexOf(Cpace::scalarMultVerify(bytes(v["ya"]), g)), v["Ya"].toString().toLatin1());
    EXPECT_EQ(hexOf(Cpace::scalarMultVerify(bytes(v["yb"]), g)), v["Yb"].toString().toLatin1());
    EXPECT_EQ(hexOf(Cpace::scalarMultVerify(bytes(v["ya"]), bytes(v["Yb"]))), v["K"].toString().toLatin1());
    EXPECT_EQ(hexOf(Cpace::scalarMultVerify(bytes(v["yb"]), bytes(v["Ya"]))), v["K"].toString().toLatin1());

    const QByteArray transcript =
        Cpace::transcriptInitiatorResponder(bytes(v["Ya"]), bytes(v["ADa"]), bytes(v["Yb"]), bytes(v["ADb"]));
    EXPECT_EQ(transcript.toHex(), v["transcriptIr"].toString().toLatin1());
    EXPECT_EQ(Cpace::intermediateSessionKey(bytes(v["sid"]), bytes(v["K"]), transcript).toHex(),
              v["iskIr"].toString().toLatin1());

    const QJsonObject valid = E2eVectors::section("scalarMult");
    EXPECT_EQ(hexOf(Cpace::scalarMultVerify(bytes(valid["s"]), bytes(valid["X"]))),
              valid["product"].toString().toLatin1());
}

struct InvalidCase
{
    const char *name;
    QByteArray scalar;
    QByteArray point;
};

class CpaceInvalidInput : public ::testing::TestWithParam<InvalidCase>
{
};

// The draft's two invalid points, other encodings that are no group element, and inputs whose
// product is the identity: a party must abort on each.
TEST_P(CpaceInvalidInput, ScalarMultVerify_Identity)
{
    EXPECT_EQ(Cpace::scalarMultVerify(GetParam().scalar, GetParam().point), std::nullopt);
}

std::vector<InvalidCase> invalidCases()
{
    const QJsonObject v = E2eVectors::section("scalarMult");
    const QJsonObject invalid = v["invalid"].toObject();
    const QByteArray s = bytes(v["s"]);
    const QByteArray x = bytes(v["X"]);
    return {
        {"DraftInvalidEncoding", s, bytes(invalid["notOnTheGroup"])},
        {"DraftIdentity", s, bytes(invalid["identity"])},
        // p - 1 and 2^255 - 1: not canonical field elements.
        {"NonCanonical", s, QByteArray::fromHex("ec" + QByteArray(60, 'f') + "7f")},
        {"AllOnes", s, QByteArray(32, '\xff')},
        {"NegativeFieldElement", s, QByteArray::fromHex("01" + QByteArray(62, '0'))},
        {"ShortPoint", s, x.mid(1)},
        {"ShortScalar", s.mid(1), x},
        {"ZeroScalar", QByteArray(32, '\0'), x},
        // The group order itself: the product is the identity.
        {"ScalarIsTheOrder", QByteArray::fromHex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010"), x},
    };
}

INSTANTIATE_TEST_SUITE_P(Cases, CpaceInvalidInput, ::testing::ValuesIn(invalidCases()),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Cpace, SampleScalar_BelowTheGroupOrderAndFresh)
{
    const QByteArray first = Cpace::sampleScalar();
    ASSERT_EQ(first.size(), Cpace::scalarBytes);
    EXPECT_EQ(first.back() & 0xf0, 0);
    EXPECT_NE(Cpace::sampleScalar(), first);
}

} // namespace
