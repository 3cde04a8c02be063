// The hours chart: the completed hours of the chosen range from the service
// and the hour being counted from the meter.

import { service, describe, isAbsent } from "./bus.js";
import { RANGES, chartSlots, drawChart } from "./chart.js";

export class HoursSection {
    constructor() {
        this.svg = document.getElementById("hours-chart");
        this.message = document.getElementById("hours-message");
        this.range = "24h";
        this.rows = [];
        this.meterHour = null;
        this.buttons = [...document.querySelectorAll("#hours-range button")];
        for (const button of this.buttons)
            button.addEventListener("click", () => this.choose(button.dataset.range));
    }

    async choose(range) {
        this.range = range;
        for (const button of this.buttons)
            button.classList.toggle("pf-m-selected", button.dataset.range === range);
        await this.load();
    }

    // The completed hours change only when an hour ends: loaded at start, on a
    // change of range and when the meter's hour moves on.
    async load() {
        const range = this.range;
        try {
            const rows = await service.callJson("getRecentData", [RANGES[range].days], "i");
            if (range !== this.range)
                return;
            this.rows = rows;
            this.message.hidden = true;
        } catch (error) {
            this.rows = [];
            this.message.textContent = isAbsent(error) ? "No hours: the service is not running."
                : `The hours could not be read: ${describe(error)}`;
            this.message.hidden = false;
        }
        this.draw();
    }

    meterHourRead(hour) {
        this.meterHour = hour && hour.time ? hour : null;
        this.draw();
    }

    draw() {
        drawChart(this.svg, chartSlots(this.rows, this.meterHour, this.range));
    }
}
