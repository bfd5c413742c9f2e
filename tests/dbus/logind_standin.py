#!/usr/bin/python3
"""A stand-in for logind on a private bus, for the node's tests: seat0's active session with
its user, lock and idle hints, each change signalled as logind signals it. The test changes
them through the stand-in's own methods (org.varnix.Test on /test).

The bus serves as the session user's own too (its socket is the user's runtime folder's "bus"),
with a stand-in notification service that writes each notice it is given, and each it is asked
to close, as a line of JSON to "notices" in that folder; the test answers the last one.

Usage: logind_standin.py BUS_ADDRESS READY_FILE
"""
import json
import os
import sys
import time

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

PROPERTIES = "org.freedesktop.DBus.Properties"
SESSION = "/org/freedesktop/login1/session/c1"

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.bus.BusConnection(sys.argv[1])


class Object(dbus.service.Object):
    def __init__(self, path, interface, properties):
        super().__init__(bus, path)
        self.interface = interface
        self.properties = properties

    @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        if interface != self.interface or name not in self.properties:
            raise dbus.exceptions.DBusException(
                "no property " + name, name="org.freedesktop.DBus.Error.UnknownProperty")
        return self.properties[name]

    @dbus.service.signal(PROPERTIES, signature="sa{sv}as")
    def PropertiesChanged(self, interface, changed, invalidated):
        pass

    def set(self, name, value):
        self.properties[name] = value
        self.PropertiesChanged(self.interface, {name: value}, [])


RUNTIME = os.path.dirname(sys.argv[1].split("=", 1)[1])
USER = "/org/freedesktop/login1/user/_%d" % os.getuid()
user = Object(USER, "org.freedesktop.login1.User", {"RuntimePath": dbus.String(RUNTIME)})
session = Object(SESSION, "org.freedesktop.login1.Session", {
    "Name": dbus.String("alice"),
    "User": dbus.Struct((dbus.UInt32(os.getuid()), dbus.ObjectPath(USER)), signature="uo"),
    "LockedHint": dbus.Boolean(False),
    "IdleHint": dbus.Boolean(True),
    "IdleSinceHint": dbus.UInt64(int((time.time() - 90) * 1e6)),
})
seat = Object("/org/freedesktop/login1/seat/seat0", "org.freedesktop.login1.Seat", {
    "ActiveSession": dbus.Struct(("c1", dbus.ObjectPath(SESSION)), signature="so"),
})


NOTIFICATIONS = "org.freedesktop.Notifications"


class Notifications(dbus.service.Object):
    last = 0

    def record(self, what):
        with open(os.path.join(RUNTIME, "notices"), "a") as notices:
            notices.write(json.dumps(what) + "\n")

    @dbus.service.method(NOTIFICATIONS, out_signature="as")
    def GetCapabilities(self):
        return ["actions", "body", "body-markup"]

    @dbus.service.method(NOTIFICATIONS, in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        self.last += 1
        self.record([str(app), str(summary), str(body), [str(a) for a in actions], int(timeout)])
        return self.last

    @dbus.service.method(NOTIFICATIONS, in_signature="u")
    def CloseNotification(self, number):
        self.record(["closed", int(number)])
        self.NotificationClosed(number, 3)

    @dbus.service.signal(NOTIFICATIONS, signature="us")
    def ActionInvoked(self, number, key):
        pass

    @dbus.service.signal(NOTIFICATIONS, signature="uu")
    def NotificationClosed(self, number, reason):
        pass


notifications = Notifications(bus, "/org/freedesktop/Notifications")


class Control(dbus.service.Object):
    @dbus.service.method("org.varnix.Test", in_signature="s")
    def Answer(self, action):
        # As a desktop does it: the action, then the notice closed.
        notifications.ActionInvoked(notifications.last, action)
        notifications.NotificationClosed(notifications.last, 2)

    @dbus.service.method("org.varnix.Test")
    def Dismiss(self):
        notifications.NotificationClosed(notifications.last, 2)

    @dbus.service.method("org.varnix.Test", in_signature="b")
    def Lock(self, locked):
        session.set("LockedHint", dbus.Boolean(locked))

    @dbus.service.method("org.varnix.Test", in_signature="s")
    def Become(self, user):
        session.set("Name", dbus.String(user))
        session.set("IdleHint", dbus.Boolean(False))

    @dbus.service.method("org.varnix.Test")
    def LeaveSeat(self):
        seat.set("ActiveSession", dbus.Struct(("", dbus.ObjectPath("/")), signature="so"))


Control(bus, "/test")
name = dbus.service.BusName("org.freedesktop.login1", bus)
service = dbus.service.BusName(NOTIFICATIONS, bus)
open(sys.argv[2], "w").close()
GLib.MainLoop().run()
