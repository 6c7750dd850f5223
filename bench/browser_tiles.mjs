// Browser viewer tiles benchmark.
//
// In headless Chromium (Debian's, driven by playwright-core from cloud/node_modules), on the page
// the switchboard serves, it times what the page does with a poll answer that carries one small
// change of a 1920x1080 desktop, from the answer's text in hand to the canvas showing it, through
// the page's own modules (applyPollAnswer into a PictureView), read back with one getImageData
// pixel inside the change so that the drawing has really happened. Two changes: a line of typed
// text (a 320x32 tile) and a blinking cursor (one 32x32 tile). The baseline, in the same run, on
// the same canvas: the same change sent as today's whole picture, a "jpeg" answer of the whole
// desktop. The two alternate, round by round, so that load from elsewhere falls on both alike
// (each tiles answer then follows a whole picture, so its time includes copying that picture off
// screen, as the first tiles after a picture do); medians and answer sizes are compared.
//
//   node bench/browser_tiles.mjs                        60 rounds per change
//   BENCH_ROUNDS=20 node bench/browser_tiles.mjs

import { desktopSceneJpeg, launchChromium, startSwitchboard, tilesPayload } from '../cloud/browser-test/harness.mjs';

const ROUNDS = Number(process.env.BENCH_ROUNDS ?? 60);
const WARM_UP_ROUNDS = 8;
const WIDTH = 1920;
const HEIGHT = 1080;
// [change, x, y, width, height]: where the tile lies, on the 16-pixel grid a host cuts on.
const CHANGES = [['typing a line', 256, 400, 320, 32], ['blinking cursor', 576, 400, 32, 32]];

/** A tile of `width` x `height` as a host would cut it from the screen: text on a light field. */
function tileJpeg(page, width, height) {
    return page.evaluate(({ width, height }) => {
        const canvas = document.createElement('canvas');
        canvas.width = width;
        canvas.height = height;
        const c = canvas.getContext('2d');
        c.fillStyle = '#f4f4f6';
        c.fillRect(0, 0, width, height);
        c.fillStyle = '#2b2d33';
        c.font = '14px sans-serif';
        c.fillText('The quick brown fox jumps over the lazy dog.', 4, 20);
        const url = canvas.toDataURL('image/jpeg', 0.8);
        return url.slice(url.indexOf(',') + 1);
    }, { width, height });
}

/** Runs both answers in the page, alternating; returns their times in milliseconds. */
function measure(page, wholeText, tilesText, probe) {
    return page.evaluate(async ({ wholeText, tilesText, probe, width, height, rounds, warmUp }) => {
        const { applyPollAnswer } = await import('/web/session.js');
        const { PictureView } = await import('/web/picture-view.js');
        document.body.replaceChildren();
        const canvas = document.createElement('canvas');
        document.body.append(canvas);
        const view = new PictureView(canvas);
        view.resize(width, height, 1);
        const context = canvas.getContext('2d', { alpha: false });
        await applyPollAnswer(wholeText, { view });
        const rect = view.pictureRect();
        const x = Math.floor(rect.x + (probe.x * rect.width) / width);
        const y = Math.floor(rect.y + (probe.y * rect.height) / height);
        const readPixel = () => context.getImageData(x, y, 1, 1).data[0];
        const timed = (answerText) => async () => {
            const start = performance.now();
            await applyPollAnswer(answerText, { view });
            readPixel();
            return performance.now() - start;
        };
        const runs = { tiles: timed(tilesText), whole: timed(wholeText) };
        const times = { tiles: [], whole: [] };
        for (let round = 0; round < warmUp + rounds; round += 1) {
            const order = round % 2 === 0 ? ['tiles', 'whole'] : ['whole', 'tiles'];
            for (const name of order) {
                const ms = await runs[name]();
                if (round >= warmUp) times[name].push(ms);
            }
        }
        return times;
    }, { wholeText, tilesText, probe, width: WIDTH, height: HEIGHT, rounds: ROUNDS, warmUp: WARM_UP_ROUNDS });
}

function median(values) {
    const sorted = [...values].sort((a, b) => a - b);
    return sorted[Math.floor(sorted.length / 2)];
}

const board = await startSwitchboard();
const browser = await launchChromium();
try {
    const page = await browser.newPage({ viewport: { width: WIDTH, height: HEIGHT } });
    await page.goto(`http://127.0.0.1:${board.port}/`);
    const whole = await desktopSceneJpeg(page, WIDTH, HEIGHT);
    const wholeText = `{"frames":[{"kind":"jpeg","payload":"${whole}"}],"since":2}`;
    console.log(`browser tiles benchmark: Chromium ${browser.version()}, ${WIDTH}x${HEIGHT}, ${ROUNDS} rounds per change after ${WARM_UP_ROUNDS} warm-up rounds`);
    console.log('change            tiles answer   tiles -> canvas    baseline: whole-picture answer -> canvas    ratio (time, bytes)');
    for (const [name, x, y, width, height] of CHANGES) {
        const tiles = tilesPayload(WIDTH, HEIGHT, [{ x, y, jpeg: await tileJpeg(page, width, height) }]);
        const tilesText = `{"frames":[{"kind":"tiles","payload":"${tiles}"}],"since":3}`;
        const times = await measure(page, wholeText, tilesText, { x: x + width / 2, y: y + height / 2 });
        const tilesMedian = median(times.tiles);
        const wholeMedian = median(times.whole);
        const kb = (text) => `${(text.length / 1024).toFixed(1)} KB`;
        console.log([
            name.padEnd(17), kb(tilesText).padEnd(14), `median ${tilesMedian.toFixed(2)} ms`.padEnd(18),
            `${kb(wholeText)}, median ${wholeMedian.toFixed(2)} ms`.padEnd(43),
            `${(tilesMedian / wholeMedian).toFixed(2)}x, ${(tilesText.length / wholeText.length).toFixed(3)}x`,
        ].join(' '));
    }
} finally {
    await browser.close();
    await board.stop();
}
