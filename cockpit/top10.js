// The ten busiest applications of the last seven days, as a ranked bar list.

import { service, isAbsent, describe } from "./bus.js";
import { formatGiB } from "./format.js";

export const TOP10_DAYS = 7;

export async function loadTop10() {
    const list = document.getElementById("top10-list");
    const message = document.getElementById("top10-message");
    let entries;
    try {
        entries = await service.callJson("getRecentTop10", [TOP10_DAYS], "i");
    } catch (error) {
        list.replaceChildren();
        message.textContent = isAbsent(error) ? "—" : `Not available: ${describe(error)}`;
        message.hidden = false;
        return false;
    }
    message.textContent = "No application traffic was recorded in the last 7 days.";
    message.hidden = entries.length > 0;
    const largest = Math.max(...entries.map(entry => entry.tot), 0);
    list.replaceChildren(...entries.map((entry, index) => {
        const item = document.createElement("li");
        item.dataset.app = entry.app;
        const name = document.createElement("span");
        name.className = "vx-rank-name";
        name.textContent = `${index + 1}. ${entry.app}`;
        const figures = document.createElement("span");
        figures.className = "vx-rank-figures";
        figures.textContent = `${formatGiB(entry.tot)} (received ${formatGiB(entry.down)}, sent ${formatGiB(entry.up)})`;
        const bar = document.createElement("span");
        bar.className = "vx-rank-bar";
        bar.style.width = `${largest > 0 ? (100 * entry.tot) / largest : 0}%`;
        item.append(name, figures, bar);
        return item;
    }));
    return true;
}
