// Telling this machine's own requests from those that came through the tunnel, and from those a
// web page in this machine's browser sends. The tunnel client connects from loopback too, so the
// socket address alone proves nothing; neither does it against a page, whose browser is local.

import { refuse } from './refusal.mjs';

// Headers a tunnel or proxy adds: a request carrying any of them did not come straight from this
// machine, whatever its socket address says.
const FORWARDING_HEADERS = [
    'forwarded', 'x-forwarded-for', 'x-forwarded-host', 'x-forwarded-proto', 'x-forwarded-server',
    'x-real-ip', 'x-original-host', 'via',
    'cf-connecting-ip', 'cf-ray', 'cf-visitor', 'cdn-loop', 'true-client-ip', 'x-client-ip',
];
const LOOPBACK_ADDRESSES = new Set(['127.0.0.1', '::1', '::ffff:127.0.0.1']);
const LOOPBACK_HOST_HEADER = /^(127\.0\.0\.1|localhost|\[::1\])(:[0-9]{1,5})?$/i;
// What a browser says of a request a page of the same origin made, or one the user typed.
const OWN_FETCH_SITES = new Set(['none', 'same-origin']);
const JSON_MEDIA_TYPE = 'application/json';
const OTHER_SITE = 'Requests from other sites are refused';

export function isDirectLoopback(request) {
    if (!LOOPBACK_ADDRESSES.has(request.socket.remoteAddress)) return false;
    if (FORWARDING_HEADERS.some((name) => request.headers[name] !== undefined)) return false;
    // A tunnel passes the public host name along; only this machine addresses us by loopback.
    return LOOPBACK_HOST_HEADER.test(request.headers.host ?? '');
}

/** Does the request carry the Host header more than once? Such a request is never answered. */
export function hasRepeatedHost(request) {
    let seen = 0;
    const raw = request.rawHeaders;
    for (let i = 0; i < raw.length; i += 2) {
        if (raw[i].length === 4 && raw[i].toLowerCase() === 'host') seen += 1;
    }
    return seen > 1;
}

/**
 * Is the body sent as JSON? A web page can send JSON to another site only after the browser has
 * asked that site and been told yes, which this switchboard never says; a form, or a fetch of
 * text, needs no such leave. Every call this service takes is sent as JSON by every peer.
 */
export function isSentAsJson(request) {
    const type = (request.headers['content-type'] ?? '').split(';', 1)[0].trim().toLowerCase();
    return type === JSON_MEDIA_TYPE;
}

/**
 * For calls only this machine may make: refuses a request that a web page on another site made
 * (a browser names the page's origin and the site relation).
 */
export function refuseUnlessOwnPage(request) {
    const site = request.headers['sec-fetch-site'];
    if (site !== undefined && !OWN_FETCH_SITES.has(site.toLowerCase())) refuse(403, OTHER_SITE);
    const origin = request.headers.origin;
    if (origin !== undefined && origin !== `http://${request.headers.host}`) refuse(403, OTHER_SITE);
}
