#include "RunChoices.h"

#include "SettingsStore.h"

namespace {

const QString on = QStringLiteral("true");
const QString off = QStringLiteral("false");

} // namespace

RunChoices::RunChoices(Options options, QObject *parent)
    : QObject(parent)
    , m_options(std::move(options))
    , m_startsAtLogin(m_options.entry.isEnabled())
    , m_keepsHosting(m_options.settings->text(keepHostingKey) == on)
{
}

void RunChoices::setStartsAtLogin(bool wanted)
{
    const std::optional<QString> error = wanted ? m_options.entry.enable(m_options.program, m_options.loginArguments)
                                                : m_options.entry.disable();
    setProblem(error ? QStringLiteral("Start when I log in was not changed: %1").arg(*error) : QString());
    // What the session will do, whatever was asked: a removal that failed leaves the entry on.
    const bool now = m_options.entry.isEnabled();
    if (now == m_startsAtLogin)
        return;
    m_startsAtLogin = now;
    emit startsAtLoginChanged(now);
}

void RunChoices::setKeepsHostingWhenClosed(bool wanted)
{
    // A store that cannot be written still holds the value for this run (the host's notice says
    // the settings are not saved), so the choice takes effect now either way.
    m_options.settings->setText(keepHostingKey, wanted ? on : off);
    if (wanted == m_keepsHosting)
        return;
    m_keepsHosting = wanted;
    emit keepsHostingWhenClosedChanged(wanted);
}

void RunChoices::setProblem(const QString &problem)
{
    if (problem == m_problem)
        return;
    m_problem = problem;
    emit problemChanged(problem);
}
