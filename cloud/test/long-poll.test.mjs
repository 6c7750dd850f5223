// Polls and pushes held until there is something to answer: a poll that names "waitMs" waits for
// a frame, the session's end, the other side falling quiet or its wait being over; a push that
// names it waits for its frame to be taken. Everything without the member is answered at once,
// byte for byte as before. On a clock the test moves, so waits end when the test says.

import assert from 'node:assert/strict';
import { afterEach, beforeEach, describe, it } from 'node:test';
import {
    HOST_ID, HOST_KEY, HOST_TOKEN, PASSWORD, RawConnection, decode, encode, hostProof, startClockedSwitchboard,
} from './harness.mjs';

const MAX_WAIT_MS = 25_000;
const QUIET_LIMIT_MS = 4000;
const CLOSE = { type: 'close' };
const input = (kind) => ({ type: 'input', kind, x: 0.5, y: 0.5, button: 0, clickCount: 1, deltaX: 0, deltaY: 0 });

describe('Switchboard long polls and paced pushes', () => {
    let board;
    let s;
    let viewer;
    let host;
    beforeEach(async () => {
        board = await startClockedSwitchboard({ hostKey: HOST_KEY });
        s = await board.openSession();
        await board.expectOk('claim', { sessionId: s.sessionId, sessionToken: s.token });
        viewer = { ...s, role: 'viewer' };
        host = { ...s, role: 'host' };
    });
    afterEach(async () => { await board.stop(); });

    const push = (who, kind, payload, extra = {}) => board.post('push', { ...who, kind, payload, ...extra });
    /** Starts a poll that names waitMs; resolves once the switchboard holds it (and `others`). */
    async function held(who, members = {}, others = 0) {
        const answer = board.post('poll', { ...who, since: 0, waitMs: MAX_WAIT_MS, ...members });
        await board.untilHeld(1 + others);
        // Wrapped: an async function returning the promise itself would wait for the answer.
        return { answer };
    }
    /** Still held after the clock moved: what ends a wait runs as the clock moves. */
    const stillHeld = (count = 1) => assert.equal(board.heldCount(), count, 'still held');

    it('Announcement.ConnectAndClaim_NameMaxWaitMsOldPollsKeepTheirBytes', async () => {
        const connected = await board.post('connect', { id: HOST_ID, password: PASSWORD, clientName: 'Phone' });
        assert.equal(connected.body.maxWaitMs, MAX_WAIT_MS);
        assert.ok(connected.text.endsWith(`,"maxWaitMs":${MAX_WAIT_MS}}`), connected.text);
        const claimed = await board.post('claim', { sessionId: connected.body.sessionId, sessionToken: connected.body.sessionToken });
        assert.equal(claimed.text, `{"ok":true,"maxWaitMs":${MAX_WAIT_MS}}`);
        // A poll and a push that do not name it: answered at once, as always.
        const cases = [
            ['viewer poll, nothing waiting', 'poll', { ...viewer, since: 0 }, '{"frames":[],"since":0}'],
            ['host poll, nothing waiting', 'poll', { ...host, since: 0 }, '{"frames":[],"since":0}'],
            ['viewer push', 'push', { ...viewer, kind: 'json', payload: encode(input('move')) }, '{"ok":true}'],
        ];
        for (const [what, path, body, text] of cases) {
            const answer = await board.post(path, body);
            assert.deepEqual([answer.status, answer.text], [200, text], what);
        }
        assert.equal((await board.post('poll', { ...viewer, since: 0, waitMs: 'soon' })).text, '{"error":"\\"waitMs\\" must be a number"}');
        assert.equal((await push(viewer, 'json', encode(input('move')), { waitMs: [1] })).status, 400);
    });

    it('Poll.Held_WokenByTheOtherSidesPushAndAnsweredWithItsFrames', async () => {
        const cases = [
            // [what, who polls, who pushes, kind, payload]
            ['a picture for the viewer', viewer, host, 'jpeg', encode('picture-1')],
            ['input for the host', host, viewer, 'json', encode(input('down'))],
        ];
        for (const [what, poller, pusher, kind, payload] of cases) {
            const { answer } = await held(poller);
            assert.deepEqual((await push(pusher, kind, payload)).body, { ok: true }, what);
            const { status, body, text } = await answer;
            assert.equal(status, 200, what);
            assert.deepEqual(body.frames, [{ kind, payload }], what);
            // The members keep their order, the addition last.
            assert.match(text, /^\{"frames":\[.*\],"since":\d+,"peerQuietMs":\d+\}$/, what);
            assert.ok(body.peerQuietMs <= QUIET_LIMIT_MS, what);
        }
        // Frames already waiting answer a poll at once, held or not.
        await push(host, 'jpeg', encode('picture-2'));
        const now = await board.post('poll', { ...viewer, since: 0, waitMs: MAX_WAIT_MS });
        assert.deepEqual(now.body.frames.map((frame) => frame.payload), [encode('picture-2')]);
    });

    it('Poll.WaitOver_AnsweredEmptyAtItsWaitClampedToTheMaximum', async () => {
        const cases = [
            // [what, waitMs asked, the wait it gets]
            ['a short wait', 1000, 1000],
            ['past the maximum', 10 ** 9, MAX_WAIT_MS],
        ];
        for (const [what, waitMs, expected] of cases) {
            const { answer } = await held(viewer, { waitMs });
            // Both sides keep reaching the switchboard, so neither looks quiet meanwhile.
            for (let moved = 0; moved < expected - 1000; moved += 1000) {
                board.advance(1000);
                await board.expectOk('heartbeat', { id: HOST_ID, hostToken: HOST_TOKEN });
            }
            board.advance(999);
            stillHeld();
            board.advance(1);
            const { body } = await answer;
            assert.deepEqual(body.frames, [], what);
            assert.equal(body.since, 0, what);
        }
        // A wait of 0 holds nothing, and says how quiet the other side is all the same.
        const at = await board.post('poll', { ...viewer, since: 0, waitMs: 0 });
        assert.deepEqual(Object.keys(at.body), ['frames', 'since', 'peerQuietMs']);
    });

    it('Poll.NewerOfTheSameSide_AnswersTheOlderEmptyItsCursorKept', async () => {
        await push(host, 'jpeg', encode('seen'));
        const first = await board.expectOk('poll', { ...viewer, since: 0 });
        const { answer: older } = await held(viewer, { since: first.since });
        const { answer: hostHeld } = await held(host, {}, 1);
        const newer = board.post('poll', { ...viewer, since: first.since, waitMs: MAX_WAIT_MS });
        const { body } = await older;
        assert.deepEqual([body.frames, body.since], [[], first.since]);
        // The newer one is held in its place and gets the next picture; the host's poll stays held.
        await board.untilHeld(2);
        await push(host, 'jpeg', encode('next'));
        assert.deepEqual((await newer).body.frames.map((frame) => frame.payload), [encode('next')]);
        await push(viewer, 'json', encode(input('move')));
        assert.equal((await hostHeld).body.frames.length, 1);
    });

    it('Poll.SessionEnds_ViewerRefusedWithTheReasonHostPollsTheClose', async () => {
        const { answer: viewerPoll } = await held(viewer);
        const { answer: hostPoll } = await held(host, {}, 1);
        await board.expectOk('close', { ...s, reason: 'Screen sharing was not allowed on that computer' });
        const refused = await viewerPoll;
        assert.deepEqual([refused.status, refused.body], [410, { error: 'Screen sharing was not allowed on that computer' }]);
        assert.deepEqual((await hostPoll).body.frames.map((frame) => decode(frame.payload)), [CLOSE]);
        // After the end, a poll that names a wait is refused or answered at once, never held.
        assert.equal((await board.post('poll', { ...viewer, since: 0, waitMs: MAX_WAIT_MS })).status, 410);
        assert.deepEqual((await board.expectOk('poll', { ...host, since: 0, waitMs: MAX_WAIT_MS })).frames.map((f) => decode(f.payload)), [CLOSE]);
    });

    it('Poll.ClientGoesAway_NothingHeldAndNothingLost', async () => {
        const connection = await board.rawConnection();
        const body = JSON.stringify({ ...viewer, since: 0, waitMs: MAX_WAIT_MS });
        connection.write(RawConnection.head('/v1/poll', body.length) + body);
        await board.untilHeld(1);
        connection.close();
        await board.untilHeld(0);
        // The picture pushed since went to no one: the viewer's next poll gets it.
        await push(host, 'jpeg', encode('kept'));
        assert.deepEqual((await board.expectOk('poll', { ...viewer, since: 0 })).frames.map((f) => f.payload), [encode('kept')]);
    });

    it('PeerQuiet.OtherSideSilent_HeldPollAnsweredEarlyThenWhenItIsBack', async () => {
        // The host sends nothing from now on: past the limit, the viewer's held poll is answered.
        const { answer } = await held(viewer);
        board.advance(QUIET_LIMIT_MS);
        stillHeld();
        board.advance(1);
        const early = (await answer).body;
        assert.deepEqual([early.frames, early.peerQuietMs], [[], QUIET_LIMIT_MS + 1]);

        // Polled again while the host is still quiet: held, not answered again at once.
        const { answer: next } = await held(viewer);
        board.advance(2000);
        stillHeld();
        // The host heartbeats again: the viewer hears it at once.
        await board.expectOk('heartbeat', { id: HOST_ID, hostToken: HOST_TOKEN });
        assert.deepEqual((await next).body.peerQuietMs, 0);
    });

    it('PeerQuiet.ViewerHoldingAPoll_CountsAsThereForTheHost', async () => {
        const { answer: viewerPoll } = await held(viewer);
        const { answer: hostPoll } = await held(host, {}, 1);
        // The host's heartbeats keep it there for the viewer too.
        for (let moved = 0; moved < 2 * QUIET_LIMIT_MS; moved += 1000) {
            board.advance(1000);
            await board.expectOk('heartbeat', { id: HOST_ID, hostToken: HOST_TOKEN });
        }
        stillHeld(2);
        await push(viewer, 'json', encode(input('move')));
        assert.equal((await hostPoll).body.peerQuietMs, 0);
        await push(host, 'jpeg', encode('picture'));
        assert.ok((await viewerPoll).body.peerQuietMs <= QUIET_LIMIT_MS);
    });

    it('Push.Paced_AnsweredWhenTakenReplacedOrTheWaitIsOver', async () => {
        const paced = (who, kind, payload, waitMs = MAX_WAIT_MS) => push(who, kind, payload, { waitMs });
        // Taken by the other side's poll, an old-style one included.
        let pushed = paced(host, 'jpeg', encode('p1'));
        await board.untilHeld(1);
        await board.expectOk('poll', { ...viewer, since: 0 });
        assert.equal((await pushed).text, '{"ok":true,"taken":true}');
        pushed = paced(viewer, 'json', encode(input('down')));
        await board.untilHeld(1);
        await board.expectOk('poll', { ...host, since: 0 });
        assert.deepEqual((await pushed).body, { ok: true, taken: true });

        // Replaced by a newer picture before anyone took it.
        const replaced = paced(host, 'jpeg', encode('p2'));
        await board.untilHeld(1);
        const newer = paced(host, 'jpeg', encode('p3'));
        assert.deepEqual((await replaced).body, { ok: true, taken: false });
        // The wait is over.
        await board.untilHeld(1);
        board.advance(MAX_WAIT_MS);
        assert.deepEqual((await newer).body, { ok: true, taken: false });

        // At most two held per side: a third answers the oldest at once.
        const messages = [];
        for (const kind of ['down', 'up', 'move']) {
            messages.push(paced(viewer, 'json', encode(input(kind))));
            await board.untilHeld(Math.min(2, messages.length));
        }
        assert.deepEqual((await messages[0]).body, { ok: true, taken: false });
        await board.expectOk('poll', { ...host, since: 0 });
        assert.deepEqual((await Promise.all(messages.slice(1))).map((answer) => answer.body.taken), [true, true]);

        // The session's end drops what the viewer never took.
        const last = paced(host, 'jpeg', encode('p4'));
        await board.untilHeld(1);
        await board.expectOk('close', s);
        assert.deepEqual((await last).body, { ok: true, taken: false });
    });

    it('Budgets.HeldPolls_NotAnswersOnTheirWayAndNotInTheWayOfOtherRequests', async () => {
        // Each side holds its poll; a viewer that polls again and again only replaces its own.
        const { answer: hostPoll } = await held(host);
        let { answer: viewerPoll } = await held(viewer, {}, 1);
        for (let i = 0; i < 5; i += 1) {
            const newer = board.post('poll', { ...viewer, since: 0, waitMs: MAX_WAIT_MS });
            const replaced = await viewerPoll;
            assert.deepEqual([replaced.status, replaced.body.frames], [200, []], `poll ${i}`);
            viewerPoll = newer;
            await board.untilHeld(2);
        }
        // Requests on other connections are answered at once meanwhile, held ones stay held.
        const others = [
            ['heartbeat', { id: HOST_ID, hostToken: HOST_TOKEN }],
            ['lookup', { id: HOST_ID }],
            ['push', { ...viewer, kind: 'json', payload: encode(input('move')) }],
        ];
        for (const [path, body] of others) assert.equal((await board.post(path, body)).status, 200, path);
        assert.equal((await hostPoll).body.frames.length, 1, 'the host took the input');
        await push(host, 'jpeg', encode('picture'));
        assert.deepEqual((await viewerPoll).body.frames.map((frame) => frame.payload), [encode('picture')]);
    });

    it('Budgets.FloodOfHeldPollsFromOutside_ShedBeforeThisMachinesHost', async () => {
        await board.stop();
        // A small table, so that a few held polls fill it.
        board = await startClockedSwitchboard({ hostKey: HOST_KEY, maxConnections: 32, maxHostLiveSessions: 40, maxHostPendingSessions: 40 });
        const own = { headers: hostProof() };
        const LOCAL_ID = '100200300';
        await board.request('/v1/register', { id: LOCAL_ID, password: PASSWORD, hostToken: HOST_TOKEN }, own);
        await board.request('/v1/heartbeat', { id: LOCAL_ID, hostToken: HOST_TOKEN }, own);
        const mine = (await board.expectOk('connect', { id: LOCAL_ID, password: PASSWORD }));
        const local = { sessionId: mine.sessionId, token: mine.sessionToken, role: 'host' };
        await board.request('/v1/claim', { sessionId: local.sessionId, sessionToken: local.token }, own);
        // This machine's host holds its poll on a connection of its own.
        const localConnection = await board.rawConnection();
        const localBody = JSON.stringify({ ...local, since: 0, waitMs: MAX_WAIT_MS });
        localConnection.write(RawConnection.head('/v1/poll', localBody.length, Object.entries(hostProof()).map(([k, v]) => `${k}: ${v}`)) + localBody);
        await board.untilHeld(1);

        // Strangers' sessions, each side holding a poll on a connection of its own: more than fit.
        const strangers = [];
        for (let i = 0; i < 20; i += 1) {
            const opened = await board.openSession({ id: '900000001' });
            await board.expectOk('claim', { sessionId: opened.sessionId, sessionToken: opened.token });
            for (const role of ['viewer', 'host']) {
                const connection = await board.rawConnection();
                const body = JSON.stringify({ ...opened, role, since: 0, waitMs: MAX_WAIT_MS });
                connection.write(RawConnection.head('/v1/poll', body.length) + body);
                strangers.push(connection);
                board.advance(1);
            }
        }
        const shed = (await Promise.all(strangers.map((connection) => connection.whenClosed(200)))).filter(Boolean).length;
        assert.ok(shed > 0, 'some strangers\' held polls were shed');
        // The oldest were shed first, and this machine's host still holds its poll: a viewer's
        // input wakes it.
        assert.equal(await strangers.at(-1).whenClosed(50), false, 'the newest held poll is kept');
        assert.equal((await board.post('push', { ...local, role: 'viewer', kind: 'json', payload: encode(input('move')) })).status, 200);
        const answer = await localConnection.answer();
        assert.equal(answer?.status, 200);
        assert.equal(answer.body.frames.length, 1);
        for (const connection of [...strangers, localConnection]) connection.close();
    });
});
