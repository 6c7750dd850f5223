// Reading request bodies within their limits and writing answers on the HTTP connection.

import { Refusal, internalFailure } from './refusal.mjs';
import { FramesAnswer, NO_FRAMES_TEXT, OK, OK_TEXT, refusalText } from './wire.mjs';

// Fixed headers of every answer, as the flat name/value list writeHead takes.
const ANSWER_HEADERS = [
    'Content-Type', 'application/json; charset=utf-8',
    'Cache-Control', 'no-store',
    'X-Content-Type-Options', 'nosniff',
];

// The headers of the answers sent on every exchange, built once rather than per request.
const OK_HEADERS = [...ANSWER_HEADERS, 'Content-Length', Buffer.byteLength(OK_TEXT)];
const NO_FRAMES_HEADERS = [...ANSWER_HEADERS, 'Content-Length', Buffer.byteLength(NO_FRAMES_TEXT)];

function answer(response, status, text, extraHeaders = []) {
    if (response.headersSent || response.destroyed) return;
    response.writeHead(status, [...ANSWER_HEADERS, 'Content-Length', Buffer.byteLength(text), ...extraHeaders]);
    response.end(text);
}

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

/** Answers what a path returned: a poll's frames, plain success or any other object as JSON. */
export function answerResult(response, result) {
    if (result instanceof FramesAnswer) {
        if (result.frames.length > 0) answerPieces(response, result.pieces());
        else if (result.since === 0 && result.peerQuietMs === null) answerPrepared(response, NO_FRAMES_HEADERS, NO_FRAMES_TEXT);
        else answer(response, 200, result.emptyText());
    } else if (result === OK) answerPrepared(response, OK_HEADERS, OK_TEXT);
    else answer(response, 200, JSON.stringify(result));
}

export function answerRefusal(response, refusal, extraHeaders = []) {
    answer(response, refusal.status, refusalText(refusal.message), [...extraHeaders, ...refusal.headers]);
}

/**
 * Refuses without reading the body, and closes the connection so that its rest is never read:
 * reading stops at once, so a sender that keeps writing fills its own buffers, not ours.
 */
export function refuseAndHangUp(request, response, refusal, extraHeaders = []) {
    request.socket?.pause();
    response.on('finish', () => request.socket?.destroy());
    answerRefusal(response, refusal, ['Connection', 'close', ...extraHeaders]);
}

// How much of a body is read before anything is decided about it: a push's head is looked at
// once, when this much of it has come (or the whole body, if shorter).
export const HEAD_BYTES = 4096;
// What holding one buffer costs node besides its bytes, its objects and allocation: a body
// trickled a byte at a time, each byte a buffer of its own, cost 700 to 800 bytes per byte.
export const BUFFER_OVERHEAD_BYTES = 1024;
// The most a body costs before its head has been looked at: its head, in one buffer. Heads are
// charged to a budget with room for one on every connection (each reads one body at a time), so
// a heartbeat or a lookup is never refused for want of room.
export const HEAD_COST_BYTES = HEAD_BYTES + BUFFER_OVERHEAD_BYTES;
// Pieces smaller than this are copied into blocks of this size (or of what the body still has to
// come, if less), so that a body trickled in tiny pieces costs its bytes, not a buffer each.
const BLOCK_BYTES = 32 * 1024;

/**
 * The most a body of `bytes` can cost while it is read, however it is cut into pieces: its bytes,
 * a buffer's overhead for at most two pieces per block's worth, and one block not yet full.
 */
export function roomForBody(bytes) {
    return bytes + (2 * Math.ceil(bytes / BLOCK_BYTES) + 3) * BUFFER_OVERHEAD_BYTES + BLOCK_BYTES;
}

const tooLarge = () => new Refusal(413, 'The request is too large');
const tooSlow = () => new Refusal(408, 'The body arrived too slowly');
const busy = () => new Refusal(503, 'The switchboard is busy; try again shortly', ['Retry-After', '1']);

/**
 * A body's bytes as they are held, and what holding them costs: large pieces kept as they came,
 * small ones copied into blocks.
 */
class BodyBytes {
    constructor(declared) {
        this.declared = declared;
        this.pieces = [];
        this.block = null;
        this.filled = 0;
        this.length = 0;
        this.heldCost = 0;
    }

    /** What the pieces cost, and the block being filled. */
    get cost() {
        return this.heldCost + (this.block === null ? 0 : this.block.length + BUFFER_OVERHEAD_BYTES);
    }

    add(chunk) {
        // A piece that is a whole small body, the common case, is kept as it came.
        if (chunk.length >= BLOCK_BYTES || (this.length === 0 && chunk.length === this.declared)) {
            this.#seal();
            this.#hold(chunk);
        } else {
            for (let at = 0; at < chunk.length;) {
                if (this.block === null || this.filled === this.block.length) this.#open(this.length + at);
                const copied = chunk.copy(this.block, this.filled, at);
                this.filled += copied;
                at += copied;
            }
        }
        this.length += chunk.length;
    }

    #hold(piece) {
        this.pieces.push(piece);
        this.heldCost += piece.length + BUFFER_OVERHEAD_BYTES;
    }

    /** A new block from `received` on: the rest of the head, else a block, within what is declared. */
    #open(received) {
        this.#seal();
        let size = received < HEAD_BYTES ? HEAD_BYTES - received : BLOCK_BYTES;
        if (this.declared !== undefined) size = Math.min(size, this.declared - received);
        this.block = Buffer.allocUnsafeSlow(size);
        this.filled = 0;
    }

    /** The block being filled joins the pieces; one left partly empty is copied to its size first. */
    #seal() {
        if (this.block === null) return;
        const block = this.block;
        this.block = null;
        if (this.filled === block.length) {
            this.#hold(block);
            return;
        }
        const exact = Buffer.allocUnsafeSlow(this.filled);
        block.copy(exact, 0, 0, this.filled);
        this.#hold(exact);
    }

    /** Every byte so far, as a list of buffers. */
    chunks() {
        this.#seal();
        return this.pieces;
    }

    /** The first HEAD_BYTES (or all there is), in one buffer. */
    head() {
        const pieces = this.block === null ? this.pieces : [...this.pieces, this.block.subarray(0, this.filled)];
        const length = Math.min(this.length, HEAD_BYTES);
        return pieces.length === 1 ? pieces[0].subarray(0, length) : Buffer.concat(pieces, this.length).subarray(0, length);
    }
}

/**
 * Reads a body within its limits, what it costs held against budgets while it comes.
 *
 * `plan` = { maxBytes, heads, account(), screen?, watch? }: maxBytes bounds any body of the path;
 * heads is the budget its first HEAD_COST_BYTES are charged to, and the account that account()
 * returns, asked once its head is in, pays for the rest. A path with a `screen` has it look at
 * the head first: screen(head) returns another account to pay for the rest (a push that showed
 * its session), or undefined, or throws a Refusal.
 * watch(tooSlow) starts the minimum-rate deadline of the body and returns { progress(bytes),
 * end() }; it calls tooSlow() when the body falls behind.
 *
 * Calls done(refusal) or done(null, chunks, length) exactly once, unless the client goes away
 * first; the bytes are given back once `done` returns, so `done` must have finished with them (or
 * stored them elsewhere) by then.
 */
export function readBody(request, plan, done) {
    const declaredText = request.headers['content-length'];
    const declared = declaredText === undefined ? undefined : Number(declaredText);
    if (declared > plan.maxBytes) {
        done(tooLarge());
        return;
    }
    const bytes = new BodyBytes(declared);
    let account = null;
    let headCharged = 0;
    let charged = 0;
    let finished = false;
    const watch = plan.watch?.(() => finish(tooSlow()));

    const stop = () => {
        finished = true;
        watch?.end();
        request.removeListener('data', onData);
        request.removeListener('end', onEnd);
        request.removeListener('close', onClose);
    };
    const giveBack = () => {
        plan.heads.give(headCharged);
        account?.give(charged);
        headCharged = 0;
        charged = 0;
    };
    const finish = (refusal) => {
        if (finished) return;
        stop();
        try {
            if (refusal !== null) done(refusal);
            else done(null, bytes.chunks(), bytes.length);
        } finally {
            giveBack();
        }
    };
    /** Looks at the head once, and settles who pays for the rest. Returns a refusal or null. */
    const decide = () => {
        let screened;
        try {
            screened = plan.screen?.(bytes.head());
            account = screened ?? plan.account();
        } catch (failure) {
            return failure instanceof Refusal ? failure : internalFailure();
        }
        return null;
    };
    /** Charges what the body has cost since last time; returns a refusal or null. */
    const charge = () => {
        const toHeads = Math.min(bytes.cost, HEAD_COST_BYTES) - headCharged;
        if (toHeads > 0) {
            if (!plan.heads.fits(toHeads)) return busy();
            plan.heads.take(toHeads);
            headCharged += toHeads;
        }
        // A block copied to its size when sealed gives back what it did not use.
        const toAccount = Math.max(0, bytes.cost - HEAD_COST_BYTES) - charged;
        if (toAccount > 0 && !account.fits(toAccount)) return busy();
        if (toAccount !== 0) {
            account.take(toAccount);
            charged += toAccount;
        }
        return null;
    };
    const onData = (chunk) => {
        bytes.add(chunk);
        if (bytes.length > plan.maxBytes) {
            finish(tooLarge());
            return;
        }
        watch?.progress(bytes.length);
        const refusal = (account === null && (bytes.length >= HEAD_BYTES || bytes.cost > HEAD_COST_BYTES) ? decide() : null)
            ?? charge();
        if (refusal !== null) finish(refusal);
    };
    const onEnd = () => finish((account === null ? decide() : null) ?? charge());
    // A client that goes away mid-body gets no call; its bytes are given back all the same.
    const onClose = () => {
        if (finished) return;
        stop();
        giveBack();
    };
    request.on('data', onData);
    request.on('end', onEnd);
    request.on('close', onClose);
}
