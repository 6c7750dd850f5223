// Frames waiting for a reader. Each queue holds its frames' payloads against the account it was
// given, so the bytes count for as long as the frames wait (and longer, while an unread answer
// still carries them).
//
// Each frame learns its fate once: taken (handed to its reader in a poll answer) or dropped
// (replaced by a newer picture, or thrown away with its session) before anyone took it. A push
// held until its frame is taken reads it there.

export const FATE = Object.freeze({ taken: 'taken', dropped: 'dropped' });

/** Marks a frame taken, unless it already has a fate; true when it had none. */
export function markTaken(frame) {
    if (frame.fate !== undefined) return false;
    frame.fate = FATE.taken;
    return true;
}

function markDropped(frame) {
    if (frame.fate === undefined) frame.fate = FATE.dropped;
}

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
        markDropped(frame);
    }

    /** Keeps only the frames `keep` accepts; the others are dropped, unless taken before. */
    retain(keep) {
        if (this.frames.every(keep)) return;
        const kept = [];
        for (const frame of this.frames) {
            if (keep(frame)) kept.push(frame);
            else {
                this.bytes -= frame.payload.length;
                frame.payload.release();
                markDropped(frame);
            }
        }
        this.frames = kept;
    }

    /**
     * Hands over every frame, taken, and empties the queue; the frames are no longer held by it.
     * Returns the frames, and whether any of them was taken only now.
     */
    takeAll() {
        let taken = false;
        for (const frame of this.frames) taken = markTaken(frame) || taken;
        return { frames: this.#empty(), taken };
    }

    /** Empties the queue; frames nobody took are dropped. */
    clear() {
        for (const frame of this.#empty()) markDropped(frame);
    }

    #empty() {
        const frames = this.frames;
        for (const frame of frames) frame.payload.release();
        this.frames = [];
        this.bytes = 0;
        return frames;
    }
}
