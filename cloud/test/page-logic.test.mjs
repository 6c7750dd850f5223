// The browser page's logic that needs no browser: what typed codes reduce to, how poll answers
// and payloads are read, what a refusal says, the long polls' hold and the other side's quiet
// time, which failures the page tries again after, and the ordered input queue (one push in flight,
// coalescing while it waits, a stuck push abandoned, everything dropped when the session ends).

import assert from 'node:assert/strict';
import { describe, it } from 'node:test';
import { compactId, formatId, formatPassword } from '../web/codes.js';
import { InputQueue } from '../web/input-queue.js';
import { MAX_CURSOR_SIDE, decodeBase64, inputMessage, pngSize, readCursor, readPollAnswer, readTiles, textMessages } from '../web/messages.js';
import { DEVICE_TOKENS_KEY, deviceTokenFor, keepDeviceToken, mayPass, peerQuietOf, pollWaitOf } from '../web/session.js';
import { RequestFailure, refusalDescription } from '../web/switchboard.js';

const move = (x) => inputMessage('move', x, 0.5);
const wheel = (deltaY) => inputMessage('wheel', 0.5, 0.5, { deltaY });

/**
 * A push function whose answers the test releases one by one; `untilSent(count)` resolves once
 * `count` pushes have gone out.
 */
function heldPushes() {
    const sent = [];
    const waiting = [];
    const send = (message, signal) => new Promise((resolve) => {
        sent.push({ message, signal, answer: resolve });
        for (const wake of waiting.splice(0)) wake();
    });
    const untilSent = async (count) => {
        while (sent.length < count) await new Promise((resolve) => waiting.push(resolve));
    };
    return { sent, send, untilSent };
}

// Resolves once everything an answer set going has run: the promise reactions it queued, and
// what they queued in turn. For checking that an answer made nothing happen.
const afterItsReactions = () => new Promise((resolve) => setImmediate(resolve));

describe('Browser page logic', () => {
    it('Codes.TypedForms_CompactedAsTheAppDoes', () => {
        const cases = [
            // [operation, typed, result]
            [formatId, '123456789', '123 456 789'],
            [formatId, '123-456-789', '123 456 789'],
            [formatId, ' 12-34 ', '1234'],
            [formatId, '1234567890', '1234567890'],
            [compactId, '١٢٣ 456', '١٢٣456'],
            [formatPassword, 'abcd efgh', 'ABCD-EFGH'],
            [formatPassword, 'abCD-efGHjk', 'ABCD-EFGH'],
            [formatPassword, 'ab1O-cd', 'ABCD'],
            [formatPassword, 'abcde', 'ABCD-E'],
            [formatPassword, '', ''],
        ];
        for (const [operation, typed, result] of cases) assert.equal(operation(typed), result, `${operation.name}(${typed})`);
    });

    it('Wire.PayloadsAndAnswers_ReadStrictly', () => {
        const base64 = [
            // [text, bytes or null]
            ['aGk=', [104, 105]],
            ['', []],
            ['aGk', null],
            ['aG\nk=', null],
            ['aG k=', null],
            ['aG k=  \n', null],
            ['aGk=aGk=', null],
            ['aGk-', null],
            ['a===', null],
        ];
        for (const [text, bytes] of base64) {
            const decoded = decodeBase64(text);
            assert.deepEqual(decoded === null ? null : [...decoded], bytes, JSON.stringify(text));
        }

        const answers = [
            // [answer, since, number of frames]
            [{ since: 17, frames: [{ kind: 'jpeg', payload: 'aGk=' }] }, 17, 1],
            [{ since: 17.9, frames: [] }, 17, 0],
            [{ since: '17' }, null, 0],
            [{ since: 3, frames: [{ kind: 'json', payload: 'aGk=' }, 'not an object'] }, 3, 0],
            [{ frames: { kind: 'jpeg' } }, null, 0],
        ];
        for (const [answer, since, count] of answers) {
            const read = readPollAnswer(answer);
            assert.equal(read.since, since, JSON.stringify(answer));
            assert.equal(read.frames.length, count, JSON.stringify(answer));
        }

        assert.equal(refusalDescription(403, '{"error":"Wrong password"}'), 'Wrong password');
        assert.equal(refusalDescription(502, '<html>Bad gateway</html>'), 'HTTP 502');
        assert.equal(refusalDescription(500, '{"error":7}'), 'HTTP 500');
    });

    it('Wire.TilesPayload_ReadBigEndianOrRefusedWhole', () => {
        const u16 = (value) => [value >> 8, value & 0xff];
        const u32 = (value) => [...u16(value >>> 16), ...u16(value & 0xffff)];
        const tile = (x, y, jpeg, length = jpeg.length) => [...u16(x), ...u16(y), ...u32(length), ...jpeg];
        const head = [...u16(1920), ...u16(1080)];
        const cases = [
            // [what, bytes, tiles read as [x, y, jpeg bytes], or null]
            ['one tile', [...head, ...tile(16, 32, [1, 2, 3])], [[16, 32, [1, 2, 3]]]],
            ['two tiles, numbers past one byte', [...head, ...tile(1904, 1064, [9]), ...tile(0, 300, [7, 8])],
                [[1904, 1064, [9]], [0, 300, [7, 8]]]],
            ['no tile', head, null],
            ['cut inside a tile head', [...head, ...tile(0, 0, [1]), 0, 1, 0], null],
            ['a length past the end', [...head, ...tile(0, 0, [1, 2], 3)], null],
            ['a length of zero', [...head, ...tile(0, 0, [])], null],
            ['a length past 2^31', [...head, ...tile(0, 0, [1], 0x80000001)], null],
        ];
        for (const [what, bytes, tiles] of cases) {
            const read = readTiles(Uint8Array.from(bytes));
            if (tiles === null) {
                assert.equal(read, null, what);
                continue;
            }
            assert.deepEqual([read.width, read.height], [1920, 1080], what);
            assert.deepEqual(read.tiles.map(({ x, y, jpeg }) => [x, y, [...jpeg]]), tiles, what);
        }
    });

    it('Wire.CursorMessage_PositionAndAShapeWithinItsBound', () => {
        // The header of a PNG stating `width` x `height`; nothing after it is read before drawing.
        const png = (width, height) => {
            const bytes = new Uint8Array(33);
            bytes.set([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0, 0, 0, 13, 0x49, 0x48, 0x44, 0x52]);
            const view = new DataView(bytes.buffer);
            view.setUint32(16, width);
            view.setUint32(20, height);
            return Buffer.from(bytes).toString('base64');
        };
        const cases = [
            // [what, message, what is read: null, or [x, y, shape size or null, hotspot]]
            ['a position', { type: 'cursor', x: 0.25, y: 1.5 }, [0.25, 1.5, null]],
            ['with a shape', { type: 'cursor', x: 0, y: 0, png: png(16, 24), hotX: 3, hotY: 4 }, [0, 0, [16, 24], [3, 4]]],
            ['the largest shape', { type: 'cursor', x: 0, y: 0, png: png(MAX_CURSOR_SIDE, MAX_CURSOR_SIDE) }, [0, 0, [256, 256], [0, 0]]],
            ['a shape too wide', { type: 'cursor', x: 0, y: 0, png: png(257, 8) }, null],
            ['a shape too tall', { type: 'cursor', x: 0, y: 0, png: png(8, 4000) }, null],
            ['an empty shape', { type: 'cursor', x: 0, y: 0, png: png(0, 8) }, null],
            ['no PNG', { type: 'cursor', x: 0, y: 0, png: Buffer.from('GIF89a and more bytes to be long enough').toString('base64') }, null],
            ['not base64', { type: 'cursor', x: 0, y: 0, png: 'iVBO' + '\n' }, null],
            ['a position in text', { type: 'cursor', x: '0.5', y: 0.5 }, null],
            ['another type', { type: 'hello', x: 0.5, y: 0.5 }, null],
        ];
        for (const [what, message, expected] of cases) {
            const cursor = readCursor(message);
            const read = cursor === null ? null
                : [cursor.x, cursor.y, ...(cursor.shape === null ? [null] : [[cursor.shape.width, cursor.shape.height], [cursor.shape.hotX, cursor.shape.hotY]])];
            assert.deepEqual(read, expected, what);
        }
        assert.equal(pngSize(new Uint8Array(8)), null);
    });

    it('Wire.InputAndText_AllMembersClampedAndSplit', () => {
        assert.deepEqual(inputMessage('down', -0.2, 1.7, { button: 1, clickCount: 2 }),
            { type: 'input', kind: 'down', x: 0, y: 1, button: 1, clickCount: 2, deltaX: 0, deltaY: 0 });
        assert.deepEqual(inputMessage('up', 0.25, 0.75, { clickCount: 0, modifiers: ['control'] }),
            { type: 'input', kind: 'up', x: 0.25, y: 0.75, button: 0, clickCount: 1, deltaX: 0, deltaY: 0, modifiers: ['control'] });
        // Pieces of at most 1024 characters, never splitting a character made of two code units.
        const long = '😀'.repeat(1500);
        const pieces = textMessages(long);
        assert.deepEqual(pieces.map((piece) => Array.from(piece.key).length), [1024, 476]);
        assert.equal(pieces.map((piece) => piece.key).join(''), long);
        assert.deepEqual(textMessages(''), []);
    });

    it('LongPolls.AnnouncementQuietTimeAndFailures_ReadAsThePageActsOnThem', () => {
        const waits = [
            // [what, connect answer, the poll's waitMs (0: none, today's pause)]
            ['an old switchboard', {}, 0],
            ['the announced hold', { maxWaitMs: 25_000 }, 25_000],
            ['a shorter hold', { maxWaitMs: 5000 }, 5000],
            ['a longer one, kept to the page\'s own', { maxWaitMs: 600_000 }, 25_000],
            ['zero', { maxWaitMs: 0 }, 0],
            ['negative', { maxWaitMs: -5 }, 0],
            ['a fraction', { maxWaitMs: 2.5 }, 0],
            ['text', { maxWaitMs: '25000' }, 0],
        ];
        for (const [what, answer, expected] of waits) assert.equal(pollWaitOf(answer), expected, what);

        const quiet = [
            // [what, answer text, quiet ms or null]
            ['an answer without it', '{"frames":[],"since":3}', null],
            ['at the end', '{"frames":[],"since":3,"peerQuietMs":4001}', 4001],
            ['after frames', '{"frames":[{"kind":"json","payload":"e30="}],"since":4,"peerQuietMs":0}', 0],
            ['a frame\'s text that names it, not at the end', '{"frames":[{"kind":"json","payload":"\\"peerQuietMs\\":9}"}],"since":1}', null],
            ['negative', '{"frames":[],"since":3,"peerQuietMs":-1}', null],
        ];
        for (const [what, text, expected] of quiet) assert.equal(peerQuietOf(text), expected, what);

        const failures = [
            // [what, failure, tried again]
            ['no network', new RequestFailure(0, 'Could not connect to the server.'), true],
            ['cancelled', new RequestFailure(0, 'cancelled', { cancelled: true }), false],
            ['a session the switchboard forgot', new RequestFailure(404, 'Unknown session'), true],
            ['a host not online yet', new RequestFailure(409, 'That PC is offline'), true],
            ['a tunnel without its switchboard', new RequestFailure(502, 'HTTP 502'), true],
            ['a busy switchboard', new RequestFailure(503, 'The switchboard is busy; try again shortly'), true],
            ['an ended session', new RequestFailure(410, 'The PC left the session'), false],
            ['a wrong password', new RequestFailure(403, 'Wrong password'), false],
            ['a lockout', new RequestFailure(429, 'Too many wrong passwords; try again in a minute'), false],
            ['not a request', new Error('x'), false],
        ];
        for (const [what, failure, expected] of failures) assert.equal(mayPass(failure), expected, what);
    });

    it('DeviceTokens.KeptPerIdNewestFewAndOnlyWhatCanBeSentBack', () => {
        const stored = new Map();
        const storage = { getItem: (key) => stored.get(key) ?? null, setItem: (key, value) => stored.set(key, value) };
        const token = `${'a'.repeat(32)}.${'b'.repeat(64)}`;
        const steps = [
            // [what, id, token kept from an answer, id read back, token read back]
            ['kept', '111222333', token, '111222333', token],
            ['another ID has none', '111222333', token, '444555666', ''],
            ['an answer without one keeps the old', '111222333', undefined, '111222333', token],
            ['too long', '111222333', 'x'.repeat(129), '111222333', token],
            ['not printable', '111222333', 'a\u0000b', '111222333', token],
            ['replaced', '111222333', 'newer', '111222333', 'newer'],
        ];
        for (const [what, id, kept, readId, expected] of steps) {
            keepDeviceToken(storage, id, kept);
            assert.equal(deviceTokenFor(storage, readId), expected, what);
        }
        for (let i = 0; i < 40; i += 1) keepDeviceToken(storage, String(500_000_000 + i), token);
        const ids = Object.keys(JSON.parse(stored.get(DEVICE_TOKENS_KEY)));
        assert.equal(ids.length, 32);
        assert.equal(ids.at(-1), '500000039');
        // Whatever else is stored there, nothing is read from it but text tokens.
        stored.set(DEVICE_TOKENS_KEY, '{"__proto__":{"111222333":"x"},"222333444":5}');
        assert.equal(deviceTokenFor(storage, '111222333'), '');
        assert.equal(deviceTokenFor(storage, '222333444'), '');
        stored.set(DEVICE_TOKENS_KEY, 'not JSON');
        assert.equal(deviceTokenFor(null, '111222333'), '');
        assert.equal(deviceTokenFor(storage, '111222333'), '');
    });

    it('Queue.WhileAPushIsInFlight_OrderKeptMovesAndWheelsCoalesced', async () => {
        const { sent, send, untilSent } = heldPushes();
        const queue = new InputQueue(send);
        const down = inputMessage('down', 0.1, 0.1);
        const up = inputMessage('up', 0.9, 0.9);
        queue.enqueue(down);
        assert.equal(sent.length, 1, 'the first message goes out at once');
        for (const message of [move(0.2), move(0.3), move(0.4), up, wheel(-40), wheel(-40), wheel(120),
            { type: 'text', key: 'a' }, { type: 'text', key: 'b' }, move(0.5)]) {
            queue.enqueue(message);
        }
        assert.equal(sent.length, 1, 'one push in flight at a time');
        while (queue.pending > 1) {
            const count = sent.length;
            sent.at(-1).answer();
            await untilSent(count + 1);
        }
        sent.at(-1).answer();
        await queue.drain(10_000);
        assert.equal(queue.pending, 0);
        assert.deepEqual(sent.map(({ message }) => message), [
            down, move(0.4), up, wheel(40), { type: 'text', key: 'ab' }, move(0.5),
        ]);
    });

    it('Queue.StuckPush_AbandonedAfterTheWaitAndLateAnswerIgnored', async () => {
        const { sent, send, untilSent } = heldPushes();
        const queue = new InputQueue(send, { waitLimitMs: 100 });
        queue.enqueue(inputMessage('down', 0.5, 0.5));
        queue.enqueue(inputMessage('up', 0.5, 0.5));
        const started = Date.now();
        await untilSent(2);
        assert.ok(Date.now() - started >= 95, 'the queue waited for the stuck push first');
        assert.equal(sent[0].signal.aborted, true, 'the stuck request was aborted');
        assert.equal(queue.abandoned, 1);
        // The abandoned push answering now must not release a third message early.
        queue.enqueue(inputMessage('move', 0.6, 0.6));
        sent[0].answer();
        await afterItsReactions();
        assert.equal(sent.length, 2);
        sent[1].answer();
        await untilSent(3);
    });

    it('Queue.Reset_AbortsInFlightDropsWaitingAndTakesNothingMore', async () => {
        const { sent, send } = heldPushes();
        const queue = new InputQueue(send);
        queue.enqueue({ type: 'key', codeName: 'enter', key: '', down: true });
        queue.enqueue({ type: 'key', codeName: 'enter', key: '', down: false });
        const drained = queue.drain(10_000);
        queue.reset();
        await drained;
        assert.equal(sent[0].signal.aborted, true);
        assert.equal(queue.pending, 0);
        queue.enqueue(inputMessage('down', 0.5, 0.5));
        sent[0].answer();
        await afterItsReactions();
        assert.equal(sent.length, 1, 'nothing goes out after the session ended');
    });
});
