// Browser encrypted picture benchmark: open and draw against the plain draw.
//
// In headless Chromium (Debian's, driven by playwright-core from cloud/node_modules), on the page
// the switchboard serves, it times what an encrypted session costs the page per picture: from the
// poll answer's text in hand (a "sealed-jpeg" frame) to the canvas holding the picture, through the
// page's own modules (EncryptedSession.openAnswer, then applyPollAnswer into a PictureView), read
// back with one getImageData pixel. In the same run, on the same canvas and the same JPEG, the
// baseline: the plain session's path, applyPollAnswer on the answer with the "jpeg" frame. The two
// alternate, round by round, so that load from elsewhere on the machine falls on both alike;
// medians are compared.
//
//   node bench/browser_sealed_draw.mjs                  60 rounds
//   BENCH_ROUNDS=20 node bench/browser_sealed_draw.mjs

import { desktopSceneJpeg, launchChromium, startSwitchboard } from '../cloud/browser-test/harness.mjs';

const ROUNDS = Number(process.env.BENCH_ROUNDS ?? 60);
const WARM_UP_ROUNDS = 8;
const LIMIT = 1.3;
// A desktop at this size and quality encodes to about 200 KB.
const SIZE = { width: 1600, height: 1000 };
const QUALITY = 0.85;

function percentile(values, p) {
    const sorted = [...values].sort((a, b) => a - b);
    return sorted[Math.min(sorted.length - 1, Math.floor(p * sorted.length))];
}

const board = await startSwitchboard();
const browser = await launchChromium();
try {
    const page = await browser.newPage({ viewport: { width: 1920, height: 1080 } });
    await page.goto(`http://127.0.0.1:${board.port}/`);
    const payload = await desktopSceneJpeg(page, SIZE.width, SIZE.height, QUALITY);
    const times = await page.evaluate(async ({ payload, width, height, rounds, warmUp }) => {
        const { applyPollAnswer } = await import('/web/session.js');
        const { PictureView } = await import('/web/picture-view.js');
        const { EncryptedSession } = await import('/web/encrypted-session.js');
        const { SealedChannel } = await import('/web/sealed-channel.js');
        const { deriveKeys } = await import('/web/key-schedule.js');
        const { decodeBase64, encodeBase64 } = await import('/web/messages.js');
        document.body.replaceChildren();
        const canvas = document.createElement('canvas');
        document.body.append(canvas);
        const view = new PictureView(canvas);
        view.resize(width, height, 1);
        const context = canvas.getContext('2d', { alpha: false });
        const readPixel = () => context.getImageData(width >> 1, height >> 1, 1, 1).data[0];

        const sid = crypto.getRandomValues(new Uint8Array(32));
        const keys = deriveKeys(crypto.getRandomValues(new Uint8Array(64)), sid);
        const host = new SealedChannel('host', keys, sid);
        const session = new EncryptedSession(new SealedChannel('viewer', keys, sid));
        const jpeg = decodeBase64(payload);
        const plainAnswer = `{"frames":[{"kind":"jpeg","payload":"${payload}"}],"since":2}`;
        // Each sealed frame opens once (a second time it is a replay), so they are sealed first.
        const sealedAnswers = Array.from({ length: warmUp + rounds }, (_, i) => {
            const { kind, bytes } = host.seal('jpeg', jpeg);
            return `{"frames":[{"kind":"${kind}","payload":"${encodeBase64(bytes)}"}],"since":${i + 3}}`;
        });

        let next = 0;
        async function encrypted() {
            const answerText = sealedAnswers[next];
            next += 1;
            const start = performance.now();
            await applyPollAnswer(session.openAnswer(answerText), { view });
            readPixel();
            return performance.now() - start;
        }
        async function plain() {
            const start = performance.now();
            await applyPollAnswer(plainAnswer, { view });
            readPixel();
            return performance.now() - start;
        }
        const times = { encrypted: [], plain: [] };
        for (let round = 0; round < warmUp + rounds; round += 1) {
            const order = round % 2 === 0 ? [['encrypted', encrypted], ['plain', plain]] : [['plain', plain], ['encrypted', encrypted]];
            for (const [name, run] of order) {
                const ms = await run();
                if (round >= warmUp) times[name].push(ms);
            }
        }
        return { ...times, jpegBytes: jpeg.length };
    }, { payload, ...SIZE, rounds: ROUNDS, warmUp: WARM_UP_ROUNDS });

    const encryptedMedian = percentile(times.encrypted, 0.5);
    const plainMedian = percentile(times.plain, 0.5);
    const ratio = encryptedMedian / plainMedian;
    console.log(`browser encrypted picture benchmark: Chromium ${browser.version()}, a ${SIZE.width}x${SIZE.height} JPEG of`
        + ` ${(times.jpegBytes / 1024).toFixed(0)} KB, ${ROUNDS} rounds after ${WARM_UP_ROUNDS} warm-up rounds`);
    console.log(`plain: applyPollAnswer (baseline)                median ${plainMedian.toFixed(2)} ms (p90 ${percentile(times.plain, 0.9).toFixed(2)})`);
    console.log(`encrypted: openAnswer + applyPollAnswer          median ${encryptedMedian.toFixed(2)} ms (p90 ${percentile(times.encrypted, 0.9).toFixed(2)})`
        + `   ${ratio.toFixed(2)}x ${ratio <= LIMIT ? 'within' : 'OVER'} the ${LIMIT}x limit`);
} finally {
    await browser.close();
    await board.stop();
}
