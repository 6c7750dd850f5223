// The road of one session through the switchboard, and the delivery guarantees both sides rely on.

import assert from 'node:assert/strict';
import { after, before, describe, it } from 'node:test';
import { HOST_ID, HOST_KEY, HOST_TOKEN, PASSWORD, decode, encode, hostProof, startSwitchboard } from './harness.mjs';

const CLOSE = { type: 'close' };

describe('Switchboard session road', () => {
    let board;
    before(async () => { board = await startSwitchboard({ KIVREN_HOST_KEY: HOST_KEY }); });
    after(async () => { await board.stop(); });

    it('Road.HostAndViewer_CompleteSessionFromLookupToClose', async () => {
        // Host registers and heartbeats; the viewer finds it online.
        await board.expectOk('register', { id: HOST_ID, name: 'Studio Mac', platform: 'macos', password: PASSWORD, hostToken: HOST_TOKEN, unattended: true });
        assert.deepEqual(await board.expectOk('heartbeat', { id: HOST_ID, hostToken: HOST_TOKEN }), { ok: true });
        assert.deepEqual(await board.expectOk('lookup', { id: HOST_ID }),
            { found: true, online: true, name: 'Studio Mac', platform: 'macos' });

        // The viewer connects with the password as a person might type it.
        const connected = await board.expectOk('connect', { id: HOST_ID, password: 'abcd efgh', clientName: 'Pixel', clientPlatform: 'android' });
        assert.equal(connected.transport, 'relay');
        assert.match(connected.sessionId, /^[0-9a-f]{32}$/);
        assert.match(connected.sessionToken, /^[0-9a-f]{64}$/);
        const viewer = { sessionId: connected.sessionId, token: connected.sessionToken };

        // The host sees it as pending until it claims it.
        const beat = await board.expectOk('heartbeat', { id: HOST_ID, hostToken: HOST_TOKEN });
        assert.deepEqual(beat.pending, { sessionId: viewer.sessionId, sessionToken: viewer.token, clientName: 'Pixel', clientPlatform: 'android' });
        await board.expectOk('claim', { sessionId: viewer.sessionId, sessionToken: viewer.token });
        assert.equal((await board.expectOk('heartbeat', { id: HOST_ID, hostToken: HOST_TOKEN })).pending, undefined);

        // Hello and a picture reach the viewer, in push order, with a cursor.
        const host = { ...viewer, role: 'host' };
        const hello = { type: 'hello', width: 1512, height: 982, platform: 'macos' };
        await board.expectOk('push', { ...host, kind: 'json', payload: encode(hello) });
        await board.expectOk('push', { ...host, kind: 'jpeg', payload: encode('picture-1') });
        const first = await board.expectOk('poll', { ...viewer, role: 'viewer', since: 0 });
        assert.deepEqual(first.frames.map((f) => f.kind), ['json', 'jpeg']);
        assert.deepEqual(decode(first.frames[0].payload), hello);
        assert.equal(first.since, 2);

        // Input reaches the host once, in push order.
        const inputs = [{ type: 'input', kind: 'down', x: 0.25, y: 0.75, button: 0, clickCount: 1, deltaX: 0, deltaY: 0 },
            { type: 'input', kind: 'up', x: 0.25, y: 0.75, button: 0, clickCount: 1, deltaX: 0, deltaY: 0 }];
        for (const input of inputs) await board.expectOk('push', { ...viewer, role: 'viewer', kind: 'json', payload: encode(input) });
        const hostPoll = await board.expectOk('poll', { ...host, since: 0 });
        assert.deepEqual(hostPoll.frames.map((f) => decode(f.payload)), inputs);
        assert.deepEqual((await board.expectOk('poll', { ...host, since: 0 })).frames, []);

        // The viewer closes: its later requests are refused and the host polls the close message.
        await board.expectOk('close', viewer);
        const refused = await board.post('poll', { ...viewer, role: 'viewer', since: first.since });
        assert.equal(refused.status, 410);
        assert.equal(typeof refused.body.error, 'string');
        assert.equal((await board.post('push', { ...viewer, role: 'viewer', kind: 'json', payload: encode(inputs[0]) })).status, 410);
        const closing = await board.expectOk('poll', { ...host, since: 0 });
        assert.deepEqual(closing.frames, [{ kind: 'json', payload: encode(CLOSE) }]);
    });

    it('Delivery.Viewer_GetsEachFrameOnceAndOnlyTheNewestPicture', async () => {
        const viewer = await board.openSession();
        const host = { ...viewer, role: 'host' };
        await board.expectOk('push', { ...host, kind: 'json', payload: encode({ type: 'hello', width: 1, height: 1 }) });
        for (let i = 1; i <= 5; i += 1) await board.expectOk('push', { ...host, kind: 'jpeg', payload: encode(`p${i}`) });

        // The hello is kept until read; of the five pictures only the newest waits.
        const first = await board.expectOk('poll', { ...viewer, role: 'viewer', since: 0 });
        assert.deepEqual(first.frames.map((f) => Buffer.from(f.payload, 'base64').toString()),
            ['{"type":"hello","width":1,"height":1}', 'p5']);

        // Acknowledged frames never come again.
        const second = await board.expectOk('poll', { ...viewer, role: 'viewer', since: first.since });
        assert.deepEqual(second.frames, []);
        assert.equal(second.since, first.since);

        // An answer lost on the way: the viewer polls with its old cursor and gets the frames again.
        await board.expectOk('push', { ...host, kind: 'jpeg', payload: encode('p6') });
        const lost = await board.expectOk('poll', { ...viewer, role: 'viewer', since: first.since });
        const retried = await board.expectOk('poll', { ...viewer, role: 'viewer', since: first.since });
        assert.deepEqual(retried, lost);
        assert.equal(lost.frames.length, 1);

        // A cursor the switchboard never issued does not stall the viewer.
        const bogus = await board.expectOk('poll', { ...viewer, role: 'viewer', since: 1e12 });
        assert.deepEqual(bogus.frames, []);
        await board.expectOk('push', { ...host, kind: 'jpeg', payload: encode('p7') });
        const resumed = await board.expectOk('poll', { ...viewer, role: 'viewer', since: bogus.since });
        assert.deepEqual(resumed.frames.map((f) => Buffer.from(f.payload, 'base64').toString()), ['p7']);
        await board.expectOk('close', viewer);
    });

    it('Close.HostStreamingBeforeClaim_StillReceivesClose', async () => {
        // The host saw the session in a heartbeat, but the viewer gave up before the claim arrived.
        const viewer = await board.openSession();
        const beat = await board.expectOk('heartbeat', { id: HOST_ID, hostToken: HOST_TOKEN });
        assert.equal(beat.pending.sessionId, viewer.sessionId);
        await board.expectOk('close', viewer);

        const claimed = await board.post('claim', { sessionId: viewer.sessionId, sessionToken: viewer.token });
        assert.equal(claimed.status, 410);
        const polled = await board.expectOk('poll', { ...viewer, role: 'host', since: 0 });
        assert.deepEqual(polled.frames.map((f) => decode(f.payload)), [CLOSE]);
        // Repeated, in case that answer was lost on its way to the host.
        const again = await board.expectOk('poll', { ...viewer, role: 'host', since: 0 });
        assert.deepEqual(again.frames.map((f) => decode(f.payload)), [CLOSE]);
    });

    it('Close.WithAReason_ViewerIsRefusedWithItCleaned', async () => {
        const viewer = await board.openSession();
        await board.expectOk('claim', { sessionId: viewer.sessionId, sessionToken: viewer.token });
        await board.expectOk('close', { ...viewer, reason: '\u202eScreen sharing was not allowed on that computer\n' });
        const refused = await board.post('poll', { ...viewer, role: 'viewer', since: 0 });
        assert.equal(refused.status, 410);
        assert.deepEqual(refused.body, { error: 'Screen sharing was not allowed on that computer' });
        const polled = await board.expectOk('poll', { ...viewer, role: 'host', since: 0 });
        assert.deepEqual(polled.frames.map((f) => decode(f.payload)), [CLOSE]);
    });

    it('Close.EmptyCopiesOfAViewerThatNeverConnected_AnsweredAndNothingEnded', async () => {
        // A viewer ended before its connect came back posts the empty copies it holds.
        const open = await board.openSession();
        const answer = await board.post('close', { sessionId: '', token: '' });
        assert.deepEqual([answer.status, answer.body], [200, { ok: true }]);
        await board.expectOk('poll', { ...open, role: 'viewer', since: 0 });
        // Only an empty session ID names nothing; a missing one is still malformed.
        assert.equal((await board.post('close', { token: '' })).status, 400);
        await board.expectOk('close', open);
    });

    it('Close.ViewerInputBeforeClose_ReachesHostBeforeTheClose', async () => {
        const viewer = await board.openSession();
        await board.expectOk('claim', { sessionId: viewer.sessionId, sessionToken: viewer.token });
        const key = { type: 'key', codeName: 'enter', key: '\r', down: true };
        await board.expectOk('push', { ...viewer, role: 'viewer', kind: 'json', payload: encode(key) });
        await board.expectOk('close', viewer);
        const polled = await board.expectOk('poll', { ...viewer, role: 'host', since: 0 });
        assert.deepEqual(polled.frames.map((f) => decode(f.payload)), [key, CLOSE]);
    });

    it('Pending.TwoViewers_HostIsOfferedTheOldestUnclaimed', async () => {
        const first = await board.openSession({ clientName: 'First' });
        const second = await board.openSession({ clientName: 'Second' });
        const beat = await board.expectOk('heartbeat', { id: HOST_ID, hostToken: HOST_TOKEN });
        assert.equal(beat.pending.clientName, 'First');
        await board.expectOk('close', first);
        const next = await board.expectOk('heartbeat', { id: HOST_ID, hostToken: HOST_TOKEN });
        assert.equal(next.pending.sessionId, second.sessionId);
        await board.expectOk('close', second);
    });

    it('Origin.SetFromLoopback_AnsweredInHeartbeat', async () => {
        // Set by this machine's own host: proven by its key, and naming its ID and token.
        const own = { headers: hostProof() };
        const registered = await board.request('/v1/register', { id: HOST_ID, password: PASSWORD, hostToken: HOST_TOKEN }, own);
        assert.equal(registered.status, 200);
        const set = await board.request('/v1/origin', { origin: 'https://quiet-river-1234.trycloudflare.com/', id: HOST_ID, hostToken: HOST_TOKEN }, own);
        assert.equal(set.status, 200);
        const beat = await board.expectOk('heartbeat', { id: HOST_ID, hostToken: HOST_TOKEN });
        assert.equal(beat.origin, 'https://quiet-river-1234.trycloudflare.com');
    });

    it('Output.AfterManyRequests_OnlyTheListeningLine', async () => {
        const { stdout, stderr } = board.output();
        assert.match(stdout, /^listening on 127\.0\.0\.1:\d+\n$/);
        assert.equal(stderr, '');
    });
});
