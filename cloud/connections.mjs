// Open connections: which to shed when there are too many, the deadline of answers their readers
// do not take, and the sessions each connection has shown it holds.
//
// Node refuses every new connection once maxConnections are open, so a flood of idle or trickling
// connections would lock everyone out, the host's own heartbeat included. Instead, as the count
// nears the limit, each new connection sheds an old one: the one that has gone longest without a
// completed exchange (idle keep-alives, and requests whose headers or body trickle in), so a new
// client is always heard. A body that has already shown its session's token is shed only after
// every idle and slow one, and a connection busy writing an answer only after those, the answer
// that has waited longest for its reader first (until then, the write deadline is theirs). The
// connections of this machine's own host are never shed.

// Sessions remembered per connection: a tunnel client carries many clients' requests on each of
// its connections, so a connection may have shown several.
const MAX_SESSIONS_PER_CONNECTION = 32;

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
            shownBody: false,
            local: false,
            sessions: [],
        };
        this.connections.set(socket, state);
        socket.once('close', () => this.connections.delete(socket));
        this.#shedFor(socket);
    }

    #shedFor(arrived) {
        while (this.connections.size > this.shedAbove) {
            const victim = this.#victim(arrived, false) ?? this.#victim(arrived, true) ?? this.#slowestReader(arrived);
            if (victim === undefined) return;
            this.connections.delete(victim.socket);
            victim.socket.destroy();
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

    /** The connection that has gone longest without an exchange and is not writing an answer. */
    #victim(arrived, evenShownBodies) {
        for (const state of this.connections.values()) {
            if (state.socket === arrived || state.local || state.answering > 0) continue;
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

    /** The connection has shown it holds this session (its token checked). */
    knowSession(socket, sessionId) {
        const state = this.connections.get(socket);
        if (state === undefined || state.sessions.includes(sessionId)) return;
        state.sessions.push(sessionId);
        if (state.sessions.length > MAX_SESSIONS_PER_CONNECTION) state.sessions.shift();
    }

    knows(socket, sessionId) {
        return this.connections.get(socket)?.sessions.includes(sessionId) ?? false;
    }

    /** The session this connection showed last, or undefined. */
    lastSession(socket) {
        return this.connections.get(socket)?.sessions.at(-1);
    }

    /** Closes the connections whose reader has not taken an answer within the write deadline. */
    sweep(now) {
        for (const state of this.connections.values()) {
            if (state.answering > 0 && now - state.answerSince > this.settings.answerWriteTimeoutMs) {
                this.connections.delete(state.socket);
                state.socket.destroy();
            }
        }
    }
}
