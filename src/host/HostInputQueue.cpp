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

qsizetype characterCount(const QString &text)
{
    return text.size() - std::count_if(text.cbegin(), text.cend(), [](QChar c) { return c.isLowSurrogate(); });
}

} // namespace

void HostInputQueue::append(const ViewerMessage &message)
{
    if (m_pending.size() >= maxPendingMessages)
        return;
    QString text;
    if (const auto *typed = std::get_if<Text>(&message)) {
        text = typed->text;
    } else if (const auto *key = std::get_if<Key>(&message)) {
        const bool special = namedKeyFromCodeName(key->codeName).has_value();
        // A key without a name of its own and without modifiers types its characters, like text
        // (and is as long as text may be); its release has nothing left to do.
        if (!special && key->modifiers.isEmpty()) {
            if (!key->down)
                return;
            text = key->key;
        } else if (!special) {
            // A shortcut: its key typed with the modifiers held, once, on the press.
            if (!key->down || key->key.isEmpty())
                return;
            Key shortcut = *key;
            shortcut.key = firstCharacters(key->key, maxTextCharacters);
            m_pending.append({shortcut, {}});
            return;
        } else {
            m_pending.append({message, {}});
            return;
        }
    } else if (std::holds_alternative<Input>(message)) {
        m_pending.append({message, {}});
        return;
    } else {
        return;
    }

    text = firstCharacters(text, maxTextCharacters);
    const qsizetype characters = characterCount(text);
    if (characters == 0 || m_pendingCharacters + characters > maxPendingCharacters)
        return;
    m_pendingCharacters += characters;
    m_pending.append({Text{}, text});
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
            const qsizetype done = MacInput::typeText(desktop, slice);
            const qsizetype characters = characterCount(front.rest.left(done));
            front.rest.remove(0, done);
            budget = done < slice.size() ? 0 : std::max<qsizetype>(budget - characters, 0);
            m_pendingCharacters -= characters;
            if (!front.rest.isEmpty())
                return;
        } else if (const auto *input = std::get_if<Input>(&front.message)) {
            MacInput::apply(desktop, input->event, geometry);
        } else if (const auto *key = std::get_if<Key>(&front.message)) {
            if (namedKeyFromCodeName(key->codeName)) {
                MacInput::applyKey(desktop, key->codeName, key->key, key->down, key->modifiers);
            } else if (MacInput::typeText(desktop, key->key, key->modifiers) == 0) {
                // A shortcut whose character has to wait: the next pass tries again.
                return;
            }
        }
        m_pending.removeFirst();
    }
}

void HostInputQueue::clear()
{
    m_pending.clear();
    m_pendingCharacters = 0;
}
