// The browser viewer's page: `GET /` and the few files it loads, served from the web/ folder beside
// this module. Anyone on the internet reaches these answers through the tunnel, so nothing here
// looks at the file system per request: the files are read once, when a switchboard is made, and
// a request is answered only when its path is one of the fixed names below, compared as the raw
// text it arrived as. Encoded dots, slashes, backslashes or "..": none of them is a name in the
// table, so none can reach another file.

import crypto from 'node:crypto';
import { readFileSync } from 'node:fs';
import { fileURLToPath } from 'node:url';
import { Refusal } from './refusal.mjs';
import { refuseAndHangUp } from './transport.mjs';

const FOLDER = fileURLToPath(new URL('./web/', import.meta.url));

const HTML = 'text/html; charset=utf-8';
const CSS = 'text/css; charset=utf-8';
const SCRIPT = 'text/javascript; charset=utf-8';
const SVG = 'image/svg+xml';

/** Every file of the page, by the path it is asked for: that path, its file in web/, its type. */
export const PAGE_FILES = Object.freeze([
    { path: '/', file: 'index.html', type: HTML },
    { path: '/web/style.css', file: 'style.css', type: CSS },
    { path: '/web/icon.svg', file: 'icon.svg', type: SVG },
    { path: '/web/main.js', file: 'main.js', type: SCRIPT },
    { path: '/web/codes.js', file: 'codes.js', type: SCRIPT },
    { path: '/web/switchboard.js', file: 'switchboard.js', type: SCRIPT },
    { path: '/web/messages.js', file: 'messages.js', type: SCRIPT },
    { path: '/web/input-queue.js', file: 'input-queue.js', type: SCRIPT },
    { path: '/web/session.js', file: 'session.js', type: SCRIPT },
    { path: '/web/picture-decoding.js', file: 'picture-decoding.js', type: SCRIPT },
    { path: '/web/picture-view.js', file: 'picture-view.js', type: SCRIPT },
    { path: '/web/pointer-input.js', file: 'pointer-input.js', type: SCRIPT },
    { path: '/web/key-input.js', file: 'key-input.js', type: SCRIPT },
    { path: '/web/extra-keys.js', file: 'extra-keys.js', type: SCRIPT },
    { path: '/web/recent-ids.js', file: 'recent-ids.js', type: SCRIPT },
    { path: '/web/wake.js', file: 'wake.js', type: SCRIPT },
]);

// The page runs only its own scripts and styles, talks only to this origin, and may not be framed
// (no clickjacking of the Connect button or of the remote screen). Nothing inline is allowed, so
// an injected fragment of markup could not run.
export const CONTENT_SECURITY_POLICY = [
    "default-src 'none'",
    "script-src 'self'",
    "style-src 'self'",
    "img-src 'self'",
    "connect-src 'self'",
    "base-uri 'none'",
    "form-action 'none'",
    "frame-ancestors 'none'",
].join('; ');

// Every page answer, 304 and HEAD included. The page changes with the app, so a browser may keep a
// copy but must ask (with its ETag) before using it.
const PAGE_HEADERS = [
    'Content-Security-Policy', CONTENT_SECURITY_POLICY,
    'X-Content-Type-Options', 'nosniff',
    'Referrer-Policy', 'no-referrer',
    'X-Frame-Options', 'DENY',
    'Cross-Origin-Opener-Policy', 'same-origin',
    'Cross-Origin-Resource-Policy', 'same-origin',
    'Cache-Control', 'no-cache',
];

const READ_METHODS = new Set(['GET', 'HEAD']);

/** An If-None-Match header names this ETag: "*", or the tag itself, weak or strong, in a list. */
function namesTag(header, etag) {
    if (typeof header !== 'string') return false;
    return header.split(',').some((candidate) => {
        const tag = candidate.trim();
        return tag === '*' || tag === etag || tag === `W/${etag}`;
    });
}

/**
 * The page's files, read now, or a page that serves nothing if any of them cannot be read: the
 * switchboard still relays sessions without its page, and a page with a file missing would only
 * break in the browser.
 *
 * Returns { serves(path), answer(request, response, path) }.
 */
export function createPage(folder = FOLDER) {
    const byPath = new Map();
    try {
        for (const { path, file, type } of PAGE_FILES) {
            const body = readFileSync(`${folder}${file}`);
            const etag = `"${crypto.createHash('sha256').update(body).digest('base64url').slice(0, 22)}"`;
            byPath.set(path, { body, etag, type });
        }
    } catch {
        byPath.clear();
    }

    return {
        serves: (path) => byPath.has(path),

        answer(request, response, path) {
            const file = byPath.get(path);
            if (!READ_METHODS.has(request.method)) {
                refuseAndHangUp(request, response, new Refusal(405, 'Only GET and HEAD are accepted'), ['Allow', 'GET, HEAD']);
                return;
            }
            // A page request carries no body; one that says it does is not what a browser sends,
            // and its bytes are never read.
            const length = request.headers['content-length'];
            if ((length !== undefined && length !== '0') || request.headers['transfer-encoding'] !== undefined) {
                refuseAndHangUp(request, response, new Refusal(400, 'A page request has no body'));
                return;
            }
            if (namesTag(request.headers['if-none-match'], file.etag)) {
                response.writeHead(304, [...PAGE_HEADERS, 'ETag', file.etag]);
                response.end();
                return;
            }
            response.writeHead(200, [...PAGE_HEADERS, 'ETag', file.etag, 'Content-Type', file.type,
                'Content-Length', file.body.length]);
            if (request.method === 'HEAD') response.end();
            else response.end(file.body);
        },
    };
}
