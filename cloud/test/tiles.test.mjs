// The changed areas of the host's picture ("tiles" frames) on their way to a viewer that takes them:
// whatever moment the viewer polls at, and whatever the switchboard refuses, the viewer never gets
// a tiles frame without the picture it builds on, and what they hold is given back.

import assert from 'node:assert/strict';
import { afterEach, describe, it } from 'node:test';
import { encode, startClockedSwitchboard } from './harness.mjs';

const text = (frame) => Buffer.from(frame.payload, 'base64').toString();
// The kind of each frame the relay scenarios push, by the letter its text starts with.
const KINDS = { P: 'jpeg', T: 'tiles', J: 'json' };

describe('Switchboard tiles', () => {
    let board;
    afterEach(async () => { await board.stop(); });

    /** A claimed session: push(kind, text) as its host or viewerPush as its viewer, poll(since) as its viewer. */
    async function session(id = '400000001') {
        const s = await board.openSession({ id });
        await board.expectOk('claim', { sessionId: s.sessionId, sessionToken: s.token });
        return {
            push: (kind, what) => board.post('push', { ...s, role: 'host', kind, payload: encode(what) }),
            viewerPush: (kind, what) => board.post('push', { ...s, role: 'viewer', kind, payload: encode(what) }),
            poll: (since) => board.expectOk('poll', { ...s, role: 'viewer', since }),
            close: () => board.expectOk('close', s),
        };
    }

    it('Relay.ViewerPollingAtAnyMoment_GetsTilesOnlyWithTheirPicture', async () => {
        board = await startClockedSwitchboard();
        const scenarios = [
            // [what, steps], a step being a host push ('P1' a picture, 'T2' tiles, 'J3' a message)
            // or a viewer poll: 'poll' acknowledges the answer it gets, 'lost' does not (the
            // answer never arrived), each with the frames it must get.
            ['picture, tiles, tiles, new picture', [
                'P1', 'T2', 'T3', ['lost', 'P1 T2 T3'], 'P4', ['poll', 'P4'], 'T5', ['poll', 'T5']]],
            ['slow viewer: answers lost while tiles pile up', [
                'P1', ['lost', 'P1'], 'T2', ['lost', 'P1 T2'], 'T3', 'J4', 'T5', ['lost', 'P1 T2 T3 J4 T5'],
                'P6', ['lost', 'J4 P6'], 'T7', ['poll', 'J4 P6 T7'], ['poll', '']]],
            ['acknowledged picture, then tiles, then a picture', [
                'P1', ['poll', 'P1'], 'T2', 'T3', ['poll', 'T2 T3'], 'T4', 'P5', ['poll', 'P5']]],
            ['acknowledged tiles left at the front', [
                'P1', 'T2', ['poll', 'P1 T2'], 'T3', 'P4', 'T5', ['lost', 'P4 T5'], ['poll', 'P4 T5']]],
        ];
        const play = async (id, what, steps) => {
            const side = await session(id);
            let since = 0;
            for (const step of steps) {
                if (typeof step === 'string') {
                    assert.equal((await side.push(KINDS[step[0]], step)).status, 200, `${what}: ${step}`);
                    continue;
                }
                const [how, expected] = step;
                const answer = await side.poll(since);
                assert.equal(answer.frames.map(text).join(' '), expected, `${what}: ${how} after ${since}`);
                assert.ok(answer.frames.every((frame) => frame.kind === KINDS[text(frame)[0]]), what);
                if (how === 'poll') since = answer.since;
            }
            await side.close();
        };
        for (const [index, [what, steps]] of scenarios.entries()) await play(`40000001${index}`, what, steps);

        // With two pictures kept, the older stays as well, but no tiles before the newest.
        await board.stop();
        board = await startClockedSwitchboard({ keptPictures: 2 });
        await play('400000020', 'two pictures kept', ['P1', 'T2', 'P3', 'T4', ['lost', 'P1 P3 T4'], 'P5', ['poll', 'P3 P5']]);
    });

    it('Relay.LongRunWithRefusals_ViewerPictureAlwaysWhole', async () => {
        // A host that sends tiles built on what it last pushed, and a whole picture after any
        // refusal; a viewer that polls at random moments and sometimes loses an answer. Every
        // tiles frame names the state it builds on, and the viewer checks it has that state.
        board = await startClockedSwitchboard({ maxQueuedTileFrames: 4, maxQueuedTileBytes: 400 });
        const side = await session();
        let seed = 12345;
        const random = () => { seed = (seed * 16807) % 2147483647; return seed / 2147483647; };
        let hostState = 0;
        let mustSendPicture = true;
        let viewerState = null;
        let since = 0;
        let refusals = 0;
        const poll = async (lost) => {
            const answer = await side.poll(since);
            if (lost) return;
            for (const frame of answer.frames) {
                const [kind, base, next] = text(frame).split(':');
                if (kind === 'T') assert.equal(viewerState, Number(base), `tiles ${text(frame)} on state ${viewerState}`);
                viewerState = Number(kind === 'T' ? next : base);
            }
            since = answer.since;
        };
        for (let step = 0; step < 400; step += 1) {
            const roll = random();
            if (roll < 0.55) {
                const next = hostState + 1;
                const sent = mustSendPicture || roll < 0.05
                    ? await side.push('jpeg', `P:${next}`)
                    // Tiles of varying size, so the byte bound refuses some as well as the count.
                    : await side.push('tiles', `T:${hostState}:${next}:${'x'.repeat(Math.floor(random() * 120))}`);
                if (sent.status === 200) {
                    hostState = next;
                    mustSendPicture = false;
                } else {
                    assert.equal(sent.status, 429, JSON.stringify(sent.body));
                    refusals += 1;
                    mustSendPicture = true;
                }
            } else {
                await poll(roll > 0.9);
            }
        }
        await poll(false);
        assert.equal(viewerState, hostState);
        assert.ok(refusals > 0, 'the bounds were reached');
    });

    it('Bounds.TilesPastThem_RefusedUntilAWholePicture', async () => {
        board = await startClockedSwitchboard({ maxQueuedTileFrames: 3, maxQueuedTileBytes: 100 });
        // Tiles of `bytes` bytes as the switchboard counts them: the base64 text.
        const tiles = (bytes) => 'T'.repeat(bytes / 4 * 3);
        const steps = [
            // [what, role, kind, text, status, error]
            ['a viewer pushing tiles', 'viewer', 'tiles', tiles(8), 400, '"kind" must be "json" or "jpeg"'],
            ['a host pushing another kind', 'host', 'png', tiles(8), 400, '"kind" must be "json", "jpeg" or "tiles"'],
            ['tiles before any picture', 'host', 'tiles', tiles(8), 409, 'The viewer needs a whole picture first'],
            ['a picture', 'host', 'jpeg', 'P', 200],
            ['tiles', 'host', 'tiles', tiles(8), 200],
            ['tiles past the bytes', 'host', 'tiles', tiles(96), 429, 'Too many changes are waiting for the viewer'],
            ['tiles after a refusal', 'host', 'tiles', tiles(8), 409, 'The viewer needs a whole picture first'],
            ['a picture, clearing them', 'host', 'jpeg', 'P', 200],
            ['tiles', 'host', 'tiles', tiles(92), 200],
            ['tiles to the bytes', 'host', 'tiles', tiles(8), 200],
            ['a picture', 'host', 'jpeg', 'P', 200],
            ['tiles', 'host', 'tiles', tiles(4), 200],
            ['tiles', 'host', 'tiles', tiles(4), 200],
            ['tiles to the count', 'host', 'tiles', tiles(4), 200],
            ['tiles past the count', 'host', 'tiles', tiles(4), 429, 'Too many changes are waiting for the viewer'],
        ];
        const side = await session();
        for (const [what, role, kind, payload, status, error] of steps) {
            const answer = await (role === 'host' ? side.push(kind, payload) : side.viewerPush(kind, payload));
            assert.equal(answer.status, status, what);
            if (error !== undefined) assert.deepEqual(answer.body, { error }, what);
        }
        const answer = await side.poll(0);
        assert.deepEqual(answer.frames.map((frame) => frame.kind), ['jpeg', 'tiles', 'tiles', 'tiles']);
    });

    it('Budget.TilesHeldAgainstTheHostShare_FreedByAPictureAndTheSessionsEnd', async () => {
        const share = 1200;
        board = await startClockedSwitchboard({ maxHostStoredBytes: share });
        const side = await session();
        // Payload bytes as the switchboard keeps them: the base64 text.
        const sized = (bytes) => 'A'.repeat(bytes / 4 * 3);
        const steps = [
            ['a picture', 'jpeg', 400, 200],
            ['tiles', 'tiles', 400, 200],
            ['tiles past the share', 'tiles', 800, 503],
            ['a picture that fits only once the tiles are freed too', 'jpeg', 1200, 200],
        ];
        for (const [what, kind, bytes, status] of steps) assert.equal((await side.push(kind, sized(bytes))).status, status, what);

        // Read and acknowledged, then filled to the share again with tiles waiting as it ends.
        await side.poll((await side.poll(0)).since);
        for (const [kind, bytes] of [['jpeg', 400], ['tiles', 400], ['tiles', 400]]) {
            assert.equal((await side.push(kind, sized(bytes))).status, 200, `${kind} ${bytes}`);
        }
        await side.close();

        // Once the session has ended, the host's whole share is free again, to the byte.
        const next = await session('400000002');
        assert.equal((await next.push('jpeg', sized(share))).status, 200);
    });
});
