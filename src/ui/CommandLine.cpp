#include "CommandLine.h"

#include <QCommandLineParser>

#ifndef KIVREN_VERSION
#error "KIVREN_VERSION comes from the project's version in CMakeLists.txt"
#endif

namespace CommandLine {

namespace {

const QString description = QStringLiteral(
    "Shares this computer's screen under an ID and password, and reaches other computers by theirs.");

void describe(QCommandLineParser &parser)
{
    parser.setApplicationDescription(description);
    // Qt's own help option would add --help-all, which lists Qt's options but is no way to start.
    parser.addOptions({
        {{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help and quit.")},
        {{QStringLiteral("v"), QStringLiteral("version")}, QStringLiteral("Show the version and quit.")},
        {minimizedOption,
         QStringLiteral("Start without opening the window over the desktop: in the system tray when there is "
                        "one, else minimised. \"Start when I log in\" starts KivrenRemote this way.")},
    });
}

} // namespace

Parsed parse(const QStringList &arguments)
{
    QCommandLineParser parser;
    describe(parser);
    Parsed parsed;
    const bool understood = parser.parse(arguments);
    if (parser.isSet(QStringLiteral("help")))
        parsed.action = Parsed::Action::help;
    else if (parser.isSet(QStringLiteral("version")))
        parsed.action = Parsed::Action::version;
    else if (!understood || !parser.positionalArguments().isEmpty()) {
        parsed.action = Parsed::Action::error;
        parsed.error = understood ? QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().first())
                                  : parser.errorText();
    }
    parsed.options.minimized = parser.isSet(minimizedOption);
    return parsed;
}

QString helpText()
{
    QCommandLineParser parser;
    describe(parser);
    return parser.helpText();
}

QString versionText()
{
    return QStringLiteral("KivrenRemote " KIVREN_VERSION);
}

QStringList unattendedArguments()
{
    return {QStringLiteral("--") + minimizedOption};
}

} // namespace CommandLine
