#include "SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <optional>

#include <sys/stat.h>

namespace {

constexpr mode_t noMode = 0; // the path does not exist before the store opens it

mode_t modeOf(const QString &path)
{
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return noMode;
    return status.st_mode & 07777;
}

struct ModeCase
{
    const char *name;
    mode_t folderBefore; // noMode: missing
    mode_t fileBefore;   // noMode: missing
};

void PrintTo(const ModeCase &row, std::ostream *out)
{
    *out << row.name;
}

class SettingsStoreModes : public testing::TestWithParam<ModeCase>
{
};

// The file holds the password and host token: whatever an older build or the umask left, the
// store keeps it to the user alone from the moment it opens, and through every write.
TEST_P(SettingsStoreModes, Open_FileAndFolderPrivate)
{
    const ModeCase &row = GetParam();
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("config/KivrenRemote"));
    const QString file = folder + QStringLiteral("/KivrenRemote.conf");
    // The config folder the store's own folder lies in, open as usual.
    const QString parent = dir.filePath(QStringLiteral("config"));
    ASSERT_TRUE(QDir().mkpath(parent));
    ASSERT_EQ(::chmod(QFile::encodeName(parent).constData(), 0755), 0);
    if (row.folderBefore != noMode) {
        ASSERT_TRUE(QDir().mkpath(folder));
        ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), row.folderBefore), 0);
    }
    if (row.fileBefore != noMode) {
        QFile existing(file);
        ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
        existing.write("[kivren]\nid=123456789\n");
        existing.close();
        ASSERT_EQ(::chmod(QFile::encodeName(file).constData(), row.fileBefore), 0);
    }

    {
        SettingsStore store(file);
        EXPECT_EQ(store.folder(), folder);
        EXPECT_EQ(modeOf(folder), 0700u) << "on open";
        EXPECT_EQ(modeOf(file), 0600u) << "on open";
        if (row.fileBefore != noMode)
            EXPECT_EQ(store.text(QStringLiteral("kivren/id")), QStringLiteral("123456789"));

        ASSERT_TRUE(store.setText(QStringLiteral("kivren.password"), QStringLiteral("ABCD-EFGH")));
        ASSERT_TRUE(store.setText(QStringLiteral("kivren.hostToken"), QString(48, u'a')));
    }
    EXPECT_EQ(modeOf(folder), 0700u) << "after writes";
    EXPECT_EQ(modeOf(file), 0600u) << "after writes";
    // Only the store's own folder is closed, never the one it lies in.
    EXPECT_EQ(modeOf(parent), 0755u);
    EXPECT_EQ(SettingsStore(file).text(QStringLiteral("kivren.password")), QStringLiteral("ABCD-EFGH"));
}

INSTANTIATE_TEST_SUITE_P(
    Modes, SettingsStoreModes,
    testing::Values(ModeCase{"NewFolderAndFile", noMode, noMode},
                    ModeCase{"OpenFolderNoFile", 0755, noMode},
                    ModeCase{"OpenFolderAndFile", 0755, 0644},
                    ModeCase{"PrivateFolderReadableFile", 0700, 0644},
                    ModeCase{"GroupWritableBoth", 0775, 0664},
                    ModeCase{"AlreadyPrivate", 0700, 0600}),
    [](const auto &info) { return std::string(info.param.name); });

// The app's own store: a folder of its own under the user's config folder, which stays as it was.
TEST(SettingsStoreUser, Open_FolderOfItsOwnUnderConfig)
{
    QTemporaryDir config;
    ASSERT_EQ(::chmod(QFile::encodeName(config.path()).constData(), 0755), 0);
    const std::optional<QByteArray> saved =
        qEnvironmentVariableIsSet("XDG_CONFIG_HOME") ? std::optional(qgetenv("XDG_CONFIG_HOME")) : std::nullopt;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));

    const SettingsStore store;
    const QString folder = config.filePath(QStringLiteral("KivrenRemote"));

    EXPECT_EQ(store.folder(), folder);
    EXPECT_EQ(modeOf(folder), 0700u);
    EXPECT_EQ(modeOf(folder + QStringLiteral("/KivrenRemote.conf")), 0600u);
    EXPECT_EQ(modeOf(config.path()), 0755u);
    if (saved)
        qputenv("XDG_CONFIG_HOME", *saved);
    else
        qunsetenv("XDG_CONFIG_HOME");
}

} // namespace
