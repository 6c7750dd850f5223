// Telling this machine's own requests from those that came through the tunnel. The tunnel
// client connects from loopback too, so the socket address alone proves nothing.

// Headers a tunnel or proxy adds: a request carrying any of them did not come straight from this
// machine, whatever its socket address says.
const FORWARDING_HEADERS = [
    'forwarded', 'x-forwarded-for', 'x-forwarded-host', 'x-forwarded-proto', 'x-real-ip',
    'cf-connecting-ip', 'cf-ray', 'cf-visitor', 'cdn-loop', 'true-client-ip', 'x-client-ip',
];
const LOOPBACK_ADDRESSES = new Set(['127.0.0.1', '::1', '::ffff:127.0.0.1']);
const LOOPBACK_HOST_HEADER = /^(127\.0\.0\.1|localhost|\[::1\])(:[0-9]{1,5})?$/i;

export function isDirectLoopback(request) {
    if (!LOOPBACK_ADDRESSES.has(request.socket.remoteAddress)) return false;
    if (FORWARDING_HEADERS.some((name) => request.headers[name] !== undefined)) return false;
    // A tunnel passes the public host name along; only this machine addresses us by loopback.
    return LOOPBACK_HOST_HEADER.test(request.headers.host ?? '');
}
