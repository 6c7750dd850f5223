// A flood of connections that never finish a request: new clients are still heard, and the
// connections that have gone longest without an exchange make room for them.

import assert from 'node:assert/strict';
import { after, before, describe, it } from 'node:test';
import { HOST_ID, HOST_KEY, HOST_TOKEN, PASSWORD, RawConnection, hostProof, startClockedSwitchboard } from './harness.mjs';

const MAX_CONNECTIONS = 64;

describe('Switchboard connections', () => {
    let board;
    before(async () => { board = await startClockedSwitchboard({ maxConnections: MAX_CONNECTIONS, hostKey: HOST_KEY }); });
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
});
