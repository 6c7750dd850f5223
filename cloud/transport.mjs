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
        else if (result.since === 0) answerPrepared(response, NO_FRAMES_HEADERS, NO_FRAMES_TEXT);
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

// Every body may hold this many bytes without being charged: the connection limit bounds them
// all together, and so a heartbeat or a lookup is never refused for want of room. It is also how
// much of a body's head is looked at before the rest is read.
export const HEAD_BYTES = 4096;

const tooLarge = (message = 'The request is too large') => new Refusal(413, message);
const busy = () => new Refusal(503, 'The switchboard is busy; try again shortly');

/**
 * Reads a body within its limits, its bytes held against an in-flight account while they wait.
 *
 * `plan` = { maxBytes, account, screen?, unscreenedBytes }: maxBytes bounds any body of the path;
 * account is charged for the bytes past the head. A path with a `screen` reads first only the
 * head: screen(head, whole) returns undefined while it needs more of it, or its decision
 * { maxBytes, account?, ... } for the rest (a smaller limit, another account), or throws a
 * Refusal; `whole` says the head is all it gets. Until it has decided, the body is held to
 * unscreenedBytes.
 *
 * Calls done(refusal) or done(null, chunks, length, decision) exactly once, unless the client goes
 * away first; the bytes are given back once `done` returns, so `done` must have finished with
 * them (or stored them elsewhere) by then.
 */
export function readBody(request, plan, done) {
    const declaredText = request.headers['content-length'];
    const declared = declaredText === undefined ? undefined : Number(declaredText);
    if (declared > plan.maxBytes) {
        done(tooLarge());
        return;
    }
    let account = plan.account;
    let limit = plan.screen === undefined ? plan.maxBytes : plan.unscreenedBytes;
    let decision = plan.screen === undefined ? {} : null;
    const chunks = [];
    let received = 0;
    let charged = 0;
    let finished = false;

    const stop = () => {
        finished = true;
        request.removeListener('data', onData);
        request.removeListener('end', onEnd);
        request.removeListener('close', onClose);
    };
    const finish = (refusal) => {
        if (finished) return;
        stop();
        try {
            if (refusal !== null) done(refusal);
            else done(null, chunks, received, decision);
        } finally {
            account.give(charged);
            charged = 0;
        }
    };
    const decide = () => {
        const head = chunks.length === 1 ? chunks[0] : Buffer.concat(chunks, received);
        let decided;
        try {
            decided = plan.screen(head, received >= HEAD_BYTES);
        } catch (failure) {
            return failure instanceof Refusal ? failure : internalFailure();
        }
        if (decided === undefined) return null;
        decision = decided;
        limit = decided.maxBytes;
        if (decided.account !== undefined && decided.account !== account) {
            // What the head already holds moves to the account that pays for the rest.
            account.give(charged);
            account = decided.account;
            if (!account.fits(charged)) {
                charged = 0;
                return busy();
            }
            account.take(charged);
        }
        return declared > limit ? tooLarge(decided.tooLargeMessage) : null;
    };
    const onData = (chunk) => {
        const wasBeyondHead = Math.max(0, received - HEAD_BYTES);
        received += chunk.length;
        chunks.push(chunk);
        if (received > limit) {
            finish(tooLarge(decision?.tooLargeMessage));
            return;
        }
        const toCharge = Math.max(0, received - HEAD_BYTES) - wasBeyondHead;
        if (toCharge > 0) {
            if (!account.fits(toCharge)) {
                finish(busy());
                return;
            }
            account.take(toCharge);
            charged += toCharge;
        }
        if (decision === null) {
            const refusal = decide();
            if (refusal !== null) {
                finish(refusal);
                return;
            }
        }
        if (received > limit) finish(tooLarge(decision?.tooLargeMessage));
    };
    const onEnd = () => finish(null);
    // A client that goes away mid-body gets no call; its bytes are given back all the same.
    const onClose = () => {
        if (finished) return;
        stop();
        account.give(charged);
        charged = 0;
    };
    request.on('data', onData);
    request.on('end', onEnd);
    request.on('close', onClose);
}
