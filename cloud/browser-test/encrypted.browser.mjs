// The browser page's encrypted session in real headless Chromium against a real switchboard on a
// free loopback port, with a scripted host that runs the host's side of the exchange and seals
// its frames with the same modules: the page shows "Encrypted" and the picture, its input reaches
// the host sealed, a bit flipped in a sealed frame ends the session with its reason and nothing
// of it drawn, and a wrong password ends after one exchange with "Wrong password".

import assert from 'node:assert/strict';
import { after, before, describe, it } from 'node:test';
import { KeyExchange } from '../web/key-exchange.js';
import { HOST_TOKEN } from '../test/harness.mjs';
import { PASSWORD, launchChromium, quadrantJpeg, sleep, startSwitchboard, waitUntil } from './harness.mjs';
import { canvasPixel, connect, homeStatus, near, openPage, pictureRect, pointAt, waitUntilLive } from './page-driver.mjs';

const PICTURE = { width: 640, height: 360 };
const QUADRANTS = ['#ff0000', '#00ff00', '#0000ff', '#ffffff'];
const DESKTOP = { viewport: { width: 1000, height: 700 } };
const LOOP_PAUSE_MS = 50;

const base64 = (bytes) => Buffer.from(bytes).toString('base64');
const bytesOf = (payload) => new Uint8Array(Buffer.from(payload, 'base64'));
const jsonOf = (bytes) => JSON.parse(Buffer.from(bytes).toString('utf8'));

/** A host that offers "e2e": it claims a session, runs the exchange, then seals what it sends. */
class EncryptedHost {
    constructor(board, id) {
        Object.assign(this, { board, id, session: null, channel: null, received: [], closeReason: null, running: true });
    }

    async start() {
        await this.board.expectOk('register', { id: this.id, name: 'Sealed PC', platform: 'macos', password: PASSWORD, hostToken: HOST_TOKEN, features: ['e2e'] });
        this.loop = this.#run();
        return this;
    }

    async stop() {
        this.running = false;
        await this.loop;
    }

    /** Pushes a frame of `kind` ("json", "jpeg") sealed, its payload passed through `alter` first. */
    pushSealed(kind, bytes, alter = (payload) => payload) {
        const { kind: sealed, bytes: payload } = this.channel.seal(kind, bytes);
        return this.board.post('push', { ...this.session, kind: sealed, payload: base64(alter(payload)) });
    }

    async #run() {
        let since = 0;
        while (this.running) {
            if (this.session === null) {
                const { pending } = await this.board.expectOk('heartbeat', { id: this.id, hostToken: HOST_TOKEN });
                if (pending?.e2e === true) await this.#claim(pending);
            } else {
                const answer = await this.board.post('poll', { ...this.session, since });
                if (answer.status !== 200) {
                    this.session = null;
                    continue;
                }
                since = answer.body.since ?? since;
                for (const frame of answer.body.frames) await this.#take(frame);
            }
            await sleep(LOOP_PAUSE_MS);
        }
    }

    async #claim(pending) {
        await this.board.expectOk('claim', { sessionId: pending.sessionId, sessionToken: pending.sessionToken });
        this.session = { sessionId: pending.sessionId, token: pending.sessionToken, role: 'host' };
        this.exchange = KeyExchange.forHost({ password: PASSWORD, hostId: this.id, sessionId: pending.sessionId, features: [] });
    }

    async #take(frame) {
        // The switchboard's own close, the one plain frame a host takes in an encrypted session.
        const plain = frame.kind === 'json' ? jsonOf(bytesOf(frame.payload)) : null;
        if (this.channel !== null && plain?.type === 'close') {
            this.ended = plain;
            this.session = null;
            return;
        }
        if (this.channel !== null) {
            const opened = this.channel.open(frame.kind, bytesOf(frame.payload));
            if (opened.bytes !== undefined) this.received.push(jsonOf(opened.bytes));
            return;
        }
        if (plain === null) return;
        const step = this.exchange.receive(plain);
        if (step.failure !== undefined) {
            this.closeReason = step.failure === 'wrongConfirmation' ? 'Wrong password' : 'The encrypted connection could not be set up';
            await this.board.post('close', { sessionId: this.session.sessionId, token: this.session.token, reason: this.closeReason });
            this.session = null;
            return;
        }
        if (step.reply !== undefined) await this.board.post('push', { ...this.session, kind: 'json', payload: base64(JSON.stringify(step.reply)) });
        if (step.established !== undefined) {
            this.channel = step.established.channel;
            await this.pushSealed('json', Buffer.from(JSON.stringify({ type: 'hello', width: PICTURE.width, height: PICTURE.height, platform: 'macos' })));
            await this.pushSealed('jpeg', this.picture);
        }
    }
}

describe('Browser viewer, encrypted', () => {
    let board;
    let browser;
    let picture;
    const hosts = [];
    let nextId = 300_000_001;

    before(async () => {
        [board, browser] = await Promise.all([startSwitchboard(), launchChromium()]);
        picture = bytesOf(await quadrantJpeg(browser, PICTURE.width, PICTURE.height, QUADRANTS));
    });
    after(async () => {
        await Promise.all(hosts.map((host) => host.stop()));
        await browser?.close();
        await board?.stop();
    });

    async function startHost() {
        const host = new EncryptedHost(board, String(nextId++));
        host.picture = picture;
        hosts.push(host);
        return host.start();
    }

    it('Encrypted.PictureAndInputSealed_FlippedBitEndsTheSessionWithItsReason', async () => {
        const host = await startHost();
        const context = await browser.newContext(DESKTOP);
        const page = await openPage(context, board.port);
        const closes = [];
        page.on('request', (request) => {
            if (request.url().endsWith('/v1/close')) closes.push(request.postData());
        });
        await connect(page, host.id, PASSWORD);
        await waitUntilLive(page);
        assert.equal(await page.locator('#remote-encryption').textContent(), '\u{1F512} Encrypted');
        const rect = await pictureRect(page, PICTURE.width, PICTURE.height);
        await waitUntil(async () => near(await canvasPixel(page, pointAt(rect, 0.25, 0.25)), QUADRANTS[0]), { what: 'the sealed picture drawn' });

        // The caps answering the sealed hello and a click reach the host sealed, and open there.
        await page.mouse.click(...Object.values(pointAt(rect, 0.75, 0.75)));
        await waitUntil(() => host.received.some((message) => message.type === 'input' && message.kind === 'up'), { what: 'the click at the host' });
        assert.deepEqual(host.received[0], { type: 'caps', features: ['cursor', 'tiles'] });

        // A picture with one bit flipped: the session ends (nothing of its answer is decoded).
        await host.pushSealed('jpeg', picture, (payload) => {
            payload[payload.length - 1] ^= 0x01;
            return payload;
        });
        await waitUntil(async () => (await homeStatus(page)) === 'A message of the session failed its check', { what: 'the session ended' });
        // The page's close carried the reason: the host's next poll finds its session ended.
        await waitUntil(() => host.session === null, { what: 'the host told' });
        assert.equal(host.ended.type, 'close');
        assert.deepEqual(closes.map((body) => JSON.parse(body).reason), ['A message of the session failed its check']);
        assert.deepEqual(page.errors, []);
        await context.close();
    });

    it('Encrypted.WrongPassword_EndsAfterOneExchange', async () => {
        const host = await startHost();
        const context = await browser.newContext(DESKTOP);
        const page = await openPage(context, board.port);
        await connect(page, host.id, 'WXYZ-WXYZ');
        await waitUntil(async () => (await homeStatus(page)) === 'Wrong password', { what: 'the wrong password shown' });
        assert.equal(host.closeReason, 'Wrong password');
        assert.deepEqual(host.received, []);
        await context.close();
    });
});
