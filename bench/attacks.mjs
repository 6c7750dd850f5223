// Switchboard attack bench: the open-internet attacks, one after another, against a real
// switchboard on loopback, while a rightful owner keeps using it.
//
// Each attack runs for a bounded time and number of requests and stops by itself. During it, the
// rightful side is probed a few times: its host (this machine's, on loopback, which told the
// switchboard it is published through the ssh service, so the last X-Forwarded-For entry names
// each client) keeps heartbeating, and its owner, at an address of its own behind the tunnel and
// holding the device token of an earlier visit, looks the host up from a new connection,
// connects, and waits for a picture the host pushes. All along, a phone host written as phone
// libraries write JSON (the payload before the session, a new connection per request) streams
// pictures of 150-250 KB to a viewer of its own. Printed per attack: the switchboard's resident
// memory before, at its peak and after, the slowest heartbeat of this machine's host, the
// slowest of the owner's lookup, connect and picture, and the phone's pictures taken, against
// the limits: RSS under 300 MB at every point, every heartbeat and the owner served within 2 s.
// The baseline is the first row: the same probes with no attack. The attackers run in a thread of
// their own, so that the probes measure the switchboard's answers, not the attackers' own load.
//
//   node bench/attacks.mjs                      every attack
//   BENCH_ATTACKS=bodies,connections node bench/attacks.mjs
//   BENCH_SCRIPT=/path/to/server.mjs node bench/attacks.mjs   another switchboard
//
// Loopback only; nothing here is a timed test.

import { spawn } from 'node:child_process';
import crypto from 'node:crypto';
import { readFileSync } from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import os from 'node:os';
import { fileURLToPath } from 'node:url';
import { Worker, isMainThread, parentPort, workerData } from 'node:worker_threads';

const SCRIPT = process.env.BENCH_SCRIPT ?? fileURLToPath(new URL('../cloud/server.mjs', import.meta.url));
const ATTACKS = process.env.BENCH_ATTACKS?.split(',');
const MB = 1024 * 1024;
const RSS_LIMIT_MB = 300;
const SERVED_WITHIN_MS = 2000;
// This machine's host heartbeats every 3 s; the bench asks more often, to catch any stall.
const BEAT_EVERY_MS = 500;
const REQUEST_TIMEOUT_MS = 10_000;
const ATTACK_MS = 8000;
const PROBES = 3;
const SETTLE_MS = 2000;
const HEARTBEAT_MS = 3000;
// A host's pause between pictures, as this app's host makes it.
const HOST_PAUSE_MS = 90;
const PICTURE_BYTES = 100 * 1024;
const MAX_PUSH_BYTES = 16 * MB;
// How soon a shed attacker comes back.
const RECONNECT_MS = 1000;
// How often a trickling request sends its next byte.
const TRICKLE_MS = 1000;
// How often the trickling-bodies attack sends the next byte of each of its bodies.
const BODY_TRICKLE_MS = 20;
// The public origin this machine's host tells its switchboard: the ssh service's.
const PUBLIC_ORIGIN = 'https://bench-kivren.a.free.pinggy.link';
const PHONE_ADDRESS = '198.51.100.20';
const PHONE_PICTURE_SIZES = [150 * 1024, 200 * 1024, 250 * 1024];
const OWNER_ADDRESS = '198.51.100.7';
const HOST_ID = '111222333';
const HOST_PASSWORD = 'ABCD-EFGH';
// Made by the main thread and handed to the attackers' thread.
const SHARED = isMainThread
    ? { hostToken: crypto.randomBytes(24).toString('hex'), hostKey: crypto.randomBytes(32).toString('hex') }
    : workerData;
const HOST_TOKEN = SHARED.hostToken;
const HOST_KEY = SHARED.hostKey;
const STRANGER_PASSWORD = 'WXYZ-WXYZ';

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const strangerAddress = (i) => `203.0.${(i >> 8) & 255}.${i & 255}`;

// ---------------------------------------------------------------------------------------------
// The switchboard under attack.

let board = isMainThread ? null : { port: workerData.port };
if (isMainThread) process.on('exit', () => board?.child.kill());

async function startBoard() {
    const child = spawn(process.execPath, [SCRIPT], {
        env: { ...process.env, KIVREN_PORT: '0', KIVREN_HOST_KEY: HOST_KEY },
        stdio: ['ignore', 'pipe', 'inherit'],
    });
    const port = await new Promise((resolve, reject) => {
        let text = '';
        child.stdout.on('data', (chunk) => {
            text += chunk;
            const match = /listening on 127\.0\.0\.1:(\d+)/.exec(text);
            if (match) resolve(Number(match[1]));
        });
        child.once('exit', (code) => reject(new Error(`switchboard exited with ${code}`)));
    });
    return { child, port };
}

function rssMb() {
    try {
        const match = /VmRSS:\s+(\d+) kB/.exec(readFileSync(`/proc/${board.child.pid}/status`, 'utf8'));
        return match ? Number(match[1]) / 1024 : NaN;
    } catch {
        return NaN;
    }
}

// ---------------------------------------------------------------------------------------------
// Requests.

/**
 * Posts JSON on a new connection, or through `agent`; resolves with { status, body, ms } (status
 * 0: no answer).
 */
function post(path, value, headers = {}, agent = false) {
    const data = Buffer.from(typeof value === 'string' ? value : JSON.stringify(value));
    const started = performance.now();
    return new Promise((resolve) => {
        const request = http.request({
            host: '127.0.0.1', port: board.port, path: `/v1/${path}`, method: 'POST', agent,
            headers: { 'Content-Type': 'application/json', 'Content-Length': data.length, ...headers },
            timeout: REQUEST_TIMEOUT_MS,
        }, (response) => {
            const chunks = [];
            response.on('data', (chunk) => chunks.push(chunk));
            response.on('end', () => {
                let body = null;
                try { body = JSON.parse(Buffer.concat(chunks).toString('utf8')); } catch { /* not JSON */ }
                resolve({ status: response.statusCode, body, ms: performance.now() - started });
            });
            response.on('error', () => resolve({ status: 0, body: null, ms: performance.now() - started }));
        });
        request.on('timeout', () => request.destroy());
        request.on('error', () => resolve({ status: 0, body: null, ms: performance.now() - started }));
        request.end(data);
    });
}

const fromOwner = { 'X-Forwarded-For': OWNER_ADDRESS };
const fromStranger = (i = 0) => ({ 'X-Forwarded-For': strangerAddress(i) });

/** A push body as this app writes it: the session members, then the payload. */
const pushBody = (s, role, kind, payload) =>
    `{"kind":"${kind}","role":"${role}","sessionId":"${s.sessionId}","token":"${s.token}","payload":"${payload}"}`;

/** Opens a raw connection; resolves with the socket, or null if the switchboard would not take it. */
function rawConnect() {
    return new Promise((resolve) => {
        const socket = net.connect(board.port, '127.0.0.1');
        socket.setNoDelay(true);
        socket.once('connect', () => resolve(socket));
        socket.once('error', () => resolve(null));
        socket.on('error', () => {});
    });
}

/** Resolves once the socket can take more, or closes, or after a second without either. */
function drained(socket) {
    return new Promise((resolve) => {
        const done = () => {
            clearTimeout(timer);
            socket.removeListener('drain', done);
            socket.removeListener('close', done);
            resolve();
        };
        const timer = setTimeout(done, 1000);
        socket.once('drain', done);
        socket.once('close', done);
    });
}

/**
 * Writes a request head and then a body of `declared` bytes, `start` first and the filler after,
 * as fast as the switchboard takes it, stopping one byte short, or when it answers or hangs up.
 * Resolves with the socket, still open if the switchboard still holds it.
 */
async function sendAlmostAll(path, declared, start, filler, headers = '') {
    const socket = await rawConnect();
    if (socket === null) return null;
    let answered = false;
    socket.on('data', () => { answered = true; });
    socket.on('close', () => { answered = true; });
    socket.write(`POST ${path} HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: ${declared}\r\n${headers}\r\n`);
    socket.write(start);
    let sent = Buffer.byteLength(start);
    while (!answered && sent < declared - 1) {
        const piece = filler.subarray(0, Math.min(filler.length, declared - 1 - sent));
        sent += piece.length;
        if (!socket.write(piece)) await drained(socket);
    }
    return socket;
}

// ---------------------------------------------------------------------------------------------
// The rightful side: this machine's host, and its owner viewing it from elsewhere.

// This machine's host proves itself on every request with the key the app started the switchboard
// with, as the app does.
const hostHeaders = { 'Kivren-Host-Proof': crypto.createHmac('sha256', Buffer.from(HOST_KEY, 'hex')).update('kivren-host').digest('hex') };
// Its requests keep their connection, as the app's do.
const hostAgent = new http.Agent({ keepAlive: true, maxSockets: 2 });
const hostPost = (path, value) => post(path, value, hostHeaders, hostAgent);
const picture = crypto.randomBytes(PICTURE_BYTES).toString('base64');
let heartbeats = null;
// The slowest heartbeat since the last look, in ms (Infinity for one that failed).
let slowestBeat = 0;
// The device token the owner was handed on its first visit.
let ownerDeviceToken = '';

async function startHost() {
    const registered = await hostPost('register', { id: HOST_ID, name: 'Rightful', platform: 'macos', password: HOST_PASSWORD, hostToken: HOST_TOKEN, unattended: true });
    if (registered.status !== 200) throw new Error(`the rightful host cannot register: ${registered.status}`);
    const told = await hostPost('origin', { hostToken: HOST_TOKEN, id: HOST_ID, origin: PUBLIC_ORIGIN });
    if (told.status !== 200) throw new Error(`the rightful host cannot tell its origin: ${told.status}`);
    await hostPost('heartbeat', { id: HOST_ID, hostToken: HOST_TOKEN });
    let running = true;
    const loop = (async () => {
        while (running) {
            const beat = await hostPost('heartbeat', { id: HOST_ID, hostToken: HOST_TOKEN });
            slowestBeat = Math.max(slowestBeat, beat.status === 200 ? beat.ms : Infinity);
            await sleep(BEAT_EVERY_MS);
        }
    })();
    heartbeats = { stop: async () => { running = false; await loop; } };
    // The owner's first visit, before any attack: it leaves with a device token.
    const first = await post('connect', { id: HOST_ID, password: HOST_PASSWORD, clientName: 'Owner', clientPlatform: 'macos' }, fromOwner);
    if (first.status !== 200) throw new Error(`the owner cannot connect: ${first.status}`);
    // A switchboard from before device tokens hands out none; the owner then comes without one.
    ownerDeviceToken = typeof first.body.deviceToken === 'string' ? first.body.deviceToken : undefined;
    await post('close', { sessionId: first.body.sessionId, token: first.body.sessionToken }, fromOwner);
}

/** A JPEG-like picture of `size` bytes, in base64. */
const phonePicture = (size) => Buffer.concat([Buffer.from([0xff, 0xd8]), crypto.randomBytes(size - 4), Buffer.from([0xff, 0xd9])]).toString('base64');

/**
 * A phone host streaming in the background: it registers and claims its viewer's session, then
 * pushes pictures with the payload first (a hash map's member order), each on a new connection,
 * polling between them as the host loop does; its viewer polls them. Counts pushes and pictures
 * taken since the last look.
 */
async function startPhone() {
    const id = '222333444';
    const hostToken = crypto.randomBytes(24).toString('hex');
    const from = { 'X-Forwarded-For': PHONE_ADDRESS };
    const viewerFrom = { 'X-Forwarded-For': '198.51.100.21' };
    const must = (answer, what) => {
        if (answer.status !== 200) throw new Error(`the phone host cannot ${what}: ${answer.status}`);
        return answer.body;
    };
    must(await post('register', { hostToken, id, name: 'Phone', password: HOST_PASSWORD, platform: 'android', unattended: true }, from), 'register');
    must(await post('heartbeat', { hostToken, id }, from), 'heartbeat');
    const opened = must(await post('connect', { id, password: HOST_PASSWORD, clientName: 'Phone viewer' }, viewerFrom), 'be connected to');
    const s = { sessionId: opened.sessionId, token: opened.sessionToken };
    must(await post('claim', { sessionId: s.sessionId, sessionToken: s.token }, from), 'claim');
    const counts = { pushed: 0, taken: 0 };
    let running = true;
    let turn = 0;
    const hostLoop = (async () => {
        let nextBeat = 0;
        while (running) {
            const payload = phonePicture(PHONE_PICTURE_SIZES[turn++ % PHONE_PICTURE_SIZES.length]);
            const pushed = await post('push', `{"role":"host","payload":"${payload}","kind":"jpeg","sessionId":"${s.sessionId}","token":"${s.token}"}`, from);
            counts.pushed += 1;
            if (pushed.status === 200) counts.taken += 1;
            await post('poll', { role: 'host', since: 0, sessionId: s.sessionId, token: s.token }, from);
            if (Date.now() >= nextBeat) {
                nextBeat = Date.now() + HEARTBEAT_MS;
                await post('heartbeat', { hostToken, id }, from);
            }
            await sleep(HOST_PAUSE_MS);
        }
    })();
    const viewerLoop = (async () => {
        let since = 0;
        while (running) {
            const polled = await post('poll', { ...s, role: 'viewer', since }, viewerFrom);
            if (typeof polled.body?.since === 'number') since = polled.body.since;
            await sleep(HOST_PAUSE_MS);
        }
    })();
    return {
        take: () => {
            const seen = { ...counts };
            counts.pushed = 0;
            counts.taken = 0;
            return seen;
        },
        stop: async () => {
            running = false;
            await Promise.all([hostLoop, viewerLoop]);
        },
    };
}

/**
 * One visit of the owner: lookup and connect from new connections, then the time until a picture
 * the host pushes reaches its poll; and a fresh registration of this machine's host. Each step's
 * status and time; a failed step ends the visit.
 */
async function visit() {
    const result = { lookup: null, connect: null, picture: null, register: null };
    // As this machine's host does when it first starts: a registration under a new ID.
    const freshId = String(100_000_000 + crypto.randomInt(800_000_000));
    result.register = await hostPost('register', { id: freshId, name: 'Rightful', platform: 'macos', password: HOST_PASSWORD, hostToken: HOST_TOKEN, unattended: true });
    result.lookup = await post('lookup', { id: HOST_ID }, fromOwner);
    if (result.lookup.status !== 200 || result.lookup.body?.online !== true) return result;
    result.connect = await post('connect', { id: HOST_ID, password: HOST_PASSWORD, clientName: 'Owner', clientPlatform: 'macos', deviceToken: ownerDeviceToken }, fromOwner);
    if (result.connect.status !== 200) return result;
    const s = { sessionId: result.connect.body.sessionId, token: result.connect.body.sessionToken };

    // The host hears of the session, claims it and pushes a picture; the owner polls for it.
    const started = performance.now();
    const failed = (status) => {
        result.picture = { status, ms: performance.now() - started };
        return result;
    };
    const beat = await hostPost('heartbeat', { id: HOST_ID, hostToken: HOST_TOKEN });
    if (beat.body?.pending?.sessionId !== s.sessionId) return failed(beat.status === 200 ? 409 : beat.status);
    const claim = await hostPost('claim', { sessionId: s.sessionId, sessionToken: s.token });
    if (claim.status !== 200) return failed(claim.status);
    const pushed = await hostPost('push', pushBody(s, 'host', 'jpeg', picture));
    if (pushed.status !== 200) return failed(pushed.status);
    const polled = await post('poll', { ...s, role: 'viewer', since: 0 }, fromOwner);
    const got = polled.body?.frames?.some((frame) => frame.kind === 'jpeg' && frame.payload === picture);
    result.picture = { status: got ? 200 : polled.status || 0, ms: performance.now() - started };
    await post('close', s, fromOwner);
    return result;
}

// ---------------------------------------------------------------------------------------------
// The attacks. Each starts its load and returns { stop, note }, note a short word on what it saw.

/** Keeps `count` copies of `task` going until stopped; each copy loops until then. */
function keepGoing(count, task) {
    let running = true;
    const loops = Array.from({ length: count }, (_, i) => (async () => {
        while (running) await task(i);
    })());
    return async () => { running = false; await Promise.all(loops); };
}

// Hosts of the stranger's own, registered from outside before any attack fills the tables, so
// that each attack can open sessions on them.
const STRANGER_HOSTS = 16;
const strangerHosts = [];

async function registerStrangerHosts() {
    for (let i = 0; i < STRANGER_HOSTS; i += 1) {
        const host = { id: String(900_000_000 + i), hostToken: crypto.randomBytes(24).toString('hex'), headers: fromStranger(100 + i) };
        const answer = await post('register', { id: host.id, password: STRANGER_PASSWORD, hostToken: host.hostToken }, host.headers);
        if (answer.status === 200) strangerHosts.push(host);
    }
}

/**
 * A session the stranger opens and claims on one of its own hosts, or null if refused; the viewer
 * connects from the host's address, or from the one given.
 */
async function ownHostSession(index, viewerHeaders) {
    const host = strangerHosts[index % strangerHosts.length];
    if (host === undefined) return null;
    await post('heartbeat', { id: host.id, hostToken: host.hostToken }, host.headers);
    const connected = await post('connect', { id: host.id, password: STRANGER_PASSWORD }, viewerHeaders ?? host.headers);
    if (connected.status !== 200) return null;
    const s = { sessionId: connected.body.sessionId, token: connected.body.sessionToken, headers: host.headers };
    await post('claim', { sessionId: s.sessionId, sessionToken: s.token }, host.headers);
    return s;
}

/** Opens up to `count` own sessions, spread over the stranger's hosts. */
async function ownHostSessions(count) {
    const sessions = [];
    for (let i = 0; i < count; i += 1) {
        const session = await ownHostSession(i);
        if (session !== null) sessions.push(session);
    }
    return sessions;
}

const closeAll = (sessions) => Promise.all(sessions.map((s) => post('close', s, s.headers)));

/**
 * Keeps `count` raw connections going, each opened by `open(socket, i)` and reopened a second
 * after it closes, until stopped. Returns { stop, opened, closedByServer }.
 */
function keepConnections(count, open) {
    const sockets = new Set();
    const seen = { opened: 0, closedByServer: 0 };
    let running = true;
    const loops = Array.from({ length: count }, (_, i) => (async () => {
        while (running) {
            const socket = await rawConnect();
            if (socket === null) { await sleep(RECONNECT_MS); continue; }
            if (!running) { socket.destroy(); break; }
            seen.opened += 1;
            sockets.add(socket);
            open(socket, i);
            await new Promise((resolve) => socket.once('close', resolve));
            sockets.delete(socket);
            if (running) {
                seen.closedByServer += 1;
                await sleep(RECONNECT_MS);
            }
        }
    })());
    return {
        seen,
        sockets,
        stop: async () => {
            running = false;
            for (const socket of sockets) socket.destroy();
            await Promise.all(loops);
        },
    };
}

const ATTACK_TABLE = {
    /** Bodies of 16 MB held before (or without) showing a session, and a parser bomb. */
    async bodies() {
        const filler = Buffer.alloc(64 * 1024, 'A');
        const brackets = Buffer.alloc(64 * 1024, '[');
        const sockets = [];
        const own = await ownHostSession(0);
        const wrong = { sessionId: crypto.randomBytes(16).toString('hex'), token: crypto.randomBytes(32).toString('hex') };
        const senders = [];
        for (let i = 0; i < 100; i += 1) {
            const head = pushBody(wrong, 'host', 'jpeg', '').slice(0, -2);
            senders.push(sendAlmostAll('/v1/push', MAX_PUSH_BYTES - 1, head, filler));
            senders.push(sendAlmostAll('/v1/push', MAX_PUSH_BYTES - 1, '{"payload":"', filler));
        }
        for (let i = 0; i < 4; i += 1) senders.push(sendAlmostAll('/v1/push', MAX_PUSH_BYTES, '[', brackets));
        // With a session of its own: as many pictures in flight as it likes, all held.
        if (own !== null) {
            for (let i = 0; i < 40; i += 1) senders.push(sendAlmostAll('/v1/push', MAX_PUSH_BYTES - 1, pushBody(own, 'host', 'jpeg', '').slice(0, -2), filler));
        }
        sockets.push(...await Promise.all(senders));
        const held = () => sockets.filter((socket) => socket !== null && !socket.destroyed).length;
        const heldAtStart = held();
        return {
            note: () => `${sockets.length} bodies of 16 MB, ${heldAtStart} still held after sending`,
            stop: async () => {
                for (const socket of sockets) socket?.destroy();
                if (own !== null) await closeAll([own]);
            },
        };
    },

    /**
     * 1,100 idle connections and 1,100 trickling requests, each reopened a second after it is
     * shed, as a client that retries would.
     */
    async connections() {
        const sockets = new Set();
        let opened = 0;
        let shed = 0;
        let running = true;
        const keep = async (trickle) => {
            while (running && opened < 40_000) {
                const socket = await rawConnect();
                opened += 1;
                if (socket === null) { await sleep(RECONNECT_MS); continue; }
                if (!running) { socket.destroy(); break; }
                sockets.add(socket);
                let timer = null;
                if (trickle) {
                    socket.write('POST /v1/lookup HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: 1000\r\n\r\n');
                    timer = setInterval(() => socket.write(' '), TRICKLE_MS);
                }
                await new Promise((resolve) => socket.once('close', resolve));
                clearInterval(timer);
                sockets.delete(socket);
                if (running) {
                    shed += 1;
                    await sleep(RECONNECT_MS);
                }
            }
        };
        const loops = [];
        for (let i = 0; i < 1100; i += 1) loops.push(keep(false), keep(true));
        await sleep(1000);
        return {
            note: () => `${opened} opened, ${shed} shed`,
            stop: async () => {
                running = false;
                for (const socket of sockets) socket.destroy();
                await Promise.all(loops);
            },
        };
    },

    /** Hosts registered from outside, sessions opened on an own host, the store filled by pushes. */
    async tables() {
        let registered = 0;
        for (let i = 0; i < 1000; i += 1) {
            const answer = await post('register', { id: String(800_000_000 + i), password: STRANGER_PASSWORD, hostToken: 'c'.repeat(48) }, fromStranger(i));
            if (answer.status === 200) registered += 1;
        }
        // 200 sessions on one own host, its viewers at addresses of their own; then on sessions of
        // every own host, a 1 MB picture and 1 MB of messages each, none of them ever read.
        const crowd = [];
        for (let i = 0; i < 200; i += 1) {
            const session = await ownHostSession(0, fromStranger(1000 + i));
            if (session !== null) crowd.push(session);
        }
        const pushers = await ownHostSessions(3 * STRANGER_HOSTS);
        const megabyte = crypto.randomBytes(768 * 1024).toString('base64');
        let stored = 0;
        const stop = keepGoing(pushers.length, async (i) => {
            for (const kind of ['jpeg', 'json']) {
                const answer = await post('push', pushBody(pushers[i], 'host', kind, megabyte), pushers[i].headers);
                if (answer.status === 200) stored += 1;
            }
            await sleep(500);
        });
        return {
            note: () => `${registered} hosts registered, ${crowd.length} sessions on one host, ${stored} MB of pushes taken`,
            stop: async () => {
                await stop();
                await closeAll([...crowd, ...pushers]);
            },
        };
    },

    /** A stranger guessing the rightful host's password, and every other host's, as fast as it can. */
    async lockout() {
        let looked = 0;
        let refused = 0;
        const stop = keepGoing(20, async () => {
            const answer = await post('connect', { id: HOST_ID, password: STRANGER_PASSWORD, clientName: 'Guesser' }, fromStranger(9));
            if (answer.status === 403) looked += 1;
            else refused += 1;
        });
        return { note: () => `${looked} guesses looked at, ${refused} refused`, stop };
    },

    /**
     * Requests written ahead of their answers, 64 KB of them at once on each of 900 connections
     * that never read: page requests on half, lookups on the other half.
     */
    async pipelined() {
        const page = 'GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n';
        const body = JSON.stringify({ id: HOST_ID });
        const lookup = `POST /v1/lookup HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n`
            + `X-Forwarded-For: ${strangerAddress(7)}\r\nContent-Length: ${body.length}\r\n\r\n${body}`;
        const burst = (text) => Buffer.from(text.repeat(Math.ceil((64 * 1024) / text.length)));
        const bursts = [burst(page), burst(lookup)];
        const requests = bursts.map((bytes, i) => bytes.length / [page, lookup][i].length);
        const kept = keepConnections(900, (socket, i) => {
            socket.pause();
            socket.write(bursts[i % 2]);
        });
        return {
            note: () => `${kept.seen.opened} connections wrote ${requests[0]} page requests or ${requests[1]} lookups each, `
                + `${kept.seen.closedByServer} closed by the switchboard`,
            stop: kept.stop,
        };
    },

    /**
     * Bodies trickled a byte every 20 ms on 900 connections: lookups declaring 64 KB, and pushes
     * declaring 16 MB whose payload comes first.
     */
    async trickle() {
        let bytes = 0;
        const kept = keepConnections(900, (socket, i) => {
            const push = i % 2 === 1;
            const declared = push ? MAX_PUSH_BYTES : 64 * 1024;
            socket.write(`POST /v1/${push ? 'push' : 'lookup'} HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n`
                + `X-Forwarded-For: ${strangerAddress(2000 + i)}\r\nContent-Length: ${declared}\r\n\r\n${push ? '{"payload":"' : '{"id":"'}`);
        });
        const one = Buffer.from('A');
        const dripper = setInterval(() => {
            for (const socket of kept.sockets) {
                socket.write(one);
                bytes += 1;
            }
        }, BODY_TRICKLE_MS);
        return {
            note: () => `${kept.seen.opened} bodies, ${bytes} bytes sent, ${kept.seen.closedByServer} cut by the switchboard`,
            stop: async () => {
                clearInterval(dripper);
                await kept.stop();
            },
        };
    },

    /**
     * Pushes whose payload comes first, of 1 MB, for sessions that do not exist, posted whole and
     * as fast as they are refused, from 64 addresses.
     */
    async unchecked() {
        const megabyte = 'A'.repeat(MB);
        let sent = 0;
        const refused = new Map();
        const stop = keepGoing(64, async (i) => {
            const s = { sessionId: crypto.randomBytes(16).toString('hex'), token: crypto.randomBytes(32).toString('hex') };
            const answer = await post('push', `{"payload":"${megabyte}","kind":"jpeg","role":"host","sessionId":"${s.sessionId}","token":"${s.token}"}`, fromStranger(3000 + i));
            sent += 1;
            refused.set(answer.status, (refused.get(answer.status) ?? 0) + 1);
        });
        return {
            note: () => `${sent} bodies of 1 MB, answered ${[...refused].map(([status, n]) => `${n} x ${status || 'none'}`).join(', ')}`,
            stop,
        };
    },

    /**
     * 50 addresses guessing the rightful host's password 10 times a second each, while its owner,
     * who connected before, comes back with its device token. Someone new, without one, tries too;
     * at the end the host reads its lockout and lifts it, as its owner would from its screen.
     */
    async swarm() {
        let looked = 0;
        let refused = 0;
        const stopGuessing = keepGoing(50, async (i) => {
            const started = performance.now();
            const answer = await post('connect', { id: HOST_ID, password: STRANGER_PASSWORD, clientName: 'Guesser' }, fromStranger(5000 + i));
            if (answer.status === 403) looked += 1;
            else refused += 1;
            await sleep(Math.max(0, 100 - (performance.now() - started)));
        });
        let newcomer = 0;
        let lockout = null;
        let lifted = null;
        return {
            note: () => `${looked} guesses looked at, ${refused} refused; a newcomer without a device token: HTTP ${newcomer}; `
                + `the host read ${JSON.stringify(lockout)}, then lifted it: HTTP ${lifted}`,
            stop: async () => {
                const tried = await post('connect', { id: HOST_ID, password: HOST_PASSWORD, clientName: 'Newcomer' }, fromStranger(9999));
                newcomer = tried.status;
                if (tried.status === 200) await post('close', { sessionId: tried.body.sessionId, token: tried.body.sessionToken }, fromStranger(9999));
                await stopGuessing();
                lockout = (await hostPost('lockout', { hostToken: HOST_TOKEN, id: HOST_ID })).body;
                lifted = (await hostPost('lockout', { hostToken: HOST_TOKEN, id: HOST_ID, lift: true })).status;
            },
        };
    },

    /** A web page posting the origin call cross-site, and two Host headers on every path. */
    async origin() {
        let accepted = 0;
        let sent = 0;
        const stop = keepGoing(4, async (i) => {
            sent += 1;
            if (i % 2 === 0) {
                const answer = await post('origin', JSON.stringify({ origin: 'https://evil.example' }),
                    { 'Content-Type': 'text/plain', Origin: 'https://evil.example', 'Sec-Fetch-Site': 'cross-site' });
                if (answer.status === 200) accepted += 1;
                return;
            }
            const socket = await rawConnect();
            if (socket === null) return;
            const body = JSON.stringify({ origin: 'https://evil.example' });
            socket.write(`POST /v1/origin HTTP/1.1\r\nHost: 127.0.0.1\r\nHost: evil.example\r\nContent-Type: application/json\r\nContent-Length: ${body.length}\r\n\r\n${body}`);
            const answer = await new Promise((resolve) => {
                socket.once('data', (chunk) => resolve(chunk.toString('latin1')));
                socket.once('close', () => resolve(''));
            });
            socket.destroy();
            if (answer.startsWith('HTTP/1.1 200')) accepted += 1;
        });
        return {
            note: () => `${sent} sent, ${accepted} accepted`,
            stop: async () => {
                await stop();
                const beat = await hostPost('heartbeat', { id: HOST_ID, hostToken: HOST_TOKEN });
                if (beat.body?.origin === 'https://evil.example') accepted += 1;
            },
        };
    },

    /**
     * Viewers that poll 1 MB pictures and never read the answers, on sessions of their own whose
     * hosts push at the app's pace.
     */
    async readers() {
        const own = await ownHostSessions(8);
        const megabyte = crypto.randomBytes(768 * 1024).toString('base64');
        const stalled = [];
        let polls = 0;
        const stopPushes = keepGoing(own.length, async (i) => {
            await post('push', pushBody(own[i], 'host', 'jpeg', megabyte), own[i].headers);
            await sleep(HOST_PAUSE_MS);
        });
        const stopPolls = keepGoing(own.length * 4, async (i) => {
            const s = own[i % own.length];
            const socket = await rawConnect();
            if (socket === null) return;
            socket.pause();
            const body = JSON.stringify({ sessionId: s.sessionId, token: s.token, role: 'viewer', since: 0 });
            socket.write(`POST /v1/poll HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nX-Forwarded-For: ${s.headers['X-Forwarded-For']}\r\nContent-Length: ${body.length}\r\n\r\n${body}`);
            stalled.push(socket);
            polls += 1;
            await sleep(100);
        });
        return {
            note: () => `${polls} polls whose answers were never read`,
            stop: async () => {
                await stopPolls();
                await stopPushes();
                for (const socket of stalled) socket.destroy();
                await closeAll(own);
            },
        };
    },
};

// ---------------------------------------------------------------------------------------------
// Running and printing.

let phone = null;

/**
 * The attackers' thread, seen from the main thread: start(name) starts an attack there and
 * resolves once it runs; stop() stops it and resolves with its note.
 */
async function startAttackers() {
    const worker = new Worker(new URL(import.meta.url), { workerData: { ...SHARED, port: board.port } });
    const replies = [];
    worker.on('message', (message) => replies.shift()?.(message));
    worker.on('error', (failure) => { throw failure; });
    const ask = (message) => new Promise((resolve) => {
        replies.push(resolve);
        worker.postMessage(message);
    });
    await ask({ do: 'ready' });
    return {
        start: (name) => ask({ do: 'start', name }),
        stop: async () => (await ask({ do: 'stop' })).note,
        end: () => worker.terminate(),
    };
}

/** In the attackers' thread: runs what the main thread asks for, one attack at a time. */
function serveAttacks() {
    let current = null;
    parentPort.on('message', async (message) => {
        if (message.do === 'ready') {
            await registerStrangerHosts();
            parentPort.postMessage({});
        } else if (message.do === 'start') {
            current = await ATTACK_TABLE[message.name]();
            parentPort.postMessage({});
        } else if (message.do === 'stop') {
            await current.stop();
            parentPort.postMessage({ note: current.note() });
            current = null;
        }
    });
}

let attackers = null;

async function measure(name) {
    const before = rssMb();
    let peak = before;
    const sampler = setInterval(() => { peak = Math.max(peak, rssMb()); }, 50);
    slowestBeat = 0;
    phone.take();
    if (name !== null) await attackers.start(name);
    const visits = [];
    for (let i = 0; i < PROBES; i += 1) {
        await sleep(ATTACK_MS / PROBES);
        visits.push(await visit());
    }
    const note = name === null ? '' : await attackers.stop();
    const pictures = phone.take();
    const beat = slowestBeat;
    await sleep(SETTLE_MS);
    peak = Math.max(peak, rssMb());
    clearInterval(sampler);
    const after = rssMb();
    return { name: name ?? 'none', before, peak, after, visits, note, beat, pictures };
}

/** The slowest of a step over the visits, or the first failing status. */
function worst(visits, step) {
    let slowest = 0;
    for (const visit of visits) {
        const result = visit[step];
        if (result === null) return { text: 'not reached', ok: false };
        if (result.status !== 200) return { text: `HTTP ${result.status || 'none'}`, ok: false };
        slowest = Math.max(slowest, result.ms);
    }
    return { text: `${slowest.toFixed(0)} ms`, ok: slowest <= SERVED_WITHIN_MS };
}

const row = (cells, widths) => cells.map((cell, i) => String(cell).padEnd(widths[i])).join('  ');

async function main() {
    board = await startBoard();
    await startHost();
    attackers = await startAttackers();
    phone = await startPhone();
    console.log(`Switchboard attacks: ${SCRIPT}, node ${process.version}; each attack ${ATTACK_MS / 1000} s with ${PROBES} visits of the owner, `
        + `limits RSS < ${RSS_LIMIT_MB} MB, every heartbeat and the owner served within ${SERVED_WITHIN_MS} ms; ${os.cpus().length} CPUs, `
        + `load average ${os.loadavg().map((load) => load.toFixed(2)).join(' ')}`);
    const widths = [12, 7, 6, 6, 9, 10, 10, 10, 10, 9, 6];
    console.log(row(['attack', 'RSS MB', 'peak', 'after', 'beat max', 'register', 'lookup', 'connect', 'picture', 'phone', 'within'], widths)
        + '  what the attack saw');
    const names = [null, ...Object.keys(ATTACK_TABLE).filter((name) => ATTACKS === undefined || ATTACKS.includes(name))];
    let allWithin = true;
    for (const name of names) {
        const result = await measure(name);
        const steps = ['register', 'lookup', 'connect', 'picture'].map((step) => worst(result.visits, step));
        const within = steps.every((step) => step.ok) && result.peak < RSS_LIMIT_MB && result.beat <= SERVED_WITHIN_MS;
        allWithin &&= within;
        console.log(row([result.name, result.before.toFixed(0), result.peak.toFixed(0), result.after.toFixed(0),
            Number.isFinite(result.beat) ? `${result.beat.toFixed(0)} ms` : 'failed',
            ...steps.map((step) => step.text), `${result.pictures.taken}/${result.pictures.pushed}`, within ? 'yes' : 'NO'], widths)
            + `  ${result.note}`);
    }
    await phone.stop();
    await heartbeats.stop();
    hostAgent.destroy();
    await attackers.end();
    board.child.kill();
    console.log(allWithin ? 'Every attack within the limits.' : 'Some attack broke a limit.');
}

if (isMainThread) await main();
else serveAttacks();
