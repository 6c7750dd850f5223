// The lockout scheme over a day on the switchboard's clock: guessing stays hopeless, and a
// stranger who keeps guessing neither locks the owner out nor any other host's owner.

import assert from 'node:assert/strict';
import { afterEach, beforeEach, describe, it } from 'node:test';
import { HOST_KEY, HOST_TOKEN, PASSWORD, SSH_ORIGIN, startClockedSwitchboard } from './harness.mjs';

const DAY_MS = 24 * 60 * 60 * 1000;
const OWNER = '198.51.100.7';
const STRANGER = '203.0.113.9';
const WRONG = 'ZZZZ-ZZZZ';
const LOOKUP_BURST = 1000;
// A stranger's pace: far faster than the waits it is made to keep.
const GUESS_EVERY_MS = 60_000;

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
    const connect = (id, from, password) => board.request('/v1/connect', { id, password, clientName: 'Viewer' },
        { headers: { 'X-Forwarded-For': from } });

    it('Guess.StrangerKeepsGuessingForADay_FewGuessesAndOwnerNeverWaits', async () => {
        const cases = [
            // [what, address of each guess, most wrong guesses looked at in a day]
            ['one address', () => STRANGER, 120],
            // Forged or real, every guess from an address of its own: the host's own budget holds.
            ['a new address each guess', (i) => `192.0.2.${i % 250}, 10.${i >> 16 & 255}.${i >> 8 & 255}.${i & 255}`, 30 + 288],
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
});
