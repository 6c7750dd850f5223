// Registered hosts: who owns an ID, whether it is online, and the password guesses made against
// it. Keyed by client-supplied text in a Map, never a plain object, so that no key can reach a
// prototype.

import { HOST_ID_PATTERN } from './members.mjs';
import { digest } from './secrets.mjs';

export class HostTable {
    constructor(settings) {
        this.settings = settings;
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
    add(id, hostToken) {
        const host = { id, tokenDigest: digest(hostToken), lastBeatAt: -Infinity, failures: [] };
        this.hosts.set(id, host);
        return host;
    }

    isOnline(host, now) {
        return now - host.lastBeatAt <= this.settings.onlineMs;
    }

    /** Password failures of the last window; the host is locked while there are guessLimit of them. */
    guessesLocked(host, now) {
        while (host.failures.length > 0 && now - host.failures[0] >= this.settings.guessWindowMs) {
            host.failures.shift();
        }
        return host.failures.length >= this.settings.guessLimit;
    }

    recordWrongGuess(host, now) {
        host.failures.push(now);
    }

    /** Forgets the hosts that have been silent so long that their IDs are released. */
    sweep(now) {
        for (const host of this.hosts.values()) {
            if (now - host.lastSeenAt > this.settings.hostForgetMs) this.hosts.delete(host.id);
        }
    }
}
