// Secrets: host tokens, passwords and session tokens. Stored only as SHA-256 digests and compared
// with timingSafeEqual over equal-length digests, so neither the content nor the length of a
// stored secret leaks through timing.

import crypto from 'node:crypto';

// Secrets longer than this can never match one we issued or stored, so they are refused before
// any hashing work is spent on them.
export const MAX_SECRET_LENGTH = 256;
const PASSWORD_ALPHABET = new Set('ABCDEFGHJKLMNPQRSTUVWXYZ23456789');

export const digest = (text) => crypto.createHash('sha256').update(text, 'utf8').digest();

export function sameSecret(storedDigest, candidate) {
    if (typeof candidate !== 'string' || candidate.length > MAX_SECRET_LENGTH) return false;
    return crypto.timingSafeEqual(storedDigest, digest(candidate));
}

/**
 * For secrets this service issued itself: their length is public (it is the same for all of
 * them), so the bytes can be compared directly, which matters on the per-picture path.
 */
export function sameIssuedSecret(issued, candidate) {
    if (typeof candidate !== 'string' || candidate.length !== issued.length) return false;
    const bytes = Buffer.from(candidate, 'utf8');
    return bytes.length === issued.length && crypto.timingSafeEqual(issued, bytes);
}

/** Upper-case, then keep only the characters of the password alphabet. */
export function compactPassword(text) {
    let compact = '';
    for (const ch of text.toUpperCase()) {
        if (PASSWORD_ALPHABET.has(ch)) compact += ch;
    }
    return compact;
}

/** Does this password, as typed, match the stored digest? An empty compact form never does. */
export function passwordMatches(storedDigest, typed) {
    const compact = compactPassword(typed);
    const matches = crypto.timingSafeEqual(storedDigest, digest(compact));
    return matches && compact !== '';
}

export const newSecret = (bytes) => crypto.randomBytes(bytes).toString('hex');
