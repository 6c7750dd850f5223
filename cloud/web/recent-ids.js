// The computers reached from this browser, newest first, kept in its localStorage so that a phone
// user picks one instead of typing nine digits again: the ID and the name its host gave, never
// anything of the password.

import { ID_LENGTH, characters, compactId } from './codes.js';

export const RECENT_IDS_KEY = 'kivren.recentIds';
export const MAX_RECENT = 5;
// A host's name is shown on one line; a longer one is cut.
const MAX_NAME_CHARACTERS = 64;

/** The entries kept, [{ id, name }], newest first; what does not read as such is left out. */
export function readRecent(storage) {
    let value;
    try {
        value = JSON.parse(storage?.getItem(RECENT_IDS_KEY) ?? '[]');
    } catch {
        return [];
    }
    if (!Array.isArray(value)) return [];
    const entries = [];
    for (const entry of value) {
        const id = typeof entry?.id === 'string' ? compactId(entry.id) : '';
        if (characters(id).length !== ID_LENGTH || entries.some((kept) => kept.id === id)) continue;
        const name = typeof entry.name === 'string' ? characters(entry.name).slice(0, MAX_NAME_CHARACTERS).join('') : '';
        entries.push({ id, name });
        if (entries.length === MAX_RECENT) break;
    }
    return entries;
}

/** Puts `id` first, with the host's `name`; the oldest beyond MAX_RECENT is forgotten. */
export function rememberRecent(storage, id, name) {
    return store(storage, [{ id, name }, ...readRecent(storage).filter((entry) => entry.id !== id)].slice(0, MAX_RECENT));
}

/** Forgets one ID. */
export function forgetRecent(storage, id) {
    return store(storage, readRecent(storage).filter((entry) => entry.id !== id));
}

function store(storage, entries) {
    try {
        storage?.setItem(RECENT_IDS_KEY, JSON.stringify(entries));
    } catch {
        // A browser that keeps nothing (private mode, storage full) only loses the convenience.
    }
    return entries;
}
