// Start-up: the settings come from KIVREN_* variables, a value that cannot be used stops the script
// with a message instead of a silent hang, and only running the script starts a server.

import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { mkdtempSync, rmSync, symlinkSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { describe, it } from 'node:test';
import { pathToFileURL } from 'node:url';
import { SCRIPT, startSwitchboard } from './harness.mjs';

function run(args, env) {
    return spawnSync(process.execPath, args, { env: { ...process.env, ...env }, encoding: 'utf8', timeout: 10_000 });
}

describe('Switchboard start-up', () => {
    it('Port.Unusable_ExitsWithMessageAndNoListeningLine', async () => {
        const busy = await startSwitchboard();
        try {
            const cases = [
                // [environment, exit status, message]
                [{ KIVREN_PORT: 'abc' }, 2, /^KIVREN_PORT must be a whole number of at least 0\n$/],
                [{ KIVREN_PORT: '-1' }, 2, /^KIVREN_PORT must be a whole number/],
                [{ KIVREN_PORT: '70000' }, 2, /^KIVREN_PORT must be a port number between 0 and 65535\n$/],
                [{ KIVREN_PORT: '1.5' }, 2, /^KIVREN_PORT must be a whole number/],
                [{ KIVREN_PORT: '0', KIVREN_ONLINE_MS: '0' }, 2, /^KIVREN_ONLINE_MS must be a whole number of at least 1\n$/],
                [{ KIVREN_PORT: String(busy.port) }, 1, /^switchboard cannot listen on 127\.0\.0\.1:\d+: EADDRINUSE\n$/],
            ];
            for (const [env, status, message] of cases) {
                const what = JSON.stringify(env);
                const result = run([SCRIPT], env);
                assert.equal(result.status, status, what);
                assert.equal(result.stdout, '', what);
                assert.match(result.stderr, message, what);
            }
        } finally {
            await busy.stop();
        }
    });

    it('Import.AsModule_StartsNothing', () => {
        // A server started on import would print its line and keep the process alive.
        const source = `const { createSwitchboard } = await import(${JSON.stringify(pathToFileURL(SCRIPT).href)});
            if (typeof createSwitchboard !== 'function') process.exit(3);`;
        const result = run(['--input-type=module', '-e', source], { KIVREN_PORT: '0' });
        assert.equal(result.status, 0, result.stderr);
        assert.equal(result.stdout, '');
    });

    it('Start.ScriptNamedThroughLinkOrDotDot_Listens', async () => {
        const folder = mkdtempSync(path.join(os.tmpdir(), 'switchboard-'));
        try {
            const link = path.join(folder, 'server.mjs');
            symlinkSync(SCRIPT, link);
            const dotDot = path.join(path.dirname(SCRIPT), '..', path.basename(path.dirname(SCRIPT)), 'server.mjs');
            for (const script of [link, dotDot]) {
                const board = await startSwitchboard({}, script);
                try {
                    assert.equal((await board.post('lookup', { id: '123456789' })).status, 200, script);
                } finally {
                    await board.stop();
                }
            }
        } finally {
            rmSync(folder, { recursive: true, force: true });
        }
    });
});
