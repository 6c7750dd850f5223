// Starts a switchboard on a free port and talks to it over HTTP: either the real script as a child
// process, for what only a real process shows (its output, its start-up, real time limits), or one
// made in this process with a clock that the test moves by hand. Shared by the suites in this
// folder; it holds no tests of its own.

import { spawn } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import { fileURLToPath } from 'node:url';
import { createSwitchboard } from '../server.mjs';

export const SCRIPT = fileURLToPath(new URL('../server.mjs', import.meta.url));
// The session messages and switchboard requests, byte for byte, that the C++ tests read as well.
export const PROTOCOL_VECTORS = fileURLToPath(new URL('../../tests/protocol/vectors.json', import.meta.url));
export const protocolVectors = () => JSON.parse(fs.readFileSync(PROTOCOL_VECTORS, 'utf8'));
const LISTENING = /^listening on 127\.0\.0\.1:(\d+)\n/;

export const HOST_ID = '123456789';
export const HOST_TOKEN = 'a'.repeat(48);
export const PASSWORD = 'ABCD-EFGH';
// The ID this machine's own host registers under, where a suite needs one besides HOST_ID.
export const LOCAL_HOST_ID = '100200300';
// Public origins of the two tunnels a host of this app starts.
export const CLOUDFLARE_ORIGIN = 'https://quiet-river-1234.trycloudflare.com';
export const SSH_ORIGIN = 'https://rnqkz-203-0-113-1.a.free.pinggy.link';
// A per-launch key as the app hands one to the switchboard, and the header by which its host
// proves itself with it.
export const HOST_KEY = '0123456789abcdef'.repeat(4);
export const hostProof = (key = HOST_KEY) => ({
    'Kivren-Host-Proof': crypto.createHmac('sha256', Buffer.from(key, 'hex')).update('kivren-host').digest('hex'),
});

export const encode = (value) => {
    const bytes = typeof value === 'string' || Buffer.isBuffer(value) ? value : JSON.stringify(value);
    return Buffer.from(bytes).toString('base64');
};
export const decode = (payload) => JSON.parse(Buffer.from(payload, 'base64').toString('utf8'));
export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

/**
 * Spawns `node server.mjs` with KIVREN_PORT=0 (unless `env` names a port: a switchboard started
 * again where the one before listened) and the given extra environment; `script` names the script
 * another way (through a link, say).
 */
export async function startSwitchboard(env = {}, script = SCRIPT) {
    const child = spawn(process.execPath, [script], {
        env: { ...process.env, KIVREN_PORT: '0', ...env },
        stdio: ['ignore', 'pipe', 'pipe'],
    });
    let stdout = '';
    let stderr = '';
    child.stderr.on('data', (chunk) => { stderr += chunk; });
    const port = await new Promise((resolve, reject) => {
        const onData = (chunk) => {
            stdout += chunk;
            const match = LISTENING.exec(stdout);
            if (match) resolve(Number(match[1]));
        };
        child.stdout.on('data', onData);
        child.once('exit', (code) => reject(new Error(`switchboard exited with ${code}: ${stderr}`)));
    });
    child.stdout.on('data', (chunk) => { stdout += chunk; });
    const stop = async () => {
        if (child.exitCode !== null) return;
        const exited = new Promise((resolve) => child.once('exit', resolve));
        child.kill();
        await exited;
    };
    const board = new Switchboard(port, stop);
    board.output = () => ({ stdout, stderr });
    return board;
}

// Where a test clock starts: a moment like any other, far from zero.
const CLOCK_START_MS = 1_700_000_000_000;

// How long a test waits for the service to have read what it was sent.
const READ_WAIT_MS = 10_000;

/**
 * A switchboard made in this process, on a free port, with the given settings (names as in
 * settings.mjs). Its clock stands still until the test calls `advance`.
 *
 * `board.read` counts what the service has taken in: `bytes` off its connections (request heads
 * included), requests whose body `ended`, and requests `closed` (answered, or their client gone).
 * Each is counted after the service's own handlers have seen it, so once `board.until` (or
 * `board.sendAndWait`) returns, the service has dealt with it. The counting only listens: it never
 * reads a request's body itself, which would take it from a request the service has not begun.
 */
export async function startClockedSwitchboard(settings = {}) {
    let now = CLOCK_START_MS;
    const made = createSwitchboard({ ...settings, port: 0, now: () => now });
    const port = await made.listen();
    const board = new Switchboard(port, () => made.close());
    /** Moves the clock forward and lets expiry run, as the periodic sweep would by then. */
    board.advance = (ms) => {
        now += ms;
        made.sweep();
    };
    /** How many polls and pushes are held now, waiting for their answers. */
    board.heldCount = () => made.heldRequests();
    /** Resolves once `count` polls and pushes are held; fails after `timeoutMs`. */
    board.untilHeld = (count, timeoutMs = 5000) => new Promise((resolve, reject) => {
        if (made.heldRequests() === count) {
            resolve();
            return;
        }
        const timer = setTimeout(() => {
            stop();
            reject(new Error(`${made.heldRequests()} requests held, not ${count}`));
        }, timeoutMs);
        const stop = made.watchHeld((held) => {
            if (held !== count) return;
            clearTimeout(timer);
            stop();
            resolve();
        });
    });
    board.read = { bytes: 0, ended: 0, closed: 0 };
    const waiters = new Set();
    const changed = () => {
        for (const wake of waiters) wake();
    };
    // Both registered after the service's own listeners, which see each event first.
    made.server.on('connection', (socket) => {
        socket.on('data', (chunk) => {
            board.read.bytes += chunk.length;
            changed();
        });
    });
    made.server.on('request', (request) => {
        request.on('end', () => {
            board.read.ended += 1;
            changed();
        });
        request.on('close', () => {
            board.read.closed += 1;
            changed();
        });
    });
    /** Resolves once `check()` holds, looked at whenever the service takes something in. */
    board.until = (check, what = 'the switchboard to read it') => new Promise((resolve, reject) => {
        const timer = setTimeout(() => {
            waiters.delete(look);
            reject(new Error(`timed out waiting for ${what} (read ${JSON.stringify(board.read)})`));
        }, READ_WAIT_MS);
        function look() {
            if (!check()) return;
            clearTimeout(timer);
            waiters.delete(look);
            resolve();
        }
        waiters.add(look);
        look();
    });
    /**
     * Writes `data` on a raw connection and resolves once the service has taken it in, or has
     * closed the connection, after which it takes nothing more.
     */
    board.sendAndWait = async (connection, data, what = 'the bytes sent') => {
        const read = board.read.bytes + Buffer.byteLength(data);
        connection.write(data);
        connection.socket.on('close', changed);
        try {
            await board.until(() => board.read.bytes >= read || connection.closed, what);
        } finally {
            connection.socket.off('close', changed);
        }
    };
    return board;
}

export class Switchboard {
    constructor(port, stopServer) {
        this.port = port;
        this.agent = new http.Agent({ keepAlive: true });
        this.stopServer = stopServer;
    }

    /**
     * POSTs a JSON value (or a raw string/Buffer) and resolves with { status, body, headers, text }:
     * `body` parsed where it is JSON, `text` as it came.
     */
    request(path, body, { method = 'POST', headers = {}, raw = false } = {}) {
        const data = raw ? body : JSON.stringify(body);
        return this.#exchange(path, method, headers, (request) => {
            if (data !== undefined) request.end(data); else request.end();
        });
    }

    /**
     * POSTs a raw body written in the given pieces, a pause apart, so that the server reads them
     * as separate chunks.
     */
    requestInPieces(path, pieces, { pauseMs = 25 } = {}) {
        const bytes = pieces.map((piece) => Buffer.from(piece));
        const length = bytes.reduce((sum, piece) => sum + piece.length, 0);
        return this.#exchange(path, 'POST', { 'Content-Length': length }, async (request) => {
            for (const piece of bytes) {
                request.write(piece);
                await sleep(pauseMs);
            }
            request.end();
        });
    }

    #exchange(path, method, headers, send) {
        return new Promise((resolve, reject) => {
            const request = http.request({
                host: '127.0.0.1', port: this.port, path, method, agent: this.agent,
                headers: { 'Content-Type': 'application/json', ...headers },
            }, (response) => {
                const chunks = [];
                response.on('data', (chunk) => chunks.push(chunk));
                response.on('end', () => {
                    const text = Buffer.concat(chunks).toString('utf8');
                    let parsed;
                    try { parsed = JSON.parse(text); } catch { parsed = text; }
                    resolve({ status: response.statusCode, body: parsed, headers: response.headers, text });
                });
            });
            request.on('error', reject);
            send(request);
        });
    }

    post(name, body) {
        return this.request(`/v1/${name}`, body);
    }

    /** Opens a raw TCP connection, writes `text` and resolves with what the server sent back. */
    rawExchange(text, { waitMs = 2000 } = {}) {
        return new Promise((resolve) => {
            const socket = net.connect(this.port, '127.0.0.1');
            let received = '';
            const timer = setTimeout(() => { socket.destroy(); resolve({ received, closed: false }); }, waitMs);
            socket.on('data', (chunk) => { received += chunk; });
            socket.on('error', () => {});
            socket.on('close', () => { clearTimeout(timer); resolve({ received, closed: true }); });
            if (text) socket.write(text);
        });
    }

    /** A raw connection of its own, for requests written byte by byte (RawConnection). */
    rawConnection() {
        return RawConnection.open(this.port);
    }

    /** A registered, heartbeating host and the IDs of a session a viewer opened on it. */
    async openSession({ id = HOST_ID, password = PASSWORD, clientName = 'Phone' } = {}) {
        await this.expectOk('register', { id, name: 'Studio Mac', platform: 'macos', password, hostToken: HOST_TOKEN, unattended: true });
        await this.expectOk('heartbeat', { id, hostToken: HOST_TOKEN });
        const connected = await this.expectOk('connect', { id, password, clientName, clientPlatform: 'macos' });
        return { sessionId: connected.sessionId, token: connected.sessionToken };
    }

    /**
     * Says, as this machine's host does once its tunnel printed the origin, that the switchboard
     * is published under `origin`: its tunnel names the clients from then on. Needs a switchboard
     * started with HOST_KEY; registers this machine's host under `id` first.
     */
    async publishThrough(origin, id = LOCAL_HOST_ID) {
        const proof = { headers: hostProof() };
        const registered = await this.request('/v1/register', { id, password: PASSWORD, hostToken: HOST_TOKEN }, proof);
        const told = await this.request('/v1/origin', { id, hostToken: HOST_TOKEN, origin }, proof);
        if (registered.status !== 200 || told.status !== 200) throw new Error(`origin answered ${told.status}: ${JSON.stringify(told.body)}`);
    }

    async expectOk(name, body) {
        const { status, body: answer } = await this.post(name, body);
        if (status !== 200) throw new Error(`${name} answered ${status}: ${JSON.stringify(answer)}`);
        return answer;
    }

    async stop() {
        this.agent.destroy();
        await this.stopServer();
    }
}

/**
 * One TCP connection that writes whatever it is given and reads answers off it one by one, for
 * what a well-behaved HTTP client never does: a body sent in part, a request kept waiting.
 */
export class RawConnection {
    static open(port) {
        return new Promise((resolve, reject) => {
            const socket = net.connect(port, '127.0.0.1', () => resolve(new RawConnection(socket)));
            socket.once('error', reject);
        });
    }

    constructor(socket) {
        this.socket = socket;
        this.received = Buffer.alloc(0);
        this.closed = false;
        this.waiters = [];
        socket.on('data', (chunk) => {
            this.received = Buffer.concat([this.received, chunk]);
            this.#wake();
        });
        socket.on('error', () => {});
        socket.on('close', () => {
            this.closed = true;
            this.#wake();
        });
    }

    #wake() {
        const waiters = this.waiters;
        this.waiters = [];
        for (const wake of waiters) wake();
    }

    #changed() {
        return new Promise((resolve) => this.waiters.push(resolve));
    }

    write(data) {
        this.socket.write(data);
    }

    /** The head of a POST to a path, with the given extra header lines. */
    static head(path, length, headers = []) {
        return [`POST ${path} HTTP/1.1`, 'Host: 127.0.0.1', 'Content-Type: application/json',
            `Content-Length: ${length}`, ...headers, '', ''].join('\r\n');
    }

    /** Posts a whole JSON body on this connection and resolves with the answer. */
    async post(name, body) {
        const bytes = Buffer.from(JSON.stringify(body));
        this.write(RawConnection.head(`/v1/${name}`, bytes.length));
        this.write(bytes);
        return this.answer();
    }

    /** The next answer: { status, body, headers }, or null once the connection has closed. */
    async answer() {
        for (;;) {
            const end = this.received.indexOf('\r\n\r\n');
            if (end !== -1) {
                const lines = this.received.subarray(0, end).toString('latin1').split('\r\n');
                const headers = {};
                for (const line of lines.slice(1)) {
                    const colon = line.indexOf(':');
                    headers[line.slice(0, colon).toLowerCase()] = line.slice(colon + 1).trim();
                }
                const length = Number(headers['content-length'] ?? 0);
                if (this.received.length >= end + 4 + length) {
                    const text = this.received.subarray(end + 4, end + 4 + length).toString('utf8');
                    this.received = this.received.subarray(end + 4 + length);
                    let body;
                    try { body = JSON.parse(text); } catch { body = text; }
                    return { status: Number(lines[0].split(' ')[1]), body, headers, text };
                }
            }
            if (this.closed) return null;
            await this.#changed();
        }
    }

    /** Resolves once the server has closed the connection (true), or after waitMs (false). */
    async whenClosed(waitMs = 2000) {
        const deadline = Date.now() + waitMs;
        while (!this.closed && Date.now() < deadline) {
            await Promise.race([this.#changed(), sleep(Math.max(1, deadline - Date.now()))]);
        }
        return this.closed;
    }

    /** Stops reading: what the server sends from now on piles up, as for a reader that stalls. */
    stopReading() {
        this.socket.pause();
    }

    resumeReading() {
        this.socket.resume();
    }

    close() {
        this.socket.destroy();
    }
}
