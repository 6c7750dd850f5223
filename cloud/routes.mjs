// The paths under /v1/. Each takes the parsed body, the request and the current time and returns
// the answer (an object, OK or a FramesAnswer), or throws a Refusal; it checks every member it
// reads before it touches the state.

import { UNNAMED_CLIENT, UNREADABLE_CLIENT, clientKey, tunnelOf } from './client-address.mjs';
import { issueDeviceToken, recogniseDeviceToken } from './device-tokens.mjs';
import { NONCE_PATTERN } from './local-host.mjs';
import { isDirectLoopback, refuseUnlessOwnPage } from './loopback.mjs';
import { FATE } from './frame-queue.mjs';
import { displayName, readBoolean, readCursor, readFeatures, readHostId, readText, readWaitMs } from './members.mjs';
import { refuse, refuseForNow } from './refusal.mjs';
import { MAX_SECRET_LENGTH, compactPassword, digest, passwordMatches, sameSecret } from './secrets.mjs';
import { otherRole } from './sessions.mjs';
import {
    FramesAnswer, NOT_TAKEN, OK, ROLE, TAKEN, isHostPicture, isSealed, parseMembersBefore, parseObject, parsePushBody,
    payloadMemberAt, readFrameKind, readPayload, readRole,
} from './wire.mjs';

export const SMALL_BODY_BYTES = 64 * 1024;
// Poll answers with frames that one session may have on their way at once: one for each side,
// and one more for a side that gave up on an answer and polled again.
const MAX_ANSWERS_ON_THEIR_WAY = 3;
const NOT_REGISTERED = 'This machine\'s host has not registered yet';
// The addition of encrypted sessions, as hosts and viewers name it in "features"; a host that
// takes no other also names E2E_ONLY, and leaves its password with no switchboard.
const E2E = 'e2e';
const E2E_ONLY = 'e2e-only';
const E2E_FEATURES = Object.freeze([E2E]);

// Failed connects kept for this machine's host to collect with "lockout" (the newest; older
// ones are dropped when it does not collect them).
const MAX_FAILED_ATTEMPTS = 32;
const ATTEMPT = Object.freeze({ wrongPassword: 'wrong-password', lockedOut: 'locked-out' });

/** A connect refused for its password or a lockout, for this machine's host to show its owner. */
function noteFailedAttempt(host, { at, clientName, clientPlatform, client, outcome }) {
    if (!host.local) return;
    host.failedAttempts ??= [];
    if (host.failedAttempts.length >= MAX_FAILED_ATTEMPTS) host.failedAttempts.shift();
    const entry = { at, outcome };
    if (clientName !== '') entry.clientName = clientName;
    if (clientPlatform !== '') entry.clientPlatform = clientPlatform;
    if (client !== UNNAMED_CLIENT && client !== UNREADABLE_CLIENT) entry.clientAddress = client;
    host.failedAttempts.push(entry);
}

/** "in a minute", "in 3 minutes": how a wait reads in a refusal. */
function inWords(waitMs) {
    const minutes = Math.ceil(waitMs / 60_000);
    return minutes <= 1 ? 'in a minute' : `in ${minutes} minutes`;
}

/**
 * The routes of one switchboard over its state ({ settings, hosts, sessions, held, connections,
 * clients, budgets, publicOrigin, tunnel, localHost, sweep(now) }): path -> { handler, parse,
 * maxBytes, screen? }, where `parse` turns the body's chunks into the object the handler reads,
 * `maxBytes` bounds the body and `screen` looks at its head before the rest is read
 * (transport.mjs, readBody). A handler may return a held request (held.mjs), answered later.
 */
export function createRoutes(state) {
    const { settings, hosts, sessions, held, connections, clients } = state;
    const clientOf = (request) => clientKey(request, state.tunnel);
    // The claim's answer tells a host how long a poll or push of its may be held; a viewer learns
    // it from its connect's answer. Clients name "waitMs" only after they saw it.
    const CLAIMED = Object.freeze({ ok: true, maxWaitMs: settings.maxWaitMs });

    /** For calls only this machine may make, and no web page it shows. */
    function refuseUnlessFromThisMachine(request, message) {
        if (!isDirectLoopback(request)) refuse(403, message);
        refuseUnlessOwnPage(request);
    }

    /** This machine's host, proven by its key and naming its ID and token. */
    function thisMachinesHost(body, request, message) {
        if (!state.localHost.carriesLocalHostProof(request)) refuse(403, message);
        const id = readHostId(body);
        const hostToken = readText(body, 'hostToken', { required: true });
        const host = hosts.find(id);
        if (host === undefined || !host.local) refuse(409, NOT_REGISTERED);
        if (!sameSecret(host.tokenDigest, hostToken)) refuse(403, 'Wrong host token');
        return host;
    }

    function register(body, request, now) {
        const id = readHostId(body);
        const hostToken = readText(body, 'hostToken', { required: true });
        if (hostToken.length > MAX_SECRET_LENGTH) refuse(400, '"hostToken" is too long');
        const features = readFeatures(body);
        const e2e = features.has(E2E);
        const e2eOnly = e2e && features.has(E2E_ONLY);
        // A host that takes encrypted viewers alone needs no password here: none is compared.
        const password = readText(body, 'password', { required: !e2eOnly });
        const compact = e2eOnly ? '' : compactPassword(password);
        if (!e2eOnly && compact === '') refuse(400, '"password" has no password characters');
        const name = displayName(readText(body, 'name'));
        const platform = displayName(readText(body, 'platform'));
        // A host that leaves it out lets viewers in with the password, as every host did before
        // the owner could choose to be asked.
        const unattended = readBoolean(body, 'unattended', true);

        // An ID stays bound to the token that first registered it while it is known, except
        // against this machine's own host: it always has its place, and whoever holds its ID
        // from outside gives it up.
        const local = state.localHost.carriesLocalHostProof(request);
        let host = hosts.find(id);
        if (host !== undefined) {
            if (!sameSecret(host.tokenDigest, hostToken)) {
                if (!local) refuse(403, 'This ID belongs to another host');
                sessions.endAllOf(host.id, 'The PC left the session', now);
                hosts.remove(host);
                host = undefined;
            } else if (local) {
                hosts.makeLocal(host);
            }
        }
        if (host === undefined) {
            if (!local) admitHostFromOutside(request, now);
            host = hosts.add(id, hostToken, now, local);
        }

        // The password is kept only as the digest of its compact form.
        host.name = name;
        host.platform = platform;
        host.passwordDigest = e2eOnly ? null : digest(compact);
        host.e2e = e2e;
        host.e2eOnly = e2eOnly;
        host.unattended = unattended;
        host.lastSeenAt = now;
        return OK;
    }

    /** Room for one more host registered from outside, and this client's budget for it. */
    function admitHostFromOutside(request, now) {
        if (hosts.outsideSize >= settings.maxHosts) state.sweep(now);
        if (hosts.outsideSize >= settings.maxHosts) refuse(503, 'Too many hosts are registered');
        if (!clients.spendRegistration(clientOf(request), now)) {
            const message = 'Too many hosts were registered from this address; try again later';
            refuseForNow(429, message, settings.hostRegistrationRefillMs);
        }
    }

    function heartbeat(body, _request, now) {
        // Only the owner of the ID may mark it online.
        const id = readHostId(body);
        const hostToken = readText(body, 'hostToken', { required: true });
        const host = hosts.find(id);
        if (host === undefined) refuse(404, 'Unknown ID');
        if (!sameSecret(host.tokenDigest, hostToken)) refuse(403, 'Wrong host token');
        // A host heard from again after a silence: its viewers' held polls tell them at once.
        const wasQuiet = now - host.lastBeatAt > settings.peerQuietLimitMs;
        host.lastBeatAt = now;
        host.lastSeenAt = now;
        if (wasQuiet) sessions.wakeAllOf(host.id);

        // The answer tells the host where it is published and offers the oldest session waiting.
        const reply = { ok: true };
        if (state.publicOrigin !== '') reply.origin = state.publicOrigin;
        const waiting = sessions.oldestWaitingFor(id);
        if (waiting !== null) {
            waiting.offered = true;
            reply.pending = { sessionId: waiting.id, sessionToken: waiting.token };
            if (waiting.clientName !== '') reply.pending.clientName = waiting.clientName;
            if (waiting.e2e) reply.pending.e2e = true;
            // Who the host's owner is asked about: the platform the viewer named and its address
            // as the tunnel vouches for it (none when nothing names the client).
            if (waiting.clientPlatform !== '') reply.pending.clientPlatform = waiting.clientPlatform;
            if (waiting.clientAddress !== '') reply.pending.clientAddress = waiting.clientAddress;
        }
        return reply;
    }

    function origin(body, request) {
        // Only this machine may say where it is published, and no web page it shows may say it.
        refuseUnlessFromThisMachine(request, 'Only this machine may set the origin');
        const text = readText(body, 'origin', { required: true });
        let url;
        try {
            url = new URL(text);
        } catch {
            refuse(400, '"origin" must be a web address');
        }
        if ((url.protocol !== 'https:' && url.protocol !== 'http:') || url.username !== '' || url.password !== '') {
            refuse(400, '"origin" must be a web address');
        }
        // And of this machine, only its own host. The origin also says which tunnel this host
        // started, and so which header names the client of a request that came through it.
        thisMachinesHost(body, request, 'Only the host of this machine may set the origin');
        state.publicOrigin = url.origin;
        state.tunnel = tunnelOf(url.hostname);
        return OK;
    }

    /**
     * This machine's host reads the lockout of its ID, to show its owner, and lifts it when its
     * owner says so: every guess bucket full again and every address's wait forgotten.
     */
    function lockout(body, request, now) {
        refuseUnlessFromThisMachine(request, 'Only this machine may ask');
        const host = thisMachinesHost(body, request, 'Only the host of this machine may ask');
        if (readBoolean(body, 'lift', false)) host.guesses.lift(now);
        const collect = readBoolean(body, 'collect', false);
        const state = host.guesses.state(now);
        // Handed over once: the host keeps its own log of them.
        if (collect) state.attempts = host.failedAttempts?.splice(0) ?? [];
        return state;
    }

    function prove(body, request) {
        // Only the app that started this process asks; it learns that the port it talks to is
        // served by that process before it sends any secret there.
        if (!state.localHost.carriesLocalHostProof(request)) refuse(403, 'Only the host of this machine may ask');
        const nonce = readText(body, 'nonce', { required: true });
        if (!NONCE_PATTERN.test(nonce)) refuse(400, '"nonce" must be 64 lowercase hexadecimal digits');
        return { proof: state.localHost.answerChallenge(nonce) };
    }


    /** Every answer that tells whether an ID exists costs the client a lookup. */
    function spendLookup(request, now) {
        if (!clients.spendLookup(clientOf(request), now)) {
            refuseForNow(429, 'Too many lookups; try again shortly', settings.lookupRefillMs);
        }
    }

    function lookup(body, request, now) {
        const id = readText(body, 'id', { required: true });
        spendLookup(request, now);
        const host = hosts.find(id);
        if (host === undefined) return { found: false, online: false };
        const reply = { found: true, online: hosts.isOnline(host, now) };
        if (host.name !== '') reply.name = host.name;
        if (host.platform !== '') reply.platform = host.platform;
        if (host.e2e) reply.features = E2E_FEATURES;
        return reply;
    }

    function connect(body, request, now) {
        const id = readText(body, 'id', { required: true });
        // An encrypted opening carries no password: the host and the viewer prove it to each
        // other, and a "password" member in it is never read.
        const e2e = readFeatures(body).has(E2E);
        const password = e2e ? '' : readText(body, 'password');
        const clientName = displayName(readText(body, 'clientName'));
        const clientPlatform = displayName(readText(body, 'clientPlatform'));
        const deviceToken = readText(body, 'deviceToken');
        spendLookup(request, now);

        // A client that must wait is refused before the password is looked at, and before it
        // learns whether the host is online. One that shows a device token for this host got its
        // password right before, and is held to its token's limits rather than the host's.
        const host = hosts.find(id);
        if (host === undefined) refuse(404, 'Unknown ID');
        if (e2e && !host.e2e) refuse(409, 'That PC does not offer encrypted sessions');
        if (!e2e && host.e2eOnly) refuse(403, 'That PC accepts only encrypted connections');
        const device = deviceToken === '' ? null : recogniseDeviceToken(host, deviceToken);
        const client = clientOf(request);
        // Where no address names the client, every client shares that key, a swarm included: a
        // device token's holder is then held to its token's limits alone.
        const address = device !== null && client === UNNAMED_CLIENT ? null : client;
        const waitMs = Math.max(host.guesses.waitMs(address, now, device), address === null ? 0 : clients.guessWaitMs(address, now));
        const attempt = (outcome) => noteFailedAttempt(host, { at: now, clientName, clientPlatform, client, outcome });
        if (waitMs > 0) {
            attempt(ATTEMPT.lockedOut);
            refuseForNow(429, `Too many wrong passwords; try again ${inWords(waitMs)}`, waitMs);
        }
        if (!hosts.isOnline(host, now)) refuse(409, 'That PC is offline');
        const recordWrong = () => {
            host.guesses.recordWrong(address, now, device);
            if (address !== null) clients.recordWrongGuess(address, now);
        };
        if (!e2e) {
            if (!passwordMatches(host.passwordDigest, password)) {
                // An encrypted opening's wrong password is found by the host itself, which logs it.
                attempt(ATTEMPT.wrongPassword);
                recordWrong();
                refuse(403, 'Wrong password');
            }
            host.guesses.recordRight(address, device);
        }

        // The host sees the new session as pending on its next heartbeat. Each host has room for
        // a few, so that however busy other hosts are, its own viewers are not turned away.
        const open = sessions.openSessionsOf(host.id);
        if (open.pending >= settings.maxHostPendingSessions) {
            refuse(503, 'Too many viewers are waiting for that PC; try again shortly');
        }
        if (open.live >= settings.maxHostLiveSessions) refuse(503, 'That PC has too many viewers; try again later');
        if (!sessions.makeRoom(host)) state.sweep(now);
        if (!sessions.makeRoom(host)) refuse(503, 'The switchboard is busy; try again later');
        const session = sessions.open(host, clientName, now);
        session.clientPlatform = clientPlatform;
        session.clientAddress = client === UNNAMED_CLIENT || client === UNREADABLE_CLIENT ? '' : client;
        const reply = { sessionId: session.id, sessionToken: session.token, transport: 'relay' };
        if (!e2e) {
            reply.deviceToken = device === null ? issueDeviceToken(host) : deviceToken;
        } else {
            // Every encrypted opening is a guess, counted wrong until its host confirms it: a
            // stranger who never finishes an exchange has spent a guess all the same. No device
            // token is handed out, since nothing is proven yet.
            recordWrong();
            session.e2e = true;
            session.guess = { address, device };
        }
        reply.maxWaitMs = settings.maxWaitMs;
        // The person at that computer is asked first: the viewer says so while it waits.
        if (!host.unattended) reply.unattended = false;
        return reply;
    }

    /**
     * The host's word that an encrypted session's viewer proved it knows the password: the guess
     * recorded at its connect is given back and counts as right. Only the host may say it (the
     * session token is the viewer's too), and only once.
     */
    function confirm(body, _request, now) {
        const id = readHostId(body);
        const hostToken = readText(body, 'hostToken', { required: true });
        const sessionId = readText(body, 'sessionId', { required: true });
        const host = hosts.find(id);
        if (host === undefined) refuse(404, 'Unknown ID');
        if (!sameSecret(host.tokenDigest, hostToken)) refuse(403, 'Wrong host token');
        const session = sessions.find(sessionId);
        if (session === undefined || session.host !== host) refuse(404, 'Unknown session');
        if (!session.e2e) refuse(409, 'That session is not encrypted');
        if (session.guess !== null) {
            const { address, device } = session.guess;
            session.guess = null;
            host.guesses.undoWrong(address, now, device);
            if (address !== null) clients.undoWrongGuess(address, now);
        }
        return OK;
    }

    function claim(body, _request, now) {
        const session = sessions.authorised(body, 'sessionToken');
        session.ensureOpen();
        session.hostIsHere(now);
        session.arrived(ROLE.host, now);
        return CLAIMED;
    }

    /**
     * Looks at a push body's head before its payload is read. This app writes the session members
     * first, so their token is checked before a byte of a picture is held, a wrong one refused at
     * once, and the rest is charged to the session's host. A body that names its session after
     * its payload (any member order is valid JSON, and phone libraries write sorted or hashed
     * orders) is read into the bounded room for bodies not checked yet, and checked at its end.
     */
    function screenPush(head, request) {
        const at = payloadMemberAt(head);
        const members = at === -1 ? null : parseMembersBefore(head, at);
        if (members === null || typeof members.sessionId !== 'string' || typeof members.token !== 'string') return undefined;
        const session = sessions.authorised(members, 'token');
        session.ensureOpen();
        connections.bodyShown(request.socket);
        return session.inFlight;
    }

    function push(body, _request, now) {
        const session = sessions.authorised(body, 'token');
        const role = readRole(body);
        const kind = readFrameKind(body, role);
        const payload = readPayload(body, isHostPicture(role, kind));
        const waitMs = readWaitMs(body, settings.maxWaitMs);
        if (isSealed(kind) && !session.e2e) refuse(400, 'That session is not encrypted');
        session.ensureOpen();
        session.arrived(role, now);
        const frame = { kind, payload };
        session.accept(role, frame, now);
        return waitMs === null ? OK : pacedPush(session, role, frame, waitMs, now);
    }

    /**
     * A push answered once its frame has been taken by the other side's poll ({"taken":true}),
     * or dropped before that (a newer picture replaced it, the session ended) or when the wait is
     * over ({"taken":false}). A sender that keeps one or two pushes on their way sends exactly as
     * fast as its reader takes them.
     */
    function pacedPush(session, role, frame, waitMs, now) {
        const answer = () => (frame.fate === FATE.taken ? TAKEN : NOT_TAKEN);
        if (frame.fate !== undefined || waitMs === 0) return answer();
        const waiting = session.heldPushes[role];
        if (waiting.length >= settings.maxHeldPushes) waiting[0].answerNow(NOT_TAKEN);
        const request = held.hold(session.id, now + waitMs, {
            look: () => (frame.fate === undefined ? undefined : answer()),
            expire: answer,
            ended: () => waiting.splice(waiting.indexOf(request), 1),
        });
        waiting.push(request);
        return request;
    }

    function poll(body, _request, now) {
        const session = sessions.authorised(body, 'token');
        const role = readRole(body);
        const since = readCursor(body, 'since');
        const waitMs = readWaitMs(body, settings.maxWaitMs);
        // Each side polls once at a time; a reader that leaves answers untaken and polls again
        // would only make more of them wait, each holding its pictures and its connection.
        if (session.answersOnTheirWay >= MAX_ANSWERS_ON_THEIR_WAY) {
            refuse(429, 'Too many answers are waiting to be read');
        }
        session.arrived(role, now);
        // One poll of each side is held at a time: a newer one answers the one before, empty.
        session.heldPolls[role]?.answerEmpty(now);
        return waitMs === null ? framesNow(session, role, since, now) : longPoll(session, role, since, waitMs, now);
    }

    /**
     * A poll's answer with what waits for it now. The viewer's answer names the newest sequence
     * number as its next cursor; the host's frames are handed over once, so its cursor means
     * nothing.
     */
    function framesNow(session, role, since, now) {
        return role === ROLE.viewer
            ? new FramesAnswer(session.framesForViewer(since, now), session.sequence, session.account, session)
            : new FramesAnswer(session.framesForHost(now), 0, session.account, session);
    }

    /**
     * A poll that named "waitMs": answered at once when frames wait, else held until one arrives
     * for it, the session ends (a viewer's 410, a host's close message) or the wait is over, and
     * answered early when the other side falls quiet (no request for longer than
     * peerQuietLimitMs) or, quiet as the poll arrived, is heard from again. Every such answer
     * says how long the other side has been quiet.
     */
    function longPoll(session, role, since, waitMs, now) {
        const peer = otherRole(role);
        const told = (answer, at) => {
            answer.peerQuietMs = Math.round(session.quietMs(peer, at));
            return answer;
        };
        const answerNow = (at) => told(framesNow(session, role, since, at), at);
        const ready = (at) => (role === ROLE.viewer ? session.framesWaitingForViewer(since, at).length > 0 : session.hasFramesForHost);
        if (waitMs === 0 || ready(now)) return answerNow(now);

        const quietAsItArrived = session.isQuiet(peer, now);
        const poller = {};
        const request = held.hold(session.id, now + waitMs, {
            look: (at) => (ready(at) || session.isQuiet(peer, at) !== quietAsItArrived ? answerNow(at) : undefined),
            expire: answerNow,
            nextLookAt: (at) => (quietAsItArrived ? Infinity : session.quietFrom(peer, at)),
            ended: () => {
                if (session.heldPolls[role] === poller) session.heldPolls[role] = null;
                session.pollEnded(role, settings.now());
            },
        });
        // Answered for a newer poll: nothing is handed over, and the viewer's cursor stays.
        poller.answerEmpty = (at) => request.answerNow(told(role === ROLE.viewer
            ? new FramesAnswer([], Math.min(since, session.sequence))
            : new FramesAnswer([], 0), at));
        session.heldPolls[role] = poller;
        return request;
    }

    function close(body, _request, now) {
        // A viewer that ends before its connect came back sends the empty session it holds: there
        // is nothing to end, and nothing to refuse it for either (no session has an empty ID, so
        // the answer tells nothing about any).
        if (body.sessionId === '') return OK;
        const session = sessions.authorised(body, 'token');
        // A host that ends a session itself says why (its screen sharing was refused); the viewer
        // reads it as the refusal of its next request. Shown on the other side: cleaned, bounded.
        const reason = displayName(readText(body, 'reason'));
        sessions.end(session, reason === '' ? 'The session has ended' : reason, now);
        return OK;
    }

    const small = (handler) => ({ handler, parse: parseObject, maxBytes: SMALL_BODY_BYTES });
    return new Map([
        ['/v1/register', small(register)],
        ['/v1/heartbeat', small(heartbeat)],
        ['/v1/origin', small(origin)],
        ['/v1/prove', small(prove)],
        ['/v1/lockout', small(lockout)],
        ['/v1/lookup', small(lookup)],
        ['/v1/connect', small(connect)],
        ['/v1/confirm', small(confirm)],
        ['/v1/claim', small(claim)],
        ['/v1/push', { handler: push, parse: parsePushBody, maxBytes: settings.maxPushBytes, screen: screenPush }],
        ['/v1/poll', small(poll)],
        ['/v1/close', small(close)],
    ]);
}
