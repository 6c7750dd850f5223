// The address a request came from, as a key for rate limits. Behind the tunnel every connection
// comes from loopback, so the address is named by a header, and only the tunnel this machine
// started can vouch for one: Cloudflare sets CF-Connecting-IP itself, and the ssh service appends
// the address it saw to X-Forwarded-For, so its last entry is the one a client cannot choose. The
// switchboard learns which tunnel it is from the origin this machine's host tells it; with none
// known, no header is believed, since any client could have written it. The key only ever splits
// a budget among clients; it never grants trust (that is loopback.mjs's business).

import net from 'node:net';

const MAX_ADDRESS_LENGTH = 64;
// Requests that name no client at all: this machine's own, or any when no tunnel is known.
export const UNNAMED_CLIENT = 'unnamed';
// The key of clients whose tunnel header names no address.
export const UNREADABLE_CLIENT = 'unreadable';

// The tunnels a host of this app starts, by what their public origins end with, and the header
// each sets.
export const TUNNEL = Object.freeze({ none: 'none', cloudflare: 'cloudflare', ssh: 'ssh' });
const TUNNEL_DOMAINS = [['.trycloudflare.com', TUNNEL.cloudflare], ['.pinggy.link', TUNNEL.ssh]];

/** Which tunnel publishes an origin of this host name: the one that prints such origins, or none. */
export function tunnelOf(hostname) {
    const name = hostname.toLowerCase();
    return TUNNEL_DOMAINS.find(([domain]) => name.endsWith(domain))?.[1] ?? TUNNEL.none;
}

/**
 * A key for the client of this request, as the given tunnel names it: its address, an IPv6
 * address by its /64 network; UNNAMED_CLIENT when nothing names it.
 */
export function clientKey(request, tunnel) {
    const headers = request.headers;
    const named = tunnel === TUNNEL.cloudflare ? single(headers['cf-connecting-ip'])
        : tunnel === TUNNEL.ssh ? lastListed(headers['x-forwarded-for'])
            : undefined;
    if (named !== undefined) return addressKey(named) ?? UNREADABLE_CLIENT;
    const socketAddress = request.socket.remoteAddress ?? '';
    return net.isIP(socketAddress) && !isLoopback(socketAddress) ? addressKey(socketAddress) : UNNAMED_CLIENT;
}

function single(value) {
    if (typeof value !== 'string') return undefined;
    const text = value.trim();
    return text === '' ? undefined : text;
}

function lastListed(value) {
    if (typeof value !== 'string') return undefined;
    const entries = value.split(',').map((entry) => entry.trim()).filter((entry) => entry !== '');
    return entries.length > 0 ? entries[entries.length - 1] : undefined;
}

function isLoopback(address) {
    return address === '127.0.0.1' || address === '::1' || address === '::ffff:127.0.0.1';
}

/**
 * One key per IPv4 address and per IPv6 /64 (a single subscriber commonly holds a whole /64, so
 * counting its addresses one by one would hand it 2^64 budgets). Null for text that is no address.
 */
export function addressKey(text) {
    if (text.length > MAX_ADDRESS_LENGTH) return null;
    let address = text;
    // "[2001:db8::1]:443" and "203.0.113.9:443": a port some proxies add.
    const bracketed = /^\[([^\]]+)\](?::\d+)?$/.exec(address);
    if (bracketed) address = bracketed[1];
    else if (/^[0-9.]+:\d+$/.test(address)) address = address.slice(0, address.lastIndexOf(':'));
    const version = net.isIP(address);
    if (version === 4) return address;
    if (version !== 6) return null;
    const mapped = /^::ffff:([0-9.]+)$/i.exec(address);
    if (mapped && net.isIPv4(mapped[1])) return mapped[1];
    return `${expandIpv6(address).slice(0, 4).join(':')}::/64`;
}

/** The eight groups of an IPv6 address, lower case and without leading zeros. */
function expandIpv6(address) {
    let text = address.toLowerCase().split('%')[0];
    // A trailing dotted quad stands for the last two groups.
    const quad = /(\d+)\.(\d+)\.(\d+)\.(\d+)$/.exec(text);
    if (quad) {
        const [a, b, c, d] = quad.slice(1).map(Number);
        text = `${text.slice(0, quad.index)}${((a << 8) | b).toString(16)}:${((c << 8) | d).toString(16)}`;
    }
    const [head, tail] = text.includes('::') ? text.split('::') : [text, undefined];
    const headGroups = head === '' ? [] : head.split(':');
    const tailGroups = tail === undefined || tail === '' ? [] : tail.split(':');
    const zeros = tail === undefined ? [] : Array(8 - headGroups.length - tailGroups.length).fill('0');
    return [...headGroups, ...zeros, ...tailGroups].map((group) => Number.parseInt(group, 16).toString(16));
}
