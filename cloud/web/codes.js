// The ID and the password as a person types them, reduced to the forms the switchboard compares,
// and the forms shown on screen: the same rules the desktop app applies to what is typed there.

export const ID_LENGTH = 9;
export const PASSWORD_LENGTH = 8;
const PASSWORD_GROUP = 4;
// No 0, 1, I or O: none can be misread as another.
const ALPHABET = 'ABCDEFGHJKLMNPQRSTUVWXYZ23456789';
// A character is numeric when its first code point is a number of any script.
const NUMERIC_START = /^\p{N}/u;

const graphemes = new Intl.Segmenter(undefined, { granularity: 'grapheme' });

/** The user-perceived characters of a text. */
export function characters(text) {
    return Array.from(graphemes.segment(text), (piece) => piece.segment);
}

/**
 * The numeric characters of what was typed: spaces and dashes fall away, nothing is cut, so an
 * over-long ID stays over-long for the caller to refuse rather than becoming someone else's.
 */
export function compactId(text) {
    return characters(text).filter((character) => NUMERIC_START.test(character)).join('');
}

/** Nine digits in three groups of three; anything else as its compact form. */
export function formatId(text) {
    const c = characters(compactId(text));
    if (c.length !== ID_LENGTH) return c.join('');
    return `${c.slice(0, 3).join('')} ${c.slice(3, 6).join('')} ${c.slice(6).join('')}`;
}

/**
 * The password characters of what was typed, upper-cased. A character outside the alphabet is
 * dropped rather than mapped to a look-alike: a typed 0 does not become O.
 */
export function compactPassword(text) {
    return characters(text.toUpperCase()).filter((character) => character.length === 1 && ALPHABET.includes(character)).join('');
}

/** At most eight password characters, as four, "-", and the rest, the way the host shows them. */
export function formatPassword(text) {
    const c = characters(compactPassword(text)).slice(0, PASSWORD_LENGTH);
    if (c.length <= PASSWORD_GROUP) return c.join('');
    return `${c.slice(0, PASSWORD_GROUP).join('')}-${c.slice(PASSWORD_GROUP).join('')}`;
}
