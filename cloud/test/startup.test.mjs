// Start-up: the port comes from KIVREN_PORT, and a port that cannot be used stops the script with
// a message instead of a silent hang.

import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { describe, it } from 'node:test';
import { fileURLToPath } from 'node:url';
import { startSwitchboard } from './harness.mjs';

const SCRIPT = fileURLToPath(new URL('../server.mjs', import.meta.url));

function runWithPort(port) {
    return spawnSync(process.execPath, [SCRIPT], { env: { ...process.env, KIVREN_PORT: port }, encoding: 'utf8', timeout: 10_000 });
}

describe('Switchboard start-up', () => {
    it('Port.Unusable_ExitsWithMessageAndNoListeningLine', async () => {
        const busy = await startSwitchboard();
        try {
            for (const port of ['abc', '-1', '70000', '1.5', String(busy.port)]) {
                const run = runWithPort(port);
                assert.notEqual(run.status, 0, port);
                assert.equal(run.stdout, '', port);
                assert.match(run.stderr, /KIVREN_PORT|cannot listen/, port);
            }
        } finally {
            await busy.stop();
        }
    });
});
