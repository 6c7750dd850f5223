// Encrypted sessions through the switchboard: a host names the addition, a viewer opens without
// the password, every opening counts as a guess until the host confirms it, and the sealed kinds
// keep the rules of the kinds they carry. Peers that speak the protocol without the addition see
// nothing new.

import assert from 'node:assert/strict';
import { afterEach, beforeEach, describe, it } from 'node:test';
import { HOST_ID, HOST_TOKEN, PASSWORD, encode, startClockedSwitchboard } from './harness.mjs';

const GUESS_LIMIT = 3;
const PLAIN_HOST_ID = '222333444';
const ONLY_HOST_ID = '333444555';

describe('Switchboard encrypted sessions', () => {
    let board;
    beforeEach(async () => {
        board = await startClockedSwitchboard({ guessLimit: GUESS_LIMIT, lookupBurst: 1000, maxHostPendingSessions: 100 });
        await board.expectOk('register', {
            id: HOST_ID, name: 'Studio', platform: 'macos', password: PASSWORD, hostToken: HOST_TOKEN, features: ['e2e'],
        });
        await board.expectOk('register', { id: PLAIN_HOST_ID, name: 'Old', platform: 'macos', password: PASSWORD, hostToken: HOST_TOKEN });
        await board.expectOk('register', { id: ONLY_HOST_ID, name: 'Only', hostToken: HOST_TOKEN, features: ['e2e', 'e2e-only'] });
        for (const id of [HOST_ID, PLAIN_HOST_ID, ONLY_HOST_ID]) await board.expectOk('heartbeat', { id, hostToken: HOST_TOKEN });
    });
    afterEach(async () => { await board.stop(); });

    const openEncrypted = (id = HOST_ID) => board.post('connect', { clientName: 'Laptop', clientPlatform: 'macos', features: ['e2e'], id });
    const pendingOf = async (id) => (await board.expectOk('heartbeat', { id, hostToken: HOST_TOKEN })).pending;
    const confirm = (sessionId, { id = HOST_ID, hostToken = HOST_TOKEN } = {}) => board.post('confirm', { hostToken, id, sessionId });

    it('Compatibility.PeersWithoutTheAddition_SeeTodaysAnswers', async () => {
        // A host that names nothing: its lookup, connect and pending are today's, member for member.
        assert.deepEqual(await board.expectOk('lookup', { id: PLAIN_HOST_ID }), { found: true, online: true, name: 'Old', platform: 'macos' });
        const plain = await board.expectOk('connect', { id: PLAIN_HOST_ID, password: 'abcd efgh', clientName: 'Pixel' });
        assert.deepEqual(Object.keys(plain).sort(), ['deviceToken', 'maxWaitMs', 'sessionId', 'sessionToken', 'transport']);
        assert.deepEqual(await pendingOf(PLAIN_HOST_ID), { sessionId: plain.sessionId, sessionToken: plain.sessionToken, clientName: 'Pixel' });

        // A viewer of today reaching a host that offers encryption connects with its password as
        // always; the only new member it meets is in the lookup, which it ignores.
        assert.deepEqual(await board.expectOk('lookup', { id: HOST_ID }),
            { found: true, online: true, name: 'Studio', platform: 'macos', features: ['e2e'] });
        const today = await board.expectOk('connect', { id: HOST_ID, password: PASSWORD, clientName: 'Pixel' });
        assert.equal(typeof today.deviceToken, 'string');
        assert.deepEqual(await pendingOf(HOST_ID), { sessionId: today.sessionId, sessionToken: today.sessionToken, clientName: 'Pixel' });
        assert.equal((await board.post('connect', { id: HOST_ID, password: 'ZZZZ-ZZZZ' })).body.error, 'Wrong password');
    });

    it('Opening.WithoutPassword_PendingMarkedAndNoDeviceToken', async () => {
        // A "password" member in an encrypted connect is never read: a wrong one changes nothing.
        const { status, body } = await board.post('connect', { features: ['e2e'], id: HOST_ID, password: 'ZZZZ-ZZZZ', clientName: 'Laptop' });
        assert.equal(status, 200);
        assert.deepEqual(Object.keys(body).sort(), ['maxWaitMs', 'sessionId', 'sessionToken', 'transport']);
        assert.deepEqual(await pendingOf(HOST_ID), { sessionId: body.sessionId, sessionToken: body.sessionToken, clientName: 'Laptop', e2e: true });
        await board.expectOk('claim', { sessionId: body.sessionId, sessionToken: body.sessionToken });
        assert.deepEqual(await board.expectOk('confirm', { hostToken: HOST_TOKEN, id: HOST_ID, sessionId: body.sessionId }), { ok: true });
    });

    it('Guesses.UnconfirmedOpenings_CountAsWrongPasswords', async () => {
        // Each opening spends a guess at once; past the limit the address waits, as after wrong passwords.
        for (let i = 0; i < GUESS_LIMIT; i += 1) assert.equal((await openEncrypted()).status, 200, `opening ${i}`);
        const refused = await openEncrypted();
        assert.equal(refused.status, 429);
        assert.match(refused.body.error, /^Too many wrong passwords/);
        // The same wait holds for a password typed in the clear.
        assert.equal((await board.post('connect', { id: HOST_ID, password: PASSWORD })).status, 429);
    });

    it('Guesses.ConfirmedOpenings_GiveTheirGuessBack', async () => {
        for (let i = 0; i < 3 * GUESS_LIMIT; i += 1) {
            const { status, body } = await openEncrypted();
            assert.equal(status, 200, `opening ${i}`);
            assert.equal((await confirm(body.sessionId)).status, 200);
            // A second word of the host gives nothing more back.
            assert.equal((await confirm(body.sessionId)).status, 200);
        }
        // Still only the limit's worth of unconfirmed openings before the wait: nothing was given twice.
        for (let i = 0; i < GUESS_LIMIT; i += 1) assert.equal((await openEncrypted()).status, 200, `unconfirmed ${i}`);
        assert.equal((await openEncrypted()).status, 429);
    });

    it('Refusal.EachCase_StatusAndReason', async () => {
        const plain = await board.expectOk('connect', { id: HOST_ID, password: PASSWORD });
        const encrypted = (await openEncrypted()).body;
        const cases = [
            ['Connect.EncryptedToHostWithoutIt', () => openEncrypted(PLAIN_HOST_ID), 409, 'That PC does not offer encrypted sessions'],
            ['Connect.PlainToEncryptedOnlyHost', () => board.post('connect', { id: ONLY_HOST_ID, password: PASSWORD }), 403,
                'That PC accepts only encrypted connections'],
            ['Confirm.WrongHostToken', () => confirm(encrypted.sessionId, { hostToken: 'b'.repeat(48) }), 403, 'Wrong host token'],
            ['Confirm.UnknownSession', () => confirm('f'.repeat(32)), 404, 'Unknown session'],
            ['Confirm.AnotherHostsSession', () => confirm(encrypted.sessionId, { id: PLAIN_HOST_ID }), 404, 'Unknown session'],
            ['Confirm.PlainSession', () => confirm(plain.sessionId), 409, 'That session is not encrypted'],
            ['Register.OnlyEncryptedWithoutAddition', () => board.post('register', { id: '444555666', hostToken: HOST_TOKEN, features: ['e2e-only'] }),
                400, '"password" is required'],
            ['Register.FeaturesNotAList', () => board.post('register', { id: '444555666', hostToken: HOST_TOKEN, password: PASSWORD, features: 'e2e' }),
                400, '"features" must be a list of names'],
            ['Push.SealedInPlainSession', () => board.post('push', {
                kind: 'sealed-json', role: 'viewer', sessionId: plain.sessionId, token: plain.sessionToken, payload: encode('x'),
            }), 400, 'That session is not encrypted'],
            ['Push.ViewerSealedPicture', () => board.post('push', {
                kind: 'sealed-jpeg', role: 'viewer', sessionId: encrypted.sessionId, token: encrypted.sessionToken, payload: encode('x'),
            }), 400, '"kind" must be "json" or "jpeg"'],
        ];
        for (const [name, send, status, error] of cases) {
            const answer = await send();
            assert.equal(answer.status, status, name);
            assert.equal(answer.body.error, error, name);
        }
        // The plain connect refused by the encrypted-only host counted no guess.
        for (let i = 0; i < GUESS_LIMIT; i += 1) assert.equal((await openEncrypted(ONLY_HOST_ID)).status, 200, `opening ${i}`);
    });

    it('Sealed.KindsKeepTheirRules_PicturesReplaceAndTilesFollow', async () => {
        const { sessionId, sessionToken: token } = (await openEncrypted()).body;
        await board.expectOk('claim', { sessionId, sessionToken: token });
        const host = { role: 'host', sessionId, token };
        const viewer = { role: 'viewer', sessionId, token };
        const push = (kind, text) => board.post('push', { ...host, kind, payload: encode(text) });

        // Tiles need a picture first, sealed or not.
        assert.equal((await push('sealed-tiles', 'tiles-0')).status, 409);
        for (const [kind, text] of [['sealed-json', 'hello'], ['sealed-jpeg', 'picture-1'], ['sealed-tiles', 'tiles-1'],
            ['sealed-jpeg', 'picture-2'], ['sealed-tiles', 'tiles-2'], ['sealed-json', 'cursor']]) {
            assert.equal((await push(kind, text)).status, 200, `${kind} ${text}`);
        }
        // The second picture replaced the first and its tiles; json frames all stay.
        const answer = await board.expectOk('poll', { ...viewer, since: 0 });
        assert.deepEqual(answer.frames.map(({ kind, payload }) => [kind, Buffer.from(payload, 'base64').toString()]), [
            ['sealed-json', 'hello'], ['sealed-jpeg', 'picture-2'], ['sealed-tiles', 'tiles-2'], ['sealed-json', 'cursor'],
        ]);
        // The viewer's sealed messages reach the host once, in order, beside plain ones.
        await board.expectOk('push', { ...viewer, kind: 'json', payload: encode('e2e-share') });
        await board.expectOk('push', { ...viewer, kind: 'sealed-json', payload: encode('key') });
        const taken = await board.expectOk('poll', { ...host, since: 0 });
        assert.deepEqual(taken.frames.map(({ kind }) => kind), ['json', 'sealed-json']);
    });
});
