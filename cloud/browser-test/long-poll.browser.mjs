// The browser viewer with a switchboard that holds polls: the page's polls are held and follow
// one another without a pause, a frozen host is reported within 5 s over its greyed picture and
// comes back by itself, and a switchboard started again is reconnected to without showing the
// picture of the session before.

import assert from 'node:assert/strict';
import { after, before, describe, it } from 'node:test';
import { ScriptedHost, launchChromium, quadrantJpeg, startSwitchboard, waitUntil } from './harness.mjs';
import { canvasPixel, connect, near, openPage, pictureRect, pointAt, remoteStatus, waitUntilLive } from './page-driver.mjs';

const PICTURE = { width: 640, height: 360 };
const QUADRANTS = ['#ff0000', '#00ff00', '#0000ff', '#ffffff'];
const YELLOW = Array(4).fill('#ffff00');
const BACKGROUND = '#0b0c0e';
const DESKTOP = { viewport: { width: 1000, height: 700 } };
const CONNECTED = 'Connected \u00B7 Relay';
const NOT_ANSWERING = 'The other computer is not answering';
const RECONNECTING = 'Reconnecting\u2026';
// The bound for saying that the other side stopped answering.
const TELL_WITHIN_MS = 5000;

const formattedId = (id) => id.replace(/(\d{3})(?=\d)/g, '$1-');
const greyed = (page) => page.locator('#picture').evaluate((canvas) => canvas.classList.contains('stale'));

describe('Browser viewer with long polls', () => {
    let browser;
    let picture;
    let yellow;
    before(async () => {
        browser = await launchChromium();
        [picture, yellow] = await Promise.all([
            quadrantJpeg(browser, PICTURE.width, PICTURE.height, QUADRANTS),
            quadrantJpeg(browser, PICTURE.width, PICTURE.height, YELLOW)]);
    });
    after(async () => { await browser?.close(); });

    /** A switchboard, a host on it showing `shown`, and a page connected to it, its picture drawn. */
    async function session(shown, boardEnv = {}) {
        const board = await startSwitchboard(boardEnv);
        const host = await new ScriptedHost(board).start();
        host.show(shown);
        const context = await browser.newContext(DESKTOP);
        const page = await openPage(context, board.port);
        const polls = [];
        page.on('request', (request) => {
            if (request.url().endsWith('/v1/poll')) polls.push({ at: Date.now(), body: JSON.parse(request.postData()) });
        });
        await connect(page, formattedId(host.id), host.password);
        await waitUntilLive(page);
        const rect = await pictureRect(page, PICTURE.width, PICTURE.height);
        const colourAt = (fx, fy) => canvasPixel(page, pointAt(rect, fx, fy));
        return { board, host, context, page, polls, colourAt };
    }

    it('LongPoll.SwitchboardNamesMaxWait_PollsHeldAndAPictureShownAsItArrives', async () => {
        const { board, host, context, page, polls, colourAt } = await session(picture);
        try {
            await waitUntil(async () => near(await colourAt(0.25, 0.25), QUADRANTS[0]), { what: 'the first picture' });
            // A still screen: one held poll at a time, where a 90 ms pause would make about 20 a second.
            const counted = polls.length;
            await waitUntil(() => Date.now() - polls.at(-1).at > 2000, { what: 'two still seconds' });
            assert.ok(polls.length - counted <= 1, `${polls.length - counted} polls in two still seconds`);
            assert.ok(polls.every((poll) => poll.body.waitMs === 25_000), JSON.stringify(polls.map((poll) => poll.body)));
            // The held poll takes the next picture as soon as the host pushes it.
            const pushedAt = Date.now();
            host.show(yellow);
            await waitUntil(async () => near(await colourAt(0.25, 0.25), '#ffff00'), { what: 'the changed picture' });
            assert.ok(Date.now() - pushedAt < 1000, `the changed picture after ${Date.now() - pushedAt} ms`);
            assert.equal(await remoteStatus(page), CONNECTED);
            assert.deepEqual(page.errors, []);
        } finally {
            await host.stop();
            await context.close();
            await board.stop();
        }
    });

    it('NotAnswering.HostFrozen_SaidWithinFiveSecondsOverTheGreyedPictureThenBack', async (t) => {
        const { board, host, context, page, colourAt } = await session(picture);
        try {
            await waitUntil(async () => near(await colourAt(0.25, 0.25), QUADRANTS[0]), { what: 'the first picture' });
            await host.stop();
            const frozenAt = Date.now();
            await waitUntil(async () => (await remoteStatus(page)) === NOT_ANSWERING, { what: 'the not-answering status' });
            const toldAfterMs = Date.now() - frozenAt;
            t.diagnostic(`told after ${toldAfterMs} ms`);
            assert.ok(toldAfterMs <= TELL_WITHIN_MS, `told after ${toldAfterMs} ms`);
            // The last picture stays, greyed.
            assert.equal(await greyed(page), true);
            assert.ok(near(await colourAt(0.25, 0.25), QUADRANTS[0]), 'the last picture kept');
            assert.equal(await page.locator('#remote').isVisible(), true);

            // The host goes on: the page says so at once, and its pictures come through again.
            host.resume();
            const resumedAt = Date.now();
            await waitUntil(async () => (await remoteStatus(page)) === CONNECTED, { timeoutMs: 2000, what: 'the host back' });
            t.diagnostic(`back after ${Date.now() - resumedAt} ms`);
            assert.equal(await greyed(page), false);
            host.show(yellow);
            await waitUntil(async () => near(await colourAt(0.25, 0.25), '#ffff00'), { what: 'a picture after the thaw' });
            assert.deepEqual(page.errors, []);
        } finally {
            await host.stop();
            await context.close();
            await board.stop();
        }
    });

    it('Reconnect.SwitchboardStartedAgain_ReconnectingThenANewSessionWithoutTheOldPicture', async (t) => {
        const first = await session(picture);
        const { context, page, colourAt } = first;
        let board = first.board;
        let host = first.host;
        try {
            await waitUntil(async () => near(await colourAt(0.25, 0.25), QUADRANTS[0]), { what: 'the first picture' });
            const { port } = board;
            await host.stop();
            await board.stop();
            await waitUntil(async () => (await remoteStatus(page)) === RECONNECTING, { what: 'the reconnecting status' });
            assert.equal(await greyed(page), true);
            assert.equal(await page.locator('#remote').isVisible(), true);

            // The switchboard is back where it was, knowing nothing of the session; the host
            // registers again and has no picture yet.
            board = await startSwitchboard({ KIVREN_PORT: String(port) });
            host = await new ScriptedHost(board).start();
            const startedAt = Date.now();
            await waitUntil(() => host.sessions === 1, { what: 'the new session' });
            t.diagnostic(`a new session ${Date.now() - startedAt} ms after the switchboard was back`);
            await waitUntil(async () => (await remoteStatus(page)) === CONNECTED, { what: 'connected again' });
            assert.equal(await greyed(page), false);
            // Nothing of the session before shows in the new one.
            assert.ok(near(await colourAt(0.25, 0.25), BACKGROUND, 2), `no old picture: ${await colourAt(0.25, 0.25)}`);
            assert.equal(await page.locator('#waiting').isVisible(), true);
            host.show(yellow);
            await waitUntil(async () => near(await colourAt(0.25, 0.25), '#ffff00'), { what: "the new session's picture" });
            // The browser logs the failed polls; the page itself throws nothing.
            assert.deepEqual(page.errors.filter((error) => !error.startsWith('Failed to load resource')), []);
        } finally {
            await host.stop();
            await context.close();
            await board.stop();
        }
    });
});
