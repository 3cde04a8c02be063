// Wires the sections to the bus: the first load, the meter's figures as its
// properties change, the service's snapshots every five seconds, the service
// and the meter coming and going.

import { service, meter, onAlarms, isAbsent, describe, names, plainMap } from "./bus.js";
import { NowSection } from "./now.js";
import { HoursSection } from "./hours.js";
import { SnapshotTable, APP_COLUMNS, PROCESS_COLUMNS } from "./tables.js";
import { loadTop10 } from "./top10.js";
import { SettingsSection } from "./settings.js";
import { AlarmsSection } from "./alarms.js";
import { serialized } from "./serial.js";

// The meter rewrites the snapshots every five seconds, whether or not its
// figures change (the rates fall to zero when traffic stops): they are read on
// that rhythm, not when the meter's properties change.
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

// The meter's figures and raised alarms from its properties. A new hour
// completes the one before (the chart's rows); a new day moves the top ten's
// window.
async function refreshMeter() {
    let properties = null;
    let error = null;
    try {
        properties = await meter.properties();
    } catch (failure) {
        error = failure;
    }
    const hour = now.refresh(properties, error);
    hours.meterHourRead(hour);
    if (error && !isAbsent(error))
        throw error;
    alarms.raisedNow((properties?.RaisedAlarms ?? []).map(plainMap));
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
    await Promise.all([meterRefresh(), hours.load(), refreshSnapshots(), loadTop10(), settings.load()]);
}

let refreshes = 0;
async function refresh() {
    if (document.hidden)
        return;
    refreshes += 1;
    const tasks = [refreshSnapshots()];
    if (refreshes % SETTINGS_EVERY === 0)
        tasks.push(settings.load({ keepEdit: true }));
    await Promise.all(tasks);
}

function report(error) {
    console.error("vexmora:", error);
}

const meterRefresh = serialized(refreshMeter, report);
const timedRefresh = serialized(refresh, report);
let ready = false;

service.onOwner(owner => {
    if (!owner) {
        showServiceProblem(ABSENT_TEXT);
    } else if (ready) {
        // Started or restarted: everything it serves is read anew.
        loadEverything().catch(report);
    }
});
// The meter's name changed hands, or its properties changed: its figures and
// what is raised are read anew (nothing while it has no owner).
// A change during the first load is read after it.
meter.onOwner(meterRefresh);
meter.onPropertiesChanged(meterRefresh);

loadEverything()
        .catch(report)
        .finally(() => {
            ready = true;
            main.setAttribute("aria-busy", "false");
            setInterval(timedRefresh, REFRESH_MS);
        });
