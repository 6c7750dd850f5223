// Screenshots of the browser viewer for the README, from a live session: a real switchboard on a
// free loopback port, a scripted host registered on it streaming a desktop-like picture, and the
// page in Debian's headless Chromium on a desktop-sized window and on a phone-sized touch screen.
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
const SHOTS = [
    { name: 'desktop', context: { viewport: { width: 1280, height: 800 } } },
    { name: 'phone', context: { viewport: { width: 390, height: 844 }, deviceScaleFactor: 2, isMobile: true, hasTouch: true } },
];

const board = await startSwitchboard();
const browser = await launchChromium();
const host = await new ScriptedHost(board, { name: 'Studio PC', ...HOST }).start();
try {
    const scratch = await browser.newPage();
    host.show(await desktopSceneJpeg(scratch, HOST.width, HOST.height, 0.85));
    await scratch.close();
    const formatted = host.id.replace(/(\d{3})(?=\d)/g, '$1 ');

    for (const { name, context: options } of SHOTS) {
        const context = await browser.newContext(options);
        const page = await openPage(context, board.port);
        await page.getByLabel('ID', { exact: true }).fill(formatted);
        await page.getByLabel('Password', { exact: true }).fill(PASSWORD);
        await page.evaluate(() => document.activeElement?.blur());
        await page.screenshot({ path: `${DOCS}browser-home-${name}.png` });

        await connect(page, formatted, PASSWORD);
        await waitUntilLive(page);
        await waitUntil(async () => !(await page.locator('#waiting').isVisible()), { what: 'the picture' });
        await page.screenshot({ path: `${DOCS}browser-remote-${name}.png` });
        await page.getByRole('button', { name: 'End' }).click();
        await waitUntil(() => host.closed, { what: 'the close' });
        await context.close();
        process.stdout.write(`docs/browser-home-${name}.png, docs/browser-remote-${name}.png\n`);
    }
} finally {
    await host.stop();
    await browser.close();
    await board.stop();
}
