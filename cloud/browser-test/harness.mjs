// What the browser suites share: Debian's Chromium driven by playwright-core (nothing downloads a
// browser), a scripted host that registers on a real switchboard and plays its side of a session,
// and pictures with known colours made by the browser itself. Holds no tests of its own; the
// benchmark and the screenshot script use it too.

import { chromium } from 'playwright-core';
import { HOST_ID, HOST_TOKEN, PASSWORD, decode, sleep } from '../test/harness.mjs';

export { HOST_ID, PASSWORD, sleep, startSwitchboard } from '../test/harness.mjs';

export const CHROMIUM = process.env.KIVREN_CHROMIUM ?? '/usr/bin/chromium';

// The machine's network is closed: everything Chromium would fetch by itself (updates, sync,
// QUIC probes, first-run pages) is turned off, so it never waits on a connection that cannot be
// made. Playwright gives every launch a fresh, empty profile folder of its own. No sandbox: the
// tests run as root.
export const CHROMIUM_FLAGS = Object.freeze([
    '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync',
]);

export function launchChromium() {
    return chromium.launch({
        executablePath: CHROMIUM,
        headless: true,
        chromiumSandbox: false,
        args: [...CHROMIUM_FLAGS],
        timeout: 60_000,
    });
}

/** Polls `check` until it returns something truthy, which it resolves with; fails after `timeoutMs`. */
export async function waitUntil(check, { timeoutMs = 10_000, what = 'the condition' } = {}) {
    const deadline = Date.now() + timeoutMs;
    for (;;) {
        const value = await check();
        if (value) return value;
        if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
        await sleep(20);
    }
}

/**
 * A JPEG drawn by the browser, as base64: `width` x `height` pixels in four quadrants of the given
 * CSS colours (top-left, top-right, bottom-left, bottom-right).
 */
export async function quadrantJpeg(browser, width, height, colours, quality = 0.95) {
    const page = await browser.newPage();
    try {
        const url = await page.evaluate(({ width, height, colours, quality }) => {
            const canvas = document.createElement('canvas');
            canvas.width = width;
            canvas.height = height;
            const context = canvas.getContext('2d');
            const halfW = width / 2;
            const halfH = height / 2;
            [[0, 0], [halfW, 0], [0, halfH], [halfW, halfH]].forEach(([x, y], i) => {
                context.fillStyle = colours[i];
                context.fillRect(x, y, halfW, halfH);
            });
            return canvas.toDataURL('image/jpeg', quality);
        }, { width, height, colours, quality });
        return url.slice(url.indexOf(',') + 1);
    } finally {
        await page.close();
    }
}

/**
 * A desktop-like JPEG of `width` x `height` drawn in `page` (gradient, windows with text), as
 * base64: what a host's capture looks like, for the benchmark and the screenshots.
 */
export function desktopSceneJpeg(page, width, height, quality = 0.8) {
    return page.evaluate(({ width, height, quality }) => {
        const canvas = document.createElement('canvas');
        canvas.width = width;
        canvas.height = height;
        const c = canvas.getContext('2d');
        const sky = c.createLinearGradient(0, 0, width, height);
        sky.addColorStop(0, '#1d3b5a');
        sky.addColorStop(1, '#6a3d5c');
        c.fillStyle = sky;
        c.fillRect(0, 0, width, height);
        let seed = 7;
        const random = () => { seed = (seed * 16807) % 2147483647; return seed / 2147483647; };
        const titles = ['Notes', 'Terminal', 'Reports', 'Mail', 'Files'];
        const unit = height / 1080;
        for (let w = 0; w < titles.length; w += 1) {
            const ww = width * (0.26 + random() * 0.2);
            const wh = height * (0.3 + random() * 0.25);
            const x = width * 0.04 + random() * (width * 0.92 - ww);
            const y = height * 0.05 + random() * (height * 0.85 - wh);
            const dark = titles[w] === 'Terminal';
            c.fillStyle = 'rgba(0, 0, 0, 0.25)';
            c.fillRect(x + 6 * unit, y + 8 * unit, ww, wh);
            c.fillStyle = dark ? '#16181c' : '#f4f4f6';
            c.fillRect(x, y, ww, wh);
            c.save();
            c.beginPath();
            c.rect(x, y, ww - 10 * unit, wh);
            c.clip();
            c.fillStyle = dark ? '#2a2d33' : '#d8d9de';
            c.fillRect(x, y, ww, 30 * unit);
            c.fillStyle = dark ? '#e6e6e6' : '#30323a';
            c.font = `600 ${15 * unit}px sans-serif`;
            c.fillText(titles[w], x + 12 * unit, y + 20 * unit);
            c.fillStyle = dark ? '#7ee0a8' : '#2b2d33';
            c.font = `${14 * unit}px ${dark ? 'monospace' : 'sans-serif'}`;
            const text = dark ? '$ make test   100% tests passed, 0 failed ' : 'The quick brown fox jumps over the lazy dog. ';
            for (let line = 0; line * 20 * unit + 56 * unit < wh; line += 1) {
                c.fillText(text.repeat(4).slice(line % 7, line % 7 + Math.floor(ww / (6 * unit))), x + 12 * unit, y + (56 + line * 20) * unit);
            }
            c.restore();
        }
        c.fillStyle = 'rgba(12, 13, 16, 0.92)';
        c.fillRect(0, height - 44 * unit, width, 44 * unit);
        c.fillStyle = '#e8eaee';
        c.font = `${15 * unit}px sans-serif`;
        c.fillText('09:41', width - 70 * unit, height - 16 * unit);
        const url = canvas.toDataURL('image/jpeg', quality);
        return url.slice(url.indexOf(',') + 1);
    }, { width, height, quality });
}

/**
 * A tiles frame's payload, as base64: the picture's `width` and `height`, then each tile's x, y,
 * and JPEG (base64, or raw bytes as a Buffer), every number big-endian.
 */
export function tilesPayload(width, height, tiles) {
    const parts = [Buffer.from([width >> 8, width & 0xff, height >> 8, height & 0xff])];
    for (const { x, y, jpeg } of tiles) {
        const bytes = Buffer.isBuffer(jpeg) ? jpeg : Buffer.from(jpeg, 'base64');
        const head = Buffer.alloc(8);
        head.writeUInt16BE(x, 0);
        head.writeUInt16BE(y, 2);
        head.writeUInt32BE(bytes.length, 4);
        parts.push(head, bytes);
    }
    return Buffer.concat(parts).toString('base64');
}

const HEARTBEAT_EVERY_MS = 500;
const LOOP_PAUSE_MS = 25;

/**
 * A host that plays its side of the protocol against a real switchboard: it registers, heartbeats,
 * claims the session a viewer opens, pushes its hello and pictures, and records every message the
 * viewer sends it (decoded, in the order received). `features` go into its hello.
 */
export class ScriptedHost {
    constructor(board, { id = HOST_ID, password = PASSWORD, name = 'Test PC', width = 1600, height = 900, features = [] } = {}) {
        Object.assign(this, { board, id, password, name, width, height, features });
        this.messages = [];
        this.session = null;
        this.sessions = 0;
        this.closed = false;
        this.picture = null;
        this.pushedPicture = null;
        this.running = false;
    }

    async start() {
        await this.board.expectOk('register', { id: this.id, name: this.name, platform: 'macos', password: this.password, hostToken: HOST_TOKEN, unattended: true });
        await this.#beat();
        this.running = true;
        // A switchboard stopped under it ends the loop; the test that stopped it expects that.
        this.loop = this.#run().catch((failure) => { this.failure = failure; });
        return this;
    }

    async stop() {
        this.running = false;
        await this.loop;
    }

    /** Goes on after `stop`, in the session it had, as a computer does that was frozen and thawed. */
    resume() {
        this.running = true;
        this.loop = this.#run().catch((failure) => { this.failure = failure; });
    }

    /** The picture (base64 JPEG) the host shows from now on; pushed on its next pass. */
    show(picture) {
        this.picture = picture;
    }

    /** The viewer's messages so far, optionally only those of one type. */
    received(type) {
        return type === undefined ? this.messages : this.messages.filter((message) => message.type === type);
    }

    /** Forgets what was received so far. */
    clear() {
        this.messages = [];
    }

    async waitForMessages(count, type, timeoutMs = 10_000) {
        return waitUntil(() => this.received(type).length >= count && this.received(type),
            { timeoutMs, what: `${count} ${type ?? ''} messages (have ${JSON.stringify(this.received(type))})` });
    }

    async #beat() {
        const answer = await this.board.expectOk('heartbeat', { id: this.id, hostToken: HOST_TOKEN });
        this.lastBeat = Date.now();
        return answer;
    }

    async #run() {
        while (this.running) {
            if (Date.now() - this.lastBeat >= HEARTBEAT_EVERY_MS || this.session === null) {
                const answer = await this.#beat();
                if (answer.pending !== undefined && this.session === null) await this.#claim(answer.pending);
            }
            if (this.session !== null) await this.#serve();
            await sleep(LOOP_PAUSE_MS);
        }
    }

    async #claim(pending) {
        await this.board.expectOk('claim', { sessionId: pending.sessionId, sessionToken: pending.sessionToken });
        this.session = { sessionId: pending.sessionId, token: pending.sessionToken, role: 'host' };
        this.sessions += 1;
        this.closed = false;
        this.pushedPicture = null;
        const hello = { type: 'hello', width: this.width, height: this.height, platform: 'macos' };
        if (this.features.length > 0) hello.features = this.features;
        await this.push('json', Buffer.from(JSON.stringify(hello)).toString('base64'));
    }

    async #serve() {
        if (this.picture !== null && this.picture !== this.pushedPicture) {
            await this.push('jpeg', this.picture);
            this.pushedPicture = this.picture;
        }
        const answer = await this.board.post('poll', { ...this.session, since: 0 });
        if (answer.status !== 200) {
            this.session = null;
            return;
        }
        for (const frame of answer.body.frames) {
            if (frame.kind !== 'json') continue;
            const message = decode(frame.payload);
            if (message.type === 'close') {
                this.closed = true;
                this.session = null;
                return;
            }
            this.messages.push(message);
        }
    }

    /** Pushes one frame to the viewer of the session now, as the host's loop does. */
    push(kind, payload) {
        return this.board.post('push', { ...this.session, kind, payload });
    }
}
