// The host of this very machine, told apart from everyone else by the key the app handed this
// process when it started it (KIVREN_HOST_KEY). Tunnel clients connect from 127.0.0.1 as well, so
// no socket address or header shape can say that a request comes from the local host; only
// knowledge of the key can.
//
// Two values are derived from the key, each under its own label, so that one never reveals the
// other:
//   the header proof: lowercase hex of HMAC-SHA256(key, "kivren-host"), which the local host
//     sends as the header Kivren-Host-Proof on every request;
//   the answer to a challenge: lowercase hex of HMAC-SHA256(key, "kivren-prove:" + nonce), with
//     which this switchboard shows the host that it is the process the host started.
// A request is judged from its headers alone, so a caller can recognise the local host before it
// reads any body.

import crypto from 'node:crypto';

export const HOST_PROOF_HEADER = 'kivren-host-proof';
export const HOST_KEY_PATTERN = /^[0-9a-f]{64}$/;
// A nonce is 32 random bytes in lowercase hex: never equal to the header's label.
export const NONCE_PATTERN = /^[0-9a-f]{64}$/;
const HEADER_LABEL = 'kivren-host';
const PROVE_LABEL = 'kivren-prove:';

const hmacHex = (key, text) => crypto.createHmac('sha256', key).update(text, 'utf8').digest('hex');
const sha256 = (text) => crypto.createHash('sha256').update(text, 'utf8').digest();

/**
 * The local host as this switchboard knows it. `hostKey` is 64 lowercase hex digits, or '' when
 * this switchboard was started without one: then no request carries the proof.
 *
 * Returns { carriesLocalHostProof(request), answerChallenge(nonce) }.
 */
export function createLocalHost(hostKey) {
    const key = hostKey === '' ? null : Buffer.from(hostKey, 'hex');
    // Only digests are kept and compared: equal lengths whatever a caller sends, so the compare
    // takes the same time for every wrong value.
    const headerDigest = key === null ? null : sha256(hmacHex(key, HEADER_LABEL));

    return {
        /** Does this request carry the local host's proof? Reads the headers only. */
        carriesLocalHostProof(request) {
            if (headerDigest === null) return false;
            const value = request.headers[HOST_PROOF_HEADER];
            if (typeof value !== 'string' || value.length > 256) return false;
            return crypto.timingSafeEqual(headerDigest, sha256(value));
        },
        /** The answer to a challenge; only for a nonce of NONCE_PATTERN, with a key present. */
        answerChallenge(nonce) {
            return hmacHex(key, PROVE_LABEL + nonce);
        },
    };
}
