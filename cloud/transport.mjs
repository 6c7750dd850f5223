// Reading request bodies within their limits and writing answers on the HTTP connection.

import { Refusal } from './refusal.mjs';
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
    answer(response, refusal.status, refusalText(refusal.message), extraHeaders);
}

/** Refuses without reading the body, and closes the connection so that its rest is never read. */
export function refuseAndHangUp(request, response, refusal, extraHeaders = []) {
    response.on('finish', () => request.socket?.destroy());
    answerRefusal(response, refusal, ['Connection', 'close', ...extraHeaders]);
}

/**
 * Reads the whole body, up to maxBytes, and calls `done` with null, its chunks and its length, or
 * with a Refusal when the body is too large. A client that goes away mid-body never gets a call;
 * nothing is left waiting for it.
 */
export function readBody(request, maxBytes, done) {
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
