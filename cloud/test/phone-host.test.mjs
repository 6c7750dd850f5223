// A host written the way phone libraries write JSON: members sorted, or in a hash map's order,
// so that the payload comes before the session; a new connection per request or one kept alive;
// pictures of a phone's screen. Every picture is taken and reaches its viewer.

import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import http from 'node:http';
import { after, before, describe, it } from 'node:test';
import { HOST_TOKEN, PASSWORD, RawConnection, startClockedSwitchboard } from './harness.mjs';

const KB = 1024;
const PICTURE_SIZES = [150 * KB, 200 * KB, 250 * KB];

// The member orders of the push body: sorted (Go maps, Qt's QJsonObject, Python's sort_keys,
// Swift's .sortedKeys), the payload first, and a Java HashMap's.
const ORDERS = {
    sorted: ['kind', 'payload', 'role', 'sessionId', 'token'],
    payloadFirst: ['payload', 'kind', 'role', 'sessionId', 'token'],
    hashMap: ['role', 'payload', 'kind', 'sessionId', 'token'],
};

const bodyIn = (order, members) => `{${order.map((name) => `${JSON.stringify(name)}:${JSON.stringify(members[name])}`).join(',')}}`;

/** JPEG file bytes of about `size`: start and end markers around noise, as the switchboard sees it. */
const jpeg = (size) => Buffer.concat([Buffer.from([0xff, 0xd8, 0xff, 0xe0]), crypto.randomBytes(size - 6), Buffer.from([0xff, 0xd9])]);

/** Posts `text` through `agent` (false: a connection of its own); resolves with { status, body }. */
function post(port, agent, name, text) {
    return new Promise((resolve, reject) => {
        const request = http.request({
            host: '127.0.0.1', port, path: `/v1/${name}`, method: 'POST', agent,
            headers: { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(text) },
        }, (response) => {
            const chunks = [];
            response.on('data', (chunk) => chunks.push(chunk));
            response.on('end', () => resolve({ status: response.statusCode, body: JSON.parse(Buffer.concat(chunks).toString('utf8')) }));
        });
        request.on('error', reject);
        request.end(text);
    });
}

describe('A phone host', () => {
    let board;
    before(async () => { board = await startClockedSwitchboard(); });
    after(async () => { await board.stop(); });

    /** A host that registers, is offered a viewer's session and claims it, all through `agent`. */
    async function phoneSession(id, agent) {
        const send = (name, members) => post(board.port, agent, name, JSON.stringify(members));
        assert.equal((await send('register', { hostToken: HOST_TOKEN, id, name: 'Phone', password: PASSWORD, platform: 'android', unattended: true })).status, 200);
        assert.equal((await send('heartbeat', { hostToken: HOST_TOKEN, id })).status, 200);
        const opened = await board.expectOk('connect', { id, password: PASSWORD, clientName: 'Viewer' });
        const beat = await send('heartbeat', { hostToken: HOST_TOKEN, id });
        assert.equal(beat.body.pending.sessionId, opened.sessionId);
        assert.equal((await send('claim', { sessionId: opened.sessionId, sessionToken: opened.sessionToken })).status, 200);
        return { sessionId: opened.sessionId, token: opened.sessionToken };
    }

    it('Pictures.AnyMemberOrderOnAnyConnection_EveryOneTakenAndSeen', async () => {
        const connections = [
            ['a new connection per request', () => false],
            ['one keep-alive connection', () => new http.Agent({ keepAlive: true, maxSockets: 1 })],
        ];
        let id = 600_000_000;
        for (const [how, makeAgent] of connections) {
            for (const [orderName, order] of Object.entries(ORDERS)) {
                const what = `${how}, ${orderName}`;
                const agent = makeAgent();
                const s = await phoneSession(String(id += 1), agent);
                let since = 0;
                for (const size of PICTURE_SIZES) {
                    const payload = jpeg(size).toString('base64');
                    const pushed = await post(board.port, agent, 'push', bodyIn(order, { ...s, role: 'host', kind: 'jpeg', payload }));
                    assert.equal(pushed.status, 200, `${what}, ${size} bytes: ${JSON.stringify(pushed.body)}`);
                    // The host polls its viewer's messages between pictures, as the loop does.
                    assert.equal((await post(board.port, agent, 'poll', bodyIn(['role', 'since', 'sessionId', 'token'], { ...s, role: 'host', since: 0 }))).status, 200, what);
                    const seen = await board.expectOk('poll', { ...s, role: 'viewer', since });
                    since = seen.since;
                    assert.deepEqual(seen.frames, [{ kind: 'jpeg', payload }], `${what}, ${size} bytes`);
                }
                if (agent) agent.destroy();
            }
        }
    });

    it('Pushes.TwoSessionsInTurnOnAPooledConnection_EveryOneTaken', async () => {
        // A tunnel's pool carries the requests of many clients on each of its connections.
        const pooled = await board.rawConnection();
        const a = await phoneSession('600000101', false);
        const b = await phoneSession('600000102', false);
        const input = (x) => Buffer.from(JSON.stringify({ type: 'input', kind: 'move', x, y: 0.5 })).toString('base64');
        const sinces = new Map([[a, 0], [b, 0]]);
        for (let turn = 0; turn < 6; turn += 1) {
            const s = turn % 2 === 0 ? a : b;
            const picture = jpeg(PICTURE_SIZES[turn % PICTURE_SIZES.length]).toString('base64');
            const steps = [
                ['viewer input', ORDERS.hashMap, { ...s, role: 'viewer', kind: 'json', payload: input(turn / 10) }],
                ['picture', ORDERS.payloadFirst, { ...s, role: 'host', kind: 'jpeg', payload: picture }],
            ];
            for (const [what, order, members] of steps) {
                const body = bodyIn(order, members);
                pooled.write(RawConnection.head('/v1/push', Buffer.byteLength(body)) + body);
                assert.equal((await pooled.answer())?.status, 200, `turn ${turn}, ${what}`);
            }
            const hostPoll = await pooled.post('poll', { ...s, role: 'host', since: 0 });
            assert.deepEqual(hostPoll.body.frames, [{ kind: 'json', payload: input(turn / 10) }], `turn ${turn}`);
            const viewerPoll = await pooled.post('poll', { ...s, role: 'viewer', since: sinces.get(s) });
            sinces.set(s, viewerPoll.body.since);
            assert.deepEqual(viewerPoll.body.frames, [{ kind: 'jpeg', payload: picture }], `turn ${turn}`);
        }
        pooled.close();
    });
});
