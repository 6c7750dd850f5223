// Switchboard load benchmark.
//
// For N = 1, 10 and 50 concurrent sessions, each simulated host pushes a 100 KB picture and polls,
// each simulated viewer polls, both pausing 90 ms after every exchange (the real cadence), and each
// host heartbeats every 3 s. The same clients run, in the same run, against:
//   switchboard  cloud/server.mjs, the real service;
//   bare         a bare node:http server that only reads the body and answers {} (the baseline);
//   copy floor   a node:http server that does the least a relay can: it keeps each pushed body
//                and answers it, unparsed, to the viewer's next poll. It shows what moving the
//                pictures out again costs by itself, which the bare baseline never does.
//
// Prints, per N and server: p50/p99 push and poll latency (ms), pictures delivered per second,
// requests per second, server CPU (share of one core, microseconds per request, of which user
// time), peak RSS and the client's own CPU share; then the ratios to the bare server.
//
//   node bench/switchboard.mjs                          10 s per server and N, in 3 rounds
//   BENCH_SECONDS=3 BENCH_ROUNDS=1 BENCH_SESSIONS=1,10 node bench/switchboard.mjs
//
// The rounds interleave the servers, so that load from elsewhere on the machine falls on all of
// them alike; latencies and CPU are pooled over the rounds. With two CPUs or more the server runs
// on CPU 1 and the clients on CPU 0 (BENCH_PIN=0 turns this off): left to the scheduler, whether
// the two happened to share a CPU changed a server's cost per request by a fifth from one run to
// the next, more than the differences being measured.
//
// `node bench/switchboard.mjs --serve bare|copy` runs one of the reference servers by itself.

import { execFileSync, spawn } from 'node:child_process';
import { readFileSync } from 'node:fs';
import http from 'node:http';
import crypto from 'node:crypto';
import os from 'node:os';
import { fileURLToPath } from 'node:url';

const SWITCHBOARD = fileURLToPath(new URL('../cloud/server.mjs', import.meta.url));
const SELF = fileURLToPath(import.meta.url);
const PAUSE_MS = 90;
const HEARTBEAT_MS = 3000;
const PICTURE_BYTES = 100 * 1024;
// Each round starts a fresh server, whose optimising compiler keeps background threads busy for
// its first seconds under load; that CPU counts as the server's. One second of warm-up left most
// of it inside the measurement, charging the switchboard, which has far more code to compile than
// the reference servers, its start-up as per-request cost.
const WARM_UP_MS = 4000;
const SECONDS = Number(process.env.BENCH_SECONDS ?? 10);
const SESSION_COUNTS = (process.env.BENCH_SESSIONS ?? '1,10,50').split(',').map(Number);
const ROUNDS = Number(process.env.BENCH_ROUNDS ?? 3);
const PASSWORD = 'ABCD-EFGH';
const CLOCK_TICKS_PER_SECOND = 100;
const SERVERS = ['switchboard', 'bare', 'copy floor'];
const JPEG_KIND = Buffer.from('"kind":"jpeg"');
const SINCE = Buffer.from('"since":');
// Tells the copy floor which session and side a request belongs to; the others ignore it.
const SLOT_HEADER = 'x-bench-slot';

const SERVER_CPU = '1';
const CLIENT_CPU = '0';

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

/** Moves every thread of this process to the clients' CPU; false where that cannot be done. */
function pinClients() {
    if (process.env.BENCH_PIN === '0' || os.cpus().length < 2) return false;
    try {
        execFileSync('taskset', ['-a', '-p', '-c', CLIENT_CPU, String(process.pid)], { stdio: 'ignore' });
        return true;
    } catch {
        return false;
    }
}

let pinned = false;

// ---------------------------------------------------------------------------------------------
// Reference servers.

function serveReference(kind) {
    const kept = new Map();
    const server = http.createServer({ keepAlive: true }, (request, response) => {
        const chunks = [];
        request.on('data', (chunk) => chunks.push(chunk));
        request.on('end', () => {
            const body = Buffer.concat(chunks);
            let answer = Buffer.from('{}');
            if (kind === 'copy') {
                const slot = request.headers[SLOT_HEADER] ?? '';
                const [session, side] = slot.split(':');
                if (side === 'host' && request.url === '/v1/push') kept.set(session, body);
                if (side === 'viewer' && kept.has(session)) {
                    answer = kept.get(session);
                    kept.delete(session);
                }
            }
            response.writeHead(200, { 'Content-Type': 'application/json', 'Content-Length': answer.length });
            response.end(answer);
        });
    });
    server.keepAliveTimeout = 95_000;
    server.listen(0, '127.0.0.1', () => process.stdout.write(`listening on 127.0.0.1:${server.address().port}\n`));
}

// Servers still running when the benchmark ends, however it ends, are stopped with it.
const liveServers = new Set();
process.on('exit', () => { for (const child of liveServers) child.kill(); });

function startServer(kind) {
    const args = kind === 'switchboard' ? [SWITCHBOARD] : [SELF, '--serve', kind === 'bare' ? 'bare' : 'copy'];
    // taskset execs the server, so the child's pid, whose CPU time is read, is the server's.
    const command = pinned ? ['taskset', '-c', SERVER_CPU, process.execPath, ...args] : [process.execPath, ...args];
    const child = spawn(command[0], command.slice(1), {
        // Every simulated host registers from this one loopback address, which the switchboard
        // lets register 10 new IDs; the load needs up to 50.
        env: { ...process.env, KIVREN_PORT: '0', KIVREN_HOST_REGISTRATION_BURST: String(Math.max(...SESSION_COUNTS)) },
        stdio: ['ignore', 'pipe', 'inherit'],
    });
    liveServers.add(child);
    child.once('exit', () => liveServers.delete(child));
    return new Promise((resolve, reject) => {
        let text = '';
        child.stdout.on('data', (chunk) => {
            text += chunk;
            const match = /listening on 127\.0\.0\.1:(\d+)/.exec(text);
            if (match) resolve({ child, port: Number(match[1]) });
        });
        child.once('exit', (code) => reject(new Error(`server exited with ${code}`)));
    });
}

async function stopServer({ child }) {
    const exited = new Promise((resolve) => child.once('exit', resolve));
    child.kill();
    await exited;
}

/** User and system CPU time of a process, in clock ticks. */
function cpuTicks(pid) {
    const fields = readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
    return { user: Number(fields[11]), system: Number(fields[12]) };
}

function residentBytes(pid) {
    const match = /VmRSS:\s+(\d+) kB/.exec(readFileSync(`/proc/${pid}/status`, 'utf8'));
    return match ? Number(match[1]) * 1024 : 0;
}

// ---------------------------------------------------------------------------------------------
// Clients.

class Client {
    constructor(port) {
        this.port = port;
        this.agent = new http.Agent({ keepAlive: true, maxSockets: Infinity });
    }

    /** Posts a prepared body; resolves with the status, the answer bytes and the time it took. */
    post(path, body, slot) {
        const started = process.hrtime.bigint();
        return new Promise((resolve, reject) => {
            const request = http.request({
                host: '127.0.0.1', port: this.port, path: `/v1/${path}`, method: 'POST', agent: this.agent,
                headers: { 'Content-Type': 'application/json', 'Content-Length': body.length, [SLOT_HEADER]: slot },
            }, (response) => {
                const chunks = [];
                response.on('data', (chunk) => chunks.push(chunk));
                response.on('end', () => resolve({
                    status: response.statusCode,
                    bytes: Buffer.concat(chunks),
                    ms: Number(process.hrtime.bigint() - started) / 1e6,
                }));
            });
            request.on('error', reject);
            request.end(body);
        });
    }

    async json(path, value) {
        const { status, bytes } = await this.post(path, Buffer.from(JSON.stringify(value)), '');
        return { status, body: bytes.length > 0 ? JSON.parse(bytes.toString('utf8')) : {} };
    }
}

/** Opens one session on the switchboard, or invents its IDs for a reference server. */
async function openSession(client, index, real) {
    const id = String(100_000_000 + index);
    const hostToken = crypto.randomBytes(24).toString('hex');
    if (!real) {
        return { index, id, hostToken, sessionId: crypto.randomBytes(16).toString('hex'), token: crypto.randomBytes(32).toString('hex') };
    }
    const must = (answer) => {
        if (answer.status !== 200) throw new Error(JSON.stringify(answer.body));
        return answer.body;
    };
    must(await client.json('register', { id, name: `Host ${index}`, platform: 'macos', password: PASSWORD, hostToken, unattended: true }));
    must(await client.json('heartbeat', { id, hostToken }));
    const connected = must(await client.json('connect', { id, password: PASSWORD, clientName: `Viewer ${index}`, clientPlatform: 'macos' }));
    must(await client.json('claim', { sessionId: connected.sessionId, sessionToken: connected.sessionToken }));
    return { index, id, hostToken, sessionId: connected.sessionId, token: connected.sessionToken };
}

function countPictures(bytes) {
    let count = 0;
    for (let at = bytes.indexOf(JPEG_KIND); at !== -1; at = bytes.indexOf(JPEG_KIND, at + 1)) count += 1;
    return count;
}

function readSince(bytes, previous) {
    const at = bytes.lastIndexOf(SINCE);
    if (at === -1) return previous;
    const value = Number.parseInt(bytes.subarray(at + SINCE.length, at + SINCE.length + 24).toString('latin1'), 10);
    return Number.isFinite(value) ? value : previous;
}

async function startLoad(port, sessionCount, real) {
    const client = new Client(port);
    const picture = crypto.randomBytes(PICTURE_BYTES).toString('base64');
    const sessions = [];
    for (let i = 0; i < sessionCount; i += 1) sessions.push(await openSession(client, i, real));

    const stats = { push: [], hostPoll: [], viewerPoll: [], pictures: 0, requests: 0, failures: 0 };
    let measuring = false;
    let running = true;
    const record = (list, answer) => {
        if (answer.status !== 200) stats.failures += 1;
        if (!measuring) return;
        if (list) list.push(answer.ms);
        stats.requests += 1;
    };

    const hostLoop = async (s) => {
        const slot = `${s.index}:host`;
        const pushBody = Buffer.from(JSON.stringify({ sessionId: s.sessionId, token: s.token, role: 'host', kind: 'jpeg', payload: picture }));
        const pollBody = Buffer.from(JSON.stringify({ sessionId: s.sessionId, token: s.token, role: 'host', since: 0 }));
        const beatBody = Buffer.from(JSON.stringify({ id: s.id, hostToken: s.hostToken }));
        let nextBeat = Date.now() + HEARTBEAT_MS * Math.random();
        while (running) {
            record(stats.push, await client.post('push', pushBody, slot));
            record(stats.hostPoll, await client.post('poll', pollBody, slot));
            if (Date.now() >= nextBeat) {
                nextBeat += HEARTBEAT_MS;
                record(null, await client.post('heartbeat', beatBody, slot));
            }
            await sleep(PAUSE_MS);
        }
    };
    const viewerLoop = async (s) => {
        const slot = `${s.index}:viewer`;
        let since = 0;
        while (running) {
            const answer = await client.post('poll', Buffer.from(
                `{"sessionId":"${s.sessionId}","token":"${s.token}","role":"viewer","since":${since}}`), slot);
            record(stats.viewerPoll, answer);
            since = readSince(answer.bytes, since);
            if (measuring) stats.pictures += countPictures(answer.bytes);
            await sleep(PAUSE_MS);
        }
    };

    // Staggered over one pause, as real sessions do not run in lockstep.
    const loops = sessions.flatMap((s, i) => [
        sleep((PAUSE_MS * i) / sessionCount).then(() => hostLoop(s)),
        sleep((PAUSE_MS * i) / sessionCount + PAUSE_MS / 2).then(() => viewerLoop(s)),
    ]);
    return {
        stats,
        begin: () => { measuring = true; },
        end: async () => {
            measuring = false;
            running = false;
            await Promise.all(loops);
            client.agent.destroy();
        },
    };
}

// ---------------------------------------------------------------------------------------------
// Measuring.

function percentile(values, p) {
    if (values.length === 0) return NaN;
    const sorted = Float64Array.from(values).sort();
    return sorted[Math.min(sorted.length - 1, Math.floor((p / 100) * sorted.length))];
}

/** Samples of one server, pooled over the rounds it ran. */
function emptyPool(kind, sessionCount) {
    return {
        kind, sessionCount, push: [], polls: [], pictures: 0, requests: 0, failures: 0,
        seconds: 0, userSeconds: 0, cpuSeconds: 0, clientSeconds: 0, peakRss: 0,
    };
}

/** Runs one round of `seconds` against a fresh server of the given kind, adding to its pool. */
async function runRound(pool, seconds) {
    const server = await startServer(pool.kind);
    const load = await startLoad(server.port, pool.sessionCount, pool.kind === 'switchboard');
    await sleep(WARM_UP_MS);

    let peakRss = residentBytes(server.child.pid);
    const sampler = setInterval(() => { peakRss = Math.max(peakRss, residentBytes(server.child.pid)); }, 100);
    const ticksBefore = cpuTicks(server.child.pid);
    const clientBefore = process.cpuUsage();
    const started = process.hrtime.bigint();
    load.begin();
    await sleep(seconds * 1000);
    const elapsed = Number(process.hrtime.bigint() - started) / 1e9;
    const ticksAfter = cpuTicks(server.child.pid);
    const client = process.cpuUsage(clientBefore);
    clearInterval(sampler);
    const requests = load.stats.requests;
    await load.end();
    await stopServer(server);

    const { stats } = load;
    const userSeconds = (ticksAfter.user - ticksBefore.user) / CLOCK_TICKS_PER_SECOND;
    pool.push.push(...stats.push);
    pool.polls.push(...stats.hostPoll, ...stats.viewerPoll);
    pool.pictures += stats.pictures;
    pool.requests += requests;
    pool.failures += stats.failures;
    pool.seconds += elapsed;
    pool.userSeconds += userSeconds;
    pool.cpuSeconds += userSeconds + (ticksAfter.system - ticksBefore.system) / CLOCK_TICKS_PER_SECOND;
    pool.clientSeconds += (client.user + client.system) / 1e6;
    pool.peakRss = Math.max(pool.peakRss, peakRss);
}

function summarise(pool) {
    return {
        kind: pool.kind,
        sessionCount: pool.sessionCount,
        pushP50: percentile(pool.push, 50),
        pushP99: percentile(pool.push, 99),
        pollP50: percentile(pool.polls, 50),
        pollP99: percentile(pool.polls, 99),
        picturesPerSecond: pool.pictures / pool.seconds,
        requestsPerSecond: pool.requests / pool.seconds,
        cpuShare: pool.cpuSeconds / pool.seconds,
        cpuMicrosPerRequest: (pool.cpuSeconds * 1e6) / pool.requests,
        userMicrosPerRequest: (pool.userSeconds * 1e6) / pool.requests,
        peakRssMb: pool.peakRss / (1024 * 1024),
        failures: pool.failures,
        clientShare: pool.clientSeconds / pool.seconds,
    };
}

/**
 * Measures every server for SECONDS in ROUNDS interleaved rounds, so that a burst of load from
 * elsewhere on the machine falls on all of them alike rather than on whichever ran at the time.
 */
async function measureAll(sessionCount) {
    const pools = new Map(SERVERS.map((kind) => [kind, emptyPool(kind, sessionCount)]));
    for (let round = 0; round < ROUNDS; round += 1) {
        for (const pool of pools.values()) await runRound(pool, SECONDS / ROUNDS);
    }
    return new Map([...pools].map(([kind, pool]) => [kind, summarise(pool)]));
}

const fixed = (value, digits = 1) => (Number.isFinite(value) ? value.toFixed(digits) : '-');
const row = (cells, widths) => cells.map((cell, i) => String(cell).padStart(widths[i])).join('  ');

async function main() {
    const header = ['N', 'server', 'push p50', 'push p99', 'poll p50', 'poll p99', 'pict/s', 'req/s',
        'CPU %', 'CPU us/req', 'user us/req', 'RSS MB', 'failed', 'client CPU %'];
    const widths = [3, 11, 8, 8, 8, 8, 7, 7, 6, 10, 11, 7, 6, 12];
    pinned = pinClients();
    console.log(`Switchboard load: ${SECONDS} s per server and N in ${ROUNDS} interleaved rounds, each after ${WARM_UP_MS / 1000} s warm-up, `
        + `${PICTURE_BYTES / 1024} KB pictures, ${PAUSE_MS} ms pause, node ${process.version}, `
        + `${os.cpus().length} CPUs, ${pinned ? `server on CPU ${SERVER_CPU} and clients on CPU ${CLIENT_CPU}` : 'not pinned'}, `
        + `load average ${os.loadavg().map((l) => l.toFixed(2)).join(' ')}`);
    console.log(row(header, widths));
    const ratios = [];
    for (const sessionCount of SESSION_COUNTS) {
        const results = await measureAll(sessionCount);
        for (const r of results.values()) {
            console.log(row([sessionCount, r.kind, fixed(r.pushP50, 2), fixed(r.pushP99, 2), fixed(r.pollP50, 2),
                fixed(r.pollP99, 2), fixed(r.picturesPerSecond), fixed(r.requestsPerSecond), fixed(r.cpuShare * 100),
                fixed(r.cpuMicrosPerRequest, 0), fixed(r.userMicrosPerRequest, 0), fixed(r.peakRssMb), r.failures,
                fixed(r.clientShare * 100)], widths));
        }
        const board = results.get('switchboard');
        const bare = results.get('bare');
        const floor = results.get('copy floor');
        ratios.push([sessionCount,
            fixed(board.cpuMicrosPerRequest / bare.cpuMicrosPerRequest, 2),
            fixed(floor.cpuMicrosPerRequest / bare.cpuMicrosPerRequest, 2),
            fixed(board.cpuMicrosPerRequest / floor.cpuMicrosPerRequest, 2),
            fixed(Math.max(board.pushP99, board.pollP99) / Math.max(bare.pushP99, bare.pollP99), 2),
            fixed(Math.max(board.pushP99, board.pollP99), 2),
            fixed(board.peakRssMb)]);
    }
    console.log('');
    const ratioHeader = ['N', 'cost switchboard/bare', 'cost floor/bare', 'cost switchboard/floor', 'p99 switchboard/bare', 'switchboard p99', 'RSS MB'];
    const ratioWidths = [3, 20, 15, 22, 20, 15, 7];
    console.log(row(ratioHeader, ratioWidths));
    for (const r of ratios) console.log(row(r, ratioWidths));
    console.log('Goal at N = 50: p99 <= 20 ms, cost <= 1.5x bare, RSS <= 300 MB.');
}

const serveAt = process.argv.indexOf('--serve');
if (serveAt !== -1) serveReference(process.argv[serveAt + 1]);
else await main();
