// Bytes a client can make the switchboard hold: a push body before its session is known, bodies
// in flight across all connections and per address, and pictures pinned by answers their readers
// never take.

import assert from 'node:assert/strict';
import { afterEach, describe, it } from 'node:test';
import { HOST_KEY, RawConnection, SSH_ORIGIN, encode, startClockedSwitchboard } from './harness.mjs';

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

    it('Push.SessionAfterPayload_TakenUpToTheLargestOnAnyConnectionAndCheckedAtItsEnd', async () => {
        board = await startClockedSwitchboard({ maxPushBytes: MB, maxInFlightBytes: 2 * MB });
        const s = await session('300000003');
        const other = await session('300000004');
        const ended = await session('300000009');
        await board.expectOk('close', ended);
        // The largest payload whose body fits the push limit.
        const largest = MB - payloadFirst(s, 0).length;
        const cases = [
            // [what, session the connection shows first (by polling), body's session, payload size, status]
            ['small, fresh connection', null, s, 1024, 200],
            ['the largest, fresh connection', null, s, largest, 200],
            ['the largest, after a poll of that session', s, s, largest, 200],
            ['the largest, after a poll of another session', other, s, largest, 200],
            ['one byte past the largest', null, s, largest + 1, 413],
            ['wrong token', null, { ...s, token: 'f'.repeat(64) }, largest, 403],
            ['unknown session', null, { ...s, sessionId: 'e'.repeat(32) }, largest, 404],
            ['ended session', null, ended, largest, 410],
        ];
        let since = 0;
        for (const [what, shown, named, size, status] of cases) {
            const connection = await board.rawConnection();
            if (shown !== null) assert.equal((await connection.post('poll', { ...shown, role: 'viewer', since: 0 })).status, 200, what);
            const body = payloadFirst(named, size, 'B');
            connection.write(RawConnection.head('/v1/push', body.length));
            connection.write(body);
            const answer = await connection.answer();
            assert.equal(answer?.status, status, what);
            const polled = await board.expectOk('poll', { ...s, role: 'viewer', since });
            since = polled.since;
            assert.deepEqual(polled.frames.map((f) => f.payload.length), status === 200 ? [size] : [], what);
            connection.close();
        }
        // Every refused body gave its room back: the largest still fits.
        assert.equal((await board.request('/v1/push', payloadFirst(s, largest), { raw: true })).status, 200);
    });

    it('Budget.BodiesNotCheckedYet_RoomPerAddressAndInTotalThen503', async () => {
        board = await startClockedSwitchboard({ maxPushBytes: MB, maxInFlightBytes: 2 * MB, hostKey: HOST_KEY });
        await board.publishThrough(SSH_ORIGIN);
        const s = await session('300000010');
        const from = (address) => [`X-Forwarded-For: ${address}`];
        /** A payload-first push of `size` from `address`, all but its last bytes sent; returns its connection. */
        const holding = async (address, size) => {
            const connection = await board.rawConnection();
            const body = payloadFirst(s, size);
            await board.sendAndWait(connection, RawConnection.head('/v1/push', body.length, from(address)) + body.slice(0, body.length - 10),
                `the body held back from ${address}`);
            return connection;
        };
        const whole = async (address, body) => {
            const connection = await board.rawConnection();
            connection.write(RawConnection.head('/v1/push', body.length, from(address)) + body);
            const answer = await connection.answer();
            connection.close();
            return answer;
        };
        const small = 300 * 1024;
        const a = await holding('198.51.100.1', 900 * 1024);
        const steps = [
            // [what, address, body, status]
            ['past the address\'s room', '198.51.100.1', payloadFirst(s, small), 503],
            ['another address, within its room', '198.51.100.2', payloadFirst(s, small), 200],
        ];
        for (const [what, address, body, status] of steps) {
            const answer = await whole(address, body);
            assert.equal(answer?.status, status, what);
            if (status === 503) assert.equal(answer.headers['retry-after'], '1', what);
            await viewerFrames(s);
        }
        // Two addresses hold most of the room for bodies not checked yet: a third finds none, while
        // a push that shows its session first still has room of its own.
        const c = await holding('198.51.100.3', 500 * 1024);
        assert.equal((await whole('198.51.100.4', payloadFirst(s, small)))?.status, 503);
        assert.equal((await whole('198.51.100.4', membersFirst(s, small)))?.status, 200);
        await viewerFrames(s);
        // The room comes back when the bodies holding it go.
        const closed = board.read.closed + 2;
        a.close();
        c.close();
        await board.until(() => board.read.closed >= closed, 'the clients gone');
        assert.equal((await whole('198.51.100.4', payloadFirst(s, small)))?.status, 200);
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
        const holdBody = (connection) => board.sendAndWait(connection,
            RawConnection.head('/v1/push', body.length) + body.slice(0, body.length - 10), 'the body held back');
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
