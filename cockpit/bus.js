// The page's connections to the service and the meter on the system bus,
// with the logged-in user's credentials (the setters with administrative
// access where the session has it).

import * as names from "./names.js";

const cockpit = window.cockpit;

const ABSENT = new Set([
    "org.freedesktop.DBus.Error.ServiceUnknown",
    "org.freedesktop.DBus.Error.NameHasNoOwner",
]);

export function isAbsent(error) {
    return ABSENT.has(error?.name) || error?.problem === "not-found";
}

export function isDenied(error) {
    return error?.name === "org.freedesktop.DBus.Error.AccessDenied" ||
        error?.problem === "access-denied" || error?.problem === "not-authorized";
}

export function describe(error) {
    return error?.message || error?.problem || String(error);
}

// The bus itself: it tells when a name gets or loses its owner.
const busDriver = cockpit.dbus("org.freedesktop.DBus", { bus: "system" });

// A well-known name on the bus. A client for a name that has no owner closes
// at once, so each call takes the open client or makes a new one; signal
// subscriptions are made on every new client before its first call.
class Peer {
    constructor(name, path, iface, options = {}) {
        this.name = name;
        this.path = path;
        this.iface = iface;
        this.options = { bus: "system", ...options };
        this.client = null;
        this.subscriptions = [];
        this.propertyWatchers = [];
    }

    connect() {
        if (!this.client) {
            const client = cockpit.dbus(this.name, this.options);
            client.addEventListener("close", () => {
                if (this.client === client)
                    this.client = null;
            });
            for (const [match, handler] of this.subscriptions)
                client.subscribe(match, handler);
            if (this.propertyWatchers.length) {
                const proxy = client.proxy(this.iface, this.path);
                for (const handler of this.propertyWatchers)
                    proxy.addEventListener("changed", () => handler());
            }
            this.client = client;
        }
        return this.client;
    }

    // The first result of METHOD; the arguments' signature spares an introspection.
    async call(method, args = [], signature = "") {
        const reply = await this.connect().call(this.path, this.iface, method, args, { type: signature });
        return reply[0];
    }

    async callJson(method, args = [], signature = "") {
        const text = await this.call(method, args, signature);
        try {
            return JSON.parse(text);
        } catch {
            throw new Error(`${method} answered with no JSON: ${String(text).slice(0, 80)}`);
        }
    }

    // The properties of the interface, each a plain value, as the name's
    // owner answers: only it answers a call, while the bridge does not say
    // who sent a signal.
    async properties() {
        const all = await this.connect().call(this.path, "org.freedesktop.DBus.Properties", "GetAll",
                                              [this.iface], { type: "s" });
        return plainMap(all[0]);
    }

    // HANDLER() whenever the properties change, as the proxy of the next
    // client learns; it reads them with properties().
    onPropertiesChanged(handler) {
        this.propertyWatchers.push(handler);
        this.client?.proxy(this.iface, this.path).addEventListener("changed", () => handler());
    }

    subscribe(match, handler) {
        this.subscriptions.push([match, handler]);
        this.client?.subscribe(match, handler);
    }

    // HANDLER(owner) whenever the name gets an owner or loses it (owner "").
    onOwner(handler) {
        busDriver.subscribe({ path: "/org/freedesktop/DBus", interface: "org.freedesktop.DBus",
                              member: "NameOwnerChanged", arg0: this.name },
                            (_path, _iface, _signal, args) => handler(args[2]));
    }
}

export const service = new Peer(names.SERVICE, names.OBJECT_PATH, names.INTERFACE);
// Setters go through their own client, as root where the session may be.
export const serviceAdmin = new Peer(names.SERVICE, names.OBJECT_PATH, names.INTERFACE,
                                     { superuser: "try" });
export const meter = new Peer(names.METER, names.METER_OBJECT_PATH, names.METER_INTERFACE);

// What the meter says is raised now; nothing while it has no owner.
async function raisedAlarms() {
    try {
        return await meter.callJson("GetRaisedAlarms");
    } catch {
        return [];
    }
}

// raised(kind, bytes, limit) and cleared(kind) as the meter's signals come.
// Any connection may send a signal of the meter's interface, and the bridge
// does not say who sent one: a signal counts only when the meter, asked by a
// call that only the name's current owner answers, confirms it.
export function onAlarms({ raised, cleared }) {
    const match = { path: names.METER_OBJECT_PATH, interface: names.METER_INTERFACE };
    meter.subscribe({ ...match, member: "AlarmRaised" }, async (_path, _iface, _signal, [kind, bytes, limit]) => {
        const alarms = await raisedAlarms();
        if (alarms.some(alarm => alarm.kind === kind && alarm.bytes === bytes && alarm.limit === limit))
            raised(kind, bytes, limit);
    });
    meter.subscribe({ ...match, member: "AlarmCleared" }, async (_path, _iface, _signal, [kind]) => {
        const alarms = await raisedAlarms();
        if (!alarms.some(alarm => alarm.kind === kind))
            cleared(kind);
    });
}

// An a{sv} as an object of plain values.
export function plainMap(variants) {
    const map = {};
    for (const [key, variant] of Object.entries(variants ?? {}))
        map[key] = variant?.v;
    return map;
}

export { names };
