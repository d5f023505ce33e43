"""The discover command end to end: the real Updater against simulated modules
inside a private network (the TCP/IP probe multicasts), compared with the exact
row formats of the device list."""

import os
import time
import unittest

import lvtest

TCP_HEADER = ("    Device    Module   Router  Model          Firmware Version (Build)"
              "   [IP address]       Device Name")
USB_HEADER = ("    Device    Module   Router  Model          Firmware Version (Build)"
              "    Device Name")


def tcp_row(serial, module, router, model, version, build, ip, name):
    major, minor, patch = version
    return "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)        %-17s  %s" % (
        serial, module, router, model, major, minor, patch, build, "[%s]" % ip, name)


@unittest.skipUnless(lvtest.PrivateNetwork.available(), "needs root for network namespaces")
class DiscoverOverTcpip(unittest.TestCase):
    def setUp(self):
        self._dirs = lvtest.temp_dir()
        self.dir = self._dirs.__enter__()
        self.net = lvtest.PrivateNetwork().__enter__()

    def tearDown(self):
        self.net.__exit__()
        self._dirs.__exit__(None, None, None)

    def simulator(self, modules, extra=()):
        args = []
        for m in modules:
            args += ["--module", m]
        args += ["--discovery", self.net.DEVICE_ADDRESS] + list(extra)
        return lvtest.start_simulator(args, prefix=self.net.device_prefix,
                                      log_path=os.path.join(self.dir, "sim.log"))

    def updater(self, *args):
        return self.net.run_updater(list(args), store_dir=self.dir, timeout=60)

    def test_modules_of_several_versions(self):
        ip = self.net.DEVICE_ADDRESS
        with self.simulator([
                "serial=40F5849A,model=4,version=2.10.4,build=1234,name=Bench one,tcp=%s:0" % ip,
                "serial=11111111,model=5,version=2.10.3,build=99,name=Hidden,tcp=%s:0" % ip,
                "serial=0000ABCD,model=200,version=3.0.1,build=4294967295,name=Top,tcp=%s:0" % ip]):
            rc, out, err = self.updater("-D", "-t", "TCP")
        self.assertEqual(rc, 0, err)
        lines = out.splitlines()
        self.assertEqual(lines[1:4], ["Searching for Lumivance devices", "Discovered Devices: (TCPIP)",
                                      TCP_HEADER])
        rows = sorted(lines[4:])
        # 2.10.3 shows no name; 2.10.4 and later show it. Model 200 is not in the table.
        self.assertEqual(rows, sorted([
            tcp_row(0x40F5849A, 2, 2, "LV-Switch2", (2, 10, 4), 1234, ip, "Bench one"),
            tcp_row(0x11111111, 2, 2, "LV-Switch4", (2, 10, 3), 99, ip, ""),
            tcp_row(0x0000ABCD, 2, 2, "Unknown", (3, 0, 1), 4294967295, ip, "Top"),
        ]))
        self.assertEqual(err, "")

    def test_no_modules_answer(self):
        started = time.monotonic()
        rc, out, err = self.updater("-D", "-t", "TCPIP")
        self.assertEqual(rc, 0, err)
        self.assertEqual(out.splitlines()[2:], ["Discovered Devices: (TCPIP)", "    No devices found."])
        self.assertLess(time.monotonic() - started, 30)

    def test_router_walk_lists_modules_in_address_order(self):
        ip = self.net.DEVICE_ADDRESS
        with self.simulator([
                "serial=D272031D,model=4,version=2.10.4,build=500,name=Router,tcp=%s:0" % ip,
                "serial=22222222,model=5,version=2.11.0,build=77,name=Ten,router=D272031D,address=10",
                "serial=33333333,model=6,version=2.10.3,build=78,name=Four,router=D272031D,address=4"]) as sim:
            rc, out, err = self.updater("-D", "-r", "D272031D", "-t", "TCP")
            events = sim.log()
        self.assertEqual(rc, 0, err)
        self.assertEqual(out.splitlines()[1:], [
            "Searching for Lumivance Network devices connected to D272031D",
            "Discovered Devices: (TCPIP)",
            TCP_HEADER,
            # Names are not read through a router; the address is what the device reports.
            tcp_row(0x33333333, 4, 2, "LV-Router", (2, 10, 3), 78, ip, ""),
            tcp_row(0x22222222, 10, 2, "LV-Switch4", (2, 11, 0), 77, ip, ""),
        ])
        self.assertEqual(err, "")
        # The walk sends one I2C probe write per even address except the router's own.
        text = "\n".join(str(e) for e in events)
        self.assertIn("22222222", text)

    def test_router_without_transport_finds_its_link_type(self):
        ip = self.net.DEVICE_ADDRESS
        with self.simulator([
                "serial=D272031D,model=4,version=2.10.4,build=500,tcp=%s:0" % ip,
                "serial=22222222,model=5,version=2.11.0,build=77,router=D272031D,address=6"]):
            rc, out, err = self.updater("-D", "-r", "D272031D")
        self.assertEqual(rc, 0, err)
        lines = out.splitlines()
        # Without -t the title says Unknown and the header is the IP-address layout.
        self.assertEqual(lines[2:4], ["Discovered Devices: (Unknown)", TCP_HEADER])
        self.assertEqual(lines[4:], [tcp_row(0x22222222, 6, 2, "LV-Switch4", (2, 11, 0), 77, ip, "")])

    def test_router_not_found_gives_empty_list_without_message(self):
        rc, out, err = self.updater("-D", "-r", "0BADF00D", "-t", "TCP")
        self.assertEqual(rc, 0)
        self.assertEqual(out.splitlines()[1:], [
            "Searching for Lumivance Network devices connected to 0BADF00D",
            "Discovered Devices: (TCPIP)", "    No devices found."])
        self.assertEqual(err, "")


class DiscoverOverUsb(unittest.TestCase):
    def test_no_usb_devices(self):
        with lvtest.temp_dir() as d:
            rc, out, err = lvtest.run_updater(["-D"], store_dir=d)
        self.assertEqual(rc, 0, err)
        self.assertEqual(out.splitlines()[1:], [
            "Searching for Lumivance devices", "Discovered Devices: (USB)", "    No devices found."])


if __name__ == "__main__":
    unittest.main()
