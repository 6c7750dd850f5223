// The lockout scheme over a day on the switchboard's clock: guessing stays hopeless, a stranger
// who keeps guessing neither locks the owner out nor any other host's owner, and a swarm that
// keeps a host's guesses spent cannot keep out a viewer that connected before. Who a client is
// comes only from the tunnel this machine's host started, and that host can lift a lockout.

import assert from 'node:assert/strict';
import { afterEach, beforeEach, describe, it } from 'node:test';
import { TUNNEL, clientKey, tunnelOf } from '../client-address.mjs';
import {
    CLOUDFLARE_ORIGIN, HOST_KEY, HOST_TOKEN, LOCAL_HOST_ID, PASSWORD, SSH_ORIGIN, hostProof, startClockedSwitchboard,
} from './harness.mjs';

const DAY_MS = 24 * 60 * 60 * 1000;
const OWNER = '198.51.100.7';
const STRANGER = '203.0.113.9';
const WRONG = 'ZZZZ-ZZZZ';
const LOOKUP_BURST = 1000;
// A stranger's pace: far faster than the waits it is made to keep.
const GUESS_EVERY_MS = 60_000;
const DEVICE_TOKEN = /^[0-9a-f]{32}\.[0-9a-f]{64}$/;
const swarmAddress = (i) => `192.0.2.${i % 250}, 10.${i >> 16 & 255}.${i >> 8 & 255}.${i & 255}`;

describe('Switchboard lockout', () => {
    let board;
    beforeEach(async () => {
        // Hosts stay online and sessions are forgotten soon, so that a day passes in a few
        // thousand requests; lookups, limited apart from guesses, are plenty.
        board = await startClockedSwitchboard({
            onlineMs: 2 * DAY_MS, hostForgetMs: 2 * DAY_MS, unclaimedMs: 1000, collectedKeepMs: 1000,
            lookupBurst: LOOKUP_BURST, hostRegistrationBurst: 100, hostKey: HOST_KEY,
        });
        // Behind the ssh tunnel, whose X-Forwarded-For names each client by its last entry.
        await board.publishThrough(SSH_ORIGIN);
    });
    afterEach(async () => { await board.stop(); });

    const register = (id) => board.expectOk('register', { id, password: PASSWORD, hostToken: HOST_TOKEN })
        .then(() => board.expectOk('heartbeat', { id, hostToken: HOST_TOKEN }));
    const connect = (id, from, password, deviceToken) => board.request('/v1/connect',
        { id, password, clientName: 'Viewer', ...(deviceToken === undefined ? {} : { deviceToken }) },
        { headers: { 'X-Forwarded-For': from } });
    /** Wrong guesses from `count` new addresses: enough to spend the host's bucket. */
    let swarmed = 0;
    const swarm = async (id, count) => {
        for (let i = 0; i < count; i += 1) await connect(id, swarmAddress(swarmed += 1), WRONG);
    };

    it('Guess.StrangerKeepsGuessingForADay_FewGuessesAndOwnerNeverWaits', async () => {
        const cases = [
            // [what, address of each guess, most wrong guesses looked at in a day]
            ['one address', () => STRANGER, 120],
            // Forged or real, every guess from an address of its own: the host's own budget holds.
            ['a new address each guess', swarmAddress, 30 + 288],
        ];
        for (const [what, from, most] of cases) {
            const id = what === 'one address' ? '400000001' : '400000002';
            await register(id);
            let looked = 0;
            let ownerWaits = 0;
            for (let i = 0, at = 0; at < DAY_MS; i += 1, at += GUESS_EVERY_MS) {
                const answer = await connect(id, from(i), WRONG);
                if (answer.status === 403) looked += 1;
                else assert.equal(answer.status, 429, `${what}: guess ${i}`);
                // Every ten minutes the owner, elsewhere, connects with the right password.
                if (i % 10 === 0 && what === 'one address') {
                    const owner = await connect(id, OWNER, PASSWORD);
                    if (owner.status !== 200) ownerWaits += 1;
                }
                board.advance(GUESS_EVERY_MS);
            }
            assert.ok(looked <= most, `${what}: ${looked} wrong guesses looked at in a day, at most ${most}`);
            assert.ok(looked >= 30, `${what}: only ${looked}; the test no longer guesses`);
            assert.equal(ownerWaits, 0, `${what}: the owner was refused`);
        }
    });

    it('Guess.StrangerTriesEveryHost_OnlyThatAddressWaits', async () => {
        const ids = Array.from({ length: 20 }, (_, i) => String(400_000_100 + i));
        for (const id of ids) await register(id);
        // Five wrong guesses on each host: the stranger's budget across hosts runs out, and with
        // it the stranger's own guesses, even at hosts it has not tried yet.
        const statuses = [];
        for (const id of ids) for (let i = 0; i < 5; i += 1) statuses.push((await connect(id, STRANGER, WRONG)).status);
        assert.equal(statuses.filter((status) => status === 403).length, 60);
        assert.equal((await connect(ids[19], STRANGER, PASSWORD)).status, 429);
        // Every owner, elsewhere, still gets in at once.
        for (const id of ids) assert.equal((await connect(id, OWNER, PASSWORD)).status, 200, id);
    });

    it('Lookup.ManyFromOneAddress_LimitedThereAndNowhereElse', async () => {
        await board.stop();
        board = await startClockedSwitchboard({ hostKey: HOST_KEY });
        await board.publishThrough(SSH_ORIGIN);
        await register('400000003');
        const lookup = (from) => board.request('/v1/lookup', { id: '400000003' }, { headers: { 'X-Forwarded-For': from } });
        for (let i = 0; i < 60; i += 1) assert.equal((await lookup(STRANGER)).status, 200, `lookup ${i}`);
        const refused = await lookup(STRANGER);
        assert.equal(refused.status, 429);
        assert.equal(refused.headers['retry-after'], '1');
        // A connect tells as much as a lookup, so it is refused too; the owner is not.
        assert.equal((await connect('400000003', STRANGER, PASSWORD)).status, 429);
        assert.equal((await lookup(OWNER)).status, 200);
        board.advance(1000);
        assert.equal((await lookup(STRANGER)).status, 200);
    });

    it('DeviceToken.SwarmKeepsTheHostsGuessesSpentForADay_ViewerThatConnectedBeforeNeverWaits', async () => {
        const id = '400000010';
        await register(id);
        const first = await connect(id, OWNER, PASSWORD);
        assert.equal(first.status, 200);
        assert.match(first.body.deviceToken, DEVICE_TOKEN);
        const token = first.body.deviceToken;
        let looked = 0;
        let ownerRefused = 0;
        let newcomersIn = 0;
        for (let minute = 0; minute * GUESS_EVERY_MS < DAY_MS; minute += 1) {
            // Three addresses a minute: far more than the host's bucket refills.
            for (let i = 0; i < 3; i += 1) {
                const answer = await connect(id, swarmAddress(swarmed += 1), WRONG);
                if (answer.status === 403) looked += 1;
            }
            if (minute % 10 === 0) {
                // The owner, from wherever it is now, with its token; and someone new, without one.
                const owner = await connect(id, `198.51.100.${minute % 200}`, PASSWORD, token);
                if (owner.status !== 200) ownerRefused += 1;
                else assert.equal(owner.body.deviceToken, token);
                if ((await connect(id, `198.18.0.${minute % 200}`, PASSWORD)).status === 200) newcomersIn += 1;
            }
            board.advance(GUESS_EVERY_MS);
        }
        assert.equal(ownerRefused, 0, 'the owner with its device token was refused');
        assert.ok(newcomersIn < 10, `the swarm kept the bucket spent only ${144 - newcomersIn} times of 144`);
        assert.ok(looked <= 30 + 288, `${looked} wrong guesses looked at in a day`);
    });

    it('DeviceToken.OnlyItsHostsAndWithinItsOwnLimits', async () => {
        const [a, b] = ['400000011', '400000012'];
        await register(a);
        await register(b);
        const tokenOf = async (id) => (await connect(id, OWNER, PASSWORD)).body.deviceToken;
        const [phone, laptop, other] = [await tokenOf(a), await tokenOf(a), await tokenOf(b)];
        await swarm(a, 40);
        const cases = [
            // [what, device token, status]
            ['no token', undefined, 429],
            ['its own host\'s token', phone, 200],
            ['another host\'s token', other, 429],
            ['a token changed in its last digit', phone.slice(0, -1) + (phone.endsWith('0') ? '1' : '0'), 429],
            ['a token of the right shape, made up', `${'a'.repeat(32)}.${'b'.repeat(64)}`, 429],
            ['anything else', 'x'.repeat(5000), 429],
            ['not text', 12, 400],
        ];
        for (const [what, token, status] of cases) {
            assert.equal((await connect(a, OWNER, PASSWORD, token)).status, status, what);
        }
        // A token's holder guessing wrong, from anywhere, spends its token's own bucket, not the
        // other devices'.
        const wrong = [];
        for (let i = 0; i < 4; i += 1) wrong.push((await connect(a, `198.51.100.${50 + i}`, WRONG, phone)).status);
        assert.deepEqual(wrong, [403, 403, 403, 429]);
        assert.equal((await connect(a, OWNER, PASSWORD, phone)).status, 429);
        assert.equal((await connect(a, OWNER, PASSWORD, laptop)).status, 200);
        board.advance(60 * 60_000);
        await board.expectOk('heartbeat', { id: a, hostToken: HOST_TOKEN });
        assert.equal((await connect(a, OWNER, PASSWORD, phone)).status, 200);
    });

    it('Lockout.ThisMachinesHost_ReadsItAndLiftsIt', async () => {
        const proof = hostProof();
        const own = { id: LOCAL_HOST_ID, hostToken: HOST_TOKEN };
        await board.request('/v1/heartbeat', own, { headers: proof });
        const lockout = (body, headers = {}) => board.request('/v1/lockout', body, { headers: { ...proof, ...headers } });
        assert.deepEqual((await lockout(own)).body, { addresses: 0, locked: false, waitMs: 0, wrongGuesses: 0 });

        await swarm(LOCAL_HOST_ID, 32);
        const read = (await lockout(own)).body;
        assert.deepEqual({ ...read, waitMs: read.waitMs > 0 }, { addresses: 30, locked: true, waitMs: true, wrongGuesses: 30 });
        assert.equal((await connect(LOCAL_HOST_ID, OWNER, PASSWORD)).status, 429);
        assert.deepEqual((await lockout({ ...own, lift: true })).body, { addresses: 0, locked: false, waitMs: 0, wrongGuesses: 0 });
        assert.equal((await connect(LOCAL_HOST_ID, OWNER, PASSWORD)).status, 200);

        const refusals = [
            // [what, body, headers, status, error]
            ['through the tunnel', own, { 'X-Forwarded-For': STRANGER }, 403, 'Only this machine may ask'],
            ['from a web page elsewhere', own, { Origin: 'https://evil.example', 'Sec-Fetch-Site': 'cross-site' }, 403, 'Requests from other sites are refused'],
            ['without the proof', own, { 'Kivren-Host-Proof': 'x' }, 403, 'Only the host of this machine may ask'],
            ['for a host from outside', { id: '400000099', hostToken: HOST_TOKEN }, {}, 409, 'This machine\'s host has not registered yet'],
            ['with another host token', { ...own, hostToken: 'b'.repeat(48) }, {}, 403, 'Wrong host token'],
            ['"lift" not true or false', { ...own, lift: 'yes' }, {}, 400, '"lift" must be true or false'],
            ['sent as text', own, { 'Content-Type': 'text/plain' }, 415, 'The body must be sent as application/json'],
        ];
        await register('400000099');
        for (const [what, body, headers, status, error] of refusals) {
            assert.deepEqual(await lockout(body, headers).then((answer) => [answer.status, answer.body]), [status, { error }], what);
        }
    });

    it('Lockout.ThisMachinesHost_CollectsFailedAttemptsOnce', async () => {
        const proof = hostProof();
        const own = { id: LOCAL_HOST_ID, hostToken: HOST_TOKEN };
        await board.request('/v1/heartbeat', own, { headers: proof });
        const lockout = (body) => board.request('/v1/lockout', body, { headers: proof }).then((answer) => answer.body);
        assert.equal((await lockout(own)).attempts, undefined, 'only a host that asks collects');
        assert.deepEqual((await lockout({ ...own, collect: true })).attempts, []);

        await connect(LOCAL_HOST_ID, STRANGER, WRONG);
        await swarm(LOCAL_HOST_ID, 30);
        await connect(LOCAL_HOST_ID, OWNER, PASSWORD);
        const { attempts } = await lockout({ ...own, collect: true });
        // The newest 32 of 32 failures: the stranger's wrong password first, the owner's lockout last.
        assert.equal(attempts.length, 32);
        assert.deepEqual(attempts[0], { at: attempts[0].at, outcome: 'wrong-password', clientName: 'Viewer', clientAddress: STRANGER });
        assert.deepEqual(attempts.at(-1), { at: attempts.at(-1).at, outcome: 'locked-out', clientName: 'Viewer', clientAddress: OWNER });
        assert.ok(attempts.every((attempt) => Number.isFinite(attempt.at)));
        assert.deepEqual((await lockout({ ...own, collect: true })).attempts, [], 'handed over once');
        assert.equal((await board.request('/v1/lockout', { ...own, collect: 1 }, { headers: proof })).status, 400);
    });

    it('Ask.HostThatAsksFirst_ViewerToldAndHostShownWhereItCameFrom', async () => {
        const cases = [
            // [what, register's "unattended", connect answer's "unattended"]
            ['left out', undefined, undefined],
            ['true', true, undefined],
            ['false', false, false],
        ];
        let n = 10;
        for (const [what, unattended, told] of cases) {
            const id = `4000000${n += 1}`;
            await board.expectOk('register', { id, password: PASSWORD, hostToken: HOST_TOKEN, ...(unattended === undefined ? {} : { unattended }) });
            await board.expectOk('heartbeat', { id, hostToken: HOST_TOKEN });
            const answer = await board.request('/v1/connect', { id, password: PASSWORD, clientName: 'Pixel', clientPlatform: 'android' },
                { headers: { 'X-Forwarded-For': STRANGER } });
            assert.equal(answer.status, 200, what);
            assert.equal(answer.body.unattended, told, what);
            const { pending } = await board.expectOk('heartbeat', { id, hostToken: HOST_TOKEN });
            assert.deepEqual({ ...pending, sessionId: 0, sessionToken: 0 },
                { sessionId: 0, sessionToken: 0, clientName: 'Pixel', clientPlatform: 'android', clientAddress: STRANGER }, what);
        }
    });

    it('Address.NamedOnlyByTheTunnelThisHostStarted', async () => {
        const request = (headers, remoteAddress = '127.0.0.1') => ({ headers, socket: { remoteAddress } });
        const cases = [
            // [what, tunnel, headers, socket address, key]
            ['no tunnel: a forwarded address', TUNNEL.none, { 'x-forwarded-for': STRANGER }, undefined, 'unnamed'],
            ['no tunnel: Cloudflare\'s header', TUNNEL.none, { 'cf-connecting-ip': STRANGER }, undefined, 'unnamed'],
            ['no tunnel: a client that is not on loopback', TUNNEL.none, {}, OWNER, OWNER],
            ['Cloudflare: its header', TUNNEL.cloudflare, { 'cf-connecting-ip': STRANGER, 'x-forwarded-for': OWNER }, undefined, STRANGER],
            ['Cloudflare: a forwarded address alone', TUNNEL.cloudflare, { 'x-forwarded-for': STRANGER }, undefined, 'unnamed'],
            ['ssh: the last forwarded entry', TUNNEL.ssh, { 'x-forwarded-for': `${OWNER}, ${STRANGER}` }, undefined, STRANGER],
            ['ssh: an IPv6 address by its /64', TUNNEL.ssh, { 'x-forwarded-for': '2001:db8:1:2:3:4:5:6' }, undefined, '2001:db8:1:2::/64'],
            ['ssh: Cloudflare\'s header', TUNNEL.ssh, { 'cf-connecting-ip': STRANGER }, undefined, 'unnamed'],
            ['ssh: other proxies\' headers', TUNNEL.ssh, { 'x-real-ip': STRANGER, 'true-client-ip': STRANGER }, undefined, 'unnamed'],
        ];
        for (const [what, tunnel, headers, address, key] of cases) {
            assert.equal(clientKey(request(headers, address), tunnel), key, what);
        }
        const origins = [
            [new URL(CLOUDFLARE_ORIGIN).hostname, TUNNEL.cloudflare], [new URL(SSH_ORIGIN).hostname, TUNNEL.ssh],
            ['abc.pinggy.link', TUNNEL.ssh], ['trycloudflare.com.evil.example', TUNNEL.none], ['eviltrycloudflare.com', TUNNEL.none],
        ];
        for (const [hostname, tunnel] of origins) assert.equal(tunnelOf(hostname), tunnel, hostname);

        // Until this machine's host names its tunnel, forged addresses share one budget.
        await board.stop();
        board = await startClockedSwitchboard({ hostKey: HOST_KEY, lookupBurst: 5 });
        const lookup = (from) => board.request('/v1/lookup', { id: '400000013' }, { headers: { 'X-Forwarded-For': from } });
        for (let i = 0; i < 5; i += 1) assert.equal((await lookup(`203.0.113.${i}`)).status, 200);
        assert.equal((await lookup('203.0.113.100')).status, 429);
        await board.publishThrough(SSH_ORIGIN);
        assert.equal((await lookup('203.0.113.101')).status, 200);
    });
});
