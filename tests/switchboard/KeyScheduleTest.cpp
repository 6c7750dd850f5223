#include "E2eVectors.h"
#include "KeySchedule.h"

#include <QJsonArray>

#include <gtest/gtest.h>

namespace {

using E2eVectors::bytes;
using SessionProtocol::Role;

TEST(KeySchedule, Hkdf_Vectors)
{
    const QJsonArray cases = E2eVectors::all().value("hkdf").toArray();
    ASSERT_FALSE(cases.isEmpty());
    for (const QJsonValue &row : cases) {
        SCOPED_TRACE(row["name"].toString().toStdString());
        EXPECT_EQ(KeySchedule::hkdf(bytes(row["salt"]), bytes(row["ikm"]), bytes(row["info"]), row["length"].toInt())
                      .toHex(),
                  row["okm"].toString().toLatin1());
    }
}

TEST(KeySchedule, KeysAndProofs_Vectors)
{
    const QJsonObject v = E2eVectors::section("keySchedule");
    const KeySchedule keys = KeySchedule::derive(bytes(v["isk"]), bytes(v["sid"]));
    EXPECT_EQ(keys.viewerToHost.toHex(), v["viewerToHost"].toString().toLatin1());
    EXPECT_EQ(keys.hostToViewer.toHex(), v["hostToViewer"].toString().toLatin1());
    EXPECT_EQ(keys.viewerConfirmation.toHex(), v["viewerConfirmation"].toString().toLatin1());
    EXPECT_EQ(keys.hostConfirmation.toHex(), v["hostConfirmation"].toString().toLatin1());
    EXPECT_EQ(keys.confirmationTag(Role::viewer, bytes(v["transcript"])).toHex(), v["viewerTag"].toString().toLatin1());
    EXPECT_EQ(keys.confirmationTag(Role::host, bytes(v["transcript"])).toHex(), v["hostTag"].toString().toLatin1());
}

struct ProofCase
{
    const char *name;
    QByteArray transcript;
    QByteArray tag;
    bool confirms;
};

class KeyScheduleProof : public ::testing::TestWithParam<ProofCase>
{
};

TEST_P(KeyScheduleProof, Confirms_OnlyTheViewersOwnProof)
{
    const QJsonObject v = E2eVectors::section("keySchedule");
    const KeySchedule keys = KeySchedule::derive(bytes(v["isk"]), bytes(v["sid"]));
    EXPECT_EQ(keys.confirms(Role::viewer, GetParam().transcript, GetParam().tag), GetParam().confirms);
}

QByteArray flipped(QByteArray bytes, qsizetype at)
{
    bytes[at] = static_cast<char>(bytes[at] ^ 0x01);
    return bytes;
}

std::vector<ProofCase> proofCases()
{
    const QJsonObject v = E2eVectors::section("keySchedule");
    const QByteArray transcript = bytes(v["transcript"]);
    const QByteArray tag = bytes(v["viewerTag"]);
    return {
        {"RightProof", transcript, tag, true},
        {"OneBitFlipped", transcript, flipped(tag, 63), false},
        {"ReflectedHostProof", transcript, bytes(v["hostTag"]), false},
        {"OtherTranscript", flipped(transcript, 0), tag, false},
        {"Truncated", transcript, tag.left(32), false},
    };
}

INSTANTIATE_TEST_SUITE_P(Cases, KeyScheduleProof, ::testing::ValuesIn(proofCases()),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
