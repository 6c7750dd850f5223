#pragma once

#include "KeySchedule.h"
#include "SessionProtocol.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <variant>

// The frames of a confirmed encrypted session, both directions as one side sees them: what it
// sends sealed with its own direction's key, what it receives opened with the other's.
//
// A sealed frame's payload (before base64) is
//
//   seq (u64, big-endian) || anchor (u64, big-endian) || XChaCha20-Poly1305 ciphertext || tag (16)
//
// `seq` counts the sender's frames from 1 and makes the nonce (16 zero bytes, then seq), so no
// nonce repeats under a key. The associated data is lv_cat("KivrenRemote sealed 1", sid, the
// sender's role, the sealed kind, seq || anchor): a frame cannot be altered, moved to the other
// direction, to another session, or relabelled as another kind without failing to open.
//
// The switchboard legitimately drops a host's picture that a newer whole picture replaced (and the
// tiles that belonged to it), so sequence numbers may skip; nothing else may go missing. `anchor`
// names the frame a frame follows: for a json frame and a whole picture, the sender's last json
// frame; for tiles, its last picture or tiles frame. The receiver takes a frame only when its seq
// is above every one it took and its anchor is the last one it took of that chain: a replay or a
// reordering is refused, and so is any frame after a dropped json frame, or tiles after a dropped
// picture. Viewer frames are all json, so from the viewer every frame must arrive, in order.
class SealedChannel
{
public:
    static constexpr qsizetype headerBytes = 16;
    static constexpr qsizetype tagBytes = 16;

    // Frame kinds of sealed frames, one for each kind a frame may carry: the switchboard keeps
    // its rules for pictures and tiles without seeing inside.
    static inline const QString kindSealedJson = QStringLiteral("sealed-json");
    static inline const QString kindSealedJpeg = QStringLiteral("sealed-jpeg");
    static inline const QString kindSealedTiles = QStringLiteral("sealed-tiles");
    // The sealed kind that carries `innerKind` ("json", "jpeg", "tiles"), or empty for another.
    static QString sealedKind(QStringView innerKind);
    // The kind a sealed kind carries, or empty when it is none of them.
    static QString innerKind(QStringView sealedKind);

    SealedChannel(SessionProtocol::Role self, const KeySchedule &keys, QByteArray sid);

    // The next frame of `innerKind` from this side, sealed: header, ciphertext and tag written into
    // `buffer` (its capacity reused), so a picture costs one pass and no copy. Empty for a kind
    // that cannot be sealed.
    QByteArray seal(QStringView innerKind, QByteArrayView plaintext, QByteArray buffer = {});

    enum class Refusal {
        malformed, // not a sealed kind, or too short to hold a header and a tag
        replayed,  // a sequence number at or below one already taken (checked before decrypting)
        forged,    // fails to open: altered, from the other direction, another session or kind
        missing,   // opens, but a frame it follows never arrived
    };
    struct Opened
    {
        QString kind; // "json", "jpeg" or "tiles"
        QByteArray bytes;
    };
    // Opens a frame from the other side, decrypting into `buffer` (its capacity reused). A frame
    // that is refused changes nothing.
    std::variant<Opened, Refusal> open(QStringView sealedKind, QByteArrayView payload, QByteArray buffer = {});

private:
    // The last sequence number of each chain a frame may follow (0: none yet).
    struct Chains
    {
        quint64 json = 0;
        quint64 picture = 0;

        quint64 anchorFor(QStringView innerKind) const;
        void take(QStringView innerKind, quint64 seq);
    };

    QByteArray associatedData(SessionProtocol::Role sender, QStringView sealedKind, const char *header) const;

    SessionProtocol::Role m_self;
    QByteArray m_sendKey;
    QByteArray m_receiveKey;
    QByteArray m_sid;
    quint64 m_sent = 0;
    Chains m_sentChains;
    quint64 m_received = 0;
    Chains m_receivedChains;
};
