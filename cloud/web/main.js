// The page: the home screen's form and the remote desktop, shown by the viewer's phase, with the
// picture, pointer, keyboard and extra keys wired to the session.

import { compactId, formatId } from './codes.js';
import { ExtraKeys, StickyModifiers } from './extra-keys.js';
import { KeyInput } from './key-input.js';
import { PictureView } from './picture-view.js';
import { MODE, PointerInput } from './pointer-input.js';
import { forgetRecent, readRecent, rememberRecent } from './recent-ids.js';
import { showEncryption } from './encrypted-session.js';
import { PHASE, STATUS, Viewer } from './session.js';
import { DESCRIPTION } from './switchboard.js';

const element = (id) => document.getElementById(id);
const form = element('connect-form');
const idField = element('remote-id');
const passwordField = element('remote-password');
const status = element('status');
const advice = element('status-advice');
const recent = element('recent');
const recentList = element('recent-list');
const home = element('home');
const remote = element('remote');
const remoteStatus = element('remote-status');
const endButton = element('end');
const keyboardButton = element('keyboard');
const keysButton = element('keys-toggle');
const extraKeysBar = element('extra-keys');
const modeButtons = new Map([[MODE.touch, element('mode-touch')], [MODE.trackpad, element('mode-trackpad')]]);
const area = element('area');
const waiting = element('waiting');
const rotateHint = element('rotate-hint');

// The touch mode chosen last time is kept, like the last ID.
const MODE_KEY = 'kivren.touchMode';

// What to do about a failure, under its status line.
const CHECK_NETWORK = 'Check this device\u2019s internet connection, then connect again.';
const ADVICE = new Map([
    ['Wrong password', 'Type the password KivrenRemote shows on that computer now.'],
    [STATUS.unknownId, 'Check the ID KivrenRemote shows on that computer.'],
    [STATUS.offline, 'KivrenRemote has to be running on that computer, with its internet connection up.'],
    [DESCRIPTION.cannotConnect, CHECK_NETWORK],
    [DESCRIPTION.connectionLost, CHECK_NETWORK],
    [DESCRIPTION.timedOut, CHECK_NETWORK],
]);
const ENDED_ADVICE = 'Connect again to go on.';

function localStore() {
    try {
        return window.localStorage;
    } catch {
        return null;
    }
}

const storage = localStore();
const coarse = window.matchMedia('(any-pointer: coarse)').matches;
const finePointer = window.matchMedia('(pointer: fine)').matches;

const canvas = element('picture');
const view = new PictureView(canvas, {
    onFirstPicture: () => {
        waiting.hidden = true;
        showRotateHint();
    },
    pointerElement: element('pointer'),
    remotePointerElement: element('remote-pointer'),
    onZoom: () => showRotateHint(),
});
const viewer = new Viewer({ view, storage, onChange: render });
const sticky = new StickyModifiers(() => extraKeys.update(viewer.hostFeatures));
const extraKeys = new ExtraKeys(extraKeysBar, viewer, sticky);
const keys = new KeyInput(element('keys'), viewer, { sticky });
// A mouse press takes the keyboard for the remote machine, as clicking into the desktop app's
// picture does; a touch does not, so that tapping never pops up an on-screen keyboard.
const pointer = new PointerInput(area, view, viewer, {
    onPress: (type) => {
        if (type === 'mouse') keys.focus();
    },
});

let shownLive = false;
// The ID being connected to, remembered among the recent ones once its session opens.
let connectingId = '';

function render() {
    const live = viewer.phase === PHASE.live;
    home.hidden = live;
    remote.hidden = !live;
    const failed = viewer.phase === PHASE.failed;
    status.textContent = viewer.status;
    status.classList.toggle('failed', failed);
    const help = failed ? ADVICE.get(viewer.status) ?? (shownLive ? ENDED_ADVICE : '') : '';
    advice.textContent = help;
    advice.hidden = help === '';
    remoteStatus.textContent = viewer.status;
    showEncryption(element('remote-encryption'), viewer.encrypted);
    canvas.classList.toggle('stale', viewer.stale);
    // A session opened again after a failure starts without a picture, as every session does.
    if (live && shownLive) waiting.hidden = view.hasPicture;
    if (live && !shownLive) {
        waiting.hidden = view.hasPicture;
        pointer.start();
        sticky.clear();
        fitCanvas();
        renderRecent(rememberRecent(storage, connectingId, viewer.hostName));
        if (finePointer) keys.focus();
    } else if (!live && shownLive) {
        pointer.reset();
        keys.blur();
        sticky.clear();
        if (finePointer) idField.focus({ preventScroll: true });
    }
    shownLive = live;
    keyboardButton.setAttribute('aria-pressed', String(live && keys.focused));
    extraKeys.update(viewer.hostFeatures);
}

function fitCanvas() {
    const box = area.getBoundingClientRect();
    view.resize(box.width, box.height, window.devicePixelRatio || 1);
    showRotateHint();
}

/** A wide picture on an upright phone: turning the phone would show it larger. */
function showRotateHint() {
    const size = view.pictureSize;
    const box = area.getBoundingClientRect();
    rotateHint.hidden = !(coarse && size !== null && size.width > size.height && box.height > box.width && view.zoom === 1);
}

new ResizeObserver(fitCanvas).observe(area);

function renderRecent(entries) {
    recentList.replaceChildren(...entries.map(({ id, name }) => {
        const item = document.createElement('li');
        item.className = 'recent-item';
        const pick = document.createElement('button');
        pick.type = 'button';
        pick.className = 'recent-pick';
        const number = document.createElement('span');
        number.className = 'recent-id';
        number.textContent = formatId(id);
        const label = document.createElement('span');
        label.className = 'recent-name';
        label.textContent = name;
        pick.append(number, label);
        pick.addEventListener('click', () => {
            idField.value = formatId(id);
            passwordField.focus();
        });
        const forget = document.createElement('button');
        forget.type = 'button';
        forget.className = 'recent-forget';
        forget.textContent = '\u00D7';
        forget.setAttribute('aria-label', `Forget ${formatId(id)}`);
        forget.addEventListener('click', () => renderRecent(forgetRecent(storage, id)));
        item.append(pick, forget);
        return item;
    }));
    recent.hidden = entries.length === 0;
}

form.addEventListener('submit', (event) => {
    event.preventDefault();
    connectingId = compactId(idField.value);
    viewer.connect(idField.value, passwordField.value);
});

endButton.addEventListener('click', () => {
    // Keys still held are released before the session closes.
    keys.releaseAll();
    viewer.end();
});

// The buttons of the bar must not take the focus from the keyboard's field.
for (const button of [endButton, keyboardButton, keysButton, ...modeButtons.values()]) {
    button.addEventListener('pointerdown', (event) => event.preventDefault());
}

keyboardButton.addEventListener('click', () => {
    if (keys.focused) keys.blur();
    else keys.focus();
    keyboardButton.setAttribute('aria-pressed', String(keys.focused));
});
element('keys').addEventListener('focus', () => keyboardButton.setAttribute('aria-pressed', 'true'));
element('keys').addEventListener('blur', () => keyboardButton.setAttribute('aria-pressed', 'false'));

function showExtraKeys(shown) {
    extraKeysBar.hidden = !shown;
    keysButton.setAttribute('aria-pressed', String(shown));
}
keysButton.addEventListener('click', () => showExtraKeys(extraKeysBar.hidden));
// A touch screen has no keys of its own for these; a PC's keyboard has most of them.
showExtraKeys(coarse);

function setMode(mode) {
    pointer.setMode(mode);
    for (const [name, button] of modeButtons) button.setAttribute('aria-pressed', String(name === pointer.mode));
}
for (const [mode, button] of modeButtons) {
    button.addEventListener('click', () => {
        setMode(mode);
        try {
            storage?.setItem(MODE_KEY, mode);
        } catch {
            // Not kept: the next visit starts in Touch mode.
        }
    });
}
try {
    setMode(storage?.getItem(MODE_KEY) ?? MODE.touch);
} catch {
    setMode(MODE.touch);
}

// Leaving the page ends the session, and the typed password goes with it: a page restored from
// the browser's back-forward cache shows none.
window.addEventListener('pagehide', () => {
    viewer.leave();
    passwordField.value = '';
});
window.addEventListener('pageshow', render);

idField.value = viewer.lastId();
renderRecent(readRecent(storage));
render();
if (finePointer) (idField.value === '' ? idField : passwordField).focus({ preventScroll: true });
