// Time limits, on a clock the test moves by hand, and the bounds on queues and tables.

import assert from 'node:assert/strict';
import { after, afterEach, before, beforeEach, describe, it } from 'node:test';
import { HOST_ID, HOST_TOKEN, PASSWORD, decode, encode, startClockedSwitchboard } from './harness.mjs';

const LIMIT_MS = 1000;
const STEP_MS = 50;
const CLOSE = { type: 'close' };

/**
 * Calls `step`, then moves the clock on by STEP_MS, until `step` returns something other than
 * undefined; resolves with that and how far the clock had moved by then, or fails once it has
 * moved 10 limits.
 */
async function eventually(board, what, step) {
    for (let movedMs = 0; movedMs <= 10 * LIMIT_MS; movedMs += STEP_MS) {
        const result = await step();
        if (result !== undefined) return { result, movedMs };
        board.advance(STEP_MS);
    }
    throw new Error(`never happened: ${what}`);
}

describe('Switchboard expiry', () => {
    let board;
    beforeEach(async () => {
        board = await startClockedSwitchboard({
            onlineMs: LIMIT_MS,
            viewerIdleMs: LIMIT_MS,
            hostIdleMs: LIMIT_MS,
            unclaimedMs: 2 * LIMIT_MS,
            collectedKeepMs: LIMIT_MS,
            hostForgetMs: 4 * LIMIT_MS,
            // The loops here look up far faster than any client, on a clock that hardly moves.
            lookupBurst: 10_000,
        });
    });
    afterEach(async () => { await board.stop(); });

    const beat = (id) => board.expectOk('heartbeat', { id, hostToken: HOST_TOKEN });
    const hostPoll = (s) => board.expectOk('poll', { ...s, role: 'host', since: 0 });
    const viewerPoll = (s) => board.post('poll', { ...s, role: 'viewer', since: 0 });

    it('Expiry.BothSidesPolling_SessionOutlivesEveryLimit', async () => {
        const s = await board.openSession({ id: '200000001' });
        await board.expectOk('claim', { sessionId: s.sessionId, sessionToken: s.token });
        for (let movedMs = 0; movedMs < 3 * LIMIT_MS; movedMs += STEP_MS) {
            assert.deepEqual((await hostPoll(s)).frames, []);
            assert.equal((await viewerPoll(s)).status, 200);
            await beat('200000001');
            board.advance(STEP_MS);
        }
        await board.expectOk('close', s);
    });

    it('Expiry.ViewerStopsPolling_HostPollsCloseAndViewerIsRefused', async () => {
        const s = await board.openSession({ id: '200000002' });
        await board.expectOk('claim', { sessionId: s.sessionId, sessionToken: s.token });
        const { result: frames, movedMs } = await eventually(board, 'close reaches the host', async () => {
            const { frames: got } = await hostPoll(s);
            return got.length > 0 ? got : undefined;
        });
        assert.ok(movedMs > LIMIT_MS, `ended after ${movedMs} ms`);
        assert.deepEqual(frames.map((f) => decode(f.payload)), [CLOSE]);
        assert.equal((await viewerPoll(s)).status, 410);
    });

    it('Expiry.HostStopsPolling_ViewerIsToldTheSessionEnded', async () => {
        const s = await board.openSession({ id: '200000003' });
        await board.expectOk('claim', { sessionId: s.sessionId, sessionToken: s.token });
        const { result: refusal, movedMs } = await eventually(board, 'viewer refused', async () => {
            const answer = await viewerPoll(s);
            return answer.status === 200 ? undefined : answer;
        });
        assert.ok(movedMs > LIMIT_MS, `ended after ${movedMs} ms`);
        assert.equal(refusal.status, 410);
        assert.equal(typeof refusal.body.error, 'string');
        // The host, should it come back, still learns that it has to stop.
        assert.deepEqual((await hostPoll(s)).frames.map((f) => decode(f.payload)), [CLOSE]);
    });

    it('Expiry.NeverClaimed_ViewerRefusedAndNoLongerPending', async () => {
        const s = await board.openSession({ id: '200000004' });
        // The host never heartbeats again, so it never hears of the session.
        const { result: refusal, movedMs } = await eventually(board, 'unclaimed session given up', async () => {
            const answer = await viewerPoll(s);
            return answer.status === 200 ? undefined : answer;
        });
        assert.ok(movedMs > 2 * LIMIT_MS, `given up after ${movedMs} ms`);
        assert.equal(refusal.status, 410);
        assert.equal((await beat('200000004')).pending, undefined);
    });

    it('Expiry.CloseCollected_SessionFreedAfterwards', async () => {
        const s = await board.openSession({ id: '200000005' });
        await board.expectOk('claim', { sessionId: s.sessionId, sessionToken: s.token });
        await board.expectOk('close', s);
        assert.equal((await hostPoll(s)).frames.length, 1);
        const { movedMs } = await eventually(board, 'session freed', async () => {
            const answer = await board.post('poll', { ...s, role: 'host', since: 0 });
            return answer.status === 404 ? true : undefined;
        });
        // Until then, a host whose answer got lost polls the close again.
        assert.ok(movedMs >= LIMIT_MS, `freed after ${movedMs} ms`);
    });

    it('Expiry.HeartbeatsStop_OfflineThenForgotten', async () => {
        await board.expectOk('register', { id: '444555666', password: PASSWORD, hostToken: HOST_TOKEN });
        await board.expectOk('heartbeat', { id: '444555666', hostToken: HOST_TOKEN });
        assert.equal((await board.expectOk('lookup', { id: '444555666' })).online, true);
        const offline = await eventually(board, 'offline', async () => ((await board.expectOk('lookup', { id: '444555666' })).online ? undefined : true));
        assert.ok(offline.movedMs > LIMIT_MS, `offline after ${offline.movedMs} ms`);
        const connect = await board.post('connect', { id: '444555666', password: PASSWORD });
        assert.equal(connect.status, 409);
        assert.equal(connect.body.error, 'That PC is offline');
        // Long silent: the ID is released and another host may take it.
        const forgotten = await eventually(board, 'forgotten', async () => ((await board.expectOk('lookup', { id: '444555666' })).found ? undefined : true));
        assert.ok(offline.movedMs + forgotten.movedMs > 4 * LIMIT_MS, 'forgotten too early');
        await board.expectOk('register', { id: '444555666', password: PASSWORD, hostToken: 'c'.repeat(48) });
    });
});

describe('Switchboard bounds', () => {
    let board;
    before(async () => {
        board = await startClockedSwitchboard({ maxQueuedMessages: 3, maxSessions: 3, maxHosts: 3 });
    });
    after(async () => { await board.stop(); });

    it('Queue.ReaderStuck_PushesRefusedUntilItReadsAndPicturesReplaced', async () => {
        const s = await board.openSession();
        const cases = [
            // [pushing role, kind, refused after how many]
            ['viewer', 'json', 3],
            ['host', 'json', 3],
            ['host', 'jpeg', Infinity],
        ];
        for (const [role, kind, bound] of cases) {
            for (let i = 1; i <= 6; i += 1) {
                const answer = await board.post('push', { ...s, role, kind, payload: encode(`${kind}${i}`) });
                assert.equal(answer.status, i > bound ? 429 : 200, `${role} ${kind} #${i}`);
            }
        }
        // Host reads its three; the viewer reads its three messages and the newest picture.
        assert.equal((await board.expectOk('poll', { ...s, role: 'host', since: 0 })).frames.length, 3);
        const read = await board.expectOk('poll', { ...s, role: 'viewer', since: 0 });
        assert.deepEqual(read.frames.map((f) => Buffer.from(f.payload, 'base64').toString()),
            ['json1', 'json2', 'json3', 'jpeg6']);
        // Once read, both directions take messages again.
        await board.expectOk('poll', { ...s, role: 'viewer', since: read.since });
        await board.expectOk('push', { ...s, role: 'viewer', kind: 'json', payload: encode('again') });
        await board.expectOk('push', { ...s, role: 'host', kind: 'json', payload: encode('again') });
        await board.expectOk('close', s);
    });

    it('Table.FullOfSessionsOrHosts_503UntilRoomIsMade', async () => {
        const open = [];
        for (let i = 0; i < 3; i += 1) open.push(await board.openSession());
        const refused = await board.post('connect', { id: HOST_ID, password: PASSWORD });
        assert.equal(refused.status, 503);
        // An ended session gives its place to a new one.
        await board.expectOk('close', open[0]);
        await board.expectOk('connect', { id: HOST_ID, password: PASSWORD });

        for (const id of ['100000001', '100000002']) await board.expectOk('register', { id, password: PASSWORD, hostToken: HOST_TOKEN });
        const full = await board.post('register', { id: '100000003', password: PASSWORD, hostToken: HOST_TOKEN });
        assert.equal(full.status, 503);
        // Known hosts still re-register.
        await board.expectOk('register', { id: HOST_ID, password: PASSWORD, hostToken: HOST_TOKEN });
    });
});

describe('Switchboard memory budget', () => {
    let board;
    before(async () => { board = await startClockedSwitchboard({ maxStoredBytes: 1000 }); });
    after(async () => { await board.stop(); });

    it('Budget.AllSessionsTogether_503UntilReadersCatchUp', async () => {
        const a = await board.openSession();
        const b = await board.openSession();
        const push = (s, role, kind, size) => board.post('push', { ...s, role, kind, payload: 'A'.repeat(size) });
        const steps = [
            // [what, request, expected status]
            ['A viewer 400', () => push(a, 'viewer', 'json', 400), 200],
            ['B viewer 400', () => push(b, 'viewer', 'json', 400), 200],
            ['A picture 300 over the budget', () => push(a, 'host', 'jpeg', 300), 503],
            ['B viewer 100 fits', () => push(b, 'viewer', 'json', 100), 200],
            ['A host reads its 400', () => board.post('poll', { ...a, role: 'host', since: 0 }), 200],
            ['A picture 300 fits now', () => push(a, 'host', 'jpeg', 300), 200],
            ['A picture 300 replaces the last', () => push(a, 'host', 'jpeg', 300), 200],
            ['B host reads its 500', () => board.post('poll', { ...b, role: 'host', since: 0 }), 200],
            ['A closes, freeing its picture', () => board.post('close', a), 200],
            ['B viewer 1000, the whole budget', () => push(b, 'viewer', 'json', 1000), 200],
            ['B viewer 1 more', () => push(b, 'viewer', 'json', 1), 503],
        ];
        for (const [what, request, status] of steps) {
            const answer = await request();
            assert.equal(answer.status, status, what);
        }
    });
});
