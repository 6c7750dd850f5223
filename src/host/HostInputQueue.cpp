#include "HostInputQueue.h"

#include "DesktopBackend.h"
#include "MacInput.h"
#include "NamedKey.h"

#include <algorithm>

using namespace SessionProtocol;

namespace {

// At most `limit` characters of `text`, never half a surrogate pair.
QString firstCharacters(const QString &text, qsizetype limit)
{
    const QStringList pieces = splitText(text, limit);
    return pieces.isEmpty() ? QString() : pieces.first();
}

// As splitText counts them: a surrogate pair is one character, any other unit one, a lone
// surrogate included (else a text of them would be typed past every budget).
qsizetype characterCount(const QString &text)
{
    qsizetype pairs = 0;
    for (qsizetype i = 1; i < text.size(); ++i)
        pairs += text.at(i).isLowSurrogate() && text.at(i - 1).isHighSurrogate() ? 1 : 0;
    return text.size() - pairs;
}

} // namespace

void HostInputQueue::append(const ViewerMessage &message)
{
    if (m_pending.size() >= maxPendingMessages)
        return;
    QString text;
    KeyModifiers modifiers;
    if (const auto *typed = std::get_if<Text>(&message)) {
        text = typed->text;
    } else if (const auto *key = std::get_if<Key>(&message)) {
        if (namedKeyFromCodeName(key->codeName)) {
            m_pending.append({message, {}, {}});
            return;
        }
        // A key without a name of its own types its characters on its press, like text; with
        // modifiers it is a shortcut, its characters typed with them held. Its release has
        // nothing left to do.
        if (!key->down)
            return;
        text = key->key;
        modifiers = key->modifiers;
    } else if (std::holds_alternative<Input>(message)) {
        m_pending.append({message, {}, {}});
        return;
    } else {
        return;
    }

    const qsizetype characters = characterCount(text);
    if (characters == 0 || m_pendingCharacters + characters > maxPendingCharacters)
        return;
    m_pendingCharacters += characters;
    m_pending.append({Text{}, text, modifiers});
}

void HostInputQueue::applyPass(DesktopBackend &desktop, const DisplayGeometry &geometry)
{
    qsizetype budget = charactersPerPass;
    while (!m_pending.isEmpty()) {
        Pending &front = m_pending.first();
        if (std::holds_alternative<Text>(front.message)) {
            if (budget == 0)
                return;
            QString slice = firstCharacters(front.rest, budget);
            // A Windows line end is one Return: its two halves stay in one slice.
            if (slice.endsWith(u'\r') && front.rest.size() > slice.size() && front.rest.at(slice.size()) == u'\n')
                slice += u'\n';
            // The desktop may do less than asked, or nothing (a character waiting for a free
            // keycode): the rest comes next pass.
            const qsizetype done = MacInput::typeText(desktop, slice, front.modifiers);
            m_held.applied(front.message, geometry);
            const qsizetype characters = characterCount(front.rest.left(done));
            front.rest.remove(0, done);
            budget = done < slice.size() ? 0 : std::max<qsizetype>(budget - characters, 0);
            m_pendingCharacters -= characters;
            if (!front.rest.isEmpty())
                return;
        } else {
            if (const auto *input = std::get_if<Input>(&front.message))
                MacInput::apply(desktop, input->event, geometry);
            else if (const auto *key = std::get_if<Key>(&front.message))
                MacInput::applyKey(desktop, key->codeName, key->key, key->down, key->modifiers);
            m_held.applied(front.message, geometry);
        }
        m_pending.removeFirst();
    }
}

void HostInputQueue::clear()
{
    m_pending.clear();
    m_pendingCharacters = 0;
}

void HostInputQueue::releaseHeld(DesktopBackend &desktop)
{
    m_held.releaseAll(desktop);
}
