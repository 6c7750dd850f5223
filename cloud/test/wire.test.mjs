// The answer bytes that peers parse, pinned as text: the poll answer is written by hand, piece by
// piece, so a slip in it would not show in a test that compares parsed JSON.

import assert from 'node:assert/strict';
import { describe, it } from 'node:test';
import { CLOSE_FRAME, FramesAnswer, NO_FRAMES_TEXT, OK_TEXT, Payload, refusalText } from '../wire.mjs';

const payload = (...texts) => new Payload(texts.map((text) => Buffer.from(text, 'latin1')));
const written = (answer) => Buffer.concat(answer.pieces()).toString('latin1');

describe('Switchboard wire bytes', () => {
    it('Answer.EachShape_ExactBytes', () => {
        const hello = { kind: 'json', payload: payload('eyJ0eXBlIjoi', 'aGVsbG8ifQ==') };
        const picture = { kind: 'jpeg', payload: payload('/9j/4AAQ') };
        const cases = [
            ['one frame', written(new FramesAnswer([picture], 7)), '{"frames":[{"kind":"jpeg","payload":"/9j/4AAQ"}],"since":7}'],
            ['frames in order, payload in pieces', written(new FramesAnswer([hello, picture], 2)),
                '{"frames":[{"kind":"json","payload":"eyJ0eXBlIjoiaGVsbG8ifQ=="},{"kind":"jpeg","payload":"/9j/4AAQ"}],"since":2}'],
            ['tiles between a picture and a message', written(new FramesAnswer([picture, { kind: 'tiles', payload: payload('AAEA', 'AQ==') }, hello], 9)),
                '{"frames":[{"kind":"jpeg","payload":"/9j/4AAQ"},{"kind":"tiles","payload":"AAEAAQ=="},{"kind":"json","payload":"eyJ0eXBlIjoiaGVsbG8ifQ=="}],"since":9}'],
            ['close for the host', written(new FramesAnswer([CLOSE_FRAME], 0)),
                '{"frames":[{"kind":"json","payload":"eyJ0eXBlIjoiY2xvc2UifQ=="}],"since":0}'],
            ['no frames', new FramesAnswer([], 12).emptyText(), '{"frames":[],"since":12}'],
            ['no frames at cursor 0', NO_FRAMES_TEXT, '{"frames":[],"since":0}'],
            ['success', OK_TEXT, '{"ok":true}'],
            ['refusal', refusalText('Wrong "password"'), '{"error":"Wrong \\"password\\""}'],
        ];
        for (const [what, actual, expected] of cases) assert.equal(actual, expected, what);
        assert.equal(Buffer.from(CLOSE_FRAME.payload.pieces.join(''), 'base64').toString(), '{"type":"close"}');
    });
});
