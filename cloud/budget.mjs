// Memory budgets: bytes the service holds for its clients, counted where they are taken and given
// back where they are let go, so that no client, and no number of them, can make node hold more
// than the settings allow.
//
// Two budgets use this: the stored bytes (frames waiting for a reader, and answers written but not
// yet taken by the reader's connection) and the body bytes in flight (request bodies being read).
// The stored bytes are also split by owner: each host has an account with a cap of its own, so one
// busy host cannot take the room of every other.

/** Bytes held against one limit. */
export class ByteBudget {
    constructor(limit) {
        this.limit = limit;
        this.used = 0;
    }

    /** Would `added` bytes fit once `freed` bytes are let go? */
    fits(added, freed = 0) {
        return this.used - freed + added <= this.limit;
    }

    take(bytes) {
        this.used += bytes;
    }

    give(bytes) {
        this.used -= bytes;
    }

    /** An account of this budget whose own share is capped at `cap` bytes. */
    account(cap) {
        return new ByteAccount(this, cap);
    }
}

/** One owner's share of a budget: within its cap and within what the whole budget has left. */
export class ByteAccount {
    constructor(budget, cap) {
        this.budget = budget;
        this.cap = cap;
        this.used = 0;
    }

    fits(added, freed = 0) {
        return this.used - freed + added <= this.cap && this.budget.fits(added, freed);
    }

    take(bytes) {
        this.used += bytes;
        this.budget.take(bytes);
    }

    give(bytes) {
        this.used -= bytes;
        this.budget.give(bytes);
    }
}

/**
 * Bytes held until something ends: taken once, given back once, however many of the events that
 * end it arrive (an answer's connection can both finish and close).
 */
export class HeldBytes {
    constructor(account, bytes) {
        this.account = account;
        this.bytes = bytes;
        account.take(bytes);
    }

    release() {
        if (this.bytes === 0) return;
        this.account.give(this.bytes);
        this.bytes = 0;
    }
}

// Keys held at once before the ones holding nothing are forgotten on the spot rather than at the
// next sweep: only a swarm of addresses gets there.
const MAX_IDLE_KEYS = 4096;

/**
 * An account for each key (a client address), each capped at `capPerKey`, all within one shared
 * account: no single key can take the whole of it. Accounts that hold nothing are forgotten.
 */
export class KeyedAccounts {
    constructor(shared, capPerKey) {
        this.shared = shared;
        this.capPerKey = capPerKey;
        /** @type {Map<string, ByteAccount>} */
        this.accounts = new Map();
    }

    of(key) {
        let account = this.accounts.get(key);
        if (account === undefined) {
            if (this.accounts.size >= MAX_IDLE_KEYS) this.sweep();
            account = new ByteAccount(this.shared, this.capPerKey);
            this.accounts.set(key, account);
        }
        return account;
    }

    /**
     * Forgets the accounts that hold nothing. One still in use by a body that has charged nothing
     * yet may be forgotten too; a key then has two accounts for a moment, each within its cap and
     * both within the shared one.
     */
    sweep() {
        for (const [key, account] of this.accounts) {
            if (account.used === 0) this.accounts.delete(key);
        }
    }
}
