// Switchboard attack bench: the open-internet attacks, one after another, against a real
// switchboard on loopback, while a rightful owner keeps using it.
//
// Each attack runs for a bounded time and number of requests and stops by itself. During it, the
// rightful side is probed a few times: its host (this machine's, on loopback) keeps heartbeating,
// and its owner, at an address of its own behind the tunnel, looks the host up from a new
// connection, connects, and waits for a picture the host pushes. Printed per attack: the
// switchboard's resident memory before, at its peak and after, and the slowest of the owner's
// lookup, connect and picture, against the limits: RSS under 300 MB at every point, the owner
// served within 2 s. The baseline is the first row: the same probes with no attack.
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

const SCRIPT = process.env.BENCH_SCRIPT ?? fileURLToPath(new URL('../cloud/server.mjs', import.meta.url));
const ATTACKS = process.env.BENCH_ATTACKS?.split(',');
const MB = 1024 * 1024;
const RSS_LIMIT_MB = 300;
const SERVED_WITHIN_MS = 2000;
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

const OWNER_ADDRESS = '198.51.100.7';
const HOST_ID = '111222333';
const HOST_PASSWORD = 'ABCD-EFGH';
const HOST_TOKEN = crypto.randomBytes(24).toString('hex');
const HOST_KEY = crypto.randomBytes(32).toString('hex');
const STRANGER_PASSWORD = 'WXYZ-WXYZ';

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const strangerAddress = (i) => `203.0.${(i >> 8) & 255}.${i & 255}`;

// ---------------------------------------------------------------------------------------------
// The switchboard under attack.

let board = null;
process.on('exit', () => board?.child.kill());

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

/** Posts JSON on a new connection; resolves with { status, body, ms } (status 0: no answer). */
function post(path, value, headers = {}) {
    const data = Buffer.from(typeof value === 'string' ? value : JSON.stringify(value));
    const started = performance.now();
    return new Promise((resolve) => {
        const request = http.request({
            host: '127.0.0.1', port: board.port, path: `/v1/${path}`, method: 'POST', agent: false,
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
const picture = crypto.randomBytes(PICTURE_BYTES).toString('base64');
let heartbeats = null;

async function startHost() {
    const registered = await post('register', { id: HOST_ID, name: 'Rightful', platform: 'macos', password: HOST_PASSWORD, hostToken: HOST_TOKEN, unattended: true }, hostHeaders);
    if (registered.status !== 200) throw new Error(`the rightful host cannot register: ${registered.status}`);
    let running = true;
    const loop = (async () => {
        while (running) {
            await post('heartbeat', { id: HOST_ID, hostToken: HOST_TOKEN }, hostHeaders);
            await sleep(HEARTBEAT_MS);
        }
    })();
    heartbeats = { stop: async () => { running = false; await loop; } };
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
    result.register = await post('register', { id: freshId, name: 'Rightful', platform: 'macos', password: HOST_PASSWORD, hostToken: HOST_TOKEN, unattended: true }, hostHeaders);
    result.lookup = await post('lookup', { id: HOST_ID }, fromOwner);
    if (result.lookup.status !== 200 || result.lookup.body?.online !== true) return result;
    result.connect = await post('connect', { id: HOST_ID, password: HOST_PASSWORD, clientName: 'Owner', clientPlatform: 'macos' }, fromOwner);
    if (result.connect.status !== 200) return result;
    const s = { sessionId: result.connect.body.sessionId, token: result.connect.body.sessionToken };

    // The host hears of the session, claims it and pushes a picture; the owner polls for it.
    const started = performance.now();
    const failed = (status) => {
        result.picture = { status, ms: performance.now() - started };
        return result;
    };
    const beat = await post('heartbeat', { id: HOST_ID, hostToken: HOST_TOKEN }, hostHeaders);
    if (beat.body?.pending?.sessionId !== s.sessionId) return failed(beat.status === 200 ? 409 : beat.status);
    const claim = await post('claim', { sessionId: s.sessionId, sessionToken: s.token }, hostHeaders);
    if (claim.status !== 200) return failed(claim.status);
    const pushed = await post('push', pushBody(s, 'host', 'jpeg', picture), hostHeaders);
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
                const beat = await post('heartbeat', { id: HOST_ID, hostToken: HOST_TOKEN }, hostHeaders);
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

async function measure(name, start) {
    const before = rssMb();
    let peak = before;
    const sampler = setInterval(() => { peak = Math.max(peak, rssMb()); }, 50);
    const attack = start === null ? null : await start();
    const visits = [];
    for (let i = 0; i < PROBES; i += 1) {
        await sleep(ATTACK_MS / PROBES);
        visits.push(await visit());
    }
    const note = attack?.note() ?? '';
    await attack?.stop();
    await sleep(SETTLE_MS);
    peak = Math.max(peak, rssMb());
    clearInterval(sampler);
    const after = rssMb();
    return { name, before, peak, after, visits, note };
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
    await registerStrangerHosts();
    console.log(`Switchboard attacks: ${SCRIPT}, node ${process.version}; each attack ${ATTACK_MS / 1000} s with ${PROBES} visits of the owner, `
        + `limits RSS < ${RSS_LIMIT_MB} MB, owner served within ${SERVED_WITHIN_MS} ms; ${os.cpus().length} CPUs, `
        + `load average ${os.loadavg().map((load) => load.toFixed(2)).join(' ')}`);
    const widths = [12, 8, 8, 8, 12, 12, 12, 12, 6];
    console.log(row(['attack', 'RSS MB', 'peak', 'after', 'register', 'lookup', 'connect', 'picture', 'within'], widths) + '  what the attack saw');
    const names = [null, ...Object.keys(ATTACK_TABLE).filter((name) => ATTACKS === undefined || ATTACKS.includes(name))];
    let allWithin = true;
    for (const name of names) {
        const result = await measure(name ?? 'none', name === null ? null : ATTACK_TABLE[name]);
        const steps = ['register', 'lookup', 'connect', 'picture'].map((step) => worst(result.visits, step));
        const within = steps.every((step) => step.ok) && result.peak < RSS_LIMIT_MB;
        allWithin &&= within;
        console.log(row([result.name, result.before.toFixed(0), result.peak.toFixed(0), result.after.toFixed(0),
            ...steps.map((step) => step.text), within ? 'yes' : 'NO'], widths) + `  ${result.note}`);
    }
    await heartbeats.stop();
    board.child.kill();
    console.log(allWithin ? 'Every attack within the limits.' : 'Some attack broke a limit.');
}

await main();
