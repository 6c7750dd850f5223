// Waking the requests held for a session: a held poll waits for a frame to arrive, a held push
// for its frame to be taken. Whatever changes a session publishes the session's ID, and every
// request held on that session looks again at what it waits for.
//
// Only session IDs travel, and a wake says nothing but "look again", so switchboards that share
// their sessions (several instances over one store and a message bus) can wake each other's held
// requests by publishing the same IDs on the bus; this one wakes its own.

export class SessionWakeups {
    /** @type {Map<string, Set<() => void>>} session ID -> what to call when it changes */
    #listeners = new Map();
    #due = new Set();
    #scheduled = false;

    /** Calls `wake()` after each change of the session from now on; returns the call that stops it. */
    listen(sessionId, wake) {
        let listeners = this.#listeners.get(sessionId);
        if (listeners === undefined) {
            listeners = new Set();
            this.#listeners.set(sessionId, listeners);
        }
        listeners.add(wake);
        return () => {
            listeners.delete(wake);
            if (listeners.size === 0 && this.#listeners.get(sessionId) === listeners) this.#listeners.delete(sessionId);
        };
    }

    /**
     * The session changed. Its listeners are called once the request that changed it has been
     * handled (never in the middle of a change), once however often it was published meanwhile.
     */
    publish(sessionId) {
        if (!this.#listeners.has(sessionId)) return;
        this.#due.add(sessionId);
        if (this.#scheduled) return;
        this.#scheduled = true;
        queueMicrotask(() => this.#wakeDue());
    }

    #wakeDue() {
        this.#scheduled = false;
        const due = [...this.#due];
        this.#due.clear();
        for (const sessionId of due) {
            for (const wake of [...(this.#listeners.get(sessionId) ?? [])]) wake();
        }
    }
}
