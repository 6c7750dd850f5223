// Requests to the switchboard that served this page: a JSON object POSTed to /v1/<path>, its
// answer as text, and failures as values with the same readable descriptions the desktop app
// shows.

const PATH_PREFIX = '/v1/';
// A request fails when nothing more of it arrives for this long: a picture still coming in over
// a slow link is not cut off, a connection that has gone quiet is.
export const STALL_LIMIT_MS = 12_000;

export const DESCRIPTION = Object.freeze({
    timedOut: 'The request timed out.',
    cannotConnect: 'Could not connect to the server.',
    connectionLost: 'The network connection was lost.',
});

/** A failed request: `code` is the HTTP status of a refusal, 0 for a network failure. */
export class RequestFailure {
    constructor(code, description, { cancelled = false } = {}) {
        this.code = code;
        this.description = description;
        this.cancelled = cancelled;
    }
}

/** What a refusal says: the answer's "error" text, else "HTTP" and the status. */
export function refusalDescription(status, text) {
    const answer = parseObject(text);
    return typeof answer.error === 'string' ? answer.error : `HTTP ${status}`;
}

/** The answer as an object; an answer that is not a JSON object reads as an empty one. */
export function parseObject(text) {
    let value;
    try {
        value = JSON.parse(text);
    } catch {
        return {};
    }
    return value !== null && typeof value === 'object' && !Array.isArray(value) ? value : {};
}

/**
 * POSTs `body` (an object, or JSON text already written) and resolves with the answer's text.
 * Rejects with a RequestFailure: a refusal (status 400 or more), a network failure, a stall, or
 * `signal` aborting it (then `cancelled` is set and nothing should be shown). A request the
 * switchboard may hold (a long poll) names how long nothing may arrive, its wait included.
 */
export async function postText(path, body, { signal, stallLimitMs = STALL_LIMIT_MS } = {}) {
    const controller = new AbortController();
    let stalled = false;
    let timer = 0;
    const progress = () => {
        clearTimeout(timer);
        timer = setTimeout(() => { stalled = true; controller.abort(); }, stallLimitMs);
    };
    const cancel = () => controller.abort();
    if (signal?.aborted) throw new RequestFailure(0, 'cancelled', { cancelled: true });
    signal?.addEventListener('abort', cancel);
    const failure = (fallback) => (signal?.aborted ? new RequestFailure(0, 'cancelled', { cancelled: true })
        : new RequestFailure(0, stalled ? DESCRIPTION.timedOut : fallback));

    progress();
    try {
        let response;
        try {
            response = await fetch(PATH_PREFIX + path, {
                method: 'POST',
                headers: { 'Content-Type': 'application/json' },
                body: typeof body === 'string' ? body : JSON.stringify(body),
                cache: 'no-store',
                signal: controller.signal,
            });
        } catch {
            throw failure(DESCRIPTION.cannotConnect);
        }
        let text;
        try {
            text = await readText(response, progress);
        } catch {
            throw failure(DESCRIPTION.connectionLost);
        }
        if (response.status >= 400) throw new RequestFailure(response.status, refusalDescription(response.status, text));
        return text;
    } finally {
        clearTimeout(timer);
        signal?.removeEventListener('abort', cancel);
    }
}

/** Like postText, with the answer read as an object. */
export async function post(path, body, options) {
    return parseObject(await postText(path, body, options));
}

/** The body as text, noting progress with every piece that arrives. */
async function readText(response, progress) {
    progress();
    if (response.body === null) return '';
    const reader = response.body.getReader();
    const decoder = new TextDecoder();
    let text = '';
    for (;;) {
        const { done, value } = await reader.read();
        if (done) return text + decoder.decode();
        progress();
        text += decoder.decode(value, { stream: true });
    }
}

/**
 * Sends a request that must leave even as the page goes away (the session's close on pagehide):
 * a keepalive fetch, or a beacon where that is refused. Nothing waits for its answer.
 */
export function postAsPageLeaves(path, body) {
    const text = JSON.stringify(body);
    try {
        fetch(PATH_PREFIX + path, {
            method: 'POST',
            headers: { 'Content-Type': 'application/json' },
            body: text,
            keepalive: true,
            cache: 'no-store',
        }).catch(() => {});
    } catch {
        // The switchboard takes only JSON bodies; a beacon's text would go as text/plain.
        navigator.sendBeacon?.(PATH_PREFIX + path, new Blob([text], { type: 'application/json' }));
    }
}
