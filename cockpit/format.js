// Figures in human units: sizes and rates with binary prefixes, one decimal.

const UNITS = ["KiB", "MiB", "GiB", "TiB", "PiB"];

// "512 B", "1.5 KiB", "1.0 MiB" (never "1024.0 KiB"), "—" for what is no
// count of bytes.
export function formatBytes(bytes) {
    if (!Number.isFinite(bytes) || bytes < 0)
        return "—";
    if (bytes < 1023.5)
        return `${Math.round(bytes)} B`;
    let value = bytes;
    let unit = -1;
    // Rounded to one decimal, 1023.95 or more of a unit reads as the next one.
    while (unit < UNITS.length - 1 && value >= (unit < 0 ? 1023.5 : 1023.95)) {
        value /= 1024;
        unit += 1;
    }
    return `${value.toFixed(1)} ${UNITS[unit]}`;
}

export function formatRate(bytesPerSecond) {
    const size = formatBytes(bytesPerSecond);
    return size === "—" ? size : `${size}/s`;
}

// The reports give GiB with two decimals; shown as given.
export function formatGiB(gib) {
    return Number.isFinite(gib) ? `${gib.toFixed(2)} GiB` : "—";
}

export function formatKiBPerSecond(kib) {
    return formatRate(kib * 1024);
}

export const INT32_MAX = 2147483647;

// The value of a settings field: a whole number from 0 to INT32_MAX written
// in decimal digits, or null.
export function parseCount(text) {
    const trimmed = String(text).trim();
    if (!/^[0-9]+$/.test(trimmed))
        return null;
    const value = Number(trimmed);
    return value <= INT32_MAX ? value : null;
}

// "14:05:09" in the browser's local time.
export function formatClock(date) {
    return date.toLocaleTimeString([], { hour: "2-digit", minute: "2-digit", second: "2-digit", hour12: false });
}
