#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// The secret this program shares with the switchboard child it starts, drawn anew for every
// launch and handed over in the child's environment only: never on a command line, in a log or
// on disk. From it come the two values the host uses to talk to its own switchboard and nobody
// else's, each under its own label so that neither reveals the other or the key:
//   the header proof, lowercase hex of HMAC-SHA256(key, "kivren-host"), sent as the header
//     Kivren-Host-Proof with every host request, by which the switchboard knows its own host;
//   the answer to a challenge, lowercase hex of HMAC-SHA256(key, "kivren-prove:" + nonce), by
//     which the host knows that the port it talks to is served by that child.
class HostKey
{
public:
    // The environment variable the child reads it from, as 64 lowercase hexadecimal digits.
    static inline const QString environmentVariable = QStringLiteral("KIVREN_HOST_KEY");
    static inline const QByteArray proofHeader = QByteArrayLiteral("Kivren-Host-Proof");
    static constexpr int keyBytes = 32;
    static constexpr int nonceBytes = 32;

    // 32 bytes from the system's secure generator.
    static HostKey generate();

    QByteArray environmentValue() const;
    QByteArray headerValue() const;
    // The answer only the child holding this key gives to `nonce`.
    QByteArray answerTo(QByteArrayView nonce) const;

    // 32 fresh random bytes in lowercase hex, for one challenge.
    static QByteArray freshNonce();
    // Compares two answers without stopping at the first difference, so the time taken tells
    // nothing about how much of a guess was right.
    static bool sameAnswer(QByteArrayView a, QByteArrayView b);

private:
    explicit HostKey(QByteArray bytes);
    QByteArray m_bytes;
};
