// The browser viewer on a phone, in real headless Chromium with touch emulation, upright
// (390 x 844) and sideways (844 x 390), against a real switchboard and a scripted host that
// records what arrives: the gestures of Touch and Trackpad mode, panning a zoomed picture, the
// extra keys, the picture filling its area, the home screen's recent IDs and errors, and a
// session that outlives the phone's sleep or says that it ended.

import assert from 'node:assert/strict';
import { after, before, describe, it } from 'node:test';
import { PASSWORD, ScriptedHost, launchChromium, quadrantJpeg, sleep, startSwitchboard, waitUntil } from './harness.mjs';
import { canvasPixel, connect, homeStatus, near, openPage, pictureRect, pointAt, remoteStatus, waitUntilLive } from './page-driver.mjs';

const PICTURE = { width: 640, height: 360 };
const QUADRANTS = ['#ff0000', '#00ff00', '#0000ff', '#ffffff'];
const BACKGROUND = '#0b0c0e';
const PHONE = { deviceScaleFactor: 3, isMobile: true, hasTouch: true };
const UPRIGHT = { name: 'upright', viewport: { width: 390, height: 844 } };
const SIDEWAYS = { name: 'sideways', viewport: { width: 844, height: 390 } };
// A second touch this long after a tap is a gesture of its own.
const AFTER_DOUBLE_TAP_MS = 500;
// The pauses in the gestures below are the fingers' own timing (apart enough to be two taps, held
// long enough to be a long press, slow enough to be a slow finger); what the page does in answer
// is waited for as it happens.

const round = (value) => Math.round(value * 100) / 100;
/** The input messages received, with positions to two decimals. */
const inputs = (host) => host.received('input').map(({ kind, x, y, button, clickCount, deltaY }) =>
    ({ kind, x: round(x), y: round(y), button, clickCount, deltaY }));
const click = (x, y, button = 0, clickCount = 1) => [
    { kind: 'down', x, y, button, clickCount, deltaY: 0 }, { kind: 'up', x, y, button, clickCount, deltaY: 0 },
];
const keyMessages = (host) => host.received('key');
const key = (codeName, modifiers, k = '') => [true, false].map((down) => ({
    type: 'key', codeName, key: k, down, ...(modifiers === undefined ? {} : { modifiers }),
}));

describe('Browser viewer on a phone', () => {
    let board;
    let browser;
    let picture;
    const hosts = [];
    let nextId = 400_000_001;

    before(async () => {
        // Each case has a host of its own, more than one address may register by default.
        [board, browser] = await Promise.all([startSwitchboard({ KIVREN_HOST_REGISTRATION_BURST: '50' }), launchChromium()]);
        picture = await quadrantJpeg(browser, PICTURE.width, PICTURE.height, QUADRANTS);
    });
    after(async () => {
        await Promise.all(hosts.map((host) => host.stop()));
        await browser?.close();
        await board?.stop();
    });

    async function startHost(options = {}) {
        const host = await new ScriptedHost(board, { id: String(nextId++), features: ['keys', 'modifiers'], ...options }).start();
        host.show(picture);
        hosts.push(host);
        return host;
    }

    /**
     * A phone page connected to `host`, its picture drawn, with fingers to touch it: `touch(type,
     * points)` sends one touch event (one point per finger), `glide(from, to)` moves fingers
     * from points to points in steps, `at(fx, fy)` is a point of the picture as first drawn.
     */
    async function connected(host, { viewport }) {
        const context = await browser.newContext({ viewport, ...PHONE });
        const page = await openPage(context, board.port);
        await connect(page, host.id, PASSWORD);
        await waitUntilLive(page);
        const rect = await pictureRect(page, PICTURE.width, PICTURE.height);
        const at = (fx, fy) => pointAt(rect, fx, fy);
        await waitUntil(async () => near(await canvasPixel(page, at(0.25, 0.25)), QUADRANTS[0]), { what: 'the picture' });
        const cdp = await context.newCDPSession(page);
        const touch = (type, points) => cdp.send('Input.dispatchTouchEvent', {
            type, touchPoints: points.map(({ x, y }, id) => ({ x, y, id })),
        });
        async function glide(from, to, { steps = 6, pauseMs = 0 } = {}) {
            await touch('touchStart', from);
            for (let step = 1; step <= steps; step += 1) {
                if (pauseMs > 0) await sleep(pauseMs);
                await touch('touchMove', from.map((p, i) => ({ x: p.x + (to[i].x - p.x) * step / steps, y: p.y + (to[i].y - p.y) * step / steps })));
            }
            await touch('touchEnd', []);
        }
        const tap = async (point) => {
            await touch('touchStart', [point]);
            await touch('touchEnd', []);
        };
        return { page, context, rect, at, touch, glide, tap };
    }

    /** Waits until the host has `count` input messages, then returns them. */
    const receivedInputs = (host, count, what) => waitUntil(() => inputs(host).length >= count && inputs(host),
        { what: `${what} (have ${JSON.stringify(inputs(host))})` });

    /** Taps the bar's button called `name` (exactly). */
    const button = (page, name) => page.getByRole('button', { name, exact: true });

    it('Phone.TouchMode_EachGestureArrivesAsItsInput', async () => {
        for (const orientation of [UPRIGHT, SIDEWAYS]) {
            const host = await startHost();
            const { page, context, at, touch, glide, tap } = await connected(host, orientation);
            const what = orientation.name;
            assert.equal(await button(page, 'Touch').getAttribute('aria-pressed'), 'true', what);

            await tap(at(0.25, 0.25));
            await sleep(AFTER_DOUBLE_TAP_MS);
            await tap(at(0.6, 0.4));
            await tap(at(0.6, 0.4));
            await sleep(AFTER_DOUBLE_TAP_MS);
            await glide([at(0.2, 0.5)], [at(0.8, 0.5)]);
            await touch('touchStart', [at(0.75, 0.75)]);
            await sleep(900);
            await touch('touchEnd', []);
            await touch('touchStart', [at(0.4, 0.6), at(0.6, 0.6)]);
            await touch('touchEnd', []);
            await glide([at(0.4, 0.3), at(0.6, 0.3)], [at(0.4, 0.7), at(0.6, 0.7)]);

            const received = await waitUntil(() => {
                const all = inputs(host);
                return all.filter((input) => input.kind === 'wheel').reduce((sum, input) => sum + input.deltaY, 0) > 0.3 * host.height && all;
            }, { what: `${what}: the scroll (have ${JSON.stringify(inputs(host))})` });
            assert.deepEqual(received.slice(0, 6), [...click(0.25, 0.25), ...click(0.6, 0.4), ...click(0.6, 0.4, 0, 2)], what);
            const drag = received.slice(6, received.findIndex((input) => input.button === 1));
            assert.deepEqual([drag[0].kind, drag[0].x, drag.at(-1).kind, drag.at(-1).x], ['down', 0.2, 'up', 0.8], what);
            assert.ok(drag.slice(1, -1).length > 0 && drag.slice(1, -1).every((input) => input.kind === 'move'), `${what}: ${JSON.stringify(drag)}`);
            const afterDrag = received.slice(6 + drag.length);
            // A long press and a two-finger tap: the right button, where the finger or fingers were.
            assert.deepEqual(afterDrag.slice(0, 4), [...click(0.75, 0.75, 1), ...click(0.5, 0.6, 1)], what);
            // Every scroll step is aimed where the fingers started, not where they went.
            const wheels = afterDrag.slice(4);
            assert.ok(wheels.length > 0 && wheels.every((input) => input.kind === 'wheel' && input.x === 0.5 && input.y === 0.3), `${what}: ${JSON.stringify(wheels)}`);
            assert.deepEqual(page.errors, [], what);
            await context.close();
        }
    });

    it('Phone.TouchModeZoomed_OneFingerPansWithoutInputTapsLandWhereSeen', async () => {
        const host = await startHost();
        const { page, context, rect, at, glide, tap } = await connected(host, UPRIGHT);
        // Spread two fingers about the middle: three times the size, nothing sent.
        await glide([at(0.45, 0.5), at(0.55, 0.5)], [at(0.35, 0.5), at(0.65, 0.5)], { steps: 8 });
        await waitUntil(async () => !near(await canvasPixel(page, at(0.5, -0.1)), BACKGROUND, 2), { what: 'the zoomed picture' });
        const centre = at(0.5, 0.5);
        // Right of the middle and above it: the top-right quadrant until the view moves right.
        const probe = { x: centre.x + 20, y: centre.y - 20 };
        assert.ok(near(await canvasPixel(page, probe), QUADRANTS[1]), 'zoomed about the middle');
        // One finger across most of the area's width, to the right: the view moves, the host hears nothing.
        await glide([{ x: rect.x + rect.width * 0.15, y: centre.y }], [{ x: rect.x + rect.width * 0.85, y: centre.y }]);
        await waitUntil(async () => near(await canvasPixel(page, probe), QUADRANTS[0]), { what: 'the panned view' });
        // A tap lands on the part of the picture under the finger: its colour is its quadrant's.
        const points = [{ x: centre.x - 30, y: centre.y - 30 }, { x: centre.x + 30, y: centre.y + 30 }];
        for (const point of points) {
            await tap(point);
            await sleep(AFTER_DOUBLE_TAP_MS);
        }
        const taps = await receivedInputs(host, 4, 'the taps');
        // Input arrives in order, so whatever the pinch and the pan had sent would be here first.
        assert.deepEqual(host.received().slice(0, -4), [{ type: 'caps', features: ['cursor', 'tiles'] }], 'a pinch and a pan send nothing');
        for (const [i, point] of points.entries()) {
            const { x, y } = taps[2 * i];
            const quadrant = (x < 0.5 ? 0 : 1) + (y < 0.5 ? 0 : 2);
            const pixel = await canvasPixel(page, point);
            assert.ok(near(pixel, QUADRANTS[quadrant]), `tap ${i} at ${x},${y} landed in quadrant ${quadrant}, the finger saw ${pixel}`);
        }
        // A tap and then a moving finger drags even when zoomed.
        host.clear();
        await tap(centre);
        await sleep(100);
        await glide([centre], [{ x: centre.x + 60, y: centre.y }]);
        const drag = await waitUntil(() => inputs(host).filter((input) => input.kind === 'up').length === 2 && inputs(host), { what: 'the drag' });
        assert.deepEqual(drag.map((input) => input.kind), ['down', 'up', 'down', ...Array(drag.length - 4).fill('move'), 'up']);
        assert.ok(drag.at(-1).x > drag[2].x, JSON.stringify(drag));
        await context.close();
    });

    it('Phone.TrackpadMode_EachGestureArrivesAtThePointer', async () => {
        for (const orientation of [UPRIGHT, SIDEWAYS]) {
            const host = await startHost();
            const { page, context, rect, at, touch, glide, tap } = await connected(host, orientation);
            const what = orientation.name;
            await button(page, 'Trackpad').tap();
            assert.equal(await button(page, 'Trackpad').getAttribute('aria-pressed'), 'true', what);
            // The pointer is drawn, in the middle of the picture.
            const tip = async () => {
                const box = await page.locator('#pointer').boundingBox();
                return { x: round((box.x + 2 - rect.x) / rect.width), y: round((box.y + 2 - rect.y) / rect.height) };
            };
            await waitUntil(() => page.locator('#pointer').isVisible(), { what: 'the pointer' });
            assert.deepEqual(await tip(), { x: 0.5, y: 0.5 }, what);

            // A slow finger moves the pointer as far as itself, from wherever it is on the area.
            const finger = 80;
            /**
             * The host's last input once it is where the page draws the pointer: moves queued behind
             * one in flight are merged, and the last of them has arrived.
             */
            const lastMove = (which) => waitUntil(async () => {
                const last = inputs(host).at(-1);
                const drawn = await tip();
                return last !== undefined && last.x === drawn.x && last.y === drawn.y && last;
            }, { what: `${what}: the ${which} finger's last move (have ${JSON.stringify(inputs(host).at(-1))})` });
            await glide([at(0.1, 0.8)], [{ x: at(0.1, 0.8).x + finger, y: at(0.1, 0.8).y }], { steps: 16, pauseMs: 40 });
            const slow = await lastMove('slow');
            assert.ok(inputs(host).every((input) => input.kind === 'move' && input.button === 0), what);
            const slowX = 0.5 + finger / rect.width;
            assert.ok(Math.abs(slow.x - slowX) < 0.015 && slow.y === 0.5, `${what}: slow ${JSON.stringify(slow)}, not ${slowX}`);
            // A fast one takes it further.
            await glide([at(0.9, 0.2)], [{ x: at(0.9, 0.2).x - finger, y: at(0.9, 0.2).y }], { steps: 2 });
            const fast = await lastMove('fast');
            assert.ok(slow.x - fast.x > (1.5 * finger) / rect.width, `${what}: fast ${JSON.stringify(fast)} from ${slow.x}`);

            const { x, y } = fast;
            host.clear();
            await tap(at(0.9, 0.9));
            await sleep(AFTER_DOUBLE_TAP_MS);
            await tap(at(0.1, 0.1));
            await tap(at(0.2, 0.1));
            await sleep(AFTER_DOUBLE_TAP_MS);
            await touch('touchStart', [at(0.3, 0.3), at(0.5, 0.3)]);
            await touch('touchEnd', []);
            await sleep(AFTER_DOUBLE_TAP_MS);
            const clicks = await receivedInputs(host, 8, `${what}: the taps`);
            assert.deepEqual(clicks, [...click(x, y), ...click(x, y), ...click(x, y, 0, 2), ...click(x, y, 1)], what);

            // Tap and drag: a click, then the button held while the pointer moves, released on lifting.
            host.clear();
            // The finger comes down again at once: the page must see it within its double-tap time
            // even on a loaded machine, so nothing waits between the tap and the glide.
            await tap(at(0.5, 0.5));
            await glide([at(0.5, 0.5)], [{ x: at(0.5, 0.5).x, y: at(0.5, 0.5).y + 40 }], { steps: 8, pauseMs: 30 });
            const drag = await waitUntil(() => inputs(host).filter((input) => input.kind === 'up').length === 2 && inputs(host), { what: 'the drag' });
            assert.deepEqual(drag.slice(0, 3), [...click(x, y), { kind: 'down', x, y, button: 0, clickCount: 1, deltaY: 0 }], what);
            assert.ok(drag.slice(3, -1).length > 0 && drag.slice(3, -1).every((input) => input.kind === 'move' && input.x === x && input.y > y), `${what}: ${JSON.stringify(drag)}`);
            const end = drag.at(-1);
            assert.deepEqual([end.kind, end.x, round(end.y - y)], ['up', x, round(40 / rect.height)], what);

            // Two fingers moving: a scroll aimed at the pointer.
            host.clear();
            await glide([at(0.2, 0.2), at(0.4, 0.2)], [at(0.2, 0.6), at(0.4, 0.6)]);
            const wheels = await waitUntil(() => inputs(host).reduce((sum, input) => sum + input.deltaY, 0) > 0.3 * host.height && inputs(host), { what: 'the scroll' });
            assert.ok(wheels.every((input) => input.kind === 'wheel' && input.x === end.x && input.y === end.y), `${what}: ${JSON.stringify(wheels)}`);
            assert.deepEqual(page.errors, [], what);
            await context.close();
        }
    });

    it('Phone.ExtraKeys_ShortcutsAndFurtherKeysOnlyToAHostThatNamesThem', async () => {
        for (const orientation of [UPRIGHT, SIDEWAYS]) {
            const host = await startHost();
            const { page, context } = await connected(host, orientation);
            const what = orientation.name;
            const press = async (...names) => {
                for (const name of names) await button(page, name).tap();
            };
            await press('Ctrl');
            assert.equal(await button(page, 'Ctrl').getAttribute('aria-pressed'), 'true', what);
            // The next key is typed on the on-screen keyboard.
            await press('Keyboard');
            await page.keyboard.insertText('c');
            await press('Alt', 'Tab', 'Ctrl+Alt+Del', 'F5');
            // Twice: locked for every key until tapped again.
            await press('Ctrl', 'Ctrl', 'Left arrow', 'End key');
            assert.equal(await button(page, 'Ctrl').getAttribute('aria-pressed'), 'true', what);
            await press('Ctrl', 'Escape');
            assert.equal(await button(page, 'Ctrl').getAttribute('aria-pressed'), 'false', what);

            const expected = [
                ...key('', ['control'], 'c'), ...key('tab', ['alt']), ...key('delete', ['control', 'alt']), ...key('f5'),
                ...key('arrowleft', ['control']), ...key('end', ['control']), ...key('escape'),
            ];
            await waitUntil(() => keyMessages(host).length >= expected.length, { what: `${what}: the keys (have ${JSON.stringify(keyMessages(host))})` });
            assert.deepEqual(keyMessages(host), expected, what);
            assert.deepEqual(host.received('text'), [], `${what}: nothing typed as text`);
            assert.deepEqual(page.errors, [], what);
            await context.close();
        }

        // A host that names neither: what it would take wrongly cannot be pressed; the rest works.
        const host = await startHost({ features: [] });
        const { page, context } = await connected(host, UPRIGHT);
        for (const name of ['Ctrl', 'Meta', 'Ctrl+Alt+Del', 'F5', 'Home key', 'Page down']) {
            assert.equal(await button(page, name).isDisabled(), true, name);
        }
        await button(page, 'Tab').tap();
        await button(page, 'Up arrow').tap();
        await waitUntil(() => keyMessages(host).length === 4, { what: 'the keys every host knows' });
        assert.deepEqual(keyMessages(host), [...key('tab'), ...key('arrowup')]);
        await context.close();
    });

    it('Phone.Picture_FillsTheAreaAndAZoomedViewKeepsThePointerInSightAsTheKeyboardComesUp', async () => {
        for (const orientation of [UPRIGHT, SIDEWAYS]) {
            const host = await startHost();
            const { page, context, rect } = await connected(host, orientation);
            const area = await page.locator('#area').boundingBox();
            const { width, height } = orientation.viewport;
            const what = `${orientation.name}: picture ${JSON.stringify(rect)} in area ${JSON.stringify(area)}`;
            if (width < height) {
                assert.ok(area.width >= 0.99 * width && rect.width >= 0.9 * area.width, what);
            } else {
                assert.ok(area.height >= 0.99 * height && rect.height >= 0.9 * area.height, what);
            }
            await context.close();
        }

        const host = await startHost();
        const { page, context, at, glide, tap } = await connected(host, UPRIGHT);
        await glide([at(0.45, 0.5), at(0.55, 0.5)], [at(0.3, 0.5), at(0.7, 0.5)], { steps: 8 });
        await waitUntil(async () => !near(await canvasPixel(page, at(0.5, -0.2)), BACKGROUND, 2), { what: 'the zoomed picture' });
        // A tap low in the zoomed view, where text is about to be typed.
        const area = await page.locator('#area').boundingBox();
        const typingAt = { x: area.x + area.width / 2, y: area.y + area.height * 0.7 };
        await tap(typingAt);
        await waitUntil(() => page.locator('#pointer').isVisible(), { what: 'the pointer' });
        // An on-screen keyboard takes the lower half of the screen: the view follows the pointer.
        await page.setViewportSize({ width: 390, height: 420 });
        await waitUntil(async () => (await page.locator('#area').boundingBox()).height < area.height * 0.6, { what: 'the smaller area' });
        const shrunk = await page.locator('#area').boundingBox();
        const tip = await waitUntil(async () => {
            const box = await page.locator('#pointer').boundingBox();
            return box !== null && box.y >= shrunk.y && box.y <= shrunk.y + shrunk.height && box;
        }, { what: 'the pointer in the smaller area' });
        assert.ok(tip.x >= shrunk.x && tip.x <= shrunk.x + shrunk.width, JSON.stringify({ tip, shrunk }));
        await context.close();
    });

    it('Phone.Home_RecentIdsKeptWithoutThePasswordAndErrorsSayWhatToDo', async () => {
        const host = await startHost();
        const { page, context } = await connected(host, UPRIGHT);
        await button(page, 'End').tap();
        await waitUntil(() => host.closed, { what: 'the close' });
        const formatted = host.id.replace(/(\d{3})(?=\d)/g, '$1 ');
        const entry = page.getByRole('button', { name: `${formatted} Test PC` });
        assert.equal(await entry.isVisible(), true);
        const stored = await page.evaluate(() => ({ ...localStorage }));
        assert.deepEqual(JSON.parse(stored['kivren.recentIds']), [{ id: host.id, name: 'Test PC' }]);
        assert.ok(Object.values(stored).every((value) => !value.includes(PASSWORD.replace('-', ''))), JSON.stringify(stored));

        // Picking it fills the ID; a wrong password says so, and what to do.
        await page.getByLabel('ID', { exact: true }).fill('');
        await entry.tap();
        assert.equal(await page.getByLabel('ID', { exact: true }).inputValue(), formatted);
        await page.getByLabel('Password', { exact: true }).fill('ZZZZ-ZZZZ');
        await button(page, 'Connect').tap();
        await waitUntil(async () => (await homeStatus(page)) === 'Wrong password', { what: 'the refusal' });
        assert.match(await page.locator('#status-advice').textContent(), /password KivrenRemote shows/);
        assert.equal(await page.locator('#status-advice').isVisible(), true);

        await button(page, `Forget ${formatted}`).tap();
        assert.equal(await page.locator('#recent').isVisible(), false);
        assert.equal(await page.evaluate(() => localStorage.getItem('kivren.recentIds')), '[]');
        await context.close();
    });

    it('Phone.SleepAndWake_SessionResumesOrSaysItEnded', async () => {
        const host = await startHost();
        const { page, context, at, tap } = await connected(host, UPRIGHT);
        const setHidden = (hidden) => page.evaluate((value) => {
            Object.defineProperty(document, 'hidden', { configurable: true, get: () => value });
            document.dispatchEvent(new Event('visibilitychange'));
        }, hidden);
        /** The phone sleeps: the page is hidden and its network is gone until `wake`. */
        async function sleepPhone() {
            await setHidden(true);
            await page.route('**/v1/poll', (route) => route.abort('internetdisconnected'));
            // The poll the switchboard holds left before the network went: a message the page
            // skips ends it, so that the next one meets the missing network.
            await host.push('json', Buffer.from('{"type":"notice"}').toString('base64'));
            await waitUntil(async () => (await remoteStatus(page)) === 'Reconnecting\u2026', { what: 'the failed poll while asleep' });
        }
        async function wake() {
            await page.unroute('**/v1/poll');
            await setHidden(false);
        }

        await sleepPhone();
        assert.equal(await page.locator('#remote').isVisible(), true, 'the session is kept while asleep');
        await wake();
        await waitUntil(async () => (await remoteStatus(page)) === 'Connected \u00B7 Relay', { what: 'the resumed session' });
        await tap(at(0.5, 0.5));
        assert.deepEqual(await receivedInputs(host, 2, 'the tap after waking'), click(0.5, 0.5));

        // Asleep while the session ended on the other side: on waking the page says so.
        await sleepPhone();
        const { sessionId, token } = host.session;
        assert.equal((await board.post('close', { sessionId, token })).status, 200);
        await wake();
        await waitUntil(async () => page.locator('#home').isVisible(), { what: 'the home screen' });
        assert.match(await homeStatus(page), /ended/);
        assert.equal(await page.locator('#status-advice').textContent(), 'Connect again to go on.');
        // The browser logs the failed and refused polls; the page itself throws nothing.
        assert.deepEqual(page.errors.filter((error) => !error.startsWith('Failed to load resource')), []);
        await context.close();
    });
});
