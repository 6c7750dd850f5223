// The page's encrypted session against a scripted host built from the same exchange and channel
// modules, through an in-memory stand-in for the switchboard's push and poll: the exchange, the
// answer that holds both the host's proof and its sealed hello, a wrong password, a host that
// cannot prove itself, a flipped bit, a replay, and a sealed push that did not get through.

import assert from 'node:assert/strict';
import { describe, it } from 'node:test';
import {
    E2E_FEATURE, ENCRYPTED_IDS_KEY, FAILED_CHECK_REASON, FAILED_REASON, connectBody, offersEncryption, reachedEncrypted, rememberEncrypted, runExchange,
} from '../web/encrypted-session.js';
import { KeyExchange } from '../web/key-exchange.js';
import { RequestFailure } from '../web/switchboard.js';

const PASSWORD = 'ABCD-EFGH';
const HOST_ID = '123456789';
const KEYS = Object.freeze({ sessionId: '9f86d081884c7d659a2feaa0c55ad015', token: 'viewer-token' });
const HELLO = { type: 'hello', width: 1280, height: 720, platform: 'macos', features: ['keys', 'modifiers'] };
const JPEG = Uint8Array.from([0xFF, 0xD8, 0xFF, 0xD9, 1, 2, 3]);

const utf8 = (value) => new TextEncoder().encode(value);
const base64 = (bytes) => Buffer.from(bytes).toString('base64');
const jsonFrame = (message) => ({ kind: 'json', payload: base64(utf8(JSON.stringify(message))) });
const sealedFrame = ({ kind, bytes }) => ({ kind, payload: base64(bytes) });
const answerOf = (frames, since) => JSON.stringify({ frames, since });

/**
 * The switchboard and a host between them: the viewer's pushes reach `host(message or sealed
 * frame)`, which answers with frames the viewer's polls read from a cursor. A close is recorded;
 * a session the host ended answers polls with 410 and its reason.
 */
function scriptedSession(host) {
    const toViewer = [];
    const state = { pushes: [], closes: [], endedWith: null };
    return {
        state,
        toViewer,
        push: async (bodyText) => {
            state.pushes.push(bodyText);
            const body = JSON.parse(bodyText);
            assert.equal(body.sessionId, KEYS.sessionId);
            for (const frame of await host(body)) toViewer.push(frame);
        },
        poll: async (since) => {
            if (state.endedWith !== null) throw new RequestFailure(410, state.endedWith);
            return answerOf(toViewer.slice(since), toViewer.length);
        },
        close: async (reason) => { state.closes.push(reason); },
    };
}

/** A host that runs the exchange with `password`; once confirmed, it sends its hello and a picture, sealed. */
function exchangingHost(password, sessionState) {
    const exchange = KeyExchange.forHost({ password, hostId: HOST_ID, sessionId: KEYS.sessionId, features: HELLO.features });
    const host = { channel: null, received: [] };
    host.take = async (body) => {
        if (host.channel !== null) {
            const opened = host.channel.open(body.kind, new Uint8Array(Buffer.from(body.payload, 'base64')));
            host.received.push(opened);
            return [];
        }
        const step = exchange.receive(JSON.parse(Buffer.from(body.payload, 'base64').toString()));
        if (step.failure !== undefined) {
            // As the app's host does: a wrong proof ends the session as a wrong password would.
            sessionState().endedWith = step.failure === 'wrongConfirmation' ? 'Wrong password' : FAILED_REASON;
            return [];
        }
        const frames = [jsonFrame(step.reply)];
        if (step.established !== undefined) {
            host.channel = step.established.channel;
            frames.push(sealedFrame(host.channel.seal('json', utf8(JSON.stringify(HELLO)))));
            frames.push(sealedFrame(host.channel.seal('jpeg', JPEG)));
        }
        return frames;
    };
    return host;
}

async function established(password = PASSWORD) {
    let session;
    const host = exchangingHost(PASSWORD, () => session.state);
    session = scriptedSession(host.take);
    const outcome = await runExchange({
        keys: KEYS, hostId: HOST_ID, password, features: ['tiles'], holdsPolls: true, ...session,
    });
    return { outcome, host, session };
}

describe('The page\'s encrypted session', () => {
    it('Connect.EncryptedBody_CarriesNoPassword', () => {
        const common = { id: HOST_ID, password: PASSWORD, clientName: 'Web browser', clientPlatform: 'web' };
        assert.deepEqual(connectBody({ ...common, encrypted: true }),
            { id: HOST_ID, features: [E2E_FEATURE], clientName: 'Web browser', clientPlatform: 'web' });
        assert.deepEqual(connectBody({ ...common, encrypted: false, deviceToken: 'dt' }), { ...common, deviceToken: 'dt' });
        assert.equal(offersEncryption({ found: true, features: ['e2e'] }), true);
        for (const found of [{}, { features: 'e2e' }, { features: ['tiles'] }, null]) assert.equal(offersEncryption(found), false);
    });

    it('Connect.IdReachedEncrypted_Remembered_UnreadableKeptAsNone', () => {
        const kept = new Map();
        const storage = { getItem: (key) => kept.get(key) ?? null, setItem: (key, value) => kept.set(key, value) };
        assert.equal(reachedEncrypted(storage, HOST_ID), false);
        rememberEncrypted(storage, HOST_ID);
        rememberEncrypted(storage, '987654321');
        rememberEncrypted(storage, HOST_ID);
        assert.equal(kept.get(ENCRYPTED_IDS_KEY), '["987654321","123456789"]');
        assert.equal(reachedEncrypted(storage, HOST_ID), true);
        for (const unreadable of ['{', '{"a":1}', '[1,2]']) {
            kept.set(ENCRYPTED_IDS_KEY, unreadable);
            assert.equal(reachedEncrypted(storage, HOST_ID), false, unreadable);
        }
        assert.equal(reachedEncrypted(null, HOST_ID), false);
    });

    it('Exchange.ScriptedHost_HelloInTheProofsAnswerIsNotLost', async () => {
        const { outcome, host, session } = await established();
        assert.deepEqual(outcome.peerFeatures, ['keys', 'modifiers']);
        assert.deepEqual(session.state.closes, []);
        // The first poll after the exchange reads the proof's answer again: its plain exchange
        // frames are passed over, the sealed hello and picture opened in order.
        const opened = outcome.session.openAnswer(await session.poll(outcome.since));
        assert.equal(opened.since, session.toViewer.length);
        assert.deepEqual(opened.frames.map(({ kind }) => kind), ['json', 'jpeg']);
        assert.deepEqual(JSON.parse(new TextDecoder().decode(opened.frames[0].bytes)), HELLO);
        assert.deepEqual([...opened.frames[1].bytes], [...JPEG]);

        // The viewer's messages reach the host sealed: nothing of the password or the text shows.
        const typed = { type: 'text', key: 'secret typed words' };
        await outcome.session.push(KEYS, typed, session.push);
        assert.deepEqual(host.received.map(({ kind, bytes }) => [kind, JSON.parse(new TextDecoder().decode(bytes))]), [['json', typed]]);
        const wire = session.state.pushes.join('\n');
        for (const secret of [PASSWORD, 'ABCDEFGH', base64(utf8(PASSWORD)), 'secret typed', base64(utf8(JSON.stringify(typed)))]) {
            assert.equal(wire.includes(secret), false, `${secret} crossed the wire`);
        }
        assert.match(session.state.pushes.at(-1), /^\{"kind":"sealed-json","role":"viewer","sessionId":/);
    });

    it('Exchange.WrongPassword_EndsWithTheHostsReason', async () => {
        await assert.rejects(established('ZZZZ-ZZZZ'), (failure) => failure instanceof RequestFailure
            && failure.code === 410 && failure.description === 'Wrong password');
    });

    // A host that does not prove it knows the password: the viewer closes with the reason and
    // sends nothing more.
    const refusedHosts = [
        ['ForgedProof', () => {
            const real = exchangingHost(PASSWORD, () => ({}));
            return {
                take: async (body) => (await real.take(body)).map((frame) => {
                    if (frame.kind !== 'json') return frame;
                    const message = JSON.parse(Buffer.from(frame.payload, 'base64').toString());
                    if (message.type !== 'e2e-confirm') return frame;
                    return jsonFrame({ ...message, confirm: base64(new Uint8Array(64)) });
                }),
            };
        }],
        ['ShareNotAGroupElement', () => ({
            take: async () => [jsonFrame({ type: 'e2e-share', nonce: base64(new Uint8Array(16)), share: base64(new Uint8Array(32).fill(0xFF)),
                ad: base64(utf8('{"features":[],"version":1,"versions":[1]}')) })],
        })],
        ['NoCommonVersion', () => ({
            take: async () => [jsonFrame({ type: 'e2e-share', nonce: base64(new Uint8Array(16)), share: base64(new Uint8Array(32)),
                ad: base64(utf8('{"features":[],"version":2,"versions":[2]}')) })],
        })],
        ['IdentityShare', () => ({
            take: async () => [jsonFrame({ type: 'e2e-share', nonce: base64(new Uint8Array(16)), share: base64(new Uint8Array(32)),
                ad: base64(utf8('{"features":[],"version":1,"versions":[1]}')) })],
        })],
    ];
    for (const [name, makeHost] of refusedHosts) {
        it(`Exchange.HostRefused_${name}`, async () => {
            const host = makeHost();
            const session = scriptedSession(host.take);
            await assert.rejects(runExchange({ keys: KEYS, hostId: HOST_ID, password: PASSWORD, holdsPolls: true, ...session }),
                (failure) => failure.code === 410 && failure.description === FAILED_REASON);
            assert.deepEqual(session.state.closes, [FAILED_REASON]);
        });
    }

    it('Exchange.SilentHost_GivesUpAtTheLimit', async () => {
        let clock = 0;
        const session = scriptedSession(async () => []);
        const poll = async (since) => {
            clock += 10_000;
            return session.poll(since);
        };
        await assert.rejects(runExchange({
            keys: KEYS, hostId: HOST_ID, password: PASSWORD, holdsPolls: true, ...session, poll, now: () => clock,
        }), (failure) => failure.description === FAILED_REASON);
        assert.deepEqual(session.state.closes, [FAILED_REASON]);
        assert.equal(clock, 40_000, 'polled until the 35 s limit');
    });

    it('Frames.FlippedBit_EndsTheSession_ReplayDropped_PlainIgnored', async () => {
        const { outcome, host, session } = await established();
        outcome.session.openAnswer(await session.poll(outcome.since));
        const next = sealedFrame(host.channel.seal('json', utf8('{"type":"hello","width":1,"height":1}')));

        const flipped = Buffer.from(next.payload, 'base64');
        flipped[flipped.length - 20] ^= 0x01;
        const tampered = answerOf([{ kind: next.kind, payload: flipped.toString('base64') }], 9);
        assert.throws(() => outcome.session.openAnswer(tampered), (failure) => failure.code === 410 && failure.description === FAILED_CHECK_REASON);

        // A refused frame changes nothing: the untouched frame still opens; again, it is a replay.
        assert.equal(outcome.session.openAnswer(answerOf([next], 9)).frames.length, 1);
        assert.deepEqual(outcome.session.openAnswer(answerOf([next, jsonFrame(HELLO)], 10)), { since: 10, frames: [] });

        // A frame that follows one the viewer never got fails its check too.
        host.channel.seal('json', utf8('{"type":"lost"}'));
        const after = sealedFrame(host.channel.seal('json', utf8('{"type":"after"}')));
        assert.throws(() => outcome.session.openAnswer(answerOf([after], 11)), (failure) => failure.description === FAILED_CHECK_REASON);
    });

    it('Push.NotThrough_SentAgainUnchangedAheadOfTheNext', async () => {
        const { outcome, host, session } = await established();
        let failNext = true;
        const flaky = async (body) => {
            if (failNext) {
                failNext = false;
                throw new RequestFailure(0, 'The request timed out.');
            }
            await session.push(body);
        };
        await assert.rejects(outcome.session.push(KEYS, { type: 'key', codeName: 'enter', key: '', down: true }, flaky));
        await outcome.session.push(KEYS, { type: 'key', codeName: 'enter', key: '', down: false }, flaky);
        assert.deepEqual(host.received.map(({ bytes }) => JSON.parse(new TextDecoder().decode(bytes)).down), [true, false]);
        // Had a push arrived after all, the host drops its copy as a replay.
        await session.push(session.state.pushes.at(-1));
        assert.equal(host.received.at(-1).refusal, 'replayed');
    });
});
