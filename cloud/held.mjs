// Requests answered later: a poll held until a frame arrives for its poller, a push held until
// the other side takes its frame, each at most until its wait is over. A held request holds a
// connection and a few objects, no bytes of any frame; it looks again at what it waits for
// whenever its session changes (wakeups.mjs), when a time it named comes, and on every sweep
// (which is how a test that moves the clock by hand sees waits end).

import { Refusal, internalFailure } from './refusal.mjs';

// setTimeout's longest delay; a later moment is looked at again then.
const LONGEST_TIMER_MS = 2 ** 31 - 1;

export class HeldRequest {
    #table;
    #sessionId;
    #untilMs;
    #look;
    #expire;
    #nextLookAt;
    #ended;
    #deliver = null;
    #outcome = undefined;
    #timer = null;
    #stopListening = null;
    #done = false;

    /**
     * Held on `sessionId` until `untilMs` at the latest (on the switchboard's clock).
     *   look(now)       the answer once there is one (what a route returns, or a Refusal thrown),
     *                   else undefined;
     *   expire(now)     the answer when the wait is over;
     *   nextLookAt(now) when to look again without being woken (Infinity: only when woken);
     *   ended()         called once, however the request ends: answered, or its client gone.
     */
    constructor(table, sessionId, untilMs, { look, expire, nextLookAt = () => Infinity, ended = () => {} }) {
        this.#table = table;
        this.#sessionId = sessionId;
        this.#untilMs = untilMs;
        this.#look = look;
        this.#expire = expire;
        this.#nextLookAt = nextLookAt;
        this.#ended = ended;
    }

    get done() {
        return this.#done;
    }

    /** Starts waiting; `deliver(outcome)` is called once with the answer or a Refusal. */
    start(deliver) {
        if (this.#done) {
            deliver(this.#outcome);
            return;
        }
        this.#deliver = deliver;
        this.#table.add(this);
        this.#stopListening = this.#table.wakeups.listen(this.#sessionId, () => this.lookAgain());
        this.lookAgain();
    }

    /** Answers it now, if it has not been answered yet: another request made it needless. */
    answerNow(outcome) {
        if (this.#done) return;
        this.#finish(outcome);
    }

    /** Its client went away: nothing is answered, and nothing it waited for is held any more. */
    cancel() {
        if (this.#done) return;
        this.#finish(undefined);
    }

    /** Looks at what it waits for, at `now` on the switchboard's clock. */
    lookAgain(now = this.#table.now()) {
        if (this.#done || this.#deliver === null) return;
        let outcome;
        try {
            outcome = now >= this.#untilMs ? this.#expire(now) : this.#look(now);
        } catch (failure) {
            outcome = failure instanceof Refusal ? failure : internalFailure();
        }
        if (outcome !== undefined) {
            this.#finish(outcome);
            return;
        }
        this.#arm(now);
    }

    #arm(now) {
        clearTimeout(this.#timer);
        const at = Math.min(this.#untilMs, this.#nextLookAt(now));
        const delay = Math.min(LONGEST_TIMER_MS, Math.max(1, Math.ceil(at - now)));
        this.#timer = setTimeout(() => this.lookAgain(), delay);
        this.#timer.unref();
    }

    #finish(outcome) {
        this.#done = true;
        this.#outcome = outcome;
        clearTimeout(this.#timer);
        this.#stopListening?.();
        this.#table.remove(this);
        this.#ended();
        if (outcome !== undefined) this.#deliver?.(outcome);
    }
}

/** Every request held now, and how they are woken. */
export class HeldRequests {
    /** `wakeups` is the session wakeups (SessionWakeups); `now()` the switchboard's clock. */
    constructor(wakeups, now) {
        this.wakeups = wakeups;
        this.now = now;
        this.held = new Set();
        this.watchers = new Set();
    }

    /** Calls `watch(size)` whenever a request starts or stops being held; returns the call that stops it. */
    watch(watch) {
        this.watchers.add(watch);
        return () => this.watchers.delete(watch);
    }

    #changed() {
        for (const watch of [...this.watchers]) watch(this.held.size);
    }

    get size() {
        return this.held.size;
    }

    /** A request held on `sessionId` until `untilMs` (see HeldRequest). */
    hold(sessionId, untilMs, handlers) {
        return new HeldRequest(this, sessionId, untilMs, handlers);
    }

    add(request) {
        this.held.add(request);
        this.#changed();
    }

    remove(request) {
        if (this.held.delete(request)) this.#changed();
    }

    /** Every held request looks again: waits that are over end. */
    sweep(now) {
        for (const request of [...this.held]) request.lookAgain(now);
    }
}
