// The browser page viewing the real app: KivrenRemote (the build CTest names in KIVREN_APP) shares
// an Xvfb display showing a known pattern, and the page, served by the app's own switchboard, is
// given the app's ID and password. The app offers encryption, so the page opens an encrypted
// session: the bar must say "Encrypted", the canvas show the pattern, and a click on it land on the
// matching point of the host's display. Every request the page sends and every answer it gets is
// recorded, as the tunnel's edge would see them: neither the password nor the typed text may be
// in them, nor a picture or the screen's size in the clear.
//
// The app looks for ssh and cloudflared and opens a public tunnel when it finds one, so this file
// runs itself again inside a fresh network namespace with loopback alone, where the app reaches
// nothing beyond this machine, and its switchboard's port is the namespace's own. The namespace
// has its own process IDs as well: when the inner run ends, however it ends, every process it
// started (the app and its children, Xvfb, Chromium) ends with it.

import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, before, describe, it } from 'node:test';
import { fileURLToPath } from 'node:url';
import { launchChromium, waitUntil } from './harness.mjs';
import { canvasPixel, connect, near, openPage, pictureRect, pointAt, waitUntilLive } from './page-driver.mjs';

const INSIDE = 'KIVREN_E2E_IN_NAMESPACE';
const INNER_RUN_MS = 240_000;
const APP = process.env.KIVREN_APP ?? '';
const PATTERN_WINDOW = process.env.KIVREN_PATTERN_WINDOW ?? '';
// The port the app's switchboard always listens on.
const SWITCHBOARD_PORT = 17880;
// Narrow enough for the host to send its screen unscaled.
const SCREEN = { width: 1024, height: 640 };
// The pattern window's quadrants (tests/e2e/PatternWindow.cpp), sampled at their centres.
const QUADRANTS = [[0.25, 0.25, '#dc1e1e'], [0.75, 0.25, '#1ec81e'], [0.25, 0.75, '#1e1edc'], [0.75, 0.75, '#e6c81e']];

// What the page types on the host, looked for in everything it sent.
const TYPED = 'kivren typed words';

/**
 * Every request body the page sends and every answer it reads, recorded as they cross the wire:
 * { sent: [{ path, body, kind, answered }], answers: [text] }.
 */
function recordWire(page) {
    const wire = { sent: [], answers: [] };
    const entries = new Map();
    page.on('request', (request) => {
        if (!request.url().includes('/v1/')) return;
        const body = request.postData() ?? '';
        let kind = '';
        try {
            kind = JSON.parse(body).kind ?? '';
        } catch {
            // Not JSON: recorded as it is.
        }
        const entry = { path: new URL(request.url()).pathname, body, kind, answered: false };
        entries.set(request, entry);
        wire.sent.push(entry);
    });
    page.on('response', async (response) => {
        const entry = entries.get(response.request());
        if (entry === undefined) return;
        try {
            wire.answers.push(await response.text());
        } catch {
            // An answer the page abandoned holds nothing it read.
        }
        entry.answered = true;
    });
    return wire;
}

const JPEG_START = Buffer.from([0xFF, 0xD8, 0xFF]);

/**
 * Nothing secret in what crossed the wire: the password in any form the page could write it, the
 * typed text, plain picture frames, a JPEG at the start of any frame's payload or after a sealed
 * frame's header, or the screen's size in a plain hello.
 */
function assertNothingInTheClear(wire, password) {
    const compact = password.replace(/[^0-9A-Za-z]/g, '').toUpperCase();
    const everything = [...wire.sent.map(({ body }) => body), ...wire.answers].join('\n');
    const secrets = [password, compact, JSON.stringify(password), Buffer.from(password).toString('base64'),
        Buffer.from(compact).toString('base64'), TYPED, Buffer.from(TYPED).toString('base64')];
    for (const secret of secrets) assert.equal(everything.includes(secret), false, `"${secret}" crossed the wire`);
    assert.ok(wire.sent.some(({ path, body }) => path === '/v1/connect' && body.includes('"features":["e2e"]')), 'an encrypted connect');
    assert.ok(wire.sent.filter(({ path }) => path === '/v1/push').length >= 4, 'the exchange and the input were pushed');

    let frames = 0;
    for (const answer of wire.answers) {
        let parsed;
        try {
            parsed = JSON.parse(answer);
        } catch {
            continue;
        }
        for (const frame of Array.isArray(parsed.frames) ? parsed.frames : []) {
            frames += 1;
            assert.ok(['json', 'sealed-json', 'sealed-jpeg', 'sealed-tiles'].includes(frame.kind), `a ${frame.kind} frame in the clear`);
            const bytes = Buffer.from(frame.payload, 'base64');
            for (const at of [0, 16]) assert.equal(bytes.subarray(at, at + 3).equals(JPEG_START), false, 'a JPEG in the clear');
            if (frame.kind === 'json') assert.match(bytes.toString(), /"type":"e2e-(share|confirm)"/, 'only the exchange travels plain');
        }
    }
    assert.ok(frames > 0, 'the page polled frames');
    assert.equal(/"width":\s*1024/.test(everything) || /"height":\s*640/.test(everything), false, 'the screen size crossed the wire');
}

if (process.env[INSIDE] === undefined) {
    describe('Browser viewer and the real app', () => {
        it('RealHost.RunsInsideALoopbackOnlyNamespace', { timeout: INNER_RUN_MS + 10_000 }, async (t) => {
            if (APP === '' || PATTERN_WINDOW === '') {
                t.skip('KIVREN_APP and KIVREN_PATTERN_WINDOW name no built app (CTest sets them)');
                return;
            }
            if (spawnSync('unshare', ['--net', '--pid', '--fork', '--mount-proc', 'true']).status !== 0) {
                t.skip('network namespaces are not available here');
                return;
            }
            // A run of its own, not a subtest of this one (which the test runner's context in the
            // environment would make it). Its report goes to stderr: this run's is read from stdout.
            const { NODE_TEST_CONTEXT: _context, ...env } = process.env;
            const inner = spawn('unshare', ['--net', '--pid', '--fork', '--mount-proc', '--kill-child',
                'sh', '-c', 'ip link set lo up && exec "$0" "$@"',
                process.execPath, '--test', fileURLToPath(import.meta.url)],
            { env: { ...env, [INSIDE]: '1' }, stdio: ['ignore', 'pipe', 'pipe'] });
            let report = '';
            inner.stdout.on('data', (chunk) => {
                report += chunk;
                process.stderr.write(chunk);
            });
            inner.stderr.pipe(process.stderr);
            const timer = setTimeout(() => inner.kill('SIGKILL'), INNER_RUN_MS);
            const [code] = await new Promise((resolve) => inner.once('exit', (...result) => resolve(result)));
            clearTimeout(timer);
            assert.equal(code, 0, 'the test inside the namespace failed (its output is above)');
            assert.match(report, /^# pass [1-9]/m, 'the test inside the namespace ran nothing');
        });
    });
} else {
    describe('Browser viewer and the real app', () => {
        const children = [];
        let home;
        let display;
        let browser;

        /** A child process that is ended with the suite; its stderr kept for a failure's message. */
        function start(program, args, env) {
            const child = spawn(program, args, { env, stdio: ['ignore', 'ignore', 'pipe'] });
            child.errors = '';
            child.stderr.on('data', (chunk) => { child.errors = (child.errors + chunk).slice(-4000); });
            children.push(child);
            return child;
        }

        /** An Xvfb on a display number it picks itself, resolved with ":N" once it accepts clients. */
        function startXvfb() {
            const xvfb = spawn('Xvfb', ['-displayfd', '3', '-screen', '0', `${SCREEN.width}x${SCREEN.height}x24`, '-nolisten', 'tcp'],
                { stdio: ['ignore', 'ignore', 'ignore', 'pipe'] });
            children.push(xvfb);
            return new Promise((resolve, reject) => {
                let text = '';
                xvfb.stdio[3].on('data', (chunk) => {
                    text += chunk;
                    if (text.endsWith('\n')) resolve(`:${text.trim()}`);
                });
                xvfb.once('exit', (code) => reject(new Error(`Xvfb exited with ${code}`)));
            });
        }

        /** What the app stored: its ID and password, once it has made them. */
        function storedCodes() {
            const file = path.join(home, '.config', 'KivrenRemote', 'KivrenRemote.conf');
            const text = fs.existsSync(file) ? fs.readFileSync(file, 'utf8') : '';
            const id = /^kivren\.id=(\d{9})$/m.exec(text)?.[1];
            const password = /^kivren\.password=(\S+)$/m.exec(text)?.[1];
            return id !== undefined && password !== undefined && { id, password };
        }

        async function lookup(id) {
            try {
                const response = await fetch(`http://127.0.0.1:${SWITCHBOARD_PORT}/v1/lookup`, {
                    method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify({ id }),
                });
                return await response.json();
            } catch {
                return {};
            }
        }

        const clicks = () => (fs.existsSync(path.join(home, 'clicks.log')) ? fs.readFileSync(path.join(home, 'clicks.log'), 'utf8') : '');

        before(async () => {
            home = fs.mkdtempSync(path.join(os.tmpdir(), 'kivren-real-host-'));
            display = await startXvfb();
            browser = await launchChromium();
        });
        after(async () => {
            await browser?.close();
            for (const child of children.reverse()) {
                if (child.exitCode !== null || child.signalCode !== null) continue;
                const exited = new Promise((resolve) => child.once('exit', resolve));
                child.kill('SIGTERM');
                await exited;
            }
            fs.rmSync(home, { recursive: true, force: true });
        });

        it('RealHost.EncryptedSession_ShowsTheScreen_ClickLandsThere_NothingInTheClear', { timeout: INNER_RUN_MS - 20_000 }, async () => {
            const { WAYLAND_DISPLAY: _wayland, XDG_SESSION_TYPE: _session, KIVREN_PORT: _port, ...inherited } = process.env;
            const env = {
                ...inherited, DISPLAY: display, HOME: home, XDG_CONFIG_HOME: path.join(home, '.config'),
                QT_QPA_PLATFORM: 'xcb', ASAN_OPTIONS: 'detect_leaks=0',
            };
            const app = start(APP, [], env);
            // The app's window comes up first; the pattern window then covers the whole display.
            await waitUntil(() => spawnSync('xdotool', ['search', '--onlyvisible', '--class', 'KivrenRemote'], { env }).status === 0,
                { timeoutMs: 30_000, what: `the app's window (${app.errors})` });
            start(PATTERN_WINDOW, [path.join(home, 'clicks.log')], env);
            await waitUntil(() => clicks().includes('ready'), { what: 'the pattern window' });

            const codes = await waitUntil(storedCodes, { timeoutMs: 20_000, what: 'the app\'s ID and password' });
            await waitUntil(async () => (await lookup(codes.id)).online === true,
                { timeoutMs: 30_000, what: `the app registered with its switchboard (${app.errors})` });

            const context = await browser.newContext({ viewport: { width: 1000, height: 700 } });
            const page = await openPage(context, SWITCHBOARD_PORT);
            const wire = recordWire(page);
            await connect(page, codes.id, codes.password);
            await waitUntilLive(page);
            assert.equal(await page.locator('#remote-encryption').textContent(), '\u{1F512} Encrypted');
            const rect = await pictureRect(page, SCREEN.width, SCREEN.height);
            await waitUntil(async () => {
                for (const [fx, fy, colour] of QUADRANTS) {
                    if (!near(await canvasPixel(page, pointAt(rect, fx, fy)), colour)) return false;
                }
                return true;
            }, { timeoutMs: 30_000, what: 'the host\'s pattern on the canvas' });

            // A click three tenths across and six tenths down the picture lands there on the host.
            const at = pointAt(rect, 0.3, 0.6);
            await page.mouse.click(at.x, at.y);
            const press = await waitUntil(() => /^press 1 (\d+) (\d+)$/m.exec(clicks()), { timeoutMs: 15_000, what: 'the click on the host' });
            assert.ok(Math.abs(Number(press[1]) - 0.3 * SCREEN.width) <= 3, `the click landed at x ${press[1]}`);
            assert.ok(Math.abs(Number(press[2]) - 0.6 * SCREEN.height) <= 3, `the click landed at y ${press[2]}`);

            // Typed text reaches the host sealed: the page's last pushes are out before it is read.
            const sentBefore = wire.sent.length;
            await page.locator('#keys').focus();
            await page.keyboard.type(TYPED);
            await waitUntil(() => wire.sent.slice(sentBefore).some(({ kind, answered }) => kind === 'sealed-json' && answered),
                { what: 'the typed text pushed, sealed' });
            assert.deepEqual(page.errors, []);
            await page.getByRole('button', { name: 'End' }).click();
            await context.close();
            assertNothingInTheClear(wire, codes.password);
        });
    });
}
