// Driving the viewer page as a person would, and reading what it shows: shared by the browser
// suites, the benchmark and the screenshot script.

import { waitUntil } from './harness.mjs';

/**
 * Opens the page of the switchboard on `port`. `page.errors` collects its script errors and the
 * errors it logs (a policy violation, a file that failed to load) for a test to check.
 */
export async function openPage(context, port) {
    const page = await context.newPage();
    page.errors = [];
    page.on('pageerror', (error) => page.errors.push(error.message));
    page.on('console', (message) => {
        if (message.type() === 'error') page.errors.push(message.text());
    });
    await page.goto(`http://127.0.0.1:${port}/`);
    return page;
}

/** Types the ID and password into their labelled fields and presses Connect. */
export async function connect(page, id, password) {
    await page.getByLabel('ID', { exact: true }).fill(id);
    await page.getByLabel('Password', { exact: true }).fill(password);
    await page.getByRole('button', { name: 'Connect' }).click();
}

export const homeStatus = (page) => page.locator('#status').textContent();
export const remoteStatus = (page) => page.locator('#remote-status').textContent();

export async function waitUntilLive(page) {
    await waitUntil(async () => (await page.locator('#remote').isVisible()) && (await remoteStatus(page)).startsWith('Connected'),
        { what: 'the remote view' });
}

/**
 * Where a picture of `width` x `height` pixels is drawn in the canvas, fitted and centred at zoom
 * 1: { x, y, width, height } in CSS pixels of the page.
 */
export async function pictureRect(page, width, height) {
    const box = await page.locator('#picture').boundingBox();
    const fit = Math.min(box.width / width, box.height / height);
    return {
        x: box.x + (box.width - width * fit) / 2,
        y: box.y + (box.height - height * fit) / 2,
        width: width * fit,
        height: height * fit,
    };
}

/** The page point at fractions (fx, fy) of a picture drawn in `rect`. */
export const pointAt = (rect, fx, fy) => ({ x: rect.x + rect.width * fx, y: rect.y + rect.height * fy });

/** The canvas pixel under a page point, as [r, g, b, a]. */
export function canvasPixel(page, point) {
    return page.evaluate(({ x, y }) => {
        const canvas = document.getElementById('picture');
        const box = canvas.getBoundingClientRect();
        const scale = canvas.width / box.width;
        const data = canvas.getContext('2d').getImageData(Math.floor((x - box.left) * scale), Math.floor((y - box.top) * scale), 1, 1).data;
        return [...data];
    }, point);
}

/** Each channel of `pixel` within `tolerance` of the "#rrggbb" colour. */
export function near(pixel, colour, tolerance = 40) {
    const want = [1, 3, 5].map((at) => parseInt(colour.slice(at, at + 2), 16));
    return want.every((value, i) => Math.abs(pixel[i] - value) <= tolerance);
}
