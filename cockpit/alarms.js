// AlarmRaised as it arrives: a list with time and figures, and a banner per
// kind while its last alarm stands. The meter arms an alarm again when the
// settings change, so a change of the alarm settings takes the banners down.

import { formatBytes, formatClock } from "./format.js";

const KINDS = {
    overall: "Overall traffic (received + sent)",
    egress: "Egress traffic (sent)",
    ingress: "Ingress traffic (received)",
};
const KEEP = 100;

export class AlarmsSection {
    constructor() {
        this.table = document.getElementById("alarms-table");
        this.empty = document.getElementById("alarms-empty");
        this.banners = document.getElementById("alarm-banners");
        this.period = null; // minutes, from the settings
        this.raised = new Map(); // kind -> banner element
    }

    add(kind, bytes, limit, when = new Date()) {
        const name = KINDS[kind] || kind;
        const row = this.table.tBodies[0].insertRow(0);
        row.dataset.kind = kind;
        for (const text of [formatClock(when), name, formatBytes(bytes), formatBytes(limit)])
            row.insertCell().textContent = text;
        while (this.table.tBodies[0].rows.length > KEEP)
            this.table.tBodies[0].deleteRow(-1);
        this.table.hidden = false;
        this.empty.hidden = true;
        this.showBanner(kind, name, bytes, limit, when);
    }

    showBanner(kind, name, bytes, limit, when) {
        this.raised.get(kind)?.remove();
        const banner = document.createElement("div");
        banner.className = "pf-c-alert pf-m-warning pf-m-inline";
        banner.dataset.kind = kind;
        const icon = document.createElement("div");
        icon.className = "pf-c-alert__icon";
        icon.setAttribute("aria-hidden", "true");
        icon.textContent = "⚠";
        const title = document.createElement("p");
        title.className = "pf-c-alert__title";
        title.textContent = `${name}: alarm raised at ${formatClock(when)}`;
        const description = document.createElement("div");
        description.className = "pf-c-alert__description";
        const minutes = this.period === 1 ? "minute" : "minutes";
        const within = this.period ? ` within ${this.period} ${minutes}` : "";
        description.textContent = `${formatBytes(bytes)}${within}, above the limit of ${formatBytes(limit)}.`;
        const action = document.createElement("div");
        action.className = "pf-c-alert__action";
        const close = document.createElement("button");
        close.className = "pf-c-button pf-m-plain";
        close.type = "button";
        close.setAttribute("aria-label", `Dismiss the ${kind} alarm`);
        close.textContent = "×";
        close.addEventListener("click", () => this.clear(kind));
        action.appendChild(close);
        banner.append(icon, title, action, description);
        this.banners.appendChild(banner);
        this.raised.set(kind, banner);
    }

    clear(kind) {
        this.raised.get(kind)?.remove();
        this.raised.delete(kind);
    }

    // The settings as read: a change of the alarm switches, sizes or period
    // arms every alarm again.
    settingsRead(previous, current) {
        this.period = current?.period ?? this.period;
        if (!previous || !current)
            return;
        const alarmPart = values => JSON.stringify([values.switches.overall, values.switches.egress,
                                                    values.switches.ingress, values.sizes, values.period]);
        if (alarmPart(previous) !== alarmPart(current))
            for (const kind of [...this.raised.keys()])
                this.clear(kind);
    }
}
