// One side of an encrypted session's opening: CPace between the viewer and the host, keyed by the
// host's password, carried as json session messages, with explicit key confirmation by both sides.
// The same exchange as the desktop app's KeyExchange, message for message:
//
//   viewer -> host  {"type":"e2e-open","nonce":…,"versions":[1]}
//   host -> viewer  {"type":"e2e-share","nonce":…,"share":…,"ad":…}       CPace's first message
//   viewer -> host  {"type":"e2e-share","share":…,"ad":…,"confirm":…}     its second, and the viewer's proof
//   host -> viewer  {"type":"e2e-confirm","confirm":…}                    the host's proof
//
// Every value is base64. The host is CPace's initiator, the viewer its responder (transcript_ir).
// sid = the host's 16 random bytes || the viewer's 16; CI = lv_cat("host", host ID, "viewer",
// session ID); PRS = the password's compact form as ASCII; ADa, ADb = each side's
// {"features":[…],"version":…,"versions":[…]} as JSON text, covered by the proofs, so a relay that
// struck a version from "e2e-open" is found out. Nothing sealed is sent or taken before the
// exchange has established the channel.

import { compactPassword } from './codes.js';
import {
    POINT_BYTES, calculateGenerator, concatBytes, intermediateSessionKey, lengthValueConcat, randomBytes, sampleScalar,
    scalarMultVerify, transcriptInitiatorResponder,
} from './cpace.js';
import { TAG_BYTES, confirmationTag, confirms, deriveKeys } from './key-schedule.js';
import { decodeBase64, encodeBase64 } from './messages.js';
import { SealedChannel } from './sealed-channel.js';

export const TYPE = Object.freeze({ open: 'e2e-open', share: 'e2e-share', confirm: 'e2e-confirm' });
export const NONCE_BYTES = 16;
export const VERSIONS = Object.freeze([1]);

export const FAILURE = Object.freeze({
    unexpected: 'unexpected', // not the message this side waits for
    malformed: 'malformed', // a member missing, not base64, or of the wrong length
    noCommonVersion: 'noCommonVersion', // the sides share no version
    downgraded: 'downgraded', // the version in use is not the highest both support
    invalidShare: 'invalidShare', // a share that is no group element, or gives the identity
    wrongConfirmation: 'wrongConfirmation', // the other side's proof fails: another password
});

const STAGE = Object.freeze({
    waitingForOpen: 'waitingForOpen', waitingForShare: 'waitingForShare',
    waitingForConfirmation: 'waitingForConfirmation', done: 'done', failed: 'failed',
});

const encoder = new TextEncoder();
// Version numbers are small positive integers; anything else in a list is not one.
const LARGEST_VERSION = 1 << 20;
const isVersion = (value) => Number.isInteger(value) && value >= 1 && value <= LARGEST_VERSION;
const versionsFrom = (value) => (Array.isArray(value) ? value.filter(isVersion) : []);

function highestCommon(ours, theirs) {
    const common = ours.filter((version) => theirs.includes(version));
    return common.length === 0 ? null : Math.max(...common);
}

/** A base64 member of `size` bytes (any size when size is -1), or null. */
function bytesMember(message, name, size) {
    const bytes = decodeBase64(message[name]);
    return bytes !== null && (size < 0 || bytes.length === size) ? bytes : null;
}

/** The other side's associated data, or null when it is not such an object. */
function peerDataFrom(bytes) {
    let object;
    try {
        object = JSON.parse(new TextDecoder('utf-8', { fatal: true }).decode(bytes));
    } catch {
        return null;
    }
    if (object === null || typeof object !== 'object' || Array.isArray(object) || !isVersion(object.version)) return null;
    const features = Array.isArray(object.features) ? object.features.filter((name) => typeof name === 'string') : [];
    return { version: object.version, versions: versionsFrom(object.versions), features: [...new Set(features)].sort() };
}

/** This side's random draws: its 16 bytes of sid and its CPace scalar. */
export function freshRandomness() {
    return { nonce: randomBytes(NONCE_BYTES), scalar: sampleScalar() };
}

export class KeyExchange {
    #role;
    #party;
    #randomness;
    #stage;
    #version = 0;
    #sid = null;
    #ownShare = null;
    #ownData = null;
    #peerShare = null;
    #peerData = null;
    #peerFeatures = [];
    #transcript = null;
    #keys = null;

    /**
     * party: { password, hostId, sessionId, features (the session additions this side offers),
     * versions (default [1]) }; randomness as freshRandomness() draws it.
     */
    constructor(role, party, randomness = freshRandomness()) {
        this.#role = role;
        this.#party = { ...party, versions: party.versions ?? VERSIONS, features: [...new Set(party.features ?? [])].sort() };
        this.#randomness = randomness;
        this.#stage = role === 'host' ? STAGE.waitingForOpen : STAGE.waitingForShare;
    }

    static forViewer(party, randomness) { return new KeyExchange('viewer', party, randomness); }
    static forHost(party, randomness) { return new KeyExchange('host', party, randomness); }

    /** The viewer's first message ("e2e-open"), sent as soon as its session is open. */
    openMessage() {
        return { type: TYPE.open, nonce: encodeBase64(this.#randomness.nonce), versions: [...this.#party.versions] };
    }

    /**
     * Takes the other side's message: { reply?, established?: { channel, version, peerFeatures },
     * failure? }. A reply is sent back as a json message; a failure ends the session.
     */
    receive(message) {
        const type = message?.type;
        if (this.#stage === STAGE.waitingForOpen && type === TYPE.open) return this.#hostTakesOpen(message);
        if (this.#stage === STAGE.waitingForShare && type === TYPE.share) {
            return this.#role === 'host' ? this.#hostTakesShare(message) : this.#viewerTakesShare(message);
        }
        if (this.#stage === STAGE.waitingForConfirmation && type === TYPE.confirm) return this.#viewerTakesConfirmation(message);
        return this.#fail(FAILURE.unexpected);
    }

    #fail(failure) {
        this.#stage = STAGE.failed;
        return { failure };
    }

    #ownAssociatedData() {
        return encoder.encode(JSON.stringify({ features: this.#party.features, version: this.#version, versions: this.#party.versions }));
    }

    /** This side's share from the generator of the password, CI and sid; false if refused. */
    #drawShare() {
        const prs = encoder.encode(compactPassword(this.#party.password));
        const ci = lengthValueConcat(encoder.encode('host'), encoder.encode(this.#party.hostId),
            encoder.encode('viewer'), encoder.encode(this.#party.sessionId));
        this.#ownShare = scalarMultVerify(this.#randomness.scalar, calculateGenerator(prs, ci, this.#sid));
        this.#ownData = this.#ownAssociatedData();
        return this.#ownShare !== null;
    }

    /** ISK and the keys from the other side's share; false when the share is refused. */
    #deriveKeys(peerShare) {
        const sharedPoint = scalarMultVerify(this.#randomness.scalar, peerShare);
        if (sharedPoint === null) return false;
        this.#peerShare = peerShare;
        this.#transcript = this.#role === 'host'
            ? transcriptInitiatorResponder(this.#ownShare, this.#ownData, this.#peerShare, this.#peerData)
            : transcriptInitiatorResponder(this.#peerShare, this.#peerData, this.#ownShare, this.#ownData);
        this.#keys = deriveKeys(intermediateSessionKey(this.#sid, sharedPoint, this.#transcript), this.#sid);
        return true;
    }

    #established() {
        return { channel: new SealedChannel(this.#role, this.#keys, this.#sid), version: this.#version, peerFeatures: this.#peerFeatures };
    }

    #hostTakesOpen(message) {
        const viewerNonce = bytesMember(message, 'nonce', NONCE_BYTES);
        if (viewerNonce === null) return this.#fail(FAILURE.malformed);
        const version = highestCommon(this.#party.versions, versionsFrom(message.versions));
        if (version === null) return this.#fail(FAILURE.noCommonVersion);
        this.#version = version;
        this.#sid = concatBytes(this.#randomness.nonce, viewerNonce);
        if (!this.#drawShare()) return this.#fail(FAILURE.invalidShare);
        this.#stage = STAGE.waitingForShare;
        return {
            reply: {
                type: TYPE.share, nonce: encodeBase64(this.#randomness.nonce), share: encodeBase64(this.#ownShare), ad: encodeBase64(this.#ownData),
            },
        };
    }

    #viewerTakesShare(message) {
        const hostNonce = bytesMember(message, 'nonce', NONCE_BYTES);
        const hostShare = bytesMember(message, 'share', POINT_BYTES);
        const hostData = bytesMember(message, 'ad', -1);
        const peer = hostData === null ? null : peerDataFrom(hostData);
        if (hostNonce === null || hostShare === null || peer === null) return this.#fail(FAILURE.malformed);
        const best = highestCommon(this.#party.versions, peer.versions);
        if (best === null) return this.#fail(FAILURE.noCommonVersion);
        if (peer.version !== best) return this.#fail(FAILURE.downgraded);
        this.#version = peer.version;
        this.#peerFeatures = peer.features;
        this.#peerData = hostData;
        this.#sid = concatBytes(hostNonce, this.#randomness.nonce);
        if (!this.#drawShare() || !this.#deriveKeys(hostShare)) return this.#fail(FAILURE.invalidShare);
        this.#stage = STAGE.waitingForConfirmation;
        return {
            reply: {
                type: TYPE.share, share: encodeBase64(this.#ownShare), ad: encodeBase64(this.#ownData),
                confirm: encodeBase64(confirmationTag(this.#keys, 'viewer', this.#transcript)),
            },
        };
    }

    #hostTakesShare(message) {
        const viewerShare = bytesMember(message, 'share', POINT_BYTES);
        const viewerData = bytesMember(message, 'ad', -1);
        const proof = bytesMember(message, 'confirm', TAG_BYTES);
        const peer = viewerData === null ? null : peerDataFrom(viewerData);
        if (viewerShare === null || proof === null || peer === null) return this.#fail(FAILURE.malformed);
        this.#peerData = viewerData;
        if (!this.#deriveKeys(viewerShare)) return this.#fail(FAILURE.invalidShare);
        if (!confirms(this.#keys, 'viewer', this.#transcript, proof)) return this.#fail(FAILURE.wrongConfirmation);
        // The viewer's data is confirmed now: it names every version the viewer supports, whatever
        // its opening message said on the way.
        if (peer.version !== this.#version || highestCommon(this.#party.versions, peer.versions) !== this.#version) {
            return this.#fail(FAILURE.downgraded);
        }
        this.#peerFeatures = peer.features;
        this.#stage = STAGE.done;
        return {
            reply: { type: TYPE.confirm, confirm: encodeBase64(confirmationTag(this.#keys, 'host', this.#transcript)) },
            established: this.#established(),
        };
    }

    #viewerTakesConfirmation(message) {
        const proof = bytesMember(message, 'confirm', TAG_BYTES);
        if (proof === null) return this.#fail(FAILURE.malformed);
        if (!confirms(this.#keys, 'host', this.#transcript, proof)) return this.#fail(FAILURE.wrongConfirmation);
        this.#stage = STAGE.done;
        return { established: this.#established() };
    }
}
