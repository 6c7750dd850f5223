// The browser viewer's page as the switchboard serves it: its few files with their types, cache
// tags and security headers, and nothing else: no other path, no way around the table to another
// file, no method but GET and HEAD.

import assert from 'node:assert/strict';
import { readFileSync, readdirSync } from 'node:fs';
import { after, before, describe, it } from 'node:test';
import { CONTENT_SECURITY_POLICY, PAGE_FILES, createPage } from '../web.mjs';
import { startSwitchboard } from './harness.mjs';

const WEB_FOLDER = new URL('../web/', import.meta.url);
const fileBytes = (file) => readFileSync(new URL(file, WEB_FOLDER));

const SECURITY_HEADERS = {
    'content-security-policy': CONTENT_SECURITY_POLICY,
    'x-content-type-options': 'nosniff',
    'referrer-policy': 'no-referrer',
};

/** Status, headers and body of a raw request line, exactly as written (nothing normalised). */
async function rawGet(board, target, { method = 'GET', headers = '' } = {}) {
    const { received, closed } = await board.rawExchange(
        `${method} ${target} HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n${headers}\r\n`);
    const [head, ...rest] = received.split('\r\n\r\n');
    return { status: Number(head.split(' ')[1]), head, body: rest.join('\r\n\r\n'), closed };
}

describe('Browser page serving', () => {
    let board;
    before(async () => { board = await startSwitchboard(); });
    after(async () => { await board.stop(); });

    it('Page.EachFile_ServedWithTypeTagAndSecurityHeaders', async () => {
        for (const { path, file, type } of PAGE_FILES) {
            const got = await board.request(path, undefined, { method: 'GET' });
            assert.equal(got.status, 200, path);
            assert.equal(got.headers['content-type'], type, path);
            const expected = fileBytes(file).toString('utf8');
            assert.equal(typeof got.body === 'string' ? got.body : JSON.stringify(got.body), expected, path);
            assert.match(got.headers.etag, /^"[A-Za-z0-9_-]{22}"$/, path);
            assert.equal(got.headers['cache-control'], 'no-cache', path);
            for (const [name, value] of Object.entries(SECURITY_HEADERS)) assert.equal(got.headers[name], value, `${path} ${name}`);

            const head = await board.request(path, undefined, { method: 'HEAD' });
            assert.equal(head.status, 200, `HEAD ${path}`);
            assert.equal(head.body, '', `HEAD ${path}`);
            assert.equal(head.headers.etag, got.headers.etag, `HEAD ${path}`);
            assert.equal(Number(head.headers['content-length']), fileBytes(file).length, `HEAD ${path}`);
        }
        // A query string does not change what is served.
        assert.equal((await board.request('/?from=qr', undefined, { method: 'GET' })).status, 200);
    });

    it('Page.Policy_NoInlineScriptOnlyOwnOriginNoFraming', () => {
        const directives = new Map(CONTENT_SECURITY_POLICY.split('; ').map((d) => [d.split(' ')[0], d.split(' ').slice(1)]));
        assert.deepEqual(directives.get('default-src'), ["'none'"]);
        assert.deepEqual(directives.get('script-src'), ["'self'"]);
        assert.deepEqual(directives.get('connect-src'), ["'self'"]);
        assert.deepEqual(directives.get('frame-ancestors'), ["'none'"]);
        assert.ok(!CONTENT_SECURITY_POLICY.includes('unsafe'), CONTENT_SECURITY_POLICY);
        // The page itself holds nothing the policy would block: no inline script or style.
        const html = fileBytes('index.html').toString('utf8');
        assert.doesNotMatch(html, /<script(?![^>]*\bsrc=)[^>]*>/);
        assert.doesNotMatch(html, /\sstyle=|<style|\son[a-z]+=/i);
    });

    it('Page.Table_HoldsEveryFileOfTheFolderAndEveryOneThePageLoads', () => {
        // A file added to web/ but not to the table would be missing in the browser; one in the
        // table but not in web/ would leave the whole page unserved.
        const listed = PAGE_FILES.map(({ file }) => file).sort();
        assert.deepEqual(readdirSync(WEB_FOLDER).sort(), listed);

        const served = new Set(PAGE_FILES.map(({ path }) => path));
        const html = fileBytes('index.html').toString('utf8');
        const references = [...html.matchAll(/(?:src|href)="([^"]+)"/g)].map((match) => match[1]);
        for (const { file } of PAGE_FILES.filter(({ file }) => file.endsWith('.js'))) {
            const source = fileBytes(file).toString('utf8');
            references.push(...[...source.matchAll(/from '\.\/([^']+)'/g)].map((match) => `/web/${match[1]}`));
        }
        assert.ok(references.length > PAGE_FILES.length);
        for (const reference of references) assert.ok(served.has(reference), `${reference} is loaded but not served`);
    });

    it('Page.MatchingTag_304WithoutBody', async () => {
        const { headers } = await board.request('/web/main.js', undefined, { method: 'GET' });
        const cases = [
            // [If-None-Match, status]
            [headers.etag, 304],
            [`W/${headers.etag}`, 304],
            [`"other", ${headers.etag}`, 304],
            ['*', 304],
            ['"other"', 200],
            [headers.etag.slice(0, -2) + '"', 200],
        ];
        for (const [tag, status] of cases) {
            const got = await rawGet(board, '/web/main.js', { headers: `If-None-Match: ${tag}\r\n` });
            assert.equal(got.status, status, tag);
            if (status === 304) {
                assert.equal(got.body, '', tag);
                assert.match(got.head, new RegExp(`\r\nETag: ${headers.etag}\r\n`, 'i'), tag);
                assert.match(got.head, /\r\ncontent-security-policy: /i, tag);
            }
        }
    });

    it('Page.OtherPathsAndTraversal_404WithoutFileContents', async () => {
        const paths = [
            '/index.html', '/web', '/web/', '/web/index.html', '/server.mjs', '/web.mjs', '/package.json',
            '/favicon.ico', '/web/main.js.map', '/WEB/main.js', '/web/Main.js', '//web/main.js', '/web//main.js',
            '/web/main.js/', '/./', '/web/./main.js',
            '/web/../server.mjs', '/..%2fserver.mjs', '/web/..%2fserver.mjs', '/%2e%2e/server.mjs',
            '/web/%2e%2e/server.mjs', '/web/%2E%2E%2Fserver.mjs', '/web%2fmain.js', '/web/main%2ejs',
            '/web\\..\\server.mjs', '/web/..%5cserver.mjs', '/web/main.js%00', '/%00', '/..', '/web/..',
            '/test/harness.mjs', '/node_modules/playwright-core/package.json', '/web/../package-lock.json',
        ];
        const secrets = [readFileSync(new URL('../server.mjs', import.meta.url), 'utf8').slice(0, 60), '"devDependencies"', 'import '];
        for (const path of paths) {
            const got = await rawGet(board, path);
            assert.equal(got.status, 404, path);
            for (const text of secrets) assert.ok(!got.body.includes(text), `${path} answered with file contents`);
        }
        // The POST API keeps its own answers to a GET.
        assert.equal((await rawGet(board, '/v1/lookup')).status, 405);
    });

    it('Page.OtherMethodOrABody_RefusedAndClosed', async () => {
        for (const method of ['POST', 'PUT', 'DELETE', 'PATCH', 'OPTIONS']) {
            for (const path of ['/', '/web/main.js']) {
                const got = await rawGet(board, path, { method, headers: 'Content-Length: 0\r\n' });
                assert.equal(got.status, 405, `${method} ${path}`);
                assert.match(got.head, /\r\nAllow: GET, HEAD\r\n/i, `${method} ${path}`);
            }
        }
        // A GET that claims a body is refused without reading it, and its connection closed.
        const declared = await board.rawExchange('GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100000\r\n\r\nxx');
        assert.match(declared.received, /^HTTP\/1\.1 400 /);
        assert.equal(declared.closed, true);
        assert.equal((await board.post('lookup', { id: '123456789' })).status, 200);
    });

    it('Page.FilesMissing_NothingServed', () => {
        const page = createPage(new URL('./no-such-folder/', import.meta.url).pathname);
        for (const { path } of PAGE_FILES) assert.equal(page.serves(path), false, path);
    });
});
