// Reading members of a request body. A missing optional member takes its default; a member of the
// wrong type is always refused, never coerced.

import { refuse } from './refusal.mjs';

export const HOST_ID_PATTERN = /^[0-9]{9}$/;
const MAX_NAME_LENGTH = 64;

export function readText(body, key, { required = false } = {}) {
    const value = body[key];
    if (value === undefined || value === null) {
        if (required) refuse(400, `"${key}" is required`);
        return '';
    }
    if (typeof value !== 'string') refuse(400, `"${key}" must be text`);
    if (required && value === '') refuse(400, `"${key}" is required`);
    return value;
}

export function readBoolean(body, key, fallback) {
    const value = body[key];
    if (value === undefined || value === null) return fallback;
    if (typeof value !== 'boolean') refuse(400, `"${key}" must be true or false`);
    return value;
}

// Names in a "features" list, and how many: far more than any peer offers.
const MAX_FEATURES = 16;
const MAX_FEATURE_LENGTH = 32;

/** An optional list of feature names, as a Set; an absent member names none. */
export function readFeatures(body) {
    const value = body.features;
    if (value === undefined || value === null) return new Set();
    if (!Array.isArray(value) || value.length > MAX_FEATURES
        || !value.every((name) => typeof name === 'string' && name.length <= MAX_FEATURE_LENGTH)) {
        refuse(400, '"features" must be a list of names');
    }
    return new Set(value);
}

export function readCursor(body, key) {
    const value = body[key];
    if (value === undefined || value === null) return 0;
    if (typeof value !== 'number' || !Number.isFinite(value)) refuse(400, `"${key}" must be a number`);
    return value < 0 ? 0 : Math.trunc(value);
}

/**
 * How long a poll or push may be held ("waitMs"): null when the member is absent (answered at
 * once, as always), else whole milliseconds, at most `maxWaitMs`; 0 or less holds nothing.
 */
export function readWaitMs(body, maxWaitMs) {
    const value = body.waitMs;
    if (value === undefined || value === null) return null;
    if (typeof value !== 'number' || !Number.isFinite(value)) refuse(400, '"waitMs" must be a number');
    return Math.min(maxWaitMs, Math.max(0, Math.trunc(value)));
}

export function readHostId(body) {
    const id = readText(body, 'id', { required: true });
    if (!HOST_ID_PATTERN.test(id)) refuse(400, '"id" must be 9 digits');
    return id;
}

/** Names are shown on the other side's screen: no control characters, bounded length. */
export function displayName(text) {
    // eslint-disable-next-line no-control-regex
    const clean = text.replace(/[\u0000-\u001f\u007f-\u009f\u202a-\u202e\u2066-\u2069]/g, '').trim();
    return Array.from(clean).slice(0, MAX_NAME_LENGTH).join('');
}
