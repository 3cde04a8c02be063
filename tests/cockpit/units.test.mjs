// The page's pure functions where their edges matter: units at the borders,
// settings input, the chart's axis and which bars a range shows.
import assert from "node:assert/strict";
import { test } from "node:test";

import { formatBytes, formatRate, parseCount } from "../../cockpit/format.js";
import { chartSlots, niceScale } from "../../cockpit/chart.js";
import { serialized } from "../../cockpit/serial.js";

test("sizes change unit where the rounded value would reach 1024", () => {
    const table = [
        [0, "0 B"], [1023, "1023 B"], [1023.4, "1023 B"], [1023.5, "1.0 KiB"], [1024, "1.0 KiB"],
        [1536, "1.5 KiB"], [1048524, "1023.9 KiB"], [1048525, "1.0 MiB"], [3 * 2 ** 30, "3.0 GiB"],
        [2 ** 50 * 5000, "5000.0 PiB"], [-1, "—"], [NaN, "—"], [undefined, "—"], [Infinity, "—"],
    ];
    for (const [bytes, text] of table)
        assert.equal(formatBytes(bytes), text, `${bytes} bytes`);
    assert.equal(formatRate(2048), "2.0 KiB/s");
    assert.equal(formatRate(undefined), "—");
});

test("a settings field takes whole numbers the bus's int32 holds", () => {
    const table = [
        ["0", 0], [" 42 ", 42], ["2147483647", 2147483647], ["2147483648", null], ["-1", null],
        ["1.5", null], ["1e3", null], ["", null], ["0x10", null], ["99999999999999999999", null],
    ];
    for (const [text, value] of table)
        assert.equal(parseCount(text), value, JSON.stringify(text));
});

test("the axis holds the largest bar in at most four steps of 1, 2, 2.5 or 5", () => {
    const table = [
        // bytes, unit, step, ticks
        [0, "KiB", 0.25, 4], [1024, "KiB", 0.25, 4], [1000 * 2 ** 20, "MiB", 250, 4],
        [1001 * 2 ** 20, "MiB", 500, 3], [2 ** 30, "GiB", 0.25, 4], [3.3 * 2 ** 30, "GiB", 1, 4],
        [999 * 2 ** 40, "TiB", 250, 4], [NaN, "KiB", 0.25, 4],
    ];
    for (const [bytes, name, step, ticks] of table) {
        const scale = niceScale(bytes);
        assert.deepEqual([scale.name, scale.step, scale.ticks], [name, step, ticks], `${bytes} bytes`);
        assert.ok(scale.top >= (bytes || 0), `${bytes}: top ${scale.top}`);
    }
});

const row = (time, down, up) => ({ time, down, up, tot: down + up, avg: 1, pk: 2 });

test("24 hours end with the counting hour and cross midnight and months", () => {
    const meter = { time: "2026-03-01 01:00", recv: 2 ** 30, sent: 2 ** 29, total_peak: 9, mins: 5 };
    const slots = chartSlots([row("2026-02-28 23:00", 0.5, 0.25), row("2026-02-28 01:00", 9, 9)],
                             meter, "24h");
    assert.equal(slots.length, 24);
    assert.equal(slots[0].time, "2026-02-28 02:00"); // 01:00 the day before is outside
    assert.deepEqual(slots.filter(slot => slot.bar).map(slot => slot.time),
                     ["2026-02-28 23:00", "2026-03-01 01:00"]);
    assert.equal(slots[21].bar.recv, 0.5 * 2 ** 30);
    assert.equal(slots[22].bar, null); // midnight: no row, no bar
    assert.deepEqual([slots[23].current, slots[23].bar.counting, slots[23].bar.sent], [true, true, 2 ** 29]);
});

test("30 days add up each local day, today with the counting hour", () => {
    const meter = { time: "2026-03-31 10:00", recv: 2 ** 30, sent: 0, total_peak: 0, mins: 1 };
    const rows = [row("2026-03-31 08:00", 1, 0.5), row("2026-03-30 23:00", 2, 1), row("2026-03-30 00:00", 3, 1),
                  row("2026-03-02 12:00", 4, 4)];
    const slots = chartSlots(rows, meter, "30d");
    assert.equal(slots.length, 30);
    assert.deepEqual([slots[0].time, slots[29].time], ["2026-03-02", "2026-03-31"]);
    assert.equal(slots[29].bar.recv, 2 * 2 ** 30);
    assert.equal(slots[29].bar.counting, true);
    assert.equal(slots[28].bar.recv, 5 * 2 ** 30);
    assert.equal(slots[0].bar.sent, 4 * 2 ** 30);
});

test("without the meter the browser's hour ends the range and nothing counts", () => {
    const slots = chartSlots([row("2026-07-04 09:00", 1, 1)], null, "48h", new Date(2026, 6, 4, 10, 59));
    assert.equal(slots.length, 48);
    assert.equal(slots[47].time, "2026-07-04 10:00");
    assert.equal(slots[47].bar, null);
    assert.equal(slots[46].bar.recv, 2 ** 30);
});

test("a refresh never runs beside itself; requests meanwhile make one more run", async () => {
    let running = 0, most = 0, runs = 0;
    let finish = [];
    const refresh = serialized(async () => {
        runs += 1;
        running += 1;
        most = Math.max(most, running);
        await new Promise(resolve => finish.push(resolve));
        running -= 1;
        if (runs === 1)
            throw new Error("a failed run ends no later one");
    }, () => {});
    const first = refresh();
    const during = [refresh(), refresh(), refresh()];
    for (let i = 0; i < 3; i++) {
        await new Promise(resolve => setImmediate(resolve));
        finish.splice(0).forEach(resolve => resolve());
    }
    await Promise.all([first, ...during]);
    assert.deepEqual([runs, most], [2, 1]);
    await Promise.all([refresh(), new Promise(resolve => setImmediate(resolve)).then(() => finish[0]())]);
    assert.equal(runs, 3);
});
