// The switchboard's settings: read once, with their units in their names.
//
// Run as a program, the switchboard takes them from KIVREN_* environment variables, which is how
// the app sets the port and how a test can shorten a time limit for a real process. In the same
// process, `createSwitchboard` takes them directly, together with a clock, so that a test can move
// time forward instead of waiting for it.

import { HOST_KEY_PATTERN } from './local-host.mjs';

export const LISTEN_ADDRESS = '127.0.0.1';
// The per-launch key of the app that started this process: the one proof that a request comes
// from this machine's own host. A secret: its value is never printed, not even when it is wrong.
export const HOST_KEY_VARIABLE = 'KIVREN_HOST_KEY';
export const DEFAULT_PORT = 17880;
export const MAX_PORT = 65535;

// Every setting read from the environment: its variable, its value when the variable is unset or
// empty, and the smallest value accepted.
const DEFINITIONS = Object.freeze({
    port: { variable: 'KIVREN_PORT', fallback: DEFAULT_PORT, minimum: 0 },
    // A host counts as online while its last heartbeat is this recent.
    onlineMs: { variable: 'KIVREN_ONLINE_MS', fallback: 10_000 },
    // A host that neither registers nor heartbeats for this long is forgotten, releasing its ID.
    hostForgetMs: { variable: 'KIVREN_HOST_FORGET_MS', fallback: 3_600_000 },
    // A viewer that stops polling for this long has gone; its host is told to close.
    viewerIdleMs: { variable: 'KIVREN_VIEWER_IDLE_MS', fallback: 30_000 },
    // A host that stops polling its claimed session for this long has gone; the viewer is told.
    hostIdleMs: { variable: 'KIVREN_HOST_IDLE_MS', fallback: 30_000 },
    // A session no host has claimed by then is given up.
    unclaimedMs: { variable: 'KIVREN_UNCLAIMED_MS', fallback: 60_000 },
    // An ended session is kept this long after its host collected the close message, so that a
    // host whose poll answer got lost still sees the close on its next poll.
    collectedKeepMs: { variable: 'KIVREN_COLLECTED_KEEP_MS', fallback: 60_000 },
    // An ended session whose host never collected the close (a sleeping Mac) is kept this long.
    endedKeepMs: { variable: 'KIVREN_ENDED_KEEP_MS', fallback: 3_600_000 },
    // Password guesses (guesses.mjs; the README's security section has the numbers). From one
    // client address, against one host: at most guessLimit wrong guesses in guessWindowMs; past
    // twice that many, each further one doubles the wait, from guessWindowMs to guessWaitMaxMs.
    guessLimit: { variable: 'KIVREN_GUESS_LIMIT', fallback: 5 },
    guessWindowMs: { variable: 'KIVREN_GUESS_WINDOW_MS', fallback: 60_000 },
    guessWaitMaxMs: { variable: 'KIVREN_GUESS_WAIT_MAX_MS', fallback: 15 * 60_000 },
    // Against one host from all addresses together: this many wrong guesses, then one more per
    // refill, however many addresses take part.
    idGuessBurst: { variable: 'KIVREN_ID_GUESS_BURST', fallback: 30 },
    idGuessRefillMs: { variable: 'KIVREN_ID_GUESS_REFILL_MS', fallback: 5 * 60_000 },
    // Viewers that connected before hold a device token for the host (device-tokens.mjs): their
    // guesses are not taken from the host's bucket above, which a swarm of addresses can keep
    // empty, but from one of their own, and from one that all device tokens of the host share.
    // One token's own refills slower than the shared one, so that no single leaked token can
    // keep the others out.
    deviceGuessBurst: { variable: 'KIVREN_DEVICE_GUESS_BURST', fallback: 3 },
    deviceGuessRefillMs: { variable: 'KIVREN_DEVICE_GUESS_REFILL_MS', fallback: 60 * 60_000 },
    knownDevicesGuessBurst: { variable: 'KIVREN_KNOWN_DEVICES_GUESS_BURST', fallback: 10 },
    knownDevicesGuessRefillMs: { variable: 'KIVREN_KNOWN_DEVICES_GUESS_REFILL_MS', fallback: 20 * 60_000 },
    // From one client address against all hosts together.
    addressGuessBurst: { variable: 'KIVREN_ADDRESS_GUESS_BURST', fallback: 60 },
    addressGuessRefillMs: { variable: 'KIVREN_ADDRESS_GUESS_REFILL_MS', fallback: 60_000 },
    // Lookups (and connects, whose answer also tells whether an ID exists) per client address.
    lookupBurst: { variable: 'KIVREN_LOOKUP_BURST', fallback: 60 },
    lookupRefillMs: { variable: 'KIVREN_LOOKUP_REFILL_MS', fallback: 200 },
    // Hosts registered from outside (this machine's own host, proven by its key, always has its
    // place besides), and the sessions of those hosts together (this machine's host has as many
    // again of its own).
    maxHosts: { variable: 'KIVREN_MAX_HOSTS', fallback: 1000 },
    maxSessions: { variable: 'KIVREN_MAX_SESSIONS', fallback: 200 },
    // Each host's sessions that no host has claimed yet, and those claimed and still open: a
    // viewer past them is refused for that host alone, never for the others.
    maxHostPendingSessions: { variable: 'KIVREN_MAX_HOST_PENDING_SESSIONS', fallback: 8 },
    maxHostLiveSessions: { variable: 'KIVREN_MAX_HOST_LIVE_SESSIONS', fallback: 8 },
    // New host IDs one client address may register: this many, then one more per refill.
    hostRegistrationBurst: { variable: 'KIVREN_HOST_REGISTRATION_BURST', fallback: 10 },
    hostRegistrationRefillMs: { variable: 'KIVREN_HOST_REGISTRATION_REFILL_MS', fallback: 6 * 60_000 },
    // Room for a 4K JPEG in base64 inside a push; every other request is small.
    maxPushBytes: { variable: 'KIVREN_MAX_PUSH_BYTES', fallback: 16 * 1024 * 1024, minimum: 1024 },
    // Pictures are replaced, not queued: the viewer shows only the last picture of an answer, so
    // an older one (and the tiles that built on it) would only cost a slow link its bandwidth and
    // the viewer a decode.
    keptPictures: { variable: 'KIVREN_KEPT_PICTURES', fallback: 1 },
    // Structured messages are queued until read; past these bounds a push is refused (429)
    // rather than dropping an older message, so a sender learns that its message was not taken
    // and no half-delivered sequence (a button press without its release) reaches the reader.
    maxQueuedMessages: { variable: 'KIVREN_MAX_QUEUED_MESSAGES', fallback: 256 },
    maxQueuedBytes: { variable: 'KIVREN_MAX_QUEUED_BYTES', fallback: 1024 * 1024 },
    // The changed areas the host sends a viewer that takes them are kept from the last whole
    // picture on, since each builds on the ones before; past these bounds (a viewer that fell
    // behind) a tiles push is refused (429) and the host sends a whole picture, which replaces
    // them all and costs the slow link less than the changes piled up.
    maxQueuedTileFrames: { variable: 'KIVREN_MAX_QUEUED_TILE_FRAMES', fallback: 100 },
    maxQueuedTileBytes: { variable: 'KIVREN_MAX_QUEUED_TILE_BYTES', fallback: 2 * 1024 * 1024 },
    // Everything the sessions of hosts registered from outside hold together, frames waiting and
    // answers their readers have not taken yet; past it their pushes are refused (503) until
    // readers catch up, whatever the number of sessions and the size of their pictures.
    maxStoredBytes: { variable: 'KIVREN_MAX_STORED_BYTES', fallback: 48 * 1024 * 1024 },
    // One host's share of it, so that one busy host cannot take every other host's room. This
    // machine's own host has a share of this size too, kept for it alone.
    maxHostStoredBytes: { variable: 'KIVREN_MAX_HOST_STORED_BYTES', fallback: 16 * 1024 * 1024 },
    // Request bodies being read, all connections together (past a small head that every body
    // may hold, counted apart); a body that would go past it is refused (503). Three quarters of
    // it are all that bodies whose session is not checked yet may hold (a push whose session
    // comes after its payload, and every other path's body), one client address at most one
    // maxPushBytes of that; one host's checked pushes at most one maxPushBytes. This machine's
    // host has one maxPushBytes of its own besides. With the stored bytes and about 50 MB of
    // node itself, the service stays well under 250 MB.
    maxInFlightBytes: { variable: 'KIVREN_MAX_IN_FLIGHT_BYTES', fallback: 32 * 1024 * 1024 },
    // An answer the reader's connection has not taken within this long is cut off with its
    // connection, and what it held is let go.
    answerWriteTimeoutMs: { variable: 'KIVREN_ANSWER_WRITE_TIMEOUT_MS', fallback: 30_000 },
    headersTimeoutMs: { variable: 'KIVREN_HEADERS_TIMEOUT_MS', fallback: 10_000 },
    // A body must keep coming at this rate on average, once its first grace period has passed;
    // one that trickles slower is refused (408) and its connection closed, so that a few bytes
    // now and then cannot hold a connection and what its body has cost for the whole request
    // deadline. A picture from a phone on a poor link arrives far faster.
    minBodyBytesPerSecond: { variable: 'KIVREN_MIN_BODY_BYTES_PER_SECOND', fallback: 2048 },
    slowBodyGraceMs: { variable: 'KIVREN_SLOW_BODY_GRACE_MS', fallback: 5000 },
    requestTimeoutMs: { variable: 'KIVREN_REQUEST_TIMEOUT_MS', fallback: 60_000 },
    // Longer than the idle time of tunnel clients' connection pools, so the service never closes
    // a pooled connection just as a request is sent on it.
    keepAliveTimeoutMs: { variable: 'KIVREN_KEEP_ALIVE_TIMEOUT_MS', fallback: 95_000 },
    // Past fifteen sixteenths of it, each new connection sheds the one that has gone longest
    // without an exchange (connections.mjs).
    maxConnections: { variable: 'KIVREN_MAX_CONNECTIONS', fallback: 1024 },
    // The longest a poll or a push that names "waitMs" is held before it is answered (announced
    // to viewers and hosts as "maxWaitMs"). A tunnel's edge gives up on a request it has waited
    // 100 s for (Cloudflare answers 524), and quick tunnels buffer answers that trickle, so a held
    // answer is one answer, well within that.
    maxWaitMs: { variable: 'KIVREN_MAX_WAIT_MS', fallback: 25_000 },
    // The other side of a session counts as quiet once it has sent nothing for longer than this:
    // a held poll is then answered at once, so that its poller can say that the other computer is
    // not answering. Above the host's heartbeat period (3 s), so a host that is only idle never
    // looks quiet.
    peerQuietLimitMs: { variable: 'KIVREN_PEER_QUIET_LIMIT_MS', fallback: 4000 },
    // Pushes of one side of a session held until the other side takes their frames: enough for a
    // host that keeps one picture on its way while the next is sent; a further one answers the
    // oldest at once.
    maxHeldPushes: { variable: 'KIVREN_MAX_HELD_PUSHES', fallback: 2 },
});

const minimumOf = (definition) => definition.minimum ?? 1;

/** Every setting at its default, and the system clock. */
export const DEFAULT_SETTINGS = Object.freeze({
    ...Object.fromEntries(Object.entries(DEFINITIONS).map(([name, { fallback }]) => [name, fallback])),
    // Milliseconds on a clock that only moves forward in the switchboard's eyes; every expiry is
    // measured on it.
    now: Date.now,
    // 64 lowercase hex digits, or '' when no app started this switchboard: then no request is
    // taken for the local host's.
    hostKey: '',
});

/**
 * Settings from KIVREN_* variables: { settings } or, for the first variable that is not a whole
 * number in range, { error } with a line that names it.
 */
export function settingsFromEnvironment(env) {
    const values = {};
    for (const [name, definition] of Object.entries(DEFINITIONS)) {
        const raw = env[definition.variable];
        if (raw === undefined || raw === '') continue;
        const minimum = minimumOf(definition);
        if (!/^[0-9]+$/.test(raw) || Number(raw) < minimum || !Number.isSafeInteger(Number(raw))) {
            return { error: `${definition.variable} must be a whole number of at least ${minimum}` };
        }
        values[name] = Number(raw);
    }
    if (values.port > MAX_PORT) return { error: `KIVREN_PORT must be a port number between 0 and ${MAX_PORT}` };
    const hostKey = env[HOST_KEY_VARIABLE];
    if (hostKey !== undefined && hostKey !== '') {
        if (!HOST_KEY_PATTERN.test(hostKey)) return { error: `${HOST_KEY_VARIABLE} must be 64 lowercase hexadecimal digits` };
        values.hostKey = hostKey;
    }
    return { settings: completeSettings(values) };
}

/**
 * The given settings over the defaults. A name that is no setting, or a value out of range, is a
 * mistake in the caller's code and throws, rather than silently running with the default.
 */
export function completeSettings(given = {}) {
    for (const [name, value] of Object.entries(given)) {
        if (name === 'now') {
            if (typeof value !== 'function') throw new TypeError('the setting "now" must be a function');
            continue;
        }
        if (name === 'hostKey') {
            if (typeof value !== 'string' || (value !== '' && !HOST_KEY_PATTERN.test(value))) {
                throw new TypeError('the setting "hostKey" must be 64 lowercase hexadecimal digits or empty');
            }
            continue;
        }
        if (!Object.hasOwn(DEFINITIONS, name)) throw new TypeError(`no switchboard setting is named "${name}"`);
        const definition = DEFINITIONS[name];
        const maximum = name === 'port' ? MAX_PORT : Number.MAX_SAFE_INTEGER;
        if (!Number.isSafeInteger(value) || value < minimumOf(definition) || value > maximum) {
            throw new RangeError(`the setting "${name}" must be a whole number from ${minimumOf(definition)} to ${maximum}`);
        }
    }
    return Object.freeze({ ...DEFAULT_SETTINGS, ...given });
}
