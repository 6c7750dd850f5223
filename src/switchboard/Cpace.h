#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <initializer_list>
#include <optional>

// CPace, the balanced password-authenticated key exchange of the CFRG draft
// (draft-irtf-cfrg-cpace), in its cipher suite CPACE-RISTR255-SHA512: the ristretto255 group with
// SHA-512, on libsodium. Both parties derive a generator from the password (PRS), the channel
// identifier (CI) and the session identifier (sid), exchange one public share each and hash the
// shared point with the transcript into the intermediate session key ISK. The shared point never
// leaves this file's functions except through ISK.
//
// Names follow the draft's functions so that each can be checked against its test vectors. Every
// point is the 32-byte ristretto255 encoding; every scalar 32 bytes, little-endian.
namespace Cpace {

constexpr qsizetype pointBytes = 32;
constexpr qsizetype scalarBytes = 32;
// SHA-512's output: ISK's length, and the input of the element derivation.
constexpr qsizetype hashBytes = 64;
// H.s_in_bytes: SHA-512's input block, filled by the generator string's first fields.
constexpr qsizetype hashBlockBytes = 128;

// G.DSI of G_Ristretto255.
QByteArrayView domainSeparator();

// prepend_len: the length as LEB128, then the bytes.
QByteArray prependLength(QByteArrayView bytes);
// lv_cat: each part with its length prepended, one after another.
QByteArray lengthValueConcat(std::initializer_list<QByteArrayView> parts);

// generator_string(DSI, PRS, CI, sid, s_in_bytes): DSI and PRS zero-padded to fill the hash's
// first block, so the hashing costs the same whatever the password's length.
QByteArray generatorString(QByteArrayView dsi, QByteArrayView prs, QByteArrayView ci, QByteArrayView sid,
                           qsizetype blockBytes);
// G.calculate_generator: SHA-512 of the generator string, mapped to the group by ristretto255's
// element derivation (libsodium's from_hash). Returns the generator's encoding.
QByteArray calculateGenerator(QByteArrayView prs, QByteArrayView ci, QByteArrayView sid);

// G.sample_scalar as the draft recommends: 32 random bytes with the bits above the group's 252
// cleared.
QByteArray sampleScalar();
// G.scalar_mult_vfy(y, X): y times the point X. Nothing (the draft's G.I, on which a party
// aborts) when X is no valid encoding, encodes the identity, or the product is the identity;
// also when either input has the wrong length. G.scalar_mult on the generator is the same call.
std::optional<QByteArray> scalarMultVerify(QByteArrayView scalar, QByteArrayView point);

// transcript_ir(Ya, ADa, Yb, ADb): the initiator's share and data, then the responder's.
QByteArray transcriptInitiatorResponder(QByteArrayView ya, QByteArrayView ada, QByteArrayView yb,
                                        QByteArrayView adb);
// ISK = SHA-512(lv_cat(DSI || "_ISK", sid, K) || transcript).
QByteArray intermediateSessionKey(QByteArrayView sid, QByteArrayView sharedPoint, QByteArrayView transcript);

} // namespace Cpace
