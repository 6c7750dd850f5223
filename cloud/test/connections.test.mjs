// What one connection can make the switchboard do: a flood of connections that never finish a
// request (new clients are still heard, and the connections that have gone longest without an
// exchange make room for them), requests sent ahead of their answers (one at a time, a few at
// most), and bodies that trickle in (cut once they fall behind the minimum rate).

import assert from 'node:assert/strict';
import { after, before, describe, it } from 'node:test';
import {
    HOST_ID, HOST_KEY, HOST_TOKEN, PASSWORD, RawConnection, encode, hostProof, startClockedSwitchboard,
} from './harness.mjs';

const MAX_CONNECTIONS = 64;
const MIN_RATE = 2048;
const GRACE_MS = 5000;

describe('Switchboard connections', () => {
    let board;
    before(async () => {
        board = await startClockedSwitchboard({
            maxConnections: MAX_CONNECTIONS, hostKey: HOST_KEY, minBodyBytesPerSecond: MIN_RATE, slowBodyGraceMs: GRACE_MS,
        });
    });
    after(async () => { await board.stop(); });

    it('Connection.FloodOfIdleAndTrickling_NewClientServedAndLongestQuietShed', async () => {
        await board.expectOk('register', { id: HOST_ID, password: PASSWORD, hostToken: HOST_TOKEN });
        board.agent.destroy();
        // This machine's host, its proof on its first request, opened its connection first of all.
        const heartbeat = JSON.stringify({ id: HOST_ID, hostToken: HOST_TOKEN });
        const proofLine = Object.entries(hostProof()).map(([name, value]) => `${name}: ${value}`);
        const local = await board.rawConnection();
        const beat = async () => {
            local.write(RawConnection.head('/v1/heartbeat', heartbeat.length, proofLine) + heartbeat);
            return (await local.answer())?.status;
        };
        assert.equal(await beat(), 200);
        const open = async (count, text) => {
            const connections = [];
            for (let i = 0; i < count; i += 1) {
                const connection = await board.rawConnection();
                if (text !== '') connection.write(text);
                connections.push(connection);
                board.advance(1);
            }
            return connections;
        };
        const idle = await open(MAX_CONNECTIONS, '');
        const trickling = await open(MAX_CONNECTIONS / 2, 'POST /v1/lookup HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Le');

        // Far more than the limit were opened, and a new client is answered all the same.
        const started = Date.now();
        const answer = await board.post('lookup', { id: HOST_ID });
        assert.equal(answer.status, 200);
        assert.equal(answer.body.found, true);
        assert.ok(Date.now() - started < 2000, `answered after ${Date.now() - started} ms`);

        // Those shed were the longest quiet: the first idle ones, never the newest.
        const closed = await Promise.all([...idle, ...trickling].map((connection) => connection.whenClosed(100)));
        const firstOpen = closed.indexOf(false);
        assert.ok(firstOpen >= MAX_CONNECTIONS / 2, `only ${firstOpen} shed`);
        assert.deepEqual(closed.slice(firstOpen), closed.slice(firstOpen).map(() => false), 'shed out of order');
        // The local host's connection, the oldest of all, is still there.
        assert.equal(await beat(), 200);
        for (const connection of [...idle, ...trickling]) connection.close();
    });

    const GET_PAGE = 'GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n';
    const rawPost = (name, body) => RawConnection.head(`/v1/${name}`, Buffer.byteLength(body)) + body;

    it('Pipelining.RequestsSentAhead_OneAtATimeInOrderAndAFewAtMost', async () => {
        const lookup = rawPost('lookup', JSON.stringify({ id: HOST_ID }));
        const bigPush = rawPost('push', `{"payload":"${'A'.repeat(8000)}"}`);
        const cases = [
            // [what, requests written at once, all answered (else the connection is closed)]
            ['a page request and a lookup ahead', [GET_PAGE, lookup], true],
            ['as many as may wait', [GET_PAGE, GET_PAGE, lookup, GET_PAGE, lookup], true],
            ['one more than may wait', [GET_PAGE, GET_PAGE, GET_PAGE, GET_PAGE, GET_PAGE, GET_PAGE], false],
            ['64 KB of page requests', Array(Math.ceil(65536 / GET_PAGE.length)).fill(GET_PAGE), false],
            ['a large body ahead', [lookup, bigPush], false],
        ];
        for (const [what, requests, allAnswered] of cases) {
            const connection = await board.rawConnection();
            connection.write(requests.join(''));
            const answers = [];
            if (allAnswered) {
                for (let i = 0; i < requests.length; i += 1) answers.push((await connection.answer())?.status);
                assert.deepEqual(answers, requests.map(() => 200), what);
                assert.equal(connection.closed, false, what);
            } else {
                // Closed, with at most the request that was being served when the rest came answered.
                assert.equal(await connection.whenClosed(), true, what);
                for (let answer = await connection.answer(); answer !== null; answer = await connection.answer()) answers.push(answer.status);
                assert.ok(answers.length <= 1 && answers.every((status) => status === 200), `${what}: ${answers}`);
            }
            connection.close();
        }
        assert.equal((await board.post('lookup', { id: HOST_ID })).status, 200);
    });

    it('Pipelining.AnswerNotTaken_RequestBehindItWaitsUntilItIs', async () => {
        const s = await board.openSession();
        await board.expectOk('claim', { sessionId: s.sessionId, sessionToken: s.token });
        await board.expectOk('push', { ...s, role: 'host', kind: 'jpeg', payload: 'A'.repeat(8 * 1024 * 1024) });
        // A viewer polls the large picture without reading the answer, and sends a key behind it.
        const viewer = await board.rawConnection();
        viewer.stopReading();
        const key = encode({ type: 'key', codeName: 'enter', key: '', down: true });
        const polled = board.read.ended + 1;
        viewer.write(rawPost('poll', JSON.stringify({ ...s, role: 'viewer', since: 0 }))
            + rawPost('push', JSON.stringify({ ...s, role: 'viewer', kind: 'json', payload: key })));
        // The poll is answered; a key served at once behind it would be in by the host's next poll.
        await board.until(() => board.read.ended >= polled, 'the viewer\'s poll');
        assert.deepEqual((await board.expectOk('poll', { ...s, role: 'host', since: 0 })).frames, []);
        // Once the viewer takes the answer, the key is served.
        viewer.resumeReading();
        assert.equal((await viewer.answer()).status, 200);
        assert.equal((await viewer.answer()).status, 200);
        assert.deepEqual((await board.expectOk('poll', { ...s, role: 'host', since: 0 })).frames, [{ kind: 'json', payload: key }]);
        viewer.close();
        await board.expectOk('close', s);
    });

    it('Body.TricklingBelowTheMinimumRate_408AndClosed', async () => {
        const step = 1000;
        const body = JSON.stringify({ id: HOST_ID, padding: ' '.repeat(40_000) });
        const cases = [
            // [what, bytes sent per second of the clock, outcome]
            ['at twice the minimum rate', 2 * MIN_RATE, 200],
            ['at half the minimum rate', MIN_RATE / 2, 408],
        ];
        for (const [what, perStep, status] of cases) {
            const connection = await board.rawConnection();
            connection.write(RawConnection.head('/v1/lookup', body.length));
            let sent = 0;
            while (sent < body.length && !connection.closed) {
                // The clock moves on once the service has taken in what came this second.
                await board.sendAndWait(connection, body.slice(sent, sent + perStep), 'the piece sent');
                sent += perStep;
                board.advance(step);
            }
            const answer = await connection.answer();
            assert.equal(answer?.status, status, what);
            if (status === 408) {
                assert.deepEqual(answer.body, { error: 'The body arrived too slowly' }, what);
                // At half the rate it falls behind once twice the grace period has passed.
                assert.ok(sent <= (2 * GRACE_MS / step + 2) * perStep, `${what}: cut after ${sent} bytes of ${body.length}`);
                assert.equal(await connection.whenClosed(), true, what);
            }
            connection.close();
        }
    });
});
