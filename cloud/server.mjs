// KivrenRemote switchboard: the rendezvous and relay that hosts and viewers post JSON objects to.
//
// Run as `node server.mjs`; listens on 127.0.0.1 and the port in KIVREN_PORT (17880 when unset,
// "0" for a free port) and prints one line, "listening on 127.0.0.1:<port>", once it is ready.
//
// A tunnel publishes this service to the internet, so every request is treated as hostile: bodies
// are size-limited, every member is type-checked, secrets are compared in constant time, password
// guesses are rate-limited, every queue and table is bounded, and nothing a client sends is ever
// printed.
//
// Time limits and bounds can be shortened through environment variables (see `settings`), which is
// how the tests exercise expiry without waiting for the real durations.

import http from 'node:http';
import crypto from 'node:crypto';
import * as buffers from 'node:buffer';

const DEFAULT_PORT = 17880;
const LISTEN_ADDRESS = '127.0.0.1';
const PASSWORD_ALPHABET = new Set('ABCDEFGHJKLMNPQRSTUVWXYZ23456789');
const HOST_ID_PATTERN = /^[0-9]{9}$/;
// Payloads are relayed byte for byte, spliced into poll answers without re-encoding, so they must
// be text that stands inside a JSON string as it is: printable ASCII without quote or backslash.
// Base64 is such text; whether it decodes is for the receiver to judge, as it does anyway.
const RELAYABLE_TEXT = /^[\x20\x21\x23-\x5b\x5d-\x7e]*$/;
const CONTROL_BYTES = Array.from({ length: 0x20 }, (_, byte) => byte);
// Native from node 18.15; the fallback keeps older 18.x releases serving.
const isAscii = buffers.isAscii ?? ((bytes) => !/[^\x00-\x7f]/.test(bytes.toString('latin1')));
const QUOTE = 0x22;
const BACKSLASH = 0x5c;
const PAYLOAD_MEMBER = Buffer.from('"payload":"');
// Stands in for a payload while the rest of a push body is parsed; unguessable, so a body cannot
// make another member look like the payload.
const PAYLOAD_STAND_IN = crypto.randomBytes(12).toString('hex');
const FRAME_KINDS = new Set(['json', 'jpeg']);
const ROLES = new Set(['viewer', 'host']);
// Secrets longer than this can never match one we issued or stored, so they are refused before
// any hashing work is spent on them.
const MAX_SECRET_LENGTH = 256;
const MAX_SESSION_ID_LENGTH = 128;
const MAX_NAME_LENGTH = 64;
const SMALL_BODY_BYTES = 64 * 1024;
// A payload that came in pieces smaller than this on average is joined into one buffer, so that
// a sender trickling bytes cannot make the per-piece bookkeeping outweigh the bytes it stores.
const MIN_PIECE_BYTES = 4096;
// Headers a tunnel or proxy adds: a request carrying any of them did not come straight from this
// machine, whatever its socket address says.
const FORWARDING_HEADERS = [
    'forwarded', 'x-forwarded-for', 'x-forwarded-host', 'x-forwarded-proto', 'x-real-ip',
    'cf-connecting-ip', 'cf-ray', 'cf-visitor', 'cdn-loop', 'true-client-ip', 'x-client-ip',
];
const LOOPBACK_ADDRESSES = new Set(['127.0.0.1', '::1', '::ffff:127.0.0.1']);
const LOOPBACK_HOST_HEADER = /^(127\.0\.0\.1|localhost|\[::1\])(:[0-9]{1,5})?$/i;

function envInteger(name, fallback, minimum = 0) {
    const raw = process.env[name];
    if (raw === undefined || raw === '') return fallback;
    if (!/^[0-9]+$/.test(raw) || Number(raw) < minimum || !Number.isSafeInteger(Number(raw))) {
        process.stderr.write(`${name} must be a whole number of at least ${minimum}\n`);
        process.exit(2);
    }
    return Number(raw);
}

const settings = Object.freeze({
    port: envInteger('KIVREN_PORT', DEFAULT_PORT),
    // A host counts as online while its last heartbeat is this recent.
    onlineMs: envInteger('KIVREN_ONLINE_MS', 10_000, 1),
    // A host that neither registers nor heartbeats for this long is forgotten, releasing its ID.
    hostForgetMs: envInteger('KIVREN_HOST_FORGET_MS', 3_600_000, 1),
    // A viewer that stops polling for this long has gone; its host is told to close.
    viewerIdleMs: envInteger('KIVREN_VIEWER_IDLE_MS', 30_000, 1),
    // A host that stops polling its claimed session for this long has gone; the viewer is told.
    hostIdleMs: envInteger('KIVREN_HOST_IDLE_MS', 30_000, 1),
    // A session no host has claimed by then is given up.
    unclaimedMs: envInteger('KIVREN_UNCLAIMED_MS', 60_000, 1),
    // An ended session is kept this long after its host collected the close message, so that a
    // host whose poll answer got lost still sees the close on its next poll.
    collectedKeepMs: envInteger('KIVREN_COLLECTED_KEEP_MS', 60_000, 1),
    // An ended session whose host never collected the close (a sleeping Mac) is kept this long.
    endedKeepMs: envInteger('KIVREN_ENDED_KEEP_MS', 3_600_000, 1),
    guessLimit: envInteger('KIVREN_GUESS_LIMIT', 5, 1),
    guessWindowMs: envInteger('KIVREN_GUESS_WINDOW_MS', 60_000, 1),
    maxHosts: envInteger('KIVREN_MAX_HOSTS', 1000, 1),
    maxSessions: envInteger('KIVREN_MAX_SESSIONS', 200, 1),
    // Room for a 4K JPEG in base64 inside a push; every other request is small.
    maxPushBytes: envInteger('KIVREN_MAX_PUSH_BYTES', 16 * 1024 * 1024, 1024),
    // Pictures are replaced, not queued: the viewer shows only the last picture of an answer, so
    // an older one would only cost a slow link its bandwidth and the viewer a decode.
    keptPictures: envInteger('KIVREN_KEPT_PICTURES', 1, 1),
    // Structured messages are queued until read; past these bounds a push is refused (429)
    // rather than dropping an older message, so a sender learns that its message was not taken
    // and no half-delivered sequence (a button press without its release) reaches the reader.
    maxQueuedMessages: envInteger('KIVREN_MAX_QUEUED_MESSAGES', 256, 1),
    maxQueuedBytes: envInteger('KIVREN_MAX_QUEUED_BYTES', 1024 * 1024, 1),
    // Everything all sessions hold together; past it pushes are refused (503) until readers
    // catch up, whatever the number of sessions and the size of their pictures.
    maxStoredBytes: envInteger('KIVREN_MAX_STORED_BYTES', 256 * 1024 * 1024, 1),
    headersTimeoutMs: envInteger('KIVREN_HEADERS_TIMEOUT_MS', 10_000, 1),
    requestTimeoutMs: envInteger('KIVREN_REQUEST_TIMEOUT_MS', 60_000, 1),
    // Longer than the idle time of tunnel clients' connection pools, so the service never closes
    // a pooled connection just as a request is sent on it.
    keepAliveTimeoutMs: envInteger('KIVREN_KEEP_ALIVE_TIMEOUT_MS', 95_000, 1),
    maxConnections: envInteger('KIVREN_MAX_CONNECTIONS', 1024, 1),
});

if (settings.port > 65535) {
    process.stderr.write('KIVREN_PORT must be a port number between 0 and 65535\n');
    process.exit(2);
}

/** The answer of a path that has nothing to tell but success. */
const OK = Object.freeze({ ok: true });
const OK_TEXT = JSON.stringify(OK);

/** A refusal answered to the client: an HTTP status of 400 or more and a readable text. */
class Refusal {
    constructor(status, message) {
        this.status = status;
        this.message = message;
    }
}

const refuse = (status, message) => { throw new Refusal(status, message); };

// ---------------------------------------------------------------------------------------------
// Reading members of a request body. A missing optional member takes its default; a member of the
// wrong type is always refused, never coerced.

function readText(body, key, { required = false } = {}) {
    const value = body[key];
    if (value === undefined || value === null) {
        if (required) refuse(400, `"${key}" is required`);
        return '';
    }
    if (typeof value !== 'string') refuse(400, `"${key}" must be text`);
    if (required && value === '') refuse(400, `"${key}" is required`);
    return value;
}

function readBoolean(body, key, fallback) {
    const value = body[key];
    if (value === undefined || value === null) return fallback;
    if (typeof value !== 'boolean') refuse(400, `"${key}" must be true or false`);
    return value;
}

function readCursor(body, key) {
    const value = body[key];
    if (value === undefined || value === null) return 0;
    if (typeof value !== 'number' || !Number.isFinite(value)) refuse(400, `"${key}" must be a number`);
    return value < 0 ? 0 : Math.trunc(value);
}

function readHostId(body) {
    const id = readText(body, 'id', { required: true });
    if (!HOST_ID_PATTERN.test(id)) refuse(400, '"id" must be 9 digits');
    return id;
}

/** Names are shown on the other side's screen: no control characters, bounded length. */
function displayName(text) {
    // eslint-disable-next-line no-control-regex
    const clean = text.replace(/[\u0000-\u001f\u007f-\u009f\u202a-\u202e\u2066-\u2069]/g, '').trim();
    return Array.from(clean).slice(0, MAX_NAME_LENGTH).join('');
}

// ---------------------------------------------------------------------------------------------
// Secrets. Stored only as SHA-256 digests and compared with timingSafeEqual over equal-length
// digests, so neither the content nor the length of a stored secret leaks through timing.

const digest = (text) => crypto.createHash('sha256').update(text, 'utf8').digest();

function sameSecret(storedDigest, candidate) {
    if (typeof candidate !== 'string' || candidate.length > MAX_SECRET_LENGTH) return false;
    return crypto.timingSafeEqual(storedDigest, digest(candidate));
}

/**
 * For secrets this service issued itself: their length is public (it is the same for all of
 * them), so the bytes can be compared directly, which matters on the per-picture path.
 */
function sameIssuedSecret(issued, candidate) {
    if (typeof candidate !== 'string' || candidate.length !== issued.length) return false;
    const bytes = Buffer.from(candidate, 'utf8');
    return bytes.length === issued.length && crypto.timingSafeEqual(issued, bytes);
}

/** Upper-case, then keep only the characters of the password alphabet. */
function compactPassword(text) {
    let compact = '';
    for (const ch of text.toUpperCase()) {
        if (PASSWORD_ALPHABET.has(ch)) compact += ch;
    }
    return compact;
}

const newSecret = (bytes) => crypto.randomBytes(bytes).toString('hex');

// ---------------------------------------------------------------------------------------------
// Payloads.

/**
 * Relayable text as the pieces it arrived in. A picture comes off the socket in several chunks;
 * keeping them as they are, rather than joining them into one buffer, spares a copy of every
 * picture, and the poll answer writes them out one after another anyway.
 */
class Payload {
    constructor(pieces) {
        this.pieces = pieces;
        this.length = 0;
        for (const piece of pieces) this.length += piece.length;
    }
}

const CLOSE_PAYLOAD = new Payload([Buffer.from(Buffer.from('{"type":"close"}').toString('base64'), 'latin1')]);

// ---------------------------------------------------------------------------------------------
// State. Maps keyed by client-supplied text, never plain objects, so that no key can reach a
// prototype.

/** @type {Map<string, object>} host ID -> host record */
const hosts = new Map();
/** @type {Map<string, object>} session ID -> session record */
const sessions = new Map();
let publicOrigin = '';
/** Payload bytes held by all queues together. */
let storedBytes = 0;

/** Frames waiting for a reader; keeps its own size and the service's total up to date. */
class FrameQueue {
    constructor() {
        this.frames = [];
        this.bytes = 0;
    }

    get length() {
        return this.frames.length;
    }

    push(frame) {
        this.frames.push(frame);
        this.bytes += frame.payload.length;
        storedBytes += frame.payload.length;
    }

    /** Drops the oldest frame. */
    dropOldest() {
        const frame = this.frames.shift();
        this.bytes -= frame.payload.length;
        storedBytes -= frame.payload.length;
    }

    /** Keeps only the frames `keep` accepts. */
    retain(keep) {
        if (this.frames.every(keep)) return;
        this.frames = this.frames.filter(keep);
        const bytes = this.frames.reduce((sum, frame) => sum + frame.payload.length, 0);
        storedBytes -= this.bytes - bytes;
        this.bytes = bytes;
    }

    /** Hands over every frame and empties the queue. */
    takeAll() {
        const frames = this.frames;
        storedBytes -= this.bytes;
        this.frames = [];
        this.bytes = 0;
        return frames;
    }
}

function forgetSession(session) {
    session.viewerMessages.takeAll();
    session.viewerPictures.takeAll();
    session.hostFrames.takeAll();
    sessions.delete(session.id);
}

function hostIsOnline(host, now) {
    return host.lastBeatAt !== 0 && now - host.lastBeatAt <= settings.onlineMs;
}

/** Password failures of the last window; the host is locked while there are guessLimit of them. */
function guessesLocked(host, now) {
    while (host.failures.length > 0 && now - host.failures[0] >= settings.guessWindowMs) {
        host.failures.shift();
    }
    return host.failures.length >= settings.guessLimit;
}

function newSession(host, clientName, now) {
    return {
        id: newSecret(16),
        token: newSecret(32),
        tokenBytes: null,
        hostId: host.id,
        clientName,
        createdAt: now,
        ended: false,
        endReason: '',
        // The host has been shown this session in a heartbeat answer, so it may start streaming
        // even before it claims; from then on it must be told when the session ends.
        offered: false,
        claimed: false,
        closeCollected: false,
        freeAt: Infinity,
        viewerSeenAt: now,
        hostSeenAt: now,
        // Towards the viewer: every frame gets a sequence number; the viewer acknowledges what it
        // received by sending the newest number back as its cursor.
        sequence: 0,
        viewerMessages: new FrameQueue(),
        viewerPictures: new FrameQueue(),
        // Towards the host: handed over exactly once, in push order.
        hostFrames: new FrameQueue(),
    };
}

/** Ends a session: the viewer is refused from now on and the host will poll a close message. */
function endSession(session, reason, now) {
    if (session.ended) return;
    session.ended = true;
    session.endReason = reason;
    session.viewerMessages.takeAll();
    session.viewerPictures.takeAll();
    // A host that heard of the session must be able to collect the close for a long while; one
    // that never did needs nothing, and the record stays only so the viewer reads why it ended.
    const hostHeardOfIt = session.offered || session.claimed;
    session.freeAt = now + (hostHeardOfIt ? settings.endedKeepMs : settings.collectedKeepMs);
}

function sweep(now) {
    for (const session of sessions.values()) {
        if (!session.ended) {
            if (now - session.viewerSeenAt > settings.viewerIdleMs) {
                endSession(session, 'The viewer stopped polling', now);
            } else if (!session.claimed && now - session.createdAt > settings.unclaimedMs) {
                endSession(session, 'The PC did not answer', now);
            } else if (session.claimed && now - session.hostSeenAt > settings.hostIdleMs) {
                endSession(session, 'The PC left the session', now);
            }
        }
        if (session.ended && now >= session.freeAt) forgetSession(session);
    }
    for (const host of hosts.values()) {
        if (now - host.lastSeenAt > settings.hostForgetMs) hosts.delete(host.id);
    }
}

/** Makes room for one more session, dropping the oldest ended one if the table is full. */
function roomForSession() {
    if (sessions.size < settings.maxSessions) return true;
    let oldest = null;
    for (const session of sessions.values()) {
        if (session.ended && (oldest === null || session.freeAt < oldest.freeAt)) oldest = session;
    }
    if (oldest === null) return false;
    forgetSession(oldest);
    return true;
}

/** Finds the session named in the body and checks its token. */
function authorisedSession(body, tokenKey) {
    const id = readText(body, 'sessionId', { required: true });
    const token = body[tokenKey];
    if (token !== undefined && token !== null && typeof token !== 'string') {
        refuse(400, `"${tokenKey}" must be text`);
    }
    const session = id.length <= MAX_SESSION_ID_LENGTH ? sessions.get(id) : undefined;
    if (session === undefined) refuse(404, 'Unknown session');
    if (!sameIssuedSecret(session.tokenBytes, token)) refuse(403, 'Wrong session token');
    return session;
}

function readRole(body) {
    const role = readText(body, 'role', { required: true });
    if (!ROLES.has(role)) refuse(400, '"role" must be "viewer" or "host"');
    return role;
}

function ensureViewerMayContinue(session) {
    if (session.ended) refuse(410, session.endReason);
}

// ---------------------------------------------------------------------------------------------
// Paths. Each takes the parsed body, the request and the current time and returns the answer
// object, or throws a Refusal.

function register(body, _request, now) {
    // 1. Read and check every member before touching state.
    const id = readHostId(body);
    const hostToken = readText(body, 'hostToken', { required: true });
    if (hostToken.length > MAX_SECRET_LENGTH) refuse(400, '"hostToken" is too long');
    const password = readText(body, 'password', { required: true });
    const compact = compactPassword(password);
    if (compact === '') refuse(400, '"password" has no password characters');
    const name = displayName(readText(body, 'name'));
    const platform = displayName(readText(body, 'platform'));
    const unattended = readBoolean(body, 'unattended', false);

    // 2. An ID stays bound to the token that first registered it while it is known.
    let host = hosts.get(id);
    if (host !== undefined && !sameSecret(host.tokenDigest, hostToken)) {
        refuse(403, 'This ID belongs to another host');
    }
    if (host === undefined) {
        if (hosts.size >= settings.maxHosts) sweep(now);
        if (hosts.size >= settings.maxHosts) refuse(503, 'Too many hosts are registered');
        host = { id, tokenDigest: digest(hostToken), lastBeatAt: 0, failures: [] };
        hosts.set(id, host);
    }

    // 3. Store the description; the password only as the digest of its compact form.
    host.name = name;
    host.platform = platform;
    host.passwordDigest = digest(compact);
    host.unattended = unattended;
    host.lastSeenAt = now;
    return OK;
}

function heartbeat(body, _request, now) {
    // 1. The host proves it owns the ID.
    const id = readHostId(body);
    const hostToken = readText(body, 'hostToken', { required: true });
    const host = hosts.get(id);
    if (host === undefined) refuse(404, 'Unknown ID');
    if (!sameSecret(host.tokenDigest, hostToken)) refuse(403, 'Wrong host token');

    // 2. Mark it online.
    host.lastBeatAt = now;
    host.lastSeenAt = now;

    // 3. Answer the public origin and the oldest session waiting to be claimed.
    const reply = { ok: true };
    if (publicOrigin !== '') reply.origin = publicOrigin;
    let waiting = null;
    for (const session of sessions.values()) {
        if (session.hostId === id && !session.ended && !session.claimed
            && (waiting === null || session.createdAt < waiting.createdAt)) {
            waiting = session;
        }
    }
    if (waiting !== null) {
        waiting.offered = true;
        reply.pending = { sessionId: waiting.id, sessionToken: waiting.token };
        if (waiting.clientName !== '') reply.pending.clientName = waiting.clientName;
    }
    return reply;
}

function isDirectLoopback(request) {
    if (!LOOPBACK_ADDRESSES.has(request.socket.remoteAddress)) return false;
    if (FORWARDING_HEADERS.some((name) => request.headers[name] !== undefined)) return false;
    // A tunnel passes the public host name along; only this machine addresses us by loopback.
    return LOOPBACK_HOST_HEADER.test(request.headers.host ?? '');
}

function origin(body, request) {
    // 1. Only this machine may say where it is published.
    if (!isDirectLoopback(request)) refuse(403, 'Only this machine may set the origin');
    // 2. Keep the origin of a well-formed web address.
    const text = readText(body, 'origin', { required: true });
    let url;
    try {
        url = new URL(text);
    } catch {
        refuse(400, '"origin" must be a web address');
    }
    if ((url.protocol !== 'https:' && url.protocol !== 'http:') || url.username !== '' || url.password !== '') {
        refuse(400, '"origin" must be a web address');
    }
    publicOrigin = url.origin;
    return OK;
}

function lookup(body, _request, now) {
    const id = readText(body, 'id', { required: true });
    const host = HOST_ID_PATTERN.test(id) ? hosts.get(id) : undefined;
    if (host === undefined) return { found: false, online: false };
    const reply = { found: true, online: hostIsOnline(host, now) };
    if (host.name !== '') reply.name = host.name;
    if (host.platform !== '') reply.platform = host.platform;
    return reply;
}

function connect(body, _request, now) {
    // 1. Read the members.
    const id = readText(body, 'id', { required: true });
    const password = readText(body, 'password');
    const clientName = displayName(readText(body, 'clientName'));
    readText(body, 'clientPlatform');

    // 2. Find the host, refuse while guesses are locked out, then require it online.
    const host = HOST_ID_PATTERN.test(id) ? hosts.get(id) : undefined;
    if (host === undefined) refuse(404, 'Unknown ID');
    if (guessesLocked(host, now)) refuse(429, 'Too many wrong passwords; try again in a minute');
    if (!hostIsOnline(host, now)) refuse(409, 'That PC is offline');

    // 3. Compare the compact forms in constant time; an empty form never matches.
    const compact = compactPassword(password);
    const matches = crypto.timingSafeEqual(host.passwordDigest, digest(compact));
    if (!matches || compact === '') {
        host.failures.push(now);
        refuse(403, 'Wrong password');
    }

    // 4. Open the session; the host sees it as pending on its next heartbeat.
    if (!roomForSession()) sweep(now);
    if (!roomForSession()) refuse(503, 'The switchboard is busy; try again later');
    const session = newSession(host, clientName, now);
    session.tokenBytes = Buffer.from(session.token, 'utf8');
    sessions.set(session.id, session);
    return { sessionId: session.id, sessionToken: session.token, transport: 'relay' };
}

function claim(body, _request, now) {
    const session = authorisedSession(body, 'sessionToken');
    if (session.ended) refuse(410, session.endReason);
    session.claimed = true;
    session.hostSeenAt = now;
    return OK;
}

function push(body, _request, now) {
    // 1. Check the session, the role and the frame.
    const session = authorisedSession(body, 'token');
    const role = readRole(body);
    const kind = readText(body, 'kind', { required: true });
    if (!FRAME_KINDS.has(kind)) refuse(400, '"kind" must be "json" or "jpeg"');
    const payload = readPayload(body, role === 'host' && kind === 'jpeg');
    if (session.ended) refuse(410, session.endReason);
    const frame = { kind, payload };
    const hostPicture = role === 'host' && kind === 'jpeg';

    // 2. All sessions together stay within the service's budget; a picture frees what it replaces.
    const replaced = hostPicture && session.viewerPictures.length >= settings.keptPictures
        ? session.viewerPictures.frames[0].payload.length : 0;
    if (storedBytes - replaced + payload.length > settings.maxStoredBytes) {
        refuse(503, 'The switchboard is full; try again shortly');
    }

    // 3. A viewer's frame is queued for the host, within the bounds.
    if (role === 'viewer') {
        session.viewerSeenAt = now;
        const queue = session.hostFrames;
        if (queue.length >= settings.maxQueuedMessages || queue.bytes + payload.length > settings.maxQueuedBytes) {
            refuse(429, 'Too many messages are waiting for the PC');
        }
        queue.push(frame);
        return OK;
    }

    // 4. A host's frame gets the next sequence number; a picture replaces the oldest kept one.
    session.claimed = true;
    session.hostSeenAt = now;
    if (hostPicture) {
        if (session.viewerPictures.length >= settings.keptPictures) session.viewerPictures.dropOldest();
        frame.sequence = ++session.sequence;
        session.viewerPictures.push(frame);
        return OK;
    }
    const queue = session.viewerMessages;
    if (queue.length >= settings.maxQueuedMessages || queue.bytes + payload.length > settings.maxQueuedBytes) {
        refuse(429, 'Too many messages are waiting for the viewer');
    }
    frame.sequence = ++session.sequence;
    queue.push(frame);
    return OK;
}

/**
 * The payload as bytes ready to relay; already cut into pieces when the push body was parsed on
 * the fast path.
 *
 * A host's picture, the one large payload, is only checked to be ASCII without quote or backslash:
 * looking for control characters as well would cost more than the rest of the push. Such a
 * malformed picture can spoil no more than the poll answers that carry it, and the next pictures
 * replace it. Every other payload is checked in full, since it is kept until read.
 */
function readPayload(body, hostPicture) {
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
    for (const byte of CONTROL_BYTES) {
        if (bytes.indexOf(byte) !== -1) return false;
    }
    return true;
}

const FRAMES_OPEN = Buffer.from('{"frames":[');
const JSON_FRAME_OPEN = Buffer.from('{"kind":"json","payload":"');
const JPEG_FRAME_OPEN = Buffer.from('{"kind":"jpeg","payload":"');
const FRAME_CLOSE = Buffer.from('"}');
const FRAME_SEPARATOR = Buffer.from(',');

/**
 * A poll answer, written as a list of buffers so that payloads go out without being copied or
 * re-encoded: kinds are fixed words and payloads are relayable text.
 */
class FramesAnswer {
    constructor(frames, since) {
        this.frames = frames;
        this.since = since;
    }

    pieces() {
        const pieces = [FRAMES_OPEN];
        for (let i = 0; i < this.frames.length; i += 1) {
            const frame = this.frames[i];
            if (i > 0) pieces.push(FRAME_SEPARATOR);
            pieces.push(frame.kind === 'jpeg' ? JPEG_FRAME_OPEN : JSON_FRAME_OPEN, ...frame.payload.pieces, FRAME_CLOSE);
        }
        pieces.push(Buffer.from(`],"since":${this.since}}`));
        return pieces;
    }

    /** The whole answer as text, for one with no frames, so that it leaves in a single write. */
    emptyText() {
        return `{"frames":[],"since":${this.since}}`;
    }
}

const NO_FRAMES_TEXT = '{"frames":[],"since":0}';

function pollAsViewer(session, since, now) {
    // 1. The viewer is still there.
    ensureViewerMayContinue(session);
    session.viewerSeenAt = now;
    // 2. Everything up to its cursor has arrived: forget it. A cursor we never issued
    //    acknowledges everything so far.
    const acknowledged = Math.min(since, session.sequence);
    const keep = (frame) => frame.sequence > acknowledged;
    session.viewerMessages.retain(keep);
    session.viewerPictures.retain(keep);
    // 3. Answer the rest in push order, with the newest sequence number as the next cursor.
    const frames = mergeBySequence(session.viewerMessages.frames, session.viewerPictures.frames);
    return new FramesAnswer(frames, session.sequence);
}

function mergeBySequence(a, b) {
    if (b.length === 0) return a.slice();
    if (a.length === 0) return b.slice();
    const merged = [];
    let i = 0;
    let j = 0;
    while (i < a.length || j < b.length) {
        if (j >= b.length || (i < a.length && a[i].sequence < b[j].sequence)) merged.push(a[i++]);
        else merged.push(b[j++]);
    }
    return merged;
}

function pollAsHost(session, now) {
    // 1. Whatever the viewer pushed goes to the host once, in push order.
    session.claimed = true;
    session.hostSeenAt = now;
    const frames = session.hostFrames.takeAll();
    // 2. An ended session tells the host to stop, on every poll until it is freed.
    if (session.ended) {
        frames.push({ kind: 'json', payload: CLOSE_PAYLOAD });
        if (!session.closeCollected) {
            session.closeCollected = true;
            session.freeAt = Math.min(session.freeAt, now + settings.collectedKeepMs);
        }
    }
    return new FramesAnswer(frames, 0);
}

function poll(body, _request, now) {
    const session = authorisedSession(body, 'token');
    const role = readRole(body);
    const since = readCursor(body, 'since');
    return role === 'viewer' ? pollAsViewer(session, since, now) : pollAsHost(session, now);
}

function close(body, _request, now) {
    const session = authorisedSession(body, 'token');
    endSession(session, 'The session has ended', now);
    return OK;
}

// ---------------------------------------------------------------------------------------------
// Bodies.

/** Parses a request body, received as a list of chunks, which must be a JSON object. */
function parseObject(chunks, length) {
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

/**
 * Parses a push body without turning its payload into a string: a picture is most of the body,
 * and decoding and re-encoding it would cost more than everything else the switchboard does.
 * The payload's bytes are cut out of the chunks, the rest is parsed with a stand-in in their
 * place, and the bytes become the payload only if the stand-in ended up as the body's "payload".
 * Anything else (escapes, other spacing, a member split between chunks) is parsed the ordinary
 * way.
 */
function parsePushBody(chunks, length) {
    // 1. Find the compact payload member in the first chunk, where clients put it ahead of the
    //    picture, and the quote that ends its text, in whichever chunk that is.
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
    if (payload.pieces.some((piece) => piece.indexOf(BACKSLASH) !== -1)) return parseObject(chunks, length);

    // 2. Parse the rest with the stand-in in its place. Both cuts fall next to an ASCII quote, so
    //    decoding the two sides apart reads the same text as decoding them joined; the side
    //    after the payload is short, and joined first so that no character is split.
    const after = last + 1 === chunks.length
        ? chunks[last].subarray(end)
        : Buffer.concat([chunks[last].subarray(end), ...chunks.slice(last + 1)]);
    const body = parseText(first.toString('utf8', 0, start) + PAYLOAD_STAND_IN + after.toString('utf8'));
    if (body.payload !== PAYLOAD_STAND_IN) return parseObject(chunks, length);

    // 3. The cut-out bytes are the payload.
    body.payload = payload;
    return body;
}

const ROUTES = new Map([
    ['/v1/register', { handler: register, parse: parseObject, maxBytes: SMALL_BODY_BYTES }],
    ['/v1/heartbeat', { handler: heartbeat, parse: parseObject, maxBytes: SMALL_BODY_BYTES }],
    ['/v1/origin', { handler: origin, parse: parseObject, maxBytes: SMALL_BODY_BYTES }],
    ['/v1/lookup', { handler: lookup, parse: parseObject, maxBytes: SMALL_BODY_BYTES }],
    ['/v1/connect', { handler: connect, parse: parseObject, maxBytes: SMALL_BODY_BYTES }],
    ['/v1/claim', { handler: claim, parse: parseObject, maxBytes: SMALL_BODY_BYTES }],
    ['/v1/push', { handler: push, parse: parsePushBody, maxBytes: settings.maxPushBytes }],
    ['/v1/poll', { handler: poll, parse: parseObject, maxBytes: SMALL_BODY_BYTES }],
    ['/v1/close', { handler: close, parse: parseObject, maxBytes: SMALL_BODY_BYTES }],
]);

// ---------------------------------------------------------------------------------------------
// HTTP.

// Fixed headers of every answer, as the flat name/value list writeHead takes.
const ANSWER_HEADERS = [
    'Content-Type', 'application/json; charset=utf-8',
    'Cache-Control', 'no-store',
    'X-Content-Type-Options', 'nosniff',
];

function answer(response, status, text, extraHeaders = []) {
    if (response.headersSent || response.destroyed) return;
    response.writeHead(status, [...ANSWER_HEADERS, 'Content-Length', Buffer.byteLength(text), ...extraHeaders]);
    response.end(text);
}

// The headers of the answers sent on every exchange, built once rather than per request.
const OK_HEADERS = [...ANSWER_HEADERS, 'Content-Length', Buffer.byteLength(OK_TEXT)];
const NO_FRAMES_HEADERS = [...ANSWER_HEADERS, 'Content-Length', Buffer.byteLength(NO_FRAMES_TEXT)];

/** A 200 answer of fixed text whose headers are prepared; it leaves in a single write. */
function answerPrepared(response, headers, text) {
    if (response.headersSent || response.destroyed) return;
    response.writeHead(200, headers);
    response.end(text);
}

function answerPieces(response, pieces) {
    if (response.headersSent || response.destroyed) return;
    const length = pieces.reduce((sum, piece) => sum + piece.length, 0);
    response.writeHead(200, [...ANSWER_HEADERS, 'Content-Length', length]);
    // Corked so that all pieces leave in one write; end() flushes, and the check keeps the cork
    // balanced on versions where it does not.
    response.cork();
    for (const piece of pieces) response.write(piece);
    response.end();
    if (response.writableCorked > 0) response.uncork();
}

function answerRefusal(response, refusal, extraHeaders = []) {
    answer(response, refusal.status, JSON.stringify({ error: refusal.message }), extraHeaders);
}

/** Refuses without reading the body, and closes the connection so that its rest is never read. */
function refuseAndHangUp(request, response, refusal, extraHeaders = []) {
    response.on('finish', () => request.socket?.destroy());
    answerRefusal(response, refusal, ['Connection', 'close', ...extraHeaders]);
}

/**
 * Reads the whole body, up to maxBytes, and calls `done` with null, its chunks and its length, or
 * with a Refusal when the body is too large. A client that goes away mid-body never gets a call;
 * nothing is left waiting for it.
 */
function readBody(request, maxBytes, done) {
    const declared = request.headers['content-length'];
    if (declared !== undefined && Number(declared) > maxBytes) {
        done(new Refusal(413, 'The request is too large'));
        return;
    }
    const chunks = [];
    let received = 0;
    const onData = (chunk) => {
        received += chunk.length;
        if (received > maxBytes) {
            request.removeListener('data', onData);
            request.removeListener('end', onEnd);
            done(new Refusal(413, 'The request is too large'));
            return;
        }
        chunks.push(chunk);
    };
    const onEnd = () => done(null, chunks, received);
    request.on('data', onData);
    request.on('end', onEnd);
}

function serve(request, response) {
    // 1. The path must be one of ours and the method POST.
    const path = request.url.split('?', 1)[0];
    const route = ROUTES.get(path);
    if (route === undefined) {
        refuseAndHangUp(request, response, new Refusal(404, 'Unknown path'));
        return;
    }
    if (request.method !== 'POST') {
        refuseAndHangUp(request, response, new Refusal(405, 'Only POST is accepted'), ['Allow', 'POST']);
        return;
    }

    // 2. Read the body within its size limit. An oversized one is refused and its connection
    //    closed, so the rest of it is never read.
    readBody(request, route.maxBytes, (refusal, chunks, length) => {
        if (refusal !== null) refuseAndHangUp(request, response, refusal);
        else respond(route, chunks, length, request, response);
    });
}

function respond(route, chunks, length, request, response) {
    // 3. Parse once, then run the path and answer.
    let result;
    try {
        const body = route.parse(chunks, length);
        result = route.handler(body, request, Date.now());
    } catch (failure) {
        if (failure instanceof Refusal) answerRefusal(response, failure);
        else answerRefusal(response, new Refusal(500, 'The switchboard failed to handle the request'));
        return;
    }
    if (result instanceof FramesAnswer) {
        if (result.frames.length > 0) answerPieces(response, result.pieces());
        else if (result.since === 0) answerPrepared(response, NO_FRAMES_HEADERS, NO_FRAMES_TEXT);
        else answer(response, 200, result.emptyText());
    } else if (result === OK) answerPrepared(response, OK_HEADERS, OK_TEXT);
    else answer(response, 200, JSON.stringify(result));
}

function sweepInterval() {
    const shortest = Math.min(settings.onlineMs, settings.viewerIdleMs, settings.hostIdleMs,
        settings.unclaimedMs, settings.collectedKeepMs, settings.endedKeepMs, settings.hostForgetMs);
    return Math.max(10, Math.min(1000, Math.floor(shortest / 4)));
}

function start() {
    const checkEvery = Math.max(10, Math.min(1000, Math.floor(settings.headersTimeoutMs / 2)));
    const server = http.createServer({ connectionsCheckingInterval: checkEvery, keepAlive: true }, (request, response) => {
        try {
            serve(request, response);
        } catch {
            answerRefusal(response, new Refusal(500, 'The switchboard failed to handle the request'));
        }
    });
    server.headersTimeout = Math.min(settings.headersTimeoutMs, settings.requestTimeoutMs);
    server.requestTimeout = settings.requestTimeoutMs;
    server.keepAliveTimeout = settings.keepAliveTimeoutMs;
    server.maxConnections = settings.maxConnections;
    let listening = false;
    server.on('error', (error) => {
        // After start-up the only errors are failed accepts (say, out of file descriptors under a
        // flood of connections): passing, and no reason to stop serving everyone else.
        if (listening) return;
        process.stderr.write(`switchboard cannot listen on ${LISTEN_ADDRESS}:${settings.port}: ${error.code ?? error.message}\n`);
        process.exit(1);
    });
    setInterval(() => sweep(Date.now()), sweepInterval()).unref();
    server.listen(settings.port, LISTEN_ADDRESS, () => {
        listening = true;
        process.stdout.write(`listening on ${LISTEN_ADDRESS}:${server.address().port}\n`);
    });
}

start();
