// The crypto libraries the page imports, as the switchboard serves them from the installed
// packages: exactly the modules the page's code reaches, each import rewritten to a path that is
// served (a browser cannot resolve the packages' bare names without an import map, which the
// page's policy forbids), the code otherwise as the package ships it; and nothing at all when a
// library imports something that is not served.

import assert from 'node:assert/strict';
import { cpSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, before, describe, it } from 'node:test';
import { fileURLToPath } from 'node:url';
import { LIBRARY_FILES, LIBRARY_IMPORTS, PAGE_FILES, createPage } from '../web.mjs';
import { startSwitchboard } from './harness.mjs';

const LIBRARY_FOLDER = new URL('../node_modules/', import.meta.url);
const STATEMENT = /^\s*(?:import|export)\s[^'";]*?\bfrom\s*(['"])([^'"]+)\1|^\s*import\s*(['"])([^'"]+)\3/gm;
const importsOf = (text) => [...text.matchAll(STATEMENT)].map((match) => match[2] ?? match[4]);

describe('Page libraries', () => {
    let board;
    before(async () => { board = await startSwitchboard(); });
    after(async () => { await board.stop(); });

    const get = (target) => board.request(target, undefined, { method: 'GET' });

    it('PageLibraries.ModuleGraph_ExactlyTheServedLibraryFiles', async () => {
        // Every module the browser would load from the page's scripts, followed through what the
        // switchboard actually serves.
        const pending = PAGE_FILES.filter(({ type }) => type.startsWith('text/javascript')).map(({ path }) => path);
        const reached = new Set();
        while (pending.length > 0) {
            const target = pending.pop();
            if (reached.has(target)) continue;
            reached.add(target);
            const got = await get(target);
            assert.equal(got.status, 200, `${target} is imported but not served`);
            assert.equal(got.headers['content-type'], 'text/javascript; charset=utf-8', target);
            for (const specifier of importsOf(got.body)) {
                assert.match(specifier, /^(\.\.?\/|\/node_modules\/)/, `${target} imports a bare name: ${specifier}`);
                pending.push(new URL(specifier, `http://page${target}`).pathname);
            }
        }
        const libraries = [...reached].filter((target) => target.startsWith('/node_modules/')).sort();
        assert.deepEqual(libraries, LIBRARY_FILES.map(({ path: served }) => served).sort());
    });

    it('PageLibraries.ServedText_ThePackagesCodeWithOnlyItsBareImportsRewritten', async () => {
        for (const { path: served, file } of LIBRARY_FILES) {
            const original = readFileSync(new URL(file, LIBRARY_FOLDER), 'utf8');
            let restored = (await get(served)).body;
            for (const [bare, target] of Object.entries(LIBRARY_IMPORTS)) {
                restored = restored.replaceAll(`from '${target}'`, `from '${bare}'`).replaceAll(`from "${target}"`, `from "${bare}"`);
            }
            assert.equal(restored, original, served);
        }
    });

    it('PageLibraries.RestOfThePackages_NotServed', async () => {
        const paths = [
            '/node_modules/@noble/curves/esm/p256.js', '/node_modules/@noble/curves/package.json',
            '/node_modules/@noble/curves/ed25519.js', '/node_modules/@noble/hashes/esm/cryptoNode.js',
            '/node_modules/@noble/ciphers/esm/chacha.js.map', '/node_modules/@noble/hashes/esm/../package.json',
            '/node_modules/%40noble/hashes/esm/sha2.js', '/web/../node_modules/@noble/hashes/esm/sha2.js',
        ];
        for (const target of paths) assert.equal((await board.rawExchange(`GET ${target} HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n`)).received.split(' ')[1], '404', target);
    });

    it('PageLibraries.ImportOfAModuleNotServed_NothingServed', () => {
        const cases = [
            ['UnknownBareName', "import { sha3_256 } from '@noble/hashes/sha3.js';\n"],
            ['RelativeFileNotServed', "import { weierstrass } from './abstract/weierstrass.js';\n"],
            ['SideEffectImport', "import '@noble/hashes/legacy.js';\n"],
        ];
        for (const [name, line] of cases) {
            const folder = mkdtempSync(path.join(os.tmpdir(), 'kivren-libraries-'));
            try {
                cpSync(fileURLToPath(new URL('@noble', LIBRARY_FOLDER)), path.join(folder, '@noble'), { recursive: true });
                const changed = path.join(folder, '@noble/curves/esm/ed25519.js');
                writeFileSync(changed, line + readFileSync(changed, 'utf8'));
                const page = createPage(undefined, `${folder}/`);
                assert.equal(page.serves('/'), false, name);
                assert.equal(page.serves('/node_modules/@noble/hashes/esm/sha2.js'), false, name);
            } finally {
                rmSync(folder, { recursive: true, force: true });
            }
        }
        assert.equal(createPage().serves('/'), true);
    });
});
