// Mouse, wheel and touch on the picture area, turned into the input messages the desktop viewer
// sends: a press, drag and release of the left button, a right click, the wheel in pixels, a
// double click as a press with clickCount 2.
//
// A touch screen has no buttons, so gestures stand in for them: a tap is a click (two quick taps
// a double click), a finger that moves is a drag, a finger held still is a right click, two
// fingers moving together scroll, and two fingers spreading or closing zoom the picture here
// without telling the host.

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
// A finger held this long without moving is a right click.
export const LONG_PRESS_MS = 550;
// A second tap this soon after the first, and this near it, makes a double click.
const DOUBLE_TAP_MS = 400;
const DOUBLE_TAP_SLOP_PX = 24;
// Two fingers whose distance changes by this much before they move together are a pinch.
const PINCH_SLOP_PX = 16;

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
    // Mouse buttons held down on the area, by host button number.
    #held = new Set();
    // Touch: the fingers on the area by pointer id, the gesture they make, and the last tap.
    #touches = new Map();
    #gesture = null;
    #lastTap = null;

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

    /** Forgets every press and gesture: the session they belonged to has ended. */
    reset() {
        this.#held.clear();
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
        const { x, y } = this.#view.fractionAt(point.x, point.y);
        this.#viewer.sendInput(inputMessage(kind, x, y, options));
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
        this.#held.add(button);
        this.#send('down', this.#point(event), { button, clickCount: event.detail, modifiers: modifiersOf(event) });
    }

    #mouseMove(event) {
        // Moves go out only while the left button is held: a drag. Hovering sends nothing.
        if (!this.#held.has(LEFT) || PointerInput.#fromTouch(event)) return;
        this.#send('move', this.#point(event), { button: LEFT, modifiers: modifiersOf(event) });
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
        if (this.#touches.size === 1) {
            this.#onPress(event.pointerType);
            const gesture = { mode: 'pending', finger: event.pointerId, start: point, last: point, timer: 0 };
            gesture.timer = setTimeout(() => this.#longPress(gesture), LONG_PRESS_MS);
            this.#gesture = gesture;
        } else if (this.#touches.size === 2 && this.#gesture?.mode === 'pending') {
            // A second finger before the first did anything: a scroll or a pinch.
            clearTimeout(this.#gesture.timer);
            const [a, b] = this.#touches.values();
            this.#gesture = { mode: 'two', startMid: midpoint(a, b), mid: midpoint(a, b), startDistance: distance(a, b), distance: distance(a, b) };
        }
    }

    #touchMove(event) {
        if (!this.#touches.has(event.pointerId)) return;
        const point = this.#point(event);
        this.#touches.set(event.pointerId, point);
        const gesture = this.#gesture;
        if (gesture === null) return;
        switch (gesture.mode) {
        case 'pending':
        case 'drag':
            // Once one finger drags, others that touch down are not part of it.
            if (event.pointerId !== gesture.finger) return;
            if (gesture.mode === 'drag') {
                this.#send('move', point, { button: LEFT });
                gesture.last = point;
                return;
            }
            if (distance(point, gesture.start) < TOUCH_SLOP_PX) return;
            clearTimeout(gesture.timer);
            gesture.mode = 'drag';
            this.#send('down', gesture.start, { button: LEFT });
            this.#send('move', point, { button: LEFT });
            gesture.last = point;
            return;
        case 'two':
        case 'scroll':
        case 'pinch':
            this.#twoFingers(gesture);
            return;
        default:
        }
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
            if (deltaY !== 0 || deltaX !== 0) this.#send('wheel', mid, { deltaX, deltaY });
        }
        gesture.mid = mid;
        gesture.distance = span;
    }

    #longPress(gesture) {
        if (this.#gesture !== gesture || gesture.mode !== 'pending') return;
        gesture.mode = 'done';
        this.#send('down', gesture.start, { button: RIGHT });
        this.#send('up', gesture.start, { button: RIGHT });
    }

    #touchUp(event, cancelled) {
        if (!this.#touches.has(event.pointerId)) return;
        this.#touches.delete(event.pointerId);
        const gesture = this.#gesture;
        const ownFinger = gesture !== null && gesture.finger === event.pointerId;
        if (ownFinger && (gesture.mode === 'pending' || gesture.mode === 'drag')) {
            clearTimeout(gesture.timer);
            if (gesture.mode === 'drag') {
                // A cancelled drag still releases the button, so none stays held on the host.
                this.#send('up', gesture.last, { button: LEFT });
            } else if (!cancelled) {
                this.#tap(gesture.start, event.timeStamp);
            }
            gesture.mode = 'done';
        }
        if (this.#touches.size === 0) this.#gesture = null;
    }

    #tap(point, time) {
        const last = this.#lastTap;
        const second = last !== null && time - last.time <= DOUBLE_TAP_MS && distance(point, last.point) <= DOUBLE_TAP_SLOP_PX;
        const clickCount = second ? 2 : 1;
        // A third tap starts over rather than making a triple click.
        this.#lastTap = second ? null : { point, time };
        const at = second ? last.point : point;
        this.#send('down', at, { button: LEFT, clickCount });
        this.#send('up', at, { button: LEFT, clickCount });
    }
}

function midpoint(a, b) {
    return { x: (a.x + b.x) / 2, y: (a.y + b.y) / 2 };
}

function distance(a, b) {
    return Math.hypot(a.x - b.x, a.y - b.y);
}
