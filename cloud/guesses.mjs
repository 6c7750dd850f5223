// Password guesses against one host: how long a client must wait before it may guess again.
//
// The password has 32^8 = 2^40 values, so guessing stays hopeless as long as the guesses per day
// stay in the hundreds; what must not happen is that a stranger who keeps guessing keeps the
// owner out. Hence two limits, and neither is a wall that a stranger can hold shut:
//   - per client address: a few wrong guesses come free (at most guessLimit within
//     guessWindowMs), then each further one doubles the wait, up to guessWaitMaxMs. Only the
//     address that guesses waits; the owner, coming from another address, does not.
//   - per host, across all addresses: a bucket of idGuessBurst wrong guesses that refills one per
//     idGuessRefillMs. It bounds a swarm of addresses; one address alone, held back by its own
//     waits, cannot empty it, since it refills faster than that address may guess.
// The README's security section works out the numbers.

import { TokenBucket } from './rate-limits.mjs';

// Past this many wrong guesses from one address, every further one doubles the wait.
const FREE_WINDOWS = 2;
// An address's wrong guesses are forgotten a day after its last one, or at once when it gets the
// password right.
const STRIKES_FORGOTTEN_MS = 24 * 60 * 60 * 1000;
// Addresses remembered per host; past this the one whose last wrong guess is oldest is forgotten.
// Only a swarm of addresses gets there, and the host's own bucket still bounds a swarm.
const MAX_CLIENTS_PER_HOST = 256;
// 2^30 times any wait is beyond every cap; larger exponents would only overflow.
const MAX_DOUBLINGS = 30;

export class PasswordGuesses {
    constructor(settings, now) {
        this.settings = settings;
        this.budget = new TokenBucket(settings.idGuessBurst, settings.idGuessRefillMs, now);
        /** @type {Map<string, { strikes: number, lastWrongAt: number, recent: number[] }>} */
        this.clients = new Map();
    }

    /** Milliseconds this client must wait before its next guess is even looked at; 0 if none. */
    waitMs(key, now) {
        return Math.max(this.#clientWaitMs(key, now), this.budget.waitMs(now));
    }

    recordWrong(key, now) {
        this.budget.take(now);
        let client = this.clients.get(key);
        if (client === undefined) {
            if (this.clients.size >= MAX_CLIENTS_PER_HOST) this.#forgetOldest();
            client = { strikes: 0, lastWrongAt: now, recent: [] };
            this.clients.set(key, client);
        }
        client.strikes += 1;
        client.lastWrongAt = now;
        client.recent.push(now);
        if (client.recent.length > this.settings.guessLimit) client.recent.shift();
    }

    /** The right password: whatever this address got wrong before is forgiven. */
    recordRight(key) {
        this.clients.delete(key);
    }

    #clientWaitMs(key, now) {
        const client = this.clients.get(key);
        if (client === undefined) return 0;
        if (now - client.lastWrongAt >= STRIKES_FORGOTTEN_MS) {
            this.clients.delete(key);
            return 0;
        }
        const { guessLimit, guessWindowMs, guessWaitMaxMs } = this.settings;
        // At most guessLimit wrong guesses in any window: the oldest of them must leave it first.
        let until = client.recent.length >= guessLimit ? client.recent[0] + guessWindowMs : 0;
        const escalated = client.strikes - FREE_WINDOWS * guessLimit;
        if (escalated >= 0) {
            const backoffMs = Math.min(guessWindowMs * 2 ** Math.min(escalated, MAX_DOUBLINGS), guessWaitMaxMs);
            until = Math.max(until, client.lastWrongAt + backoffMs);
        }
        return Math.max(0, until - now);
    }

    #forgetOldest() {
        let oldestKey;
        let oldestAt = Infinity;
        for (const [key, client] of this.clients) {
            if (client.lastWrongAt < oldestAt) {
                oldestAt = client.lastWrongAt;
                oldestKey = key;
            }
        }
        this.clients.delete(oldestKey);
    }
}
