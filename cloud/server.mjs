// KivrenRemote switchboard: the rendezvous and relay that hosts and viewers post JSON objects to.
//
// Run as `node server.mjs`; listens on 127.0.0.1 and the port in KIVREN_PORT (17880 when unset,
// "0" for a free port) and prints one line, "listening on 127.0.0.1:<port>", once it is ready.
// Imported, it starts nothing: `createSwitchboard` makes a switchboard of its own, with settings
// and a clock given directly, which is how the tests drive expiry without waiting.
//
// A tunnel publishes this service to the internet, so every request is treated as hostile: each
// connection is served one request at a time, bodies are size-limited, charged what they cost and
// must keep a minimum rate, a push's session is checked before its payload is read wherever it
// comes first, every member is type-checked, secrets are compared in constant time, password
// guesses and lookups are rate-limited, every queue, table and byte held is bounded, connections
// are shed before they run out, and nothing a client sends is ever printed.
//
// Where things are: settings.mjs (every setting and its KIVREN_* variable), wire.mjs (body
// parsing, payload checks and the bytes of every answer), transport.mjs (reading bodies within
// their limits, writing answers), routes.mjs (the paths), hosts.mjs and sessions.mjs (the tables,
// expiry and the frames in flight), budget.mjs (bytes held), connections.mjs (shedding, answer
// deadlines, one request at a time), guesses.mjs, device-tokens.mjs and rate-limits.mjs (the
// lockout scheme), client-address.mjs (who a request comes from, as the tunnel names it),
// local-host.mjs (the local host's proof), secrets.mjs, members.mjs and loopback.mjs; web.mjs
// serves the browser viewer's page (GET / and the files under web/).

import http from 'node:http';
import { realpathSync } from 'node:fs';
import { fileURLToPath } from 'node:url';
import { ByteBudget, KeyedAccounts } from './budget.mjs';
import { TUNNEL, clientKey } from './client-address.mjs';
import { ConnectionTable } from './connections.mjs';
import { HeldRequest, HeldRequests } from './held.mjs';
import { HostTable } from './hosts.mjs';
import { createLocalHost } from './local-host.mjs';
import { hasRepeatedHost, isSentAsJson } from './loopback.mjs';
import { ClientBudgets } from './rate-limits.mjs';
import { Refusal, internalFailure } from './refusal.mjs';
import { createRoutes } from './routes.mjs';
import { SessionTable } from './sessions.mjs';
import { HOST_KEY_VARIABLE, LISTEN_ADDRESS, completeSettings, settingsFromEnvironment } from './settings.mjs';
import { HEAD_COST_BYTES, answerRefusal, answerResult, readBody, refuseAndHangUp, roomForBody } from './transport.mjs';
import { createPage } from './web.mjs';
import { SessionWakeups } from './wakeups.mjs';
import { FramesAnswer } from './wire.mjs';

// Bodies not checked yet (a push whose session comes after its payload, every other path's body)
// share this part of the bytes in flight, so that the pushes checked from their heads always
// have the rest; each client address may hold one maxPushBytes of it at most, so that a picture
// of the largest size is taken in any member order, and one address alone cannot take all of it.
const UNCHECKED_IN_FLIGHT_SHARE = 3 / 4;

/** How often expiry runs: a quarter of the shortest time limit, within 10 ms and 1 s. */
function sweepIntervalMs(settings) {
    const shortest = Math.min(settings.onlineMs, settings.viewerIdleMs, settings.hostIdleMs,
        settings.unclaimedMs, settings.collectedKeepMs, settings.endedKeepMs, settings.hostForgetMs,
        settings.answerWriteTimeoutMs, settings.slowBodyGraceMs);
    return Math.max(10, Math.min(1000, Math.floor(shortest / 4)));
}

/**
 * Connections the kernel may hold before they are accepted: room for a whole flood of them, so
 * that a burst of new connections does not overflow the queue and leave everyone else, this
 * machine's host included, waiting for their handshake to be retried a second or more later.
 * Node's default is 511; the kernel caps it at net.core.somaxconn (4096 on Debian 12).
 */
const listenBacklog = (settings) => Math.max(511, 2 * settings.maxConnections);

/**
 * A switchboard with state of its own. `given` holds settings by their names in settings.mjs
 * (port, onlineMs, maxPushBytes, ...; the rest keep their defaults) and optionally `now`, the
 * clock in milliseconds that every expiry is measured on, and `hostKey`, the key of the local
 * host (local-host.mjs).
 *
 * Returns { server, settings, listen, sweep, close }:
 *   server    the node:http server, not yet listening;
 *   listen()  listens on 127.0.0.1 and the port setting and starts the periodic expiry; resolves
 *             with the port (the one the kernel picked for port 0), rejects if it cannot listen;
 *   sweep()   one expiry pass at now(), for a test that has just moved its clock;
 *   heldRequests()  how many polls and pushes are held now;
 *   watchHeld(watch) calls watch(count) whenever that changes; returns the call that stops it;
 *   close()   stops expiry, ends every connection and resolves once the server has closed.
 */
export function createSwitchboard(given = {}) {
    const settings = completeSettings(given);
    // What the hosts from outside share, and what is kept for this machine's own host alone.
    // What the largest push may cost while it is read, its pieces' overhead included.
    const bodyRoom = roomForBody(settings.maxPushBytes);
    const budgets = {
        stored: new ByteBudget(settings.maxStoredBytes),
        inFlight: new ByteBudget(settings.maxInFlightBytes),
        localStored: new ByteBudget(settings.maxHostStoredBytes),
        localInFlight: new ByteBudget(bodyRoom),
        bodyRoom,
        // The head of each body being read: one per connection at most.
        heads: new ByteBudget(settings.maxConnections * HEAD_COST_BYTES),
    };
    const uncheckedShare = budgets.inFlight.account(Math.floor(settings.maxInFlightBytes * UNCHECKED_IN_FLIGHT_SHARE));
    const unchecked = new KeyedAccounts(uncheckedShare, bodyRoom);
    const localBodyInFlight = budgets.localInFlight.account(bodyRoom);
    const connections = new ConnectionTable(settings);
    const wakeups = new SessionWakeups();
    const state = {
        settings,
        budgets,
        connections,
        hosts: new HostTable(settings, budgets),
        sessions: new SessionTable(settings, wakeups),
        // Polls and pushes answered later (held.mjs), woken by their sessions' changes.
        held: new HeldRequests(wakeups, settings.now),
        clients: new ClientBudgets(settings),
        // The public origin this machine last said it is published under; empty until it does.
        publicOrigin: '',
        // The tunnel that publishes it, known from that origin: which header names a client.
        tunnel: TUNNEL.none,
        // The host of this machine, recognised by the proof of the key it started us with.
        localHost: createLocalHost(settings.hostKey),
        sweep(now) {
            this.sessions.sweep(now);
            this.held.sweep(now);
            this.hosts.sweep(now);
            this.connections.sweep(now);
            this.clients.sweep(now);
            unchecked.sweep();
        },
    };
    const routes = createRoutes(state);
    const page = createPage();

    /**
     * Marks the connection busy while this answer is on its way, until the connection has taken
     * it or is gone, and then lets go of what the answer held.
     */
    function answering(request, response, held = null) {
        connections.answerStarted(request.socket, settings.now());
        let ended = false;
        const end = () => {
            if (ended) return;
            ended = true;
            held?.release();
            connections.answerEnded(request.socket, settings.now());
        };
        response.once('finish', end);
        response.once('close', end);
    }

    function hangUp(request, response, refusal, extraHeaders = []) {
        answering(request, response);
        refuseAndHangUp(request, response, refusal, extraHeaders);
    }

    function serve(request, response) {
        // Two Host headers could name loopback to one check and a public name to another.
        if (hasRepeatedHost(request)) {
            hangUp(request, response, new Refusal(400, 'Only one Host header is allowed'));
            return;
        }
        const path = request.url.split('?', 1)[0];
        if (page.serves(path)) {
            answering(request, response);
            page.answer(request, response, path);
            return;
        }
        const route = routes.get(path);
        if (route === undefined) {
            hangUp(request, response, new Refusal(404, 'Unknown path'));
            return;
        }
        if (request.method !== 'POST') {
            hangUp(request, response, new Refusal(405, 'Only POST is accepted'), ['Allow', 'POST']);
            return;
        }
        // Every peer sends JSON as JSON; a web page elsewhere can send anything else without
        // asking, and so could make its visitors' browsers register hosts or spend budgets.
        if (!isSentAsJson(request)) {
            hangUp(request, response, new Refusal(415, 'The body must be sent as application/json'));
            return;
        }
        // This machine's host is never shed for want of connections, nor kept waiting for room
        // that strangers' bodies have taken.
        const local = state.localHost.carriesLocalHostProof(request);
        if (local) connections.markLocal(request.socket);
        // An oversized body, one that comes too slowly, or one whose session is refused, is
        // answered at once and its connection closed, so the rest of it is never read.
        const plan = {
            maxBytes: route.maxBytes,
            heads: budgets.heads,
            account: () => (local ? localBodyInFlight : unchecked.of(clientKey(request, state.tunnel))),
            screen: route.screen === undefined ? undefined : (head) => route.screen(head, request),
            watch: (tooSlow) => connections.watchBody(request.socket, settings.now(), tooSlow),
        };
        readBody(request, plan, (refusal, chunks, length) => {
            if (refusal !== null) hangUp(request, response, refusal);
            else respond(route, chunks, length, request, response);
        });
    }

    function respond(route, chunks, length, request, response) {
        let result;
        try {
            const body = route.parse(chunks, length);
            result = route.handler(body, request, settings.now());
        } catch (failure) {
            refuseNow(request, response, failure);
            return;
        }
        if (result instanceof HeldRequest) answerWhenReady(result, request, response);
        else send(result, request, response);
    }

    function refuseNow(request, response, failure) {
        answering(request, response);
        answerRefusal(response, failure instanceof Refusal ? failure : internalFailure());
    }

    /**
     * A held poll or push: its connection waits without being taken for an idle one, and the
     * answer goes out as any other once it is ready. A client that goes away ends the wait.
     */
    function answerWhenReady(waiting, request, response) {
        connections.holdStarted(request.socket);
        response.once('close', () => {
            waiting.cancel();
            connections.holdEnded(request.socket);
        });
        waiting.start((outcome) => {
            connections.holdEnded(request.socket);
            if (response.destroyed) return;
            try {
                if (outcome instanceof Refusal) refuseNow(request, response, outcome);
                else send(outcome, request, response);
            } catch {
                refuseNow(request, response, internalFailure());
            }
        });
    }

    function send(result, request, response) {
        // The pictures an answer carries stay charged until the reader's connection takes them.
        const held = result instanceof FramesAnswer && result.frames.length > 0 ? result : null;
        held?.hold();
        answering(request, response, held);
        answerResult(response, result);
    }

    const checkEvery = Math.max(10, Math.min(1000, Math.floor(settings.headersTimeoutMs / 2)));
    const server = http.createServer({ connectionsCheckingInterval: checkEvery, keepAlive: true }, (request, response) => {
        connections.admit(request, response, () => {
            try {
                serve(request, response);
            } catch {
                answerRefusal(response, internalFailure());
            }
        });
    });
    server.on('connection', (socket) => connections.track(socket, settings.now()));
    server.headersTimeout = Math.min(settings.headersTimeoutMs, settings.requestTimeoutMs);
    server.requestTimeout = settings.requestTimeoutMs;
    server.keepAliveTimeout = settings.keepAliveTimeoutMs;
    server.maxConnections = settings.maxConnections;

    let listening = false;
    let failToListen = null;
    let sweeper = null;
    server.on('error', (error) => {
        // After start-up the only errors are failed accepts (say, out of file descriptors under a
        // flood of connections): passing, and no reason to stop serving everyone else.
        if (!listening) failToListen?.(error);
    });

    const sweep = () => state.sweep(settings.now());

    return {
        server,
        settings,
        listen() {
            return new Promise((resolve, reject) => {
                failToListen = reject;
                server.listen({ port: settings.port, host: LISTEN_ADDRESS, backlog: listenBacklog(settings) }, () => {
                    listening = true;
                    failToListen = null;
                    sweeper = setInterval(sweep, sweepIntervalMs(settings)).unref();
                    resolve(server.address().port);
                });
            });
        },
        sweep,
        /** How many polls and pushes are held now, waiting for their answers. */
        heldRequests: () => state.held.size,
        watchHeld: (watch) => state.held.watch(watch),
        close() {
            clearInterval(sweeper);
            return new Promise((resolve) => {
                server.close(() => resolve());
                server.closeAllConnections();
            });
        },
    };
}

/** Was this file named on node's command line, under whatever path or link? */
function isMainModule() {
    const script = process.argv[1];
    if (script === undefined) return false;
    try {
        return realpathSync(script) === realpathSync(fileURLToPath(import.meta.url));
    } catch {
        return false;
    }
}

if (isMainModule()) {
    const { settings, error } = settingsFromEnvironment(process.env);
    // Read once; nothing this process does later needs it in its environment.
    delete process.env[HOST_KEY_VARIABLE];
    if (error !== undefined) {
        process.stderr.write(`${error}\n`);
        process.exit(2);
    }
    createSwitchboard(settings).listen().then(
        (port) => process.stdout.write(`listening on ${LISTEN_ADDRESS}:${port}\n`),
        (failure) => {
            process.stderr.write(`switchboard cannot listen on ${LISTEN_ADDRESS}:${settings.port}: ${failure.code ?? failure.message}\n`);
            process.exit(1);
        });
}
