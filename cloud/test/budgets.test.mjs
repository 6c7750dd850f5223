// Bytes a client can make the switchboard hold: a push body before its session is known, bodies
// in flight across all connections, and pictures pinned by answers their readers never take.

import assert from 'node:assert/strict';
import { afterEach, describe, it } from 'node:test';
import { RawConnection, encode, startClockedSwitchboard } from './harness.mjs';

const MB = 1024 * 1024;

/** A push body in this app's order, session members first, around a payload of `size` bytes. */
const membersFirst = (s, size, fill = 'A') => `{"kind":"jpeg","role":"host","sessionId":"${s.sessionId}","token":"${s.token}","payload":"${fill.repeat(size)}"}`;

const payloadFirst = (s, size, fill = 'A') => `{"payload":"${fill.repeat(size)}","kind":"jpeg","role":"host","sessionId":"${s.sessionId}","token":"${s.token}"}`;

describe('Switchboard bytes before and after a session is shown', () => {
    let board;
    afterEach(async () => { await board.stop(); });

    const session = async (id) => {
        const s = await board.openSession({ id });
        await board.expectOk('claim', { sessionId: s.sessionId, sessionToken: s.token });
        return s;
    };
    const viewerFrames = async (s) => (await board.expectOk('poll', { ...s, role: 'viewer', since: 0 })).frames;

    it('Push.SessionMembersFirst_RefusedBeforeThePayloadIsRead', async () => {
        board = await startClockedSwitchboard();
        const s = await session('300000001');
        const ended = await session('300000002');
        await board.expectOk('close', ended);
        const cases = [
            ['wrong token', { ...s, token: 'f'.repeat(64) }, 403],
            ['unknown session', { ...s, sessionId: 'e'.repeat(32) }, 404],
            ['ended session', ended, 410],
        ];
        for (const [what, members, status] of cases) {
            // Declares 8 MB and sends the head and a little of the payload; the answer must not
            // wait for the rest, which never comes.
            const connection = await board.rawConnection();
            const body = membersFirst(members, 8 * MB);
            connection.write(RawConnection.head('/v1/push', Buffer.byteLength(body)));
            connection.write(body.slice(0, 64 * 1024));
            const answer = await connection.answer();
            assert.equal(answer?.status, status, what);
            assert.equal(await connection.whenClosed(), true, what);
        }
        // The session itself still takes pictures.
        await board.expectOk('push', { ...s, role: 'host', kind: 'jpeg', payload: encode('still') });
    });

    it('Push.PayloadFirst_SmallUnlessTheConnectionShowedThatSession', async () => {
        board = await startClockedSwitchboard();
        const s = await session('300000003');
        const other = await session('300000004');
        const large = 100 * 1024;
        const cases = [
            // [what, session the connection shows first (by polling), pushed payload size, status]
            ['small, fresh connection', null, 1024, 200],
            ['large, fresh connection', null, large, 413],
            ['large, after a poll of that session', s, large, 200],
            ['large, after a poll of another session', other, large, 403],
        ];
        for (const [what, shown, size, status] of cases) {
            const connection = await board.rawConnection();
            if (shown !== null) assert.equal((await connection.post('poll', { ...shown, role: 'viewer', since: 0 })).status, 200, what);
            const body = payloadFirst(s, size, 'B');
            connection.write(RawConnection.head('/v1/push', body.length));
            connection.write(body);
            const answer = await connection.answer();
            assert.equal(answer?.status, status, what);
            const frames = await viewerFrames(s);
            if (status === 200) assert.deepEqual(frames.map((f) => f.payload.length), [size], what);
            connection.close();
        }
    });

    it('Budget.BodiesInFlight_RefusedPastTheBudgetAndGivenBack', async () => {
        board = await startClockedSwitchboard({ maxInFlightBytes: MB, maxPushBytes: 700 * 1024 });
        const a = await session('300000005');
        const b = await session('300000006');
        const held = 600 * 1024;

        // A's body is on its way, most of it read; B's whole picture does not fit beside it.
        const slow = await board.rawConnection();
        const body = membersFirst(a, held);
        // Written on a raw connection, all but the last bytes, once the service has read them.
        const holdBody = async (connection) => {
            const read = board.read.bodyBytes + body.length - 10;
            connection.write(RawConnection.head('/v1/push', body.length));
            connection.write(body.slice(0, body.length - 10));
            await board.until(() => board.read.bodyBytes >= read, 'the body held back');
        };
        await holdBody(slow);
        assert.equal((await board.request('/v1/push', membersFirst(b, held), { raw: true })).status, 503);

        // Once A's body is complete, its bytes are stored, no longer in flight, and B's fits.
        slow.write(body.slice(body.length - 10));
        assert.equal((await slow.answer()).status, 200);
        await board.expectOk('poll', { ...b, role: 'host', since: 0 });
        assert.equal((await board.request('/v1/push', membersFirst(b, held), { raw: true })).status, 200);

        // A client that goes away mid-body gives its bytes back all the same.
        const gone = await board.rawConnection();
        await holdBody(gone);
        assert.equal((await board.request('/v1/push', membersFirst(b, held), { raw: true })).status, 503);
        const closed = board.read.closed + 1;
        gone.close();
        await board.until(() => board.read.closed >= closed, 'the client gone');
        assert.equal((await board.request('/v1/push', membersFirst(b, held), { raw: true })).status, 200);
    });

    it('Budget.UnreadAnswer_HoldsItsPictureUntilTakenOrCutOff', async () => {
        const picture = 8 * MB;
        const writeTimeoutMs = 5000;
        board = await startClockedSwitchboard({ maxHostStoredBytes: picture + picture / 2, answerWriteTimeoutMs: writeTimeoutMs });
        const s = await session('300000007');
        const push = (fill) => board.request('/v1/push', membersFirst(s, picture, fill), { raw: true });
        assert.equal((await push('A')).status, 200);

        // A viewer polls the picture and never reads the answers, on three connections; the
        // host's next picture replaces the first in the queue, but the stalled answers still hold
        // it, so there is no room. A fourth poll is not even answered.
        const poll = JSON.stringify({ ...s, role: 'viewer', since: 0 });
        const answered = board.read.ended + 3;
        const stalled = [];
        for (let i = 0; i < 3; i += 1) {
            const connection = await board.rawConnection();
            connection.stopReading();
            connection.write(RawConnection.head('/v1/poll', poll.length));
            connection.write(poll);
            stalled.push(connection);
        }
        await board.until(() => board.read.ended >= answered, 'the three polls');
        assert.equal((await push('B')).status, 503);
        assert.equal((await board.post('poll', { ...s, role: 'viewer', since: 0 })).status, 429);

        // Past the write deadline the connections are cut, and what they held is let go.
        board.advance(writeTimeoutMs - 1);
        assert.equal((await push('B')).status, 503);
        board.advance(2);
        assert.equal((await push('B')).status, 200);
        assert.equal((await board.post('poll', { ...s, role: 'viewer', since: 0 })).status, 200);
        for (const connection of stalled) {
            connection.resumeReading();
            assert.equal(await connection.whenClosed(), true);
        }
    });
});
