"""Prints every answer (the Distributed signal) on the bus as one JSON line.

Each line holds the answer's name, its values, the D-Bus type of each value and the time it
arrived (CLOCK_MONOTONIC, comparable with time.monotonic() in the tests). A signal of the
wrong shape is printed with "malformed" and its signature. The first line, {"ready": true},
comes once the bus has installed the match, so nothing posted after it is missed.

Usage: /usr/bin/python3 recorder.py BUS_ADDRESS
"""

import json
import sys
import time

import dbus
import dbus.mainloop.glib
from gi.repository import GLib

TYPE_NAMES = {
    dbus.Byte: 'byte',
    dbus.Boolean: 'boolean',
    dbus.Int16: 'int16',
    dbus.UInt16: 'uint16',
    dbus.Int32: 'int32',
    dbus.UInt32: 'uint32',
    dbus.Int64: 'int64',
    dbus.UInt64: 'uint64',
    dbus.Double: 'double',
    dbus.String: 'string',
    dbus.ObjectPath: 'object-path',
    dbus.Signature: 'signature',
}


def plain(value):
    """The value as JSON can hold it."""
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, (dbus.String, dbus.ObjectPath, dbus.Signature)):
        return str(value)
    if isinstance(value, dbus.Double):
        return float(value)
    if isinstance(value, int):
        return int(value)
    return repr(value)


def emit(record):
    sys.stdout.write(json.dumps(record, ensure_ascii=False) + '\n')
    sys.stdout.flush()


def on_distributed(*args, **keywords):
    record = {'time': time.monotonic(), 'sender': str(keywords.get('sender', ''))}
    message = keywords['message']
    if message.get_signature() != 'sa{sv}':
        record.update(malformed=True, signature=message.get_signature())
    else:
        name, values = args
        record.update(name=str(name),
                      values={str(k): plain(v) for k, v in values.items()},
                      types={str(k): TYPE_NAMES.get(type(v), type(v).__name__)
                             for k, v in values.items()})
    emit(record)


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
