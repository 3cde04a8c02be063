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
    return ABSENT.has(error?.name);
}

export function isDenied(error) {
    return error?.name === "org.freedesktop.DBus.Error.AccessDenied" ||
        error?.problem === "access-denied" || error?.problem === "not-authorized";
}

export function describe(error) {
    return error?.message || error?.problem || String(error);
}

// A well-known name on the bus: method calls with their signatures, and the
// owner's coming and going.
class Peer {
    constructor(name, path, iface, options = {}) {
        this.client = cockpit.dbus(name, { bus: "system", ...options });
        this.path = path;
        this.iface = iface;
    }

    // The first result of METHOD; the arguments' signature spares an introspection.
    async call(method, args = [], signature = "") {
        const reply = await this.client.call(this.path, this.iface, method, args, { type: signature });
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

    onOwner(handler) {
        this.client.addEventListener("owner", (_event, owner) => handler(owner));
    }

    onClose(handler) {
        this.client.addEventListener("close", (_event, options) => handler(options));
    }
}

export const service = new Peer(names.SERVICE, names.OBJECT_PATH, names.INTERFACE);
// Setters go through their own client, as root where the session may be.
export const serviceAdmin = new Peer(names.SERVICE, names.OBJECT_PATH, names.INTERFACE,
                                     { superuser: "try" });
export const meter = new Peer(names.METER, names.METER_OBJECT_PATH, names.METER_INTERFACE);

export function onAlarm(handler) {
    return meter.client.subscribe(
        { path: names.METER_OBJECT_PATH, interface: names.METER_INTERFACE, member: "AlarmRaised" },
        (_path, _iface, _signal, args) => handler(args[0], args[1], args[2]));
}

export { names };
