// The viewer: one session at a time with a host reached through this page's own switchboard.
// Connect looks the ID up, opens a session and polls pictures until the user ends it or a poll
// fails; input goes out through the session's ordered queue. The phases and status sentences are
// the desktop viewer's, so a person sees the same words on a phone as on a PC.

import { ID_LENGTH, PASSWORD_LENGTH, characters, compactId, compactPassword, formatId, formatPassword } from './codes.js';
import {
    NO_LONGER_ENCRYPTED, connectBody, offersEncryption, reachedEncrypted, rememberEncrypted, runExchange,
} from './encrypted-session.js';
import { InputQueue } from './input-queue.js';
import { FEATURE, OFFERED_FEATURES, capsMessage, encodeMessage, textMessages } from './messages.js';
import { applyPollAnswer, pictureBound } from './picture-decoding.js';
import { RequestFailure, STALL_LIMIT_MS, post, postAsPageLeaves, postText } from './switchboard.js';
import { mayResume, untilAwake } from './wake.js';

export { applyPollAnswer };

export const PHASE = Object.freeze({
    idle: 'idle', connecting: 'connecting', authenticating: 'authenticating', live: 'live', failed: 'failed',
});

export const STATUS = Object.freeze({
    start: 'Enter an ID',
    badId: 'Enter a 9-digit ID',
    badPassword: 'Enter the 8-character password',
    authenticating: 'Authenticating',
    disconnected: 'Disconnected',
    unknownId: 'Unknown ID',
    offline: 'That PC is offline',
    reconnecting: 'Reconnecting\u2026',
    notAnswering: 'The other computer is not answering',
});

// Polls follow one another with this pause between the end of one and the start of the next,
// unless the switchboard holds them (it named "maxWaitMs"): then the next leaves at once, except
// after an empty answer that came back sooner than this, which a switchboard that holds nothing
// would send again at once.
export const POLL_PAUSE_MS = 90;
// The longest this page asks a switchboard to hold its poll, whatever longer hold it allows.
export const LONGEST_POLL_WAIT_MS = 25_000;
// The host counts as not answering once a poll answer says it has been quiet longer than this.
export const PEER_QUIET_LIMIT_MS = 4000;
// A session whose switchboard or link fails is tried again, once a second, for this long.
export const RECONNECT_FOR_MS = 60_000;
const RECONNECT_PAUSE_MS = 1000;
// Read off the end of the answer, where the switchboard writes it, so that an answer carrying
// pictures is not parsed a second time.
const PEER_QUIET = /"peerQuietMs":(\d+)\}\s*$/;
// How long End waits for input still queued (a key's release) before it closes the session.
const CLOSE_DRAIN_MS = 1000;
// What the host shows as the viewer's name, and the platform the switchboard is told.
export const CLIENT_NAME = 'Web browser';
const CLIENT_PLATFORM = 'web';
// The last ID connected to is kept for the next visit; nothing of the password ever is.
export const LAST_ID_KEY = 'kivren.lastId';
// The device token each host's switchboard handed this browser when it got in, by ID: shown on
// the next connect, it keeps the host's owner from being locked out with strangers who guess.
export const DEVICE_TOKENS_KEY = 'kivren.deviceTokens';
const MAX_DEVICE_TOKENS = 32;
const DEVICE_TOKEN = /^[\x20-\x7e]{1,128}$/;

function readDeviceTokens(storage) {
    try {
        const kept = JSON.parse(storage?.getItem(DEVICE_TOKENS_KEY) ?? '{}');
        return kept !== null && typeof kept === 'object' && !Array.isArray(kept) ? kept : {};
    } catch {
        return {};
    }
}

/** The device token kept for this ID, or '' for none. */
export function deviceTokenFor(storage, id) {
    const kept = readDeviceTokens(storage);
    const token = Object.hasOwn(kept, id) ? kept[id] : '';
    return typeof token === 'string' && DEVICE_TOKEN.test(token) ? token : '';
}

/** Keeps the device token a connect answer carried for this ID, the newest few IDs only. */
export function keepDeviceToken(storage, id, token) {
    if (typeof token !== 'string' || !DEVICE_TOKEN.test(token)) return;
    const kept = readDeviceTokens(storage);
    delete kept[id];
    const newest = [...Object.entries(kept), [id, token]].slice(-MAX_DEVICE_TOKENS);
    try {
        storage?.setItem(DEVICE_TOKENS_KEY, JSON.stringify(Object.fromEntries(newest)));
    } catch {
        // A browser that keeps nothing only loses the head start on its next connect.
    }
}

const TRANSPORT_LABELS = Object.freeze({ lan: 'Direct LAN', p2p: 'Direct', relay: 'Relay' });
// Key names a host understands only once it named the "keys" feature.
const FURTHER_KEYS = new Set(['home', 'end', 'pageup', 'pagedown', 'insert',
    ...Array.from({ length: 12 }, (_, i) => `f${i + 1}`)]);

const text = (value) => (typeof value === 'string' ? value : '');

/** The hold to ask for from a connect answer: 0 (none) unless the switchboard announced one. */
export function pollWaitOf(answer) {
    const announced = answer.maxWaitMs;
    return Number.isSafeInteger(announced) && announced > 0 ? Math.min(announced, LONGEST_POLL_WAIT_MS) : 0;
}

/** How long the other side has been quiet, as a poll answer's text says; null when it says nothing. */
export function peerQuietOf(answerText) {
    const match = PEER_QUIET.exec(answerText);
    return match === null ? null : Number(match[1]);
}

/**
 * A failure that may pass if the session is tried again: the network, a switchboard that is
 * restarting (5xx, a session it no longer knows), a host that is not online yet.
 */
export function mayPass(failure) {
    if (!(failure instanceof RequestFailure) || failure.cancelled) return false;
    return failure.code === 0 || failure.code === 404 || failure.code === 409 || failure.code >= 500;
}

function pause(ms, signal) {
    return new Promise((resolve) => {
        const timer = setTimeout(done, ms);
        signal.addEventListener('abort', done, { once: true });
        function done() {
            clearTimeout(timer);
            signal.removeEventListener('abort', done);
            resolve();
        }
    });
}

const cancelled = () => new RequestFailure(0, 'cancelled', { cancelled: true });

/** One connection attempt and, once it is open, its session. */
class Run {
    constructor() {
        this.controller = new AbortController();
        this.keys = null;
        this.queue = null;
        this.closing = false;
        this.since = 0;
        // How long the switchboard holds this run's polls; 0 for one that answers them at once.
        this.waitMs = 0;
        this.features = new Set();
        // The largest picture the host may send, from its last hello.
        this.bound = pictureBound();
        // The confirmed channel of an encrypted session (EncryptedSession); null for a plain one.
        this.sealed = null;
    }

    get cancelled() {
        return this.controller.signal.aborted;
    }
}

export class Viewer {
    #view;
    #storage;
    #run = null;

    /**
     * `view` is the PictureView pictures go to; `onChange(viewer)` runs after every change of
     * phase or status; `storage` keeps the last ID and the device tokens (localStorage, or null).
     */
    constructor({ view, onChange = () => {}, storage = null }) {
        this.#view = view;
        this.#storage = storage;
        this.onChange = onChange;
        this.phase = PHASE.idle;
        this.status = STATUS.start;
        this.hostName = 'Remote';
        this.transport = 'relay';
        this.remoteSize = { width: 1280, height: 720 };
    }

    /** The ID connected to last time, formatted, or empty. */
    lastId() {
        try {
            return formatId(this.#storage?.getItem(LAST_ID_KEY) ?? '');
        } catch {
            return '';
        }
    }

    /** The picture no longer follows the host's screen: it is shown greyed. */
    get stale() {
        return this.phase === PHASE.live && (this.status === STATUS.notAnswering || this.status === STATUS.reconnecting);
    }

    /** What the host of the live session can take ("modifiers", "keys"); empty otherwise. */
    get hostFeatures() {
        return this.#live()?.features ?? new Set();
    }

    /** Whether the live session is encrypted end to end. */
    get encrypted() {
        return this.#live()?.sealed != null;
    }

    /**
     * Checks what was typed and starts a session. Bad input only changes the status; a session
     * already running goes on.
     */
    connect(idText, passwordText) {
        const id = compactId(idText);
        const password = formatPassword(passwordText);
        if (characters(id).length !== ID_LENGTH) {
            this.#set(this.phase, STATUS.badId);
            return;
        }
        if (characters(compactPassword(password)).length !== PASSWORD_LENGTH) {
            this.#set(this.phase, STATUS.badPassword);
            return;
        }
        const previous = this.#run;
        if (previous !== null) this.#close(previous);
        const run = new Run();
        this.#run = run;
        this.#set(PHASE.connecting, `Looking up ${formatId(id)}`);
        this.#session(run, id, password).catch((failure) => {
            // A session opened just as its attempt was cancelled is closed all the same.
            this.#close(run);
            // Whoever cancelled the attempt (End, a newer connect, the page leaving) owns the state.
            if (this.#run !== run) return;
            this.#run = null;
            const description = failure instanceof RequestFailure ? failure.description : 'The session failed.';
            this.#set(PHASE.failed, description);
        });
    }

    /** End: back to the start, the session closed once its queued input (key releases) is out. */
    end() {
        const run = this.#run;
        this.#run = null;
        this.#view.clear();
        this.#set(PHASE.idle, STATUS.disconnected);
        if (run !== null) this.#close(run);
    }

    /** The page is going away: the session is closed by a request that outlives the page. */
    leave() {
        const run = this.#run;
        this.#run = null;
        if (run === null) return;
        run.controller.abort();
        run.queue?.reset();
        if (run.keys !== null && !run.closing) postAsPageLeaves('close', run.keys);
        run.closing = true;
        this.#view.clear();
        this.#set(PHASE.idle, STATUS.disconnected);
    }

    /** A pointer event (an input message); held modifiers go only to a host that takes them. */
    sendInput(message) {
        const run = this.#live();
        if (run === null) return;
        if (message.modifiers !== undefined && !run.features.has(FEATURE.modifiers)) {
            // The pointer event itself is still wanted: a Ctrl+click becomes a plain click.
            const { modifiers: _dropped, ...plain } = message;
            run.queue.enqueue(plain);
            return;
        }
        run.queue.enqueue(message);
    }

    /** A move of the mouse with no button held: only a host that names "hover" is sent it. */
    sendHover(message) {
        if (!this.hostFeatures.has(FEATURE.hover)) return;
        this.sendInput(message);
    }

    /**
     * A key message. A shortcut goes only to a host that takes modifiers, and a further key only
     * to one that knows it: an older host would type the bare letter, or nothing sensible.
     */
    sendKey(message) {
        const run = this.#live();
        if (run === null) return;
        if (message.modifiers !== undefined && !run.features.has(FEATURE.modifiers)) return;
        if (FURTHER_KEYS.has(message.codeName) && !run.features.has(FEATURE.keys)) return;
        run.queue.enqueue(message);
    }

    /** Typed text, in pieces a host takes in one message. */
    sendText(typed) {
        const run = this.#live();
        if (run === null) return;
        for (const message of textMessages(typed)) run.queue.enqueue(message);
    }

    #live() {
        const run = this.#run;
        return run !== null && this.phase === PHASE.live && run.queue !== null ? run : null;
    }

    #set(phase, status) {
        this.phase = phase;
        this.status = status;
        this.onChange(this);
    }

    async #session(run, id, password) {
        const { signal } = run.controller;
        // Like the desktop viewer, the attempt starts on a later turn: the status shows the
        // lookup first, and an attempt replaced at once never sends anything.
        await Promise.resolve();
        if (run.cancelled) throw cancelled();
        this.#set(PHASE.authenticating, STATUS.authenticating);
        await this.#open(run, id, password);
        try {
            this.#storage?.setItem(LAST_ID_KEY, id);
        } catch {
            // A browser that keeps nothing (private mode, storage full) only loses the convenience.
        }

        // After a failed poll the next is answered at once, so the page knows as soon as it gets through.
        let atOnce = false;
        for (;;) {
            const started = performance.now();
            let answer;
            try {
                answer = await this.#poll(run, atOnce ? 0 : run.waitMs);
                atOnce = false;
            } catch (failure) {
                if (run.cancelled) throw cancelled();
                if (mayResume(failure)) {
                    // A phone that slept: poll again once it is awake; the answer says if the session ended.
                    this.#set(PHASE.live, STATUS.reconnecting);
                    await untilAwake(signal);
                    if (run.cancelled) throw cancelled();
                    atOnce = true;
                    continue;
                }
                if (!mayPass(failure)) throw failure;
                answer = await this.#reconnect(run, id, password, failure);
            }
            const quietMs = peerQuietOf(answer);
            const status = quietMs !== null && quietMs > PEER_QUIET_LIMIT_MS ? STATUS.notAnswering : this.#connectedStatus();
            if (this.status !== status) this.#set(PHASE.live, status);
            const since = await this.#apply(run, answer);
            const empty = since === null || since === run.since;
            if (since !== null) run.since = since;
            // A switchboard that holds nothing, or an empty answer at once: today's pause.
            if (run.waitMs === 0 || (empty && performance.now() - started < POLL_PAUSE_MS)) {
                await pause(POLL_PAUSE_MS, signal);
                if (run.cancelled) throw cancelled();
            }
        }
    }

    /** Looks the ID up and opens a session; the view starts empty, so nothing of an earlier one shows. */
    async #open(run, id, password) {
        const { signal } = run.controller;
        const found = await post('lookup', { id }, { signal });
        if (run.cancelled) throw cancelled();
        if (found.found !== true) throw new RequestFailure(404, STATUS.unknownId);
        if (found.online !== true) throw new RequestFailure(409, STATUS.offline);
        this.hostName = typeof found.name === 'string' ? found.name : 'Remote';

        const encrypted = offersEncryption(found);
        if (!encrypted && reachedEncrypted(this.#storage, id)) throw new RequestFailure(410, NO_LONGER_ENCRYPTED);
        const opened = await post('connect', connectBody({
            id, password, encrypted, clientName: CLIENT_NAME, clientPlatform: CLIENT_PLATFORM, deviceToken: deviceTokenFor(this.#storage, id),
        }), { signal });
        run.keys = { sessionId: text(opened.sessionId), token: text(opened.sessionToken) };
        keepDeviceToken(this.#storage, id, opened.deviceToken);
        if (run.cancelled) throw cancelled();
        // A transport the answer does not name keeps the one of the session before.
        if (Object.hasOwn(TRANSPORT_LABELS, opened.transport)) this.transport = opened.transport;
        run.waitMs = pollWaitOf(opened);
        run.since = 0;
        run.sealed = null;
        // Input of a session before (opened again after a failure) must not go out unsealed now.
        run.queue?.reset();
        run.queue = null;
        if (encrypted) await this.#exchange(run, id, password);
        run.queue = new InputQueue((message, pushSignal) => this.#push(run, message, pushSignal));
        run.features = new Set();
        run.bound = pictureBound();
        this.#view.clear();
        this.#set(PHASE.live, this.#connectedStatus());
    }

    /** The encrypted session's exchange; nothing but it leaves before the host proved itself. */
    async #exchange(run, id, password) {
        const { signal } = run.controller;
        const { session, since } = await runExchange({
            keys: run.keys, hostId: id, password, features: OFFERED_FEATURES, signal, holdsPolls: run.waitMs > 0,
            push: (body) => postText('push', body, { signal }),
            poll: (from) => {
                run.since = from;
                return this.#poll(run, run.waitMs);
            },
            close: (reason) => this.#closeFor(run, reason),
        });
        if (run.cancelled) throw cancelled();
        run.sealed = session;
        run.since = since;
        rememberEncrypted(this.#storage, id);
    }

    #connectedStatus() {
        return `Connected \u00B7 ${TRANSPORT_LABELS[this.transport]}`;
    }

    /** One poll of the run's session, held as long as its switchboard allows. */
    #poll(run, waitMs) {
        const body = { ...this.#pollKeys(run), since: run.since, ...(waitMs > 0 ? { waitMs } : {}) };
        return postText('poll', body, { signal: run.controller.signal, stallLimitMs: waitMs + STALL_LIMIT_MS });
    }

    async #apply(run, answer) {
        const since = await applyPollAnswer(run.sealed === null ? answer : this.#opened(run, answer), {
            view: this.#view,
            onHello: (hello) => this.#hello(run, hello),
            onCursor: (cursor) => this.#view.setRemotePointer(cursor, this.remoteSize),
            isCurrent: () => !run.cancelled,
            bound: run.bound,
        });
        if (run.cancelled) throw cancelled();
        return since;
    }

    /**
     * The switchboard or the link failed: the same session is polled again, and once the
     * switchboard no longer knows it (restarted), a new one is opened, once a second until one
     * answers or the time is up. The last picture stays, greyed, until then. Resolves with the
     * answer of the poll that got through.
     */
    async #reconnect(run, id, password, failure) {
        const { signal } = run.controller;
        const deadline = performance.now() + RECONNECT_FOR_MS;
        this.#set(PHASE.live, STATUS.reconnecting);
        let last = failure;
        for (;;) {
            if (performance.now() >= deadline) throw last;
            await pause(RECONNECT_PAUSE_MS, signal);
            if (run.cancelled) throw cancelled();
            try {
                if (last.code === 404 || last.code === 409) await this.#open(run, id, password);
                return await this.#poll(run, 0);
            } catch (again) {
                if (run.cancelled) throw cancelled();
                if (!mayPass(again)) throw again;
                last = again;
                if (this.status !== STATUS.reconnecting) this.#set(PHASE.live, STATUS.reconnecting);
            }
        }
    }

    /** An encrypted session's answer opened; a frame that fails its check ends the session. */
    #opened(run, answer) {
        try {
            return run.sealed.openAnswer(answer);
        } catch (failure) {
            this.#closeFor(run, failure.description);
            throw failure;
        }
    }

    #pollKeys(run) {
        return { sessionId: run.keys.sessionId, token: run.keys.token, role: 'viewer' };
    }

    #hello(run, hello) {
        this.remoteSize = { width: hello.width, height: hello.height };
        run.features = hello.features;
        run.bound = pictureBound(hello);
        // What the host takes changes what the page offers (the extra keys).
        this.onChange(this);
        if (OFFERED_FEATURES.length > 0) run.queue.enqueue(capsMessage(OFFERED_FEATURES));
    }

    /** One message in one push; the session members come first so a switchboard can check them early. */
    #push(run, message, signal) {
        if (run.sealed !== null) return run.sealed.push(run.keys, message, (body) => postText('push', body, { signal })).catch(() => {});
        const body = `{"kind":"json","role":"viewer","sessionId":${JSON.stringify(run.keys.sessionId)},`
            + `"token":${JSON.stringify(run.keys.token)},"payload":"${encodeMessage(message)}"}`;
        return postText('push', body, { signal }).catch(() => {});
    }

    /** Ends a run's session at once, telling the other side why; nothing more goes out. */
    #closeFor(run, reason) {
        run.controller.abort();
        run.queue?.reset();
        if (run.closing || run.keys === null) return Promise.resolve();
        run.closing = true;
        return post('close', { ...run.keys, reason }).catch(() => {});
    }

    /**
     * Stops a run's polling and closes its session, after the input it still holds is out; once
     * per run, whoever asks first. A run whose session is not open yet has nothing to close now;
     * if its connect still comes back, its own ending closes it.
     */
    #close(run) {
        run.controller.abort();
        if (run.keys === null) {
            run.queue?.reset();
            return;
        }
        if (run.closing) return;
        run.closing = true;
        const keys = run.keys;
        const queue = run.queue;
        (async () => {
            await queue?.drain(CLOSE_DRAIN_MS);
            queue?.reset();
            await post('close', keys).catch(() => {});
        })();
    }
}
