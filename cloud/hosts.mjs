// Registered hosts: who owns an ID, whether it is online, the password guesses made against it
// and its share of the stored bytes. Keyed by client-supplied text in a Map, never a plain object,
// so that no key can reach a prototype.

import { PasswordGuesses } from './guesses.mjs';
import { HOST_ID_PATTERN } from './members.mjs';
import { digest } from './secrets.mjs';

export class HostTable {
    /**
     * `budgets.stored` is what every host's frames are held against and `budgets.inFlight` what
     * the push bodies on their way in are, each host within its own share of both.
     */
    constructor(settings, budgets) {
        this.settings = settings;
        this.budgets = budgets;
        /** @type {Map<string, object>} host ID -> host record */
        this.hosts = new Map();
    }

    get size() {
        return this.hosts.size;
    }

    /** The host of a well-formed ID, or undefined; any other text finds nothing. */
    find(id) {
        return HOST_ID_PATTERN.test(id) ? this.hosts.get(id) : undefined;
    }

    /** A new host that owns `id` through the digest of its token, known but not yet online. */
    add(id, hostToken, now) {
        const host = {
            id,
            tokenDigest: digest(hostToken),
            lastBeatAt: -Infinity,
            guesses: new PasswordGuesses(this.settings, now),
            account: this.budgets.stored.account(this.settings.maxHostStoredBytes),
            inFlight: this.budgets.inFlight.account(this.settings.maxPushBytes),
        };
        this.hosts.set(id, host);
        return host;
    }

    isOnline(host, now) {
        return now - host.lastBeatAt <= this.settings.onlineMs;
    }

    /** Forgets the hosts that have been silent so long that their IDs are released. */
    sweep(now) {
        for (const host of this.hosts.values()) {
            if (now - host.lastSeenAt > this.settings.hostForgetMs) this.hosts.delete(host.id);
        }
    }
}
