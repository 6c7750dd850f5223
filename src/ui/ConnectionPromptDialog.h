#pragma once

#include <QDialog>

#include <chrono>
#include <functional>

class QLabel;

// Asks the person at this computer whether a viewer may come in: the question (who, from
// where), "Allow" and "Refuse", and how long until it refuses by itself. Not modal: the window
// behind stays usable, and the dialog goes when the question is settled elsewhere (it timed out).
// Closing it is no answer; the time runs out as if nobody were there.
//
// Object names for tests and screenshots: "connectionPrompt", "promptQuestion", "allowViewer",
// "refuseViewer".
class ConnectionPromptDialog : public QDialog
{
    Q_OBJECT

public:
    using Action = std::function<void()>;

    ConnectionPromptDialog(const QString &question, std::chrono::milliseconds answerWithin, Action onAllow,
                           Action onRefuse, QWidget *parent = nullptr);

    static QString timeWords(std::chrono::milliseconds answerWithin);
};
