// The switchboard's wire format: what request bodies may hold and the bytes of every answer.
// Peers on phones and PCs parse these bytes, so they change only by addition.
//
// Payloads are relayed byte for byte: cut out of the push body that brought them, kept as the
// pieces they arrived in and spliced into poll answers without being decoded or re-encoded.

import crypto from 'node:crypto';
import * as buffers from 'node:buffer';
import { readText } from './members.mjs';
import { refuse } from './refusal.mjs';

// "tiles": the changed areas of the host's last picture, for a viewer that named them in its caps;
// only a host sends them.
// The sealed kinds carry each of the three, encrypted, in an encrypted session: the switchboard
// keeps its rules for pictures and tiles without seeing inside. A viewer seals json alone.
export const KIND = Object.freeze({
    json: 'json', jpeg: 'jpeg', tiles: 'tiles', sealedJson: 'sealed-json', sealedJpeg: 'sealed-jpeg', sealedTiles: 'sealed-tiles',
});
export const ROLE = Object.freeze({ viewer: 'viewer', host: 'host' });
const VIEWER_KINDS = new Set([KIND.json, KIND.jpeg, KIND.sealedJson]);
const HOST_KINDS = new Set(Object.values(KIND));
const ROLES = new Set(Object.values(ROLE));
const SEALED_KINDS = new Set([KIND.sealedJson, KIND.sealedJpeg, KIND.sealedTiles]);

/** A whole picture, sealed or not: it replaces the pictures and tiles before it. */
export const isWholePicture = (kind) => kind === KIND.jpeg || kind === KIND.sealedJpeg;
/** Tiles, sealed or not: they change the picture before them. */
export const isTiles = (kind) => kind === KIND.tiles || kind === KIND.sealedTiles;
/** Taken in encrypted sessions only. */
export const isSealed = (kind) => SEALED_KINDS.has(kind);

/** Is this the host's picture, whole or in tiles: large, and relayed on the fast path? */
export const isHostPicture = (role, kind) => role === ROLE.host && (isWholePicture(kind) || isTiles(kind));

// Payloads are spliced into poll answers without re-encoding, so they must be text that stands
// inside a JSON string as it is: printable ASCII without quote or backslash. Base64 is such text;
// whether it decodes is for the receiver to judge, as it does anyway.
const RELAYABLE_TEXT = /^[\x20\x21\x23-\x5b\x5d-\x7e]*$/;
// What the text above leaves out besides quote and backslash: control characters and DEL.
const UNPRINTABLE_BYTES = [...Array.from({ length: 0x20 }, (_, byte) => byte), 0x7f];
// Native from node 18.15; the fallback keeps older 18.x releases serving.
const isAscii = buffers.isAscii ?? ((bytes) => !/[^\x00-\x7f]/.test(bytes.toString('latin1')));
const QUOTE = 0x22;
const BACKSLASH = 0x5c;
// A payload that came in pieces smaller than this on average is joined into one buffer, so that
// a sender trickling bytes cannot make the per-piece bookkeeping outweigh the bytes it stores.
const MIN_PIECE_BYTES = 4096;

// ---------------------------------------------------------------------------------------------
// Request bodies.

/** Parses a request body, received as a list of chunks, which must be a JSON object. */
export function parseObject(chunks, length) {
    const bytes = chunks.length === 1 ? chunks[0] : Buffer.concat(chunks, length);
    return parseText(bytes.toString('utf8'));
}

function parseText(text) {
    let body;
    try {
        body = JSON.parse(text);
    } catch {
        refuse(400, 'The body is not JSON');
    }
    if (body === null || typeof body !== 'object' || Array.isArray(body)) refuse(400, 'The body must be a JSON object');
    return body;
}

const PAYLOAD_MEMBER = Buffer.from('"payload":"');
// Stands in for a payload while the rest of a push body is parsed; unguessable, so a body cannot
// make another member look like the payload.
const PAYLOAD_STAND_IN = crypto.randomBytes(12).toString('hex');

/**
 * Parses a push body without turning its payload into a string: a picture is most of the body,
 * and decoding and re-encoding it would cost more than everything else the switchboard does.
 * The payload's bytes are cut out of the chunks, the rest is parsed with a stand-in in their
 * place, and the bytes become the payload only if the stand-in ended up as the body's "payload".
 * Anything else (escapes, other spacing, a member split between chunks) is parsed the ordinary
 * way, and its "payload" stays a string.
 */
export function parsePushBody(chunks, length) {
    // Clients write the compact payload member ahead of the picture, so it is looked for in the
    // first chunk only; the quote that ends its text may be in any later one.
    const first = chunks[0];
    const at = first === undefined ? -1 : first.indexOf(PAYLOAD_MEMBER);
    if (at === -1) return parseObject(chunks, length);
    const start = at + PAYLOAD_MEMBER.length;
    let last = 0;
    let end = first.indexOf(QUOTE, start);
    while (end === -1 && last + 1 < chunks.length) {
        last += 1;
        end = chunks[last].indexOf(QUOTE);
    }
    if (end === -1) return parseObject(chunks, length);
    const pieces = last === 0
        ? [first.subarray(start, end)]
        : [first.subarray(start), ...chunks.slice(1, last), chunks[last].subarray(0, end)];
    const payload = new Payload(pieces.filter((piece) => piece.length > 0));
    // An escape means the text between the quotes is not the payload's value as it stands.
    if (payload.pieces.some((piece) => piece.indexOf(BACKSLASH) !== -1)) return parseObject(chunks, length);

    // Both cuts fall next to an ASCII quote, so decoding the two sides apart reads the same text
    // as decoding them joined; the side after the payload is short, and joined first so that no
    // character is split.
    const after = last + 1 === chunks.length
        ? chunks[last].subarray(end)
        : Buffer.concat([chunks[last].subarray(end), ...chunks.slice(last + 1)]);
    const body = parseText(first.toString('utf8', 0, start) + PAYLOAD_STAND_IN + after.toString('utf8'));
    // A later "payload" member, or one inside an escaped key, is the one JSON.parse kept.
    if (body.payload !== PAYLOAD_STAND_IN) return parseObject(chunks, length);
    body.payload = payload;
    return body;
}

const PAYLOAD_KEY = Buffer.from('"payload"');
const JSON_SPACE = new Set([0x20, 0x09, 0x0a, 0x0d]);
const COLON = 0x3a;

/**
 * Where the "payload" member starts in the head of a push body: the offset of its key, whose
 * colon and opening quote follow (spaces allowed), or -1 if the head holds no such member yet.
 */
export function payloadMemberAt(head) {
    for (let at = head.indexOf(PAYLOAD_KEY); at !== -1; at = head.indexOf(PAYLOAD_KEY, at + 1)) {
        let i = at + PAYLOAD_KEY.length;
        while (i < head.length && JSON_SPACE.has(head[i])) i += 1;
        if (i >= head.length || head[i] !== COLON) continue;
        i += 1;
        while (i < head.length && JSON_SPACE.has(head[i])) i += 1;
        if (i < head.length && head[i] === QUOTE) return at;
    }
    return -1;
}

/**
 * The members written before the payload, as an object, or null when the text before it is not
 * the start of a JSON object (the key stood inside some other member's text, say). The body may
 * still name other values after its payload; this only tells what it says before it.
 */
export function parseMembersBefore(head, at) {
    try {
        const members = JSON.parse(`${head.toString('utf8', 0, at)}"payload":""}`);
        return members !== null && typeof members === 'object' && !Array.isArray(members) ? members : null;
    } catch {
        return null;
    }
}

export function readRole(body) {
    const role = readText(body, 'role', { required: true });
    if (!ROLES.has(role)) refuse(400, '"role" must be "viewer" or "host"');
    return role;
}

/** The frame kind a push of this role may carry. */
export function readFrameKind(body, role) {
    const kind = readText(body, 'kind', { required: true });
    if (role === ROLE.host) {
        if (!HOST_KINDS.has(kind)) refuse(400, '"kind" must be "json", "jpeg" or "tiles"');
    } else if (!VIEWER_KINDS.has(kind)) {
        refuse(400, '"kind" must be "json" or "jpeg"');
    }
    return kind;
}

// ---------------------------------------------------------------------------------------------
// Payloads.

/**
 * Relayable text as the pieces it arrived in. A picture comes off the socket in several chunks;
 * keeping them as they are, rather than joining them into one buffer, spares a copy of every
 * picture, and the poll answer writes them out one after another anyway.
 */
export class Payload {
    constructor(pieces, { counted = true } = {}) {
        this.pieces = pieces;
        this.length = 0;
        for (const piece of pieces) this.length += piece.length;
        // The bytes are charged to an account once, while anything holds them: a queue waiting for
        // the reader, or an answer its connection has not taken yet. A picture replaced in its
        // queue still pins its bytes while an unread answer carries it, and goes on counting.
        this.counted = counted;
        this.holders = 0;
        this.account = null;
    }

    hold(account) {
        if (!this.counted) return;
        if (this.holders === 0) {
            this.account = account;
            account.take(this.length);
        }
        this.holders += 1;
    }

    release() {
        if (!this.counted || this.holders === 0) return;
        this.holders -= 1;
        if (this.holders === 0) {
            this.account.give(this.length);
            this.account = null;
        }
    }

    /** How many bytes letting go of one hold would give back. */
    get freedByRelease() {
        return this.counted && this.holders === 1 ? this.length : 0;
    }
}

/**
 * The payload as bytes ready to relay; already cut into pieces when the push body was parsed on
 * the fast path.
 *
 * A host's picture (whole or in tiles), the one large payload, is only checked to be ASCII without
 * quote or backslash: looking for control characters as well would cost more than the rest of the
 * push. Such a malformed picture can spoil no more than the poll answers that carry it, and the
 * next whole picture replaces it. Every other payload is checked in full, since it is kept until read.
 */
export function readPayload(body, hostPicture) {
    const value = body.payload;
    if (value === undefined || value === null) refuse(400, '"payload" is required');
    if (value instanceof Payload) {
        const pieces = value.pieces;
        for (const piece of pieces) {
            const relayable = hostPicture ? isAscii(piece) : isRelayableBytes(piece);
            if (!relayable) refuse(400, '"payload" must be base64');
        }
        if (pieces.length > 1 && value.length < pieces.length * MIN_PIECE_BYTES) {
            return new Payload([ownCopy(pieces, value.length)]);
        }
        // Do not keep a large network buffer alive for a small piece cut out of it.
        for (let i = 0; i < pieces.length; i += 1) {
            if (pieces[i].length * 2 < pieces[i].buffer.byteLength) pieces[i] = ownCopy([pieces[i]], pieces[i].length);
        }
        return value;
    }
    if (typeof value !== 'string') refuse(400, '"payload" must be text');
    if (!RELAYABLE_TEXT.test(value)) refuse(400, '"payload" must be base64');
    return new Payload([Buffer.from(value, 'latin1')]);
}

/** The pieces joined in a buffer of their own: never a slice of a shared pool or network buffer. */
function ownCopy(pieces, length) {
    const own = Buffer.allocUnsafeSlow(length);
    let at = 0;
    for (const piece of pieces) at += piece.copy(own, at);
    return own;
}

/** Printable ASCII; the caller has already made sure there is no quote or backslash. */
function isRelayableBytes(bytes) {
    if (!isAscii(bytes)) return false;
    for (const byte of UNPRINTABLE_BYTES) {
        if (bytes.indexOf(byte) !== -1) return false;
    }
    return true;
}

/** The close message a host polls once its session has ended, as a frame. */
export const CLOSE_FRAME = Object.freeze({
    kind: KIND.json,
    // Shared by every session, so it is no one's to be charged for.
    payload: new Payload([Buffer.from(Buffer.from('{"type":"close"}').toString('base64'), 'latin1')], { counted: false }),
});

// ---------------------------------------------------------------------------------------------
// Answers.

/** The answer of a path that has nothing to tell but success. */
export const OK = Object.freeze({ ok: true });
// The answer of a push that named "waitMs": whether the other side took its frame in time.
export const TAKEN = Object.freeze({ ok: true, taken: true });
export const NOT_TAKEN = Object.freeze({ ok: true, taken: false });
export const OK_TEXT = JSON.stringify(OK);
export const NO_FRAMES_TEXT = '{"frames":[],"since":0}';

export const refusalText = (message) => JSON.stringify({ error: message });

const FRAMES_OPEN = Buffer.from('{"frames":[');
const JSON_FRAME_OPEN = Buffer.from('{"kind":"json","payload":"');
const JPEG_FRAME_OPEN = Buffer.from('{"kind":"jpeg","payload":"');
const TILES_FRAME_OPEN = Buffer.from('{"kind":"tiles","payload":"');
const FRAME_OPENS = new Map([
    [KIND.json, JSON_FRAME_OPEN], [KIND.jpeg, JPEG_FRAME_OPEN], [KIND.tiles, TILES_FRAME_OPEN],
    ...[KIND.sealedJson, KIND.sealedJpeg, KIND.sealedTiles].map((kind) => [kind, Buffer.from(`{"kind":"${kind}","payload":"`)]),
]);
const FRAME_CLOSE = Buffer.from('"}');
const FRAME_SEPARATOR = Buffer.from(',');

/**
 * A poll answer, written as a list of buffers so that payloads go out without being copied or
 * re-encoded: kinds are fixed words and payloads are relayable text.
 */
export class FramesAnswer {
    /**
     * `account` is charged for payloads that nothing else holds while the answer is on its way;
     * `owner.answersOnTheirWay` counts the answers on their way for it (a session, say).
     */
    constructor(frames, since, account = null, owner = null) {
        this.frames = frames;
        this.since = since;
        this.account = account;
        this.owner = owner;
        // For a poll that named "waitMs": how long the other side has been quiet, in whole
        // milliseconds; null leaves the member out, so other polls keep the bytes they had.
        this.peerQuietMs = null;
    }

    /** The members after the frames: the cursor, and the other side's quiet time if told. */
    #tail() {
        return this.peerQuietMs === null ? `"since":${this.since}}` : `"since":${this.since},"peerQuietMs":${this.peerQuietMs}}`;
    }

    /** Holds every payload until `release` is called, once the connection has taken the answer. */
    hold() {
        if (this.owner !== null) this.owner.answersOnTheirWay += 1;
        this.held = [];
        for (const { payload } of this.frames) {
            const account = payload.account ?? this.account;
            if (!payload.counted || account === null) continue;
            payload.hold(account);
            this.held.push(payload);
        }
    }

    release() {
        if (this.held === undefined) return;
        for (const payload of this.held) payload.release();
        this.held = undefined;
        if (this.owner !== null) this.owner.answersOnTheirWay -= 1;
    }

    pieces() {
        const pieces = [FRAMES_OPEN];
        for (let i = 0; i < this.frames.length; i += 1) {
            const frame = this.frames[i];
            if (i > 0) pieces.push(FRAME_SEPARATOR);
            pieces.push(FRAME_OPENS.get(frame.kind), ...frame.payload.pieces, FRAME_CLOSE);
        }
        pieces.push(Buffer.from(`],${this.#tail()}`));
        return pieces;
    }

    /** The whole answer as text, for one with no frames, so that it leaves in a single write. */
    emptyText() {
        return `{"frames":[],${this.#tail()}`;
    }
}
