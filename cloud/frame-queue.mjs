// Frames waiting for a reader. Each queue holds its frames' payloads against the account it was
// given, so the bytes count for as long as the frames wait (and longer, while an unread answer
// still carries them).

/** Frames waiting for a reader; keeps its own size, and its payloads held against its account. */
export class FrameQueue {
    constructor(account) {
        this.account = account;
        this.frames = [];
        this.bytes = 0;
    }

    get length() {
        return this.frames.length;
    }

    push(frame) {
        this.frames.push(frame);
        this.bytes += frame.payload.length;
        frame.payload.hold(this.account);
    }

    /** Drops the oldest frame. */
    dropOldest() {
        const frame = this.frames.shift();
        this.bytes -= frame.payload.length;
        frame.payload.release();
    }

    /** Keeps only the frames `keep` accepts. */
    retain(keep) {
        if (this.frames.every(keep)) return;
        const kept = [];
        for (const frame of this.frames) {
            if (keep(frame)) kept.push(frame);
            else {
                this.bytes -= frame.payload.length;
                frame.payload.release();
            }
        }
        this.frames = kept;
    }

    /** Hands over every frame and empties the queue; the frames are no longer held by it. */
    takeAll() {
        const frames = this.frames;
        for (const frame of frames) frame.payload.release();
        this.frames = [];
        this.bytes = 0;
        return frames;
    }
}
