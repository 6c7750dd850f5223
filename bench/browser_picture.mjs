// Browser viewer picture benchmark.
//
// In headless Chromium (Debian's, driven by playwright-core from cloud/node_modules), on the page
// the switchboard serves, it times what the page does with each poll answer: from the answer's
// text in hand (JSON, the picture's base64 not yet decoded) to the canvas holding the new picture,
// through the page's own modules (applyPollAnswer into a PictureView), read back with one
// getImageData pixel so that the drawing has really happened. In the same run, on the same canvas
// and with the same JPEG, the baseline: a bare base64 decode, createImageBitmap, drawImage into the
// same rectangle and the same one-pixel read. The two alternate, round by round, so that load from
// elsewhere on the machine falls on both alike; medians are compared.
//
//   node bench/browser_picture.mjs                      60 rounds per picture size
//   BENCH_ROUNDS=20 node bench/browser_picture.mjs
//
// The pictures are drawn by the browser itself (a desktop-like scene: gradients, windows, text)
// and encoded as JPEG at quality 0.8, as a host's capture would be.

import { desktopSceneJpeg, launchChromium, startSwitchboard } from '../cloud/browser-test/harness.mjs';

const ROUNDS = Number(process.env.BENCH_ROUNDS ?? 60);
const WARM_UP_ROUNDS = 8;
const LIMIT = 1.3;
const SIZES = [[1280, 800], [1920, 1080]];

/** Runs both paths in the page, alternating; returns their times in milliseconds. */
function measure(page, payload, width, height) {
    const answerText = `{"frames":[{"kind":"jpeg","payload":"${payload}"}],"since":2}`;
    return page.evaluate(async ({ answerText, payload, width, height, rounds, warmUp }) => {
        const { applyPollAnswer } = await import('/web/session.js');
        const { PictureView } = await import('/web/picture-view.js');
        document.body.replaceChildren();
        const canvas = document.createElement('canvas');
        document.body.append(canvas);
        const view = new PictureView(canvas);
        view.resize(width, height, 1);
        const context = canvas.getContext('2d', { alpha: false });
        const decode = typeof Uint8Array.fromBase64 === 'function'
            ? (text) => Uint8Array.fromBase64(text)
            : (text) => Uint8Array.from(atob(text), (ch) => ch.charCodeAt(0));
        const readPixel = () => context.getImageData(width >> 1, height >> 1, 1, 1).data[0];

        async function page() {
            const start = performance.now();
            await applyPollAnswer(answerText, { view });
            readPixel();
            return performance.now() - start;
        }
        async function bare() {
            const start = performance.now();
            const bitmap = await createImageBitmap(new Blob([decode(payload)], { type: 'image/jpeg' }));
            const rect = view.pictureRect() ?? { x: 0, y: 0, width, height };
            context.drawImage(bitmap, rect.x, rect.y, rect.width, rect.height);
            readPixel();
            bitmap.close();
            return performance.now() - start;
        }
        const times = { page: [], bare: [] };
        for (let round = 0; round < warmUp + rounds; round += 1) {
            const order = round % 2 === 0 ? [['page', page], ['bare', bare]] : [['bare', bare], ['page', page]];
            for (const [name, run] of order) {
                const ms = await run();
                if (round >= warmUp) times[name].push(ms);
            }
        }
        return { ...times, fromBase64: typeof Uint8Array.fromBase64 === 'function' };
    }, { answerText, payload, width, height, rounds: ROUNDS, warmUp: WARM_UP_ROUNDS });
}

function percentile(values, p) {
    const sorted = [...values].sort((a, b) => a - b);
    return sorted[Math.min(sorted.length - 1, Math.floor(p * sorted.length))];
}

const board = await startSwitchboard();
const browser = await launchChromium();
try {
    const page = await browser.newPage({ viewport: { width: 1920, height: 1080 } });
    await page.goto(`http://127.0.0.1:${board.port}/`);
    console.log(`browser picture benchmark: Chromium ${browser.version()}, ${ROUNDS} rounds per size after ${WARM_UP_ROUNDS} warm-up rounds`);
    console.log('size        base64    page: answer text -> canvas    bare: base64 + createImageBitmap + drawImage    ratio');
    for (const [width, height] of SIZES) {
        const payload = await desktopSceneJpeg(page, width, height);
        const { page: pageTimes, bare: bareTimes, fromBase64 } = await measure(page, payload, width, height);
        const pageMedian = percentile(pageTimes, 0.5);
        const bareMedian = percentile(bareTimes, 0.5);
        const ratio = pageMedian / bareMedian;
        const kb = (payload.length / 1024).toFixed(0);
        console.log(`${`${width}x${height}`.padEnd(11)} ${`${kb} KB`.padEnd(9)} median ${pageMedian.toFixed(2)} ms (p90 ${percentile(pageTimes, 0.9).toFixed(2)})`
            + `          median ${bareMedian.toFixed(2)} ms (p90 ${percentile(bareTimes, 0.9).toFixed(2)})`
            + `                        ${ratio.toFixed(2)}x ${ratio <= LIMIT ? 'within' : 'OVER'} the ${LIMIT}x limit`
            + `${fromBase64 ? '' : ' (atob decode)'}`);
    }
} finally {
    await browser.close();
    await board.stop();
}
