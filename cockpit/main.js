// Wires the sections to the bus: the first load, the refresh every five
// seconds, the service and the meter coming and going.

import { service, meter, onAlarms, isAbsent, describe, names } from "./bus.js";
import { NowSection } from "./now.js";
import { HoursSection } from "./hours.js";
import { SnapshotTable, APP_COLUMNS, PROCESS_COLUMNS } from "./tables.js";
import { loadTop10 } from "./top10.js";
import { SettingsSection } from "./settings.js";
import { AlarmsSection } from "./alarms.js";

const REFRESH_MS = 5000;
// The settings change rarely and cost seven calls: every sixth refresh.
const SETTINGS_EVERY = 6;

const main = document.getElementById("main");
const problem = document.getElementById("service-problem");
const problemText = document.getElementById("service-problem-text");

const now = new NowSection();
const hours = new HoursSection();
const alarms = new AlarmsSection();
const settings = new SettingsSection((_previous, current) => alarms.settingsRead(current));
const apps = new SnapshotTable(document.getElementById("apps-table"), APP_COLUMNS,
                               "No application has traffic today.");
const processes = new SnapshotTable(document.getElementById("processes-table"), PROCESS_COLUMNS,
                                    "No process has traffic.");

// Subscribed before anything is read, so that no alarm goes missing.
onAlarms({ raised: (kind, bytes, limit) => alarms.add(kind, bytes, limit), cleared: kind => alarms.cleared(kind) });

function showServiceProblem(text) {
    problemText.textContent = text;
    problem.hidden = false;
}

const ABSENT_TEXT = `${names.SERVICE} has no owner on the system bus, so the page has nothing ` +
    "to show. Start it with “systemctl start vexmora”; the page catches up as soon as it runs.";

async function refreshSnapshots() {
    try {
        const [appRows, processRows] = await Promise.all([
            service.callJson("getAllAppNetflow"), service.callJson("getAllProcessNetflow"),
        ]);
        apps.show(appRows);
        processes.show(processRows);
    } catch (error) {
        const text = isAbsent(error) ? "—" : `Not available: ${describe(error)}`;
        apps.show([], text);
        processes.show([], text);
        if (isAbsent(error))
            showServiceProblem(ABSENT_TEXT);
    }
}

let countingHour = null;

// A new hour completes the one before (the chart's rows); a new day moves
// the top ten's window.
async function refreshMeter() {
    const hour = await now.refresh();
    hours.meterHourRead(hour);
    const time = hour?.time;
    if (!time)
        return;
    if (countingHour && time !== countingHour) {
        hours.load();
        if (time.slice(0, 10) !== countingHour.slice(0, 10))
            loadTop10();
    }
    countingHour = time;
}

async function loadEverything() {
    problem.hidden = true;
    await Promise.all([refreshMeter(), hours.load(), refreshSnapshots(), loadTop10(), settings.load()]);
}

let refreshes = 0;
async function refresh() {
    if (document.hidden)
        return;
    refreshes += 1;
    const tasks = [refreshMeter(), refreshSnapshots()];
    if (refreshes % SETTINGS_EVERY === 0)
        tasks.push(settings.load({ keepEdit: true }));
    await Promise.all(tasks);
}

function report(error) {
    console.error("vexmora:", error);
}

let ready = false;

service.onOwner(owner => {
    if (!owner) {
        showServiceProblem(ABSENT_TEXT);
    } else if (ready) {
        // Started or restarted: everything it serves is read anew.
        loadEverything().catch(report);
    }
});
// The meter's name changed hands: what is raised is read anew (nothing while
// it has no owner).
meter.onOwner(() => {
    if (ready)
        Promise.all([refreshMeter(), alarms.load()]).catch(report);
});

Promise.all([loadEverything(), alarms.load()])
        .catch(report)
        .finally(() => {
            ready = true;
            main.setAttribute("aria-busy", "false");
            setInterval(() => refresh().catch(report), REFRESH_MS);
        });
