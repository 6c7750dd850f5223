// CPace, the balanced password-authenticated key exchange of the CFRG draft
// (draft-irtf-cfrg-cpace), in its cipher suite CPACE-RISTR255-SHA512: the ristretto255 group with
// SHA-512, on the audited @noble libraries the switchboard serves beside this page. Both parties
// derive a generator from the password (PRS), the channel identifier (CI) and the session
// identifier (sid), exchange one public share each and hash the shared point with the transcript
// into the intermediate session key ISK. The shared point never leaves this module except
// through ISK.
//
// Names follow the draft's functions so that each can be checked against its test vectors; the
// desktop app's Cpace does the same on libsodium. Every point is the 32-byte ristretto255
// encoding, every scalar 32 bytes little-endian, every value a Uint8Array.
//
// The libraries are imported by relative paths into the installed tree, which node resolves on
// disk and the browser as the fixed paths the switchboard serves them under (web.mjs).

import { ristretto255 } from '../node_modules/@noble/curves/esm/ed25519.js';
import { sha512 } from '../node_modules/@noble/hashes/esm/sha2.js';
// The platform's secure generator: the browser's, or node's (18 has no global one in a module).
import { randomBytes } from '../node_modules/@noble/hashes/esm/utils.js';

export const POINT_BYTES = 32;
export const SCALAR_BYTES = 32;
/** SHA-512's output: ISK's length, and the input of the element derivation. */
export const HASH_BYTES = 64;
/** H.s_in_bytes: SHA-512's input block, filled by the generator string's first fields. */
export const HASH_BLOCK_BYTES = 128;

const Point = ristretto255.Point;

const ascii = (text) => Uint8Array.from(text, (ch) => ch.charCodeAt(0));

/** G.DSI of G_Ristretto255. */
export const DOMAIN_SEPARATOR = ascii('CPaceRistretto255');
const ISK_DOMAIN = ascii('CPaceRistretto255_ISK');

function lengthBytes(length) {
    const out = [];
    let remaining = length;
    do {
        const low = remaining & 0x7f;
        remaining = Math.floor(remaining / 128);
        out.push(remaining !== 0 ? low | 0x80 : low);
    } while (remaining !== 0);
    return out;
}

/** prepend_len: the length as LEB128, then the bytes. */
export function prependLength(bytes) {
    return lengthValueConcat(bytes);
}

/** lv_cat: each part with its length prepended, one after another. */
export function lengthValueConcat(...parts) {
    const lengths = parts.map((part) => lengthBytes(part.length));
    let size = 0;
    parts.forEach((part, i) => { size += lengths[i].length + part.length; });
    const out = new Uint8Array(size);
    let at = 0;
    parts.forEach((part, i) => {
        out.set(lengths[i], at);
        at += lengths[i].length;
        out.set(part, at);
        at += part.length;
    });
    return out;
}

/** n bytes from the platform's secure generator. */
export { randomBytes };

/** Byte strings one after another. */
export function concatBytes(...parts) {
    const out = new Uint8Array(parts.reduce((size, part) => size + part.length, 0));
    let at = 0;
    for (const part of parts) {
        out.set(part, at);
        at += part.length;
    }
    return out;
}

/**
 * generator_string(DSI, PRS, CI, sid, s_in_bytes): DSI and PRS zero-padded to fill the hash's
 * first block, so the hashing costs the same whatever the password's length.
 */
export function generatorString(dsi, prs, ci, sid, blockBytes) {
    const padding = Math.max(0, blockBytes - 1 - prependLength(prs).length - prependLength(dsi).length);
    return lengthValueConcat(dsi, prs, new Uint8Array(padding), ci, sid);
}

/**
 * G.calculate_generator: SHA-512 of the generator string, mapped to the group by ristretto255's
 * element derivation from 64 uniform bytes (RFC 9496; @noble/curves 1.x names it hashToCurve).
 * Returns the generator's encoding.
 */
export function calculateGenerator(prs, ci, sid) {
    const hash = sha512(generatorString(DOMAIN_SEPARATOR, prs, ci, sid, HASH_BLOCK_BYTES));
    return Point.hashToCurve(hash).toBytes();
}

/**
 * G.sample_scalar as the draft recommends: 32 random bytes with the bits above the group's 252
 * cleared.
 */
export function sampleScalar() {
    const scalar = randomBytes(SCALAR_BYTES);
    scalar[SCALAR_BYTES - 1] &= 0x0f;
    return scalar;
}

// The scalar as libsodium takes it: little-endian with the top bit ignored, reduced by the order.
function scalarFromBytes(bytes) {
    let value = BigInt(bytes[bytes.length - 1] & 0x7f);
    for (let i = bytes.length - 2; i >= 0; i -= 1) value = (value << 8n) | BigInt(bytes[i]);
    return value % Point.Fn.ORDER;
}

/**
 * G.scalar_mult_vfy(y, X): y times the point X. null (the draft's G.I, on which a party aborts)
 * when X is no valid encoding, encodes the identity, or the product is the identity; also when
 * either input has the wrong length. G.scalar_mult on the generator is the same call.
 */
export function scalarMultVerify(scalar, point) {
    if (scalar.length !== SCALAR_BYTES || point.length !== POINT_BYTES) return null;
    const y = scalarFromBytes(scalar);
    if (y === 0n) return null;
    let product;
    try {
        product = Point.fromBytes(point).multiply(y);
    } catch {
        return null;
    }
    return product.is0() ? null : product.toBytes();
}

/** transcript_ir(Ya, ADa, Yb, ADb): the initiator's share and data, then the responder's. */
export function transcriptInitiatorResponder(ya, ada, yb, adb) {
    return lengthValueConcat(ya, ada, yb, adb);
}

/** ISK = SHA-512(lv_cat(DSI || "_ISK", sid, K) || transcript). */
export function intermediateSessionKey(sid, sharedPoint, transcript) {
    return sha512.create().update(lengthValueConcat(ISK_DOMAIN, sid, sharedPoint)).update(transcript).digest();
}
