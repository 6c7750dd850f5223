// The paths under /v1/. Each takes the parsed body, the request and the current time and returns
// the answer (an object, OK or a FramesAnswer), or throws a Refusal; it checks every member it
// reads before it touches the state.

import { clientKey } from './client-address.mjs';
import { NONCE_PATTERN } from './local-host.mjs';
import { isDirectLoopback, refuseUnlessOwnPage } from './loopback.mjs';
import { displayName, readBoolean, readCursor, readHostId, readText } from './members.mjs';
import { refuse, refuseForNow } from './refusal.mjs';
import { MAX_SECRET_LENGTH, compactPassword, digest, passwordMatches, sameSecret } from './secrets.mjs';
import {
    FramesAnswer, OK, ROLE, isHostPicture, payloadMemberAt, parseMembersBefore, parseObject, parsePushBody,
    readFrameKind, readPayload, readRole,
} from './wire.mjs';

export const SMALL_BODY_BYTES = 64 * 1024;
// Poll answers with frames that one session may have on their way at once: one for each side,
// and one more for a side that gave up on an answer and polled again.
const MAX_ANSWERS_ON_THEIR_WAY = 3;
const LARGE_PUSH_UNNAMED = 'A large push must name its session before its payload';

/** "in a minute", "in 3 minutes": how a wait reads in a refusal. */
function inWords(waitMs) {
    const minutes = Math.ceil(waitMs / 60_000);
    return minutes <= 1 ? 'in a minute' : `in ${minutes} minutes`;
}

/**
 * The routes of one switchboard over its state ({ settings, hosts, sessions, connections,
 * clients, budgets, publicOrigin, localHost, sweep(now) }): path -> { handler, parse, maxBytes,
 * screen? }, where `parse` turns the body's chunks into the object the handler reads, `maxBytes`
 * bounds the body and `screen` looks at its head before the rest is read (transport.mjs, readBody).
 */
export function createRoutes(state) {
    const { settings, hosts, sessions, connections, clients } = state;

    /** The session named in the body, its token checked; the connection has shown it from now on. */
    function authorised(body, tokenKey, request) {
        const session = sessions.authorised(body, tokenKey);
        connections.knowSession(request.socket, session.id);
        return session;
    }

    function register(body, request, now) {
        const id = readHostId(body);
        const hostToken = readText(body, 'hostToken', { required: true });
        if (hostToken.length > MAX_SECRET_LENGTH) refuse(400, '"hostToken" is too long');
        const password = readText(body, 'password', { required: true });
        const compact = compactPassword(password);
        if (compact === '') refuse(400, '"password" has no password characters');
        const name = displayName(readText(body, 'name'));
        const platform = displayName(readText(body, 'platform'));
        const unattended = readBoolean(body, 'unattended', false);

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
        host.passwordDigest = digest(compact);
        host.unattended = unattended;
        host.lastSeenAt = now;
        return OK;
    }

    /** Room for one more host registered from outside, and this client's budget for it. */
    function admitHostFromOutside(request, now) {
        if (hosts.outsideSize >= settings.maxHosts) state.sweep(now);
        if (hosts.outsideSize >= settings.maxHosts) refuse(503, 'Too many hosts are registered');
        if (!clients.spendRegistration(clientKey(request), now)) {
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
        host.lastBeatAt = now;
        host.lastSeenAt = now;

        // The answer tells the host where it is published and offers the oldest session waiting.
        const reply = { ok: true };
        if (state.publicOrigin !== '') reply.origin = state.publicOrigin;
        const waiting = sessions.oldestWaitingFor(id);
        if (waiting !== null) {
            waiting.offered = true;
            reply.pending = { sessionId: waiting.id, sessionToken: waiting.token };
            if (waiting.clientName !== '') reply.pending.clientName = waiting.clientName;
        }
        return reply;
    }

    function origin(body, request) {
        // Only this machine may say where it is published, and no web page it shows may say it.
        if (!isDirectLoopback(request)) refuse(403, 'Only this machine may set the origin');
        refuseUnlessOwnPage(request);
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
        // And of this machine, only its own host: proven by its key, and naming its ID and token.
        if (!state.localHost.carriesLocalHostProof(request)) {
            refuse(403, 'Only the host of this machine may set the origin');
        }
        const id = readHostId(body);
        const hostToken = readText(body, 'hostToken', { required: true });
        const host = hosts.find(id);
        if (host === undefined || !host.local) refuse(409, 'This machine\'s host has not registered yet');
        if (!sameSecret(host.tokenDigest, hostToken)) refuse(403, 'Wrong host token');
        state.publicOrigin = url.origin;
        return OK;
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
        if (!clients.spendLookup(clientKey(request), now)) {
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
        return reply;
    }

    function connect(body, request, now) {
        const id = readText(body, 'id', { required: true });
        const password = readText(body, 'password');
        const clientName = displayName(readText(body, 'clientName'));
        readText(body, 'clientPlatform');
        spendLookup(request, now);

        // A client that must wait is refused before the password is looked at, and before it
        // learns whether the host is online.
        const host = hosts.find(id);
        if (host === undefined) refuse(404, 'Unknown ID');
        const client = clientKey(request);
        const waitMs = Math.max(host.guesses.waitMs(client, now), clients.guessWaitMs(client, now));
        if (waitMs > 0) refuseForNow(429, `Too many wrong passwords; try again ${inWords(waitMs)}`, waitMs);
        if (!hosts.isOnline(host, now)) refuse(409, 'That PC is offline');
        if (!passwordMatches(host.passwordDigest, password)) {
            host.guesses.recordWrong(client, now);
            clients.recordWrongGuess(client, now);
            refuse(403, 'Wrong password');
        }
        host.guesses.recordRight(client);

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
        return { sessionId: session.id, sessionToken: session.token, transport: 'relay' };
    }

    function claim(body, request, now) {
        const session = authorised(body, 'sessionToken', request);
        session.ensureOpen();
        session.hostIsHere(now);
        return OK;
    }

    /**
     * Looks at a push body's head before its payload is read. This app writes the session members
     * first, so their token is checked before a byte of a picture is held; a wrong one is refused
     * at once. A body that names no session before its payload may be large only on a connection
     * that has already shown a session (it must then be one of them); any other stays small.
     */
    function screenPush(head, whole, request) {
        const at = payloadMemberAt(head);
        if (at === -1) return whole ? unscreenedPush(request) : undefined;
        const members = parseMembersBefore(head, at);
        if (members === null || typeof members.sessionId !== 'string' || typeof members.token !== 'string') {
            return unscreenedPush(request);
        }
        const session = authorised(members, 'token', request);
        session.ensureOpen();
        connections.bodyShown(request.socket);
        return { maxBytes: settings.maxPushBytes, account: session.inFlight };
    }

    function unscreenedPush(request) {
        const shown = sessions.find(connections.lastSession(request.socket));
        if (shown === undefined) {
            return { maxBytes: SMALL_BODY_BYTES, tooLargeMessage: LARGE_PUSH_UNNAMED };
        }
        return { maxBytes: settings.maxPushBytes, account: shown.inFlight, shownSessionsOnly: true };
    }

    function push(body, request, now, screened) {
        const session = sessions.authorised(body, 'token');
        if (screened?.shownSessionsOnly && !connections.knows(request.socket, session.id)) {
            refuse(403, LARGE_PUSH_UNNAMED);
        }
        connections.knowSession(request.socket, session.id);
        const role = readRole(body);
        const kind = readFrameKind(body, role);
        const payload = readPayload(body, isHostPicture(role, kind));
        session.ensureOpen();
        session.accept(role, { kind, payload }, now);
        return OK;
    }

    function poll(body, request, now) {
        const session = authorised(body, 'token', request);
        const role = readRole(body);
        const since = readCursor(body, 'since');
        // Each side polls once at a time; a reader that leaves answers untaken and polls again
        // would only make more of them wait, each holding its pictures and its connection.
        if (session.answersOnTheirWay >= MAX_ANSWERS_ON_THEIR_WAY) {
            refuse(429, 'Too many answers are waiting to be read');
        }
        // The viewer's answer names the newest sequence number as its next cursor; the host's
        // frames are handed over once, so its cursor means nothing.
        return role === ROLE.viewer
            ? new FramesAnswer(session.framesForViewer(since, now), session.sequence, session.account, session)
            : new FramesAnswer(session.framesForHost(now), 0, session.account, session);
    }

    function close(body, request, now) {
        const session = authorised(body, 'token', request);
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
        ['/v1/lookup', small(lookup)],
        ['/v1/connect', small(connect)],
        ['/v1/claim', small(claim)],
        ['/v1/push', { handler: push, parse: parsePushBody, maxBytes: settings.maxPushBytes, screen: screenPush }],
        ['/v1/poll', small(poll)],
        ['/v1/close', small(close)],
    ]);
}
