// Pictures and changed areas from a poll answer, decoded within bounds. A JPEG's header is a few
// bytes that may claim any size up to 65535 x 65535: decoded, a 1 MB file can cost a gigabyte of
// memory and seconds of work. So every JPEG's size is read from its header first and the file is
// handed to the browser's decoder only when that size is one the host can have sent, and the
// pixels one answer may decode in all are bounded, pictures and tiles together, so that a storm
// of small tiles frames costs no more than a picture or two.

import { KIND, decodeBase64, jsonObjectOf, readCursor, readHello, readPollAnswer, readTiles } from './messages.js';
import { parseObject } from './switchboard.js';

// The largest displays in use (8K, either way round), and nothing beyond.
export const MAX_SIDE = 8192;
export const MAX_PIXELS = 7680 * 4320;
// A hello gives the display's size in points; hosts send up to three pixels per point.
export const PIXELS_PER_POINT = 3;
// One answer decodes at most this many pictures' worth of the largest picture the hello allows:
// a whole picture and a whole picture of changed areas after it.
export const PICTURES_PER_ANSWER = 2;

// Start-of-frame markers, the segments that state the picture's size: every SOFn but DHT (C4),
// JPG (C8) and DAC (CC), which share their range.
const START_OF_FRAME = new Set([0xC0, 0xC1, 0xC2, 0xC3, 0xC5, 0xC6, 0xC7, 0xC9, 0xCA, 0xCB, 0xCD, 0xCE, 0xCF]);
const START_OF_SCAN = 0xDA;
const END_OF_IMAGE = 0xD9;

/**
 * The { width, height } a JPEG's bytes state in their start-of-frame segment, or null when they
 * state none before the image data begins, or are no JPEG at all.
 */
export function jpegSize(bytes) {
    if (bytes.length < 4 || bytes[0] !== 0xFF || bytes[1] !== 0xD8) return null;
    let at = 2;
    while (at + 4 <= bytes.length) {
        if (bytes[at] !== 0xFF) return null;
        const marker = bytes[at + 1];
        // Fill bytes before a marker, and markers that carry no segment.
        if (marker === 0xFF) {
            at += 1;
            continue;
        }
        if (marker === 0x01 || (marker >= 0xD0 && marker <= 0xD8)) {
            at += 2;
            continue;
        }
        if (marker === START_OF_SCAN || marker === END_OF_IMAGE) return null;
        const length = (bytes[at + 2] << 8) | bytes[at + 3];
        if (length < 2) return null;
        if (START_OF_FRAME.has(marker)) {
            if (length < 7 || at + 9 > bytes.length) return null;
            return { height: (bytes[at + 5] << 8) | bytes[at + 6], width: (bytes[at + 7] << 8) | bytes[at + 8] };
        }
        at += 2 + length;
    }
    return null;
}

/**
 * The largest picture a host may send: before its hello, the largest display; after it, three
 * pixels per point of the size it named (a size that is not positive leaves the bound as before).
 */
export function pictureBound(hello = null) {
    const points = (value) => typeof value === 'number' && Number.isFinite(value) && value > 0;
    if (hello === null || !points(hello.width) || !points(hello.height)) return { width: MAX_SIDE, height: MAX_SIDE };
    const side = (value) => Math.min(Math.ceil(value * PIXELS_PER_POINT), MAX_SIDE);
    return { width: side(hello.width), height: side(hello.height) };
}

/** Whether a picture of `size` may be decoded within `bound`. */
export function fitsBound(size, bound) {
    if (size === null) return false;
    const { width, height } = size;
    return width > 0 && height > 0 && width <= MAX_SIDE && height <= MAX_SIDE && width * height <= MAX_PIXELS
        && width <= bound.width && height <= bound.height;
}

/** The pixels one answer may decode in all, for pictures within `bound`. */
export function answerPixelBudget(bound) {
    return PICTURES_PER_ANSWER * Math.min(bound.width * bound.height, MAX_PIXELS);
}

async function decodeJpeg(bytes) {
    try {
        return await createImageBitmap(new Blob([bytes], { type: 'image/jpeg' }));
    } catch {
        return null;
    }
}

/** What one answer may still decode: pixels are taken before a JPEG is decoded, never given back. */
class PixelBudget {
    constructor(pixels) {
        this.left = pixels;
    }

    take(pixels) {
        if (pixels > this.left) return false;
        this.left -= pixels;
        return true;
    }
}

// A frame's bytes: those of an opened sealed frame as they are, else its base64 payload's.
const frameBytes = (frame) => frame.bytes ?? decodeBase64(frame.payload);

/**
 * A whole picture's payload decoded, or null: not base64 of a JPEG, a size beyond `bound` or
 * beyond what `budget` has left (then nothing is decoded), or a picture that does not decode.
 */
async function decodePicture(frame, bound, budget) {
    const bytes = frameBytes(frame);
    const size = bytes === null ? null : jpegSize(bytes);
    if (!fitsBound(size, bound) || !budget.take(size.width * size.height)) return null;
    const bitmap = await decodeJpeg(bytes);
    if (bitmap !== null && (bitmap.width !== size.width || bitmap.height !== size.height)) {
        bitmap.close();
        return null;
    }
    return bitmap;
}

/**
 * A tiles frame's payload, planned for a picture of `size`: its tiles as [{ x, y, jpeg }] once
 * every header says its tile fits inside the picture and together they cover no more than it (the
 * areas of one frame do not overlap); null otherwise. Nothing is decoded here.
 */
function planTiles(received, size) {
    const bytes = frameBytes(received);
    const frame = bytes === null ? null : readTiles(bytes);
    if (frame === null || frame.width !== size.width || frame.height !== size.height) return null;
    let pixels = 0;
    for (const tile of frame.tiles) {
        const tileSize = jpegSize(tile.jpeg);
        const room = { width: size.width - tile.x, height: size.height - tile.y };
        if (!fitsBound(tileSize, room)) return null;
        tile.size = tileSize;
        pixels += tileSize.width * tileSize.height;
    }
    return pixels <= size.width * size.height ? { tiles: frame.tiles, pixels } : null;
}

/**
 * A planned frame's tiles decoded, as [{ x, y, bitmap }]; null, and nothing kept, when any tile
 * does not decode to the size its header stated: half a change would tear the picture.
 */
async function decodeTiles({ tiles }) {
    const bitmaps = await Promise.all(tiles.map(({ jpeg }) => decodeJpeg(jpeg)));
    const decoded = (bitmap, { size }) => bitmap !== null && bitmap.width === size.width && bitmap.height === size.height;
    if (!bitmaps.every((bitmap, i) => decoded(bitmap, tiles[i]))) {
        for (const bitmap of bitmaps) bitmap?.close();
        return null;
    }
    return tiles.map(({ x, y }, i) => ({ x, y, bitmap: bitmaps[i] }));
}

/**
 * Applies one poll answer, as text or as an encrypted session opened it ({ since, frames } with
 * each frame's { kind, bytes }), to `view`: a hello goes to `onHello`, the host's pointer
 * (readCursor) to `onCursor`; of the pictures only the
 * newest that decodes is drawn (an older one is decoded only when the newer fails), changed by
 * the tiles frames after it, in order; tiles frames before it changed pictures it replaces. With
 * no picture that decodes, the tiles change the picture shown. All of it reaches the canvas at
 * once. Nothing is drawn once `isCurrent()` says the session is over.
 *
 * `bound` is the largest picture the session's last hello allows (pictureBound); a hello in the
 * answer bounds the frames after it. Once the answer's pixel budget is spent, no further tiles
 * frame is decoded: a later one would change a picture the skipped one had not. Resolves with the
 * answer's cursor, or null when it names none.
 */
export async function applyPollAnswer(answer, { view, onHello = () => {}, onCursor = () => {}, isCurrent = () => true, bound = pictureBound() }) {
    const { since, frames } = typeof answer === 'string' ? readPollAnswer(parseObject(answer)) : answer;
    const pictures = [];
    const tileFrames = [];
    let frameBound = bound;
    // Pictures are bounded by the hello before them; the answer's budget by the largest bound.
    let pixels = answerPixelBudget(bound);
    frames.forEach((frame, index) => {
        if (frame.kind === KIND.jpeg) {
            pictures.push({ index, frame, bound: frameBound });
        } else if (frame.kind === KIND.tiles) {
            tileFrames.push({ index, frame });
        } else if (frame.kind === KIND.json) {
            const message = jsonObjectOf(frameBytes(frame));
            const cursor = message === null ? null : readCursor(message);
            if (cursor !== null) {
                onCursor(cursor);
                return;
            }
            const hello = message === null ? null : readHello(message);
            if (hello !== null) {
                onHello(hello);
                frameBound = pictureBound(hello);
                pixels = Math.max(pixels, answerPixelBudget(frameBound));
            }
        }
    });
    const budget = new PixelBudget(pixels);
    let picture = null;
    let pictureIndex = -1;
    for (let i = pictures.length - 1; i >= 0; i -= 1) {
        const bitmap = await decodePicture(pictures[i].frame, pictures[i].bound, budget);
        if (!isCurrent()) {
            bitmap?.close();
            return since;
        }
        if (bitmap !== null) {
            picture = bitmap;
            pictureIndex = pictures[i].index;
            break;
        }
    }
    const size = picture ?? view.pictureSize;
    const planned = [];
    if (size !== null) {
        for (const { index, frame } of tileFrames) {
            if (index < pictureIndex) continue;
            const plan = planTiles(frame, { width: size.width, height: size.height });
            if (plan === null) continue;
            if (!budget.take(plan.pixels)) break;
            planned.push(plan);
        }
    }
    const decoded = await Promise.all(planned.map(decodeTiles));
    const changes = decoded.filter((tiles) => tiles !== null);
    if (!isCurrent()) {
        picture?.close();
        for (const tiles of changes) for (const { bitmap } of tiles) bitmap.close();
        return since;
    }
    if (picture !== null || changes.length > 0) view.present(picture, changes);
    return since;
}
