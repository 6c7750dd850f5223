// The page's side of an encrypted session: the exchange after the connect, then every frame the
// page pushes sealed and every frame it polls opened, at this one place. The same rules as the
// desktop viewer's ViewerKeyExchange and SessionSeal:
//
// - the connect carries no password, only "features":["e2e"];
// - the exchange travels as plain json frames; a failure on this side (the host's share or proof
//   refused, a downgrade, no proof within EXCHANGE_LIMIT_MS) closes the session with
//   FAILED_REASON, and nothing more is sent;
// - once established, the first poll takes the answer that held the host's proof again, so a
//   sealed hello in the same answer is not lost (its plain exchange frames are passed over);
// - a sealed frame that fails its check ends the session with FAILED_CHECK_REASON; a replay is
//   dropped without a word; a plain frame is ignored.

import { KeyExchange, TYPE } from './key-exchange.js';
import { KIND, decodeBase64, encodeBase64, jsonObjectOf, readPollAnswer } from './messages.js';
import { REFUSAL, innerKind } from './sealed-channel.js';
import { RequestFailure, parseObject } from './switchboard.js';

export const E2E_FEATURE = 'e2e';
// The viewer gives up on a host that has not proven itself within this long.
export const EXCHANGE_LIMIT_MS = 35_000;
// Between the exchange's polls when the switchboard does not hold them.
const EXCHANGE_POLL_PAUSE_MS = 90;
export const FAILED_REASON = 'The encrypted connection could not be set up';
export const FAILED_CHECK_REASON = 'A message of the session failed its check';

const encoder = new TextEncoder();

/** The session bar's word on encryption: a lock and "Encrypted", or plainly "Not encrypted". */
export function showEncryption(element, encrypted) {
    element.textContent = encrypted ? '\u{1F512} Encrypted' : 'Not encrypted';
    element.classList.toggle('encrypted', encrypted);
}

// The IDs this browser reached encrypted, newest last: a lookup answer for one of them without
// "e2e" (an edge that struck it) ends the attempt before the password is sent.
export const ENCRYPTED_IDS_KEY = 'kivren.encryptedIds';
const MAX_ENCRYPTED_IDS = 64;
export const NO_LONGER_ENCRYPTED = 'That computer was reached encrypted before and now offers no encryption: '
    + 'not connecting, so that the password is not sent where it could be read';

function readEncryptedIds(storage) {
    try {
        const kept = JSON.parse(storage?.getItem(ENCRYPTED_IDS_KEY) ?? '[]');
        return Array.isArray(kept) ? kept.filter((id) => typeof id === 'string') : [];
    } catch {
        return [];
    }
}

/** Whether this browser reached `id` encrypted before. */
export function reachedEncrypted(storage, id) {
    return readEncryptedIds(storage).includes(id);
}

/** Remembers that `id` was reached encrypted, for the newest few IDs. */
export function rememberEncrypted(storage, id) {
    const kept = [...readEncryptedIds(storage).filter((other) => other !== id), id].slice(-MAX_ENCRYPTED_IDS);
    try {
        storage?.setItem(ENCRYPTED_IDS_KEY, JSON.stringify(kept));
    } catch {
        // A browser that keeps nothing forgets it with the visit.
    }
}

/** Whether a lookup answer names the addition, so the page opens an encrypted session. */
export function offersEncryption(found) {
    return Array.isArray(found?.features) && found.features.includes(E2E_FEATURE);
}

/** The connect body: with the password for a plain session, without it and naming "e2e" otherwise. */
export function connectBody({ id, password, encrypted, clientName, clientPlatform, deviceToken = '' }) {
    const token = deviceToken === '' ? {} : { deviceToken };
    return encrypted
        ? { id, features: [E2E_FEATURE], clientName, clientPlatform, ...token }
        : { id, password, clientName, clientPlatform, ...token };
}

/** A push body, the session members first so that a switchboard can check them early. */
export function pushBody(keys, kind, payload) {
    return `{"kind":${JSON.stringify(kind)},"role":"viewer","sessionId":${JSON.stringify(keys.sessionId)},`
        + `"token":${JSON.stringify(keys.token)},"payload":"${payload}"}`;
}

/** A plain json frame's message, or null. */
const jsonMessage = (frame) => (frame.kind === KIND.json ? jsonObjectOf(decodeBase64(frame.payload)) : null);

const isExchangeMessage = (message) => message?.type === TYPE.share || message?.type === TYPE.confirm;

// An encrypted session that cannot go on ends as an ended session (410) does: at once, never
// tried again, with the reason shown.
const ENDED = 410;
const ended = (reason) => new RequestFailure(ENDED, reason);

/** A confirmed session's channel as the page uses it. */
export class EncryptedSession {
    #channel;
    // Sealed pushes not known to have arrived, oldest first. Every frame names the one before it,
    // so one that went missing would end the session at the host: it goes out again, unchanged,
    // ahead of the next (the host drops it as a replay if it had arrived after all).
    #unsure = [];

    constructor(channel) {
        this.#channel = channel;
    }

    /** The push body of a message, sealed as a "sealed-json" frame. */
    sealMessage(keys, message) {
        const { kind, bytes } = this.#channel.seal(KIND.json, encoder.encode(JSON.stringify(message)));
        return pushBody(keys, kind, encodeBase64(bytes));
    }

    /**
     * Pushes `message` sealed with `send(bodyText)` (a promise that rejects when the push failed or
     * was abandoned), after any earlier sealed push that did not get through. Rejects with the
     * first failure; what did not go out is tried again on the next push.
     */
    async push(keys, message, send) {
        this.#unsure.push(this.sealMessage(keys, message));
        while (this.#unsure.length > 0) {
            await send(this.#unsure[0]);
            this.#unsure.shift();
        }
    }

    /**
     * A poll answer's text opened: { since, frames } with each opened frame as { kind, bytes } of
     * the plain kind, in order, for applyPollAnswer. Plain frames and replays are left out. Throws
     * a RequestFailure when a sealed frame fails its check: nothing of the answer may be used.
     */
    openAnswer(answerText) {
        const { since, frames } = readPollAnswer(parseObject(answerText));
        const opened = [];
        for (const frame of frames) {
            if (innerKind(frame.kind) === null) continue;
            const payload = decodeBase64(frame.payload);
            const result = payload === null ? { refusal: REFUSAL.malformed } : this.#channel.open(frame.kind, payload);
            if (result.refusal === REFUSAL.replayed) continue;
            if (result.refusal !== undefined) throw ended(FAILED_CHECK_REASON);
            opened.push({ kind: result.kind, bytes: result.bytes });
        }
        return { since, frames: opened };
    }
}

function pause(ms, signal) {
    return new Promise((resolve) => {
        const timer = setTimeout(done, ms);
        signal?.addEventListener('abort', done, { once: true });
        function done() {
            clearTimeout(timer);
            signal?.removeEventListener('abort', done);
            resolve();
        }
    });
}

/**
 * Runs the viewer's side of the exchange on an open session. `push(bodyText)` and
 * `poll(since)` (resolving with the answer's text) are the session's requests; `close(reason)`
 * ends it. Resolves with { session, since, peerFeatures }, `since` the cursor to poll from next;
 * rejects with a RequestFailure: FAILED_REASON (after closing the session) when the other side
 * did not prove it knows the password, or a request's own failure (a host that found the
 * password wrong ends the session: the poll's 410 says "Wrong password").
 */
export async function runExchange({
    keys, hostId, password, features = [], push, poll, close, signal, holdsPolls = false,
    limitMs = EXCHANGE_LIMIT_MS, now = () => performance.now(), randomness,
}) {
    const exchange = KeyExchange.forViewer({ password, hostId, sessionId: keys.sessionId, features }, randomness);
    const frameOf = (message) => pushBody(keys, KIND.json, encodeBase64(encoder.encode(JSON.stringify(message))));
    const giveUp = async () => {
        await close(FAILED_REASON);
        throw ended(FAILED_REASON);
    };
    await push(frameOf(exchange.openMessage()));
    const deadline = now() + limitMs;
    let since = 0;
    while (now() < deadline) {
        const answerText = await poll(since);
        const before = since;
        const answer = readPollAnswer(parseObject(answerText));
        if (answer.since !== null) since = answer.since;
        for (const frame of answer.frames) {
            const message = jsonMessage(frame);
            if (!isExchangeMessage(message)) continue;
            const step = exchange.receive(message);
            if (step.failure !== undefined) return giveUp();
            if (step.reply !== undefined) await push(frameOf(step.reply));
            if (step.established !== undefined) {
                return { session: new EncryptedSession(step.established.channel), since: before, peerFeatures: step.established.peerFeatures };
            }
        }
        if (!holdsPolls) await pause(EXCHANGE_POLL_PAUSE_MS, signal);
    }
    return giveUp();
}
