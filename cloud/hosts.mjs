// Registered hosts: who owns an ID, whether it is online, the password guesses made against it
// and its share of the bytes held. Keyed by client-supplied text in a Map, never a plain object,
// so that no key can reach a prototype.
//
// This machine's own host (its requests carry the proof of the key the app started us with) is
// "local": it is not counted against the hosts registered from outside, and its bytes come from a
// budget kept for it alone, so that nothing done through the tunnel can take its place.

import { PasswordGuesses } from './guesses.mjs';
import { HOST_ID_PATTERN } from './members.mjs';
import { digest } from './secrets.mjs';

export class HostTable {
    /**
     * `budgets.stored` and `budgets.inFlight` are what the hosts registered from outside share,
     * `budgets.localStored` and `budgets.localInFlight` this machine's host's alone; each host
     * holds its bytes within its own share of them, bodies in flight up to `budgets.bodyRoom`
     * (what the largest push may cost while it is read).
     */
    constructor(settings, budgets) {
        this.settings = settings;
        this.budgets = budgets;
        /** @type {Map<string, object>} host ID -> host record */
        this.hosts = new Map();
        this.outsideCount = 0;
    }

    /** Hosts registered from outside. */
    get outsideSize() {
        return this.outsideCount;
    }

    /** The host of a well-formed ID, or undefined; any other text finds nothing. */
    find(id) {
        return HOST_ID_PATTERN.test(id) ? this.hosts.get(id) : undefined;
    }

    /** A new host that owns `id` through the digest of its token, known but not yet online. */
    add(id, hostToken, now, local) {
        const host = {
            id,
            tokenDigest: digest(hostToken),
            lastBeatAt: -Infinity,
            guesses: new PasswordGuesses(this.settings, now),
        };
        this.#placeIn(host, local);
        this.hosts.set(id, host);
        return host;
    }

    /** This machine's host has shown that a host registered as from outside is its own. */
    makeLocal(host) {
        if (host.local) return;
        this.outsideCount -= 1;
        // Sessions already open keep the shares they were charged to; new ones get the host's own.
        this.#placeIn(host, true);
    }

    #placeIn(host, local) {
        const { settings, budgets } = this;
        host.local = local;
        host.account = (local ? budgets.localStored : budgets.stored).account(settings.maxHostStoredBytes);
        host.inFlight = (local ? budgets.localInFlight : budgets.inFlight).account(budgets.bodyRoom);
        if (!local) this.outsideCount += 1;
    }

    remove(host) {
        if (this.hosts.get(host.id) !== host) return;
        this.hosts.delete(host.id);
        if (!host.local) this.outsideCount -= 1;
    }

    isOnline(host, now) {
        return now - host.lastBeatAt <= this.settings.onlineMs;
    }

    /** Forgets the hosts that have been silent so long that their IDs are released. */
    sweep(now) {
        for (const host of this.hosts.values()) {
            if (now - host.lastSeenAt > this.settings.hostForgetMs) this.remove(host);
        }
    }
}
