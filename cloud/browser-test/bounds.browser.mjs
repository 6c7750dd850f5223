// The page against a host that sends pictures no display has: a JPEG whose header claims a huge
// size is dropped before the browser decodes it, and a storm of tiles frames in one answer costs
// no more than its pixel budget, while the page keeps drawing and answering.

import assert from 'node:assert/strict';
import { after, before, describe, it } from 'node:test';
import { PASSWORD, ScriptedHost, launchChromium, quadrantJpeg, startSwitchboard, tilesPayload, waitUntil } from './harness.mjs';
import { canvasPixel, connect, near, openPage, pictureRect, pointAt, waitUntilLive } from './page-driver.mjs';

const PICTURE = { width: 640, height: 360 };
const QUADRANTS = ['#ff0000', '#00ff00', '#0000ff', '#ffffff'];

/** The JPEG in `base64` with the size its start-of-frame segment states changed, padded to `length` bytes. */
function claimingSize(base64, width, height, length = 0) {
    const bytes = Buffer.from(base64, 'base64');
    const at = bytes.indexOf(Buffer.from([0xff, 0xc0]));
    assert.ok(at > 0, 'a baseline JPEG');
    bytes.writeUInt16BE(height, at + 5);
    bytes.writeUInt16BE(width, at + 7);
    return Buffer.concat([bytes, Buffer.alloc(Math.max(0, length - bytes.length))]);
}

/** Counts the page's calls of the browser's decoder, with the bytes each was given. */
const countDecodes = (page) => page.evaluate(() => {
    const original = window.createImageBitmap.bind(window);
    window.decodeCalls = [];
    window.createImageBitmap = (source, ...rest) => {
        window.decodeCalls.push(source.size);
        return original(source, ...rest);
    };
});
const decodeCalls = (page) => page.evaluate(() => window.decodeCalls);

describe('Browser viewer picture bounds', () => {
    let board;
    let browser;
    let picture;
    let host;

    before(async () => {
        [board, browser] = await Promise.all([startSwitchboard(), launchChromium()]);
        picture = await quadrantJpeg(browser, PICTURE.width, PICTURE.height, QUADRANTS);
        // A 1600 x 900 hello: pictures up to 4800 x 2700 pixels.
        host = await new ScriptedHost(board, { id: '300000001' }).start();
        host.show(picture);
    });
    after(async () => {
        await host?.stop();
        await browser?.close();
        await board?.stop();
    });

    it('Bounds.OversizedPictureAndImpossibleTiles_DroppedUndecodedPageStaysLive', async () => {
        const context = await browser.newContext({ viewport: { width: 1000, height: 700 } });
        const page = await openPage(context, board.port);
        await connect(page, host.id, PASSWORD);
        await waitUntilLive(page);
        const rect = await pictureRect(page, PICTURE.width, PICTURE.height);
        const colourAt = (fx, fy) => canvasPixel(page, pointAt(rect, fx, fy));
        await waitUntil(async () => near(await colourAt(0.25, 0.25), QUADRANTS[0]), { what: 'the picture' });
        await countDecodes(page);

        // Each step is followed by a small tile of a new colour: once it shows, the page has read
        // everything pushed before it.
        const marks = ['#ffff00', '#ff00ff', '#00ffff'];
        const markTiles = await Promise.all(marks.map((colour) => quadrantJpeg(browser, 32, 32, Array(4).fill(colour))));
        const { width, height } = PICTURE;
        const fake = claimingSize(markTiles[0], 7680, 4320);
        const steps = [
            ['a 1 MB picture claiming 16384 x 16384', async () => { host.show(claimingSize(picture, 16384, 16384, 1 << 20).toString('base64')); }],
            ['a picture one pixel wider than three per point', async () => { host.show(claimingSize(picture, 4801, 900).toString('base64')); }],
            ['100 tiles frames of 16 tiles claiming 7680 x 4320', async () => {
                const frame = tilesPayload(width, height, Array.from({ length: 16 }, (_, i) => ({ x: (i % 4) * 32, y: Math.floor(i / 4) * 32, jpeg: fake })));
                for (let i = 0; i < 99; i += 1) assert.equal((await host.push('tiles', frame)).status, 200);
            }],
        ];
        for (const [i, [what, push]] of steps.entries()) {
            const calls = (await decodeCalls(page)).length;
            await push();
            // The host's loop pushes a picture it shows on its next pass; the mark goes after it.
            await waitUntil(() => host.pushedPicture === host.picture, { what: `${what} pushed` });
            await host.push('tiles', tilesPayload(width, height, [{ x: 0, y: 0, jpeg: markTiles[i] }]));
            const started = Date.now();
            await waitUntil(async () => near(await canvasPixel(page, pointAt(rect, 8 / width, 8 / height)), marks[i]), { what: `the mark after ${what}` });
            const answered = Date.now() - started;
            const called = (await decodeCalls(page)).slice(calls);
            assert.deepEqual(called, [Buffer.from(markTiles[i], 'base64').length], `${what}: only the mark was decoded`);
            assert.ok(answered < 2000, `${what}: the page answered after ${answered} ms`);
            // The picture drawn before is still there around the mark.
            assert.ok(near(await colourAt(0.75, 0.75), QUADRANTS[3]), what);
            assert.equal(await page.locator('#remote').isVisible(), true, what);
        }
        assert.deepEqual(page.errors, []);
        await context.close();
    });

    it('Bounds.TilesStormOfOneAnswer_DecodesWithinItsPixelBudget', async () => {
        const context = await browser.newContext();
        const page = await openPage(context, board.port);
        const tile = await quadrantJpeg(browser, PICTURE.width, PICTURE.height, Array(4).fill('#ffff00'));
        const frame = (kind, payload) => ({ kind, payload });
        const hello = Buffer.from(JSON.stringify({ type: 'hello', width: PICTURE.width, height: PICTURE.height })).toString('base64');
        const whole = JSON.stringify({ since: 1, frames: [frame('json', hello), frame('jpeg', picture)] });
        // 100 frames, each of one tile as large as the picture: every one fits, together they are
        // 100 pictures' worth of pixels.
        const storm = JSON.stringify({ since: 2, frames: Array(100).fill(frame('tiles', tilesPayload(PICTURE.width, PICTURE.height, [{ x: 0, y: 0, jpeg: tile }]))) });
        await countDecodes(page);
        const result = await page.evaluate(async ({ whole, storm, width, height }) => {
            const { applyPollAnswer } = await import('/web/session.js');
            const { PictureView } = await import('/web/picture-view.js');
            const { answerPixelBudget, pictureBound } = await import('/web/picture-decoding.js');
            const canvas = document.createElement('canvas');
            document.body.append(canvas);
            const view = new PictureView(canvas);
            view.resize(width, height, 1);
            let bound = pictureBound();
            await applyPollAnswer(whole, { view, onHello: (hello) => { bound = pictureBound(hello); } });
            const before = window.decodeCalls.length;
            const started = performance.now();
            await applyPollAnswer(storm, { view, bound });
            const pixel = [...canvas.getContext('2d').getImageData(10, 10, 1, 1).data];
            return { tiles: window.decodeCalls.length - before, ms: performance.now() - started, budget: answerPixelBudget(bound), pixel };
        }, { whole, storm, ...PICTURE });
        const pixels = PICTURE.width * PICTURE.height;
        assert.equal(result.budget, 2 * 9 * pixels);
        // The picture takes nothing of the storm's budget: that answer brought no picture.
        assert.equal(result.tiles, Math.floor(result.budget / pixels), JSON.stringify(result));
        assert.ok(near(result.pixel, '#ffff00'), `the tiles within the budget were drawn: ${result.pixel}`);
        process.stdout.write(`# tiles storm: ${result.tiles} of 100 frames decoded in ${Math.round(result.ms)} ms\n`);
        await context.close();
    });
});
