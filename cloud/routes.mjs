// The paths under /v1/. Each takes the parsed body, the request and the current time and returns
// the answer (an object, OK or a FramesAnswer), or throws a Refusal; it checks every member it
// reads before it touches the state.

import { NONCE_PATTERN } from './local-host.mjs';
import { isDirectLoopback } from './loopback.mjs';
import { displayName, readBoolean, readCursor, readHostId, readText } from './members.mjs';
import { refuse } from './refusal.mjs';
import { MAX_SECRET_LENGTH, compactPassword, digest, passwordMatches, sameSecret } from './secrets.mjs';
import { FramesAnswer, KIND, OK, ROLE, parseObject, parsePushBody, readFrameKind, readPayload, readRole } from './wire.mjs';

const SMALL_BODY_BYTES = 64 * 1024;

/**
 * The routes of one switchboard over its state ({ settings, hosts, sessions, publicOrigin,
 * localHost, sweep(now) }): path -> { handler, parse, maxBytes }, where `parse` turns the body's chunks into
 * the object the handler reads and `maxBytes` bounds the body.
 */
export function createRoutes(state) {
    const { settings, hosts, sessions } = state;

    function register(body, _request, now) {
        const id = readHostId(body);
        const hostToken = readText(body, 'hostToken', { required: true });
        if (hostToken.length > MAX_SECRET_LENGTH) refuse(400, '"hostToken" is too long');
        const password = readText(body, 'password', { required: true });
        const compact = compactPassword(password);
        if (compact === '') refuse(400, '"password" has no password characters');
        const name = displayName(readText(body, 'name'));
        const platform = displayName(readText(body, 'platform'));
        const unattended = readBoolean(body, 'unattended', false);

        // An ID stays bound to the token that first registered it while it is known.
        let host = hosts.find(id);
        if (host !== undefined && !sameSecret(host.tokenDigest, hostToken)) {
            refuse(403, 'This ID belongs to another host');
        }
        if (host === undefined) {
            if (hosts.size >= settings.maxHosts) state.sweep(now);
            if (hosts.size >= settings.maxHosts) refuse(503, 'Too many hosts are registered');
            host = hosts.add(id, hostToken);
        }

        // The password is kept only as the digest of its compact form.
        host.name = name;
        host.platform = platform;
        host.passwordDigest = digest(compact);
        host.unattended = unattended;
        host.lastSeenAt = now;
        return OK;
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
        // Only this machine may say where it is published.
        if (!isDirectLoopback(request)) refuse(403, 'Only this machine may set the origin');
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

    function lookup(body, _request, now) {
        const id = readText(body, 'id', { required: true });
        const host = hosts.find(id);
        if (host === undefined) return { found: false, online: false };
        const reply = { found: true, online: hosts.isOnline(host, now) };
        if (host.name !== '') reply.name = host.name;
        if (host.platform !== '') reply.platform = host.platform;
        return reply;
    }

    function connect(body, _request, now) {
        const id = readText(body, 'id', { required: true });
        const password = readText(body, 'password');
        const clientName = displayName(readText(body, 'clientName'));
        readText(body, 'clientPlatform');

        // A locked host is refused before the password is looked at, and before anyone learns
        // whether it is online.
        const host = hosts.find(id);
        if (host === undefined) refuse(404, 'Unknown ID');
        if (hosts.guessesLocked(host, now)) refuse(429, 'Too many wrong passwords; try again in a minute');
        if (!hosts.isOnline(host, now)) refuse(409, 'That PC is offline');
        if (!passwordMatches(host.passwordDigest, password)) {
            hosts.recordWrongGuess(host, now);
            refuse(403, 'Wrong password');
        }

        // The host sees the new session as pending on its next heartbeat.
        if (!sessions.makeRoom()) state.sweep(now);
        if (!sessions.makeRoom()) refuse(503, 'The switchboard is busy; try again later');
        const session = sessions.open(host, clientName, now);
        return { sessionId: session.id, sessionToken: session.token, transport: 'relay' };
    }

    function claim(body, _request, now) {
        const session = sessions.authorised(body, 'sessionToken');
        session.ensureOpen();
        session.hostIsHere(now);
        return OK;
    }

    function push(body, _request, now) {
        const session = sessions.authorised(body, 'token');
        const role = readRole(body);
        const kind = readFrameKind(body);
        const payload = readPayload(body, role === ROLE.host && kind === KIND.jpeg);
        session.ensureOpen();
        session.accept(role, { kind, payload }, now);
        return OK;
    }

    function poll(body, _request, now) {
        const session = sessions.authorised(body, 'token');
        const role = readRole(body);
        const since = readCursor(body, 'since');
        // The viewer's answer names the newest sequence number as its next cursor; the host's
        // frames are handed over once, so its cursor means nothing.
        return role === ROLE.viewer
            ? new FramesAnswer(session.framesForViewer(since, now), session.sequence)
            : new FramesAnswer(session.framesForHost(now), 0);
    }

    function close(body, _request, now) {
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
        ['/v1/lookup', small(lookup)],
        ['/v1/connect', small(connect)],
        ['/v1/claim', small(claim)],
        ['/v1/push', { handler: push, parse: parsePushBody, maxBytes: settings.maxPushBytes }],
        ['/v1/poll', small(poll)],
        ['/v1/close', small(close)],
    ]);
}
