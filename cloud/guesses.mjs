// Password guesses against one host: how long a client must wait before it may guess again.
//
// The password has 32^8 = 2^40 values, so guessing stays hopeless as long as the guesses per day
// stay in the hundreds; what must not happen is that a stranger who keeps guessing keeps the
// owner out. Hence these limits, and none is a wall that a stranger can hold shut:
//   - per client address: a few wrong guesses come free (at most guessLimit within
//     guessWindowMs), then each further one doubles the wait, up to guessWaitMaxMs. Only the
//     address that guesses waits; the owner, coming from another address, does not.
//   - per host, across all addresses: a bucket of idGuessBurst wrong guesses that refills one per
//     idGuessRefillMs. It bounds a swarm of addresses; one address alone, held back by its own
//     waits, cannot empty it, since it refills faster than that address may guess. A swarm can
//     keep it empty, though, and with it everyone who comes without a device token.
//   - per device token (device-tokens.mjs, handed to a viewer that got the password right): a
//     viewer that shows one is not held to the host's bucket but to one of its own
//     (deviceGuessBurst, one more per deviceGuessRefillMs) and to one that all device tokens of
//     the host share (knownDevicesGuessBurst, per knownDevicesGuessRefillMs). No swarm without
//     tokens can touch either, so a viewer that connected before gets in however many addresses
//     guess; and guesses per day stay bounded, since every bucket refills at a fixed pace.
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
// Device tokens whose buckets are remembered per host; past this the one used longest ago is
// forgotten, and the bucket all tokens share still bounds them.
const MAX_DEVICES_PER_HOST = 256;
// 2^30 times any wait is beyond every cap; larger exponents would only overflow.
const MAX_DOUBLINGS = 30;

export class PasswordGuesses {
    constructor(settings, now) {
        this.settings = settings;
        this.#fill(now);
    }

    #fill(now) {
        const { settings } = this;
        this.budget = new TokenBucket(settings.idGuessBurst, settings.idGuessRefillMs, now);
        this.knownDevices = new TokenBucket(settings.knownDevicesGuessBurst, settings.knownDevicesGuessRefillMs, now);
        /** @type {Map<string, TokenBucket>} device token nonce -> its own bucket, least recently used first */
        this.devices = new Map();
        /** @type {Map<string, { strikes: number, lastWrongAt: number, recent: number[] }>} */
        this.clients = new Map();
        // Since the host registered here, or since its owner last lifted the lockout.
        this.wrongGuesses = 0;
    }

    /**
     * Milliseconds this client must wait before its next guess is even looked at; 0 if none.
     * `key` is its address's key, or null where its address counts for nothing (a device token
     * holder whose address names no one); `device` the nonce of the device token it showed, or
     * null.
     */
    waitMs(key, now, device = null) {
        const address = key === null ? 0 : this.#clientWaitMs(key, now);
        if (device === null) return Math.max(address, this.budget.waitMs(now));
        return Math.max(address, this.knownDevices.waitMs(now), this.#deviceBucket(device, now).waitMs(now));
    }

    recordWrong(key, now, device = null) {
        this.wrongGuesses += 1;
        if (device === null) {
            this.budget.take(now);
        } else {
            this.knownDevices.take(now);
            this.#deviceBucket(device, now).take(now);
        }
        if (key === null) return;
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

    /**
     * An encrypted opening is counted wrong at once, before its exchange could tell; once the host
     * confirms the exchange, that guess is given back and counts as a right one.
     */
    undoWrong(key, now, device = null) {
        this.wrongGuesses = Math.max(0, this.wrongGuesses - 1);
        if (device === null) {
            this.budget.giveBack(now);
        } else {
            this.knownDevices.giveBack(now);
            this.#deviceBucket(device, now).giveBack(now);
        }
        this.recordRight(key, device);
    }

    /** The right password: whatever this address, and this device, got wrong before is forgiven. */
    recordRight(key, device = null) {
        if (key !== null) this.clients.delete(key);
        if (device !== null) this.devices.delete(device);
    }

    /**
     * What the host's owner is shown: whether a viewer without a device token is refused now
     * (`locked`) and for how long yet (`waitMs`), the wrong guesses counted, and the addresses
     * remembered for theirs.
     */
    state(now) {
        const waitMs = this.budget.waitMs(now);
        let addresses = 0;
        for (const client of this.clients.values()) if (now - client.lastWrongAt < STRIKES_FORGOTTEN_MS) addresses += 1;
        return { addresses, locked: waitMs > 0, waitMs, wrongGuesses: this.wrongGuesses };
    }

    /** The owner lifts the lockout: every bucket full and every address's wait forgotten. */
    lift(now) {
        this.#fill(now);
    }

    #deviceBucket(nonce, now) {
        let bucket = this.devices.get(nonce);
        if (bucket === undefined) {
            if (this.devices.size >= MAX_DEVICES_PER_HOST) this.devices.delete(this.devices.keys().next().value);
            bucket = new TokenBucket(this.settings.deviceGuessBurst, this.settings.deviceGuessRefillMs, now);
        } else {
            this.devices.delete(nonce);
        }
        this.devices.set(nonce, bucket);
        return bucket;
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
