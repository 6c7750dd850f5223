// The browser page's codec against the protocol vectors the C++ and the switchboard's tests read
// too (tests/protocol/vectors.json): the page reads every host message and poll answer as the
// vectors mean them, writes the viewer messages it is named the writer of byte for byte, and its
// Viewer, run through a whole session against a switchboard that answers from the vectors, writes
// exactly the requests the vectors name the page as the writer of, and nothing else.

import assert from 'node:assert/strict';
import { after, before, describe, it } from 'node:test';
import {
    KIND, capsMessage, decodeBase64, decodeJsonPayload, encodeBase64, encodeMessage, inputMessage, keyMessage,
    readHello, readPollAnswer, readTiles, textMessages,
} from '../web/messages.js';
import { jpegSize } from '../web/picture-decoding.js';
import { PHASE, Viewer } from '../web/session.js';
import { parseObject } from '../web/switchboard.js';
import { protocolVectors } from './harness.mjs';

const VECTORS = protocolVectors();
const PAGE = 'page';

/** A host message as the page reads it, in the vectors' terms; null for one it skips. */
function hostMessageOf({ kind, payload }) {
    if (kind === KIND.json) {
        const message = decodeJsonPayload(payload);
        const hello = message === null ? null : readHello(message);
        return hello === null ? null : { message: 'hello', width: hello.width, height: hello.height, features: [...hello.features].sort() };
    }
    const bytes = decodeBase64(payload);
    if (bytes === null) return null;
    if (kind === KIND.jpeg) return { message: 'picture', jpeg: encodeBase64(bytes) };
    if (kind !== KIND.tiles) return null;
    const tiles = readTiles(bytes);
    return tiles === null ? null : {
        message: 'tiles', width: tiles.width, height: tiles.height,
        tiles: tiles.tiles.map(({ x, y, jpeg }) => ({ x, y, jpeg: encodeBase64(jpeg) })),
    };
}

/** What the page takes from a meaning: everything but the host's platform, which it never reads. */
function asThePageReads(meaning) {
    if (meaning === null || meaning.message !== 'hello') return meaning;
    const { platform: _unread, ...read } = meaning;
    return { ...read, features: [...read.features].sort() };
}

/** The page's own message for a viewer message's meaning, built as its input code builds it. */
function pageMessageOf(meaning) {
    switch (meaning.message) {
    case 'input': {
        const { kind, x, y, button, clickCount, deltaX, deltaY, modifiers } = meaning;
        return inputMessage(kind, x, y, { button, clickCount, deltaX, deltaY, modifiers });
    }
    case 'key': return keyMessage(meaning.codeName, meaning.key, meaning.down, meaning.modifiers);
    case 'text': return textMessages(meaning.text)[0];
    case 'caps': return capsMessage(meaning.features);
    default: return null;
    }
}

/**
 * A switchboard that answers each request with the answer of the page-written example holding
 * exactly its bytes, and records what the page wrote. Bytes no example holds are answered 500.
 */
class VectorSwitchboard {
    constructor(requests) {
        this.examples = requests.filter((request) => request.writers.includes(PAGE));
        this.written = [];
        this.strays = [];
        this.waiters = [];
    }

    fetch = async (url, init) => {
        const path = String(url).replace(/^\/v1\//, '');
        const example = this.examples.find((request) => request.path === path && request.body === init.body);
        if (example === undefined) this.strays.push(`${path} ${init.body}`);
        else this.written.push(example.name);
        this.changed();
        const answer = example?.answer ?? { status: 500, body: '{"error":"no example holds these bytes"}' };
        return new Response(answer.body, { status: answer.status, headers: { 'Content-Type': 'application/json' } });
    };

    changed() {
        for (const waiter of this.waiters.splice(0)) waiter();
    }

    /**
     * Resolves once `check()` holds, looked at after every request and every change; fails as soon
     * as the page writes bytes no example holds.
     */
    async until(check) {
        for (;;) {
            assert.deepEqual(this.strays, [], 'the page wrote bytes no example holds');
            if (check()) return;
            await new Promise((resolve) => this.waiters.push(resolve));
        }
    }

    wrote(name) {
        return this.written.includes(name);
    }
}

describe('Browser page against the protocol vectors', () => {
    it('Vectors.HostMessages_ReadAsTheirMeaning', () => {
        for (const message of VECTORS.messages.filter((m) => m.from === 'host')) {
            if (message.kind === KIND.json) assert.equal(new TextDecoder().decode(decodeBase64(message.payload)), message.json, message.name);
            assert.deepEqual(hostMessageOf(message), asThePageReads(message.meaning), message.name);
        }
    });

    it('Vectors.PollAnswers_ReadAsTheirMeaning', () => {
        const answers = [
            ...VECTORS.pollAnswers.filter((answer) => answer.reader === 'viewer'),
            ...VECTORS.requests.filter((request) => request.path === 'poll' && request.meaning.role === 'viewer' && request.answer.status === 200)
                .map((request) => ({ name: request.name, text: request.answer.body, meaning: null })),
        ];
        for (const answer of answers) {
            const { since, frames } = readPollAnswer(parseObject(answer.text));
            const read = { since, messages: frames.map(hostMessageOf).filter((message) => message !== null) };
            if (answer.meaning === null) {
                // A switchboard's answer in the story: every frame in it is one of the host messages above.
                const meanings = frames.map((frame) => VECTORS.messages.find((m) => m.kind === frame.kind && m.payload === frame.payload)?.meaning);
                assert.deepEqual(read.messages, meanings.map(asThePageReads), answer.name);
            } else {
                assert.deepEqual(read, { since: answer.meaning.since, messages: answer.meaning.messages.map(asThePageReads) }, answer.name);
            }
        }
    });

    it('Vectors.ViewerMessages_WrittenByThePageByteForByte', () => {
        const written = VECTORS.messages.filter((message) => message.writers.includes(PAGE));
        assert.ok(written.length > 0);
        for (const message of written) {
            const own = pageMessageOf(message.meaning);
            assert.equal(JSON.stringify(own), message.json, message.name);
            assert.equal(encodeMessage(own), message.payload, message.name);
        }
    });

    describe('A whole session', () => {
        const board = new VectorSwitchboard(VECTORS.requests);
        const saved = {};
        before(() => {
            saved.fetch = globalThis.fetch;
            saved.createImageBitmap = globalThis.createImageBitmap;
            globalThis.fetch = board.fetch;
            // The page's decoder, as a browser's would decode these JPEGs: to the size they state.
            globalThis.createImageBitmap = async (blob) => {
                const size = jpegSize(new Uint8Array(await blob.arrayBuffer()));
                if (size === null) throw new Error('not a JPEG');
                return { ...size, close() {} };
            };
        });
        after(() => {
            globalThis.fetch = saved.fetch;
            globalThis.createImageBitmap = saved.createImageBitmap;
        });

        // A request the page never writes leaves the test waiting for it until this timeout.
        it('Vectors.PageSession_WritesExactlyThePagesRequests', { timeout: 20_000 }, async () => {
            const presented = [];
            const view = {
                pictureSize: null,
                clear() { this.pictureSize = null; },
                present(picture, changes) {
                    if (picture !== null) this.pictureSize = { width: picture.width, height: picture.height };
                    presented.push({ picture, changes });
                    board.changed();
                },
            };
            const kept = new Map();
            const storage = { getItem: (key) => kept.get(key) ?? null, setItem: (key, value) => kept.set(key, String(value)) };
            const viewer = new Viewer({ view, onChange: () => board.changed(), storage });
            const of = (path, where = () => true) => board.examples.filter((request) => request.path === path && where(request));
            const [firstConnect, againConnect] = of('connect');
            const { id, password } = firstConnect.meaning;
            const inSession = (connect) => (request) => request.meaning.sessionId === connect.answer.meaning.sessionId;
            viewer.connect(id, password);

            // The hello, the picture and its tiles arrive in the first poll; the page answers the
            // hello with its caps.
            const messageOf = (push) => VECTORS.messages.find((m) => m.payload === push.meaning.payload).meaning;
            const pushes = of('push');
            const caps = pushes.find((push) => messageOf(push).message === 'caps');
            await board.until(() => viewer.phase === PHASE.live && presented.length > 0 && board.wrote(caps.name));
            assert.deepEqual(viewer.remoteSize, { width: 1280, height: 800 });
            assert.deepEqual(presented[0].picture && { width: presented[0].picture.width, height: presented[0].picture.height }, { width: 64, height: 48 });
            assert.deepEqual(presented[0].changes.map((tiles) => tiles.map(({ x, y }) => [x, y])), [[[0, 0], [48, 32]]]);

            // What the person does goes out as the page's own pushes.
            for (const push of pushes.filter((request) => request !== caps)) {
                const meaning = messageOf(push);
                const message = pageMessageOf(meaning);
                if (meaning.message === 'input') viewer.sendInput(message);
                else if (meaning.message === 'key') viewer.sendKey(message);
                else viewer.sendText(meaning.text);
                await board.until(() => board.wrote(push.name));
            }

            // Its polls go on, from the cursor the last answer gave; End then closes the session.
            const [close] = of('close', inSession(firstConnect));
            await board.until(() => of('poll', inSession(firstConnect)).every((poll) => board.wrote(poll.name)));
            viewer.end();
            await board.until(() => board.wrote(close.name));

            // Connecting again, the page sends back the device token its first connect was given.
            viewer.connect(id, password);
            await board.until(() => board.wrote(againConnect.name) && of('poll', inSession(againConnect)).every((poll) => board.wrote(poll.name)));
            viewer.end();
            await board.until(() => of('close', inSession(againConnect)).every((request) => board.wrote(request.name)));
            assert.deepEqual([...new Set(board.written)].sort(), board.examples.map((request) => request.name).sort());
        });
    });
});
