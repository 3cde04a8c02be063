# Calls the vexmora service on a given bus as whoever runs it and prints one
# line per call: "<call> reply <signature> <value>" or "<call> error <name>".
# The boot test feeds it to python3's standard
# input under setpriv; policy-matrix.txt says what each call must print.
#   python3 - ADDRESS claim NAME PATH INTERFACE   tries to own the service's name
#   python3 - ADDRESS calls NAME PATH INTERFACE   calls every method and the standard interfaces
import os
import sys

import dbus

address, mode, NAME, PATH, SERVER = sys.argv[1:6]
connection = dbus.bus.BusConnection(address)
print("identity", os.getuid(), os.getgid(), ",".join(str(g) for g in sorted(os.getgroups())))


def signature_of(value):
    if value is None:
        return ""
    if isinstance(value, dbus.Int32):
        return "i"
    if isinstance(value, dbus.UInt32):
        return "u"
    if isinstance(value, dbus.String):
        return "s"
    if isinstance(value, dbus.Dictionary):
        return "a{sv}"
    return type(value).__name__


def call(label, destination, path, interface, member, signature="", arguments=()):
    try:
        value = connection.call_blocking(destination, path, interface, member, signature,
                                         arguments, timeout=10)
    except dbus.exceptions.DBusException as error:
        print(label, "error", error.get_dbus_name())
        return
    # Integers and the threshold texts are shown; other texts are data.
    shown = value if isinstance(value, (dbus.Int32, dbus.UInt32)) or \
        (member.startswith("get") and member.endswith("Threshold")) else "-"
    print(label, "reply", signature_of(value) or "-", shown)


if mode == "claim":
    call("claim", "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
         "RequestName", "su", (NAME, 4))  # 4: DBUS_NAME_FLAG_DO_NOT_QUEUE
    sys.exit(0)

for method, signature, arguments in [
        ("setNetmonitorStatus", "i", (1,)),
        ("getNetmonitorStatus", "", ()),
        ("setNetmonitorAlarmStatus", "i", (1,)),
        ("getNetmonitorAlarmStatus", "", ()),
        ("setNetmonitorThreshold", "ii", (100, 7)),
        ("getNetmonitorThreshold", "", ()),
        ("setEgressAlarmStatus", "i", (1,)),
        ("getEgressAlarmStatus", "", ()),
        ("setEgressThreshold", "ii", (200, 7)),
        ("getEgressThreshold", "", ()),
        ("setIngressAlarmStatus", "i", (1,)),
        ("getIngressAlarmStatus", "", ()),
        ("setIngressThreshold", "ii", (300, 7)),
        ("getIngressThreshold", "", ()),
        ("getAllAppNetflow", "", ()),
        ("getAllProcessNetflow", "", ()),
        ("getRecentTop10", "i", (7,)),
        ("getRecentData", "i", (7,)),
        ("getReportData", "", ()),
        # Not part of the interface: the policy closes what it does not name.
        ("notAMethod", "", ())]:
    call(method, NAME, PATH, SERVER, method, signature, arguments)

call("Introspect", NAME, PATH, "org.freedesktop.DBus.Introspectable", "Introspect")
call("Ping", NAME, PATH, "org.freedesktop.DBus.Peer", "Ping")
call("GetAll", NAME, PATH, "org.freedesktop.DBus.Properties", "GetAll", "s", (SERVER,))
