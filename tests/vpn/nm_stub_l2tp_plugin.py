#!/usr/bin/python3
"""Stand-in for NetworkManager's L2TP plugin, for tests without PPP in the kernel.

NetworkManager starts this program itself when a connection of service type
org.freedesktop.NetworkManager.l2tp is activated (the test's sandbox points the
plugin's .name file here). It speaks the plugin side of the VPN plugin D-Bus
interface: it checks the user name and password it is given against
expect.json beside this file (read afresh on every connect), and then either
brings up a TUN device with the addresses from that file or reports a login
failure. It never writes what it received; stub.log only says what happened.
"""

import fcntl
import json
import os
import socket
import struct
import sys
import time

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

BUS_NAME = "org.freedesktop.NetworkManager.l2tp"
PLUGIN_PATH = "/org/freedesktop/NetworkManager/VPN/Plugin"
PLUGIN_IFACE = "org.freedesktop.NetworkManager.VPN.Plugin"

STATE_STARTING, STATE_STARTED, STATE_STOPPING, STATE_STOPPED = 3, 4, 5, 6
FAILURE_LOGIN_FAILED = 0

TUNSETIFF = 0x400454CA
IFF_TUN, IFF_NO_PI = 0x0001, 0x1000

# Exit when nothing happened for this long, so a forgotten stand-in cannot linger.
IDLE_EXIT_SECONDS = 120

HERE = os.path.dirname(os.path.abspath(__file__))


def log(line):
    with open(os.path.join(HERE, "stub.log"), "a", encoding="utf-8") as f:
        f.write(line + "\n")


def ip4(text):
    """An IPv4 address as NetworkManager's plugin interface wants it: network byte order in a uint32."""
    return dbus.UInt32(struct.unpack("=I", socket.inet_aton(text))[0])


class Plugin(dbus.service.Object):
    def __init__(self, bus, loop):
        super().__init__(bus, PLUGIN_PATH)
        self.loop = loop
        self.tun_fd = None
        self.state = STATE_STOPPED
        self.last_activity = time.monotonic()
        GLib.timeout_add_seconds(5, self.check_idle)

    def check_idle(self):
        if self.tun_fd is None and time.monotonic() - self.last_activity > IDLE_EXIT_SECONDS:
            self.loop.quit()
            return False
        return True

    def set_state(self, state):
        self.state = state
        self.StateChanged(dbus.UInt32(state))

    # --- methods NetworkManager calls ---

    @dbus.service.method(PLUGIN_IFACE, in_signature="a{sa{sv}}", out_signature="s")
    def NeedSecrets(self, settings):
        self.last_activity = time.monotonic()
        secrets = settings.get("vpn", {}).get("secrets", {})
        return "" if secrets.get("password") else "vpn"

    @dbus.service.method(PLUGIN_IFACE, in_signature="a{sa{sv}}a{sv}", out_signature="")
    def ConnectInteractive(self, settings, details):
        self.start(settings)

    @dbus.service.method(PLUGIN_IFACE, in_signature="a{sa{sv}}", out_signature="")
    def Connect(self, settings):
        self.start(settings)

    @dbus.service.method(PLUGIN_IFACE, in_signature="", out_signature="")
    def Disconnect(self):
        self.last_activity = time.monotonic()
        log("disconnect")
        GLib.idle_add(self.stop)

    @dbus.service.method(PLUGIN_IFACE, in_signature="a{sa{sv}}", out_signature="")
    def NewSecrets(self, settings):
        pass

    @dbus.service.method(PLUGIN_IFACE, in_signature="a{sv}", out_signature="")
    def SetConfig(self, config):
        pass

    @dbus.service.method(PLUGIN_IFACE, in_signature="a{sv}", out_signature="")
    def SetIp4Config(self, config):
        pass

    @dbus.service.method(PLUGIN_IFACE, in_signature="a{sv}", out_signature="")
    def SetIp6Config(self, config):
        pass

    @dbus.service.method(PLUGIN_IFACE, in_signature="s", out_signature="")
    def SetFailure(self, reason):
        pass

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        if name == "State":
            return dbus.UInt32(self.state)
        raise dbus.exceptions.DBusException("no such property", name="org.freedesktop.DBus.Error.InvalidArgs")

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return {"State": dbus.UInt32(self.state)}

    # --- signals ---

    @dbus.service.signal(PLUGIN_IFACE, signature="u")
    def StateChanged(self, state):
        pass

    @dbus.service.signal(PLUGIN_IFACE, signature="a{sv}")
    def Config(self, config):
        pass

    @dbus.service.signal(PLUGIN_IFACE, signature="a{sv}")
    def Ip4Config(self, config):
        pass

    @dbus.service.signal(PLUGIN_IFACE, signature="u")
    def Failure(self, reason):
        pass

    # --- the work ---

    def start(self, settings):
        self.last_activity = time.monotonic()
        with open(os.path.join(HERE, "expect.json"), encoding="utf-8") as f:
            expect = json.load(f)
        vpn = settings.get("vpn", {})
        user = str(vpn.get("data", {}).get("user", ""))
        password = str(vpn.get("secrets", {}).get("password", ""))
        self.set_state(STATE_STARTING)
        if user != expect["user"] or password != expect["password"]:
            log("connect: login failed")
            GLib.idle_add(self.fail_login)
            return
        log("connect: login ok")
        GLib.idle_add(self.bring_up, expect)

    def fail_login(self):
        self.Failure(dbus.UInt32(FAILURE_LOGIN_FAILED))
        self.set_state(STATE_STOPPING)
        self.set_state(STATE_STOPPED)
        return False

    def bring_up(self, expect):
        fd = os.open("/dev/net/tun", os.O_RDWR)
        fcntl.ioctl(fd, TUNSETIFF, struct.pack("16sH", expect["tundev"].encode(), IFF_TUN | IFF_NO_PI))
        self.tun_fd = fd
        self.Config(
            {
                "tundev": dbus.String(expect["tundev"]),
                "gateway": ip4(expect["gateway"]),
                "mtu": dbus.UInt32(1400),
                "has-ip4": dbus.Boolean(True),
                "has-ip6": dbus.Boolean(False),
            }
        )
        self.Ip4Config(
            {
                "address": ip4(expect["address"]),
                "prefix": dbus.UInt32(32),
                "ptp": ip4(expect["peer"]),
                "dns": dbus.Array([ip4(expect["peer"])], signature="u"),
                "never-default": dbus.Boolean(False),
                "routes": dbus.Array([], signature="au"),
            }
        )
        self.set_state(STATE_STARTED)
        return False

    def stop(self):
        self.set_state(STATE_STOPPING)
        if self.tun_fd is not None:
            os.close(self.tun_fd)
            self.tun_fd = None
        self.set_state(STATE_STOPPED)
        return False


def main():
    with open(os.path.join(HERE, "stub.pid"), "w", encoding="utf-8") as f:
        f.write(str(os.getpid()))
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()
    loop = GLib.MainLoop()
    plugin = Plugin(bus, loop)
    name = dbus.service.BusName(BUS_NAME, bus, do_not_queue=True)
    loop.run()
    del name, plugin
    return 0


if __name__ == "__main__":
    sys.exit(main())
