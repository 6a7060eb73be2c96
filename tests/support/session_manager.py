#!/usr/bin/python3
"""A stand-in for the desktop's session manager on a test's private session
bus: org.gnome.SessionManager's Inhibit and Uninhibit, each call written to
LOG as a line of JSON ({"method": ..., "args": [...]}). Run it with the
system's python3 (python3-gi); it is ready once LOG exists, and ends with
its bus.

usage: session_manager.py LOG"""
import json
import sys

from gi.repository import Gio, GLib

INTERFACE = """<node><interface name="org.gnome.SessionManager">
  <method name="Inhibit">
    <arg type="s" direction="in"/><arg type="u" direction="in"/>
    <arg type="s" direction="in"/><arg type="u" direction="in"/>
    <arg type="u" direction="out"/>
  </method>
  <method name="Uninhibit"><arg type="u" direction="in"/></method>
</interface></node>"""


def main():
    log = sys.argv[1]
    cookies = iter(range(1, 1 << 31))
    loop = GLib.MainLoop()

    def write(entry):
        with open(log, 'a', encoding='utf-8') as f:
            f.write(json.dumps(entry, ensure_ascii=False) + '\n')

    def called(_connection, _sender, _path, _interface, method, args, invocation):
        write({'method': method, 'args': list(args.unpack())})
        invocation.return_value(
            GLib.Variant('(u)', (next(cookies),)) if method == 'Inhibit' else None)

    def acquired(connection, name):
        info = Gio.DBusNodeInfo.new_for_xml(INTERFACE).interfaces[0]
        connection.register_object('/org/gnome/SessionManager', info, called)
        write({'ready': name})

    Gio.bus_own_name(Gio.BusType.SESSION, 'org.gnome.SessionManager',
                     Gio.BusNameOwnerFlags.NONE, None, acquired, lambda *_: loop.quit())
    loop.run()


if __name__ == '__main__':
    main()
