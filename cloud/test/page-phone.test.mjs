// The browser page's phone logic that needs no browser: the extra keys' sticky modifiers, the
// trackpad's acceleration and the recent IDs kept in the browser's storage.

import assert from 'node:assert/strict';
import { describe, it } from 'node:test';
import { STICKY, StickyModifiers, withModifiers } from '../web/extra-keys.js';
import { trackpadGain } from '../web/pointer-input.js';
import { MAX_RECENT, RECENT_IDS_KEY, forgetRecent, readRecent, rememberRecent } from '../web/recent-ids.js';

/** A Storage with only what the page uses; `failing` makes every write throw, as a full one does. */
function memoryStorage(entries = {}, { failing = false } = {}) {
    const map = new Map(Object.entries(entries));
    return {
        getItem: (name) => map.get(name) ?? null,
        setItem: (name, value) => {
            if (failing) throw new Error('QuotaExceededError');
            map.set(name, String(value));
        },
    };
}

describe('Browser page on a phone', () => {
    it('Sticky.TapsAndKeys_OnceForTheNextKeyTwiceLocked', () => {
        const cases = [
            // [what, taps and keys in order ('key' sends one), the modifiers each key carried, states after]
            ['once, used by the next key', ['control', 'key', 'key'], [['control'], []], { control: STICKY.off }],
            ['twice, locked', ['control', 'control', 'key', 'key'], [['control'], ['control']], { control: STICKY.locked }],
            ['three times, off again', ['control', 'control', 'control', 'key'], [[]], { control: STICKY.off }],
            ['several, in the wire order', ['alt', 'control', 'control', 'shift', 'key', 'key'],
                [['shift', 'control', 'alt'], ['control']], { control: STICKY.locked, alt: STICKY.off, shift: STICKY.off }],
            ['an unknown name is ignored', ['hyper', 'key'], [[]], {}],
        ];
        for (const [what, steps, carried, states] of cases) {
            let changes = 0;
            const sticky = new StickyModifiers(() => { changes += 1; });
            const sent = [];
            for (const step of steps) {
                if (step === 'key') sent.push(sticky.take());
                else sticky.tap(step);
            }
            assert.deepEqual(sent, carried, what);
            for (const [name, state] of Object.entries(states)) assert.equal(sticky.state(name), state, `${what}: ${name}`);
            assert.ok(changes > 0 || steps.every((step) => step === 'key' || step === 'hyper'), `${what}: the bar was told`);
        }
        assert.deepEqual(withModifiers(['alt'], ['shift', 'alt']), ['shift', 'alt']);
    });

    it('Trackpad.Gain_OneForASlowFingerGrowingToItsLimit', () => {
        const cases = [
            // [finger speed in px/ms, gain]
            [0, 1], [0.25, 1], [0.65, 1.6], [1.25, 2.5], [2.25, 4], [50, 4], [Infinity, 4],
        ];
        for (const [speed, gain] of cases) assert.ok(Math.abs(trackpadGain(speed) - gain) < 1e-9, `${speed}: ${trackpadGain(speed)}`);
    });

    it('Recent.Storage_NewestFirstBoundedAndReadDefensively', () => {
        const storage = memoryStorage();
        for (let i = 1; i <= MAX_RECENT + 2; i += 1) rememberRecent(storage, `10000000${i}`, `PC ${i}`);
        rememberRecent(storage, '100000004', 'Renamed');
        const kept = readRecent(storage);
        assert.deepEqual(kept.map(({ id }) => id), ['100000004', '100000007', '100000006', '100000005', '100000003']);
        assert.equal(kept[0].name, 'Renamed');
        assert.deepEqual(forgetRecent(storage, '100000007').map(({ id }) => id), ['100000004', '100000006', '100000005', '100000003']);

        const stored = [
            // [what is stored, the IDs read]
            ['not JSON', '{', []],
            ['not a list', '{"id":"123456789"}', []],
            ['short, long, spaced and repeated IDs', JSON.stringify([{ id: '12345678' }, { id: '1234567890' }, { id: '123 456 789' }, { id: '123456789' }, 7, null]),
                ['123456789']],
        ];
        for (const [what, text, ids] of stored) {
            assert.deepEqual(readRecent(memoryStorage({ [RECENT_IDS_KEY]: text })).map(({ id }) => id), ids, what);
        }
        // A browser that keeps nothing still connects.
        assert.deepEqual(rememberRecent(memoryStorage({}, { failing: true }), '123456789', 'PC'), [{ id: '123456789', name: 'PC' }]);
        assert.deepEqual(readRecent(null), []);
    });
});
