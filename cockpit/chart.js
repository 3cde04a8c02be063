// The hours chart: which bars a range shows, the scale of its axis, and the
// SVG drawn from them. Times are the host's local hours as the reports write
// them ("YYYY-MM-DD HH:00"), handled as plain wall-clock values.

import { formatBytes, formatGiB, formatKiBPerSecond } from "./format.js";

const GIB = 1024 ** 3;
const HOUR_MS = 3600 * 1000;
const SVG_NS = "http://www.w3.org/2000/svg";

// The ranges offered: how many hours or days the chart shows, and the
// getRecentData argument that covers them.
export const RANGES = {
    "24h": { slots: 24, days: 1, label: "24 hours" },
    "48h": { slots: 48, days: 2, label: "48 hours" },
    "7d": { slots: 168, days: 7, label: "7 days" },
    "30d": { slots: 30, days: 29, daily: true, label: "30 days" },
};

function hourValue(text) {
    const match = /^(\d{4})-(\d{2})-(\d{2}) (\d{2}):00$/.exec(text || "");
    return match ? Date.UTC(match[1], match[2] - 1, match[3], match[4]) : NaN;
}

function hourText(value) {
    return new Date(value).toISOString().slice(0, 13).replace("T", " ") + ":00";
}

// The hour being counted: the meter's, else the browser's clock.
export function currentHourText(meterHour, now = new Date()) {
    if (meterHour && Number.isFinite(hourValue(meterHour.time)))
        return meterHour.time;
    const pad = n => String(n).padStart(2, "0");
    return `${now.getFullYear()}-${pad(now.getMonth() + 1)}-${pad(now.getDate())} ${pad(now.getHours())}:00`;
}

// One slot per hour (or day) of the range, oldest first, ending with the
// current one. A slot without a row has no bar. Sizes are in bytes: the
// completed hours' GiB from the reports, the counting hour's exact bytes.
export function chartSlots(rows, meterHour, rangeKey, now = new Date()) {
    const range = RANGES[rangeKey];
    const current = currentHourText(meterHour, now);
    const byTime = new Map();
    for (const row of rows)
        byTime.set(row.time, {
            recv: row.down * GIB, sent: row.up * GIB, downGiB: row.down, upGiB: row.up,
            avg: row.avg, peak: row.pk,
        });
    if (meterHour && meterHour.time === current)
        byTime.set(current, {
            recv: meterHour.recv, sent: meterHour.sent, peak: meterHour.total_peak,
            mins: meterHour.mins, counting: true,
        });
    return range.daily ? dailySlots(byTime, current, range.slots)
        : hourlySlots(byTime, current, range.slots);
}

function hourlySlots(byTime, current, count) {
    const end = hourValue(current);
    const slots = [];
    for (let i = count - 1; i >= 0; i--) {
        const time = hourText(end - i * HOUR_MS);
        slots.push({ time, current: i === 0, bar: byTime.get(time) || null });
    }
    return slots;
}

function dailySlots(byTime, current, count) {
    const days = new Map();
    for (const [time, bar] of byTime) {
        const day = time.slice(0, 10);
        const sum = days.get(day) || { recv: 0, sent: 0, peak: 0, hours: 0 };
        sum.recv += bar.recv;
        sum.sent += bar.sent;
        sum.peak = Math.max(sum.peak, bar.peak || 0);
        sum.hours += 1;
        sum.counting = sum.counting || bar.counting;
        days.set(day, sum);
    }
    const end = hourValue(current.slice(0, 10) + " 00:00");
    const slots = [];
    for (let i = count - 1; i >= 0; i--) {
        const day = hourText(end - i * 24 * HOUR_MS).slice(0, 10);
        slots.push({ time: day, current: i === 0, bar: days.get(day) || null });
    }
    return slots;
}

const SCALE_UNITS = [[1024, "KiB"], [1024 ** 2, "MiB"], [GIB, "GiB"], [1024 ** 4, "TiB"]];

// The axis for a largest value in bytes: a unit, a step of 1, 2, 2.5 or 5
// times a power of ten in that unit, and at most four steps up to a top that
// holds the value.
export function niceScale(maxBytes) {
    const max = Number.isFinite(maxBytes) && maxBytes > 0 ? maxBytes : 1024;
    let [unit, name] = SCALE_UNITS[0];
    for (const [size, label] of SCALE_UNITS) {
        if (max >= size)
            [unit, name] = [size, label];
    }
    const inUnit = max / unit;
    const rough = inUnit / 4;
    const power = 10 ** Math.floor(Math.log10(rough));
    const step = [1, 2, 2.5, 5, 10].map(f => f * power).find(s => s >= rough * (1 - 1e-9));
    const ticks = Math.ceil(inUnit / step - 1e-9);
    return { unit, name, step, top: ticks * step * unit, ticks };
}

function tooltip(slot) {
    const { bar } = slot;
    if (!bar)
        return `${slot.time}: nothing counted`;
    const sizes = bar.downGiB !== undefined
        ? `received ${formatGiB(bar.downGiB)}, sent ${formatGiB(bar.upGiB)}`
        : `received ${formatBytes(bar.recv)}, sent ${formatBytes(bar.sent)}`;
    const parts = [`${slot.time}${bar.counting ? " (still counting)" : ""}: ${sizes}`];
    if (bar.avg !== undefined)
        parts.push(`average ${formatKiBPerSecond(bar.avg)}`);
    if (bar.peak !== undefined)
        parts.push(`busiest minute ${formatKiBPerSecond(bar.peak)}`);
    return parts.join("; ");
}

function svgElement(name, attributes, parent) {
    const element = document.createElementNS(SVG_NS, name);
    for (const [key, value] of Object.entries(attributes))
        element.setAttribute(key, value);
    parent.appendChild(element);
    return element;
}

const WIDTH = 860;
const HEIGHT = 240;
const LEFT = 70;
const BOTTOM = 24;
const TOP = 8;

// Draws the slots into the SVG element: received below, sent stacked on it;
// each slot a group that carries its figures and a title shown on hover.
export function drawChart(svg, slots) {
    svg.replaceChildren();
    svg.setAttribute("viewBox", `0 0 ${WIDTH} ${HEIGHT}`);
    const scale = niceScale(Math.max(0, ...slots.map(s => (s.bar ? s.bar.recv + s.bar.sent : 0))));
    const plotHeight = HEIGHT - BOTTOM - TOP;
    const y = bytes => TOP + plotHeight - (bytes / scale.top) * plotHeight;
    const axis = svgElement("g", { class: "axis" }, svg);
    for (let i = 0; i <= scale.ticks; i++) {
        const value = i * scale.step;
        const ty = y(value * scale.unit);
        svgElement("line", { x1: LEFT, x2: WIDTH, y1: ty, y2: ty }, axis);
        const label = svgElement("text", { x: LEFT - 6, y: ty + 4, "text-anchor": "end" }, axis);
        label.textContent = `${Number(value.toPrecision(6))} ${scale.name}`;
    }
    const slotWidth = (WIDTH - LEFT) / slots.length;
    const labelEvery = Math.ceil(slots.length / 8);
    slots.forEach((slot, index) => {
        const x = LEFT + index * slotWidth;
        const group = svgElement("g", { class: slot.current ? "slot current" : "slot", "data-time": slot.time }, svg);
        if (slot.bar) {
            group.dataset.recv = slot.bar.downGiB ?? slot.bar.recv / GIB;
            group.dataset.sent = slot.bar.upGiB ?? slot.bar.sent / GIB;
            const barWidth = Math.max(1, slotWidth * 0.8);
            const recvTop = y(slot.bar.recv);
            svgElement("rect", { class: "recv", x: x + slotWidth * 0.1, y: recvTop, width: barWidth, height: y(0) - recvTop }, group);
            const sentTop = y(slot.bar.recv + slot.bar.sent);
            svgElement("rect", { class: "sent", x: x + slotWidth * 0.1, y: sentTop, width: barWidth, height: recvTop - sentTop }, group);
        }
        // The whole slot answers the hover, also where its bar is short.
        svgElement("rect", { class: "hover", x, y: TOP, width: slotWidth, height: plotHeight }, group);
        svgElement("title", {}, group).textContent = tooltip(slot);
        if ((slots.length - 1 - index) % labelEvery === 0) {
            const label = svgElement("text", { class: "time", x: x + slotWidth / 2, y: HEIGHT - 6, "text-anchor": "middle" }, axis);
            const hourly = slot.time.length > 10;
            label.textContent = hourly && slots.length <= 48 ? slot.time.slice(11) : slot.time.slice(5);
        }
    });
}
