// Rate limits: token buckets, and the budgets each client address has across all hosts.
//
// Everything here is measured on the switchboard's clock, so a test can move time instead of
// waiting for it.

/** Up to `burst` actions at once, then one more per `refillMs`. */
export class TokenBucket {
    constructor(burst, refillMs, now) {
        this.burst = burst;
        this.refillMs = refillMs;
        this.tokens = burst;
        this.refilledAt = now;
    }

    #refill(now) {
        if (this.tokens >= this.burst) {
            this.refilledAt = now;
            return;
        }
        const gained = Math.floor((now - this.refilledAt) / this.refillMs);
        if (gained <= 0) return;
        this.tokens = Math.min(this.burst, this.tokens + gained);
        this.refilledAt = this.tokens >= this.burst ? now : this.refilledAt + gained * this.refillMs;
    }

    /** Milliseconds until a token is there; 0 when one is there now. */
    waitMs(now) {
        this.#refill(now);
        return this.tokens > 0 ? 0 : Math.max(1, this.refilledAt + this.refillMs - now);
    }

    /** Takes a token if there is one. */
    take(now) {
        this.#refill(now);
        if (this.tokens <= 0) return false;
        this.tokens -= 1;
        return true;
    }

    /** Puts back a token taken for what turned out not to count. */
    giveBack(now) {
        this.#refill(now);
        this.tokens = Math.min(this.burst, this.tokens + 1);
    }

    /** Full again: it remembers nothing a fresh bucket would not. */
    isFull(now) {
        this.#refill(now);
        return this.tokens >= this.burst;
    }
}

// Clients remembered at once. Past this the one unheard of longest is forgotten: only a swarm of
// addresses gets there, and the limits per host still hold for a swarm.
const MAX_CLIENTS = 16_384;

/**
 * What each client address may still do, across all hosts: look hosts up (a "connect" counts as a
 * lookup too, since its answer also tells whether an ID exists), guess passwords and register new
 * host IDs. A client is named by clientKey(); requests that name none share one entry.
 */
export class ClientBudgets {
    constructor(settings) {
        this.settings = settings;
        /** @type {Map<string, { lookups, guesses, registrations: TokenBucket }>} in order of last use */
        this.clients = new Map();
    }

    #budgetsOf(key, now) {
        let budgets = this.clients.get(key);
        if (budgets !== undefined) {
            this.clients.delete(key);
        } else {
            const { settings } = this;
            if (this.clients.size >= MAX_CLIENTS) this.sweep(now);
            if (this.clients.size >= MAX_CLIENTS) this.clients.delete(this.clients.keys().next().value);
            budgets = {
                lookups: new TokenBucket(settings.lookupBurst, settings.lookupRefillMs, now),
                guesses: new TokenBucket(settings.addressGuessBurst, settings.addressGuessRefillMs, now),
                registrations: new TokenBucket(settings.hostRegistrationBurst, settings.hostRegistrationRefillMs, now),
            };
        }
        this.clients.set(key, budgets);
        return budgets;
    }

    /** Spends a lookup; false when this client has none left for now. */
    spendLookup(key, now) {
        return this.#budgetsOf(key, now).lookups.take(now);
    }

    /** How long this client must wait before its next password guess on any host. */
    guessWaitMs(key, now) {
        return this.#budgetsOf(key, now).guesses.waitMs(now);
    }

    recordWrongGuess(key, now) {
        this.#budgetsOf(key, now).guesses.take(now);
    }

    /** A guess recorded as wrong before it could be judged turned out right. */
    undoWrongGuess(key, now) {
        this.#budgetsOf(key, now).guesses.giveBack(now);
    }

    /** Spends the registration of a new host ID; false when this client has none left for now. */
    spendRegistration(key, now) {
        return this.#budgetsOf(key, now).registrations.take(now);
    }

    /** Forgets the clients whose budgets are full again. */
    sweep(now) {
        for (const [key, budgets] of this.clients) {
            if (Object.values(budgets).every((bucket) => bucket.isFull(now))) this.clients.delete(key);
        }
    }
}
