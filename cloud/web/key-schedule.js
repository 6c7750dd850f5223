// The keys of one encrypted session, derived from CPace's ISK (never from the shared point) with
// HKDF-SHA-512 (RFC 5869): the salt is the session identifier sid, each key has a label of its own.
// The same derivation as the desktop app's KeySchedule, byte for byte.
//
// - a key for each direction of sealed frames, so a frame cannot be moved to the other one;
// - a confirmation key for each side: each proves that it derived the same ISK with an HMAC-SHA-512
//   over the exchange's transcript under its own key, so neither side's proof can be reflected back
//   as the other's.

import { hkdf } from '../node_modules/@noble/hashes/esm/hkdf.js';
import { hmac } from '../node_modules/@noble/hashes/esm/hmac.js';
import { sha512 } from '../node_modules/@noble/hashes/esm/sha2.js';

export const KEY_BYTES = 32;
export const TAG_BYTES = 64;

const LABELS = Object.freeze({
    viewerToHost: 'KivrenRemote e2e 1 viewer to host',
    hostToViewer: 'KivrenRemote e2e 1 host to viewer',
    viewerConfirmation: 'KivrenRemote e2e 1 viewer confirmation',
    hostConfirmation: 'KivrenRemote e2e 1 host confirmation',
});

const encoder = new TextEncoder();

/** HKDF-SHA-512: extract with `salt`, expand `info` to `length` bytes. */
export function hkdfSha512(salt, ikm, info, length) {
    return hkdf(sha512, ikm, salt, info, length);
}

/** { viewerToHost, hostToViewer, viewerConfirmation, hostConfirmation }, 32 bytes each. */
export function deriveKeys(isk, sid) {
    const keys = {};
    for (const [name, label] of Object.entries(LABELS)) keys[name] = hkdfSha512(sid, isk, encoder.encode(label), KEY_BYTES);
    return Object.freeze(keys);
}

/** The proof `sender` ("viewer" or "host") sends: HMAC-SHA-512 of the transcript under its key. */
export function confirmationTag(keys, sender, transcript) {
    return hmac(sha512, sender === 'viewer' ? keys.viewerConfirmation : keys.hostConfirmation, transcript);
}

/** Two byte strings are equal, in time that depends on their length only. */
export function equalInConstantTime(a, b) {
    if (a.length !== b.length) return false;
    let difference = 0;
    for (let i = 0; i < a.length; i += 1) difference |= a[i] ^ b[i];
    return difference === 0;
}

/** Whether `tag` is the proof `sender` sends for this transcript, compared in constant time. */
export function confirms(keys, sender, transcript, tag) {
    return tag.length === TAG_BYTES && equalInConstantTime(confirmationTag(keys, sender, transcript), tag);
}

/** The key that seals frames sent by `sender`. */
export function sendingKey(keys, sender) {
    return sender === 'viewer' ? keys.viewerToHost : keys.hostToViewer;
}
