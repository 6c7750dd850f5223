// The attempt log on disk: kept across restarts, the newest 200 only, for this user alone, and a
// damaged file costs only its damaged lines.
#include "AttemptLog.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

using Outcome = AttemptLog::Outcome;

AttemptLog::Entry entry(int n, Outcome outcome = Outcome::allowed)
{
    return {QDateTime::fromMSecsSinceEpoch(1'700'000'000'000 + n * 1000, Qt::UTC), outcome,
            QStringLiteral("Viewer %1").arg(n), QStringLiteral("web"), QStringLiteral("203.0.113.%1").arg(n % 250)};
}

class AttemptLogFile : public testing::Test
{
protected:
    QString path() const { return dir.filePath(AttemptLog::fileName); }
    void write(const QByteArray &bytes) const
    {
        QFile file(path());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    QTemporaryDir dir;
};

TEST_F(AttemptLogFile, Add_ReadBackAfterRestartPrivateToTheUser)
{
    const QList<AttemptLog::Entry> written{entry(1, Outcome::wrongPassword), entry(2, Outcome::lockedOut),
                                           {QDateTime::fromMSecsSinceEpoch(1'700'000'009'000, Qt::UTC), Outcome::allowed}};
    {
        AttemptLog log(path());
        EXPECT_TRUE(log.entries().isEmpty());
        ASSERT_TRUE(log.add(written.mid(0, 2)));
        ASSERT_TRUE(log.add(written.mid(2)));
    }
    EXPECT_EQ(AttemptLog(path()).entries(), written);
    EXPECT_EQ(QFile::permissions(path()), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser
                                              | QFileDevice::WriteUser);
}

TEST_F(AttemptLogFile, Add_KeepsTheNewest200)
{
    AttemptLog log(path());
    QList<AttemptLog::Entry> all;
    for (int n = 0; n < 230; ++n)
        all << entry(n, n % 2 ? Outcome::refused : Outcome::notAnswered);
    ASSERT_TRUE(log.add(all.mid(0, 150)));
    ASSERT_TRUE(log.add(all.mid(150)));
    EXPECT_EQ(log.entries(), all.mid(30));
    EXPECT_EQ(AttemptLog(path()).entries(), all.mid(30));
}

struct CorruptCase
{
    const char *name;
    QByteArray bytes;
    qsizetype kept;

    friend void PrintTo(const CorruptCase &row, std::ostream *out) { *out << row.name; }
};

class AttemptLogCorrupt : public AttemptLogFile, public testing::WithParamInterface<CorruptCase>
{
};

TEST_P(AttemptLogCorrupt, Read_DamagedLinesSkipped)
{
    write(GetParam().bytes);
    AttemptLog log(path());
    EXPECT_EQ(log.entries().size(), GetParam().kept);
    // The next attempt writes a clean file.
    ASSERT_TRUE(log.add({entry(7)}));
    EXPECT_EQ(AttemptLog(path()).entries().size(), GetParam().kept + 1);
}

// Two attempts as the log writes them (written out: the rows are made before main runs).
const QByteArray good = R"({"at":"2023-11-14T22:13:21.000Z","clientName":"Viewer 1","outcome":"allowed"})" "\n"
                        R"({"at":"2023-11-14T22:13:22.000Z","outcome":"busy"})" "\n";

INSTANTIATE_TEST_SUITE_P(
    Files, AttemptLogCorrupt,
    testing::Values(CorruptCase{"Empty", "", 0}, CorruptCase{"NotJson", "\x00\xff garbage\n{", 0},
                    CorruptCase{"CutShort", good + good.left(20), 2},
                    CorruptCase{"UnknownOutcome", good + R"({"at":"2024-01-01T00:00:00.000Z","outcome":"maybe"})" "\n", 2},
                    CorruptCase{"NoTime", good + R"({"outcome":"allowed"})" "\n", 2},
                    CorruptCase{"NamesNotText", R"({"at":"2024-01-01T00:00:00.000Z","outcome":"refused","clientName":7})" "\n", 1}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(AttemptLogFile, Add_UnwritableFolder_KeptForTheRunAndSaysSo)
{
    AttemptLog log(dir.filePath(QStringLiteral("missing/") + AttemptLog::fileName));
    EXPECT_FALSE(log.add({entry(1)}));
    EXPECT_EQ(log.entries(), QList<AttemptLog::Entry>{entry(1)});
}

} // namespace
