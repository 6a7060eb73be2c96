#!/usr/bin/python3
"""A stand-in for the desktop's session manager on a test's private bus:
org.gnome.SessionManager's Inhibit and Uninhibit, each call a JSON line in
LOG, which exists once it is ready. Run with the system's python3 (python3-gi).

usage: session_manager.py LOG"""
import itertools
import json
import sys

from gi.repository import Gio, GLib

INTERFACE = """<node><interface name="org.gnome.SessionManager">
<method name="Inhibit"><arg type="s"/><arg type="u"/><arg type="s"/><arg type="u"/>
<arg type="u" direction="out"/></method>
<method name="Uninhibit"><arg type="u"/></method></interface></node>"""


def main():
    loop, cookies = GLib.MainLoop(), itertools.count(1)

    def write(entry):
        with open(sys.argv[1], 'a', encoding='utf-8') as f:
            f.write(json.dumps(entry, ensure_ascii=False) + '\n')

    def called(_bus, _sender, _path, _interface, method, args, invocation):
        write({'method': method, 'args': list(args.unpack())})
        invocation.return_value(GLib.Variant('(u)', (next(cookies),)) if method == 'Inhibit'
                                else None)

    def acquired(bus, name):
        bus.register_object('/org/gnome/SessionManager',
                            Gio.DBusNodeInfo.new_for_xml(INTERFACE).interfaces[0], called)
        write({'ready': name})

    Gio.bus_own_name(Gio.BusType.SESSION, 'org.gnome.SessionManager', Gio.BusNameOwnerFlags.NONE,
                     None, acquired, lambda *_: loop.quit())
    loop.run()


if __name__ == '__main__':
    main()
