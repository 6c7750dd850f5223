// Hostile and malformed requests: each gets a 4xx with a readable error, and the service keeps serving.

import assert from 'node:assert/strict';
import { after, before, describe, it } from 'node:test';
import { HOST_ID, HOST_TOKEN, encode, startSwitchboard } from './harness.mjs';

const MAX_PUSH_BYTES = 256 * 1024;

describe('Switchboard hostile input', () => {
    let board;
    let session;
    before(async () => {
        board = await startSwitchboard({
            KIVREN_MAX_PUSH_BYTES: String(MAX_PUSH_BYTES),
            KIVREN_HEADERS_TIMEOUT_MS: '1000',
            KIVREN_REQUEST_TIMEOUT_MS: '2000',
        });
        session = await board.openSession();
    });
    after(async () => { await board.stop(); });

    const stillServing = async () => {
        const answer = await board.post('lookup', { id: HOST_ID });
        assert.equal(answer.status, 200);
        assert.equal(answer.body.found, true);
    };

    /**
     * Pushes each case's body with `send` and polls as the viewer: the case's payload arrives as
     * the one new frame, or, where 400 is expected, the push is refused and nothing arrives.
     */
    const expectRelayed = async (cases, send) => {
        let since = (await board.expectOk('poll', { ...session, role: 'viewer', since: 0 })).since;
        for (const [what, kind, body, expected] of cases) {
            const pushed = await send(body);
            const polled = await board.expectOk('poll', { ...session, role: 'viewer', since });
            since = polled.since;
            if (expected === 400) {
                assert.equal(pushed.status, 400, what);
                assert.deepEqual(polled.frames, [], what);
            } else {
                assert.equal(pushed.status, 200, what);
                assert.deepEqual(polled.frames, [{ kind, payload: expected }], what);
            }
        }
    };

    it('Body.Malformed_400AndStillServing', async () => {
        const bodies = [
            ['empty', ''],
            ['not JSON', 'hello'],
            ['truncated', '{"id":"123456789"'],
            ['array', '[{"id":"123456789"}]'],
            ['null', 'null'],
            ['number', '42'],
            ['string', '"123456789"'],
            ['deep nesting', `${'['.repeat(20000)}${']'.repeat(20000)}`],
            ['byte order mark', '\uFEFF{"id":"123456789"}'],
            ['invalid UTF-8', Buffer.from([0x7b, 0x22, 0xff, 0xfe, 0x22, 0x7d])],
        ];
        for (const path of ['/v1/lookup', '/v1/push', '/v1/register']) {
            for (const [what, body] of bodies) {
                const answer = await board.request(path, body, { raw: true });
                assert.equal(answer.status, 400, `${path} ${what}`);
                assert.equal(typeof answer.body.error, 'string', `${path} ${what}`);
            }
        }
        await stillServing();
    });

    it('Member.WrongType_400NeverACrash', async () => {
        const s = () => ({ sessionId: session.sessionId, token: session.token });
        const cases = [
            ['register', { id: 123456789, password: 'ABCD-EFGH', hostToken: HOST_TOKEN }],
            ['register', { id: HOST_ID, password: ['ABCD-EFGH'], hostToken: HOST_TOKEN }],
            ['register', { id: HOST_ID, password: 'ABCD-EFGH', hostToken: { toString: 'x' } }],
            ['register', { id: HOST_ID, password: 'ABCD-EFGH', hostToken: HOST_TOKEN, name: 7 }],
            ['register', { id: HOST_ID, password: 'ABCD-EFGH', hostToken: HOST_TOKEN, unattended: 'yes' }],
            ['heartbeat', { id: HOST_ID, hostToken: 12 }],
            ['lookup', { id: 123456789 }],
            ['connect', { id: HOST_ID, password: 12345678 }],
            ['connect', { id: HOST_ID, password: 'ABCD-EFGH', clientName: { name: 'x' } }],
            ['claim', { sessionId: session.sessionId, sessionToken: 5 }],
            ['claim', { sessionId: ['x'], sessionToken: session.token }],
            ['push', { ...s(), role: 'viewer', kind: 'json', payload: 5 }],
            ['push', { ...s(), role: true, kind: 'json', payload: '' }],
            ['push', { ...s(), role: 'viewer', kind: ['json'], payload: '' }],
            ['poll', { ...s(), role: 'viewer', since: { n: 1 } }],
            ['poll', { ...s(), role: 'viewer', since: [1] }],
            ['close', { sessionId: session.sessionId, token: 5 }],
            ['close', { ...s(), reason: { text: 'x' } }],
            ['origin', { origin: 5 }],
        ];
        for (const [path, body] of cases) {
            const answer = await board.post(path, body);
            assert.equal(answer.status, 400, `${path} ${JSON.stringify(body)}`);
            assert.equal(typeof answer.body.error, 'string');
        }
        await stillServing();
        await board.expectOk('poll', { ...s(), role: 'viewer', since: 0 });
    });

    it('Push.BodyShapes_PayloadIsTheMemberInEffect', async () => {
        // The member JSON.parse would pick, whatever the spacing, escaping, nesting or repetition.
        const head = `"sessionId":"${session.sessionId}","token":"${session.token}","role":"host","kind":"json"`;
        const cases = [
            ['compact', `{${head},"payload":"QUJD"}`, 'QUJD'],
            ['spaced', `{${head}, "payload" : "QUJD" }`, 'QUJD'],
            ['escaped slash', `{${head},"payload":"QU\\/D"}`, 'QU/D'],
            ['escaped key', `{${head},"pay\\u006coad":"QUJD"}`, 'QUJD'],
            ['nested decoy first', `{"meta":{"payload":"WFhY"},${head},"payload":"QUJD"}`, 'QUJD'],
            ['decoy inside a text', `{"note":"\\"payload\\":\\"WFhY\\"",${head},"payload":"QUJD"}`, 'QUJD'],
            ['repeated, last wins', `{"payload":"WFhY",${head},"payload":"QUJD"}`, 'QUJD'],
            ['raw control character', `{${head},"payload":"QU\u0001D"}`, 400],
            ['DEL', `{${head},"payload":"QU\u007fD"}`, 400],
            ['escaped control character', `{${head},"payload":"QU\\u0001D"}`, 400],
            ['not ASCII', `{${head},"payload":"QUJ\u00e9"}`, 400],
            ['quote inside', `{${head},"payload":"QU\\"D"}`, 400],
            ['missing', `{${head}}`, 400],
            ['number', `{${head},"payload":1234}`, 400],
        ];
        await expectRelayed(cases.map(([what, body, expected]) => [what, 'json', body, expected]),
            (body) => board.request('/v1/push', body, { raw: true }));
    });

    it('Push.BodyInChunks_PayloadIsTheMemberInEffect', async () => {
        // A body arrives in as many chunks as the network splits it into; where the cuts fall
        // must not change what is relayed or what is refused.
        const head = `"sessionId":"${session.sessionId}","token":"${session.token}","role":"host"`;
        const cases = [
            ['member split', 'json', [`{${head},"kind":"json","pay`, 'load":"QUJD"}'], 'QUJD'],
            ['payload over three chunks', 'json', [`{${head},"kind":"json","payload":"QU`, 'JD', 'RUZH"}'], 'QUJDRUZH'],
            ['quote opens a chunk', 'json', [`{${head},"kind":"json","payload":"QUJD`, '"}'], 'QUJD'],
            ['member ends a chunk', 'json', [`{${head},"kind":"json","payload":"`, 'QUJD"}'], 'QUJD'],
            ['large payload over chunks', 'jpeg', [`{${head},"kind":"jpeg","payload":"${'A'.repeat(20000)}`, 'B'.repeat(20000), `${'C'.repeat(20000)}"}`],
                `${'A'.repeat(20000)}${'B'.repeat(20000)}${'C'.repeat(20000)}`],
            ['rest over chunks', 'jpeg', [`{"kind":"jpeg","payload":"QU`, `JD","sessionId":"${session.sessionId}",`, `"token":"${session.token}","role":"host"}`], 'QUJD'],
            ['escape in a later chunk', 'json', [`{${head},"kind":"json","payload":"QU`, '\\/D"}'], 'QU/D'],
            ['control character in a later chunk', 'json', [`{${head},"kind":"json","payload":"QU`, 'J\u0001D"}'], 400],
            ['not ASCII in a later picture chunk', 'jpeg', [`{${head},"kind":"jpeg","payload":"QU`, 'J\u00e9"}'], 400],
            ['unterminated', 'json', [`{${head},"kind":"json","payload":"QU`, 'JD'], 400],
        ];
        await expectRelayed(cases, (pieces) => board.requestInPieces('/v1/push', pieces));
    });

    it('Route.UnknownPathOrMethod_404Or405', async () => {
        const cases = [
            ['POST', '/', 405], ['POST', '/v1/', 404], ['POST', '/v1/nope', 404], ['POST', '/v2/lookup', 404],
            ['POST', '/v1/lookup/', 404], ['POST', '/v1/__proto__', 404], ['POST', '/v1/constructor', 404],
            ['GET', '/v1/lookup', 405], ['PUT', '/v1/push', 405], ['DELETE', '/v1/close', 405], ['OPTIONS', '/v1/poll', 405],
        ];
        for (const [method, path, status] of cases) {
            const answer = await board.request(path, method === 'GET' ? undefined : { id: HOST_ID }, { method });
            assert.equal(answer.status, status, `${method} ${path}`);
            assert.equal(typeof answer.body.error, 'string');
        }
        await stillServing();
    });

    it('Body.OverTheLimit_413', async () => {
        // Declared too large: refused before any of it is read.
        const declared = await board.rawExchange(
            `POST /v1/push HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: ${MAX_PUSH_BYTES + 1}\r\n\r\n{`);
        assert.match(declared.received, /^HTTP\/1\.1 413 /);
        assert.equal(declared.closed, true);

        // Sent in chunks without a length: refused once it grows past the limit.
        const payload = encode(Buffer.alloc(MAX_PUSH_BYTES));
        const chunked = await board.request('/v1/push',
            JSON.stringify({ ...session, role: 'host', kind: 'jpeg', payload }), { raw: true, headers: { 'Transfer-Encoding': 'chunked' } })
            .catch((error) => ({ status: error.code }));
        assert.ok(chunked.status === 413 || chunked.status === 'ECONNRESET' || chunked.status === 'EPIPE', String(chunked.status));

        // Requests other than a push are small.
        const lookup = await board.post('lookup', { id: HOST_ID, padding: 'x'.repeat(100 * 1024) });
        assert.equal(lookup.status, 413);

        // A picture just inside the limit is taken.
        const fits = encode(Buffer.alloc(Math.floor((MAX_PUSH_BYTES - 400) / 4) * 3));
        await board.expectOk('push', { ...session, role: 'host', kind: 'jpeg', payload: fits });
        await stillServing();
    });

    it('Connection.SlowOrIncomplete_TimedOutAndClosed', async () => {
        const cases = [
            ['headers never finished', 'POST /v1/lookup HTTP/1.1\r\nHost: 127.0.0.1\r\n'],
            ['body never finished', 'POST /v1/lookup HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100\r\n\r\n{"id":'],
            ['nothing sent', ''],
        ];
        const outcomes = await Promise.all(cases.map(([, text]) => board.rawExchange(text, { waitMs: 10_000 })));
        outcomes.forEach((outcome, i) => assert.equal(outcome.closed, true, cases[i][0]));
        await stillServing();
    });

    it('Output.HostileRequests_NothingPrinted', async () => {
        const { stdout, stderr } = board.output();
        assert.match(stdout, /^listening on 127\.0\.0\.1:\d+\n$/);
        assert.equal(stderr, '');
    });
});
