// The keyboard, physical or on screen, as the desktop viewer sends it: typed characters become
// "text" messages, the special keys "key" messages pressed and released, and shortcuts a "key"
// message with the "modifiers" held (sent only to a host that takes them).
//
// All of it arrives through one hidden text field. Focusing it is what raises a phone's on-screen
// keyboard, and reading its input events rather than key codes is what makes on-screen keyboards,
// input methods and dead keys work: those report "Unidentified" keys and deliver their text as
// input. The field never keeps what is typed; a single space stays in it so that Backspace on an
// on-screen keyboard always has something to delete, and so is always reported.

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

    /** `field` is the hidden text field; `viewer` the Viewer the messages go to. */
    constructor(field, viewer) {
        this.#field = field;
        this.#viewer = viewer;
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
        const message = keyPressMessage(event);
        if (message === null) return;
        // Nothing of it happens here: Tab stays in the field, Backspace deletes nothing.
        event.preventDefault();
        const physical = event.code || event.key;
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
            if (typed !== '') this.#viewer.sendText(typed);
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
        if (event.data) this.#viewer.sendText(event.data);
        // The field shows what was composed until the browser is done with it.
        setTimeout(() => this.#keepSentinel(), 0);
    }

    /** A key pressed and released at once: what an on-screen keyboard's Enter or Backspace is. */
    #tap(codeName) {
        this.#viewer.sendKey(keyMessage(codeName, '', true));
        this.#viewer.sendKey(keyMessage(codeName, '', false));
    }

    #keepSentinel() {
        const field = this.#field;
        if (field.value !== SENTINEL) field.value = SENTINEL;
        field.setSelectionRange(SENTINEL.length, SENTINEL.length);
    }
}
