#pragma once

#include "SessionProtocol.h"

#include <QByteArray>
#include <QByteArrayView>

// The keys of one encrypted session, derived from CPace's ISK (never from the shared point) with
// HKDF-SHA-512 (RFC 5869): the salt is the session identifier sid, each key has a label of its
// own, so one key's use tells nothing of another's.
//
// - a key for each direction of sealed frames, so a frame cannot be moved to the other one;
// - a confirmation key for each side: each proves that it derived the same ISK with an HMAC-SHA-512
//   over the exchange's transcript under its own key, so neither side's proof can be reflected
//   back as the other's.
struct KeySchedule
{
    static constexpr qsizetype keyBytes = 32;
    static constexpr qsizetype tagBytes = 64;

    QByteArray viewerToHost;
    QByteArray hostToViewer;
    QByteArray viewerConfirmation;
    QByteArray hostConfirmation;

    static KeySchedule derive(QByteArrayView isk, QByteArrayView sid);

    // HKDF-SHA-512: extract with `salt`, expand `info` to `length` bytes (at most 255 hash lengths).
    static QByteArray hkdf(QByteArrayView salt, QByteArrayView ikm, QByteArrayView info, qsizetype length);

    // The proof `sender` sends: HMAC-SHA-512 of the transcript under that side's confirmation key.
    QByteArray confirmationTag(SessionProtocol::Role sender, QByteArrayView transcript) const;
    // Whether `tag` is that proof, compared in constant time.
    bool confirms(SessionProtocol::Role sender, QByteArrayView transcript, QByteArrayView tag) const;

    // The key that seals frames sent by `sender`.
    const QByteArray &sendingKey(SessionProtocol::Role sender) const;
};
