// Settings: each KIVREN_* variable reaches its setting, and a value that cannot be used is named.
// The real script's exit on such a value is in startup.test.mjs.

import assert from 'node:assert/strict';
import { describe, it } from 'node:test';
import { createSwitchboard } from '../server.mjs';
import { DEFAULT_SETTINGS, settingsFromEnvironment } from '../settings.mjs';

// [variable, setting, default]
const VARIABLES = [
    ['KIVREN_PORT', 'port', 17880],
    ['KIVREN_ONLINE_MS', 'onlineMs', 10_000],
    ['KIVREN_HOST_FORGET_MS', 'hostForgetMs', 3_600_000],
    ['KIVREN_VIEWER_IDLE_MS', 'viewerIdleMs', 30_000],
    ['KIVREN_HOST_IDLE_MS', 'hostIdleMs', 30_000],
    ['KIVREN_UNCLAIMED_MS', 'unclaimedMs', 60_000],
    ['KIVREN_COLLECTED_KEEP_MS', 'collectedKeepMs', 60_000],
    ['KIVREN_ENDED_KEEP_MS', 'endedKeepMs', 3_600_000],
    ['KIVREN_GUESS_LIMIT', 'guessLimit', 5],
    ['KIVREN_GUESS_WINDOW_MS', 'guessWindowMs', 60_000],
    ['KIVREN_GUESS_WAIT_MAX_MS', 'guessWaitMaxMs', 900_000],
    ['KIVREN_ID_GUESS_BURST', 'idGuessBurst', 30],
    ['KIVREN_ID_GUESS_REFILL_MS', 'idGuessRefillMs', 300_000],
    ['KIVREN_DEVICE_GUESS_BURST', 'deviceGuessBurst', 3],
    ['KIVREN_DEVICE_GUESS_REFILL_MS', 'deviceGuessRefillMs', 3_600_000],
    ['KIVREN_KNOWN_DEVICES_GUESS_BURST', 'knownDevicesGuessBurst', 10],
    ['KIVREN_KNOWN_DEVICES_GUESS_REFILL_MS', 'knownDevicesGuessRefillMs', 1_200_000],
    ['KIVREN_ADDRESS_GUESS_BURST', 'addressGuessBurst', 60],
    ['KIVREN_ADDRESS_GUESS_REFILL_MS', 'addressGuessRefillMs', 60_000],
    ['KIVREN_LOOKUP_BURST', 'lookupBurst', 60],
    ['KIVREN_LOOKUP_REFILL_MS', 'lookupRefillMs', 200],
    ['KIVREN_MAX_HOSTS', 'maxHosts', 1000],
    ['KIVREN_MAX_SESSIONS', 'maxSessions', 200],
    ['KIVREN_MAX_HOST_PENDING_SESSIONS', 'maxHostPendingSessions', 8],
    ['KIVREN_MAX_HOST_LIVE_SESSIONS', 'maxHostLiveSessions', 8],
    ['KIVREN_HOST_REGISTRATION_BURST', 'hostRegistrationBurst', 10],
    ['KIVREN_HOST_REGISTRATION_REFILL_MS', 'hostRegistrationRefillMs', 360_000],
    ['KIVREN_MAX_PUSH_BYTES', 'maxPushBytes', 16 * 1024 * 1024],
    ['KIVREN_KEPT_PICTURES', 'keptPictures', 1],
    ['KIVREN_MAX_QUEUED_MESSAGES', 'maxQueuedMessages', 256],
    ['KIVREN_MAX_QUEUED_BYTES', 'maxQueuedBytes', 1024 * 1024],
    ['KIVREN_MAX_QUEUED_TILE_FRAMES', 'maxQueuedTileFrames', 100],
    ['KIVREN_MAX_QUEUED_TILE_BYTES', 'maxQueuedTileBytes', 2 * 1024 * 1024],
    ['KIVREN_MAX_STORED_BYTES', 'maxStoredBytes', 48 * 1024 * 1024],
    ['KIVREN_MAX_HOST_STORED_BYTES', 'maxHostStoredBytes', 16 * 1024 * 1024],
    ['KIVREN_MAX_IN_FLIGHT_BYTES', 'maxInFlightBytes', 32 * 1024 * 1024],
    ['KIVREN_ANSWER_WRITE_TIMEOUT_MS', 'answerWriteTimeoutMs', 30_000],
    ['KIVREN_HEADERS_TIMEOUT_MS', 'headersTimeoutMs', 10_000],
    ['KIVREN_MIN_BODY_BYTES_PER_SECOND', 'minBodyBytesPerSecond', 2048],
    ['KIVREN_SLOW_BODY_GRACE_MS', 'slowBodyGraceMs', 5000],
    ['KIVREN_REQUEST_TIMEOUT_MS', 'requestTimeoutMs', 60_000],
    ['KIVREN_KEEP_ALIVE_TIMEOUT_MS', 'keepAliveTimeoutMs', 95_000],
    ['KIVREN_MAX_CONNECTIONS', 'maxConnections', 1024],
    ['KIVREN_MAX_WAIT_MS', 'maxWaitMs', 25_000],
    ['KIVREN_PEER_QUIET_LIMIT_MS', 'peerQuietLimitMs', 4000],
    ['KIVREN_MAX_HELD_PUSHES', 'maxHeldPushes', 2],
];

describe('Switchboard settings', () => {
    it('Environment.EachVariable_ReachesItsSettingAndNoOther', () => {
        const defaults = settingsFromEnvironment({ KIVREN_PORT: '' }).settings;
        for (const [variable, name, fallback] of VARIABLES) {
            assert.equal(defaults[name], fallback, `${variable} unset`);
            const { settings, error } = settingsFromEnvironment({ [variable]: '4096' });
            assert.equal(error, undefined, variable);
            assert.deepEqual({ ...settings }, { ...defaults, [name]: 4096 }, variable);
        }
        // Nothing is read that is not in the table above.
        assert.deepEqual(Object.keys(DEFAULT_SETTINGS).filter((name) => name !== 'now' && name !== 'hostKey').sort(),
            VARIABLES.map(([, name]) => name).sort());
    });

    it('Environment.UnusableValue_ErrorNamesTheVariable', () => {
        const cases = [
            [{ KIVREN_ONLINE_MS: '0' }, 'KIVREN_ONLINE_MS must be a whole number of at least 1'],
            [{ KIVREN_MAX_PUSH_BYTES: '1023' }, 'KIVREN_MAX_PUSH_BYTES must be a whole number of at least 1024'],
            [{ KIVREN_GUESS_LIMIT: '5x' }, 'KIVREN_GUESS_LIMIT must be a whole number of at least 1'],
            [{ KIVREN_MAX_HOSTS: ' 5' }, 'KIVREN_MAX_HOSTS must be a whole number of at least 1'],
            [{ KIVREN_MAX_SESSIONS: '9007199254740993' }, 'KIVREN_MAX_SESSIONS must be a whole number of at least 1'],
            [{ KIVREN_PORT: '65536' }, 'KIVREN_PORT must be a port number between 0 and 65535'],
        ];
        for (const [env, error] of cases) {
            assert.deepEqual(settingsFromEnvironment(env), { error }, JSON.stringify(env));
        }
    });

    it('Factory.MistakenSetting_Throws', () => {
        // A misspelt name would otherwise run the test or caller on the default without a word.
        assert.throws(() => createSwitchboard({ onlineMillis: 5 }), TypeError);
        assert.throws(() => createSwitchboard({ now: 5 }), TypeError);
        assert.throws(() => createSwitchboard({ maxPushBytes: 1023 }), RangeError);
        assert.throws(() => createSwitchboard({ port: 65536 }), RangeError);
        assert.throws(() => createSwitchboard({ onlineMs: 1.5 }), RangeError);
        assert.equal(createSwitchboard({ port: 0, now: () => 1 }).settings.port, 0);
    });
});
