// Browser sealed-frame benchmark.
//
// In headless Chromium (Debian's, driven by playwright-core from cloud/node_modules), on the page
// the switchboard serves, it times what opening a sealed 200 KB picture costs the page: its own
// SealedChannel.open (header read where it lies, associated data built, sequence and anchor
// checked, decrypted into a new buffer), on the modules and library files exactly as served.
// In the same run, on the same bytes, the baseline: the bare @noble/ciphers call,
// xchacha20poly1305(key, nonce, ad).decrypt(ciphertext). The two alternate, round by round, so
// that load from elsewhere on the machine falls on both alike; medians are compared.
//
//   node bench/browser_sealed.mjs                      200 rounds
//   BENCH_ROUNDS=60 node bench/browser_sealed.mjs

import { launchChromium, startSwitchboard } from '../cloud/browser-test/harness.mjs';

const ROUNDS = Number(process.env.BENCH_ROUNDS ?? 200);
const WARM_UP_ROUNDS = 10;
const PICTURE_BYTES = 200 * 1024;
const LIMIT = 1.3;

function percentile(values, p) {
    const sorted = [...values].sort((a, b) => a - b);
    return sorted[Math.min(sorted.length - 1, Math.floor(p * sorted.length))];
}

const board = await startSwitchboard();
const browser = await launchChromium();
try {
    const page = await browser.newPage();
    await page.goto(`http://127.0.0.1:${board.port}/`);
    const times = await page.evaluate(async ({ rounds, warmUp, pictureBytes }) => {
        const { SealedChannel } = await import('/web/sealed-channel.js');
        const { deriveKeys } = await import('/web/key-schedule.js');
        const { xchacha20poly1305 } = await import('/node_modules/@noble/ciphers/esm/chacha.js');
        const random = (n) => {
            const bytes = new Uint8Array(n);
            for (let at = 0; at < n; at += 65536) crypto.getRandomValues(bytes.subarray(at, Math.min(n, at + 65536)));
            return bytes;
        };
        const sid = random(32);
        const keys = deriveKeys(random(64), sid);
        const host = new SealedChannel('host', keys, sid);
        const viewer = new SealedChannel('viewer', keys, sid);
        const picture = random(pictureBytes);

        // Each frame opens once (a second time it is a replay), so the frames are sealed first.
        const frames = Array.from({ length: warmUp + rounds }, () => host.seal('jpeg', picture));
        // The bare call on the same bytes: the first frame's ciphertext, key, nonce and the
        // associated data of the same length.
        const nonce = new Uint8Array(24);
        nonce.set(frames[0].bytes.subarray(0, 8), 16);
        const ad = random(89);
        const ciphertext = xchacha20poly1305(keys.hostToViewer, nonce, ad).encrypt(picture);

        let next = 0;
        const pageOpen = () => {
            const start = performance.now();
            const { kind, bytes } = frames[next];
            next += 1;
            const opened = viewer.open(kind, bytes);
            const ms = performance.now() - start;
            if (opened.bytes?.length !== pictureBytes) throw new Error(`frame ${next} did not open: ${opened.refusal}`);
            return ms;
        };
        const bareOpen = () => {
            const start = performance.now();
            const opened = xchacha20poly1305(keys.hostToViewer, nonce, ad).decrypt(ciphertext);
            const ms = performance.now() - start;
            if (opened.length !== pictureBytes) throw new Error('bare decrypt failed');
            return ms;
        };
        const times = { page: [], bare: [] };
        for (let round = 0; round < warmUp + rounds; round += 1) {
            const order = round % 2 === 0 ? [['page', pageOpen], ['bare', bareOpen]] : [['bare', bareOpen], ['page', pageOpen]];
            for (const [name, run] of order) {
                const ms = run();
                if (round >= warmUp) times[name].push(ms);
            }
        }
        return times;
    }, { rounds: ROUNDS, warmUp: WARM_UP_ROUNDS, pictureBytes: PICTURE_BYTES });

    const pageMedian = percentile(times.page, 0.5);
    const bareMedian = percentile(times.bare, 0.5);
    const ratio = pageMedian / bareMedian;
    console.log(`browser sealed-frame benchmark: Chromium ${browser.version()}, a ${PICTURE_BYTES}-byte picture, ${ROUNDS} rounds after ${WARM_UP_ROUNDS} warm-up rounds`);
    console.log(`bare xchacha20poly1305(...).decrypt (baseline)   median ${bareMedian.toFixed(2)} ms (p90 ${percentile(times.bare, 0.9).toFixed(2)})`);
    console.log(`page SealedChannel.open                          median ${pageMedian.toFixed(2)} ms (p90 ${percentile(times.page, 0.9).toFixed(2)})`
        + `   ${ratio.toFixed(2)}x ${ratio <= LIMIT ? 'within' : 'OVER'} the ${LIMIT}x limit`);
} finally {
    await browser.close();
    await board.stop();
}
