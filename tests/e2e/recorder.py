"""Prints every answer (the Distributed signal) on the bus as one JSON line: its name, its
values, the D-Bus type of each, its sender and when it arrived (CLOCK_MONOTONIC, as
time.monotonic() in the tests). Signals of another shape are left out. The first line,
{"ready": true}, comes once the match is in force, so nothing posted after it is missed.

Usage: /usr/bin/python3 recorder.py BUS_ADDRESS
"""

import json
import sys
import time

import dbus
import dbus.mainloop.glib
from gi.repository import GLib


def plain(value):
    """The value as JSON can hold it."""
    for kind, convert in ((dbus.Boolean, bool), (str, str), (float, float), (int, int)):
        if isinstance(value, kind):
            return convert(value)
    return repr(value)


def emit(record):
    sys.stdout.write(json.dumps(record, ensure_ascii=False) + '\n')
    sys.stdout.flush()


def on_distributed(*args, **keywords):
    if keywords['message'].get_signature() != 'sa{sv}':
        return
    name, values = args
    emit({'time': time.monotonic(), 'sender': str(keywords['sender']), 'name': str(name),
          'values': {str(k): plain(v) for k, v in values.items()},
          # dbus.Int32 is "int32", dbus.String "string", and so on.
          'types': {str(k): type(v).__name__.lower() for k, v in values.items()}})


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(sys.argv[1])
    loop = GLib.MainLoop()
    bus.add_signal_receiver(on_distributed, signal_name='Distributed',
                            dbus_interface='lumora.Notifications', path='/lumora/Notifications',
                            sender_keyword='sender', message_keyword='message')
    bus.call_on_disconnection(lambda _: loop.quit())
    # A round trip: the bus handles messages in order, so the match is in force once this returns.
    bus.call_blocking('org.freedesktop.DBus', '/org/freedesktop/DBus', 'org.freedesktop.DBus',
                      'GetId', '', ())
    emit({'ready': True})
    loop.run()


if __name__ == '__main__':
    main()
