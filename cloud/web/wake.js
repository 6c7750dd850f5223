// A phone that sleeps stops the page: its poll fails or stalls while the screen is off, and the
// network may take a few seconds to come back after it wakes. A poll failure that comes from that
// is no reason to end the session: the viewer waits until the page is seen again and polls again,
// and the switchboard's answer then says whether the session is still open or has ended. Only
// network failures count, and only while the page is hidden or shortly after it was.

import { RequestFailure } from './switchboard.js';

// After the page is seen again, failed polls are tried again for this long.
export const WAKE_GRACE_MS = 15_000;
// The pause between tries once the page is seen.
const RETRY_PAUSE_MS = 1000;

const pageHidden = () => typeof document !== 'undefined' && document.hidden;
// When the page was last seen again after being hidden or frozen.
let wokeAt = -Infinity;
if (typeof document !== 'undefined') {
    const woke = () => {
        if (!document.hidden) wokeAt = performance.now();
    };
    document.addEventListener('visibilitychange', woke);
    document.addEventListener('resume', woke);
}

/** Whether a failed poll may be put down to the page having slept. */
export function mayResume(failure) {
    return failure instanceof RequestFailure && failure.code === 0 && !failure.cancelled
        && (pageHidden() || performance.now() - wokeAt <= WAKE_GRACE_MS);
}

/** Resolves once the page is seen and a short pause has passed, or when `signal` aborts. */
export function untilAwake(signal) {
    return new Promise((resolve) => {
        let timer = 0;
        const finish = () => {
            clearTimeout(timer);
            document.removeEventListener('visibilitychange', seen);
            signal.removeEventListener('abort', finish);
            resolve();
        };
        const seen = () => {
            if (pageHidden()) return;
            document.removeEventListener('visibilitychange', seen);
            timer = setTimeout(finish, RETRY_PAUSE_MS);
        };
        signal.addEventListener('abort', finish, { once: true });
        document.addEventListener('visibilitychange', seen);
        seen();
    });
}
