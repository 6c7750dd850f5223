// Mouse, wheel and touch on the picture area, turned into the input messages the desktop viewer
// sends: a press, drag and release of the left button, a right click, the wheel in pixels, a
// double click as a press with clickCount 2, and the mouse moving over the picture with no
// button held (hovering, for a host that names "hover"), at most HOVER_MOVES_PER_SECOND times a
// second, each the newest position.
//
// A touch screen has no buttons, so gestures stand in for them, in one of two modes:
// - Touch: the finger is the pointer. A tap is a click where it lands (two quick taps a double
//   click), a finger that moves is a drag, a finger held still a right click. Once the picture is
//   zoomed, a moving finger moves the view instead, and a tap followed at once by a moving finger
//   drags.
// - Trackpad: the finger moves a pointer drawn on the picture, faster for a faster finger, and
//   the host's pointer with it. A tap clicks where the pointer is, a tap followed at once by a
//   moving finger drags from there.
// In both, a two-finger tap is a right click, two fingers moving together scroll (aimed where
// the gesture started: under the fingers in Touch mode, at the pointer in Trackpad mode), and two
// fingers spreading or closing zoom the picture here without telling the host.

import { MODIFIER_ORDER, inputMessage } from './messages.js';

const LEFT = 0;
const RIGHT = 1;
// DOM button numbers of the two buttons the host knows.
const DOM_BUTTONS = new Map([[0, LEFT], [2, RIGHT]]);
const LINE_MODE = 1;
const PAGE_MODE = 2;
// A wheel notch moves three lines; the host scrolls one step per 40 pixels, so a notch is a step.
const NOTCH_PIXELS = 40;
const LINES_PER_NOTCH = 3;

// A finger that moves less than this is still a tap or a long press.
const TOUCH_SLOP_PX = 10;
// A finger held this long without moving is a right click (Touch mode).
export const LONG_PRESS_MS = 550;
// A second tap this soon after the first, and this near it, makes a double click; a touch this
// soon after a tap that then moves is a drag.
const DOUBLE_TAP_MS = 400;
const DOUBLE_TAP_SLOP_PX = 24;
// Two fingers lifted this soon after the second touched, before they moved, are a right click.
const TWO_FINGER_TAP_MS = 300;
// Two fingers whose distance changes by this much before they move together are a pinch.
const PINCH_SLOP_PX = 16;
// Trackpad: a finger slower than this (CSS pixels per millisecond) moves the pointer as far as
// itself; faster, the pointer goes further, up to TRACKPAD_MAX_GAIN times.
const TRACKPAD_SLOW_PX_PER_MS = 0.25;
const TRACKPAD_GAIN_PER_SPEED = 1.5;
const TRACKPAD_MAX_GAIN = 4;
// Hover moves go at most this often; one that comes sooner waits, replaced by any newer one.
export const HOVER_MOVES_PER_SECOND = 60;
const HOVER_INTERVAL_MS = 1000 / HOVER_MOVES_PER_SECOND;

export const MODE = Object.freeze({ touch: 'touch', trackpad: 'trackpad' });

/** How much further than the finger the trackpad's pointer goes, at a finger speed in px/ms. */
export function trackpadGain(speed) {
    if (!Number.isFinite(speed)) return TRACKPAD_MAX_GAIN;
    return Math.min(TRACKPAD_MAX_GAIN, 1 + TRACKPAD_GAIN_PER_SPEED * Math.max(0, speed - TRACKPAD_SLOW_PX_PER_MS));
}

/** The modifiers held during a mouse or wheel event, in the order the wire lists them. */
export function modifiersOf(event) {
    const held = { shift: event.shiftKey, control: event.ctrlKey, alt: event.altKey, meta: event.metaKey };
    return MODIFIER_ORDER.filter((name) => held[name]);
}

/**
 * A wheel event's movement in pixels, as the host reads it: positive deltaY scrolls up (the DOM's
 * is positive down). Pixel deltas go as they are; line deltas count a notch of three lines as 40
 * pixels; page deltas count a page as the area's size.
 */
export function wheelPixels(event, areaWidth, areaHeight) {
    let { deltaX, deltaY } = event;
    if (event.deltaMode === LINE_MODE) {
        deltaX *= NOTCH_PIXELS / LINES_PER_NOTCH;
        deltaY *= NOTCH_PIXELS / LINES_PER_NOTCH;
    } else if (event.deltaMode === PAGE_MODE) {
        deltaX *= areaWidth;
        deltaY *= areaHeight;
    }
    return { deltaX: -deltaX, deltaY: -deltaY };
}

export class PointerInput {
    #area;
    #view;
    #viewer;
    #onPress;
    #mode = MODE.touch;
    // Mouse buttons held down on the area, by host button number.
    #held = new Set();
    // Touch: the fingers on the area by pointer id, the gesture they make, and the last tap.
    #touches = new Map();
    #gesture = null;
    #lastTap = null;
    // Where the host's pointer was last put by touch, as picture fractions.
    #pointer = { x: 0.5, y: 0.5 };
    // Hovering: when the last move went, and the newest one waiting for its turn.
    #hoverSentAt = -Infinity;
    #hoverWaiting = null;
    #hoverTimer = 0;

    /**
     * `area` is the element the picture fills, `view` its PictureView, `viewer` the Viewer the
     * messages go to; `onPress(pointerType)` runs on every press (to take the keyboard focus).
     */
    constructor(area, view, viewer, { onPress = () => {} } = {}) {
        this.#area = area;
        this.#view = view;
        this.#viewer = viewer;
        this.#onPress = onPress;
        area.addEventListener('mousedown', (event) => this.#mouseDown(event));
        window.addEventListener('mousemove', (event) => this.#mouseMove(event));
        window.addEventListener('mouseup', (event) => this.#mouseUp(event));
        area.addEventListener('contextmenu', (event) => event.preventDefault());
        area.addEventListener('wheel', (event) => this.#wheel(event), { passive: false });
        area.addEventListener('pointerdown', (event) => this.#touchDown(event));
        area.addEventListener('pointermove', (event) => this.#touchMove(event));
        area.addEventListener('pointerup', (event) => this.#touchUp(event, false));
        area.addEventListener('pointercancel', (event) => this.#touchUp(event, true));
    }

    get mode() {
        return this.#mode;
    }

    /** Touch or Trackpad; the Trackpad's pointer is drawn from now on. */
    setMode(mode) {
        if (!Object.values(MODE).includes(mode)) return;
        this.#cancelGesture();
        this.#mode = mode;
        if (mode === MODE.trackpad) this.#showPointer();
    }

    /** Forgets every press and gesture: the session they belonged to has ended. */
    reset() {
        this.#held.clear();
        this.#cancelHover();
        this.#cancelGesture();
        this.#pointer = { x: 0.5, y: 0.5 };
        this.#view.setPointer(null);
    }

    /** A new session's picture: the Trackpad's pointer starts in its middle. */
    start() {
        this.reset();
        if (this.#mode === MODE.trackpad) this.#showPointer();
    }

    #cancelGesture() {
        clearTimeout(this.#gesture?.timer);
        this.#gesture = null;
        this.#touches.clear();
        this.#lastTap = null;
    }

    #point(event) {
        const box = this.#area.getBoundingClientRect();
        return { x: event.clientX - box.left, y: event.clientY - box.top };
    }

    #send(kind, point, options) {
        this.#sendAt(kind, this.#view.fractionAt(point.x, point.y), options);
    }

    #sendAt(kind, { x, y }, options) {
        this.#viewer.sendInput(inputMessage(kind, x, y, options));
    }

    #showPointer() {
        this.#view.setPointer(this.#pointer);
    }

    /** The host's pointer put where a finger is (Touch mode), and drawn there. */
    #pointTo(point) {
        this.#pointer = this.#view.fractionAt(point.x, point.y);
        this.#showPointer();
        return this.#pointer;
    }

    // --- Mouse ---

    /** Mouse events a touch screen makes up for pages that know no pointer events are not mouse input. */
    static #fromTouch(event) {
        return event.sourceCapabilities?.firesTouchEvents === true;
    }

    #mouseDown(event) {
        const button = DOM_BUTTONS.get(event.button);
        if (button === undefined || PointerInput.#fromTouch(event)) return;
        // No text selection, no focus moving away from the keyboard sink.
        event.preventDefault();
        this.#onPress('mouse');
        this.#cancelHover();
        this.#held.add(button);
        // The mouse's own cursor shows where it is; a pointer drawn for touch would only mislead.
        this.#view.setPointer(null);
        this.#send('down', this.#point(event), { button, clickCount: event.detail, modifiers: modifiersOf(event) });
    }

    #mouseMove(event) {
        if (PointerInput.#fromTouch(event)) return;
        if (this.#held.has(LEFT)) {
            this.#send('move', this.#point(event), { button: LEFT, modifiers: modifiersOf(event) });
            return;
        }
        // Hovering counts only over the area; the rest of the page is not the host's.
        if (!this.#area.contains(event.target)) return;
        this.#hoverWaiting = { point: this.#point(event), modifiers: modifiersOf(event) };
        if (this.#hoverTimer !== 0) return;
        const wait = this.#hoverSentAt + HOVER_INTERVAL_MS - performance.now();
        if (wait > 0) this.#hoverTimer = setTimeout(() => this.#sendHover(), wait);
        else this.#sendHover();
    }

    #sendHover() {
        this.#hoverTimer = 0;
        const waiting = this.#hoverWaiting;
        this.#hoverWaiting = null;
        if (waiting === null) return;
        this.#hoverSentAt = performance.now();
        const { x, y } = this.#view.fractionAt(waiting.point.x, waiting.point.y);
        this.#viewer.sendHover(inputMessage('move', x, y, { button: LEFT, modifiers: waiting.modifiers }));
    }

    /** A press carries its own position: a hover move still waiting would only come after it. */
    #cancelHover() {
        clearTimeout(this.#hoverTimer);
        this.#hoverTimer = 0;
        this.#hoverWaiting = null;
    }

    #mouseUp(event) {
        const button = DOM_BUTTONS.get(event.button);
        if (button === undefined || !this.#held.has(button)) return;
        this.#held.delete(button);
        this.#send('up', this.#point(event), { button, clickCount: event.detail, modifiers: modifiersOf(event) });
    }

    #wheel(event) {
        event.preventDefault();
        const box = this.#area.getBoundingClientRect();
        const { deltaX, deltaY } = wheelPixels(event, box.width, box.height);
        if (deltaX === 0 && deltaY === 0) return;
        this.#send('wheel', this.#point(event), { deltaX, deltaY, modifiers: modifiersOf(event) });
    }

    // --- Touch ---

    #touchDown(event) {
        if (event.pointerType === 'mouse') return;
        event.preventDefault();
        this.#area.setPointerCapture?.(event.pointerId);
        const point = this.#point(event);
        this.#touches.set(event.pointerId, point);
        const trackpad = this.#mode === MODE.trackpad;
        if (this.#touches.size === 1) {
            this.#onPress(event.pointerType);
            const last = this.#lastTap;
            const afterTap = last !== null && event.timeStamp - last.time <= DOUBLE_TAP_MS
                && (trackpad || distance(point, last.point) <= DOUBLE_TAP_SLOP_PX);
            const gesture = { mode: 'pending', finger: event.pointerId, start: point, last: point, time: event.timeStamp, afterTap, timer: 0 };
            // A finger resting on a trackpad before it moves is no request for a menu.
            if (!trackpad && !afterTap) gesture.timer = setTimeout(() => this.#longPress(gesture), LONG_PRESS_MS);
            this.#gesture = gesture;
        } else if (this.#touches.size === 2 && (this.#gesture?.mode === 'pending' || this.#gesture?.mode === 'pan')) {
            // A second finger before the first did anything on the host: a tap, a scroll or a pinch.
            clearTimeout(this.#gesture.timer);
            const [a, b] = this.#touches.values();
            const mid = midpoint(a, b);
            this.#gesture = {
                mode: 'two', time: event.timeStamp, startMid: mid, mid, startDistance: distance(a, b), distance: distance(a, b),
                // Where its scroll or right click goes, fixed as the gesture starts.
                aim: trackpad ? { ...this.#pointer } : this.#view.fractionAt(mid.x, mid.y),
            };
        }
    }

    #touchMove(event) {
        if (!this.#touches.has(event.pointerId)) return;
        const point = this.#point(event);
        this.#touches.set(event.pointerId, point);
        const gesture = this.#gesture;
        if (gesture === null) return;
        if (gesture.mode === 'two' || gesture.mode === 'scroll' || gesture.mode === 'pinch') {
            this.#twoFingers(gesture);
            return;
        }
        // Once one finger acts, others that touch down are not part of it.
        if (event.pointerId !== gesture.finger || gesture.mode === 'done') return;
        if (gesture.mode === 'pending') {
            if (distance(point, gesture.start) < TOUCH_SLOP_PX) return;
            clearTimeout(gesture.timer);
            this.#lastTap = null;
            this.#startMoving(gesture);
        }
        const elapsed = Math.max(1, event.timeStamp - gesture.time);
        const dx = point.x - gesture.last.x;
        const dy = point.y - gesture.last.y;
        gesture.last = point;
        gesture.time = event.timeStamp;
        switch (gesture.mode) {
        case 'pan':
            this.#view.panBy(dx, dy);
            return;
        case 'drag':
            this.#send('move', point, { button: LEFT });
            this.#pointTo(point);
            return;
        case 'glide':
        case 'glideDrag': {
            const rect = this.#view.pictureRect();
            if (rect === null) return;
            const gain = trackpadGain(Math.hypot(dx, dy) / elapsed);
            const clamp = (value) => Math.min(1, Math.max(0, value));
            this.#pointer = { x: clamp(this.#pointer.x + (dx * gain) / rect.width), y: clamp(this.#pointer.y + (dy * gain) / rect.height) };
            this.#showPointer();
            this.#view.keepInView(this.#pointer);
            this.#sendAt('move', this.#pointer, { button: LEFT });
            return;
        }
        default:
        }
    }

    /** A finger past the slop: what its moving does, by mode, zoom and whether it came after a tap. */
    #startMoving(gesture) {
        if (this.#mode === MODE.trackpad) {
            gesture.mode = gesture.afterTap ? 'glideDrag' : 'glide';
            if (gesture.afterTap) this.#sendAt('down', this.#pointer, { button: LEFT });
            return;
        }
        if (this.#view.zoom > 1 && !gesture.afterTap) {
            gesture.mode = 'pan';
            return;
        }
        gesture.mode = 'drag';
        this.#send('down', gesture.start, { button: LEFT });
        this.#pointTo(gesture.start);
    }

    #twoFingers(gesture) {
        if (this.#touches.size < 2) return;
        const [a, b] = this.#touches.values();
        const mid = midpoint(a, b);
        const span = distance(a, b);
        if (gesture.mode === 'two') {
            if (Math.abs(span - gesture.startDistance) >= PINCH_SLOP_PX) gesture.mode = 'pinch';
            else if (distance(mid, gesture.startMid) >= TOUCH_SLOP_PX) gesture.mode = 'scroll';
            else return;
        }
        if (gesture.mode === 'pinch') {
            this.#view.zoomAbout(span / Math.max(gesture.distance, 1), mid.x, mid.y);
            this.#view.panBy(mid.x - gesture.mid.x, mid.y - gesture.mid.y);
        } else {
            // Fingers moving down pull the content down, which is scrolling up: positive deltaY.
            // The distance is counted in the host's pixels, so the content follows the fingers.
            const rect = this.#view.pictureRect();
            const perPixel = rect === null ? 1 : this.#viewer.remoteSize.height / rect.height;
            const deltaY = (mid.y - gesture.mid.y) * perPixel;
            const deltaX = (mid.x - gesture.mid.x) * perPixel;
            if (deltaY !== 0 || deltaX !== 0) this.#sendAt('wheel', gesture.aim, { deltaX, deltaY });
        }
        gesture.mid = mid;
        gesture.distance = span;
    }

    #longPress(gesture) {
        if (this.#gesture !== gesture || gesture.mode !== 'pending') return;
        gesture.mode = 'done';
        this.#lastTap = null;
        this.#rightClick(this.#pointTo(gesture.start));
    }

    #rightClick(at) {
        this.#sendAt('down', at, { button: RIGHT });
        this.#sendAt('up', at, { button: RIGHT });
    }

    #touchUp(event, cancelled) {
        if (!this.#touches.has(event.pointerId)) return;
        this.#touches.delete(event.pointerId);
        const gesture = this.#gesture;
        if (gesture?.mode === 'two') {
            // Two fingers down and up again without moving: the right button.
            if (!cancelled && event.timeStamp - gesture.time <= TWO_FINGER_TAP_MS) {
                if (this.#mode === MODE.touch) this.#pointer = gesture.aim;
                this.#showPointer();
                this.#rightClick(gesture.aim);
            }
            gesture.mode = 'done';
        } else if (gesture !== null && gesture.finger === event.pointerId) {
            clearTimeout(gesture.timer);
            if (gesture.mode === 'drag') {
                // A cancelled drag still releases the button, so none stays held on the host.
                this.#send('up', gesture.last, { button: LEFT });
            } else if (gesture.mode === 'glideDrag') {
                this.#sendAt('up', this.#pointer, { button: LEFT });
            } else if (gesture.mode === 'pending' && !cancelled) {
                this.#tap(gesture.start, event.timeStamp);
            }
            gesture.mode = 'done';
        }
        if (this.#touches.size === 0) {
            // A zoom that moved the trackpad's pointer out of sight brings it back.
            if (gesture?.mode === 'done' && this.#mode === MODE.trackpad) this.#view.keepInView(this.#pointer);
            this.#gesture = null;
        }
    }

    #tap(point, time) {
        const last = this.#lastTap;
        const trackpad = this.#mode === MODE.trackpad;
        const second = last !== null && time - last.time <= DOUBLE_TAP_MS && (trackpad || distance(point, last.point) <= DOUBLE_TAP_SLOP_PX);
        const clickCount = second ? 2 : 1;
        // A third tap starts over rather than making a triple click.
        this.#lastTap = second ? null : { point, time };
        // A trackpad clicks where its pointer is; a touch where the finger was (the first tap's
        // place for a double click, so that both clicks hit the same spot).
        const at = trackpad ? this.#pointer : this.#pointTo(second ? last.point : point);
        this.#sendAt('down', at, { button: LEFT, clickCount });
        this.#sendAt('up', at, { button: LEFT, clickCount });
    }
}

function midpoint(a, b) {
    return { x: (a.x + b.x) / 2, y: (a.y + b.y) / 2 };
}

function distance(a, b) {
    return Math.hypot(a.x - b.x, a.y - b.y);
}
