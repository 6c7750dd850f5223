// Fuzzing the switchboard's request parsing: mutated bodies from the seed corpus (corpus/, one
// body per file, the path named by the file name up to its first '-' or '.') go two ways.
//
//   differential: the push body parser, which cuts the payload out of the chunks without decoding
//     it, must read every body, however it is split into chunks, as JSON.parse reads it whole:
//     the same members, and the same payload relayed or refused; the head screen must never throw.
//   whole service: the body, with its headers now and then mutated too, is posted over a raw
//     connection to a switchboard in this process; every answer must be a well-formed refusal or
//     success (never a 500, which means a check threw something other than a refusal), and the
//     service must keep serving.
//
//   node cloud/fuzz/request-parsing.mjs                 5 s, a random seed
//   node cloud/fuzz/request-parsing.mjs --seconds 600 --seed 42
//
// A failing input is written to the system's temporary folder, its file named in the output, and
// the run exits 1. The "SESSION_ID" and "SESSION_TOKEN" in the seeds stand for a real session's.

import assert from 'node:assert/strict';
import { mkdtempSync, readFileSync, readdirSync, writeFileSync } from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { createSwitchboard } from '../server.mjs';
import { isHostPicture, parseMembersBefore, parseObject, parsePushBody, payloadMemberAt, readPayload } from '../wire.mjs';
import { Refusal } from '../refusal.mjs';

const CORPUS = fileURLToPath(new URL('./corpus/', import.meta.url));
const HOST_ID = '123456789';
const HOST_TOKEN = 'a'.repeat(48);
const PASSWORD = 'ABCD-EFGH';
// Of every this many inputs, one goes through the whole service; the rest only through the parsers.
const SERVICE_EVERY = 8;
// An answer that does not come within this long is a hang (the body is complete, so none may).
const ANSWER_WAIT_MS = 2000;
// Fragments a mutation may insert: the bytes the parsers single out, and some that break JSON.
const TOKENS = ['"payload":"', '"payload" : "', '"', '\\', '\\"', '\\u0000', '\\/', '{', '}', '[', ']', ',', ':',
    '"sessionId":"SESSION_ID",', '"token":"SESSION_TOKEN",', '\u00e9', '\ud83d\ude00', '\u0000', '\r\n', ' ', 'null', '1e999', '-0'];
const HEADER_MUTATIONS = [
    ['Host', '127.0.0.1\r\nHost: evil.example'], ['Content-Type', 'text/plain'], ['Transfer-Encoding', 'chunked'],
    ['X-Forwarded-For', '203.0.113.9, ::ffff:1.2.3.4'], ['Origin', 'https://evil.example'], ['Sec-Fetch-Site', 'cross-site'],
    ['Content-Length', '-1'], ['Expect', '100-continue'],
];

function options() {
    const args = process.argv.slice(2);
    const valueOf = (name, fallback) => {
        const at = args.indexOf(name);
        return at === -1 ? fallback : Number(args[at + 1]);
    };
    return { seconds: valueOf('--seconds', 5), seed: valueOf('--seed', Math.floor(Math.random() * 2 ** 31)) };
}

/** A small deterministic generator, so that a seed replays a run. */
function random(seed) {
    let state = seed >>> 0 || 1;
    const next = () => {
        state ^= state << 13; state >>>= 0;
        state ^= state >>> 17;
        state ^= state << 5; state >>>= 0;
        return state;
    };
    return { below: (n) => next() % n, chance: (p) => next() / 2 ** 32 < p };
}

function readCorpus() {
    return readdirSync(CORPUS).sort().map((name) => ({
        path: `/v1/${name.split(/[-.]/, 1)[0]}`,
        body: readFileSync(path.join(CORPUS, name)),
    }));
}

function mutate(bytes, rng, corpus) {
    let out = Buffer.from(bytes);
    const rounds = 1 + rng.below(4);
    for (let round = 0; round < rounds; round += 1) {
        const at = rng.below(out.length + 1);
        switch (rng.below(6)) {
            case 0: if (out.length > 0) out[Math.min(at, out.length - 1)] ^= 1 << rng.below(8); break;
            case 1: out = Buffer.concat([out.subarray(0, at), Buffer.from([rng.below(256)]), out.subarray(at)]); break;
            case 2: out = Buffer.concat([out.subarray(0, at), out.subarray(Math.min(out.length, at + 1 + rng.below(16)))]); break;
            case 3: out = Buffer.concat([out.subarray(0, at), Buffer.from(TOKENS[rng.below(TOKENS.length)]), out.subarray(at)]); break;
            case 4: {
                const other = corpus[rng.below(corpus.length)].body;
                const from = rng.below(other.length);
                out = Buffer.concat([out.subarray(0, at), other.subarray(from, from + 1 + rng.below(64)), out.subarray(at)]);
                break;
            }
            default: {
                // A long run, as a picture would be, of one byte the parsers care about or not.
                const fill = ['A', '/', '"', '\\', '['][rng.below(5)];
                out = Buffer.concat([out.subarray(0, at), Buffer.alloc(1 + rng.below(70_000), fill), out.subarray(at)]);
            }
        }
    }
    return out;
}

function split(bytes, rng) {
    const chunks = [];
    let at = 0;
    while (at < bytes.length) {
        const size = rng.chance(0.3) ? 1 + rng.below(8) : 1 + rng.below(bytes.length);
        chunks.push(bytes.subarray(at, at + size));
        at += size;
    }
    return chunks;
}

/**
 * What a parser made of a body, as the push path goes on to read it: the members, with the payload
 * as the bytes that would be relayed, or 'refused' when the body is no JSON object or its payload
 * would not be relayed (either way the push is refused).
 */
function outcome(parse) {
    let body;
    try {
        body = parse();
    } catch (failure) {
        if (failure instanceof Refusal && failure.status === 400) return 'refused';
        throw failure;
    }
    const hostPicture = isHostPicture(body.role, body.kind);
    try {
        return { ...body, payload: Buffer.concat(readPayload(body, hostPicture).pieces).toString('latin1') };
    } catch (failure) {
        if (failure instanceof Refusal && failure.status === 400) return 'refused';
        throw failure;
    }
}

// A host's picture cut out on the fast path is only checked to be ASCII without quote or
// backslash: a control character (or DEL) in it, which the other path refuses, passes there and
// spoils no more than that picture. The one difference from JSON.parse allowed.
const CONTROL_CHARACTER = /[\x00-\x1f\x7f]/;

function differential(bytes, rng) {
    const chunks = split(bytes, rng);
    const expected = outcome(() => parseObject([bytes], bytes.length));
    const actual = outcome(() => parsePushBody(chunks, bytes.length));
    const allowed = expected === 'refused' && actual !== 'refused' && isHostPicture(actual.role, actual.kind)
        && CONTROL_CHARACTER.test(actual.payload);
    if (!allowed) assert.deepEqual(actual, expected, 'the push parser read the body otherwise than JSON.parse');
    const head = bytes.subarray(0, 4096);
    const at = payloadMemberAt(head);
    if (at !== -1) {
        assert.equal(head.toString('latin1', at, at + 9), '"payload"', 'the head screen found no payload key where it said');
        parseMembersBefore(head, at);
    }
}

// ---------------------------------------------------------------------------------------------
// The whole service.

async function startService() {
    const board = createSwitchboard({ port: 0, headersTimeoutMs: 1000, requestTimeoutMs: 1000, lookupBurst: 1_000_000 });
    const port = await board.listen();
    const post = (name, body) => exchange(port, request(`/v1/${name}`, Buffer.from(JSON.stringify(body)), []));
    const json = async (name, body) => JSON.parse((await post(name, body)).split('\r\n\r\n')[1]);
    await json('register', { id: HOST_ID, password: PASSWORD, hostToken: HOST_TOKEN });
    await json('heartbeat', { id: HOST_ID, hostToken: HOST_TOKEN });
    const openSession = async () => {
        const connected = await json('connect', { id: HOST_ID, password: PASSWORD });
        await json('claim', { sessionId: connected.sessionId, sessionToken: connected.sessionToken });
        return { sessionId: connected.sessionId, token: connected.sessionToken };
    };
    return { board, port, post, openSession, session: await openSession() };
}

function request(pathName, body, headers) {
    const lines = [`POST ${pathName} HTTP/1.1`, 'Host: 127.0.0.1', 'Content-Type: application/json'];
    if (!headers.some(([name]) => name === 'Content-Length' || name === 'Transfer-Encoding')) lines.push(`Content-Length: ${body.length}`);
    for (const [name, value] of headers) lines.push(`${name}: ${value}`);
    return Buffer.concat([Buffer.from(`${lines.join('\r\n')}\r\n\r\n`, 'latin1'), body]);
}

/** Writes one request on a new connection; resolves with what came back before it closed. */
function exchange(port, bytes) {
    return new Promise((resolve, reject) => {
        const socket = net.connect(port, '127.0.0.1');
        let received = '';
        const timer = setTimeout(() => { socket.destroy(); reject(new Error('no answer')); }, ANSWER_WAIT_MS);
        socket.on('data', (chunk) => {
            received += chunk.toString('latin1');
            const end = received.indexOf('\r\n\r\n');
            const length = /\r\ncontent-length: (\d+)/i.exec(received);
            if (end !== -1 && length && received.length >= end + 4 + Number(length[1])) {
                clearTimeout(timer);
                socket.destroy();
                resolve(received);
            }
        });
        socket.on('error', () => {});
        socket.on('close', () => { clearTimeout(timer); resolve(received); });
        socket.end(bytes);
    });
}

async function throughTheService(service, input, bytes, rng) {
    const { sessionId, token } = service.session;
    const body = Buffer.from(bytes.toString('latin1').replaceAll('SESSION_ID', sessionId).replaceAll('SESSION_TOKEN', token), 'latin1');
    const headers = rng.chance(0.2) ? [HEADER_MUTATIONS[rng.below(HEADER_MUTATIONS.length)]] : [];
    const answer = await exchange(service.port, request(input.path, body, headers));
    if (answer === '') return; // hung up on, as an oversized or malformed request may be
    const status = /^HTTP\/1\.1 (\d{3}) /.exec(answer);
    assert.ok(status, `not an HTTP answer: ${JSON.stringify(answer.slice(0, 80))}`);
    assert.notEqual(status[1], '500', 'a check threw something other than a refusal');
}

async function main() {
    const { seconds, seed } = options();
    const rng = random(seed);
    const corpus = readCorpus();
    const service = await startService();
    const deadline = Date.now() + seconds * 1000;
    let runs = 0;
    let serviceRuns = 0;
    let input = null;
    try {
        while (Date.now() < deadline) {
            const seedInput = corpus[rng.below(corpus.length)];
            input = { path: seedInput.path, body: mutate(seedInput.body, rng, corpus) };
            differential(input.body, rng);
            if (runs % SERVICE_EVERY === 0) {
                await throughTheService(service, input, input.body, rng);
                serviceRuns += 1;
                // A session the input ended (say, by a close) is replaced for the next inputs.
                const alive = await service.post('poll', { ...service.session, role: 'host', since: 0 });
                if (!/^HTTP\/1\.1 200 /.test(alive)) service.session = await service.openSession();
            }
            runs += 1;
        }
        const lookup = await service.post('lookup', { id: HOST_ID });
        assert.match(lookup, /^HTTP\/1\.1 200 /, 'the service stopped serving');
    } catch (failure) {
        const folder = mkdtempSync(path.join(os.tmpdir(), 'switchboard-fuzz-'));
        const file = path.join(folder, `failing${input?.path.replaceAll('/', '-') ?? ''}.body`);
        if (input !== null) writeFileSync(file, input.body);
        console.error(`switchboard request parsing: failure after ${runs} inputs (seed ${seed}): ${failure.message.slice(0, 2000)}\ninput: ${file}`);
        process.exitCode = 1;
    } finally {
        await service.board.close();
    }
    if (process.exitCode !== 1) {
        console.log(`switchboard request parsing: ${runs} inputs (${serviceRuns} through the service) in ${seconds} s, seed ${seed}, no failure`);
    }
}

await main();
