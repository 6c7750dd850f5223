// Device tokens: what a viewer that got a host's password right is handed, so that next time its
// guesses are counted apart from everyone else's. A swarm of addresses can keep a host's guess
// bucket empty; it cannot touch the guesses of the viewers that connected before (guesses.mjs).
//
// A token is "<nonce>.<mac>": 32 lowercase hex digits of a random nonce, a dot, and 64 of
// HMAC-SHA256, keyed by the digest of the host's token, over "kivren-device:" + ID + ":" + nonce.
// Nothing is stored: a token stays good for as long as its host keeps its host token, across
// restarts of the switchboard and new registrations; a new host token (a new identity, or this
// machine's host taking its ID back from whoever registered it first) ends all of them. It lets no
// one in by itself: the password is checked as for anyone.

import crypto from 'node:crypto';

const TOKEN_PATTERN = /^([0-9a-f]{32})\.([0-9a-f]{64})$/;
const LABEL = 'kivren-device:';
const NONCE_BYTES = 16;

const macOf = (host, nonce) => crypto.createHmac('sha256', host.tokenDigest).update(`${LABEL}${host.id}:${nonce}`, 'utf8').digest();

/** A new device token for this host. */
export function issueDeviceToken(host) {
    const nonce = crypto.randomBytes(NONCE_BYTES).toString('hex');
    return `${nonce}.${macOf(host, nonce).toString('hex')}`;
}

/** The nonce that names a token issued for this host, or null for any other text. */
export function recogniseDeviceToken(host, text) {
    const match = TOKEN_PATTERN.exec(text);
    if (match === null) return null;
    return crypto.timingSafeEqual(macOf(host, match[1]), Buffer.from(match[2], 'hex')) ? match[1] : null;
}
