#include "CommandLine.h"

#include <gtest/gtest.h>

namespace {

using Action = CommandLine::Parsed::Action;

struct ParseCase
{
    const char *name;
    QStringList arguments; // after the program
    Action action;
    bool minimized;
};

void PrintTo(const ParseCase &row, std::ostream *out)
{
    *out << row.name;
}

class CommandLineParse : public testing::TestWithParam<ParseCase>
{
};

TEST_P(CommandLineParse, Arguments_GiveTheActionAndOptions)
{
    const ParseCase &row = GetParam();
    const CommandLine::Parsed parsed = CommandLine::parse(QStringList{QStringLiteral("KivrenRemote")} + row.arguments);
    EXPECT_EQ(parsed.action, row.action);
    EXPECT_EQ(parsed.options.minimized, row.minimized);
    EXPECT_EQ(parsed.error.isEmpty(), row.action != Action::error) << parsed.error.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CommandLineParse,
    testing::Values(ParseCase{"Nothing", {}, Action::run, false},
                    ParseCase{"Minimized", {QStringLiteral("--minimized")}, Action::run, true},
                    ParseCase{"UnattendedStart", CommandLine::unattendedArguments(), Action::run, true},
                    ParseCase{"HelpLong", {QStringLiteral("--help")}, Action::help, false},
                    ParseCase{"HelpShort", {QStringLiteral("-h")}, Action::help, false},
                    ParseCase{"VersionLong", {QStringLiteral("--version")}, Action::version, false},
                    ParseCase{"VersionShort", {QStringLiteral("-v")}, Action::version, false},
                    // Help answers even beside a mistake (or one of Qt's options, not known yet).
                    ParseCase{"HelpBesideUnknown", {QStringLiteral("-platform"), QStringLiteral("xcb"), QStringLiteral("--help")},
                              Action::help, false},
                    ParseCase{"UnknownOption", {QStringLiteral("--minimised")}, Action::error, false},
                    ParseCase{"StrayArgument", {QStringLiteral("123456789")}, Action::error, false},
                    ParseCase{"QtHelpAllIsNotOurs", {QStringLiteral("--help-all")}, Action::error, false}),
    [](const testing::TestParamInfo<ParseCase> &info) { return std::string(info.param.name); });

TEST(CommandLineHelp, Text_ListsEveryOption)
{
    const QString help = CommandLine::helpText();
    for (const char *option : {"--help", "--version", "--minimized"})
        EXPECT_TRUE(help.contains(QLatin1String(option))) << option << " missing from:\n" << help.toStdString();
}

} // namespace
