// Frames waiting for a reader, and the count of payload bytes that all of them hold together.

/** Payload bytes held by every queue of the service together, against one budget. */
export class StoredBytes {
    constructor(limit) {
        this.limit = limit;
        this.used = 0;
    }

    /** Would `added` bytes fit once `freed` bytes are let go? */
    fits(added, freed = 0) {
        return this.used - freed + added <= this.limit;
    }
}

/** Frames waiting for a reader; keeps its own size and the service's total up to date. */
export class FrameQueue {
    constructor(stored) {
        this.stored = stored;
        this.frames = [];
        this.bytes = 0;
    }

    get length() {
        return this.frames.length;
    }

    push(frame) {
        this.frames.push(frame);
        this.bytes += frame.payload.length;
        this.stored.used += frame.payload.length;
    }

    /** Drops the oldest frame. */
    dropOldest() {
        const frame = this.frames.shift();
        this.bytes -= frame.payload.length;
        this.stored.used -= frame.payload.length;
    }

    /** Keeps only the frames `keep` accepts. */
    retain(keep) {
        if (this.frames.every(keep)) return;
        this.frames = this.frames.filter(keep);
        const bytes = this.frames.reduce((sum, frame) => sum + frame.payload.length, 0);
        this.stored.used -= this.bytes - bytes;
        this.bytes = bytes;
    }

    /** Hands over every frame and empties the queue. */
    takeAll() {
        const frames = this.frames;
        this.stored.used -= this.bytes;
        this.frames = [];
        this.bytes = 0;
        return frames;
    }
}
