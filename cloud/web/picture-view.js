// The remote picture on a canvas: scaled by one factor to fit the area, centred, never cropped,
// the rest of the area in the background colour (letterbox bands). On a touch screen the picture
// can be zoomed and moved locally; the host never hears of it.
//
// Pointer positions become fractions of the picture as it is drawn, so a click lands on the host
// where the user saw it, whether the picture is letterboxed or zoomed; a point outside the
// picture counts as its nearest edge.
//
// The remote pointer can be drawn over the picture (where a tap or the trackpad put it): an
// element of its own laid over the canvas, so moving it never redraws the picture. So is the
// host's own pointer, as the host sends it (its shape, scaled as the picture is, with its tip
// where the host has it). A zoomed view
// keeps it in sight: when the area shrinks (an on-screen keyboard coming up) and when asked to
// follow it.
//
// A host that sends only its changed areas (tiles) has them drawn into a copy of the picture kept
// off screen, and only the area they changed is drawn again on the canvas.

export const BACKGROUND = '#0B0C0E';
export const MAX_ZOOM = 5;
// Below this zoom the picture snaps back to fitting the area.
const SNAP_ZOOM = 1.05;
// A followed point is kept at least this far inside the area's edges (CSS pixels), or in its
// middle when the area is smaller than twice this.
const FOLLOW_MARGIN_PX = 48;

function offscreenCanvas(width, height) {
    if (typeof OffscreenCanvas === 'function') return new OffscreenCanvas(width, height);
    const canvas = document.createElement('canvas');
    canvas.width = width;
    canvas.height = height;
    return canvas;
}

export class PictureView {
    #canvas;
    #context;
    // The picture shown: the host's last whole picture as decoded (an ImageBitmap), or #composed
    // once tiles have changed it.
    #picture = null;
    #composed = null;
    #composedContext = null;
    #zoom = 1;
    // The picture's centre relative to the area's centre, in CSS pixels (only while zoomed).
    #offsetX = 0;
    #offsetY = 0;
    #width = 0;
    #height = 0;
    #scale = 1;
    // The remote pointer as picture fractions { x, y }, or null when it is not drawn.
    #pointer = null;
    #pointerElement;
    // The host's pointer: { x, y, shape: { bytes, width, height, hotX, hotY } } in the host
    // display's pixels, that display's size, and the canvas it is drawn on (a canvas: the page's
    // policy allows no data or blob image sources). Shapes decode in turn; only the newest is drawn.
    #remotePointer = null;
    #remoteSize = null;
    #remotePointerElement;
    #shapeGeneration = 0;

    /**
     * `canvas` fills its area; `onFirstPicture` runs when a picture is shown after none;
     * `pointerElement` (optional) is laid over the canvas where the remote pointer is drawn;
     * `onZoom(zoom)` runs when the zoom changes.
     */
    constructor(canvas, { onFirstPicture = () => {}, pointerElement = null, remotePointerElement = null, onZoom = () => {} } = {}) {
        this.#canvas = canvas;
        this.#context = canvas.getContext('2d', { alpha: false });
        this.onFirstPicture = onFirstPicture;
        this.onZoom = onZoom;
        this.#pointerElement = pointerElement;
        this.#remotePointerElement = remotePointerElement;
    }

    /**
     * The host's pointer (readCursor) on a display of `remoteSize`; a message without a shape
     * keeps the shape before. Null hides it.
     */
    setRemotePointer(cursor, remoteSize) {
        this.#remoteSize = remoteSize;
        if (cursor === null) {
            this.#remotePointer = null;
        } else {
            const shape = cursor.shape ?? this.#remotePointer?.shape ?? null;
            if (cursor.shape !== null) this.#drawShape(cursor.shape);
            this.#remotePointer = { x: cursor.x, y: cursor.y, shape };
        }
        this.#placeRemotePointer();
    }

    async #drawShape(shape) {
        const element = this.#remotePointerElement;
        if (element === null) return;
        this.#shapeGeneration += 1;
        const generation = this.#shapeGeneration;
        let bitmap;
        try {
            bitmap = await createImageBitmap(new Blob([shape.bytes], { type: 'image/png' }));
        } catch {
            return;
        }
        // A newer shape came meanwhile, or the bytes decoded to another size than their header said.
        if (generation !== this.#shapeGeneration || bitmap.width !== shape.width || bitmap.height !== shape.height) {
            bitmap.close();
            return;
        }
        element.width = shape.width;
        element.height = shape.height;
        const context = element.getContext('2d');
        context.clearRect(0, 0, shape.width, shape.height);
        context.drawImage(bitmap, 0, 0);
        bitmap.close();
    }

    /** The host's pointer as last drawn: { x, y, width, height } in CSS pixels of the area, or null. */
    get remotePointerBox() {
        const pointer = this.#remotePointer;
        const rect = pointer?.shape ? this.pictureRect() : null;
        if (rect === null || pointer.x < 0 || pointer.x > 1 || pointer.y < 0 || pointer.y > 1) return null;
        // The shape is in the display's pixels, drawn as the picture is.
        const scale = this.#remoteSize?.width > 0 ? rect.width / this.#remoteSize.width : 1;
        const { width, height, hotX, hotY } = pointer.shape;
        return {
            x: rect.x + pointer.x * rect.width - hotX * scale, y: rect.y + pointer.y * rect.height - hotY * scale,
            width: width * scale, height: height * scale,
        };
    }

    #placeRemotePointer() {
        const element = this.#remotePointerElement;
        if (element === null) return;
        const box = this.remotePointerBox;
        element.hidden = box === null;
        if (box === null) return;
        element.style.width = `${box.width.toFixed(1)}px`;
        element.style.height = `${box.height.toFixed(1)}px`;
        element.style.transform = `translate(${box.x.toFixed(1)}px, ${box.y.toFixed(1)}px)`;
    }

    /** Where the remote pointer is drawn, as picture fractions; null hides it. */
    setPointer(fraction) {
        this.#pointer = fraction === null ? null : { x: fraction.x, y: fraction.y };
        this.#placePointer();
    }

    get pointer() {
        return this.#pointer;
    }

    /**
     * Moves a zoomed picture as little as needed to bring a point of it (picture fractions) at
     * least FOLLOW_MARGIN_PX inside the area's edges; a picture at its fitted size is all in view.
     */
    keepInView(fraction) {
        const rect = this.#zoom === 1 ? null : this.pictureRect();
        if (rect === null) return;
        const shift = (at, size) => {
            const margin = Math.min(FOLLOW_MARGIN_PX, size / 2);
            if (at < margin) return margin - at;
            if (at > size - margin) return size - margin - at;
            return 0;
        };
        const dx = shift(rect.x + fraction.x * rect.width, this.#width);
        const dy = shift(rect.y + fraction.y * rect.height, this.#height);
        if (dx !== 0 || dy !== 0) this.panBy(dx, dy);
    }

    #placePointer() {
        const element = this.#pointerElement;
        if (element === null) return;
        const rect = this.#pointer === null ? null : this.pictureRect();
        element.hidden = rect === null;
        if (rect === null) return;
        const x = rect.x + this.#pointer.x * rect.width;
        const y = rect.y + this.#pointer.y * rect.height;
        element.style.transform = `translate(${x.toFixed(1)}px, ${y.toFixed(1)}px)`;
    }

    get hasPicture() {
        return this.#picture !== null;
    }

    get zoom() {
        return this.#zoom;
    }

    /** The pixel size of the picture shown, or null without one. */
    get pictureSize() {
        const picture = this.#picture;
        return picture === null ? null : { width: picture.width, height: picture.height };
    }

    /**
     * Shows `picture` (an ImageBitmap, in place of the one before; null keeps the picture shown)
     * changed by `changes`, a list of tiles frames, each a list of { x, y, bitmap } that fit the
     * picture, applied in order. All tiles are drawn off screen before the canvas is drawn, so it
     * never shows a picture half changed. Every bitmap given is taken over and released.
     */
    present(picture, changes) {
        const first = this.#picture === null;
        if (picture !== null) {
            if (this.#picture !== this.#composed) this.#picture?.close?.();
            this.#picture = picture;
        }
        if (this.#picture === null || changes.length === 0) {
            for (const tiles of changes) for (const { bitmap } of tiles) bitmap.close?.();
            if (picture !== null) this.draw();
        } else {
            const context = this.#composing();
            const changed = [];
            for (const tiles of changes) {
                for (const { x, y, bitmap } of tiles) {
                    context.drawImage(bitmap, x, y);
                    changed.push({ x, y, width: bitmap.width, height: bitmap.height });
                    bitmap.close?.();
                }
            }
            if (picture !== null) this.draw();
            else this.#drawAreas(changed);
        }
        if (first && this.#picture !== null) this.onFirstPicture();
    }

    /** The off-screen copy of the picture, to draw tiles into; made from the bitmap the first time. */
    #composing() {
        const picture = this.#picture;
        if (picture === this.#composed) return this.#composedContext;
        if (this.#composed === null || this.#composed.width !== picture.width || this.#composed.height !== picture.height) {
            this.#composed = offscreenCanvas(picture.width, picture.height);
            this.#composedContext = this.#composed.getContext('2d', { alpha: false });
        }
        this.#composedContext.drawImage(picture, 0, 0);
        picture.close?.();
        this.#picture = this.#composed;
        return this.#composedContext;
    }

    /** Back to no picture and no zoom, as at the start of a session. */
    clear() {
        if (this.#picture !== this.#composed) this.#picture?.close?.();
        this.#picture = null;
        this.#composed = null;
        this.#composedContext = null;
        this.#pointer = null;
        this.#remotePointer = null;
        this.#setZoom(1);
        this.#offsetX = 0;
        this.#offsetY = 0;
        this.draw();
    }

    #setZoom(zoom) {
        if (zoom === this.#zoom) return;
        this.#zoom = zoom;
        this.onZoom(zoom);
    }

    /** The area's CSS size and the device's pixels per CSS pixel, when either changes. */
    resize(width, height, scale) {
        this.#width = width;
        this.#height = height;
        this.#scale = scale;
        this.#canvas.width = Math.max(1, Math.round(width * scale));
        this.#canvas.height = Math.max(1, Math.round(height * scale));
        this.#limitOffset();
        // What shrank the area (an on-screen keyboard) must not hide where the user works.
        if (this.#pointer !== null) this.keepInView(this.#pointer);
        this.draw();
    }

    /** Where the picture is drawn, in CSS pixels of the area; null without a picture. */
    pictureRect() {
        const picture = this.#picture;
        if (picture === null || picture.width === 0 || picture.height === 0) return null;
        const fit = Math.min(this.#width / picture.width, this.#height / picture.height);
        const width = picture.width * fit * this.#zoom;
        const height = picture.height * fit * this.#zoom;
        return {
            x: (this.#width - width) / 2 + this.#offsetX,
            y: (this.#height - height) / 2 + this.#offsetY,
            width,
            height,
        };
    }

    /** A point of the area (CSS pixels from its top-left corner) as clamped picture fractions. */
    fractionAt(x, y) {
        const rect = this.pictureRect() ?? { x: 0, y: 0, width: this.#width, height: this.#height };
        const clamp = (value) => Math.min(1, Math.max(0, value));
        return {
            x: clamp((x - rect.x) / Math.max(rect.width, 1)),
            y: clamp((y - rect.y) / Math.max(rect.height, 1)),
        };
    }

    /** Zooms by `factor` about a point of the area, keeping the picture under it in place. */
    zoomAbout(factor, x, y) {
        const before = this.pictureRect();
        if (before === null) return;
        let zoom = Math.min(MAX_ZOOM, Math.max(1, this.#zoom * factor));
        if (zoom < SNAP_ZOOM) zoom = 1;
        const u = (x - before.x) / before.width;
        const v = (y - before.y) / before.height;
        const width = before.width * (zoom / this.#zoom);
        const height = before.height * (zoom / this.#zoom);
        this.#setZoom(zoom);
        this.#offsetX = x - u * width - (this.#width - width) / 2;
        this.#offsetY = y - v * height - (this.#height - height) / 2;
        this.#limitOffset();
        this.draw();
    }

    /** Moves a zoomed picture by CSS pixels. */
    panBy(dx, dy) {
        this.#offsetX += dx;
        this.#offsetY += dy;
        this.#limitOffset();
        this.draw();
    }

    /** A zoomed picture may be moved until its edge meets the area's edge, no further. */
    #limitOffset() {
        const rect = this.#zoom === 1 ? null : this.pictureRect();
        if (rect === null) {
            this.#offsetX = 0;
            this.#offsetY = 0;
            return;
        }
        const spareX = Math.max(0, (rect.width - this.#width) / 2);
        const spareY = Math.max(0, (rect.height - this.#height) / 2);
        this.#offsetX = Math.min(spareX, Math.max(-spareX, this.#offsetX));
        this.#offsetY = Math.min(spareY, Math.max(-spareY, this.#offsetY));
    }

    /**
     * Draws again only the canvas pixels that show `areas` (rectangles of picture pixels): the
     * whole picture is drawn as always, clipped to them, so they come out as a full draw would.
     */
    #drawAreas(areas) {
        const rect = this.pictureRect();
        if (rect === null) return;
        const picture = this.#picture;
        const s = this.#scale;
        const perPixelX = (rect.width * s) / picture.width;
        const perPixelY = (rect.height * s) / picture.height;
        // Smoothing blends each canvas pixel from the picture pixels around it, so a changed
        // picture pixel also shows in the canvas pixels next to its own.
        const marginX = Math.ceil(perPixelX) + 1;
        const marginY = Math.ceil(perPixelY) + 1;
        const { width, height } = this.#canvas;
        const context = this.#context;
        context.save();
        context.beginPath();
        for (const area of areas) {
            const left = Math.max(0, Math.floor(rect.x * s + area.x * perPixelX) - marginX);
            const top = Math.max(0, Math.floor(rect.y * s + area.y * perPixelY) - marginY);
            const right = Math.min(width, Math.ceil(rect.x * s + (area.x + area.width) * perPixelX) + marginX);
            const bottom = Math.min(height, Math.ceil(rect.y * s + (area.y + area.height) * perPixelY) + marginY);
            if (right > left && bottom > top) context.rect(left, top, right - left, bottom - top);
        }
        context.clip();
        this.draw();
        context.restore();
    }

    draw() {
        const context = this.#context;
        const { width, height } = this.#canvas;
        context.fillStyle = BACKGROUND;
        const rect = this.pictureRect();
        this.#placePointer();
        this.#placeRemotePointer();
        if (rect === null) {
            context.fillRect(0, 0, width, height);
            return;
        }
        const s = this.#scale;
        const left = rect.x * s;
        const top = rect.y * s;
        const right = left + rect.width * s;
        const bottom = top + rect.height * s;
        // Only the bands the picture leaves are filled: the picture is opaque, and filling the
        // whole canvas first would paint every pixel twice.
        if (top > 0) context.fillRect(0, 0, width, Math.ceil(top));
        if (bottom < height) context.fillRect(0, Math.floor(bottom), width, height - Math.floor(bottom));
        if (left > 0) context.fillRect(0, 0, Math.ceil(left), height);
        if (right < width) context.fillRect(Math.floor(right), 0, width - Math.floor(right), height);
        context.drawImage(this.#picture, left, top, rect.width * s, rect.height * s);
    }
}
