// A tunnel stand-in for benchmarks: a loopback HTTP proxy in front of a switchboard that behaves,
// for timing, as a quick tunnel does between a viewer and the switchboard it publishes. Network
// emulation (netem) is not available on these machines, so the delay is added here.
//
//   - every request and every answer is taken whole before it is passed on (quick tunnels buffer
//     streamed answers), then waits the chosen delay for its direction;
//   - each direction is one link of the chosen bandwidth: a body is passed on only once the bytes
//     before it and its own have had the time to cross;
//   - requests reach the switchboard over a small pool of kept-alive connections, whatever
//     connections the clients opened, as a tunnel client does;
//   - it stops by itself after the time it was given.
//
//   node bench/tunnel-proxy.mjs --upstream 17880 [--delay-ms 20] [--mbit 100] [--pool 4]
//        [--port 0] [--stop-after-s 600]
//   node bench/tunnel-proxy.mjs --self-check
//
// The delay is each way: --delay-ms 20 is a 40 ms round trip. The proxy listens on 127.0.0.1
// only and forwards to 127.0.0.1 only. `startTunnelProxy` does the same for a benchmark in-process.

import http from 'node:http';
import { pathToFileURL } from 'node:url';
import { parseArgs } from 'node:util';

// Headers that belong to one hop and are not passed on.
const HOP_HEADERS = new Set(['connection', 'keep-alive', 'transfer-encoding', 'upgrade', 'proxy-connection', 'te', 'trailer']);
const LOOPBACK = '127.0.0.1';
const DEFAULT_STOP_AFTER_MS = 10 * 60_000;

/** One direction of the link: bytes cross it one body after another at `bytesPerSecond`. */
class Link {
    #freeAt = 0;

    constructor(bytesPerSecond) {
        this.bytesPerSecond = bytesPerSecond;
    }

    /** When `bytes` sent now have crossed, in performance.now() time, plus the link's delay. */
    arrival(bytes, delayMs) {
        const now = performance.now();
        const start = Math.max(now, this.#freeAt);
        const crossing = Number.isFinite(this.bytesPerSecond) ? (bytes / this.bytesPerSecond) * 1000 : 0;
        this.#freeAt = start + crossing;
        return this.#freeAt + delayMs;
    }
}

function readWhole(stream) {
    return new Promise((resolve, reject) => {
        const chunks = [];
        stream.on('data', (chunk) => chunks.push(chunk));
        stream.on('end', () => resolve(Buffer.concat(chunks)));
        stream.on('error', reject);
    });
}

const until = (at) => new Promise((resolve) => setTimeout(resolve, Math.max(0, at - performance.now())));

function passedOn(headers) {
    const kept = {};
    for (const [name, value] of Object.entries(headers)) if (!HOP_HEADERS.has(name)) kept[name] = value;
    return kept;
}

/**
 * Starts the proxy. Resolves with { port, close() }.
 *   upstreamPort   the switchboard's port on 127.0.0.1
 *   delayMs        added to each direction
 *   bytesPerSecond the bandwidth of each direction (Infinity: no cap)
 *   pool           kept-alive connections to the switchboard at most
 *   port           where to listen on 127.0.0.1 (0: a free port)
 *   stopAfterMs    the proxy closes itself after this long
 */
export async function startTunnelProxy({
    upstreamPort, delayMs = 20, bytesPerSecond = Infinity, pool = 4, port = 0, stopAfterMs = DEFAULT_STOP_AFTER_MS,
}) {
    const agent = new http.Agent({ keepAlive: true, maxSockets: pool, maxFreeSockets: pool });
    const toOrigin = new Link(bytesPerSecond);
    const toClient = new Link(bytesPerSecond);
    const server = http.createServer(async (request, response) => {
        try {
            const body = await readWhole(request);
            await until(toOrigin.arrival(body.length, delayMs));
            const answer = await new Promise((resolve, reject) => {
                const forwarded = http.request({
                    host: LOOPBACK, port: upstreamPort, method: request.method, path: request.url, agent,
                    headers: { ...passedOn(request.headers), 'content-length': body.length },
                }, resolve);
                forwarded.on('error', reject);
                forwarded.end(body);
            });
            const answerBody = await readWhole(answer);
            await until(toClient.arrival(answerBody.length, delayMs));
            response.writeHead(answer.statusCode, { ...passedOn(answer.headers), 'content-length': answerBody.length });
            response.end(answerBody);
        } catch {
            // What a tunnel's edge says when its origin does not answer.
            if (!response.headersSent) response.writeHead(502, { 'content-type': 'text/plain' });
            response.end('Bad gateway');
        }
    });
    server.keepAliveTimeout = 100_000;
    await new Promise((resolve, reject) => {
        server.once('error', reject);
        server.listen(port, LOOPBACK, resolve);
    });
    const stopTimer = setTimeout(() => close(), stopAfterMs);
    stopTimer.unref();
    function close() {
        clearTimeout(stopTimer);
        agent.destroy();
        return new Promise((resolve) => {
            server.close(() => resolve());
            server.closeAllConnections();
        });
    }
    return { port: server.address().port, close };
}

const median = (values) => {
    const sorted = [...values].sort((a, b) => a - b);
    return sorted[Math.floor(sorted.length / 2)];
};

/** Round trips of `bytes` POSTed to `port` and echoed back, in ms. */
async function roundTrips(port, bytes, count) {
    const agent = new http.Agent({ keepAlive: true, maxSockets: 1 });
    const body = Buffer.alloc(bytes, 0x61);
    const times = [];
    for (let i = 0; i < count; i += 1) {
        const started = performance.now();
        await new Promise((resolve, reject) => {
            const request = http.request({ host: LOOPBACK, port, method: 'POST', path: '/echo', agent, headers: { 'content-length': body.length } }, (response) => {
                readWhole(response).then(resolve, reject);
            });
            request.on('error', reject);
            request.end(body);
        });
        times.push(performance.now() - started);
    }
    agent.destroy();
    return times;
}

/**
 * Checks the proxy adds what it was asked to: the round trip of a small request grows by twice
 * the delay, and a large body takes its size over the bandwidth, beside the same requests sent
 * straight to the same echo server in the same run. Returns true when both hold.
 */
async function selfCheck() {
    const echo = http.createServer(async (request, response) => {
        const body = await readWhole(request);
        response.end(body.subarray(0, 16));
    });
    await new Promise((resolve) => echo.listen(0, LOOPBACK, resolve));
    const upstreamPort = echo.address().port;
    const DELAY_MS = 20;
    const MBIT = 8;
    const LARGE = 1_000_000;
    const proxy = await startTunnelProxy({ upstreamPort, delayMs: DELAY_MS, bytesPerSecond: (MBIT * 1e6) / 8, stopAfterMs: 60_000 });
    try {
        const direct = median(await roundTrips(upstreamPort, 100, 21));
        const proxied = median(await roundTrips(proxy.port, 100, 21));
        const directLarge = median(await roundTrips(upstreamPort, LARGE, 3));
        const proxiedLarge = median(await roundTrips(proxy.port, LARGE, 3));
        const expectedAdded = 2 * DELAY_MS;
        const expectedLarge = (LARGE * 8 / (MBIT * 1e6)) * 1000 + expectedAdded;
        console.log(`small request: direct median ${direct.toFixed(2)} ms, through the proxy ${proxied.toFixed(2)} ms `
            + `(added ${(proxied - direct).toFixed(2)} ms, asked ${expectedAdded} ms)`);
        console.log(`1 MB body at ${MBIT} Mbit/s: direct median ${directLarge.toFixed(2)} ms, through the proxy `
            + `${proxiedLarge.toFixed(2)} ms (expected about ${expectedLarge.toFixed(0)} ms)`);
        const delayHolds = proxied - direct >= expectedAdded && proxied - direct <= expectedAdded + 15;
        const bandwidthHolds = proxiedLarge >= expectedLarge && proxiedLarge <= expectedLarge * 1.25 + directLarge;
        console.log(delayHolds && bandwidthHolds ? 'self-check passed' : 'self-check FAILED');
        return delayHolds && bandwidthHolds;
    } finally {
        await proxy.close();
        await new Promise((resolve) => echo.close(resolve));
    }
}

async function main() {
    const { values } = parseArgs({
        options: {
            'self-check': { type: 'boolean', default: false },
            upstream: { type: 'string' },
            'delay-ms': { type: 'string', default: '20' },
            mbit: { type: 'string' },
            pool: { type: 'string', default: '4' },
            port: { type: 'string', default: '0' },
            'stop-after-s': { type: 'string', default: String(DEFAULT_STOP_AFTER_MS / 1000) },
        },
    });
    if (values['self-check']) {
        process.exitCode = (await selfCheck()) ? 0 : 1;
        return;
    }
    if (values.upstream === undefined) {
        console.error('usage: tunnel-proxy.mjs --upstream PORT [--delay-ms N] [--mbit N] [--pool N] [--port N] [--stop-after-s N] | --self-check');
        process.exitCode = 2;
        return;
    }
    const proxy = await startTunnelProxy({
        upstreamPort: Number(values.upstream),
        delayMs: Number(values['delay-ms']),
        bytesPerSecond: values.mbit === undefined ? Infinity : (Number(values.mbit) * 1e6) / 8,
        pool: Number(values.pool),
        port: Number(values.port),
        stopAfterMs: Number(values['stop-after-s']) * 1000,
    });
    console.log(`tunnel stand-in on ${LOOPBACK}:${proxy.port} -> ${LOOPBACK}:${values.upstream}`);
}

if (process.argv[1] !== undefined && import.meta.url === pathToFileURL(process.argv[1]).href) await main();
