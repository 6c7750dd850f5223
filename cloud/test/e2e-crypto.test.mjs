// The page's encryption: CPace on ristretto255 against the draft's vectors, the key schedule, the
// exchange and the sealed frames against the vectors the desktop app checks as well
// (e2e-vectors.json), so both sides derive the same keys and frames from the same inputs; and the
// cases an attacker makes: invalid and identity points, a wrong password, a forged proof, a
// downgrade, an altered, replayed, reordered, dropped or reflected frame.

import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { describe, it } from 'node:test';
import * as cpace from '../web/cpace.js';
import { KeyExchange, FAILURE } from '../web/key-exchange.js';
import { confirmationTag, confirms, deriveKeys, hkdfSha512 } from '../web/key-schedule.js';
import { REFUSAL, SealedChannel } from '../web/sealed-channel.js';

const VECTORS = JSON.parse(readFileSync(new URL('./e2e-vectors.json', import.meta.url), 'utf8'));
const bytes = (hex) => new Uint8Array(Buffer.from(hex, 'hex'));
const hex = (array) => Buffer.from(array).toString('hex');
const text = (string) => new TextEncoder().encode(string);
const flipBit = (array, at) => {
    const copy = Uint8Array.from(array);
    copy[at] ^= 0x01;
    return copy;
};

describe('CPace on ristretto255 (draft vectors)', () => {
    const v = VECTORS.cpace;

    it('Cpace.LengthValue_DraftVectors', () => {
        for (const { bytes: input, out } of VECTORS.lengthValue.prependLength) {
            assert.equal(hex(cpace.prependLength(bytes(input))), out, `prepend_len of ${input.length / 2} bytes`);
        }
        const { parts, out } = VECTORS.lengthValue.concat;
        assert.equal(hex(cpace.lengthValueConcat(...parts.map(bytes))), out);
    });

    it('Cpace.Generator_DraftVectors', () => {
        const generatorString = cpace.generatorString(cpace.DOMAIN_SEPARATOR, bytes(v.PRS), bytes(v.CI), bytes(v.sid), cpace.HASH_BLOCK_BYTES);
        assert.equal(hex(generatorString), v.generatorString);
        assert.equal(hex(cpace.calculateGenerator(bytes(v.PRS), bytes(v.CI), bytes(v.sid))), v.g);
    });

    it('Cpace.SharesPointAndIsk_DraftVectors', () => {
        const g = bytes(v.g);
        assert.equal(hex(cpace.scalarMultVerify(bytes(v.ya), g)), v.Ya);
        assert.equal(hex(cpace.scalarMultVerify(bytes(v.yb), g)), v.Yb);
        assert.equal(hex(cpace.scalarMultVerify(bytes(v.ya), bytes(v.Yb))), v.K);
        assert.equal(hex(cpace.scalarMultVerify(bytes(v.yb), bytes(v.Ya))), v.K);
        const transcript = cpace.transcriptInitiatorResponder(bytes(v.Ya), bytes(v.ADa), bytes(v.Yb), bytes(v.ADb));
        assert.equal(hex(transcript), v.transcriptIr);
        assert.equal(hex(cpace.intermediateSessionKey(bytes(v.sid), bytes(v.K), transcript)), v.iskIr);
        const { s, X, product } = VECTORS.scalarMult;
        assert.equal(hex(cpace.scalarMultVerify(bytes(s), bytes(X))), product);
    });

    it('Cpace.ScalarMultVerify_InvalidInputsGiveIdentity', () => {
        const { s, X, invalid } = VECTORS.scalarMult;
        const cases = [
            ['DraftInvalidEncoding', bytes(s), bytes(invalid.notOnTheGroup)],
            ['DraftIdentity', bytes(s), bytes(invalid.identity)],
            // p - 1 and 2^255 - 1: not canonical field elements.
            ['NonCanonical', bytes(s), bytes(`ec${'ff'.repeat(30)}7f`)],
            ['AllOnes', bytes(s), bytes('ff'.repeat(32))],
            ['NegativeFieldElement', bytes(s), bytes(`01${'00'.repeat(31)}`)],
            ['ShortPoint', bytes(s), bytes(X).subarray(1)],
            ['ShortScalar', bytes(s).subarray(1), bytes(X)],
            ['ZeroScalar', new Uint8Array(32), bytes(X)],
            // The group order itself: the product is the identity.
            ['ScalarIsTheOrder', bytes('edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010'), bytes(X)],
        ];
        for (const [name, scalar, point] of cases) assert.equal(cpace.scalarMultVerify(scalar, point), null, name);
    });

    it('Cpace.SampleScalar_BelowTheGroupOrderAndFresh', () => {
        const first = cpace.sampleScalar();
        assert.equal(first.length, 32);
        assert.equal(first[31] & 0xf0, 0);
        assert.notEqual(hex(cpace.sampleScalar()), hex(first));
    });
});

describe('Key schedule', () => {
    it('KeySchedule.Hkdf_Vectors', () => {
        for (const { name, salt, ikm, info, length, okm } of VECTORS.hkdf) {
            assert.equal(hex(hkdfSha512(bytes(salt), bytes(ikm), bytes(info), length)), okm, name);
        }
    });

    it('KeySchedule.KeysAndProofs_Vectors', () => {
        const v = VECTORS.keySchedule;
        const keys = deriveKeys(bytes(v.isk), bytes(v.sid));
        for (const name of ['viewerToHost', 'hostToViewer', 'viewerConfirmation', 'hostConfirmation']) assert.equal(hex(keys[name]), v[name], name);
        assert.equal(new Set(Object.values(keys).map(hex)).size, 4, 'every key differs');
        assert.equal(hex(confirmationTag(keys, 'viewer', bytes(v.transcript))), v.viewerTag);
        assert.equal(hex(confirmationTag(keys, 'host', bytes(v.transcript))), v.hostTag);
    });

    it('KeySchedule.Confirms_OnlyTheSendersOwnProof', () => {
        const v = VECTORS.keySchedule;
        const keys = deriveKeys(bytes(v.isk), bytes(v.sid));
        const transcript = bytes(v.transcript);
        const cases = [
            ['RightProof', 'viewer', transcript, bytes(v.viewerTag), true],
            ['OneBitFlipped', 'viewer', transcript, flipBit(bytes(v.viewerTag), 63), false],
            ['ReflectedHostProof', 'viewer', transcript, bytes(v.hostTag), false],
            ['OtherTranscript', 'viewer', flipBit(transcript, 0), bytes(v.viewerTag), false],
            ['Truncated', 'viewer', transcript, bytes(v.viewerTag).subarray(0, 32), false],
        ];
        for (const [name, sender, ofTranscript, tag, expected] of cases) assert.equal(confirms(keys, sender, ofTranscript, tag), expected, name);
    });
});

describe('Key exchange', () => {
    const v = VECTORS.exchange;
    const party = (side, extra = {}) => ({ password: v.password, hostId: v.hostId, sessionId: v.sessionId, features: v[side].features, ...extra });
    const randomness = (side) => ({ nonce: bytes(v[side].nonce), scalar: bytes(v[side].scalar) });

    /** Runs the exchange; `relay` may change each message on its way (index, message). */
    function run(viewerParty, hostParty, relay = (_, message) => message, randomnessOf = randomness) {
        const viewer = KeyExchange.forViewer(viewerParty, randomnessOf('viewer'));
        const host = KeyExchange.forHost(hostParty, randomnessOf('host'));
        const steps = [];
        let message = relay(0, viewer.openMessage());
        for (const [index, side] of [[1, host], [2, viewer], [3, host], [4, viewer]]) {
            const step = side.receive(message);
            steps.push(step);
            if (step.failure || !step.reply) break;
            message = relay(index, JSON.parse(JSON.stringify(step.reply)));
        }
        return { steps, failure: steps.find((step) => step.failure)?.failure ?? null };
    }

    it('KeyExchange.Messages_EqualTheVectorsOnBothSides', () => {
        const sent = [];
        const { steps } = run(party('viewer'), party('host'), (index, message) => { sent[index] = message; return message; });
        assert.deepEqual(sent, v.messages);
        assert.deepEqual(steps[2].established.peerFeatures, ['tiles']);
        assert.deepEqual(steps[3].established.peerFeatures, ['keys', 'modifiers']);
        assert.equal(steps[3].established.version, 1);
    });

    it('KeyExchange.FreshRandomness_BothSidesShareAChannel', () => {
        const { steps, failure } = run(party('viewer', { password: 'ABCDEFGH' }), party('host', { password: 'abcd-efgh' }), undefined, () => undefined);
        assert.equal(failure, null);
        const viewerChannel = steps[3].established.channel;
        const hostChannel = steps[2].established.channel;
        const frame = viewerChannel.seal('json', text('{"type":"close"}'));
        assert.equal(new TextDecoder().decode(hostChannel.open(frame.kind, frame.bytes).bytes), '{"type":"close"}');
    });

    it('KeyExchange.Failures_EndTheExchange', () => {
        const { invalid } = VECTORS.scalarMult;
        const identity = Buffer.from(bytes(invalid.identity)).toString('base64');
        const offCurve = Buffer.from(bytes(invalid.notOnTheGroup)).toString('base64');
        const flipFirstBit = (base64) => Buffer.from(flipBit(Buffer.from(base64, 'base64'), 0)).toString('base64');
        const only = (at, change) => (index, message) => (index === at ? change(message) : message);
        const cases = [
            // [name, viewer's extra, host's extra, relay, expected failure, the step that fails]
            ['WrongPassword_HostRefusesTheViewersProof', { password: 'ABCD-EFGJ' }, {}, undefined, FAILURE.wrongConfirmation, 2],
            ['IdentityShareFromHost_ViewerAborts', {}, {}, only(1, (m) => ({ ...m, share: identity })), FAILURE.invalidShare, 1],
            ['InvalidShareFromHost_ViewerAborts', {}, {}, only(1, (m) => ({ ...m, share: offCurve })), FAILURE.invalidShare, 1],
            ['IdentityShareFromViewer_HostAborts', {}, {}, only(2, (m) => ({ ...m, share: identity })), FAILURE.invalidShare, 2],
            ['InvalidShareFromViewer_HostAborts', {}, {}, only(2, (m) => ({ ...m, share: offCurve })), FAILURE.invalidShare, 2],
            ['ForgedHostProof_ViewerRefuses', {}, {}, only(3, (m) => ({ ...m, confirm: flipFirstBit(m.confirm) })), FAILURE.wrongConfirmation, 3],
            ['ViewerProofReflected_ViewerRefuses', {}, {}, only(3, (m) => ({ ...m, confirm: VECTORS.exchange.messages[2].confirm })), FAILURE.wrongConfirmation, 3],
            ['AlteredHostData_HostRefusesTheProof', {}, {}, only(1, (m) => ({ ...m, ad: Buffer.from('{"features":[],"version":1,"versions":[1]}').toString('base64') })), FAILURE.wrongConfirmation, 2],
            ['AlteredSessionNonce_HostRefusesTheProof', {}, {}, only(0, (m) => ({ ...m, nonce: flipFirstBit(m.nonce) })), FAILURE.wrongConfirmation, 2],
            ['OtherSessionId_HostRefusesTheProof', { sessionId: 'another' }, {}, undefined, FAILURE.wrongConfirmation, 2],
            ['OtherHostId_HostRefusesTheProof', { hostId: '987654321' }, {}, undefined, FAILURE.wrongConfirmation, 2],
            ['VersionStruckFromOpening_ViewerFindsTheDowngrade', { versions: [1, 2] }, { versions: [1, 2] }, only(0, (m) => ({ ...m, versions: [1] })), FAILURE.downgraded, 1],
            ['NoCommonVersion_HostRefuses', { versions: [2] }, {}, undefined, FAILURE.noCommonVersion, 0],
            ['ShortNonce_Malformed', {}, {}, only(0, (m) => ({ ...m, nonce: 'AAAA' })), FAILURE.malformed, 0],
            ['ProofNotBase64_Malformed', {}, {}, only(2, (m) => ({ ...m, confirm: '!' })), FAILURE.malformed, 2],
            ['DataNotJson_Malformed', {}, {}, only(1, (m) => ({ ...m, ad: 'AAAA' })), FAILURE.malformed, 1],
            ['ConfirmationBeforeShare_Unexpected', {}, {}, only(1, () => ({ type: 'e2e-confirm', confirm: VECTORS.exchange.messages[3].confirm })), FAILURE.unexpected, 1],
            ['SecondOpening_Unexpected', {}, {}, only(2, () => VECTORS.exchange.messages[0]), FAILURE.unexpected, 2],
        ];
        for (const [name, viewerExtra, hostExtra, relay, expected, failingStep] of cases) {
            const { steps, failure } = run(party('viewer', viewerExtra), party('host', hostExtra), relay);
            assert.equal(failure, expected, name);
            assert.equal(steps.length - 1, failingStep, `${name}: fails at step ${steps.length - 1}`);
            const failed = steps.at(-1);
            assert.ok(failed.reply === undefined && failed.established === undefined, `${name}: the failing side sends and opens nothing`);
        }
    });

    it('KeyExchange.AfterFailure_NothingMoreIsTaken', () => {
        const host = KeyExchange.forHost(party('host'), randomness('host'));
        assert.equal(host.receive({ type: 'e2e-open', nonce: 'AAAA', versions: [1] }).failure, FAILURE.malformed);
        assert.equal(host.receive(v.messages[0]).failure, FAILURE.unexpected);
    });
});

describe('Sealed channel', () => {
    const channels = () => {
        const keys = deriveKeys(bytes(VECTORS.keySchedule.isk), bytes(VECTORS.keySchedule.sid));
        const sid = bytes(VECTORS.keySchedule.sid);
        return { viewer: new SealedChannel('viewer', keys, sid), host: new SealedChannel('host', keys, sid) };
    };
    const exchanged = () => {
        const v = VECTORS.exchange;
        const party = (side) => ({ password: v.password, hostId: v.hostId, sessionId: v.sessionId, features: v[side].features });
        const viewer = KeyExchange.forViewer(party('viewer'), { nonce: bytes(v.viewer.nonce), scalar: bytes(v.viewer.scalar) });
        const host = KeyExchange.forHost(party('host'), { nonce: bytes(v.host.nonce), scalar: bytes(v.host.scalar) });
        const hostStep = host.receive(viewer.receive(host.receive(viewer.openMessage()).reply).reply);
        return { host: hostStep.established.channel, viewer: viewer.receive(hostStep.reply).established.channel };
    };

    it('SealedChannel.Frames_EqualTheVectorsAndOpen', () => {
        const sides = exchanged();
        for (const { sender, kind, sealedKind, plaintext, payload } of VECTORS.sealed) {
            const sealed = sides[sender].seal(kind, bytes(plaintext));
            assert.equal(sealed.kind, sealedKind);
            assert.equal(hex(sealed.bytes), payload, `${sender} ${kind}`);
            const opened = sides[sender === 'host' ? 'viewer' : 'host'].open(sealedKind, bytes(payload));
            assert.deepEqual({ kind: opened.kind, bytes: hex(opened.bytes) }, { kind, bytes: plaintext });
        }
    });

    it('SealedChannel.Open_RefusesWhatWasNotSentSoInOrder', () => {
        const cases = [
            // [name, what the host seals, in order, then what the viewer is handed: [index or frame, expected]]
            ['AlteredCiphertext', ['json'], (f) => [[{ ...f[0], bytes: flipBit(f[0].bytes, 20) }, REFUSAL.forged], [f[0], 'json']]],
            ['AlteredTag', ['json'], (f) => [[{ ...f[0], bytes: flipBit(f[0].bytes, f[0].bytes.length - 1) }, REFUSAL.forged]]],
            ['AlteredAnchor', ['json', 'json'], (f) => [[f[0], 'json'], [{ ...f[1], bytes: flipBit(f[1].bytes, 15) }, REFUSAL.forged]]],
            ['RelabelledKind', ['jpeg'], (f) => [[{ ...f[0], kind: 'sealed-json' }, REFUSAL.forged], [f[0], 'jpeg']]],
            ['Replayed', ['json'], (f) => [[f[0], 'json'], [f[0], REFUSAL.replayed]]],
            ['ReplayedAfterLater', ['json', 'json'], (f) => [[f[0], 'json'], [f[1], 'json'], [f[0], REFUSAL.replayed]]],
            ['ReorderedThenInOrder', ['json', 'json'], (f) => [[f[1], REFUSAL.missing], [f[0], 'json'], [f[1], 'json']]],
            ['JsonDropped', ['json', 'json', 'jpeg'], (f) => [[f[0], 'json'], [f[2], REFUSAL.missing]]],
            ['PictureDroppedBeforeItsTiles', ['jpeg', 'tiles'], (f) => [[f[1], REFUSAL.missing]]],
            ['ReplacedPictureAndItsTilesDropped', ['json', 'jpeg', 'tiles', 'jpeg', 'tiles'], (f) => [[f[0], 'json'], [f[3], 'jpeg'], [f[4], 'tiles']]],
            ['Truncated', ['json'], (f) => [[{ ...f[0], bytes: f[0].bytes.subarray(0, 31) }, REFUSAL.malformed]]],
            ['UnknownKind', ['json'], (f) => [[{ ...f[0], kind: 'json' }, REFUSAL.malformed]]],
        ];
        for (const [name, kinds, handed] of cases) {
            const { host, viewer } = channels();
            const frames = kinds.map((kind) => host.seal(kind, text(`${name} ${kind}`)));
            for (const [frame, expected] of handed(frames)) {
                const opened = viewer.open(frame.kind, frame.bytes);
                assert.equal(opened.refusal ?? opened.kind, expected, name);
            }
        }
    });

    it('SealedChannel.Open_RefusesAFrameFromElsewhere', () => {
        const { host, viewer } = channels();
        const fromViewer = viewer.seal('json', text('{"type":"key"}'));
        // Reflected back to its sender, it would have to open under the other direction's key.
        assert.equal(viewer.open(fromViewer.kind, fromViewer.bytes).refusal, REFUSAL.forged);
        const keys = deriveKeys(bytes(VECTORS.keySchedule.isk), bytes(VECTORS.keySchedule.sid));
        const otherSession = new SealedChannel('host', keys, flipBit(bytes(VECTORS.keySchedule.sid), 0));
        assert.equal(otherSession.open(fromViewer.kind, fromViewer.bytes).refusal, REFUSAL.forged);
        assert.equal(host.open(fromViewer.kind, fromViewer.bytes).kind, 'json');
        assert.equal(host.seal('caps', text('{}')), null);
    });
});
