// The four switches and the three thresholds, edited in place. Every change
// is followed by a fresh read, so the page shows what the service holds.

import { service, serviceAdmin, isAbsent, isDenied, describe, names } from "./bus.js";
import { parseCount, INT32_MAX } from "./format.js";

const SWITCHES = [
    { key: "count", label: "Count the traffic", get: "getNetmonitorStatus", set: "setNetmonitorStatus" },
    { key: "overall", label: "Overall alarm", get: "getNetmonitorAlarmStatus", set: "setNetmonitorAlarmStatus" },
    { key: "egress", label: "Egress alarm", get: "getEgressAlarmStatus", set: "setEgressAlarmStatus" },
    { key: "ingress", label: "Ingress alarm", get: "getIngressAlarmStatus", set: "setIngressAlarmStatus" },
];

const THRESHOLDS = [
    { key: "overall", get: "getNetmonitorThreshold", set: "setNetmonitorThreshold" },
    { key: "egress", get: "getEgressThreshold", set: "setEgressThreshold" },
    { key: "ingress", get: "getIngressThreshold", set: "setIngressThreshold" },
];

export const DENIED_TEXT = `Only root and the members of the group ${names.ADMIN_GROUP} may change ` +
    "these settings. Ask an administrator to add you to the group, or turn on administrative access.";

function byId(id) {
    return document.getElementById(id);
}

export class SettingsSection {
    constructor(onChange) {
        this.onChange = onChange; // (previous, current) after each read
        this.values = null;
        this.status = byId("settings-status");
        this.form = byId("thresholds");
        this.buildSwitches();
        this.form.addEventListener("submit", event => {
            event.preventDefault();
            this.applyThresholds();
        });
    }

    buildSwitches() {
        const container = byId("settings-switches");
        this.switches = new Map();
        for (const entry of SWITCHES) {
            const label = document.createElement("label");
            label.className = "pf-c-switch";
            label.htmlFor = `switch-${entry.key}`;
            const input = document.createElement("input");
            input.className = "pf-c-switch__input";
            input.type = "checkbox";
            input.id = label.htmlFor;
            input.setAttribute("role", "switch");
            input.addEventListener("change", () => {
                const mode = input.checked ? 1 : 0;
                // The switch shows the service's value, not the click, until it is read back.
                input.checked = !input.checked;
                this.setSwitch(entry, mode);
            });
            const toggle = document.createElement("span");
            toggle.className = "pf-c-switch__toggle";
            const text = document.createElement("span");
            text.className = "pf-c-switch__label";
            text.textContent = entry.label;
            label.append(input, toggle, text);
            container.appendChild(label);
            this.switches.set(entry.key, input);
        }
    }

    field(name) {
        return this.form.elements.namedItem(name);
    }

    // Reads the seven values; null (and the inputs emptied) when the service
    // does not answer. A periodic read leaves the field being edited alone.
    async load({ keepEdit = false } = {}) {
        const previous = this.values;
        try {
            const [switches, thresholds] = await Promise.all([
                Promise.all(SWITCHES.map(entry => service.call(entry.get))),
                Promise.all(THRESHOLDS.map(entry => service.callJson(entry.get))),
            ]);
            this.values = {
                switches: Object.fromEntries(SWITCHES.map((entry, i) => [entry.key, switches[i]])),
                sizes: Object.fromEntries(THRESHOLDS.map((entry, i) => [entry.key, thresholds[i].size])),
                period: thresholds[0].period,
            };
        } catch (error) {
            this.values = null;
            if (!isAbsent(error))
                this.say(`The settings could not be read: ${describe(error)}`, true);
        }
        this.render(keepEdit ? document.activeElement : null);
        this.onChange(previous, this.values);
        return this.values;
    }

    render(editing) {
        const values = this.values;
        for (const [key, input] of this.switches) {
            input.checked = values?.switches[key] === 1;
            input.disabled = !values;
        }
        for (const entry of THRESHOLDS)
            this.showField(entry.key, values?.sizes[entry.key], editing);
        this.showField("period", values?.period, editing);
        byId("thresholds-apply").disabled = !values;
    }

    showField(name, value, editing) {
        const input = this.field(name);
        if (input === editing && value !== undefined)
            return;
        input.value = value ?? "";
        input.disabled = value === undefined;
        input.removeAttribute("aria-invalid");
    }

    say(text, problem = false) {
        this.status.textContent = text;
        this.status.classList.toggle("vx-problem", problem);
    }

    async setSwitch(entry, mode) {
        await this.change([[entry.set, [mode], "i"]], `${entry.label} switched ${mode ? "on" : "off"}.`);
    }

    // Each field must hold a whole number the bus's int32 takes; a size that
    // changed calls its setter with the period, a changed period alone calls
    // the overall one (the three share it).
    async applyThresholds() {
        const wanted = {};
        let valid = true;
        for (const name of ["overall", "egress", "ingress", "period"]) {
            wanted[name] = parseCount(this.field(name).value);
            const bad = wanted[name] === null;
            this.field(name).toggleAttribute("aria-invalid", bad);
            valid = valid && !bad;
        }
        if (!valid) {
            this.say(`Enter whole numbers from 0 to ${INT32_MAX}.`, true);
            return;
        }
        const current = this.values;
        const calls = THRESHOLDS
                .filter(entry => wanted[entry.key] !== current.sizes[entry.key])
                .map(entry => [entry.set, [wanted[entry.key], wanted.period], "ii"]);
        if (calls.length === 0 && wanted.period !== current.period)
            calls.push([THRESHOLDS[0].set, [wanted.overall, wanted.period], "ii"]);
        if (calls.length === 0) {
            this.say("The thresholds are as the service holds them already.");
            return;
        }
        await this.change(calls, "Thresholds applied.");
    }

    async change(calls, doneText) {
        this.setBusy(true);
        let text = doneText;
        let problem = false;
        try {
            for (const [method, args, signature] of calls) {
                if (await serviceAdmin.call(method, args, signature) !== 0) {
                    text = "The service refused the value or could not write its settings file.";
                    problem = true;
                    break;
                }
            }
        } catch (error) {
            text = isDenied(error) ? DENIED_TEXT : `The change failed: ${describe(error)}`;
            problem = true;
        }
        await this.load();
        this.setBusy(false);
        this.say(text, problem);
    }

    setBusy(busy) {
        this.form.toggleAttribute("aria-busy", busy);
        for (const input of this.switches.values())
            input.disabled = busy || !this.values;
    }
}
