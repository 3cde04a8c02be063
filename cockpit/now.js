// The hour the meter is counting (its CurrentHour), or why there is none.

import { isAbsent, describe, plainMap } from "./bus.js";
import { formatBytes, formatKiBPerSecond } from "./format.js";
import { UNATTRIBUTED } from "./tables.js";

const FIGURES = ["now-hour", "now-recv", "now-sent", "now-total", "now-peak", "now-counting"];

export class NowSection {
    constructor() {
        this.message = document.getElementById("now-message");
        this.figures = document.getElementById("now-figures");
        this.uncounted = document.getElementById("now-uncounted");
    }

    // The meter's hour from its properties, {} while counting is off, or null
    // when the meter did not answer (ERROR).
    refresh(properties, error) {
        if (error) {
            this.showMessage(isAbsent(error)
                ? "The meter (vexmora-meter) is not running: nothing is being counted."
                : `The meter did not answer: ${describe(error)}`);
            return null;
        }
        const hour = plainMap(properties.CurrentHour);
        if (properties.Counting !== true || typeof hour.time !== "string") {
            this.showMessage("Counting is switched off: the meter counts nothing until it is " +
                             "switched on (Settings).");
            return {};
        }
        this.show(hour);
        return hour;
    }

    showMessage(text) {
        this.message.textContent = text;
        this.message.hidden = false;
        this.uncounted.hidden = true;
        this.figures.hidden = true;
        for (const id of FIGURES)
            document.getElementById(id).textContent = "—";
    }

    show(hour) {
        const text = {
            "now-hour": `${hour.time.slice(11)}, ${hour.mins} of 60 minutes counted`,
            "now-recv": formatBytes(hour.recv),
            "now-sent": formatBytes(hour.sent),
            "now-total": formatBytes(hour.recv + hour.sent),
            "now-peak": formatKiBPerSecond(hour.total_peak),
            "now-counting": "On",
        };
        for (const [id, value] of Object.entries(text))
            document.getElementById(id).textContent = value;
        this.message.hidden = true;
        this.figures.hidden = false;
        this.showUncounted(hour.uncounted_packets);
    }

    // Packets the meter could not give to any application: its table of
    // live sockets is full.
    showUncounted(packets) {
        const count = Number.isSafeInteger(packets) && packets > 0 ? packets : 0;
        this.uncounted.hidden = count === 0;
        this.uncounted.querySelector(".pf-c-alert__title").textContent = count === 0 ? "" :
            `${count.toLocaleString("en")} packets were not counted for any application: ` +
            `the meter's table of live sockets is full. Their bytes are shown as ${UNATTRIBUTED}.`;
    }
}
