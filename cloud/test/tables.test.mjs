// Tables and budgets filled from outside: hosts registered through the tunnel share bounded room
// with a cap for each, and this machine's own host, proven by its key, always has its place.

import assert from 'node:assert/strict';
import { after, before, describe, it } from 'node:test';
import { HOST_KEY, PASSWORD, hostProof, startClockedSwitchboard } from './harness.mjs';

const LOCAL_ID = '500000000';
const LOCAL_TOKEN = 'd'.repeat(48);
const OUTSIDE_IDS = ['500000001', '500000002', '500000003'];
const OUTSIDE_TOKEN = 'e'.repeat(48);
const HOST_SHARE = 2000;

describe('Switchboard tables filled from outside', () => {
    let board;
    before(async () => {
        board = await startClockedSwitchboard({
            hostKey: HOST_KEY, maxHosts: OUTSIDE_IDS.length, maxSessions: 4, maxHostPendingSessions: 2,
            maxStoredBytes: 3000, maxHostStoredBytes: HOST_SHARE,
        });
    });
    after(async () => { await board.stop(); });

    const own = { headers: hostProof() };
    const register = (id, token, options = {}) => board.request('/v1/register', { id, password: PASSWORD, hostToken: token }, options);
    const beat = (id, token) => board.expectOk('heartbeat', { id, hostToken: token });
    const connect = (id) => board.post('connect', { id, password: PASSWORD });
    const push = (s, size) => board.post('push', { sessionId: s.sessionId, token: s.sessionToken, role: 'host', kind: 'json', payload: 'A'.repeat(size) });

    it('Tables.FullFromOutside_LocalHostKeepsItsPlaceAndOthersTheirs', async () => {
        // A stranger takes the local host's ID before it registers; every other place is taken.
        assert.equal((await register(LOCAL_ID, OUTSIDE_TOKEN)).status, 200);
        for (const id of OUTSIDE_IDS.slice(0, 2)) assert.equal((await register(id, OUTSIDE_TOKEN)).status, 200);
        assert.equal((await register(OUTSIDE_IDS[2], OUTSIDE_TOKEN)).status, 503);

        // The local host registers all the same, and its ID is its own from now on.
        assert.equal((await register(LOCAL_ID, LOCAL_TOKEN, own)).status, 200);
        assert.equal((await register(LOCAL_ID, OUTSIDE_TOKEN)).status, 403);
        // It no longer counts among the hosts from outside, so their last place is free again.
        assert.equal((await register(OUTSIDE_IDS[2], OUTSIDE_TOKEN)).status, 200);
        for (const id of OUTSIDE_IDS) await beat(id, OUTSIDE_TOKEN);
        await beat(LOCAL_ID, LOCAL_TOKEN);

        // One host's viewers past its own cap are refused; another host's are not.
        const a = [(await connect(OUTSIDE_IDS[0])).body, (await connect(OUTSIDE_IDS[0])).body];
        assert.equal((await connect(OUTSIDE_IDS[0])).status, 503);
        const b = [(await connect(OUTSIDE_IDS[1])).body, (await connect(OUTSIDE_IDS[1])).body];
        assert.ok(b.every((s) => typeof s.sessionId === 'string'));
        // The outside hosts' sessions fill their pool; the local host's viewer still gets in.
        assert.equal((await connect(OUTSIDE_IDS[2])).status, 503);
        const local = (await connect(LOCAL_ID)).body;
        assert.equal(typeof local.sessionId, 'string');

        // Stored bytes: one host up to its share, the hosts from outside up to theirs together,
        // and the local host has its share besides.
        const steps = [
            ['A to its share', () => push(a[0], HOST_SHARE), 200],
            ['A past its share', () => push(a[1], 1), 503],
            ['B to the pool', () => push(b[0], 1000), 200],
            ['B past the pool, within its share', () => push(b[1], 1), 503],
            ['the local host, to its share', () => push(local, HOST_SHARE), 200],
        ];
        for (const [what, step, status] of steps) assert.equal((await step()).status, status, what);
    });
});
