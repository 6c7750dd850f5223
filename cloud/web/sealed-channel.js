// The frames of a confirmed encrypted session, both directions as one side sees them: what it
// sends sealed with its own direction's key, what it receives opened with the other's. The same
// format and rules as the desktop app's SealedChannel:
//
//   payload = seq (u64, big-endian) || anchor (u64, big-endian) || XChaCha20-Poly1305 ciphertext || tag
//
// `seq` counts the sender's frames from 1 and makes the nonce (16 zero bytes, then seq). The
// associated data is lv_cat("KivrenRemote sealed 1", sid, the sender's role, the sealed kind,
// seq || anchor). `anchor` names the frame a frame follows: for a json frame and a whole picture
// the sender's last json frame, for tiles its last picture or tiles frame; a frame is taken only
// when its seq is above every one taken and its anchor is the last one taken of that chain, so
// the switchboard may drop a replaced picture but nothing else goes missing, is replayed or
// reordered unnoticed.

import { xchacha20poly1305 } from '../node_modules/@noble/ciphers/esm/chacha.js';
import { lengthValueConcat } from './cpace.js';
import { sendingKey } from './key-schedule.js';

export const HEADER_BYTES = 16;
export const TAG_BYTES = 16;
const NONCE_BYTES = 24;
const SEQUENCE_BYTES = 8;

const SEALED_KIND = Object.freeze({ json: 'sealed-json', jpeg: 'sealed-jpeg', tiles: 'sealed-tiles' });
const INNER_KIND = Object.freeze(Object.fromEntries(Object.entries(SEALED_KIND).map(([inner, sealed]) => [sealed, inner])));
const LABEL = new TextEncoder().encode('KivrenRemote sealed 1');
const ROLE_BYTES = Object.freeze({ viewer: new TextEncoder().encode('viewer'), host: new TextEncoder().encode('host') });
const KIND_BYTES = Object.freeze(Object.fromEntries(Object.values(SEALED_KIND).map((kind) => [kind, new TextEncoder().encode(kind)])));

/** The sealed kind that carries `innerKind` ("json", "jpeg", "tiles"), or null for another. */
export const sealedKind = (innerKind) => (Object.hasOwn(SEALED_KIND, innerKind) ? SEALED_KIND[innerKind] : null);
/** The kind a sealed kind carries, or null when it is none of them. */
export const innerKind = (kind) => (Object.hasOwn(INNER_KIND, kind) ? INNER_KIND[kind] : null);

/** Why a frame was not opened; a refused frame changes nothing. */
export const REFUSAL = Object.freeze({
    malformed: 'malformed', // not a sealed kind, or too short to hold a header and a tag
    replayed: 'replayed', // a sequence number at or below one already taken (checked before decrypting)
    forged: 'forged', // fails to open: altered, from the other direction, another session or kind
    missing: 'missing', // opens, but a frame it follows never arrived
});

const otherRole = (role) => (role === 'host' ? 'viewer' : 'host');

/** The last sequence number of each chain a frame may follow (0n: none yet). */
class Chains {
    json = 0n;
    picture = 0n;

    anchorFor(kind) { return kind === 'tiles' ? this.picture : this.json; }

    take(kind, seq) {
        if (kind === 'json') this.json = seq;
        else this.picture = seq;
    }
}

function nonceOf(header) {
    const nonce = new Uint8Array(NONCE_BYTES);
    nonce.set(header.subarray(0, SEQUENCE_BYTES), NONCE_BYTES - SEQUENCE_BYTES);
    return nonce;
}

export class SealedChannel {
    #self;
    #sendKey;
    #receiveKey;
    #sid;
    #sent = 0n;
    #sentChains = new Chains();
    #received = 0n;
    #receivedChains = new Chains();

    /** `self` is "viewer" or "host"; `keys` from deriveKeys; `sid` the exchange's. */
    constructor(self, keys, sid) {
        this.#self = self;
        this.#sendKey = sendingKey(keys, self);
        this.#receiveKey = sendingKey(keys, otherRole(self));
        this.#sid = sid;
    }

    #associatedData(sender, kind, header) {
        return lengthValueConcat(LABEL, this.#sid, ROLE_BYTES[sender], KIND_BYTES[kind], header);
    }

    /**
     * The next frame of `kind` from this side as { kind: its sealed kind, bytes }, the ciphertext
     * written straight after the header in one buffer; null for a kind that cannot be sealed.
     */
    seal(kind, plaintext) {
        const sealed = sealedKind(kind);
        if (sealed === null) return null;
        this.#sent += 1n;
        const seq = this.#sent;
        const bytes = new Uint8Array(HEADER_BYTES + plaintext.length + TAG_BYTES);
        const header = bytes.subarray(0, HEADER_BYTES);
        const view = new DataView(bytes.buffer, bytes.byteOffset, HEADER_BYTES);
        view.setBigUint64(0, seq);
        view.setBigUint64(SEQUENCE_BYTES, this.#sentChains.anchorFor(kind));
        this.#sentChains.take(kind, seq);
        xchacha20poly1305(this.#sendKey, nonceOf(header), this.#associatedData(this.#self, sealed, header))
            .encrypt(plaintext, bytes.subarray(HEADER_BYTES));
        return { kind: sealed, bytes };
    }

    /**
     * Opens a frame from the other side: { kind: "json" | "jpeg" | "tiles", bytes } or
     * { refusal: one of REFUSAL }. The plaintext is the one copy made; header and ciphertext are
     * read where they lie.
     */
    open(kind, payload) {
        const inner = innerKind(kind);
        if (inner === null || payload.length < HEADER_BYTES + TAG_BYTES) return { refusal: REFUSAL.malformed };
        const header = payload.subarray(0, HEADER_BYTES);
        const view = new DataView(payload.buffer, payload.byteOffset, HEADER_BYTES);
        const seq = view.getBigUint64(0);
        const anchor = view.getBigUint64(SEQUENCE_BYTES);
        if (seq <= this.#received) return { refusal: REFUSAL.replayed };

        let bytes;
        try {
            bytes = xchacha20poly1305(this.#receiveKey, nonceOf(header), this.#associatedData(otherRole(this.#self), kind, header))
                .decrypt(payload.subarray(HEADER_BYTES));
        } catch {
            return { refusal: REFUSAL.forged };
        }
        if (anchor !== this.#receivedChains.anchorFor(inner)) return { refusal: REFUSAL.missing };
        this.#received = seq;
        this.#receivedChains.take(inner, seq);
        return { kind: inner, bytes };
    }
}
