// Open connections: one request at a time on each, which to shed when there are too many, the
// deadline of answers their readers do not take, and the rate bodies must keep.
//
// Node refuses every new connection once maxConnections are open, so a flood of idle or trickling
// connections would lock everyone out, the host's own heartbeat included. Instead, as the count
// nears the limit, each new connection sheds an old one: the one that has gone longest without a
// completed exchange (idle keep-alives, and requests whose headers or body trickle in), so a new
// client is always heard. A body that has already shown its session's token is shed only after
// every idle and slow one, a held poll or push (waiting for its answer, see held.mjs) only after
// those, the one held longest first, and a connection busy writing an answer last, the answer
// that has waited longest for its reader first (until then, the write deadline is theirs). The
// connections of this machine's own host are never shed.
//
// Each connection is served one request at a time. A client that sends requests ahead of the
// answers (HTTP pipelining, which no browser, tunnel or phone library does) has them wait their
// turn, while nothing more is read from it. Node parses every request of one read at once (a read
// of 64 KB can hold two thousand), so a connection that sends more ahead than may wait is closed
// and the parse of the rest of that read stopped: without this, a few connections writing
// requests they never read the answers of made node hold thousands of answers each, and the
// parsing alone kept every other client waiting.

import { HEAD_BYTES } from './transport.mjs';

// Requests that may wait their turn on one connection, each with at most a head's worth of body;
// a connection that sends more, or a larger body ahead, is closed.
const MAX_WAITING_REQUESTS = 4;

/** Can this request wait its turn: a body, if any, no larger than a head and of declared size? */
function mayWait(request) {
    if (request.headers['transfer-encoding'] !== undefined) return false;
    const length = request.headers['content-length'];
    return length === undefined || Number(length) <= HEAD_BYTES;
}

/**
 * Has node's parser of this connection stop at the next request once the connection is closed,
 * rather than go on through the rest of what it read. Node hands each request's head to its
 * parser's onIncoming, and a number below zero returned from there ends the parse as an error.
 * Where a node keeps its parser otherwise, nothing changes but the time that parse takes.
 */
function stopParsingOnceClosed(socket, state) {
    const parser = socket.parser;
    const onIncoming = parser?.onIncoming;
    if (typeof onIncoming !== 'function') return;
    // Node gives each new connection a fresh onIncoming, so this never wraps a wrapper.
    parser.onIncoming = function onIncomingUnlessClosed(request, keepAlive) {
        return state.closed ? -1 : onIncoming.call(this, request, keepAlive);
    };
}

export class ConnectionTable {
    constructor(settings) {
        this.settings = settings;
        // Shedding starts this far below the limit, so that the connections arriving while it
        // works still find room.
        this.shedAbove = settings.maxConnections - Math.max(1, Math.floor(settings.maxConnections / 16));
        /** @type {Map<object, object>} socket -> state, longest without an exchange first */
        this.connections = new Map();
    }

    get size() {
        return this.connections.size;
    }

    /** A new connection: tracked until it closes, and room made for it if the limit is near. */
    track(socket, now) {
        const state = {
            socket,
            quietSince: now,
            answering: 0,
            answerSince: 0,
            // A held request waits for its answer; since when, in the order holds began.
            holding: false,
            shownBody: false,
            local: false,
            // A request is being served; those sent ahead of its answer wait here.
            busy: false,
            waiting: [],
            readingHeld: false,
            guarded: false,
            // The body being read, for its minimum rate: { startedAt, received, tooSlow }.
            body: null,
            closed: false,
        };
        this.connections.set(socket, state);
        socket.once('close', () => this.connections.delete(socket));
        stopParsingOnceClosed(socket, state);
        this.#shedFor(socket);
    }

    #shedFor(arrived) {
        while (this.connections.size > this.shedAbove) {
            const victim = this.#victim(arrived, false) ?? this.#victim(arrived, true) ?? this.#longestHeld(arrived)
                ?? this.#slowestReader(arrived);
            if (victim === undefined) return;
            this.#close(victim);
        }
    }

    /**
     * When every connection is busy, the one whose reader has left an answer untaken longest: a
     * reader that keeps up takes its answer within moments.
     */
    #slowestReader(arrived) {
        let slowest;
        for (const state of this.connections.values()) {
            if (state.socket === arrived || state.local || state.answering === 0) continue;
            if (slowest === undefined || state.answerSince < slowest.answerSince) slowest = state;
        }
        return slowest;
    }

    /** The held request that began waiting first: the others have more of their wait to go. */
    #longestHeld(arrived) {
        for (const state of this.connections.values()) {
            if (state.socket !== arrived && !state.local && state.holding && state.answering === 0) return state;
        }
        return undefined;
    }

    /**
     * The connection that has gone longest without an exchange and is neither writing an answer
     * nor holding a request for one.
     */
    #victim(arrived, evenShownBodies) {
        for (const state of this.connections.values()) {
            if (state.socket === arrived || state.local || state.answering > 0 || state.holding) continue;
            if (state.shownBody && !evenShownBodies) continue;
            return state;
        }
        return undefined;
    }

    /** The connection carries this machine's own host's requests: it is never shed. */
    markLocal(socket) {
        const state = this.connections.get(socket);
        if (state !== undefined) state.local = true;
    }

    /** The body being read on this connection has shown a session's token. */
    bodyShown(socket) {
        const state = this.connections.get(socket);
        if (state !== undefined) state.shownBody = true;
    }

    /**
     * A request on this connection is held until its answer is ready: not idle, so shed only
     * after the idle and trickling ones. Moved to the back, so the table's order among held
     * requests is the order they began.
     */
    holdStarted(socket) {
        const state = this.connections.get(socket);
        if (state === undefined) return;
        state.holding = true;
        state.shownBody = false;
        this.connections.delete(socket);
        this.connections.set(socket, state);
    }

    holdEnded(socket) {
        const state = this.connections.get(socket);
        if (state !== undefined) state.holding = false;
    }

    answerStarted(socket, now) {
        const state = this.connections.get(socket);
        if (state === undefined) return;
        if (state.answering === 0) state.answerSince = now;
        state.answering += 1;
        state.shownBody = false;
    }

    /** An answer has been taken by the connection (or the connection is gone). */
    answerEnded(socket, now) {
        const state = this.connections.get(socket);
        if (state === undefined) return;
        state.answering = Math.max(0, state.answering - 1);
        if (state.answering > 0) return;
        // Moved to the back: the order of the table stays the order of the last exchange.
        state.quietSince = now;
        this.connections.delete(socket);
        this.connections.set(socket, state);
    }

    /**
     * Serves a request when it is its connection's turn: at once if nothing else is being served
     * on it, else after the requests before it have been answered and their answers taken.
     */
    admit(request, response, serve) {
        const state = this.connections.get(request.socket);
        // A connection shed or closed while node still parsed what it had read: nothing to answer.
        if (state === undefined) return;
        const run = () => {
            let ended = false;
            const end = () => {
                if (ended) return;
                ended = true;
                this.#requestEnded(state);
            };
            response.once('finish', end);
            response.once('close', end);
            serve();
        };
        if (!state.busy) {
            state.busy = true;
            run();
            return;
        }
        if (state.waiting.length >= MAX_WAITING_REQUESTS || !mayWait(request)) {
            this.#close(state);
            return;
        }
        state.waiting.push(run);
        this.#holdReading(state);
    }

    #requestEnded(state) {
        if (state.waiting.length === 0 && !state.readingHeld) {
            state.busy = false;
            return;
        }
        // What this connection sent ahead is taken up only after every other connection's input
        // has had its turn: served at once, a connection that sends a thousand requests ahead
        // would have them all answered before anyone else was heard.
        setImmediate(() => {
            if (state.socket.destroyed) {
                state.waiting = [];
                return;
            }
            const next = state.waiting.shift();
            if (next === undefined) state.busy = false;
            // The last request waiting may not have all its body yet: reading goes on.
            if (state.waiting.length === 0) this.#releaseReading(state);
            next?.();
        });
    }

    /** Stops reading from the connection, whoever would resume it, until released. */
    #holdReading(state) {
        if (state.readingHeld) return;
        state.readingHeld = true;
        state.socket.pause();
        if (state.guarded) return;
        state.guarded = true;
        // A request's body stream resumes its socket when it is read; node resumes a socket it
        // paused itself once its answers drain.
        state.socket.on('resume', () => {
            if (state.readingHeld) state.socket.pause();
        });
    }

    #releaseReading(state) {
        if (!state.readingHeld) return;
        state.readingHeld = false;
        state.socket.resume();
    }

    #close(state) {
        state.closed = true;
        this.connections.delete(state.socket);
        state.socket.destroy();
    }

    /**
     * Starts the minimum-rate deadline of a body read on this connection: tooSlow() is called once
     * it falls behind. Returns { progress(bytes received so far), end() }.
     */
    watchBody(socket, now, tooSlow) {
        const state = this.connections.get(socket);
        const body = { startedAt: now, received: 0, tooSlow };
        if (state !== undefined) state.body = body;
        return {
            progress: (received) => { body.received = received; },
            end: () => {
                if (state?.body === body) state.body = null;
            },
        };
    }

    /** Past its grace period, has the body come slower than the minimum rate? */
    #tooSlow(body, now) {
        const late = now - body.startedAt - this.settings.slowBodyGraceMs;
        return late > 0 && body.received < (late * this.settings.minBodyBytesPerSecond) / 1000;
    }

    /**
     * Closes the connections whose reader has not taken an answer within the write deadline, and
     * refuses the bodies that have fallen behind the minimum rate.
     */
    sweep(now) {
        const slow = [];
        for (const state of this.connections.values()) {
            if (state.answering > 0 && now - state.answerSince > this.settings.answerWriteTimeoutMs) {
                this.#close(state);
            } else if (state.body !== null && this.#tooSlow(state.body, now)) {
                slow.push(state.body);
                state.body = null;
            }
        }
        for (const body of slow) body.tooSlow();
    }
}
