// The switchboard against the protocol vectors the C++ and the page's tests read too
// (tests/protocol/vectors.json): every request body parses to its meaning, a push's payload cut
// out unchanged wherever the network splits the body, and the requests replayed in order on a
// real switchboard get exactly their answers, every payload relayed as it was pushed, a held poll
// answered as the story's clock moves.

import assert from 'node:assert/strict';
import { describe, it } from 'node:test';
import { CLOSE_FRAME, Payload, parseObject, parsePushBody } from '../wire.mjs';
import { protocolVectors, startClockedSwitchboard } from './harness.mjs';

const VECTORS = protocolVectors();

/** A body as the switchboard parses it off the wire in `pieces`, its payload as text. */
function parsed(path, pieces) {
    const chunks = pieces.map((piece) => Buffer.from(piece, 'utf8'));
    const length = chunks.reduce((sum, chunk) => sum + chunk.length, 0);
    const body = path === 'push' ? parsePushBody(chunks, length) : parseObject(chunks, length);
    if (body.payload instanceof Payload) body.payload = Buffer.concat(body.payload.pieces).toString('latin1');
    return body;
}

/** The body cut at `at` (a fraction of its length), as two chunks off one socket. */
const cut = (text, at) => {
    const bytes = Buffer.from(text, 'utf8');
    const where = Math.floor(bytes.length * at);
    return [bytes.subarray(0, where), bytes.subarray(where)];
};

describe('Switchboard against the protocol vectors', () => {
    it('Vectors.EveryRequestBody_ParsesToItsMeaning', () => {
        for (const request of VECTORS.requests) {
            assert.deepEqual(parsed(request.path, [request.body]), request.meaning, request.name);
            // A push's payload is cut out of the chunks it came in, wherever they split it.
            if (request.path !== 'push') continue;
            for (const at of [0.1, 0.5, 0.9]) assert.deepEqual(parsed(request.path, cut(request.body, at)), request.meaning, `${request.name}, cut at ${at}`);
        }
    });

    it('Vectors.RequestsReplayedInOrder_GetExactlyTheirAnswers', async () => {
        const board = await startClockedSwitchboard({ hostKey: VECTORS.hostKey });
        try {
            // The story's session IDs, tokens and device tokens stand for the ones this
            // switchboard's connects give; a device token sent back must come back the same.
            const real = new Map();
            const ofStory = (text) => {
                for (const [example, issued] of real) text = text.split(example).join(issued);
                return text;
            };
            for (const request of VECTORS.requests) {
                const answering = board.request(`/v1/${request.path}`, ofStory(request.body), { raw: true, headers: request.headers });
                // A poll the switchboard holds: the story's clock moves on while it waits.
                if (request.heldForMs !== undefined) {
                    await board.untilHeld(1);
                    board.advance(request.heldForMs);
                }
                const answer = await answering;
                if (request.path === 'connect' && answer.status === 200) {
                    for (const member of ['sessionId', 'sessionToken', 'deviceToken']) {
                        const example = request.answer.meaning[member];
                        if (typeof example === 'string' && !real.has(example)) real.set(example, answer.body[member]);
                    }
                }
                assert.equal(answer.status, request.answer.status, `${request.name}: ${answer.text}`);
                assert.equal(answer.text, ofStory(request.answer.body), request.name);
            }
        } finally {
            await board.stop();
        }
    });

    it('Vectors.CloseForTheHost_IsTheCloseMessage', () => {
        const close = VECTORS.messages.find((message) => message.writers.includes('switchboard'));
        assert.equal(CLOSE_FRAME.kind, close.kind);
        assert.equal(Buffer.concat(CLOSE_FRAME.payload.pieces).toString('latin1'), close.payload);
    });
});
