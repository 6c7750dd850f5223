// Every refusal a client can meet, the password guessing limit, and who may set the origin.

import assert from 'node:assert/strict';
import { after, before, describe, it } from 'node:test';
import { HOST_ID, HOST_KEY, HOST_TOKEN, PASSWORD, encode, hostProof, startClockedSwitchboard } from './harness.mjs';

const GUESS_WINDOW_MS = 2000;
const OFFLINE_ID = '987654321';
const OTHER_TOKEN = 'b'.repeat(48);

describe('Switchboard refusals', () => {
    let board;
    let session;
    before(async () => {
        board = await startClockedSwitchboard({ guessWindowMs: GUESS_WINDOW_MS, hostKey: HOST_KEY });
        session = await board.openSession();
        // Registered but never heartbeating: known, offline.
        await board.expectOk('register', { id: OFFLINE_ID, password: PASSWORD, hostToken: HOST_TOKEN });
    });
    after(async () => { await board.stop(); });

    const cases = () => [
        ['register with another host token', 'register', { id: HOST_ID, password: PASSWORD, hostToken: OTHER_TOKEN }, 403],
        ['register with an ID of 8 digits', 'register', { id: '12345678', password: PASSWORD, hostToken: HOST_TOKEN }, 400],
        ['register without a password', 'register', { id: '111222333', hostToken: HOST_TOKEN }, 400],
        ['register with a password of no password characters', 'register', { id: '111222333', password: '0101-IOIO', hostToken: HOST_TOKEN }, 400],
        ['heartbeat with another host token', 'heartbeat', { id: HOST_ID, hostToken: OTHER_TOKEN }, 403],
        ['heartbeat without a host token', 'heartbeat', { id: HOST_ID }, 400],
        ['heartbeat for an unregistered ID', 'heartbeat', { id: '555555555', hostToken: HOST_TOKEN }, 404],
        ['connect to an unknown ID', 'connect', { id: '555555555', password: PASSWORD }, 404, 'Unknown ID'],
        ['connect to an offline PC', 'connect', { id: OFFLINE_ID, password: PASSWORD }, 409, 'That PC is offline'],
        ['claim with the wrong token', 'claim', { sessionId: session.sessionId, sessionToken: 'f'.repeat(64) }, 403],
        ['claim an unknown session', 'claim', { sessionId: 'nope', sessionToken: session.token }, 404],
        ['push without a token', 'push', { sessionId: session.sessionId, role: 'viewer', kind: 'json', payload: '' }, 403],
        ['push with the wrong token', 'push', { sessionId: session.sessionId, token: 'x', role: 'viewer', kind: 'json', payload: '' }, 403],
        ['push with an unknown role', 'push', { ...session, role: 'admin', kind: 'json', payload: '' }, 400],
        ['push of another kind', 'push', { ...session, role: 'viewer', kind: 'png', payload: '' }, 400],
        ['push of a payload that is not base64', 'push', { ...session, role: 'viewer', kind: 'json', payload: '{"type":"close"}' }, 400],
        ['poll an unknown session', 'poll', { sessionId: 'f'.repeat(32), token: session.token, role: 'viewer', since: 0 }, 404],
        ['poll with a text cursor', 'poll', { ...session, role: 'viewer', since: '3' }, 400],
        ['close with the wrong token', 'close', { sessionId: session.sessionId, token: 'wrong' }, 403],
        ['origin that is not a web address', 'origin', { origin: 'javascript:alert(1)' }, 400],
    ];

    it('Refusal.EachBadRequest_StatusAndReadableError', async () => {
        for (const [what, path, body, status, error] of cases()) {
            const answer = await board.post(path, body);
            assert.equal(answer.status, status, what);
            assert.equal(typeof answer.body.error, 'string', what);
            assert.ok(answer.body.error.length > 0, what);
            if (error !== undefined) assert.equal(answer.body.error, error, what);
        }
        // None of them disturbed the session.
        await board.expectOk('poll', { ...session, role: 'viewer', since: 0 });
    });

    it('Body.NotSentAsJson_415OnEveryCallBeforeItIsRead', async () => {
        // What a web page elsewhere can send without asking: a form, or a fetch of text.
        const types = [
            ['text/plain', 415], ['text/plain;charset=UTF-8', 415], ['application/x-www-form-urlencoded', 415],
            ['multipart/form-data; boundary=x', 415], [undefined, 415], ['application/json; charset=utf-8', 200],
        ];
        const register = { id: '333444555', password: PASSWORD, hostToken: HOST_TOKEN };
        for (const path of ['register', 'heartbeat', 'origin', 'prove', 'lookup', 'connect', 'claim', 'push', 'poll', 'close', 'lockout']) {
            for (const [type, status] of types) {
                const headers = type === undefined ? { 'Content-Type': '' } : { 'Content-Type': type };
                const answer = await board.request(`/v1/${path}`, register, { headers });
                if (status === 415) {
                    assert.deepEqual([answer.status, answer.body], [415, { error: 'The body must be sent as application/json' }], `${path} ${type}`);
                } else {
                    assert.notEqual(answer.status, 415, `${path} ${type}`);
                }
            }
        }
        // A registration sent as text left nothing behind.
        await board.request('/v1/register', { ...register, id: '333444556' }, { headers: { 'Content-Type': 'text/plain' } });
        assert.equal((await board.expectOk('lookup', { id: '333444556' })).found, false);
    });

    it('Password.WrongPassword_RefusedWithReadableText', async () => {
        const answer = await board.post('connect', { id: HOST_ID, password: 'WXYZ-WXYZ' });
        assert.equal(answer.status, 403);
        assert.equal(answer.body.error, 'Wrong password');
        board.advance(GUESS_WINDOW_MS);
    });

    it('Password.FiveWrongWithinWindow_LocksThatIdUntilTheWindowPasses', async () => {
        const guess = (password, id = HOST_ID) => board.post('connect', { id, password, clientName: 'Guesser' });
        for (let i = 0; i < 5; i += 1) assert.equal((await guess('ZZZZ-ZZZZ')).status, 403);
        // Locked: even the right password is refused, and so is a sixth guess.
        assert.equal((await guess(PASSWORD)).status, 429);
        assert.equal((await guess('ZZZZ-ZZZZ')).status, 429);
        // Another ID is not affected.
        await board.expectOk('register', { id: '222333444', password: PASSWORD, hostToken: HOST_TOKEN });
        await board.expectOk('heartbeat', { id: '222333444', hostToken: HOST_TOKEN });
        assert.equal((await guess(PASSWORD, '222333444')).status, 200);
        // Still locked just before the window has passed; once it has, the right password opens
        // a session again.
        board.advance(GUESS_WINDOW_MS - 1);
        assert.equal((await guess(PASSWORD)).status, 429);
        board.advance(1);
        await board.expectOk('heartbeat', { id: HOST_ID, hostToken: HOST_TOKEN });
        assert.equal((await guess(PASSWORD)).status, 200);
    });

    it('Password.CompactFormsCompared_TypingVariantsMatchAndEmptyNeverDoes', async () => {
        const variants = [['abcd efgh', 200], ['ABCDEFGH', 200], ['a-b-c-d-e-f-g-h', 200],
            ['ABCD-EFG', 403], ['', 403], ['0000-1111', 403]];
        for (const [password, status] of variants) {
            await board.expectOk('heartbeat', { id: HOST_ID, hostToken: HOST_TOKEN });
            assert.equal((await board.post('connect', { id: HOST_ID, password })).status, status, password);
        }
    });

    it('Origin.ThroughATunnel_Refused', async () => {
        const tunnelled = [
            { 'X-Forwarded-For': '203.0.113.9' },
            { 'CF-Connecting-IP': '203.0.113.9' },
            { 'X-Real-IP': '203.0.113.9' },
            { Forwarded: 'for=203.0.113.9' },
            { Host: 'quiet-river-1234.trycloudflare.com' },
            { Via: '1.1 edge' },
            { 'X-Forwarded-Server': 'edge.example' },
            { 'X-Original-Host': 'quiet-river-1234.trycloudflare.com' },
        ];
        for (const headers of tunnelled) {
            const answer = await board.request('/v1/origin', { origin: 'https://evil.example' }, { headers });
            assert.equal(answer.status, 403, JSON.stringify(headers));
        }
        const beat = await board.expectOk('heartbeat', { id: HOST_ID, hostToken: HOST_TOKEN });
        assert.equal(beat.origin, undefined);
    });

    it('Origin.FromAWebPageOrWithoutTheHostsProof_Refused', async () => {
        const own = `http://127.0.0.1:${board.port}`;
        const proof = hostProof();
        await board.request('/v1/register', { id: HOST_ID, password: PASSWORD, hostToken: HOST_TOKEN }, { headers: proof });
        const cases = [
            // [what, headers, members besides the origin, status]
            // Refused for its type before anything else is looked at.
            ['a cross-site form', { ...proof, Origin: 'https://evil.example', 'Sec-Fetch-Site': 'cross-site', 'Content-Type': 'text/plain' }, {}, 415],
            ['a cross-site fetch of JSON', { ...proof, Origin: 'https://evil.example', 'Sec-Fetch-Site': 'cross-site' }, {}, 403],
            ['a page of another port on this machine', { ...proof, Origin: 'http://127.0.0.1:8080', 'Sec-Fetch-Site': 'same-site' }, {}, 403],
            ['an opaque origin', { ...proof, Origin: 'null' }, {}, 403],
            ['a site relation alone', { ...proof, 'Sec-Fetch-Site': 'cross-site' }, {}, 403],
            ['plain text', { ...proof, 'Content-Type': 'text/plain' }, {}, 415],
            ['a form', { ...proof, 'Content-Type': 'application/x-www-form-urlencoded' }, {}, 415],
            ['without the proof', {}, { id: HOST_ID, hostToken: HOST_TOKEN }, 403],
            ['the proof of another key', hostProof('f'.repeat(64)), { id: HOST_ID, hostToken: HOST_TOKEN }, 403],
            ['without the host token', proof, { id: HOST_ID }, 400],
            ['with another host token', proof, { id: HOST_ID, hostToken: OTHER_TOKEN }, 403],
            ['for a host this machine never registered', proof, { id: OFFLINE_ID, hostToken: HOST_TOKEN }, 409],
            ['the page of this switchboard', { ...proof, Origin: own, 'Sec-Fetch-Site': 'same-origin' }, { id: HOST_ID, hostToken: HOST_TOKEN }, 200],
            ['typed by the user', { ...proof, 'Sec-Fetch-Site': 'none', 'Content-Type': 'application/json; charset=utf-8' }, { id: HOST_ID, hostToken: HOST_TOKEN }, 200],
        ];
        for (const [what, headers, members, status] of cases) {
            const answer = await board.request('/v1/origin', { origin: `https://${status}.example`, ...members }, { headers });
            assert.equal(answer.status, status, what);
            const beat = await board.expectOk('heartbeat', { id: HOST_ID, hostToken: HOST_TOKEN });
            assert.equal(beat.origin === undefined || beat.origin === 'https://200.example', true, what);
        }

        // Two Host headers, loopback first and then a public name, are refused on every path.
        for (const path of ['/v1/origin', '/v1/lookup']) {
            const body = JSON.stringify({ origin: 'https://evil.example', id: HOST_ID });
            const { received } = await board.rawExchange(`POST ${path} HTTP/1.1\r\nHost: 127.0.0.1\r\nHost: quiet-river-1234.trycloudflare.com\r\n`
                + `Content-Type: application/json\r\nContent-Length: ${body.length}\r\n\r\n${body}`);
            assert.match(received, /^HTTP\/1\.1 400 /, path);
        }
    });

    it('Register.SameToken_UpdatesNameAndPassword', async () => {
        await board.expectOk('register', { id: HOST_ID, name: 'Renamed', password: 'JKLM-NPQR', hostToken: HOST_TOKEN });
        await board.expectOk('heartbeat', { id: HOST_ID, hostToken: HOST_TOKEN });
        assert.equal((await board.expectOk('lookup', { id: HOST_ID })).name, 'Renamed');
        assert.equal((await board.post('connect', { id: HOST_ID, password: PASSWORD })).status, 403);
        assert.equal((await board.post('connect', { id: HOST_ID, password: 'jklm-npqr' })).status, 200);
    });

    it('Lookup.UnknownOrMalformedId_NotFound', async () => {
        for (const id of ['555555555', '12345', '12345678a', 'x'.repeat(1000)]) {
            assert.deepEqual(await board.expectOk('lookup', { id }), { found: false, online: false }, id);
        }
    });

    it('Queue.HostFramesToClosedViewer_Refused', async () => {
        await board.expectOk('close', session);
        const answer = await board.post('push', { ...session, role: 'host', kind: 'jpeg', payload: encode('late') });
        assert.equal(answer.status, 410);
    });
});
