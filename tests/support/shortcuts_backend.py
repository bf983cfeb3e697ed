#!/usr/bin/python3
# A desktop's global-shortcuts backend for the real xdg-desktop-portal frontend, on the session bus
# it is given: it binds every shortcut asked for with the preferred trigger, spelt as a desktop
# would show it ("LOGO+SHIFT+v" shows as "Logo+Shift+V"), and writes one JSON line per bind to
# stdout. With --cancel, every bind is cancelled, as when the user closes the desktop's dialog.
# Commands on stdin, one a line:
#   activate <id>              the user presses the shortcut <id>
#   change <id> <shown name>   the user gives <id> another trigger in the desktop's settings
import json
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

NAME = "org.freedesktop.impl.portal.Test"
IFACE = "org.freedesktop.impl.portal.GlobalShortcuts"
SESSION = "org.freedesktop.impl.portal.Session"


def say(obj):
    print(json.dumps(obj), flush=True)


def shown(trigger):
    return "+".join(part.capitalize() if len(part) > 1 else part.upper() for part in str(trigger).split("+"))


class Session(dbus.service.Object):
    def __init__(self, bus, path):
        super().__init__(bus, path)

    @dbus.service.method(SESSION, in_signature="", out_signature="")
    def Close(self):
        self.remove_from_connection()

    @dbus.service.signal(SESSION, signature="")
    def Closed(self):
        pass


class Backend(dbus.service.Object):
    def __init__(self, bus, cancel):
        super().__init__(bus, "/org/freedesktop/portal/desktop")
        self.bus = bus
        self.cancel = cancel
        self.session = None
        self.shortcuts = {}
        self.sessions = []

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, prop):
        return self.GetAll(interface)[prop]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return {"version": dbus.UInt32(1)} if interface == IFACE else {}

    @dbus.service.method(IFACE, in_signature="oosa{sv}", out_signature="ua{sv}")
    def CreateSession(self, handle, session_handle, app_id, options):
        self.session = session_handle
        self.sessions.append(Session(self.bus, session_handle))
        return dbus.UInt32(0), dbus.Dictionary({"session_handle": dbus.String(session_handle)}, signature="sv")

    def listed(self):
        return dbus.Array(
            [dbus.Struct((i, dbus.Dictionary(p, signature="sv"))) for i, p in self.shortcuts.items()],
            signature="(sa{sv})")

    @dbus.service.method(IFACE, in_signature="ooa(sa{sv})sa{sv}", out_signature="ua{sv}")
    def BindShortcuts(self, handle, session_handle, shortcuts, parent_window, options):
        asked = [{"id": str(i), "description": str(p.get("description", "")),
                  "preferred_trigger": str(p.get("preferred_trigger", ""))} for i, p in shortcuts]
        say({"bind": asked, "cancelled": self.cancel})
        if self.cancel:
            return dbus.UInt32(1), dbus.Dictionary({}, signature="sv")
        self.shortcuts = {}
        for shortcut in asked:
            self.shortcuts[shortcut["id"]] = {
                "description": dbus.String(shortcut["description"]),
                "trigger_description": dbus.String(shown(shortcut["preferred_trigger"])),
            }
        return dbus.UInt32(0), dbus.Dictionary({"shortcuts": self.listed()}, signature="sv")

    @dbus.service.method(IFACE, in_signature="ooa{sv}", out_signature="ua{sv}")
    def ListShortcuts(self, handle, session_handle, options):
        return dbus.UInt32(0), dbus.Dictionary({"shortcuts": self.listed()}, signature="sv")

    @dbus.service.signal(IFACE, signature="osta{sv}")
    def Activated(self, session_handle, shortcut_id, timestamp, options):
        pass

    @dbus.service.signal(IFACE, signature="osta{sv}")
    def Deactivated(self, session_handle, shortcut_id, timestamp, options):
        pass

    @dbus.service.signal(IFACE, signature="oa(sa{sv})")
    def ShortcutsChanged(self, session_handle, shortcuts):
        pass

    def command(self, line):
        words = line.split(None, 2)
        if not words or self.session is None:
            say({"error": "no session for %r" % line.strip()})
            return
        if words[0] == "activate":
            self.Activated(self.session, words[1], dbus.UInt64(0), dbus.Dictionary({}, signature="sv"))
            self.Deactivated(self.session, words[1], dbus.UInt64(0), dbus.Dictionary({}, signature="sv"))
        elif words[0] == "change":
            self.shortcuts[words[1]]["trigger_description"] = dbus.String(words[2].strip())
            self.ShortcutsChanged(self.session, self.listed())
        say({"done": words[0]})


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    backend = Backend(bus, "--cancel" in sys.argv)
    name = dbus.service.BusName(NAME, bus)  # noqa: F841 (the name lives as long as this)
    loop = GLib.MainLoop()

    def on_stdin(channel, condition):
        line = sys.stdin.readline()
        if not line:
            loop.quit()
            return False
        backend.command(line)
        return True

    GLib.io_add_watch(sys.stdin.fileno(), GLib.IO_IN | GLib.IO_HUP, on_stdin)
    say({"ready": True})
    loop.run()


if __name__ == "__main__":
    main()
