// Sessions: what a viewer and a host share, the frames each side waits for, and when a session
// ends and is forgotten. Keyed by client-supplied text in a Map, never a plain object, so that no
// key can reach a prototype.

import { FrameQueue, markTaken } from './frame-queue.mjs';
import { refuse } from './refusal.mjs';
import { readText } from './members.mjs';
import { newSecret, sameIssuedSecret } from './secrets.mjs';
import { CLOSE_FRAME, ROLE, isTiles, isWholePicture } from './wire.mjs';

const MAX_SESSION_ID_LENGTH = 128;
const FULL = 'The switchboard is full; try again shortly';

/** The other side of a session's `role`. */
export const otherRole = (role) => (role === ROLE.viewer ? ROLE.host : ROLE.viewer);

/** One viewer's session with one host. */
export class Session {
    /** `wakeups` is told of every change a held request may wait for (wakeups.mjs). */
    constructor(host, clientName, now, settings, wakeups) {
        this.settings = settings;
        this.wakeups = wakeups;
        this.id = newSecret(16);
        this.token = newSecret(32);
        this.tokenBytes = Buffer.from(this.token, 'utf8');
        this.hostId = host.id;
        // Its heartbeats count as the host being there.
        this.host = host;
        // A session of this machine's own host: counted apart from those of hosts from outside.
        this.local = host.local;
        this.clientName = clientName;
        // An encrypted session (its viewer connected without the password), and the wrong guess
        // its connect recorded until the host confirms the exchange: { address, device }, or null.
        this.e2e = false;
        this.guess = null;
        // Set by connect: what the host's owner is shown of the viewer.
        this.clientPlatform = '';
        this.clientAddress = '';
        this.createdAt = now;
        this.ended = false;
        this.endReason = '';
        // The host has been shown this session in a heartbeat answer, so it may start streaming
        // even before it claims; from then on it must be told when the session ends.
        this.offered = false;
        this.claimed = false;
        this.closeCollected = false;
        this.freeAt = Infinity;
        this.viewerSeenAt = now;
        this.hostSeenAt = now;
        // When a request of each side last reached us (the host's heartbeats count too, see
        // quietMs): how long the other side has been quiet is told to a poller that waits.
        this.contactAt = { [ROLE.host]: now, [ROLE.viewer]: now };
        // The poll of each side held now, and the pushes held until their frames are taken.
        this.heldPolls = { [ROLE.host]: null, [ROLE.viewer]: null };
        this.heldPushes = { [ROLE.host]: [], [ROLE.viewer]: [] };
        // Towards the viewer: every frame gets a sequence number; the viewer acknowledges what it
        // received by sending the newest number back as its cursor.
        this.sequence = 0;
        // Everything the session holds is charged to its host's share of the stored bytes.
        this.account = host.account;
        // Push bodies on their way in are charged to the host's share of the bytes in flight.
        this.inFlight = host.inFlight;
        // Poll answers written but not yet taken by their reader's connection.
        this.answersOnTheirWay = 0;
        this.viewerMessages = new FrameQueue(this.account);
        // Whole pictures, and the tiles frames that change them, in push order.
        this.viewerPictures = new FrameQueue(this.account);
        // Tiles the host pushes now change a picture the viewer has or will get: a whole picture
        // was taken, and no tiles frame since has been refused.
        this.tilesBuildOnAPicture = false;
        // Towards the host: handed over exactly once, in push order.
        this.hostFrames = new FrameQueue(this.account);
    }

    /** Wakes whatever is held on this session to look again. */
    changed() {
        this.wakeups.publish(this.id);
    }

    /**
     * How long `role` has been quiet: since its last request for this session reached us, or for
     * the host its last heartbeat. A viewer holding a poll is there: it has nothing else to send
     * while it waits. A host holding a poll is not thereby counted: it heartbeats every few
     * seconds anyway, and one that froze keeps its connection open, so only missing requests
     * tell.
     */
    quietMs(role, now) {
        if (role === ROLE.viewer && this.heldPolls.viewer !== null) return 0;
        const last = role === ROLE.host ? Math.max(this.contactAt.host, this.host.lastBeatAt) : this.contactAt.viewer;
        return Math.max(0, now - last);
    }

    /** Is `role` quiet beyond the limit, for the other side to be told? */
    isQuiet(role, now) {
        return this.quietMs(role, now) > this.settings.peerQuietLimitMs;
    }

    /** When `role` will count as quiet if nothing more is heard of it (a held viewer: look later). */
    quietFrom(role, now) {
        const limit = this.settings.peerQuietLimitMs;
        if (role === ROLE.viewer && this.heldPolls.viewer !== null) return now + limit + 1;
        return now - this.quietMs(role, now) + limit + 1;
    }

    /** A held poll of `role` has ended (answered, or its client gone): its side was there till now. */
    pollEnded(role, now) {
        if (role === ROLE.viewer) {
            this.contactAt.viewer = Math.max(this.contactAt.viewer, now);
            this.viewerSeenAt = Math.max(this.viewerSeenAt, now);
        } else {
            this.hostSeenAt = Math.max(this.hostSeenAt, now);
        }
    }

    /** A request of `role` reached us: one that had been quiet wakes the other side's poll. */
    arrived(role, now) {
        const wasQuiet = this.isQuiet(role, now);
        this.contactAt[role] = now;
        if (wasQuiet) this.changed();
    }

    /** Once ended, the viewer (and a host that has not claimed yet) is told why. */
    ensureOpen() {
        if (this.ended) refuse(410, this.endReason);
    }

    /** The host has taken the session; it is watched for silence from now on. */
    hostIsHere(now) {
        this.claimed = true;
        this.hostSeenAt = now;
    }

    /** Takes a pushed frame for the other side, within the service's and the queue's bounds. */
    accept(role, frame, now) {
        const { settings } = this;
        const payloadLength = frame.payload.length;

        if (role === ROLE.viewer) {
            if (!this.account.fits(payloadLength)) refuse(503, FULL);
            this.viewerSeenAt = now;
            const queue = this.hostFrames;
            if (queue.length >= settings.maxQueuedMessages || queue.bytes + payloadLength > settings.maxQueuedBytes) {
                refuse(429, 'Too many messages are waiting for the PC');
            }
            queue.push(frame);
            this.changed();
            return;
        }
        if (isWholePicture(frame.kind)) {
            this.#acceptPicture(frame, now);
            return;
        }
        if (isTiles(frame.kind)) {
            this.#acceptTiles(frame, now);
            return;
        }
        if (!this.account.fits(payloadLength)) refuse(503, FULL);
        this.hostIsHere(now);
        const queue = this.viewerMessages;
        if (queue.length >= settings.maxQueuedMessages || queue.bytes + payloadLength > settings.maxQueuedBytes) {
            refuse(429, 'Too many messages are waiting for the viewer');
        }
        frame.sequence = ++this.sequence;
        queue.push(frame);
        this.changed();
    }

    /**
     * A whole picture replaces the oldest kept one, and every tiles frame waiting: they all come
     * before it, so a viewer that gets them gets this picture in the same answer and has no use
     * for them. The bytes they free count towards the room for it, unless an answer still on its
     * way to the viewer holds them.
     */
    #acceptPicture(frame, now) {
        const queue = this.viewerPictures;
        // How many of the kept pictures must go to leave room for this one: the oldest.
        let surplus = 1 - this.settings.keptPictures;
        for (const waiting of queue.frames) if (isWholePicture(waiting.kind)) surplus += 1;
        const going = queue.frames.filter((waiting) => isTiles(waiting.kind) || surplus-- > 0);
        const freed = going.reduce((sum, waiting) => sum + waiting.payload.freedByRelease, 0);
        if (!this.account.fits(frame.payload.length, freed)) refuse(503, FULL);

        this.hostIsHere(now);
        if (going.length > 0) {
            const gone = new Set(going);
            queue.retain((waiting) => !gone.has(waiting));
        }
        frame.sequence = ++this.sequence;
        queue.push(frame);
        this.tilesBuildOnAPicture = true;
        this.changed();
    }

    /**
     * Tiles join the pictures' queue: each frame changes the picture as the frames before it left
     * it, so all of them are kept from the last whole picture on. Once one is refused, any later
     * one would build on a picture the viewer never gets, so none is taken until a whole picture
     * starts afresh (the host sends one after a refusal anyway).
     */
    #acceptTiles(frame, now) {
        const { settings } = this;
        const payloadLength = frame.payload.length;
        const buildsOnAPicture = this.tilesBuildOnAPicture;
        this.tilesBuildOnAPicture = false;
        if (!buildsOnAPicture) refuse(409, 'The viewer needs a whole picture first');
        let frames = 0;
        let bytes = 0;
        for (const waiting of this.viewerPictures.frames) {
            if (!isTiles(waiting.kind)) continue;
            frames += 1;
            bytes += waiting.payload.length;
        }
        if (frames >= settings.maxQueuedTileFrames || bytes + payloadLength > settings.maxQueuedTileBytes) {
            refuse(429, 'Too many changes are waiting for the viewer');
        }
        if (!this.account.fits(payloadLength)) refuse(503, FULL);

        this.hostIsHere(now);
        frame.sequence = ++this.sequence;
        this.viewerPictures.push(frame);
        this.tilesBuildOnAPicture = true;
        this.changed();
    }

    /**
     * The frames for the viewer, in push order, after forgetting everything up to its cursor: the
     * cursor says what has arrived. A cursor we never issued acknowledges everything so far.
     * The frames returned count as taken.
     */
    framesForViewer(since, now) {
        const frames = this.framesWaitingForViewer(since, now);
        let taken = false;
        for (const frame of frames) taken = markTaken(frame) || taken;
        if (taken) this.changed();
        return frames;
    }

    /** The frames for the viewer after its cursor, as framesForViewer, not yet handed over. */
    framesWaitingForViewer(since, now) {
        this.ensureOpen();
        this.viewerSeenAt = now;
        const acknowledged = Math.min(since, this.sequence);
        const keep = (frame) => frame.sequence > acknowledged;
        this.viewerMessages.retain(keep);
        this.viewerPictures.retain(keep);
        return mergeBySequence(this.viewerMessages.frames, this.viewerPictures.frames);
    }

    /** Has the host anything to poll: frames, or the close of an ended session? */
    get hasFramesForHost() {
        return this.ended || this.hostFrames.length > 0;
    }

    /**
     * Whatever the viewer pushed, handed to the host once in push order; an ended session adds the
     * close message, on every poll until the session is freed.
     */
    framesForHost(now) {
        this.hostIsHere(now);
        const { frames, taken } = this.hostFrames.takeAll();
        if (taken) this.changed();
        if (this.ended) {
            frames.push(CLOSE_FRAME);
            if (!this.closeCollected) {
                this.closeCollected = true;
                this.freeAt = Math.min(this.freeAt, now + this.settings.collectedKeepMs);
            }
        }
        return frames;
    }
}

function mergeBySequence(a, b) {
    if (b.length === 0) return a.slice();
    if (a.length === 0) return b.slice();
    const merged = [];
    let i = 0;
    let j = 0;
    while (i < a.length || j < b.length) {
        if (j >= b.length || (i < a.length && a[i].sequence < b[j].sequence)) merged.push(a[i++]);
        else merged.push(b[j++]);
    }
    return merged;
}

/** Every session the service knows, open or ended but not yet forgotten. */
export class SessionTable {
    /** `wakeups` is told of every change of a session (wakeups.mjs). */
    constructor(settings, wakeups) {
        this.settings = settings;
        this.wakeups = wakeups;
        /** @type {Map<string, Session>} session ID -> session */
        this.sessions = new Map();
        // Sessions of this machine's host, and of hosts from outside: each up to maxSessions.
        this.counts = { local: 0, outside: 0 };
    }

    get size() {
        return this.sessions.size;
    }

    open(host, clientName, now) {
        const session = new Session(host, clientName, now, this.settings, this.wakeups);
        this.sessions.set(session.id, session);
        this.counts[poolOf(session)] += 1;
        return session;
    }

    /** The open sessions of one host: { pending } not claimed yet, { live } claimed. */
    openSessionsOf(hostId) {
        let pending = 0;
        let live = 0;
        for (const session of this.sessions.values()) {
            if (session.hostId !== hostId || session.ended) continue;
            if (session.claimed) live += 1;
            else pending += 1;
        }
        return { pending, live };
    }

    /** Wakes what is held on every open session of a host: its heartbeat came after a silence. */
    wakeAllOf(hostId) {
        for (const session of this.sessions.values()) {
            if (session.hostId === hostId && !session.ended) session.changed();
        }
    }

    /** Ends every open session of a host, for its viewers to learn why. */
    endAllOf(hostId, reason, now) {
        for (const session of this.sessions.values()) {
            if (session.hostId === hostId) this.end(session, reason, now);
        }
    }

    /** The session of this ID, or undefined; never a check of anyone's token. */
    find(id) {
        return typeof id === 'string' ? this.sessions.get(id) : undefined;
    }

    /** Finds the session named in the body and checks its token. */
    authorised(body, tokenKey) {
        const id = readText(body, 'sessionId', { required: true });
        const token = body[tokenKey];
        if (token !== undefined && token !== null && typeof token !== 'string') {
            refuse(400, `"${tokenKey}" must be text`);
        }
        const session = id.length <= MAX_SESSION_ID_LENGTH ? this.sessions.get(id) : undefined;
        if (session === undefined) refuse(404, 'Unknown session');
        if (!sameIssuedSecret(session.tokenBytes, token)) refuse(403, 'Wrong session token');
        return session;
    }

    /** The oldest session of this host that no host has claimed yet, or null. */
    oldestWaitingFor(hostId) {
        let waiting = null;
        for (const session of this.sessions.values()) {
            if (session.hostId === hostId && !session.ended && !session.claimed
                && (waiting === null || session.createdAt < waiting.createdAt)) {
                waiting = session;
            }
        }
        return waiting;
    }

    /** Ends a session: the viewer is refused from now on and the host will poll a close message. */
    end(session, reason, now) {
        if (session.ended) return;
        session.ended = true;
        session.endReason = reason;
        session.viewerMessages.clear();
        session.viewerPictures.clear();
        // A host that heard of the session must be able to collect the close for a long while; one
        // that never did needs nothing, and the record stays only so the viewer reads why it ended.
        const hostHeardOfIt = session.offered || session.claimed;
        session.freeAt = now + (hostHeardOfIt ? this.settings.endedKeepMs : this.settings.collectedKeepMs);
        session.changed();
    }

    /**
     * Makes room for one more session of this host's pool (this machine's host, or the hosts from
     * outside), dropping the pool's oldest ended one if it is full.
     */
    makeRoom(host) {
        const pool = host.local ? 'local' : 'outside';
        if (this.counts[pool] < this.settings.maxSessions) return true;
        let oldest = null;
        for (const session of this.sessions.values()) {
            if (session.ended && poolOf(session) === pool && (oldest === null || session.freeAt < oldest.freeAt)) oldest = session;
        }
        if (oldest === null) return false;
        this.forget(oldest);
        return true;
    }

    /** Ends the sessions a side has gone silent on, and forgets those whose time is up. */
    sweep(now) {
        const { settings } = this;
        for (const session of this.sessions.values()) {
            if (!session.ended) {
                // A side whose poll is held is there, whatever its last request.
                const viewerSeenAt = session.heldPolls.viewer !== null ? now : session.viewerSeenAt;
                const hostSeenAt = session.heldPolls.host !== null ? now : session.hostSeenAt;
                if (now - viewerSeenAt > settings.viewerIdleMs) {
                    this.end(session, 'The viewer stopped polling', now);
                } else if (!session.claimed && now - session.createdAt > settings.unclaimedMs) {
                    this.end(session, 'The PC did not answer', now);
                } else if (session.claimed && now - hostSeenAt > settings.hostIdleMs) {
                    this.end(session, 'The PC left the session', now);
                }
            }
            if (session.ended && now >= session.freeAt) this.forget(session);
        }
    }

    forget(session) {
        session.viewerMessages.clear();
        session.viewerPictures.clear();
        session.hostFrames.clear();
        if (this.sessions.delete(session.id)) this.counts[poolOf(session)] -= 1;
    }
}

const poolOf = (session) => (session.local ? 'local' : 'outside');
