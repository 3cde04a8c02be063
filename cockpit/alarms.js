// The meter's alarms: every AlarmRaised as it arrives in a list with time
// and figures, and a banner per kind while that alarm is raised. The banners
// follow AlarmRaised and AlarmCleared, and the meter's RaisedAlarms as read
// when the page opens, whenever it changes and whenever the meter's name
// changes hands.

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
        this.dismissed = new Set(); // kinds whose banner the user closed while raised
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
        this.dismissed.delete(kind);
        this.showBanner(kind, bytes, limit, when);
    }

    cleared(kind) {
        this.dismissed.delete(kind);
        this.removeBanner(kind);
    }

    // ALARMS as the meter's RaisedAlarms lists them (plain objects): a banner
    // for each, none for the rest. A kind still raised keeps its banner, or stays dismissed.
    raisedNow(alarms) {
        const kinds = new Set(alarms.map(alarm => alarm.kind));
        for (const kind of [...this.raised.keys(), ...this.dismissed]) {
            if (!kinds.has(kind))
                this.cleared(kind);
        }
        for (const { kind, bytes, limit, since } of alarms) {
            if (!this.raised.has(kind) && !this.dismissed.has(kind))
                this.showBanner(kind, bytes, limit, new Date(since * 1000));
        }
    }

    showBanner(kind, bytes, limit, when) {
        const name = KINDS[kind] || kind;
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
        close.addEventListener("click", () => {
            this.dismissed.add(kind);
            this.removeBanner(kind);
        });
        action.appendChild(close);
        banner.append(icon, title, action, description);
        this.banners.appendChild(banner);
        this.raised.set(kind, banner);
    }

    removeBanner(kind) {
        this.raised.get(kind)?.remove();
        this.raised.delete(kind);
    }

    // The settings as read: the period the banners name.
    settingsRead(current) {
        this.period = current?.period ?? this.period;
    }
}
