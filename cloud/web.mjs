// The browser viewer's page: `GET /` and the few files it loads, served from the web/ folder beside
// this module, and the crypto libraries' modules it imports, from the installed packages beside it. Anyone on the internet reaches these answers through the tunnel, so nothing here
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
const LIBRARY_FOLDER = fileURLToPath(new URL('./node_modules/', import.meta.url));

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
    { path: '/web/cpace.js', file: 'cpace.js', type: SCRIPT },
    { path: '/web/key-schedule.js', file: 'key-schedule.js', type: SCRIPT },
    { path: '/web/sealed-channel.js', file: 'sealed-channel.js', type: SCRIPT },
    { path: '/web/key-exchange.js', file: 'key-exchange.js', type: SCRIPT },
    { path: '/web/encrypted-session.js', file: 'encrypted-session.js', type: SCRIPT },
]);

/**
 * The modules of the audited crypto libraries (@noble/curves, hashes, ciphers, as the lock file
 * pins them) that the page's encryption imports, and nothing else of the packages: each served
 * from the installed tree under its path there, so that the page's modules name them by one
 * relative path ("../node_modules/@noble/…") that node resolves on disk and the browser as these
 * paths. Never loaded from anywhere else.
 */
export const LIBRARY_FILES = Object.freeze([
    '@noble/curves/esm/ed25519.js',
    '@noble/curves/esm/utils.js',
    '@noble/curves/esm/abstract/curve.js',
    '@noble/curves/esm/abstract/edwards.js',
    '@noble/curves/esm/abstract/hash-to-curve.js',
    '@noble/curves/esm/abstract/modular.js',
    '@noble/curves/esm/abstract/montgomery.js',
    '@noble/hashes/esm/sha2.js',
    '@noble/hashes/esm/_md.js',
    '@noble/hashes/esm/_u64.js',
    '@noble/hashes/esm/utils.js',
    '@noble/hashes/esm/crypto.js',
    '@noble/hashes/esm/hmac.js',
    '@noble/hashes/esm/hkdf.js',
    '@noble/ciphers/esm/chacha.js',
    '@noble/ciphers/esm/_arx.js',
    '@noble/ciphers/esm/_poly1305.js',
    '@noble/ciphers/esm/utils.js',
].map((file) => Object.freeze({ path: `/node_modules/${file}`, file, type: SCRIPT })));

/**
 * The packages import one another by bare names, which a browser resolves only through an import
 * map: an inline script, which the page's policy forbids. So each bare name they use is rewritten,
 * once, when the files are read, to the path of the module it names for a browser (the "import"
 * condition of the package's exports; node takes its own for "crypto"). A name not listed here, or
 * a relative import of a file not served, leaves the whole page unserved: a new library version
 * that imports something else is caught by the tests, not in the browser.
 */
export const LIBRARY_IMPORTS = Object.freeze({
    '@noble/hashes/crypto': '/node_modules/@noble/hashes/esm/crypto.js',
    '@noble/hashes/sha2.js': '/node_modules/@noble/hashes/esm/sha2.js',
    '@noble/hashes/utils.js': '/node_modules/@noble/hashes/esm/utils.js',
});

// The module specifier of a static import or re-export, at the start of a line (tsc's output and
// the page's own style), never one quoted in a comment.
const IMPORT_STATEMENT = /^(\s*(?:import|export)\s[^'";]*?\bfrom\s*|\s*import\s*)(['"])([^'"]+)\2/gm;

/**
 * A script's text with every bare import name rewritten to its served path; throws when an import
 * names a module that is not served.
 */
export function servedScript(text, path, servedPaths) {
    return text.replace(IMPORT_STATEMENT, (_statement, head, quote, specifier) => {
        const relative = specifier.startsWith('./') || specifier.startsWith('../');
        if (!relative && !Object.hasOwn(LIBRARY_IMPORTS, specifier)) {
            throw new Error(`${path} imports ${specifier}, which is not served`);
        }
        const target = relative ? new URL(specifier, `http://page${path}`).pathname : LIBRARY_IMPORTS[specifier];
        if (!servedPaths.has(target)) throw new Error(`${path} imports ${target}, which is not served`);
        return `${head}${quote}${relative ? specifier : target}${quote}`;
    });
}

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
 * The page's files and its libraries' modules, read now, or a page that serves nothing if any of
 * them cannot be read or imports a module that is not served: the switchboard still relays sessions
 * without its page, and a page with a file missing would only break in the browser.
 *
 * Returns { serves(path), answer(request, response, path) }.
 */
export function createPage(folder = FOLDER, libraryFolder = LIBRARY_FOLDER) {
    const byPath = new Map();
    const files = [
        ...PAGE_FILES.map((entry) => ({ ...entry, from: `${folder}${entry.file}` })),
        ...LIBRARY_FILES.map((entry) => ({ ...entry, from: `${libraryFolder}${entry.file}` })),
    ];
    const servedPaths = new Set(files.map(({ path }) => path));
    try {
        for (const { path, from, type } of files) {
            let body = readFileSync(from);
            if (type === SCRIPT) body = Buffer.from(servedScript(body.toString('utf8'), path, servedPaths), 'utf8');
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
