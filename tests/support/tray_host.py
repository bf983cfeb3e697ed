#!/usr/bin/python3
# A panel that shows StatusNotifierItems, on the session bus it is given: it owns the watcher's
# name, and for each item that registers reads the item's menu over dbusmenu the way a panel draws
# it, writing one JSON line per reading to stdout. Commands on stdin, one a line:
#   layout                 read the last item's menu again
#   click <id>             the user clicks the exported item <id>
#   activate               the user left-clicks the icon
import json
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

WATCHER = "org.kde.StatusNotifierWatcher"
ITEM = "org.kde.StatusNotifierItem"
MENU = "com.canonical.dbusmenu"


def shown(label):
    """What a panel draws of a dbusmenu label: "__" is one underscore, a lone "_" marks the mnemonic."""
    out, i = [], 0
    while i < len(label):
        if label[i] == "_":
            if i + 1 < len(label) and label[i + 1] == "_":
                out.append("_")
                i += 2
                continue
            i += 1
            continue
        out.append(label[i])
        i += 1
    return "".join(out)


def say(obj):
    print(json.dumps(obj), flush=True)


class Watcher(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, "/StatusNotifierWatcher")
        self.bus = bus
        self.items = []

    @dbus.service.method(WATCHER, in_signature="s", out_signature="", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender=None):
        path = "/StatusNotifierItem"
        if service.startswith("/"):
            service, path = sender, service
        self.items.append((service, path))
        self.StatusNotifierItemRegistered(service + path)
        # After the reply: the item's owner may be waiting for it.
        GLib.idle_add(self.read_last)

    @dbus.service.method(WATCHER, in_signature="s", out_signature="")
    def RegisterStatusNotifierHost(self, service):
        pass

    @dbus.service.signal(WATCHER, signature="s")
    def StatusNotifierItemRegistered(self, name):
        pass

    # Qt reads the watcher's properties through an interface built from this description.
    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, in_signature="", out_signature="s")
    def Introspect(self):
        return """<node><interface name="%s">
  <method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
  <method name="RegisterStatusNotifierHost"><arg type="s" direction="in"/></method>
  <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
  <property name="ProtocolVersion" type="i" access="read"/>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
</interface></node>""" % WATCHER

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, prop):
        return self.GetAll(interface)[prop]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return {
            "IsStatusNotifierHostRegistered": dbus.Boolean(True),
            "ProtocolVersion": dbus.Int32(0),
            "RegisteredStatusNotifierItems": dbus.Array(["%s%s" % i for i in self.items], signature="s"),
        }

    def item(self):
        service, path = self.items[-1]
        return self.bus.get_object(service, path, introspect=False)

    def menu(self):
        service, _ = self.items[-1]
        path = self.item().Get(ITEM, "Menu", dbus_interface=dbus.PROPERTIES_IFACE)
        return dbus.Interface(self.bus.get_object(service, path, introspect=False), MENU)

    def read(self, menu, node):
        ident, props, children = node
        entry = {
            "id": int(ident),
            "label": shown(str(props.get("label", ""))),
            "enabled": bool(props.get("enabled", True)),
            "visible": bool(props.get("visible", True)),
            "type": str(props.get("type", "standard")),
        }
        if children or props.get("children-display") == "submenu":
            # A panel opens a submenu before it draws it.
            menu.AboutToShow(dbus.Int32(ident))
            _, fresh = menu.GetLayout(dbus.Int32(ident), -1, dbus.Array([], signature="s"))
            entry["children"] = [self.read(menu, child) for child in fresh[2]]
        return entry

    def read_last(self):
        try:
            item = self.item()
            menu = self.menu()
            menu.AboutToShow(dbus.Int32(0))
            _, root = menu.GetLayout(dbus.Int32(0), -1, dbus.Array([], signature="s"))
            rows = [self.read(menu, child) for child in root[2]]
            is_menu = bool(item.Get(ITEM, "ItemIsMenu", dbus_interface=dbus.PROPERTIES_IFACE))
            say({"item": self.items[-1][0], "itemIsMenu": is_menu, "rows": rows})
        except dbus.DBusException as error:
            say({"error": str(error)})
        return False

    def command(self, line):
        words = line.split()
        if not words:
            return
        if words[0] == "layout":
            self.read_last()
        elif words[0] == "click":
            self.menu().Event(dbus.Int32(int(words[1])), "clicked", dbus.Int32(0, variant_level=1), dbus.UInt32(0))
            say({"clicked": int(words[1])})
        elif words[0] == "activate":
            self.item().Activate(dbus.Int32(10), dbus.Int32(10), dbus_interface=ITEM)
            say({"activated": True})


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    watcher = Watcher(bus)
    name = dbus.service.BusName(WATCHER, bus)  # noqa: F841 (the name lives as long as this)
    loop = GLib.MainLoop()

    def on_stdin(channel, condition):
        line = sys.stdin.readline()
        if not line:
            loop.quit()
            return False
        watcher.command(line)
        return True

    GLib.io_add_watch(sys.stdin.fileno(), GLib.IO_IN | GLib.IO_HUP, on_stdin)
    say({"ready": True})
    loop.run()


if __name__ == "__main__":
    main()
