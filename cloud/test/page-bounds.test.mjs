// The browser page's picture bounds without a browser: the size a JPEG's header states, read
// before anything is decoded, and the largest picture a host's hello allows.

import assert from 'node:assert/strict';
import { describe, it } from 'node:test';
import { MAX_PIXELS, answerPixelBudget, fitsBound, jpegSize, pictureBound } from '../web/picture-decoding.js';

const u16 = (value) => [value >> 8, value & 0xff];
/** A marker segment: FF, the marker, the length (which counts itself) and the contents. */
const segment = (marker, contents) => [0xff, marker, ...u16(contents.length + 2), ...contents];
/** A start-of-frame segment's contents: precision, height, width, one component. */
const frameOf = (width, height) => [8, ...u16(height), ...u16(width), 1, 1, 0x11, 0];
const SOI = [0xff, 0xd8];

describe('Browser page picture bounds', () => {
    it('JpegSize.HeaderRead_SizeFromStartOfFrameOrNothing', () => {
        const cases = [
            // [what, bytes, size or null]
            ['baseline', [...SOI, ...segment(0xc0, frameOf(640, 360))], { width: 640, height: 360 }],
            ['after APP0 and a table, progressive', [...SOI, ...segment(0xe0, Array(14).fill(0)), ...segment(0xdb, Array(65).fill(1)),
                ...segment(0xc2, frameOf(16384, 16384))], { width: 16384, height: 16384 }],
            ['arithmetic-coded', [...SOI, ...segment(0xc9, frameOf(7680, 4320))], { width: 7680, height: 4320 }],
            ['fill bytes before a marker', [...SOI, 0xff, 0xff, ...segment(0xc1, frameOf(2, 3))], { width: 2, height: 3 }],
            ['a Huffman table (C4) is no frame', [...SOI, ...segment(0xc4, frameOf(9, 9)), ...segment(0xc0, frameOf(4, 5))], { width: 4, height: 5 }],
            ['no SOI', segment(0xc0, frameOf(640, 360)), null],
            ['scan before any frame', [...SOI, ...segment(0xda, [1, 2, 3]), ...segment(0xc0, frameOf(640, 360))], null],
            ['end of image first', [...SOI, 0xff, 0xd9, ...segment(0xc0, frameOf(640, 360))], null],
            ['frame cut short', [...SOI, 0xff, 0xc0, 0, 17, 8, 1], null],
            ['a length below two', [...SOI, 0xff, 0xe0, 0, 1, ...segment(0xc0, frameOf(1, 1))], null],
            ['bytes between segments', [...SOI, 0x00, ...segment(0xc0, frameOf(1, 1))], null],
            ['a segment running past the end', [...SOI, 0xff, 0xe0, 0xff, 0xff, 0, 0], null],
        ];
        for (const [what, bytes, size] of cases) assert.deepEqual(jpegSize(Uint8Array.from(bytes)), size, what);
    });

    it('Bound.HelloAndLimits_ThreePixelsPerPointWithinTheLargestDisplay', () => {
        const before = pictureBound();
        const cases = [
            // [what, hello, picture, fits]
            ['before any hello, 8K', null, [7680, 4320], true],
            ['before any hello, 8K upright', null, [4320, 7680], true],
            ['before any hello, a side past 8192', null, [8193, 16], false],
            ['before any hello, 8192 square is past 8K pixels', null, [8192, 8192], false],
            ['three per point', { width: 1280, height: 720 }, [3840, 2160], true],
            ['one pixel wider', { width: 1280, height: 720 }, [3841, 2160], false],
            ['one pixel taller', { width: 1280, height: 720 }, [3840, 2161], false],
            ['fractional points round up', { width: 1280.4, height: 720 }, [3842, 2160], true],
            ['a hello of 16384 points is still held to 8K', { width: 16384, height: 16384 }, [8192, 4320], false],
            ['a zero-sized hello keeps the bound before it', { width: 0, height: 720 }, [7680, 4320], true],
            ['empty', null, [0, 10], false],
        ];
        for (const [what, hello, [width, height], fits] of cases) {
            assert.equal(fitsBound({ width, height }, hello === null ? before : pictureBound(hello)), fits, what);
        }
        assert.equal(fitsBound(null, before), false, 'no size read');
        // An answer decodes two pictures' worth of the largest the hello allows, never more than two 8K ones.
        assert.equal(answerPixelBudget(pictureBound({ width: 640, height: 360 })), 2 * 1920 * 1080);
        assert.equal(answerPixelBudget(before), 2 * MAX_PIXELS);
    });
});
