// The installed tree: `cmake --install` into a temporary prefix, then the installed switchboard
// started from where the launcher looks for it (<bindir>/../share/kivrenremote/server.mjs) on a
// free loopback port. It must print its listening line, answer a request, which it can only do if
// every module it imports was installed beside it, and serve the browser page, which it only does
// when every file of web/ and every library module the page imports was installed too.
//
//   node installed_switchboard.mjs <cmake> <build directory>
//
// Stops itself, and the switchboard it started, within a minute whatever happens.

import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, readdirSync, rmSync } from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const DEADLINE_MS = 60_000;
const LISTENING = /^listening on 127\.0\.0\.1:(\d+)\n$/;

const [cmake, build] = process.argv.slice(2);
if (cmake === undefined || build === undefined) {
    process.stderr.write('usage: node installed_switchboard.mjs <cmake> <build directory>\n');
    process.exit(2);
}

const prefix = mkdtempSync(path.join(os.tmpdir(), 'kivren-install-'));
let server = null;
const deadline = setTimeout(() => {
    process.stderr.write('the installed switchboard did not answer in time\n');
    server?.kill();
    rmSync(prefix, { recursive: true, force: true });
    process.exit(1);
}, DEADLINE_MS);

/** Starts the script under node with KIVREN_PORT=0; resolves with its port once it says it listens. */
function startInstalled(script) {
    server = spawn(process.execPath, [script], {
        cwd: prefix,
        env: { ...process.env, KIVREN_PORT: '0' },
        stdio: ['ignore', 'pipe', 'pipe'],
    });
    let stdout = '';
    let stderr = '';
    server.stderr.on('data', (chunk) => { stderr += chunk; });
    return new Promise((resolve, reject) => {
        server.stdout.on('data', (chunk) => {
            stdout += chunk;
            const match = LISTENING.exec(stdout);
            if (match) resolve(Number(match[1]));
        });
        server.once('exit', (code) => reject(new Error(`the installed switchboard exited with ${code}: ${stderr}`)));
    });
}

function exchange(port, method, path, body) {
    return new Promise((resolve, reject) => {
        const headers = body === undefined ? {} : { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(body) };
        const request = http.request({ host: '127.0.0.1', port, path, method, headers }, (response) => {
            const chunks = [];
            response.on('data', (chunk) => chunks.push(chunk));
            response.on('end', () => resolve({
                status: response.statusCode, headers: response.headers, text: Buffer.concat(chunks).toString('utf8'),
            }));
        });
        request.on('error', reject);
        request.end(body);
    });
}

const lookup = (port) => exchange(port, 'POST', '/v1/lookup', JSON.stringify({ id: '123456789' }));

try {
    const install = spawnSync(cmake, ['--install', build, '--prefix', prefix], { encoding: 'utf8' });
    assert.equal(install.status, 0, `cmake --install failed:\n${install.stdout}${install.stderr}`);

    // The launcher goes from the executable's folder to the share folder.
    assert.ok(existsSync(path.join(prefix, 'bin', 'KivrenRemote')), 'bin/KivrenRemote is not installed');
    const share = path.join(prefix, 'bin', '..', 'share', 'kivrenremote');
    const installed = readdirSync(share);
    assert.ok(installed.includes('server.mjs'), `server.mjs is not installed: ${installed}`);
    assert.ok(installed.every((name) => name === 'web' || name === 'node_modules' || (name.endsWith('.mjs') && !name.includes('test'))),
        `only the switchboard's own modules, its page and the page's libraries belong there: ${installed}`);
    const sourcePage = path.join(path.dirname(fileURLToPath(import.meta.url)), '..', '..', 'cloud', 'web');
    assert.deepEqual(readdirSync(path.join(share, 'web')).sort(), readdirSync(sourcePage).sort(),
        'the page is installed whole');

    const port = await startInstalled(path.join(share, 'server.mjs'));
    const answer = await lookup(port);
    assert.equal(answer.status, 200);
    assert.equal(answer.text, '{"found":false,"online":false}');
    const page = await exchange(port, 'GET', '/');
    assert.equal(page.status, 200);
    assert.equal(page.headers['content-type'], 'text/html; charset=utf-8');
    assert.equal(page.text, readFileSync(path.join(sourcePage, 'index.html'), 'utf8'));
    assert.match(page.headers['content-security-policy'] ?? '', /frame-ancestors 'none'/);
    // The page's crypto libraries are served from the installed packages.
    const library = await exchange(port, 'GET', '/node_modules/@noble/ciphers/esm/chacha.js');
    assert.equal(library.status, 200);
    assert.match(library.text, /xchacha20poly1305/);
    process.stdout.write(`installed switchboard (${installed.length} files) answered on 127.0.0.1:${port}\n`);
} finally {
    server?.kill();
    clearTimeout(deadline);
    rmSync(prefix, { recursive: true, force: true });
}
