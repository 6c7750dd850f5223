// The keyboard, physical or on screen, as the desktop viewer sends it: typed characters become
// "text" messages, the special keys "key" messages pressed and released, and shortcuts a "key"
// message with the "modifiers" held (sent only to a host that takes them).
//
// All of it arrives through one hidden text field. Focusing it is what raises a phone's on-screen
// keyboard, and reading its input events rather than key codes is what makes on-screen keyboards,
// input methods and dead keys work: those report "Unidentified" keys and deliver their text as
// input. The field never keeps what is typed; a single space stays in it so that Backspace on an
// on-screen keyboard always has something to delete, and so is always reported.
//
// Modifiers held on the extra-keys bar apply to the next key, typed text included: Ctrl held there
// and "c" typed on an on-screen keyboard is Ctrl+C; Shift alone types capitals.

import { withModifiers } from './extra-keys.js';
import { MODIFIER_ORDER, keyMessage } from './messages.js';

const SENTINEL = ' ';

// Keys by their DOM name, and the code name the host knows them by. Space is here for shortcuts
// (Ctrl+Space); typed on its own it is text like any other character.
const SPECIAL_KEYS = new Map([
    ['Enter', 'enter'], ['Backspace', 'backspace'], ['Tab', 'tab'], ['Escape', 'escape'],
    ['ArrowLeft', 'arrowleft'], ['ArrowUp', 'arrowup'], ['ArrowRight', 'arrowright'], ['ArrowDown', 'arrowdown'],
    ['Delete', 'delete'], [' ', 'space'],
    ['Home', 'home'], ['End', 'end'], ['PageUp', 'pageup'], ['PageDown', 'pagedown'], ['Insert', 'insert'],
    ...Array.from({ length: 12 }, (_, i) => [`F${i + 1}`, `f${i + 1}`]),
]);
const MODIFIER_KEYS = new Set(['Shift', 'Control', 'Alt', 'Meta', 'AltGraph', 'CapsLock', 'NumLock', 'OS', 'Fn']);

/** A key press as a message to send, or null when the key is text (or nothing to send). */
export function keyPressMessage(event) {
    const held = { shift: event.shiftKey, control: event.ctrlKey, alt: event.altKey, meta: event.metaKey };
    // AltGr types characters (it reads as Ctrl+Alt on some systems): its keys are text.
    const altGraph = event.getModifierState?.('AltGraph') === true;
    const shortcut = !altGraph && (held.control || held.alt || held.meta);
    const special = SPECIAL_KEYS.get(event.key);
    if (special !== undefined) {
        if (special === 'space' && !shortcut) return null;
        const modifiers = MODIFIER_ORDER.filter((name) => held[name]);
        return keyMessage(special, '', true, modifiers);
    }
    if (!shortcut) return null;
    // A shortcut names the key's own character, letters in lower case: Ctrl+Shift+A is "a" with
    // shift and control held.
    const characters = Array.from(event.key);
    if (characters.length !== 1 || event.key === 'Unidentified' || event.key === 'Dead') return null;
    return keyMessage('', event.key.toLowerCase(), true, MODIFIER_ORDER.filter((name) => held[name]));
}

export class KeyInput {
    #field;
    #viewer;
    // Keys pressed on the remote side and not yet released, by the physical key that pressed them.
    #held = new Map();
    #sticky;

    /**
     * `field` is the hidden text field; `viewer` the Viewer the messages go to; `sticky` the
     * extra-keys bar's StickyModifiers, if any.
     */
    constructor(field, viewer, { sticky = null } = {}) {
        this.#field = field;
        this.#viewer = viewer;
        this.#sticky = sticky;
        field.value = SENTINEL;
        field.addEventListener('keydown', (event) => this.#keyDown(event));
        field.addEventListener('keyup', (event) => this.#keyUp(event));
        field.addEventListener('beforeinput', (event) => this.#beforeInput(event));
        field.addEventListener('compositionend', (event) => this.#compositionEnd(event));
        field.addEventListener('input', (event) => {
            if (!event.isComposing) this.#keepSentinel();
        });
        field.addEventListener('blur', () => this.releaseAll());
        window.addEventListener('blur', () => this.releaseAll());
    }

    get focused() {
        return document.activeElement === this.#field;
    }

    /** Takes the keyboard; on a touch screen this raises the on-screen keyboard. */
    focus() {
        this.#field.focus({ preventScroll: true });
        this.#keepSentinel();
    }

    blur() {
        this.#field.blur();
    }

    /** Releases every key still held on the remote side, so none stays down there. */
    releaseAll() {
        for (const message of this.#held.values()) this.#viewer.sendKey({ ...message, down: false });
        this.#held.clear();
    }

    #keyDown(event) {
        // An input method at work owns the keys until it commits its text.
        if (event.isComposing || event.key === 'Process' || event.keyCode === 229) return;
        if (MODIFIER_KEYS.has(event.key)) return;
        const pressed = keyPressMessage(event);
        if (pressed === null) return;
        // Nothing of it happens here: Tab stays in the field, Backspace deletes nothing.
        event.preventDefault();
        const physical = event.code || event.key;
        // A repeat keeps the modifiers of the first press; the release has them too.
        const message = this.#held.get(physical) ?? this.#withSticky(pressed);
        if (!this.#held.has(physical)) this.#held.set(physical, message);
        // A key held down repeats on the remote machine as it does here.
        this.#viewer.sendKey(message);
    }

    #keyUp(event) {
        const message = this.#held.get(event.code || event.key);
        if (message === undefined) return;
        event.preventDefault();
        this.#held.delete(event.code || event.key);
        this.#viewer.sendKey({ ...message, down: false });
    }

    #beforeInput(event) {
        switch (event.inputType) {
        case 'insertText':
        case 'insertReplacementText':
        case 'insertFromPaste':
        case 'insertFromDrop': {
            event.preventDefault();
            const typed = event.data ?? event.dataTransfer?.getData('text/plain') ?? '';
            if (typed !== '') this.#typed(typed);
            return;
        }
        case 'insertLineBreak':
        case 'insertParagraph':
            event.preventDefault();
            this.#tap('enter');
            return;
        case 'deleteContentBackward':
            event.preventDefault();
            this.#tap('backspace');
            return;
        case 'deleteContentForward':
            event.preventDefault();
            this.#tap('delete');
            return;
        case 'insertCompositionText':
            // Composition cannot be stopped; its result is sent when it ends.
            return;
        default:
            event.preventDefault();
        }
    }

    #compositionEnd(event) {
        if (event.data) this.#typed(event.data);
        // The field shows what was composed until the browser is done with it.
        setTimeout(() => this.#keepSentinel(), 0);
    }

    /** A key pressed and released at once: what an on-screen keyboard's Enter or Backspace is. */
    #tap(codeName) {
        const message = this.#withSticky(keyMessage(codeName, '', true));
        this.#viewer.sendKey(message);
        this.#viewer.sendKey({ ...message, down: false });
    }

    /** A key message with the bar's held modifiers added (and those held once used up). */
    #withSticky(message) {
        if (this.#sticky === null || this.#sticky.held().length === 0) return message;
        return keyMessage(message.codeName, message.key, message.down, withModifiers(message.modifiers ?? [], this.#sticky.take()));
    }

    /**
     * Typed text: as text, unless the bar holds modifiers. Shift alone types capitals; with Ctrl,
     * Alt or Meta each character is a shortcut, named in lower case as the desktop viewer does
     * (a capital adds Shift), a space as the space key.
     */
    #typed(text) {
        const held = this.#sticky?.held() ?? [];
        if (held.length === 0) {
            this.#viewer.sendText(text);
            return;
        }
        const modifiers = this.#sticky.take();
        if (modifiers.every((name) => name === 'shift')) {
            this.#viewer.sendText(text.toUpperCase());
            return;
        }
        for (const character of Array.from(text)) {
            const lower = character.toLowerCase();
            const withShift = lower !== character ? withModifiers(modifiers, ['shift']) : modifiers;
            const message = character === ' ' ? keyMessage('space', '', true, withShift) : keyMessage('', lower, true, withShift);
            this.#viewer.sendKey(message);
            this.#viewer.sendKey({ ...message, down: false });
        }
    }

    #keepSentinel() {
        const field = this.#field;
        if (field.value !== SENTINEL) field.value = SENTINEL;
        field.setSelectionRange(SENTINEL.length, SENTINEL.length);
    }
}
