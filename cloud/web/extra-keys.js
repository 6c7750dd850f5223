// The keys an on-screen keyboard lacks, as a bar of buttons: Esc, Tab, the arrows, Home/End,
// PgUp/PgDn, Delete, F1-F12, Ctrl+Alt+Del, and Ctrl, Alt, Shift and Meta as sticky modifiers.
// A modifier tapped once holds for the next key (from the bar or typed); tapped twice it stays
// locked until tapped again. Every key goes out pressed and released at once, as a key message
// with the modifiers held, and only as far as the host named what it takes: without "modifiers"
// the modifiers and Ctrl+Alt+Del are disabled, without "keys" the further keys are.

import { FEATURE, MODIFIER_ORDER, keyMessage } from './messages.js';

export const STICKY = Object.freeze({ off: 'off', once: 'once', locked: 'locked' });
const NEXT_STATE = Object.freeze({ off: STICKY.once, once: STICKY.locked, locked: STICKY.off });

/** The sticky modifiers: each off, held for the next key, or locked. */
export class StickyModifiers {
    #states = new Map();

    /** `onChange()` runs after every change of state. */
    constructor(onChange = () => {}) {
        this.onChange = onChange;
    }

    state(name) {
        return this.#states.get(name) ?? STICKY.off;
    }

    /** A tap on a modifier's button: off, then once, then locked, then off again. */
    tap(name) {
        if (!MODIFIER_ORDER.includes(name)) return;
        const next = NEXT_STATE[this.state(name)];
        if (next === STICKY.off) this.#states.delete(name);
        else this.#states.set(name, next);
        this.onChange();
    }

    /** The modifiers held now, in the order the wire lists them. */
    held() {
        return MODIFIER_ORDER.filter((name) => this.#states.has(name));
    }

    /** The modifiers for the key being sent: those held once are used up by it, locked ones stay. */
    take() {
        const held = this.held();
        let changed = false;
        for (const [name, state] of this.#states) {
            if (state === STICKY.once) {
                this.#states.delete(name);
                changed = true;
            }
        }
        if (changed) this.onChange();
        return held;
    }

    clear() {
        if (this.#states.size === 0) return;
        this.#states.clear();
        this.onChange();
    }
}

/** `held` and `more` together, each once, in the wire's order. */
export function withModifiers(held, more) {
    return MODIFIER_ORDER.filter((name) => held.includes(name) || more.includes(name));
}

const further = (label, codeName) => ({ label, codeName, needs: FEATURE.keys });

// The bar's buttons in order: a key by its code name, a sticky modifier, or Ctrl+Alt+Del. `name`
// is what a screen reader says where the label is a symbol.
export const BAR_KEYS = Object.freeze([
    { label: 'Esc', codeName: 'escape', name: 'Escape' },
    { label: 'Tab', codeName: 'tab' },
    { label: 'Ctrl', modifier: 'control' },
    { label: 'Alt', modifier: 'alt' },
    { label: 'Shift', modifier: 'shift' },
    { label: 'Meta', modifier: 'meta' },
    { label: '\u2190', codeName: 'arrowleft', name: 'Left arrow' },
    { label: '\u2191', codeName: 'arrowup', name: 'Up arrow' },
    { label: '\u2193', codeName: 'arrowdown', name: 'Down arrow' },
    { label: '\u2192', codeName: 'arrowright', name: 'Right arrow' },
    { ...further('Home', 'home'), name: 'Home key' },
    { ...further('End', 'end'), name: 'End key' },
    { ...further('PgUp', 'pageup'), name: 'Page up' },
    { ...further('PgDn', 'pagedown'), name: 'Page down' },
    { label: 'Del', codeName: 'delete', name: 'Delete' },
    { label: 'Ctrl+Alt+Del', codeName: 'delete', fixed: ['control', 'alt'], needs: FEATURE.modifiers },
    ...Array.from({ length: 12 }, (_, i) => further(`F${i + 1}`, `f${i + 1}`)),
]);

const STATE_TITLES = Object.freeze({ off: '', once: 'held for the next key', locked: 'locked' });

export class ExtraKeys {
    #viewer;
    #sticky;
    #buttons = [];

    /**
     * Fills `bar` with the keys' buttons. `viewer` takes the key messages, `sticky` holds the
     * modifiers (shared with the keyboard, whose next key uses them too).
     */
    constructor(bar, viewer, sticky) {
        this.#viewer = viewer;
        this.#sticky = sticky;
        for (const key of BAR_KEYS) {
            const button = document.createElement('button');
            button.type = 'button';
            button.className = key.modifier !== undefined ? 'key modifier' : key.fixed !== undefined ? 'key wide' : 'key';
            button.textContent = key.label;
            if (key.name !== undefined) button.setAttribute('aria-label', key.name);
            if (key.modifier !== undefined) button.setAttribute('aria-pressed', 'false');
            // A tap on the bar must not take the focus from the keyboard's field, or an on-screen
            // keyboard would close under the finger.
            button.addEventListener('pointerdown', (event) => event.preventDefault());
            button.addEventListener('click', () => this.#press(key));
            bar.append(button);
            this.#buttons.push({ key, button });
        }
        this.update(new Set());
    }

    /** Enables what the host named; shows each modifier's state. */
    update(features) {
        const modifiers = features.has(FEATURE.modifiers);
        for (const { key, button } of this.#buttons) {
            const needs = key.modifier !== undefined ? FEATURE.modifiers : key.needs;
            const disabled = needs !== undefined && !features.has(needs);
            button.disabled = disabled;
            button.title = disabled ? 'The remote computer does not take this key' : '';
            if (key.modifier === undefined) continue;
            const state = modifiers ? this.#sticky.state(key.modifier) : STICKY.off;
            button.setAttribute('aria-pressed', String(state !== STICKY.off));
            button.dataset.state = state;
            if (state !== STICKY.off) button.title = `${key.label}: ${STATE_TITLES[state]}`;
        }
    }

    #press(key) {
        if (key.modifier !== undefined) {
            this.#sticky.tap(key.modifier);
            return;
        }
        const modifiers = key.fixed ?? this.#sticky.take();
        this.#viewer.sendKey(keyMessage(key.codeName, '', true, modifiers));
        this.#viewer.sendKey(keyMessage(key.codeName, '', false, modifiers));
    }
}
