#include "AutostartEntry.h"
#include "RunChoices.h"
#include "SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

const QString kProgram = QStringLiteral("/usr/bin/KivrenRemote");
const QStringList kLogin{QStringLiteral("--minimized")};

QByteArray read(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void write(const QString &path, const QByteArray &text)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text);
}

struct ExecCase
{
    const char *name;
    QString program;
    QStringList arguments;
    QString exec; // as the Exec= line holds it
};

void PrintTo(const ExecCase &row, std::ostream *out)
{
    *out << row.name;
}

class AutostartExec : public testing::TestWithParam<ExecCase>
{
};

// A session runs the Exec line through the desktop entry rules: a program path with a space or a
// shell character must come back as that one path, or the host never starts at login.
TEST_P(AutostartExec, Exec_QuotedAndReadBackAsTheSameCommand)
{
    const ExecCase &row = GetParam();
    EXPECT_EQ(AutostartEntry::execValue(row.program, row.arguments), row.exec);
    EXPECT_EQ(AutostartEntry::commandOf(row.exec), QStringList{row.program} + row.arguments);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, AutostartExec,
    testing::Values(
        ExecCase{"PlainPath", kProgram, kLogin, QStringLiteral("/usr/bin/KivrenRemote --minimized")},
        ExecCase{"PathWithSpace", QStringLiteral("/home/ann/my apps/KivrenRemote"), kLogin,
                 QStringLiteral("\"/home/ann/my apps/KivrenRemote\" --minimized")},
        ExecCase{"QuoteDollarBacktick", QStringLiteral("/opt/\"$`x"), {},
                 QStringLiteral("\"/opt/\\\\\"\\\\$\\\\`x\"")},
        ExecCase{"Backslash", QStringLiteral("/opt/a\\b"), {}, QStringLiteral("\"/opt/a\\\\\\\\b\"")},
        ExecCase{"PercentSign", QStringLiteral("/opt/100%/KivrenRemote"), {},
                 QStringLiteral("/opt/100%%/KivrenRemote")},
        ExecCase{"EmptyArgument", kProgram, {QString()}, QStringLiteral("/usr/bin/KivrenRemote \"\"")}),
    [](const testing::TestParamInfo<ExecCase> &info) { return std::string(info.param.name); });

TEST(AutostartEntryCommand, Malformed_None)
{
    for (const QString &exec : {QStringLiteral("\"/opt/open quote"), QStringLiteral("/usr/bin/x %f"),
                                QStringLiteral("   "), QStringLiteral("/usr/bin/x\\")})
        EXPECT_FALSE(AutostartEntry::commandOf(exec).has_value()) << exec.toStdString();
}

struct EnabledCase
{
    const char *name;
    QByteArray text;
    bool enabled;
};

void PrintTo(const EnabledCase &row, std::ostream *out)
{
    *out << row.name;
}

class AutostartEnabled : public testing::TestWithParam<EnabledCase>
{
};

// The desktop's own settings switch an entry off by marking it, not by removing it.
TEST_P(AutostartEnabled, Text_OnUnlessHiddenOrSwitchedOff)
{
    EXPECT_EQ(AutostartEntry::enabledIn(GetParam().text), GetParam().enabled);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, AutostartEnabled,
    testing::Values(EnabledCase{"AsWritten", AutostartEntry::contents(kProgram, kLogin), true},
                    EnabledCase{"Hidden", "[Desktop Entry]\nExec=x\nHidden=true\n", false},
                    EnabledCase{"HiddenFalse", "[Desktop Entry]\nExec=x\nHidden=false\n", true},
                    EnabledCase{"GnomeSwitchedOff", "[Desktop Entry]\nExec=x\nX-GNOME-Autostart-enabled=false\n", false},
                    EnabledCase{"HiddenInAnotherGroup", "[Desktop Entry]\nExec=x\n[Desktop Action a]\nHidden=true\n", true}),
    [](const testing::TestParamInfo<EnabledCase> &info) { return std::string(info.param.name); });

TEST(AutostartEntryFolder, XdgConfigHome_UsedOnlyWhenAbsolute)
{
    EXPECT_EQ(AutostartEntry::folderFor(QStringLiteral("/cfg"), QStringLiteral("/home/ann")), QStringLiteral("/cfg/autostart"));
    EXPECT_EQ(AutostartEntry::folderFor(QString(), QStringLiteral("/home/ann")),
              QStringLiteral("/home/ann/.config/autostart"));
    EXPECT_EQ(AutostartEntry::folderFor(QStringLiteral("cfg"), QStringLiteral("/home/ann")),
              QStringLiteral("/home/ann/.config/autostart"));
}

TEST(AutostartEntryFile, EnableDisable_WritesAndRemovesTheEntry)
{
    QTemporaryDir dir;
    const AutostartEntry entry(dir.filePath(QStringLiteral("config/autostart")));
    EXPECT_FALSE(entry.isEnabled());

    ASSERT_FALSE(entry.enable(kProgram, kLogin).has_value());
    EXPECT_TRUE(entry.isEnabled());
    const QByteArray text = read(entry.path());
    EXPECT_TRUE(text.contains("\nExec=/usr/bin/KivrenRemote --minimized\n")) << text.toStdString();
    // Once the program is gone, the session skips the entry the home folder still holds.
    EXPECT_TRUE(text.contains("\nTryExec=/usr/bin/KivrenRemote\n")) << text.toStdString();

    ASSERT_FALSE(entry.disable().has_value());
    EXPECT_FALSE(QFile::exists(entry.path()));
    EXPECT_FALSE(entry.disable().has_value()) << "removing an entry that is not there is no failure";

    // An entry the desktop switched off is written anew when the person switches it on here.
    write(entry.path(), "[Desktop Entry]\nExec=/old/KivrenRemote\nHidden=true\n");
    EXPECT_FALSE(entry.isEnabled());
    ASSERT_FALSE(entry.enable(kProgram, kLogin).has_value());
    EXPECT_TRUE(entry.isEnabled());
}

TEST(AutostartEntryFile, FolderCannotBeMade_ErrorNamesIt)
{
    QTemporaryDir dir;
    const QString blocker = dir.filePath(QStringLiteral("config"));
    write(blocker, "a file where the config folder should be");
    const AutostartEntry entry(blocker + QStringLiteral("/autostart"));
    const std::optional<QString> error = entry.enable(kProgram, kLogin);
    ASSERT_TRUE(error.has_value());
    EXPECT_TRUE(error->contains(blocker)) << error->toStdString();
    EXPECT_FALSE(entry.isEnabled());
}

class RunChoicesTest : public testing::Test
{
protected:
    std::unique_ptr<RunChoices> make(const QString &autostartFolder)
    {
        return std::make_unique<RunChoices>(RunChoices::Options{&settings, AutostartEntry(autostartFolder), kProgram, kLogin});
    }

    QTemporaryDir dir;
    SettingsStore settings{dir.filePath(QStringLiteral("settings/KivrenRemote.conf"))};
    QString folder = dir.filePath(QStringLiteral("autostart"));
};

TEST_F(RunChoicesTest, StartAtLogin_FollowsTheEntryAndSaysWhyWhenItCannot)
{
    auto choices = make(folder);
    QSignalSpy changed(choices.get(), &RunChoices::startsAtLoginChanged);
    EXPECT_FALSE(choices->startsAtLogin());

    choices->setStartsAtLogin(true);
    EXPECT_TRUE(choices->startsAtLogin());
    EXPECT_TRUE(QFile::exists(folder + QStringLiteral("/kivrenremote.desktop")));
    EXPECT_TRUE(make(folder)->startsAtLogin()) << "a later run reads the entry back";

    choices->setStartsAtLogin(false);
    EXPECT_FALSE(choices->startsAtLogin());
    EXPECT_EQ(changed.count(), 2);

    // An autostart folder that cannot be made: the choice stays off and the reason is given,
    // until a change goes through.
    const QString blocked = dir.filePath(QStringLiteral("blocked"));
    write(blocked, "not a folder");
    auto stuck = make(blocked + QStringLiteral("/autostart"));
    stuck->setStartsAtLogin(true);
    EXPECT_FALSE(stuck->startsAtLogin());
    EXPECT_TRUE(stuck->problem().contains(blocked)) << stuck->problem().toStdString();
    stuck->setStartsAtLogin(false);
    EXPECT_TRUE(stuck->problem().isEmpty());
}

TEST_F(RunChoicesTest, KeepHosting_OffUntilChosenAndKept)
{
    auto choices = make(folder);
    EXPECT_FALSE(choices->keepsHostingWhenClosed());
    QSignalSpy changed(choices.get(), &RunChoices::keepsHostingWhenClosedChanged);
    choices->setKeepsHostingWhenClosed(true);
    EXPECT_TRUE(choices->keepsHostingWhenClosed());
    EXPECT_EQ(changed.count(), 1);
    EXPECT_TRUE(make(folder)->keepsHostingWhenClosed());
    choices->setKeepsHostingWhenClosed(false);
    EXPECT_FALSE(make(folder)->keepsHostingWhenClosed());
}

} // namespace
