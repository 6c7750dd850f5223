// The local host's proof: only a request carrying the header derived from the key the app started
// this switchboard with may ask it to prove itself, and the answer is an HMAC only that key gives.

import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import crypto from 'node:crypto';
import { after, before, describe, it, mock } from 'node:test';
import { createLocalHost } from '../local-host.mjs';
import { SCRIPT, startClockedSwitchboard, startSwitchboard } from './harness.mjs';

const KEY = '0123456789abcdef'.repeat(4);
const OTHER_KEY = 'fedcba9876543210'.repeat(4);
const NONCE = 'a1'.repeat(32);

// Written from the description of the wire, not from the module: a change of label or encoding
// on either side shows here.
const hmac = (key, text) => crypto.createHmac('sha256', Buffer.from(key, 'hex')).update(text).digest('hex');
const headerFor = (key) => hmac(key, 'kivren-host');
const proveWith = (board, headers, body = { nonce: NONCE }) => board.request('/v1/prove', body, { headers });

describe('Local host proof', () => {
    let board;
    let keyless;
    before(async () => {
        board = await startClockedSwitchboard({ hostKey: KEY });
        keyless = await startClockedSwitchboard();
    });
    after(async () => {
        await board.stop();
        await keyless.stop();
    });

    it('Prove.RightKey_AnswersHmacOfTheNonce', async () => {
        const answer = await proveWith(board, { 'Kivren-Host-Proof': headerFor(KEY) });
        assert.equal(answer.status, 200);
        assert.deepEqual(answer.body, { proof: hmac(KEY, `kivren-prove:${NONCE}`) });
        // Another nonce, another answer: nothing can be replayed.
        const again = await proveWith(board, { 'Kivren-Host-Proof': headerFor(KEY) }, { nonce: 'b2'.repeat(32) });
        assert.equal(again.body.proof, hmac(KEY, `kivren-prove:${'b2'.repeat(32)}`));
    });

    it('Prove.WithoutTheProof_Refused', async () => {
        const cases = [
            // [what, switchboard, headers, body, status]
            ['no header', () => board, {}, { nonce: NONCE }, 403],
            ['header of another key', () => board, { 'Kivren-Host-Proof': headerFor(OTHER_KEY) }, { nonce: NONCE }, 403],
            ['the key itself as the header', () => board, { 'Kivren-Host-Proof': KEY }, { nonce: NONCE }, 403],
            ['header in upper case', () => board, { 'Kivren-Host-Proof': headerFor(KEY).toUpperCase() }, { nonce: NONCE }, 403],
            ['header cut short', () => board, { 'Kivren-Host-Proof': headerFor(KEY).slice(0, 63) }, { nonce: NONCE }, 403],
            ['a very long header', () => board, { 'Kivren-Host-Proof': 'a'.repeat(4096) }, { nonce: NONCE }, 403],
            ['a switchboard started without a key', () => keyless, { 'Kivren-Host-Proof': headerFor(KEY) }, { nonce: NONCE }, 403],
            ['a nonce that is not 64 hex digits', () => board, { 'Kivren-Host-Proof': headerFor(KEY) }, { nonce: 'kivren-host' }, 400],
            ['no nonce', () => board, { 'Kivren-Host-Proof': headerFor(KEY) }, {}, 400],
        ];
        for (const [what, which, headers, body, status] of cases) {
            const answer = await proveWith(which(), headers, body);
            assert.equal(answer.status, status, what);
            assert.equal(answer.body.proof, undefined, what);
            assert.equal(typeof answer.body.error, 'string', what);
        }
        // Every other call is answered as it always was, with or without the header.
        assert.equal((await board.post('lookup', { id: '123456789' })).status, 200);
        assert.equal((await board.request('/v1/lookup', { id: '123456789' }, { headers: { 'Kivren-Host-Proof': 'x' } })).status, 200);
    });

    it('Proof.AnyCandidate_ComparedInConstantTimeOverEqualLengths', () => {
        const localHost = createLocalHost(KEY);
        const compare = mock.method(crypto, 'timingSafeEqual');
        try {
            const candidates = [headerFor(KEY), headerFor(OTHER_KEY), 'x', '', headerFor(KEY).slice(1), 'f'.repeat(256)];
            const verdicts = candidates.map((value) => localHost.carriesLocalHostProof({ headers: { 'kivren-host-proof': value } }));
            assert.deepEqual(verdicts, [true, false, false, false, false, false]);
            // Each candidate, whatever its length, reached one compare of two 32-byte digests.
            assert.equal(compare.mock.callCount(), candidates.length);
            for (const call of compare.mock.calls) {
                assert.equal(call.arguments[0].length, 32);
                assert.equal(call.arguments[1].length, 32);
            }
        } finally {
            compare.mock.restore();
        }
    });

    it('Start.KeyFromTheEnvironment_ProvesAndAWrongOneStopsWithoutEchoingIt', async () => {
        const started = await startSwitchboard({ KIVREN_HOST_KEY: KEY });
        try {
            const answer = await proveWith(started, { 'Kivren-Host-Proof': headerFor(KEY) });
            assert.equal(answer.status, 200);
            assert.equal(answer.body.proof, hmac(KEY, `kivren-prove:${NONCE}`));
            // The key never appears in what the switchboard prints.
            const { stdout, stderr } = started.output();
            assert.ok(!stdout.includes(KEY) && !stderr.includes(KEY));
        } finally {
            await started.stop();
        }

        const wrong = 'ABCDEF'.repeat(10) + 'abcd';
        const result = spawnSync(process.execPath, [SCRIPT], {
            env: { ...process.env, KIVREN_PORT: '0', KIVREN_HOST_KEY: wrong }, encoding: 'utf8', timeout: 10_000,
        });
        assert.equal(result.status, 2);
        assert.equal(result.stdout, '');
        assert.equal(result.stderr, 'KIVREN_HOST_KEY must be 64 lowercase hexadecimal digits\n');
    });
});
