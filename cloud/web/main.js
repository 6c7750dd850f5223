// The page: the home screen's form and the remote desktop, shown by the viewer's phase, with the
// picture, pointer and keyboard wired to the session.

import { KeyInput } from './key-input.js';
import { PictureView } from './picture-view.js';
import { PointerInput } from './pointer-input.js';
import { PHASE, Viewer } from './session.js';

const element = (id) => document.getElementById(id);
const form = element('connect-form');
const idField = element('remote-id');
const passwordField = element('remote-password');
const status = element('status');
const home = element('home');
const remote = element('remote');
const remoteStatus = element('remote-status');
const endButton = element('end');
const keyboardButton = element('keyboard');
const area = element('area');
const waiting = element('waiting');

function localStore() {
    try {
        return window.localStorage;
    } catch {
        return null;
    }
}

const view = new PictureView(element('picture'), { onFirstPicture: () => { waiting.hidden = true; } });
const viewer = new Viewer({ view, storage: localStore(), onChange: render });
const keys = new KeyInput(element('keys'), viewer);
// A mouse press takes the keyboard for the remote machine, as clicking into the desktop app's
// picture does; a touch does not, so that tapping never pops up an on-screen keyboard.
const pointer = new PointerInput(area, view, viewer, {
    onPress: (type) => {
        if (type === 'mouse') keys.focus();
    },
});
const finePointer = window.matchMedia('(pointer: fine)').matches;

let shownLive = false;

function render() {
    const live = viewer.phase === PHASE.live;
    home.hidden = live;
    remote.hidden = !live;
    status.textContent = viewer.status;
    status.classList.toggle('failed', viewer.phase === PHASE.failed);
    remoteStatus.textContent = viewer.status;
    if (live && !shownLive) {
        waiting.hidden = view.hasPicture;
        fitCanvas();
        if (finePointer) keys.focus();
    } else if (!live && shownLive) {
        pointer.reset();
        keys.blur();
        if (finePointer) idField.focus({ preventScroll: true });
    }
    shownLive = live;
    keyboardButton.setAttribute('aria-pressed', String(live && keys.focused));
}

function fitCanvas() {
    const box = area.getBoundingClientRect();
    view.resize(box.width, box.height, window.devicePixelRatio || 1);
}

new ResizeObserver(fitCanvas).observe(area);

form.addEventListener('submit', (event) => {
    event.preventDefault();
    viewer.connect(idField.value, passwordField.value);
});

endButton.addEventListener('click', () => {
    // Keys still held are released before the session closes.
    keys.releaseAll();
    viewer.end();
});

// The buttons of the bar must not take the focus from the keyboard's field.
for (const button of [endButton, keyboardButton]) {
    button.addEventListener('pointerdown', (event) => event.preventDefault());
}

keyboardButton.addEventListener('click', () => {
    if (keys.focused) keys.blur();
    else keys.focus();
    keyboardButton.setAttribute('aria-pressed', String(keys.focused));
});
element('keys').addEventListener('focus', () => keyboardButton.setAttribute('aria-pressed', 'true'));
element('keys').addEventListener('blur', () => keyboardButton.setAttribute('aria-pressed', 'false'));

// Leaving the page ends the session, and the typed password goes with it: a page restored from
// the browser's back-forward cache shows none.
window.addEventListener('pagehide', () => {
    viewer.leave();
    passwordField.value = '';
});
window.addEventListener('pageshow', render);

idField.value = viewer.lastId();
render();
if (finePointer) (idField.value === '' ? idField : passwordField).focus({ preventScroll: true });
