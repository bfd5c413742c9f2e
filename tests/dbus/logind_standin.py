#!/usr/bin/python3
"""A stand-in for logind on a private bus, for the node's tests: seat0's active session with
its user, lock and idle hints, each change signalled as logind signals it. The test changes
them through the stand-in's own methods (org.varnix.Test on /test).

Usage: logind_standin.py BUS_ADDRESS READY_FILE
"""
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


session = Object(SESSION, "org.freedesktop.login1.Session", {
    "Name": dbus.String("alice"),
    "LockedHint": dbus.Boolean(False),
    "IdleHint": dbus.Boolean(True),
    "IdleSinceHint": dbus.UInt64(int((time.time() - 90) * 1e6)),
})
seat = Object("/org/freedesktop/login1/seat/seat0", "org.freedesktop.login1.Seat", {
    "ActiveSession": dbus.Struct(("c1", dbus.ObjectPath(SESSION)), signature="so"),
})


class Control(dbus.service.Object):
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
open(sys.argv[2], "w").close()
GLib.MainLoop().run()
