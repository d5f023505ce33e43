"""End-to-end tests of the device simulator, spoken to with a small client
written here from the wire formats (independent of the C++ link core)."""

import json
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import termios
import time
import tty
import unittest

import lvtest

SERIAL = "40F5849A"


# ---- a tiny independent host side -------------------------------------------

def crc8(data):
    """CRC-8, reflected polynomial 0x8C, initial value 0 (bit by bit)."""
    crc = 0
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8C if crc & 1 else crc >> 1
    return crc


def cobs_encode(data):
    out, block = bytearray(), bytearray()
    for b in data:
        if b == 0:
            out += bytes([len(block) + 1]) + block
            block = bytearray()
        else:
            block.append(b)
            if len(block) == 254:
                out += bytes([255]) + block
                block = bytearray()
    out += bytes([len(block) + 1]) + block
    return bytes(out)


def cobs_decode(data):
    out, i = bytearray(), 0
    while i < len(data):
        code = data[i]
        if code == 0 or i + code > len(data):
            raise ValueError("bad COBS")
        out += data[i + 1:i + code]
        i += code
        if code != 255 and i < len(data):
            out.append(0)
    return bytes(out)


def frame(address, data):
    wire = bytes([address, len(data)]) + bytes(data)
    return cobs_encode(wire + bytes([crc8(wire)])) + b"\x00"


class Client:
    """Host end of one link over a socket or a terminal descriptor.

    Packets come back as (address, data bytes). Heartbeats (length 2,
    data[0] == 0) are answered with value + 2 and kept out of the way unless
    asked for.
    """

    def __init__(self, fd=None, sock=None, cobs=False):
        self.fd, self.sock, self.cobs = fd, sock, cobs
        self.buf = bytearray()
        self.heartbeats = []
        self.answer_heartbeats = True

    def close(self):
        if self.sock:
            self.sock.close()
        elif self.fd is not None:
            os.close(self.fd)

    def _fileno(self):
        return self.sock.fileno() if self.sock else self.fd

    def write_raw(self, data):
        if self.sock:
            self.sock.sendall(data)
        else:
            os.write(self.fd, data)

    def send(self, address, data=b""):
        data = bytes(data)
        if self.cobs:
            self.write_raw(frame(address, data))
        else:
            self.write_raw(bytes([address, len(data)]) + data)

    def _fill(self, deadline):
        left = deadline - time.monotonic()
        if left <= 0:
            return False
        if not select.select([self._fileno()], [], [], left)[0]:
            return False
        chunk = self.sock.recv(4096) if self.sock else os.read(self.fd, 4096)
        if not chunk:
            raise ConnectionError("link closed")
        self.buf += chunk
        return True

    def _take(self):
        if self.cobs:
            while True:
                end = self.buf.find(0)
                if end < 0:
                    return None
                raw, self.buf = bytes(self.buf[:end]), self.buf[end + 1:]
                if not raw:
                    continue
                try:
                    d = cobs_decode(raw)
                except ValueError:
                    return ("bad", raw)
                if len(d) < 3 or d[1] + 3 != len(d) or crc8(d[:-1]) != d[-1]:
                    return ("bad", raw)
                return (d[0], bytes(d[2:-1]))
        if len(self.buf) >= 2 and len(self.buf) >= 2 + self.buf[1]:
            n = self.buf[1]
            p = (self.buf[0], bytes(self.buf[2:2 + n]))
            self.buf = self.buf[2 + n:]
            return p
        return None

    def packet(self, timeout=2.0, heartbeats=False):
        """The next packet, or None after timeout seconds."""
        deadline = time.monotonic() + timeout
        while True:
            p = self._take()
            if p is not None:
                if p[0] != "bad" and len(p[1]) == 2 and p[1][0] == 0 and not heartbeats:
                    self.heartbeats.append(p)
                    if self.answer_heartbeats:
                        self.send(p[0], bytes([0, (p[1][1] + 2) & 0xFF]))
                    continue
                return p
            if not self._fill(deadline):
                return None

    def request(self, address, data, timeout=2.0):
        self.send(address, data)
        return self.packet(timeout)

    def sync(self, address_expected):
        """Six synchronisation packets; returns the answers' addresses."""
        for _ in range(6):
            self.send(0xAD)
        got = []
        for _ in range(6):
            p = self.packet()
            if p is None:
                break
            got.append(p)
        return got

    def get_bytes(self, address, command, option, index=0):
        """A UEI byte-run get: returns (payload, sequence bytes)."""
        self.send(address, bytes([command, option | 0x40, index | 0x20]))
        payload, seqs = b"", []
        while True:
            p = self.packet()
            if p is None:
                return None, seqs
            seqs.append(p[1][-1])
            payload += p[1][3:-1]
            if not p[1][-1] & 0x80:
                return payload, seqs


def tcp_client(module):
    s = socket.create_connection((module["host"], module["port"]), timeout=5)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return Client(sock=s)


def be32(b):
    return int.from_bytes(b, "big")


class SimulatorTestCase(unittest.TestCase):
    def setUp(self):
        self._tmp = lvtest.temp_dir("simtest-")
        self.tmp = self._tmp.__enter__()
        self.log_path = os.path.join(self.tmp, "sim.jsonl")
        self.sims = []

    def tearDown(self):
        for s in self.sims:
            s.stop()
        self._tmp.__exit__(None, None, None)

    def start(self, *args, **kw):
        sim = lvtest.start_simulator(list(args), log_path=self.log_path, **kw)
        self.sims.append(sim)
        return sim

    def wait_log(self, sim, pred, timeout=5.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            hits = [e for e in sim.log() if pred(e)]
            if hits:
                return hits
            time.sleep(0.05)
        return []


# ---- TCP module: synchronisation, queries, heartbeats --------------------------

class TcpModuleTest(SimulatorTestCase):
    def test_sync_and_identity_queries(self):
        sim = self.start("--module", "serial=%s,address=6,model=13,version=2.10.4,build=123,"
                         "name=Bench" % SERIAL)
        c = tcp_client(sim.module(SERIAL))
        try:
            self.assertEqual(c.sync(6), [(6, b"")] * 6)
            # model query as the link core makes it
            self.assertEqual(c.request(6, [3, 0x48, 0x20]), (6, bytes([3, 8, 0, 13])))
            # build query
            self.assertEqual(c.request(6, [0x49, 0xFF]), (6, bytes([0x49, 0xFF, 0, 0, 0, 123])))
            # serial number, packed legacy version, module and router address
            a, d = c.request(6, [3, 0x49, 0x20])
            self.assertEqual((a, d[:3], be32(d[3:])), (6, bytes([3, 9, 0]), 0x40F5849A))
            self.assertEqual(be32(c.request(6, [3, 0x47, 0x20])[1][3:]), 0x2A000004)
            self.assertEqual(c.request(6, [3, 0x41, 0x20]), (6, bytes([3, 1, 0, 6])))
            self.assertEqual(c.request(6, [3, 0x42, 0x20]), (6, bytes([3, 2, 0, 6])))
            self.assertEqual(c.get_bytes(6, 3, 32), (b"Bench", [0x00]))
            # echo test
            self.assertEqual(c.request(6, [0x17, 1, 2, 3]), (6, bytes([0x17, 1, 2, 3])))
        finally:
            c.close()
        sim.stop()
        rx = [e for e in sim.log() if e["event"] == "rx" and e["kind"] == "request"]
        self.assertEqual(rx[0]["data"], "03 48 20")
        self.assertEqual((rx[0]["command"], rx[0]["option"], rx[0]["op"]), (3, 8, "get"))
        self.assertEqual(rx[1]["command"], 0x49)

    def test_current_version_layout_and_features(self):
        sim = self.start("--module", "serial=%s,version=2.15.0,features=0x80000001" % SERIAL)
        c = tcp_client(sim.module(SERIAL))
        try:
            self.assertEqual(be32(c.request(2, [3, 0x47, 0x20])[1][3:]), 0x2F020F00)
            self.assertEqual(be32(c.request(2, [3, 0x40 | 45, 0x20])[1][3:]), 0x80000001)
        finally:
            c.close()

    def test_heartbeats_answered_and_missed(self):
        sim = self.start("--module", "serial=%s,address=4,hb=200" % SERIAL)
        c = tcp_client(sim.module(SERIAL))
        try:
            deadline = time.monotonic() + 5
            while len(c.heartbeats) < 3 and time.monotonic() < deadline:
                c.packet(timeout=0.3)
            self.assertGreaterEqual(len(c.heartbeats), 3)
            # values alternate 0, 1 and come from the module address
            self.assertEqual([h[1] for h in c.heartbeats[:3]],
                             [b"\x00\x00", b"\x00\x01", b"\x00\x00"])
            self.assertTrue(all(h[0] == 4 for h in c.heartbeats))
            self.assertTrue(self.wait_log(sim, lambda e: e["event"] == "rx"
                                          and e["kind"] == "heartbeat_answer"))
            self.assertFalse([e for e in sim.log() if e["event"] == "heartbeat_missed"])
            c.answer_heartbeats = False
            c.packet(timeout=0.7)
            self.assertTrue(self.wait_log(sim, lambda e: e["event"] == "heartbeat_missed"))
            # a wrong answer is noticed too
            c.send(4, [0, 9])
            self.assertTrue(self.wait_log(sim, lambda e: e["event"] == "heartbeat_unexpected"
                                          and e["value"] == 9))
        finally:
            c.close()

    def test_heartbeat_interval_is_a_setting(self):
        sim = self.start("--module", "serial=%s,hb=0" % SERIAL)
        c = tcp_client(sim.module(SERIAL))
        try:
            self.assertEqual(c.request(2, [3, 0x43, 0x20]), (2, bytes([3, 3, 0, 0])))
            self.assertIsNone(c.packet(timeout=0.5, heartbeats=True))
            self.assertEqual(c.request(2, [3, 0x83, 0x20, 2]), (2, bytes([3, 0xC3, 0])))
            p = c.packet(timeout=2, heartbeats=True)
            self.assertEqual(p, (2, b"\x00\x00"))
        finally:
            c.close()

    def test_system_entity_errors_and_settings(self):
        sim = self.start("--module", "serial=%s" % SERIAL)
        c = tcp_client(sim.module(SERIAL))
        try:
            cases = [
                # request, reply
                ([3, 0x40 | 63, 0x20], [3, 63, 0x80, 29]),      # unknown option: InvalidOption
                ([3, 0x48, 0x21], [3, 8, 0x81, 26]),            # index 1: IndexRange
                ([3, 0x80 | 9, 0x20, 0, 0, 0, 1], [3, 0xC9, 0x80, 12]),  # set read-only: Permission
                ([3, 0x40 | 20, 0x20], [3, 20, 0x80, 12]),      # get set-only: Permission
                ([3, 0x84, 0x20, 1, 2], [3, 0xC4, 0x80, 14]),    # wrong value size: Size
                ([3, 0x86, 0x20, 7], [3, 0xC6, 0x80, 13]),       # boot slot 7: Range
                ([0x30, 0x41, 0x20], [0x30, 1, 0x80, 28]),       # unknown class: InvalidEntity
                ([3, 0x84, 0x20, 1], [3, 0xC4, 0]),              # LED on
                ([3, 0x44, 0x20], [3, 4, 0, 1]),                 # reads back
                ([3, 0x80 | 34, 0x20, 0, 0, 0x12, 0x34], [3, 0xC0 | 34, 0]),
                ([3, 0x40 | 34, 0x20], [3, 34, 0, 0, 0, 0x12, 0x34]),
                ([3, 0x80 | 20, 0x20, 1], [3, 0xC0 | 20, 0]),    # route to me
                ([3, 0x80 | 37, 0x20], [3, 0xC0 | 37, 0]),       # factory defaults
                ([3, 0x44, 0x20], [3, 4, 0, 0]),                 # LED back to default
            ]
            for req, want in cases:
                with self.subTest(req=bytes(req).hex()):
                    self.assertEqual(c.request(2, req), (2, bytes(want)))
        finally:
            c.close()

    def test_name_byte_runs(self):
        sim = self.start("--module", "serial=%s,name=Old" % SERIAL)
        c = tcp_client(sim.module(SERIAL))
        try:
            name = b"A thirty byte long device name"[:30]
            # set in two chunks: 24 bytes with sequence 0x80, then 6 with 0x01
            c.send(2, bytes([3, 0x80 | 32, 0x20]) + name[:24] + b"\x80")
            self.assertIsNone(c.packet(timeout=0.3))   # no reply before the last chunk
            self.assertEqual(c.request(2, bytes([3, 0xA0, 0x20]) + name[24:] + b"\x01"),
                             (2, bytes([3, 0xE0, 0])))
            self.assertEqual(c.get_bytes(2, 3, 32), (name, [0x80, 0x01]))
            # out-of-sequence chunk is refused
            self.assertEqual(c.request(2, bytes([3, 0xA0, 0x20]) + b"xy\x05"),
                             (2, bytes([3, 0xE0, 0x80, 24])))
            # longer than 32 bytes is refused and the old name stays
            c.send(2, bytes([3, 0xA0, 0x20]) + b"x" * 24 + b"\x80")
            self.assertEqual(c.request(2, bytes([3, 0xA0, 0x20]) + b"y" * 10 + b"\x01"),
                             (2, bytes([3, 0xE0, 0x80, 14])))
            self.assertEqual(c.get_bytes(2, 3, 32)[0], name)
            # empty name: one packet, sequence 0, no payload
            self.assertEqual(c.request(2, bytes([3, 0xA0, 0x20, 0])), (2, bytes([3, 0xE0, 0])))
            self.assertEqual(c.get_bytes(2, 3, 32), (b"", [0]))
        finally:
            c.close()

    def test_module_queries(self):
        sim = self.start("--module", "serial=%s" % SERIAL)
        c = tcp_client(sim.module(SERIAL))
        try:
            cases = [
                ([0x49, 1, 3, 8, 0, 0x40], [0x49, 1, 3, 8, 0, 0]),    # model readable
                ([0x49, 1, 3, 8, 0, 0x80], [0x49, 1, 3, 8, 0, 12]),   # model not settable
                ([0x49, 1, 3, 32, 0, 0x80], [0x49, 1, 3, 32, 0, 0]),  # name settable
                ([0x49, 1, 3, 8, 1, 0], [0x49, 1, 3, 8, 1, 26]),      # no index 1
                ([0x49, 1, 3, 8, 0, 0xC0], [0x49, 1, 3, 8, 0, 2]),    # bad flags
                ([0x49, 1, 0x30, 1, 0, 0], [0x49, 1, 0x30, 1, 0, 28]),  # no such class
                ([0x49, 4, 3], [0x49, 4, 3, 1]),
                ([0x49, 4, 0x30], [0x49, 4, 0x30, 0]),
                ([0x49, 5, 3, 0], [0x49, 5, 3, 0, 1]),
                ([0x49, 6, 3, 0], [0x49, 6, 3, 0, 0]),
            ]
            for req, want in cases:
                with self.subTest(req=bytes(req).hex()):
                    self.assertEqual(c.request(2, req), (2, bytes(want)))
            # a malformed query gets no answer
            self.assertIsNone(c.request(2, [0x49, 0xFF, 0], timeout=0.3))
        finally:
            c.close()

    def test_quirks_and_forced_errors(self):
        sim = self.start("--module", "serial=%s,hb=0,quirk=short-build,quirk=mute-address,"
                         "error=3/7/6,error=3/32/21" % SERIAL)
        c = tcp_client(sim.module(SERIAL))
        try:
            self.assertEqual(c.request(2, [0x49, 0xFF]), (2, bytes([0x49, 0xFF, 0, 0, 0])))
            c.send(0xAD)
            self.assertIsNone(c.packet(timeout=0.4))
            self.assertEqual(c.request(2, [3, 0x47, 0x20]), (2, bytes([3, 7, 0x80, 6])))
            self.assertEqual(c.request(2, [3, 0x60, 0x20]), (2, bytes([3, 32, 0x80, 21])))
            self.assertEqual(c.request(2, [3, 0x48, 0x20]), (2, bytes([3, 8, 0, 4])))
        finally:
            c.close()

    def test_misaligned_input_is_recovered(self):
        sim = self.start("--module", "serial=%s,hb=0" % SERIAL)
        c = tcp_client(sim.module(SERIAL))
        try:
            # zero bytes are skipped, an impossible length byte is dropped,
            # and a half packet is abandoned after a pause
            c.write_raw(b"\x00\x00\x02\x40")
            c.write_raw(b"\x02\x05\x03")
            time.sleep(0.5)
            self.assertEqual(c.request(2, [3, 0x48, 0x20]), (2, bytes([3, 8, 0, 4])))
        finally:
            c.close()

    def test_new_connection_replaces_old(self):
        sim = self.start("--module", "serial=%s,hb=0" % SERIAL)
        first = tcp_client(sim.module(SERIAL))
        second = tcp_client(sim.module(SERIAL))
        try:
            self.assertEqual(second.request(2, [3, 0x48, 0x20]), (2, bytes([3, 8, 0, 4])))
            with self.assertRaises((ConnectionError, OSError)):
                first.packet(timeout=2)
        finally:
            first.close()
            second.close()

    def test_several_modules_in_one_process(self):
        sim = self.start("--module", "serial=11111111,address=2,build=5",
                         "--module", "serial=22222222,address=4,build=6")
        for serial, addr, build in (("11111111", 2, 5), ("22222222", 4, 6)):
            c = tcp_client(sim.module(serial))
            try:
                self.assertEqual(c.sync(addr)[0], (addr, b""))
                self.assertEqual(c.request(addr, [0x49, 0xFF])[1][-1], build)
            finally:
                c.close()


# ---- store slots and factory data -------------------------------------------------

class StoreTest(SimulatorTestCase):
    def test_store_slot_load_and_unload(self):
        sim = self.start("--module", "serial=%s,hb=0" % SERIAL)
        c = tcp_client(sim.module(SERIAL))
        try:
            self.assertEqual(c.request(2, [4, 1, 0, 3]), (2, bytes([4, 1, 0, 3, 4, 0])))
            self.assertEqual(c.request(2, [4, 2, 0, 3]), (2, bytes([4, 2, 0, 3, 0, 0])))
            a, d = c.request(2, [4, 4, 0, 3])
            handle = d[4]
            self.assertNotEqual(handle, 255)
            # opening the same slot twice is refused while it is open
            self.assertEqual(c.request(2, [4, 3, 0, 3]), (2, bytes([4, 0x83, 0, 3, 5])))
            data = bytes((i * 7) & 0xFF for i in range(60))
            for pos in range(0, 60, 25):
                chunk = data[pos:pos + 25]
                self.assertEqual(c.request(2, bytes([4, 7, handle]) + chunk),
                                 (2, bytes([4, 7, handle, sum(chunk) & 0xFF])))
            # reading through a write handle is refused
            self.assertEqual(c.request(2, [4, 6, handle]), (2, bytes([4, 0x86, handle, 7])))
            self.assertEqual(c.request(2, [4, 8, handle])[1][:3], bytes([4, 8, handle]))
            self.assertEqual(c.request(2, [4, 2, 0, 3]), (2, bytes([4, 2, 0, 3, 0, 60])))
            handle = c.request(2, [4, 3, 0, 3])[1][4]
            back = b""
            for _ in range(4):
                back += c.request(2, [4, 6, handle])[1][3:]
            self.assertEqual(back, data)
            c.request(2, [4, 8, handle])
            # closed handle, store out of range
            self.assertEqual(c.request(2, [4, 6, handle]), (2, bytes([4, 0x86, handle, 3])))
            self.assertEqual(c.request(2, [4, 2, 9, 0]), (2, bytes([4, 0x82, 9, 0, 26])))
        finally:
            c.close()

    def test_factory_data_runs(self):
        sim = self.start("--module", "serial=%s,hb=0" % SERIAL)
        c = tcp_client(sim.module(SERIAL))
        try:
            data = bytes(range(100, 152))   # 52 bytes: two full chunks of 26
            self.assertEqual(c.request(2, bytes([0x5E, 0x55]) + data[:26]), (2, bytes([0x5E, 5])))
            self.assertEqual(c.request(2, bytes([0x5E, 0x15]) + data[26:]), (2, bytes([0x5E, 5])))
            self.assertEqual(c.request(2, [0x5E, 0x20, 0, 52]), (2, bytes([0x5E, 0])))
            got, first = b"", True
            while True:
                a, d = c.request(2, [0x5E, 0x45 if first else 0x05])
                first = False
                got += d[2:]
                if len(d) < 28:
                    break
            self.assertEqual(got, data)
            self.assertEqual(c.request(2, [0x5E, 0x20, 0, 52]), (2, bytes([0x5E, 0])))
            # a wrong total is refused and the old contents stay
            c.request(2, [0x5E, 0x55, 1, 2, 3])
            self.assertEqual(c.request(2, [0x5E, 0x20, 0, 9]), (2, bytes([0x5E, 0x80, 14])))
            self.assertEqual(c.request(2, [0x5E, 0x45])[1][2:], data[:26])
            # an empty index answers one short reply
            self.assertEqual(c.request(2, [0x5E, 0x46]), (2, bytes([0x5E, 6])))
            self.assertEqual(c.request(2, [0x5E, 0x20, 0, 0]), (2, bytes([0x5E, 0])))
        finally:
            c.close()


# ---- streamed samples --------------------------------------------------------------

class StreamTest(SimulatorTestCase):
    def test_stream_enable_samples_disable(self):
        sim = self.start("--module", "serial=%s,address=6,model=13,hb=0,stream=100" % SERIAL)
        c = tcp_client(sim.module(SERIAL))

        def key(option):
            return (6 << 24 | 3 << 16 | option << 8 | 0).to_bytes(4, "big")

        def samples(seconds):
            got, deadline = [], time.monotonic() + seconds
            while time.monotonic() < deadline:
                p = c.packet(timeout=0.1)
                if p is not None:
                    got.append(p)
            return got

        def ask(req):
            """Sends a request; returns (reply, samples that came before it)."""
            c.send(6, req)
            before = []
            for _ in range(200):
                p = c.packet()
                if p is None or len(p[1]) < 4 or not p[1][2] & 0x40:
                    return p, before
                before.append(p)
            return None, before
        try:
            self.assertEqual(ask([0x5D, 0x41, 0x20])[0], (6, bytes([0x5D, 1, 0, 0])))
            self.assertEqual(ask(bytes([0x5D, 0x81, 0x20]) + key(8))[0],
                             (6, bytes([0x5D, 0xC1, 0])))
            self.assertEqual(ask(bytes([0x5D, 0x81, 0x20]) + key(9))[0],
                             (6, bytes([0x5D, 0xC1, 0])))
            self.assertEqual(ask([0x5D, 0x41, 0x20])[0], (6, bytes([0x5D, 1, 0, 1])))
            got = samples(0.5)
            model = [d for a, d in got if d[1] == 8]
            serial = [d for a, d in got if d[1] == 9]
            self.assertGreaterEqual(len(model), 2)
            self.assertGreaterEqual(len(serial), 2)
            # byte sample: 3, 8, index | 0x40, type 1, timestamp (8), value, 0
            self.assertEqual(len(model[0]), 14)
            self.assertEqual(model[0][:4], bytes([3, 8, 0x40, 1]))
            self.assertEqual(model[0][12:], bytes([13, 0]))
            self.assertEqual(len(serial[0]), 17)
            self.assertEqual((serial[0][3], be32(serial[0][12:16]), serial[0][16]),
                             (3, 0x40F5849A, 0))
            stamps = [int.from_bytes(d[4:12], "big") for d in model]
            self.assertEqual(stamps, sorted(stamps))
            self.assertLess(stamps[0], stamps[-1])
            # disabling every option of the entity (0xFF) stops them
            self.assertEqual(ask(bytes([0x5D, 0x82, 0x20]) + key(0xFF))[0],
                             (6, bytes([0x5D, 0xC2, 0])))
            self.assertEqual(samples(0.4), [])
            self.assertEqual(ask([0x5D, 0x41, 0x20])[0], (6, bytes([0x5D, 1, 0, 0])))
            # all options: only byte and int values are streamed
            c.send(6, bytes([0x5D, 0x81, 0x20]) + key(0xFF))
            opts = {d[1] for a, d in samples(0.4) if len(d) > 4 and d[2] == 0x40}
            self.assertIn(7, opts)
            self.assertIn(1, opts)
            self.assertNotIn(32, opts)   # the name is a byte run
            self.assertNotIn(20, opts)   # set-only
        finally:
            c.close()


# ---- routers and the I2C entity ------------------------------------------------

class RouterTest(SimulatorTestCase):
    def test_modules_behind_router(self):
        sim = self.start("--module", "serial=D272031D,address=2,hb=0",
                         "--module", "serial=0000AAAA,router=D272031D,address=10,build=77",
                         "--module", "serial=0000BBBB,router=D272031D,address=4")
        self.assertEqual(sim.module("0000AAAA")["router"], "D272031D")
        self.assertNotIn("tcp", sim.module("0000AAAA"))
        c = tcp_client(sim.module("D272031D"))
        try:
            self.assertEqual(c.sync(2)[0], (2, b""))
            self.assertEqual(c.request(2, [3, 0x80 | 20, 0x20, 1]), (2, bytes([3, 0xC0 | 20, 0])))
            found = []
            for addr in range(2, 254, 2):
                if addr == 2:
                    continue
                a, d = c.request(2, [8, 0, addr, 2, 3, 0, 0])
                self.assertEqual(d[:4], bytes([8, 0, addr, 0]))
                if d[4] == 0:
                    found.append(addr)
                else:
                    self.assertEqual(d[4], 0x80 | 6)
            self.assertEqual(found, [4, 10])
            # packets to a module behind the router are answered from its address
            a, d = c.request(10, [3, 0x49, 0x20])
            self.assertEqual((a, be32(d[3:])), (10, 0x0000AAAA))
            self.assertEqual(c.request(10, [3, 0x42, 0x20]), (10, bytes([3, 2, 0, 2])))
            self.assertEqual(c.request(10, [0x49, 0xFF]), (10, bytes([0x49, 0xFF, 0, 0, 0, 77])))
            # the address query still answers for the router itself
            c.send(0xAD)
            self.assertEqual(c.packet(), (2, b""))
            # I2C read returns what was written; the pull-up switch answers
            c.request(2, [8, 0, 4, 3, 1, 7, 8, 9])
            self.assertEqual(c.request(2, [8, 0, 5, 3, 1]), (2, bytes([8, 0, 5, 3, 0, 7, 8, 9])))
            self.assertEqual(c.request(2, [8, 0, 1, 1]), (2, bytes([8, 0, 1, 0, 0])))
            # speed above 3 and a length that does not match are refused
            self.assertEqual(c.request(2, [8, 0, 4, 0, 4]), (2, bytes([8, 0, 4, 0, 0x82])))
            self.assertEqual(c.request(2, [8, 0, 4, 5, 0, 1]), (2, bytes([8, 0, 4, 0, 0x8E])))
        finally:
            c.close()
        self.assertTrue([e for e in sim.log() if e["event"] == "routed" and e["address"] == 10])

    def test_plain_module_has_empty_bus(self):
        sim = self.start("--module", "serial=%s,hb=0" % SERIAL)
        c = tcp_client(sim.module(SERIAL))
        try:
            self.assertEqual(c.request(2, [8, 0, 4, 2, 3, 0, 0]), (2, bytes([8, 0, 4, 0, 0x86])))
            self.assertIsNone(c.request(4, [3, 0x48, 0x20], timeout=0.3))
        finally:
            c.close()


# ---- pseudo terminals: serial framing and the USB device node -----------------

def open_terminal(path):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    termios.tcflush(fd, termios.TCIOFLUSH)
    return fd


class TerminalTest(SimulatorTestCase):
    def test_serial_framing(self):
        sim = self.start("--module", "serial=%s,address=6,pty,hb=300" % SERIAL)
        m = sim.module(SERIAL)
        self.assertNotIn("tcp", m)
        c = Client(fd=open_terminal(m["pty"]), cobs=True)
        try:
            # the answer to AD 00 is the frame 02 06 02 AA 00
            c.write_raw(bytes.fromhex("02AD026700"))
            deadline = time.monotonic() + 3
            while b"\x00" not in c.buf and c._fill(deadline):
                pass
            self.assertEqual(bytes(c.buf[:5]), bytes.fromhex("020602AA00"))
            c.buf = c.buf[5:]
            # a full 28-byte packet both ways
            payload = bytes([0x17]) + bytes(range(1, 28))
            self.assertEqual(c.request(6, payload), (6, payload))
            # a frame with a bad CRC is dropped and logged, the next one answered
            bad = bytearray(frame(6, [3, 0x48, 0x20]))
            bad[-2] ^= 0x01
            c.write_raw(bytes(bad))
            self.assertIsNone(c.packet(timeout=0.3))
            self.assertEqual(c.request(6, [3, 0x48, 0x20]), (6, bytes([3, 8, 0, 4])))
            self.assertTrue(self.wait_log(sim, lambda e: e["event"] == "bad_frame"))
            # heartbeats run after the host's first packet, framed too
            deadline = time.monotonic() + 3
            while not c.heartbeats and time.monotonic() < deadline:
                c.packet(timeout=0.4)
            self.assertEqual(c.heartbeats[0], (6, b"\x00\x00"))
            self.assertTrue(self.wait_log(sim, lambda e: e.get("kind") == "heartbeat_answer"))
            # route 0 (the host's link stopping) ends heartbeats
            c.send(0xAF, [0])
            c.packet(timeout=0.5)
            c.heartbeats.clear()
            self.assertIsNone(c.packet(timeout=0.8, heartbeats=True))
        finally:
            c.close()

    def test_usb_device_node(self):
        devdir = os.path.join(self.tmp, "dev")
        os.mkdir(devdir)
        sim = self.start("--module", "serial=%s,address=6,usb,hb=0" % SERIAL,
                         env={"LUMIVANCE_DEVICE_DIR": devdir})
        m = sim.module(SERIAL)
        node = os.path.join(devdir, "lumivance." + SERIAL)
        self.assertEqual(m["usb_node"], node)
        self.assertEqual(os.path.realpath(node), os.path.realpath(m["usb_pty"]))
        fd = os.open(node, os.O_RDWR | os.O_NOCTTY)
        # reads on the node give up after a while with no byte
        t0 = time.monotonic()
        self.assertEqual(os.read(fd, 1), b"")
        self.assertLess(time.monotonic() - t0, 5)
        c = Client(fd=fd)
        try:
            self.assertEqual(c.sync(6), [(6, b"")] * 6)
            self.assertEqual(c.request(6, [0x49, 0xFF])[1][:2], bytes([0x49, 0xFF]))
            # a reset drops the device: its node goes away and comes back
            self.assertEqual(c.request(6, [3, 0x80 | 11, 0x20]), (6, bytes([3, 0xC0 | 11, 0])))
            self.assertTrue(self.wait_log(sim, lambda e: e["event"] == "down"))
            self.assertTrue(self.wait_log(sim, lambda e: e["event"] == "up"))
            self.assertTrue(os.path.islink(node))
        finally:
            c.close()
        c = Client(fd=os.open(node, os.O_RDWR | os.O_NOCTTY))
        try:
            self.assertEqual(c.sync(6)[0], (6, b""))
        finally:
            c.close()
        self.assertEqual(sim.stop(), 0)
        self.assertFalse(os.path.lexists(node))

    def test_usb_needs_device_dir(self):
        env = dict(os.environ)
        env.pop("LUMIVANCE_DEVICE_DIR", None)
        r = subprocess.run([lvtest.tool_bin("simulator"), "--module", "serial=1,usb",
                            "--max-seconds", "5"], env=env, capture_output=True, timeout=30)
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"device-dir", r.stderr)


# ---- fault injection ------------------------------------------------------------

class FaultTest(SimulatorTestCase):
    def test_drop_first_reply_only(self):
        sim = self.start("--module", "serial=%s,hb=0" % SERIAL, "--fault", "drop=1,limit=1")
        c = tcp_client(sim.module(SERIAL))
        try:
            self.assertIsNone(c.request(2, [3, 0x48, 0x20], timeout=0.5))
            self.assertEqual(c.request(2, [3, 0x48, 0x20]), (2, bytes([3, 8, 0, 4])))
        finally:
            c.close()
        self.assertEqual(len([e for e in sim.log() if e["event"] == "fault"]), 1)

    def test_inbound_drop_after_some_packets(self):
        sim = self.start("--module", "serial=%s,hb=0" % SERIAL,
                         "--fault", "drop=1,dir=in,after=1,limit=1")
        c = tcp_client(sim.module(SERIAL))
        try:
            self.assertIsNotNone(c.request(2, [0x49, 0xFF]))
            self.assertIsNone(c.request(2, [0x49, 0xFF], timeout=0.5))
            self.assertIsNotNone(c.request(2, [0x49, 0xFF]))
        finally:
            c.close()

    def test_corrupt_serial_frames_fail_crc(self):
        sim = self.start("--module", "serial=%s,pty,hb=0" % SERIAL,
                         "--fault", "corrupt=1,limit=2,transport=serial")
        c = Client(fd=open_terminal(sim.module(SERIAL)["pty"]), cobs=True)
        try:
            for _ in range(2):
                p = c.request(2, [3, 0x48, 0x20])
                self.assertTrue(p is None or p[0] == "bad" or p != (2, bytes([3, 8, 0, 4]))
                                , p)
                c.packet(timeout=0.2)  # any rest of a split frame
            c.buf.clear()
            self.assertEqual(c.request(2, [3, 0x48, 0x20]), (2, bytes([3, 8, 0, 4])))
        finally:
            c.close()

    def test_delay(self):
        sim = self.start("--module", "serial=%s,hb=0" % SERIAL, "--fault", "delay=400")
        c = tcp_client(sim.module(SERIAL))
        try:
            c.send(2, [3, 0x48, 0x20])
            self.assertIsNone(c.packet(timeout=0.15))
            self.assertEqual(c.packet(timeout=3), (2, bytes([3, 8, 0, 4])))
        finally:
            c.close()

    def test_disconnect_and_come_back(self):
        sim = self.start("--module", "serial=%s,hb=0" % SERIAL,
                         "--fault", "disconnect=2,down=2500")
        m = sim.module(SERIAL)
        c = tcp_client(m)
        try:
            self.assertIsNotNone(c.request(2, [0x49, 0xFF]))
            c.send(2, [0x49, 0xFF])
            with self.assertRaises((ConnectionError, OSError)):
                for _ in range(3):
                    c.packet(timeout=1)
        finally:
            c.close()
        # refused while down, back on the same port afterwards
        with self.assertRaises(OSError):
            socket.create_connection((m["host"], m["port"]), timeout=2).close()
        self.assertTrue(self.wait_log(sim, lambda e: e["event"] == "up"))
        c = tcp_client(m)
        try:
            self.assertEqual(c.request(2, [0x49, 0xFF])[1][:2], bytes([0x49, 0xFF]))
        finally:
            c.close()

    def test_fault_from_option_file(self):
        conf = os.path.join(self.tmp, "sim.conf")
        with open(conf, "w") as f:
            f.write("# a module and a fault\nmodule serial=%s,hb=0\nfault drop=1,limit=1\n"
                    % SERIAL)
        sim = self.start("--config", conf)
        c = tcp_client(sim.module(SERIAL))
        try:
            self.assertIsNone(c.request(2, [0x49, 0xFF], timeout=0.5))
            self.assertIsNotNone(c.request(2, [0x49, 0xFF]))
        finally:
            c.close()


# ---- process life and command line -----------------------------------------------

class ProcessTest(SimulatorTestCase):
    def test_max_seconds_and_sigterm(self):
        sim = self.start("--module", "serial=%s" % SERIAL, "--max-seconds", "1")
        self.assertEqual(sim.proc.wait(timeout=20), 0)
        self.assertEqual(sim.log()[-1]["reason"], "max-seconds")
        sim2 = lvtest.start_simulator(["--module", "serial=%s" % SERIAL],
                                      log_path=os.path.join(self.tmp, "b.jsonl"))
        self.sims.append(sim2)
        self.assertEqual(sim2.stop(), 0)
        self.assertEqual(sim2.log()[-1]["reason"], "SIGTERM")

    def test_bad_command_lines(self):
        cases = [
            [],
            ["--module", "model=3"],
            ["--module", "serial=0"],
            ["--module", "serial=123456789"],
            ["--module", "serial=1,address=3"],
            ["--module", "serial=1,version=2.10"],
            ["--module", "serial=1,colour=red"],
            ["--module", "serial=1", "--module", "serial=1,tcp=127.0.0.1:0"],
            ["--module", "serial=1,router=2,address=4"],
            ["--module", "serial=2", "--module", "serial=1,router=2,address=2"],
            ["--module", "serial=2", "--module", "serial=1,router=2,address=4,tcp=127.0.0.1:0"],
            ["--module", "serial=1", "--max-seconds", "0"],
            ["--module", "serial=1", "--fault", "drop=2"],
            ["--module", "serial=1", "--fault", "bogus=1"],
            ["--module", "serial=1", "--whatever"],
        ]
        for args in cases:
            with self.subTest(args=args):
                r = subprocess.run([lvtest.tool_bin("simulator")] + args + ["--max-seconds", "5"]
                                   if "--max-seconds" not in args else
                                   [lvtest.tool_bin("simulator")] + args,
                                   capture_output=True, timeout=30)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertIn(b"simulator:", r.stderr)
                self.assertEqual(r.stdout, b"")

    def test_port_in_use(self):
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        s.listen(1)
        try:
            r = subprocess.run([lvtest.tool_bin("simulator"), "--module",
                                "serial=1,tcp=127.0.0.1:%d" % s.getsockname()[1],
                                "--max-seconds", "5"], capture_output=True, timeout=30)
            self.assertEqual(r.returncode, 1)
            self.assertIn(b"bind", r.stderr)
        finally:
            s.close()


# ---- TCP/IP discovery responder, inside a private network namespace ------------

NETNS_SCRIPT = r"""
import json, os, socket, subprocess, sys, time
sys.path.insert(0, os.environ["LVTEST_DIR"])
import lvtest
def sh(*a):
    subprocess.run(a, check=True)
sh("ip", "link", "set", "lo", "up")
sh("ip", "link", "add", "vA", "type", "veth", "peer", "name", "vB")
sh("ip", "addr", "add", "10.77.0.1/24", "dev", "vA")
sh("ip", "addr", "add", "10.77.0.2/24", "dev", "vB")
sh("ip", "link", "set", "vA", "up")
sh("ip", "link", "set", "vB", "up")
time.sleep(0.3)
sim = lvtest.start_simulator(["--module", "serial=40F5849A,address=6,model=13,tcp=10.77.0.2:0",
                              "--module", "serial=12345678,address=4,tcp=10.77.0.2:0,discover=0",
                              "--discovery", "10.77.0.2"], max_seconds=30,
                             log_path=os.environ["SIM_LOG"])
out = {"ready": sim.info, "replies": []}
try:
    lst = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    lst.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    lst.bind(("0.0.0.0", 9889))
    lst.settimeout(1.0)
    # like the host: one probe through each interface (after one that is not a probe)
    for i, ifaddr in enumerate(["10.77.0.2", "10.77.0.2", "10.77.0.1"]):
        tx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        tx.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        tx.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(ifaddr))
        tx.sendto(bytes([2 if i == 0 else 1]) + bytes(15), ("232.2.2.2", 9888))
        tx.close()
    for _ in range(5):
        try:
            data, src = lst.recvfrom(64)
        except socket.timeout:
            break
        out["replies"].append([data.hex(), src[0]])
    if out["replies"]:
        d = bytes.fromhex(out["replies"][0][0])
        port = d[2] | d[3] << 8
        c = socket.create_connection((out["replies"][0][1], port), timeout=3)
        c.sendall(bytes([0xAD, 0]))
        c.settimeout(3)
        out["sync"] = c.recv(2).hex()
        c.close()
finally:
    sim.stop()
out["log"] = [e for e in sim.log() if e["event"].startswith("discovery")]
print(json.dumps(out))
"""


class DiscoveryTest(SimulatorTestCase):
    def test_probe_reply_in_namespace(self):
        if shutil.which("unshare") is None or shutil.which("ip") is None:
            self.skipTest("unshare or ip missing")
        probe = subprocess.run(["unshare", "-n", "true"], capture_output=True, timeout=30)
        if probe.returncode != 0:
            self.skipTest("no permission for a private network namespace")
        env = dict(os.environ)
        env["LVTEST_DIR"] = os.path.dirname(os.path.abspath(lvtest.__file__))
        env.setdefault("BUILD_DIR", lvtest.build_dir())
        env["SIM_LOG"] = self.log_path
        # the log path is passed through the helper's default: none inside
        r = subprocess.run(["unshare", "-n", sys.executable, "-c", NETNS_SCRIPT],
                           capture_output=True, timeout=120, env=env)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        out = json.loads(r.stdout.decode().strip().splitlines()[-1])
        port = out["ready"]["modules"][0]["port"]
        # one reply: the second module is not discoverable; the non-probe is ignored
        self.assertEqual(len(out["replies"]), 1, out)
        data = bytes.fromhex(out["replies"][0][0])
        self.assertEqual(len(data), 16)
        self.assertEqual(data[1], 6)
        self.assertEqual(data[2] | data[3] << 8, port)
        self.assertEqual(int.from_bytes(data[4:8], "little"), 0x40F5849A)
        self.assertEqual(data[12], 13)
        self.assertEqual(out["replies"][0][1], "10.77.0.2")
        self.assertEqual(out["sync"], "0600")
        probes = [e for e in out["log"] if e["event"] == "discovery_probe"]
        self.assertEqual([p["valid"] for p in probes][:2], [False, True])


if __name__ == "__main__":
    unittest.main()
