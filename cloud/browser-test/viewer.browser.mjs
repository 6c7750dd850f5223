// The browser viewer in real headless Chromium against a real switchboard on a free loopback port,
// with a scripted host registered on it: what a person does on a PC and on a phone, and what the
// host receives.

import assert from 'node:assert/strict';
import { after, before, describe, it } from 'node:test';
import { HOST_ID, PASSWORD, ScriptedHost, launchChromium, quadrantJpeg, sleep, startSwitchboard, tilesPayload, waitUntil } from './harness.mjs';
import { canvasPixel, connect, homeStatus, near, openPage, pictureRect, pointAt, remoteStatus, waitUntilLive } from './page-driver.mjs';

const PICTURE = { width: 640, height: 360 };
const QUADRANTS = ['#ff0000', '#00ff00', '#0000ff', '#ffffff'];
const BACKGROUND = '#0b0c0e';
const INPUT_MEMBERS = ['button', 'clickCount', 'deltaX', 'deltaY', 'kind', 'type', 'x', 'y'];
const DESKTOP = { viewport: { width: 1000, height: 700 } };
const PHONE = { viewport: { width: 390, height: 844 }, deviceScaleFactor: 3, isMobile: true, hasTouch: true };

/** The input messages received, without the members every one of them carries alike. */
const inputs = (host) => host.received('input').map(({ kind, x, y, button, clickCount, deltaY, modifiers }) =>
    ({ kind, x: Math.round(x * 100) / 100, y: Math.round(y * 100) / 100, button, clickCount, deltaY, modifiers }));

describe('Browser viewer', () => {
    let board;
    let browser;
    let picture;
    const hosts = [];
    let nextId = 200_000_001;

    before(async () => {
        [board, browser] = await Promise.all([startSwitchboard(), launchChromium()]);
        picture = await quadrantJpeg(browser, PICTURE.width, PICTURE.height, QUADRANTS);
    });
    after(async () => {
        await Promise.all(hosts.map((host) => host.stop()));
        await browser?.close();
        await board?.stop();
    });

    /** A host with an ID of its own, showing the quadrant picture. */
    async function startHost(options = {}) {
        const host = await new ScriptedHost(board, { id: String(nextId++), ...options }).start();
        host.show(picture);
        hosts.push(host);
        return host;
    }

    /** A page connected to `host`, its picture drawn; returns { page, rect } with the picture's rect. */
    async function connected(host, contextOptions = DESKTOP) {
        const context = await browser.newContext(contextOptions);
        const page = await openPage(context, board.port);
        await connect(page, host.id.replace(/(\d{3})(?=\d)/g, '$1-'), PASSWORD.toLowerCase().replace('-', ' '));
        await waitUntilLive(page);
        const rect = await pictureRect(page, PICTURE.width, PICTURE.height);
        await waitUntil(async () => near(await canvasPixel(page, pointAt(rect, 0.25, 0.25)), QUADRANTS[0]), { what: 'the picture' });
        return { page, rect, context };
    }

    it('Desktop.TypedCodes_ConnectAndShowThePictureFittedAndLetterboxed', async () => {
        const host = await startHost();
        const { page, rect, context } = await connected(host);
        assert.equal(await remoteStatus(page), 'Connected \u00B7 Relay');
        // A host that offers no encryption: the bar says so plainly.
        assert.equal(await page.locator('#remote-encryption').textContent(), 'Not encrypted');
        assert.equal(await page.locator('#waiting').isVisible(), false);
        const quadrants = [[0.25, 0.25], [0.75, 0.25], [0.25, 0.75], [0.75, 0.75]];
        for (const [i, [fx, fy]] of quadrants.entries()) {
            const pixel = await canvasPixel(page, pointAt(rect, fx, fy));
            assert.ok(near(pixel, QUADRANTS[i]), `quadrant ${i}: ${pixel}`);
        }
        // The 16:9 picture in a taller area: bands of the background above and below it.
        assert.ok(rect.y > 20, `letterboxed: ${JSON.stringify(rect)}`);
        for (const fy of [-0.05, 1.05]) {
            const pixel = await canvasPixel(page, pointAt(rect, 0.5, fy));
            assert.ok(near(pixel, BACKGROUND, 2), `band at ${fy}: ${pixel}`);
        }
        // The ID is kept for the next visit, among the recent ones with the host's name; the password nowhere.
        const stored = await page.evaluate(() => ({ ...localStorage }));
        const { 'kivren.deviceTokens': tokens, ...rest } = stored;
        assert.deepEqual(rest, { 'kivren.lastId': host.id, 'kivren.recentIds': JSON.stringify([{ id: host.id, name: 'Test PC' }]) });
        // The switchboard's device token for this ID, which is no form of the password.
        const token = JSON.parse(tokens)[host.id];
        assert.equal(typeof token, 'string');
        assert.ok(!token.toUpperCase().includes(PASSWORD.replace('-', '')), token);
        assert.deepEqual(page.errors, []);
        await context.close();
    });

    it('Tiles.ChangedAreas_ComposedOntoThePictureAndOnlyTheyRedrawn', async () => {
        const host = await startHost();
        const { page, rect, context } = await connected(host);
        assert.deepEqual(await host.waitForMessages(1, 'caps'), [{ type: 'caps', features: ['cursor', 'tiles'] }]);
        const solid = (width, height, colour) => quadrantJpeg(browser, width, height, Array(4).fill(colour));
        const quarter = { width: PICTURE.width / 2, height: PICTURE.height / 2 };
        const [yellow, magenta, white, black] = await Promise.all([
            solid(quarter.width, quarter.height, '#ffff00'), solid(quarter.width, quarter.height, '#ff00ff'),
            solid(quarter.width, quarter.height, '#ffffff'), solid(32, 32, '#000000')]);
        const colourAt = (fx, fy) => canvasPixel(page, pointAt(rect, fx, fy));
        /** The picture at the centre of each quadrant, and inside its top-left 32 pixels. */
        const shown = async () => Promise.all([[0.25, 0.25], [0.75, 0.25], [0.25, 0.75], [0.75, 0.75],
            [16 / PICTURE.width, 16 / PICTURE.height]].map(([fx, fy]) => colourAt(fx, fy)));
        const expect = async (colours, what) => {
            const pixels = await shown();
            pixels.forEach((pixel, i) => assert.ok(near(pixel, colours[i]), `${what}: point ${i} is ${pixel}, not ${colours[i]}`));
        };

        // A mark painted straight onto the canvas over the bottom-left quadrant, which no tile
        // touches: only a redraw of the whole canvas would paint over it.
        const MARK = '#00ffff';
        await page.evaluate(({ x, y, colour }) => {
            const canvas = document.getElementById('picture');
            const box = canvas.getBoundingClientRect();
            const scale = canvas.width / box.width;
            const context = canvas.getContext('2d');
            context.fillStyle = colour;
            context.fillRect((x - box.left - 10) * scale, (y - box.top - 10) * scale, 20 * scale, 20 * scale);
        }, { ...pointAt(rect, 0.25, 0.75), colour: MARK });

        // Two areas in one frame: both shown at once, the rest of the picture as it was.
        const { width, height } = PICTURE;
        assert.equal((await host.push('tiles', tilesPayload(width, height, [
            { x: 0, y: 0, jpeg: yellow }, { x: quarter.width, y: quarter.height, jpeg: magenta }]))).status, 200);
        await waitUntil(async () => near(await colourAt(0.25, 0.25), '#ffff00'), { what: 'the first tiles' });
        await expect(['#ffff00', QUADRANTS[1], MARK, '#ff00ff', '#ffff00'], 'after the tiles');

        // Frames that would tear the picture are dropped whole; the frame after them still counts.
        const notJpeg = Buffer.from('not a picture');
        const dropped = [
            ['another picture size', tilesPayload(width / 2, height / 2, [{ x: 0, y: 0, jpeg: black }])],
            ['a tile past the edge', tilesPayload(width, height, [{ x: 0, y: 0, jpeg: black }, { x: width - 16, y: 0, jpeg: black }])],
            ['a tile that does not decode', tilesPayload(width, height, [{ x: 0, y: 0, jpeg: black }, { x: 64, y: 0, jpeg: notJpeg }])],
        ];
        for (const [what, payload] of dropped) assert.equal((await host.push('tiles', payload)).status, 200, what);
        await host.push('tiles', tilesPayload(width, height, [{ x: quarter.width, y: 0, jpeg: white }]));
        await waitUntil(async () => near(await colourAt(0.75, 0.25), '#ffffff'), { what: 'the tiles after the dropped ones' });
        await expect(['#ffff00', '#ffffff', MARK, '#ff00ff', '#ffff00'], 'after the dropped frames');

        // A whole picture replaces it all.
        host.show(await quadrantJpeg(browser, width, height, [...QUADRANTS].reverse()));
        await waitUntil(async () => near(await colourAt(0.25, 0.25), QUADRANTS[3]), { what: 'the next whole picture' });
        await expect([...QUADRANTS].reverse().concat(QUADRANTS[3]), 'after a whole picture');
        assert.deepEqual(page.errors, []);
        await context.close();
    });

    it('Desktop.MouseAndWheel_ReachTheHostAtPictureFractionsInOrder', async () => {
        const host = await startHost();
        const { page, rect, context } = await connected(host);
        const at = (fx, fy) => pointAt(rect, fx, fy);

        await page.mouse.click(at(0.25, 0.75).x, at(0.25, 0.75).y);
        await page.mouse.click(at(0.75, 0.25).x, at(0.75, 0.25).y, { button: 'right' });
        await page.mouse.dblclick(at(0.5, 0.5).x, at(0.5, 0.5).y);
        // A drag that leaves the picture, into the band below it, stops at its edge.
        await page.mouse.move(at(0.2, 0.2).x, at(0.2, 0.2).y);
        await page.mouse.down();
        await page.mouse.move(at(0.6, 1.1).x, at(0.6, 1.1).y, { steps: 4 });
        await page.mouse.up();
        await page.mouse.move(at(0.5, 0.5).x, at(0.5, 0.5).y);
        await page.mouse.wheel(0, 120);
        // A wheel that counts lines: three lines, one notch, one 40-pixel step up.
        await page.locator('#area').dispatchEvent('wheel', { deltaY: -3, deltaMode: 1, clientX: at(0.5, 0.5).x, clientY: at(0.5, 0.5).y });

        const received = await waitUntil(() => {
            const all = inputs(host);
            return all.filter((input) => input.kind === 'wheel').reduce((sum, input) => sum + input.deltaY, 0) === -80 && all;
        }, { what: 'the wheel' });
        for (const message of host.received('input')) assert.deepEqual(Object.keys(message).sort(), INPUT_MEMBERS);
        const click = (x, y, button, clickCount) => [
            { kind: 'down', x, y, button, clickCount, deltaY: 0, modifiers: undefined },
            { kind: 'up', x, y, button, clickCount, deltaY: 0, modifiers: undefined },
        ];
        assert.deepEqual(received.slice(0, 8), [
            ...click(0.25, 0.75, 0, 1), ...click(0.75, 0.25, 1, 1), ...click(0.5, 0.5, 0, 1), ...click(0.5, 0.5, 0, 2),
        ]);
        const drag = received.slice(8, received.findIndex((input) => input.kind === 'wheel'));
        assert.deepEqual(drag[0], { kind: 'down', x: 0.2, y: 0.2, button: 0, clickCount: 1, deltaY: 0, modifiers: undefined });
        assert.ok(drag.slice(1, -1).every((input) => input.kind === 'move' && input.button === 0), JSON.stringify(drag));
        assert.deepEqual(drag.at(-1), { kind: 'up', x: 0.6, y: 1, button: 0, clickCount: 1, deltaY: 0, modifiers: undefined });
        // Two wheel events may be merged into one while a push is in flight; the pixels add up either way.
        const wheels = received.filter((input) => input.kind === 'wheel').map((input) => input.deltaY);
        assert.ok(JSON.stringify(wheels) === '[-120,40]' || JSON.stringify(wheels) === '[-80]', JSON.stringify(wheels));
        await context.close();
    });

    it('Desktop.HoverAndHostPointer_MovesPacedToAHostThatNamesHoverAndItsPointerDrawn', async () => {
        const host = await startHost({ features: ['hover'] });
        const { page, rect, context } = await connected(host);
        const at = (fx, fy) => pointAt(rect, fx, fy);
        await host.waitForMessages(1, 'caps');

        // Hovering, no button held: moves, the newest position last.
        await page.mouse.move(at(0.1, 0.1).x, at(0.1, 0.1).y);
        await page.mouse.move(at(0.7, 0.4).x, at(0.7, 0.4).y, { steps: 5 });
        const moves = await waitUntil(() => {
            const all = inputs(host);
            const last = all.at(-1);
            return last !== undefined && last.kind === 'move' && last.x === 0.7 && last.y === 0.4 && all;
        }, { what: 'the last hover move' });
        assert.ok(moves.every((input) => input.kind === 'move' && input.button === 0), JSON.stringify(moves));
        // A burst of 30 moves within one task: one goes at once (or none, if one just went), the
        // newest once the pacing allows, nothing in between.
        await sleep(100);
        const before = inputs(host).length;
        await page.evaluate(({ from, to }) => {
            const canvas = document.getElementById('picture');
            for (let i = 1; i <= 30; i += 1) {
                const x = from.x + ((to.x - from.x) * i) / 30;
                canvas.dispatchEvent(new MouseEvent('mousemove', { clientX: x, clientY: from.y, bubbles: true }));
            }
        }, { from: at(0.2, 0.6), to: at(0.8, 0.6) });
        const burst = await waitUntil(() => {
            const sent = inputs(host).slice(before);
            return sent.at(-1)?.x === 0.8 && sent;
        }, { what: 'the burst\'s newest move' });
        await sleep(100);
        assert.deepEqual(inputs(host).slice(before), burst, 'nothing after the newest');
        assert.ok(burst.length <= 2, JSON.stringify(burst));

        // The host's pointer: a 20 x 20 magenta shape with its tip at (4, 6), at the display's middle.
        const png = await page.evaluate(() => {
            const canvas = document.createElement('canvas');
            canvas.width = 20;
            canvas.height = 20;
            const context = canvas.getContext('2d');
            context.fillStyle = '#ff00ff';
            context.fillRect(0, 0, 20, 20);
            const url = canvas.toDataURL('image/png');
            return url.slice(url.indexOf(',') + 1);
        });
        const cursor = { type: 'cursor', x: 0.5, y: 0.5, png, hotX: 4, hotY: 6 };
        await host.push('json', Buffer.from(JSON.stringify(cursor)).toString('base64'));
        // Drawn scaled as the picture shows the host's 1600-pixel-wide display.
        const scale = rect.width / 1600;
        const box = await waitUntil(async () => {
            const shown = await page.locator('#remote-pointer').isVisible();
            return shown && page.locator('#remote-pointer').boundingBox();
        }, { what: 'the host pointer' });
        assert.ok(Math.abs(box.x - (rect.x + rect.width / 2 - 4 * scale)) < 1.5, JSON.stringify(box));
        assert.ok(Math.abs(box.y - (rect.y + rect.height / 2 - 6 * scale)) < 1.5, JSON.stringify(box));
        assert.ok(Math.abs(box.width - 20 * scale) < 1.5, JSON.stringify(box));
        const drawn = await waitUntil(() => page.evaluate(() => {
            const data = document.getElementById('remote-pointer').getContext('2d').getImageData(10, 10, 1, 1).data;
            return data[3] > 0 && [...data];
        }), { what: 'the shape drawn' });
        assert.ok(near(drawn, '#ff00ff'), JSON.stringify(drawn));
        // A move alone keeps the shape.
        await host.push('json', Buffer.from(JSON.stringify({ type: 'cursor', x: 0.25, y: 0.5 })).toString('base64'));
        await waitUntil(async () => {
            const moved = await page.locator('#remote-pointer').boundingBox();
            return Math.abs(moved.x - (rect.x + rect.width / 4 - 4 * scale)) < 1.5;
        }, { what: 'the host pointer moved' });
        await context.close();
    });

    it('Desktop.Keyboard_TextAndKeysAlwaysShortcutsOnlyToAHostThatNamesThem', async () => {
        const cases = [
            // [host features, what Ctrl+A, Shift+Tab, F5 and a Ctrl+click send]
            [[], []],
            [['modifiers', 'keys'], [
                { type: 'key', codeName: '', key: 'a', down: true, modifiers: ['control'] },
                { type: 'key', codeName: '', key: 'a', down: false, modifiers: ['control'] },
                { type: 'key', codeName: 'tab', key: '', down: true, modifiers: ['shift'] },
                { type: 'key', codeName: 'tab', key: '', down: false, modifiers: ['shift'] },
                { type: 'key', codeName: 'f5', key: '', down: true },
                { type: 'key', codeName: 'f5', key: '', down: false },
            ]],
        ];
        for (const [features, shortcuts] of cases) {
            const host = await startHost({ features });
            const { page, rect, context } = await connected(host);
            await page.keyboard.type('Hi 😀');
            await page.keyboard.press('Enter');
            await page.keyboard.press('Control+A');
            await page.keyboard.press('Shift+Tab');
            await page.keyboard.press('F5');
            await page.keyboard.press('Backspace');
            await page.keyboard.down('Control');
            await page.mouse.click(pointAt(rect, 0.5, 0.5).x, pointAt(rect, 0.5, 0.5).y);
            await page.keyboard.up('Control');

            const what = JSON.stringify(features);
            await host.waitForMessages(2, 'input');
            const keys = host.received().filter((message) => message.type !== 'input');
            const text = keys.filter((message) => message.type === 'text').map((message) => message.key).join('');
            assert.equal(text, 'Hi 😀', what);
            const enter = { codeName: 'enter', key: '', type: 'key' };
            const backspace = { codeName: 'backspace', key: '', type: 'key' };
            assert.deepEqual(keys.filter((message) => message.type === 'key'), [
                { ...enter, down: true }, { ...enter, down: false }, ...shortcuts,
                { ...backspace, down: true }, { ...backspace, down: false },
            ], what);
            // A Ctrl+click is a plain click to a host that does not take modifiers.
            const modifiers = host.received('input').map((message) => message.modifiers);
            assert.deepEqual(modifiers, features.length === 0 ? [undefined, undefined] : [['control'], ['control']], what);
            await context.close();
        }
    });

    it('Connect.BadInputAndRefusals_ShowTheAppsStatusTexts', async () => {
        const host = await startHost();
        const offlineId = String(nextId++);
        await board.expectOk('register', { id: offlineId, name: 'Asleep', platform: 'macos', password: PASSWORD, hostToken: 'b'.repeat(48), unattended: true });
        const context = await browser.newContext(DESKTOP);
        const page = await openPage(context, board.port);
        const cases = [
            // [ID, password, status, shown as a failure]
            ['12345678', PASSWORD, 'Enter a 9-digit ID', false],
            [host.id, 'ABC', 'Enter the 8-character password', false],
            ['999 999 999', PASSWORD, 'Unknown ID', true],
            [offlineId, PASSWORD, 'That PC is offline', true],
            [host.id, 'ZZZZ-ZZZZ', 'Wrong password', true],
        ];
        for (const [id, password, status, failed] of cases) {
            await page.locator('#status').evaluate((element) => { element.textContent = ''; });
            await connect(page, id, password);
            await waitUntil(async () => (await homeStatus(page)) === status, { what: `"${status}" for ${id} ${password}` });
            assert.equal(await page.locator('#status').evaluate((element) => element.classList.contains('failed')), failed, status);
        }
        // A proxy's refusal without a readable text shows its status.
        await page.route('**/v1/lookup', (route) => route.fulfill({ status: 502, contentType: 'text/html', body: '<h1>Bad gateway</h1>' }));
        await connect(page, host.id, PASSWORD);
        await waitUntil(async () => (await homeStatus(page)) === 'HTTP 502', { what: 'HTTP 502' });
        assert.equal(host.sessions, 0, 'no session was opened');
        await context.close();
    });

    it('Session.EndAndLeavingThePage_CloseIt', async () => {
        const host = await startHost();
        const { page, context } = await connected(host);
        await page.getByRole('button', { name: 'End' }).click();
        await waitUntil(() => host.closed, { what: 'the close after End' });
        assert.equal(await homeStatus(page), 'Disconnected');
        assert.equal(await page.locator('#home').isVisible(), true);

        // The ID was kept; the password is typed again.
        await page.reload();
        assert.equal(await page.getByLabel('ID', { exact: true }).inputValue(), host.id.replace(/(\d{3})(?=\d)/g, '$1 '));
        await connect(page, host.id, PASSWORD);
        await waitUntilLive(page);
        await waitUntil(() => host.sessions === 2 && !host.closed, { what: 'the second session' });
        await page.goto('about:blank');
        await waitUntil(() => host.closed, { what: 'the close as the page went away' });
        await context.close();
    });

    it('Session.SwitchboardGone_ReconnectingForAMinuteThenEndsWithItsDescription', async () => {
        const own = await startSwitchboard();
        const host = await new ScriptedHost(own).start();
        host.show(picture);
        const context = await browser.newContext(DESKTOP);
        try {
            const page = await openPage(context, own.port);
            await connect(page, HOST_ID, PASSWORD);
            await waitUntilLive(page);
            await own.stop();
            const goneAt = Date.now();
            await waitUntil(async () => (await remoteStatus(page)) === 'Reconnecting\u2026', { what: 'the reconnecting status' });
            assert.equal(await page.locator('#picture').evaluate((canvas) => canvas.classList.contains('stale')), true);
            await waitUntil(async () => page.locator('#home').isVisible(), { timeoutMs: 90_000, what: 'the home screen once the retries are over' });
            assert.ok(Date.now() - goneAt >= 59_000, `gave up after ${Date.now() - goneAt} ms`);
            assert.match(await homeStatus(page), /^(Could not connect to the server\.|The network connection was lost\.)$/);
            assert.equal(await page.locator('#status').evaluate((element) => element.classList.contains('failed')), true);
        } finally {
            await host.stop();
            await context.close();
        }
    });

    it('Phone.Touch_TapDragTwoFingerScrollLongPressAndLocalPinch', async () => {
        const host = await startHost();
        const { page, rect, context } = await connected(host, PHONE);
        const at = (fx, fy) => pointAt(rect, fx, fy);
        const cdp = await context.newCDPSession(page);
        const touch = (type, points) => cdp.send('Input.dispatchTouchEvent', {
            type, touchPoints: points.map(({ x, y }, id) => ({ x, y, id })),
        });
        /** Fingers from `from` to `to` (lists of points, one per finger) in a few steps. */
        async function glide(from, to, steps = 6) {
            await touch('touchStart', from);
            for (let step = 1; step <= steps; step += 1) {
                await touch('touchMove', from.map((p, i) => ({ x: p.x + (to[i].x - p.x) * step / steps, y: p.y + (to[i].y - p.y) * step / steps })));
            }
            await touch('touchEnd', []);
        }

        await page.touchscreen.tap(at(0.25, 0.25).x, at(0.25, 0.25).y);
        await sleep(500);
        await glide([at(0.2, 0.5)], [at(0.8, 0.5)]);
        await glide([at(0.4, 0.3), at(0.6, 0.3)], [at(0.4, 0.7), at(0.6, 0.7)]);
        await touch('touchStart', [at(0.75, 0.75)]);
        await sleep(900);
        await touch('touchEnd', []);

        const received = await waitUntil(() => {
            const all = inputs(host);
            return all.filter((input) => input.button === 1).length === 2 && all;
        }, { what: 'the long press' });
        assert.deepEqual(received.slice(0, 2).map(({ kind, x, y, button }) => ({ kind, x, y, button })), [
            { kind: 'down', x: 0.25, y: 0.25, button: 0 }, { kind: 'up', x: 0.25, y: 0.25, button: 0 },
        ]);
        const drag = received.slice(2, received.findIndex((input) => input.kind === 'wheel'));
        assert.deepEqual([drag[0].kind, drag[0].x, drag.at(-1).kind, drag.at(-1).x], ['down', 0.2, 'up', 0.8]);
        assert.ok(drag.slice(1, -1).length > 0 && drag.slice(1, -1).every((input) => input.kind === 'move'), JSON.stringify(drag));
        // Fingers moving down scroll up: positive pixels, about the host's share of the distance.
        const wheels = received.filter((input) => input.kind === 'wheel');
        const scrolled = wheels.reduce((sum, input) => sum + input.deltaY, 0);
        assert.ok(scrolled > 0.3 * host.height && scrolled < 0.5 * host.height, `scrolled ${scrolled}`);
        assert.deepEqual(received.slice(-2).map(({ kind, button }) => [kind, button]), [['down', 1], ['up', 1]]);

        // Spreading two fingers zooms the picture here and sends nothing.
        const sent = host.received().length;
        const aboveBefore = await canvasPixel(page, at(0.5, -0.1));
        assert.ok(near(aboveBefore, BACKGROUND, 2), `band before the pinch: ${aboveBefore}`);
        await glide([at(0.45, 0.5), at(0.55, 0.5)], [at(0.2, 0.5), at(0.8, 0.5)]);
        await waitUntil(async () => !near(await canvasPixel(page, at(0.5, -0.1)), BACKGROUND, 2), { what: 'the zoomed picture' });

        // The keyboard button raises the on-screen keyboard; what it types goes out as text.
        await page.getByRole('button', { name: 'Keyboard' }).tap();
        assert.equal(await page.evaluate(() => document.activeElement?.id), 'keys');
        await page.keyboard.insertText('ok');
        await waitUntil(() => host.received('text').map((message) => message.key).join('') === 'ok', { what: 'the text' });
        // Input arrives in order, so whatever the pinch had sent would have come before the text.
        assert.deepEqual(host.received().slice(sent).map((message) => message.type), host.received('text').map(() => 'text'), 'the pinch sent nothing');
        assert.deepEqual(page.errors, []);
        await context.close();
    });
});
