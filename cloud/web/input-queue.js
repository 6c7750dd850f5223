// The session's input, in order: one message per push (the switchboard reached may be an older
// build that takes one), one push in flight at a time, so a key's release never overtakes its
// press and typed text never overtakes the click before it.
//
// While a push is in flight, what waits is kept small: a move replaces the move queued just
// before it, a wheel adds its pixels to the wheel queued just before it, and text joins the text
// queued just before it. Nothing merges across a message of another kind, so the order of presses,
// releases and keys stays as it was.
//
// A push unanswered after `waitLimitMs` is abandoned (its request aborted) and the queue goes on.
// If the abandoned request had in fact got through to the switchboard and is only held up on the
// way back, nothing is lost or reordered; if it is still on its way in (held by a proxy, say) it
// can arrive after the messages sent behind it. That costs one late event rather than a stalled
// session.

import { MAX_TEXT_CHARACTERS } from './messages.js';

export const WAIT_LIMIT_MS = 3000;
// Beyond this many waiting messages (a switchboard that stalls while keys are typed) new ones
// are dropped: what waits is already older than anyone would want delivered.
export const MAX_QUEUED = 512;

const inputOfKind = (message, kind) => message.type === 'input' && message.kind === kind;
const sameModifiers = (a, b) => (a.modifiers ?? []).join() === (b.modifiers ?? []).join();

/** `incoming` folded into `queued`, or null when the two must both go out. */
function merged(queued, incoming) {
    if (inputOfKind(queued, 'move') && inputOfKind(incoming, 'move')
        && queued.button === incoming.button && sameModifiers(queued, incoming)) {
        return incoming;
    }
    if (inputOfKind(queued, 'wheel') && inputOfKind(incoming, 'wheel') && sameModifiers(queued, incoming)) {
        // Every pixel counts: the host scrolls by the sum.
        return { ...incoming, deltaX: queued.deltaX + incoming.deltaX, deltaY: queued.deltaY + incoming.deltaY };
    }
    if (queued.type === 'text' && incoming.type === 'text'
        && Array.from(queued.key).length + Array.from(incoming.key).length <= MAX_TEXT_CHARACTERS) {
        return { type: 'text', key: queued.key + incoming.key };
    }
    return null;
}

export class InputQueue {
    #send;
    #waitLimitMs;
    #maxQueued;
    #waiting = [];
    #inFlight = null;
    #closed = false;
    #drained = [];

    /**
     * `send(message, signal)` pushes one message and returns a promise that settles when the
     * switchboard has answered (either way); `signal` aborts it when it is abandoned or the queue
     * is reset.
     */
    constructor(send, { waitLimitMs = WAIT_LIMIT_MS, maxQueued = MAX_QUEUED } = {}) {
        this.#send = send;
        this.#waitLimitMs = waitLimitMs;
        this.#maxQueued = maxQueued;
        this.abandoned = 0;
    }

    /** Messages not yet answered: the one in flight and those waiting. */
    get pending() {
        return this.#waiting.length + (this.#inFlight === null ? 0 : 1);
    }

    enqueue(message) {
        if (this.#closed) return;
        const last = this.#waiting.at(-1);
        const folded = last === undefined ? null : merged(last, message);
        if (folded !== null) {
            this.#waiting[this.#waiting.length - 1] = folded;
            return;
        }
        if (this.#waiting.length >= this.#maxQueued) return;
        this.#waiting.push(message);
        this.#sendNext();
    }

    /** Resolves once nothing is pending, or after `limitMs` at the latest. */
    drain(limitMs) {
        if (this.pending === 0) return Promise.resolve();
        return new Promise((resolve) => {
            const timer = setTimeout(finish, limitMs);
            function finish() {
                clearTimeout(timer);
                resolve();
            }
            this.#drained.push(finish);
        });
    }

    /** Ends the queue with its session: the push in flight is aborted and nothing more goes out. */
    reset() {
        this.#closed = true;
        this.#waiting = [];
        const flight = this.#inFlight;
        this.#inFlight = null;
        if (flight !== null) {
            clearTimeout(flight.timer);
            flight.controller.abort();
        }
        this.#notifyDrained();
    }

    #sendNext() {
        if (this.#inFlight !== null || this.#closed) return;
        const message = this.#waiting.shift();
        if (message === undefined) {
            this.#notifyDrained();
            return;
        }
        const flight = { controller: new AbortController(), timer: 0 };
        flight.timer = setTimeout(() => this.#finish(flight, true), this.#waitLimitMs);
        this.#inFlight = flight;
        let answered;
        try {
            answered = Promise.resolve(this.#send(message, flight.controller.signal));
        } catch {
            answered = Promise.resolve();
        }
        const done = () => this.#finish(flight, false);
        answered.then(done, done);
    }

    #finish(flight, abandoned) {
        // An answer for a push already abandoned, or for a queue already reset, changes nothing.
        if (this.#inFlight !== flight) return;
        clearTimeout(flight.timer);
        if (abandoned) {
            this.abandoned += 1;
            flight.controller.abort();
        }
        this.#inFlight = null;
        this.#sendNext();
    }

    #notifyDrained() {
        if (this.pending !== 0) return;
        const waiting = this.#drained;
        this.#drained = [];
        for (const finish of waiting) finish();
    }
}
