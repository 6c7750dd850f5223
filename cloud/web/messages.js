// Session messages as the page reads and writes them. Every frame is {"kind": "json" | "jpeg" |
// "tiles", "payload": standard base64}; a json frame holds one object whose "type" names it.
// Members, types and kinds this page does not know are skipped, as every peer does.

export const KIND = Object.freeze({ json: 'json', jpeg: 'jpeg', tiles: 'tiles' });

// Additions a host may name in its hello's "features", that this page can use:
// - "modifiers": key and input messages may carry "modifiers" (held "shift", "control", "alt",
//   "meta"); without it a shortcut would arrive as its bare letter, so none is sent;
// - "keys": key messages may name the further keys (home, end, pageup, pagedown, insert, f1-f12);
// - "hover": an input message of kind "move" with no button held moves the host's pointer; a host
//   without it may take any move for a drag, so the page sends moves only while dragging.
export const FEATURE = Object.freeze({ modifiers: 'modifiers', keys: 'keys', hover: 'hover' });
// Additions this page itself offers a host, named in a "caps" message answering the hello:
// - "tiles": after a whole picture the host may send only its changed areas, as "tiles" frames;
// - "cursor": the host may send its pointer's shape and position as "cursor" messages, drawn
//   over the picture.
export const OFFER = Object.freeze({ tiles: 'tiles', cursor: 'cursor' });
export const OFFERED_FEATURES = Object.freeze([OFFER.cursor, OFFER.tiles]);
// A pointer shape wider or taller than this is not drawn.
export const MAX_CURSOR_SIDE = 256;

export const MODIFIER_ORDER = Object.freeze(['shift', 'control', 'alt', 'meta']);
// One text message carries at most this many characters; longer text goes out in pieces.
export const MAX_TEXT_CHARACTERS = 1024;

/**
 * The bytes of standard base64 with padding, or null for anything else: line breaks, spaces, the
 * URL alphabet, missing or misplaced padding. The browser's decoder skips whitespace, so a text
 * holding any decodes to fewer bytes than its length promises and is refused by that count,
 * without a separate pass over a picture's hundreds of kilobytes.
 */
export function decodeBase64(text) {
    if (typeof text !== 'string' || text.length % 4 !== 0) return null;
    const padding = text.endsWith('==') ? 2 : text.endsWith('=') ? 1 : 0;
    const expected = (text.length / 4) * 3 - padding;
    let bytes;
    try {
        bytes = typeof Uint8Array.fromBase64 === 'function' ? Uint8Array.fromBase64(text) : bytesOfAtob(text);
    } catch {
        return null;
    }
    return bytes.length === expected ? bytes : null;
}

function bytesOfAtob(text) {
    const binary = atob(text);
    const bytes = new Uint8Array(binary.length);
    for (let i = 0; i < binary.length; i += 1) bytes[i] = binary.charCodeAt(i);
    return bytes;
}

export function encodeBase64(bytes) {
    if (typeof bytes.toBase64 === 'function') return bytes.toBase64();
    let binary = '';
    for (let i = 0; i < bytes.length; i += 0x8000) binary += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
    return btoa(binary);
}

const isObject = (value) => value !== null && typeof value === 'object' && !Array.isArray(value);

/**
 * A poll answer read: { since, frames }. `since` is the new cursor, or null when the answer names
 * none (a fraction is cut toward zero). `frames` is empty unless "frames" is an array of objects
 * only: one element of another type voids the whole array.
 */
export function readPollAnswer(answer) {
    let since = null;
    if (typeof answer.since === 'number' && Number.isFinite(answer.since)) since = Math.trunc(answer.since);
    const frames = answer.frames;
    if (!Array.isArray(frames) || !frames.every(isObject)) return { since, frames: [] };
    return {
        since,
        frames: frames.map((frame) => ({
            kind: typeof frame.kind === 'string' ? frame.kind : '',
            payload: typeof frame.payload === 'string' ? frame.payload : '',
        })),
    };
}

// A tiles payload: the picture's width and height (u16 each), then per tile its x and y (u16 each)
// and the length (u32) of the JPEG file that follows; every number big-endian, at least one tile.
const TILES_HEAD_BYTES = 4;
const TILE_HEAD_BYTES = 8;

/**
 * A tiles payload's bytes read: { width, height, tiles: [{ x, y, jpeg }] }, each jpeg a view of
 * `bytes`; null when they are no such payload (cut short, no tile, bytes left over).
 */
export function readTiles(bytes) {
    if (bytes.length < TILES_HEAD_BYTES + TILE_HEAD_BYTES) return null;
    const data = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    const tiles = [];
    let at = TILES_HEAD_BYTES;
    while (at < bytes.length) {
        if (bytes.length - at < TILE_HEAD_BYTES) return null;
        const length = data.getUint32(at + 4);
        const start = at + TILE_HEAD_BYTES;
        if (length === 0 || length > bytes.length - start) return null;
        tiles.push({ x: data.getUint16(at), y: data.getUint16(at + 2), jpeg: bytes.subarray(start, start + length) });
        at = start + length;
    }
    return { width: data.getUint16(0), height: data.getUint16(2), tiles };
}

/** A json frame's object, or null when its payload is not base64 of a JSON object. */
export const decodeJsonPayload = (payload) => jsonObjectOf(decodeBase64(payload));

/** The JSON object in a json frame's bytes (UTF-8), or null when they hold none. */
export function jsonObjectOf(bytes) {
    if (bytes === null) return null;
    let value;
    try {
        value = JSON.parse(new TextDecoder('utf-8', { fatal: true }).decode(bytes));
    } catch {
        return null;
    }
    return isObject(value) ? value : null;
}

/**
 * The hello in a host's json message: any object with numeric "width" and "height" counts,
 * whatever its "type", as viewers have always read it. Its "features" are the text elements of
 * that array. Null for any other message.
 */
export function readHello(message) {
    if (typeof message.width !== 'number' || typeof message.height !== 'number') return null;
    const features = Array.isArray(message.features) ? message.features.filter((name) => typeof name === 'string') : [];
    return { width: message.width, height: message.height, features: new Set(features) };
}

const PNG_SIGNATURE = [0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a];

/** The width and height a PNG's header states, or null for bytes that are no PNG. */
export function pngSize(bytes) {
    // The signature, then the IHDR chunk: length (4), "IHDR" (4), width (4), height (4).
    if (bytes.length < 24 || PNG_SIGNATURE.some((byte, i) => bytes[i] !== byte)) return null;
    if (String.fromCharCode(...bytes.subarray(12, 16)) !== 'IHDR') return null;
    const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    return { width: view.getUint32(16), height: view.getUint32(20) };
}

/**
 * The host's pointer in a "cursor" message: where its tip is, as fractions of the host's display
 * (x, y), and, when the message carries one, its shape (the PNG's `bytes`, in the display's
 * pixels, with the tip at hotX, hotY). Null for any other message, for one without numeric x and y, and
 * for one whose shape is no PNG or larger than MAX_CURSOR_SIDE a side.
 */
export function readCursor(message) {
    if (message.type !== 'cursor' || typeof message.x !== 'number' || typeof message.y !== 'number') return null;
    const cursor = { x: message.x, y: message.y, shape: null };
    if (typeof message.png !== 'string') return cursor;
    const bytes = decodeBase64(message.png);
    const size = bytes === null ? null : pngSize(bytes);
    if (size === null || size.width === 0 || size.height === 0 || size.width > MAX_CURSOR_SIDE || size.height > MAX_CURSOR_SIDE) return null;
    const hot = (value) => (Number.isInteger(value) ? value : 0);
    cursor.shape = { bytes, width: size.width, height: size.height, hotX: hot(message.hotX), hotY: hot(message.hotY) };
    return cursor;
}

/** The bytes of a message's compact JSON text, as base64: the payload of its json frame. */
export function encodeMessage(message) {
    return encodeBase64(new TextEncoder().encode(JSON.stringify(message)));
}

const clampFraction = (value) => (Number.isFinite(value) ? Math.min(1, Math.max(0, value)) : 0);
// The host reads a wheel's deltaY as a signed 32-bit number.
const INT32_MAX = 2 ** 31 - 1;
const clampDelta = (value) => (Number.isFinite(value) ? Math.min(INT32_MAX, Math.max(-INT32_MAX, value)) : 0);

/**
 * A pointer event, always with all eight members: kind "move", "down", "up" or "wheel"; x and y as
 * fractions of the picture, clamped to 0..1; button 1 for the right button, 0 for the left;
 * clickCount 2 for the second press of a double click; deltaY in pixels, positive to scroll up.
 * `modifiers` is added only when any are held.
 */
export function inputMessage(kind, x, y, { button = 0, clickCount = 1, deltaX = 0, deltaY = 0, modifiers = [] } = {}) {
    const message = {
        type: 'input', kind, x: clampFraction(x), y: clampFraction(y), button, clickCount: Math.max(1, Math.trunc(clickCount)),
        deltaX: clampDelta(deltaX), deltaY: clampDelta(deltaY),
    };
    if (modifiers.length > 0) message.modifiers = modifiers;
    return message;
}

/** A key press or release: a special key by its code name, else the character in `key`. */
export function keyMessage(codeName, key, down, modifiers = []) {
    const message = { type: 'key', codeName, key, down };
    if (modifiers.length > 0) message.modifiers = modifiers;
    return message;
}

/** Text to type, carried in "key", in pieces of at most MAX_TEXT_CHARACTERS characters. */
export function textMessages(text) {
    const codePoints = Array.from(text);
    const messages = [];
    for (let i = 0; i < codePoints.length; i += MAX_TEXT_CHARACTERS) {
        messages.push({ type: 'text', key: codePoints.slice(i, i + MAX_TEXT_CHARACTERS).join('') });
    }
    return messages;
}

export const capsMessage = (features) => ({ type: 'caps', features: [...features].sort() });
