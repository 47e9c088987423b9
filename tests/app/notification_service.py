#!/usr/bin/python3
"""A stand-in desktop notification service for tests: owns org.freedesktop.Notifications on the
session bus, appends each notification it receives to a file as one JSON line, presses the first
button of each (ActionInvoked) and closes it, as a customer who clicks would. Prints "ready" once
it owns the name."""
import json
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

NAME = "org.freedesktop.Notifications"


class Service(dbus.service.Object):
    def __init__(self, bus, record):
        super().__init__(bus, "/org/freedesktop/Notifications")
        self.record, self.last = record, 0

    @dbus.service.method(NAME, in_signature="", out_signature="as")
    def GetCapabilities(self):
        return ["actions", "body", "body-markup"]

    @dbus.service.method(NAME, in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        self.last += 1
        with open(self.record, "a", encoding="utf-8") as f:
            f.write(json.dumps({"app": app, "summary": summary, "body": body,
                                "actions": list(actions), "urgency": int(hints["urgency"]),
                                "entry": str(hints.get("desktop-entry", ""))},
                               ensure_ascii=False) + "\n")
        GLib.idle_add(self.answer, self.last, list(actions))
        return self.last

    def answer(self, ident, actions):
        if actions:
            self.ActionInvoked(ident, actions[0])
        self.NotificationClosed(ident, 2)

    @dbus.service.signal(NAME, signature="us")
    def ActionInvoked(self, ident, key):
        pass

    @dbus.service.signal(NAME, signature="uu")
    def NotificationClosed(self, ident, reason):
        pass


DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
service = Service(bus, sys.argv[1])
name = dbus.service.BusName(NAME, bus)
print("ready", flush=True)
GLib.MainLoop().run()
