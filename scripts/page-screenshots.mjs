// Screenshots of the browser viewer for the README, from a live session: a real switchboard on a
// free loopback port, a scripted host registered on it streaming a desktop-like picture, and the
// page in Debian's headless Chromium on a desktop-sized window and on a phone-sized touch screen,
// upright and sideways, in Touch and in Trackpad mode.
// Run by hand after the page changes (needs `scripts/install-deps` first):
//
//   node scripts/page-screenshots.mjs          writes docs/browser-*.png
//
// Everything stays on 127.0.0.1 and ends with the script.

import { fileURLToPath } from 'node:url';
import { PASSWORD, ScriptedHost, desktopSceneJpeg, launchChromium, startSwitchboard, waitUntil } from '../cloud/browser-test/harness.mjs';
import { connect, openPage, waitUntilLive } from '../cloud/browser-test/page-driver.mjs';

const DOCS = fileURLToPath(new URL('../docs/', import.meta.url));
const HOST = { width: 1920, height: 1080 };
const PHONE = { deviceScaleFactor: 2, isMobile: true, hasTouch: true };
const SHOTS = [
    { name: 'desktop', context: { viewport: { width: 1280, height: 800 } } },
    { name: 'phone', context: { viewport: { width: 390, height: 844 }, ...PHONE } },
    { name: 'phone-trackpad', mode: 'Trackpad', remoteOnly: true, context: { viewport: { width: 844, height: 390 }, ...PHONE } },
    { name: 'phone-touch-sideways', mode: 'Touch', remoteOnly: true, context: { viewport: { width: 844, height: 390 }, ...PHONE } },
];

const board = await startSwitchboard();
const browser = await launchChromium();
const host = await new ScriptedHost(board, { name: 'Studio PC', features: ['hover', 'keys', 'modifiers'], ...HOST }).start();
try {
    const scratch = await browser.newPage();
    host.show(await desktopSceneJpeg(scratch, HOST.width, HOST.height, 0.85));
    // The host's pointer, as a host that is sent "cursor" draws it: an arrow, its tip at (1, 1).
    const arrow = await scratch.evaluate(() => {
        const canvas = document.createElement('canvas');
        canvas.width = 22;
        canvas.height = 30;
        const context = canvas.getContext('2d');
        context.fillStyle = '#FFFFFF';
        context.strokeStyle = '#000000';
        context.lineWidth = 1.5;
        context.beginPath();
        for (const [x, y] of [[1, 1], [1, 23], [6.5, 17.5], [10.5, 26.5], [14, 25], [10, 16.5], [17.5, 16.5]]) context.lineTo(x, y);
        context.closePath();
        context.fill();
        context.stroke();
        const url = canvas.toDataURL('image/png');
        return url.slice(url.indexOf(',') + 1);
    });
    await scratch.close();
    const formatted = host.id.replace(/(\d{3})(?=\d)/g, '$1 ');

    for (const { name, mode, remoteOnly, context: options } of SHOTS) {
        const context = await browser.newContext(options);
        const page = await openPage(context, board.port);
        const written = [];
        if (!remoteOnly) {
            // A computer reached before is offered on the home screen.
            await page.evaluate((id) => localStorage.setItem('kivren.recentIds', JSON.stringify([{ id, name: 'Studio PC' }])), host.id);
            await page.reload();
            await page.getByLabel('ID', { exact: true }).fill(formatted);
            await page.getByLabel('Password', { exact: true }).fill(PASSWORD);
            await page.evaluate(() => document.activeElement?.blur());
            await page.screenshot({ path: `${DOCS}browser-home-${name}.png` });
            written.push(`docs/browser-home-${name}.png`);
        }

        await connect(page, formatted, PASSWORD);
        await waitUntilLive(page);
        await waitUntil(async () => !(await page.locator('#waiting').isVisible()), { what: 'the picture' });
        const cursor = { type: 'cursor', x: 0.62, y: 0.41, png: arrow, hotX: 1, hotY: 1 };
        await host.push('json', Buffer.from(JSON.stringify(cursor)).toString('base64'));
        await waitUntil(async () => page.locator('#remote-pointer').isVisible(), { what: "the host's pointer" });
        if (mode !== undefined) {
            await page.getByRole('button', { name: mode, exact: true }).tap();
            // Ctrl held for the next key, and in Touch mode a tap that shows where the pointer went.
            await page.getByRole('button', { name: 'Ctrl', exact: true }).tap();
            const box = await page.locator('#area').boundingBox();
            if (mode === 'Touch') await page.touchscreen.tap(box.x + box.width * 0.4, box.y + box.height * 0.35);
            await waitUntil(async () => page.locator('#pointer').isVisible(), { what: 'the pointer' });
        }
        await page.screenshot({ path: `${DOCS}browser-remote-${name}.png` });
        written.push(`docs/browser-remote-${name}.png`);
        await page.getByRole('button', { name: 'End', exact: true }).click();
        await waitUntil(() => host.closed, { what: 'the close' });
        await context.close();
        process.stdout.write(`${written.join(', ')}\n`);
    }
} finally {
    await host.stop();
    await browser.close();
    await board.stop();
}
