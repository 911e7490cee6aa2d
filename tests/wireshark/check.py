#!/usr/bin/python3
"""tools/wireshark/zpx.lua against recordings of real conversations.

    check.py BUILD_DIR      (BUILD_DIR holds zpx-emu and zpxctl)

1. zpxctl commands against `zpx-emu --record --log`: every packet decodes without a malformed
   packet or a Lua error; the requests the dissector finds are the ones the emulator logged, in
   order and field by field; every reply is matched to its request and carries the value the
   emulator sent; the pod-link frames of `zpxctl tap` carry the voltage codes and pins that the
   voltages and pins asked for come to.
2. A raw client against `zpx-emu --fault drop:4`: images with a right and a wrong CRC, a read
   that gets no reply, an unknown opcode, a register packet of the wrong width.
3. A capture written here on another port: requests and replies cut across segments, and
   controller data where no reply was due.
"""
import collections
import json
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LUA = os.path.join(ROOT, "tools", "wireshark", "zpx.lua")

READ_REGISTER, WRITE_REGISTER, READ_COUNTER, WRITE_COUNTER = 0x1, 0x2, 0x4, 0x8
READ_MEMORY, WRITE_MEMORY, READ_ITEM, WRITE_ITEM, IMAGE = 0x10, 0x20, 0x2000, 0x4000, 0x8000
# Requests the controller answers with one 12-byte packet; a memory read is answered with the
# bytes it asks for; nothing else is answered.
PACKET_REPLIES = {READ_REGISTER, READ_COUNTER, READ_ITEM, IMAGE}

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def packet(opcode, address=0, width=0, data0=0, data1=0):
    return struct.pack("<HBBII", opcode, address, width, data0, data1)


def image(kind, data, crc):
    return struct.pack("<HHIHBB", IMAGE, kind, len(data), crc, 0, 0) + data


class Emulator:
    def __init__(self, build, work, name, *options):
        self.pcap = os.path.join(work, name + ".pcap")
        self.log_path = os.path.join(work, name + ".log")
        with open(self.log_path, "w") as log:
            self.process = subprocess.Popen(
                [os.path.join(build, "zpx-emu"), "--log", "--record", self.pcap, *options],
                stdout=log, stderr=subprocess.STDOUT)
        for _ in range(200):
            found = re.search(r"listening on ([0-9.]+):(\d+)", open(self.log_path).read())
            if found:
                self.address, self.port = found.group(1), int(found.group(2))
                return
            time.sleep(0.05)
        self.process.kill()
        sys.exit("zpx-emu did not start:\n" + open(self.log_path).read())

    def stop(self):
        self.process.send_signal(signal.SIGINT)
        self.process.wait(timeout=20)
        return open(self.log_path).read()


def logged_requests(log):
    """(opcode, address, width, data0, data1) and the value sent back, per request logged."""
    pattern = re.compile(r"\((0x[0-9A-F]{4})\) address (0x[0-9A-F]+) width (\d+) "
                         r"data (0x[0-9A-F]+) (0x[0-9A-F]+)(?: 0x[0-9A-F]+)?(?: -> (0x[0-9A-F]+))?")
    requests = []
    for found in pattern.finditer(log):
        fields = tuple(int(v, 0) for v in found.groups()[:5])
        requests.append((fields, int(found.group(6), 0) if found.group(6) else None))
    return requests


def tshark(pcap, *options):
    run = subprocess.run(["tshark", "-2", "-r", pcap, "-X", "lua_script:" + LUA, *options],
                         capture_output=True, text=True)
    errors = [line for line in run.stderr.splitlines() if "Running as user" not in line]
    check(run.returncode == 0 and not errors, "tshark on %s: %s" % (pcap, "\n".join(errors)))
    return run.stdout


def as_list(value):
    return value if isinstance(value, list) else [] if value is None else [value]


def keys(tree):
    """Every key anywhere below `tree`."""
    if isinstance(tree, dict):
        for k, v in tree.items():
            yield k
            yield from keys(v)
    elif isinstance(tree, list):
        for v in tree:
            yield from keys(v)


def decode(pcap, *options):
    """Per frame number, the dissector's trees of its requests and replies, in order."""
    broken = tshark(pcap, *options, "-Y", "_ws.malformed || _ws.lua.error")
    check(broken == "", "malformed packets or Lua errors in %s:\n%s" % (pcap, broken))
    frames = {}
    for frame in json.loads(tshark(pcap, *options, "-Y", "zpx", "-T", "json", "--no-duplicate-keys")):
        layers = frame["_source"]["layers"]
        frames[int(layers["frame"]["frame.number"])] = as_list(layers.get("zpx"))
    check(frames, "nothing in %s decoded as the controller protocol" % pcap)
    return frames


def number(tree, key):
    return int(tree[key], 0)


def compare_with_log(frames, log, answered=True):
    """The requests decoded against those the emulator logged; when it `answered` every one,
    the replies against the values it sent. Returns the requests owed a reply that have none."""
    logged = logged_requests(log)
    decoded, replies = [], []
    for pdus in frames.values():
        for pdu in pdus:
            if "zpx.opcode" in pdu:
                decoded.append(tuple(number(pdu, k) for k in
                                     ("zpx.opcode", "zpx.address", "zpx.width", "zpx.data0", "zpx.data1")))
            elif "zpx.request_in" in pdu:
                replies.append(pdu)
    check(decoded == [fields for fields, _ in logged],
          "requests decoded differ from those logged: %d decoded, %d logged, first difference at %s" %
          (len(decoded), len(logged),
           next((i for i, (a, b) in enumerate(zip(decoded, logged)) if a != b[0]), None)))
    counts = collections.Counter(hex(fields[0]) for fields, _ in logged)
    print("  requests per opcode:", dict(sorted(counts.items())))

    # Replies come in the order of the requests that are owed one.
    owed = [(fields, value) for fields, value in logged
            if fields[0] in PACKET_REPLIES or (fields[0] == READ_MEMORY and fields[3] > 0)]
    check(not answered or len(replies) == len(owed), "%d replies decoded, %d owed" % (len(replies), len(owed)))
    for (fields, value), reply in zip(owed if answered else [], replies):
        if fields[0] == READ_MEMORY:
            check(len(reply.get("zpx.reply.data", "").replace(":", "")) == 2 * fields[3],
                  "memory reply of frame %s is not the %d bytes asked for" % (reply["zpx.request_in"], fields[3]))
        elif value is not None:
            check(number(reply, "zpx.reply.data0") == value,
                  "reply to frame %s: data0 %s, the emulator sent 0x%X" %
                  (reply["zpx.request_in"], reply["zpx.reply.data0"], value))
    unanswered = sum(1 for pdus in frames.values() for pdu in pdus
                     if "zpx.opcode" in pdu and "zpx.reply_in" not in pdu and
                     (number(pdu, "zpx.opcode") in PACKET_REPLIES or
                      number(pdu, "zpx.opcode") == READ_MEMORY and number(pdu, "zpx.data0") > 0))
    return unanswered


EXPERTS = {"zpx.unknown_opcode", "zpx.bad_address", "zpx.bad_width", "zpx.bad_field", "zpx.too_long",
           "zpx.unexpected_reply", "zpx.no_reply", "zpx.image.crc_bad", "zpx.image.refused",
           "zpx.reply_differs", "zpx.pod.unknown", "zpx.unordered"}


def experts(frames):
    """(frame number, expert field) of every expert info of the dissector."""
    return [(n, k) for n, pdus in frames.items() for k in keys(pdus) if k in EXPERTS]


def pod_frames(frames):
    return [pdu["zpx.pod_tree"] for pdus in frames.values() for pdu in pdus if "zpx.pod_tree" in pdu]


def session(build, work):
    print("zpxctl commands against zpx-emu")
    emu = Emulator(build, work, "session")
    name = "ETH" + emu.address
    block = os.urandom(100000)  # several segments
    with open(os.path.join(work, "block"), "wb") as out:
        out.write(block)
    with open(os.path.join(work, "image"), "wb") as out:
        out.write(os.urandom(1001))
    vout, vth, data_pins, control_pins = 2500, 1200, 5, 3
    commands = [
        ["info", name], ["clock", name, "--set", "10000"], ["pod", name, "on"],
        ["pod", name, "activate"],
        ["tap", name, "1", "--vout", str(vout), "--vth", str(vth), "--pins", "%d,%d" % (data_pins, control_pins)],
        ["run", name], ["mem", "write", name, "1", "0x100", os.path.join(work, "block")],
        ["mem", "read", name, "1", "0x100", str(len(block)), os.path.join(work, "back")],
        ["net", name, "show"], ["update", name, "firmware", os.path.join(work, "image"), "--bytes", "1,2"],
    ]
    outputs = {}
    for command in commands:
        run = subprocess.run([os.path.join(build, "zpxctl"), *command], capture_output=True, text=True)
        check(run.returncode == 0, "zpxctl %s: %s" % (" ".join(command), run.stderr))
        outputs[command[0]] = run.stdout
    log = emu.stop()
    check(open(os.path.join(work, "back"), "rb").read() == block, "memory read back differs")

    frames = decode(emu.pcap)
    check(compare_with_log(frames, log) == 0, "requests owed a reply without one")
    check(experts(frames) == [], "expert infos in a clean session: %s" % experts(frames)[:5])

    pods = pod_frames(frames)
    check(len(pods) == log.count("pod link:"),
          "%d pod-link frames decoded, the emulator's pod saw %d" % (len(pods), log.count("pod link:")))

    def tap1(kind):
        return [p for p in pods if p.get("zpx.pod.kind") == str(kind) and p.get("zpx.pod.tap") == "1"]

    # Output code (mV - 600) / 4, threshold code mV / 4; the data pins travel inverted.
    output, threshold, written = tap1(4), tap1(5), tap1(3)
    check([(p["zpx.pod.code"], p["zpx.pod.mv"]) for p in output] == [(str((vout - 600) // 4), str(vout))],
          "output codes %s" % output)
    check([(p["zpx.pod.code"], p["zpx.pod.mv"]) for p in threshold] == [(str(vth // 4), str(vth))],
          "threshold codes %s" % threshold)
    check([(number(p, "zpx.pod.data_pins"), number(p, "zpx.pod.control_pins")) for p in written] ==
          [(data_pins, control_pins)], "pins written %s" % written)
    # What zpxctl read back through the library, in tenths of a volt and as pins.
    shown = re.search(r"output ([\d.]+) V, threshold ([\d.]+) V, pins data (0x\w+) control (0x\w+)",
                      outputs["tap"])
    check(shown is not None, "zpxctl tap printed %r" % outputs["tap"])
    if shown:
        readings = {int(p["zpx.pod.kind"]): int(p["zpx.pod.mv"]) // 100 for p in tap1(6) + tap1(7)}
        check(readings == {6: round(float(shown.group(1)) * 10), 7: round(float(shown.group(2)) * 10)},
              "voltage readings %s against zpxctl's %s" % (readings, shown.group(0)))
        last_read = tap1(1)[-1]
        check((number(last_read, "zpx.pod.data_pins"), number(last_read, "zpx.pod.control_pins")) ==
              (int(shown.group(3), 0), int(shown.group(4), 0)), "pins read back %s" % last_read)


def raw_client(build, work):
    print("a raw client against zpx-emu --fault drop:4")
    emu = Emulator(build, work, "faults", "--fault", "drop:4")

    def connect():
        return socket.create_connection((emu.address, emu.port), timeout=5)

    def receive(s, length):
        data = b""
        while len(data) < length:
            piece = s.recv(length - len(data))
            if not piece:
                break
            data += piece
        return data

    s = connect()
    s.sendall(packet(READ_REGISTER, 0, 1))
    receive(s, 12)
    # The checksum examples: abcdefgh gives 0xD1FD, abcd 0x40D7.
    s.sendall(image(2, b"abcdefgh", 0xD1FD))
    receive(s, 12)
    s.sendall(image(1, b"abcd", 0x1234))
    receive(s, 12)
    s.sendall(packet(READ_REGISTER, 1, 1))  # request 4: carried out, never answered
    s.settimeout(0.3)
    try:
        check(s.recv(12) == b"", "a reply to the dropped request")
    except socket.timeout:
        pass
    s.close()
    for bad in (packet(0x0100), packet(READ_REGISTER, 4, 1)):  # no such opcode; register 4 is 2 wide
        s = connect()
        s.sendall(bad)
        receive(s, 12)  # the controller drops the connection
        s.close()
    log = emu.stop()

    frames = decode(emu.pcap)
    compare_with_log(frames, log, answered=False)
    requests = [(n, pdu) for n, pdus in frames.items() for pdu in pdus if "zpx.opcode" in pdu]
    found = experts(frames)

    def frame_of(opcode, address):
        return next((n for n, pdu in requests
                     if number(pdu, "zpx.opcode") == opcode and number(pdu, "zpx.address") == address), None)

    good, wrong = frame_of(IMAGE, 2), frame_of(IMAGE, 1)
    crcs = {n: (pdu.get("zpx.image.crc_computed"), pdu.get("zpx.image.crc_good")) for n, pdu in requests
            if n in (good, wrong)}
    check(crcs == {good: ("0xd1fd", "1"), wrong: ("0x40d7", "0")}, "image CRCs %s" % crcs)
    # The controller drops the connection at a protocol error, without a reply.
    expected = [(wrong, "zpx.image.crc_bad"), (frame_of(READ_REGISTER, 1), "zpx.no_reply"),
                (frame_of(0x0100, 0), "zpx.unknown_opcode"), (frame_of(READ_REGISTER, 4), "zpx.bad_width"),
                (frame_of(READ_REGISTER, 4), "zpx.no_reply")]
    for item in expected:
        check(item in found, "%s not flagged in frame %s" % (item[1], item[0]))
    check(len([k for _, k in found if k != "zpx.image.refused"]) == len(expected),
          "expert infos %s, expected %s" % (found, expected))


def written_capture(work):
    """A capture of one conversation on port 6543, its segments cut where a host's or
    controller's stack may cut them."""
    print("a capture cut across segments, on port 6543")
    client, server = (0x7F000001, 40000), (0x7F000009, 6543)
    seq = {True: 1000, False: 90000}
    records = []

    def segment(by_client, payload=b"", flags=0x18):
        src, dst = (client, server) if by_client else (server, client)
        tcp = struct.pack("!HHIIBBHHH", src[1], dst[1], seq[by_client], seq[not by_client],
                          5 << 4, flags, 65535, 0, 0)
        ip = struct.pack("!BBHHHBBHII", 0x45, 0, 40 + len(payload), len(records), 0x4000, 64, 6, 0,
                         src[0], dst[0])
        seq[by_client] += len(payload) + (1 if flags & 0x02 else 0)
        records.append(ip + tcp + payload)
        return len(records)

    segment(True, flags=0x02)
    segment(False, flags=0x12)
    segment(True, flags=0x10)
    read2 = packet(READ_REGISTER, 2, 1)
    header = packet(READ_MEMORY, 0x1C, 0, 20) + bytes(4)
    memory = bytes(range(0xA0, 0xA0 + 20))
    segment(True, read2[:5])
    read_frame = segment(True, read2[5:] + packet(WRITE_REGISTER, 3, 1, 1) + header[:3])
    header_frame = segment(True, header[3:])
    reply_frame = segment(False, packet(READ_REGISTER, 2, 1, 0x31))
    segment(False, memory[:8])
    memory_frame = segment(False, memory[8:])
    segment(True, packet(WRITE_REGISTER, 0, 1, 3))
    stray_frame = segment(False, packet(READ_REGISTER, 0, 1, 0x77))
    path = os.path.join(work, "written.pcap")
    with open(path, "wb") as out:
        out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 101))
        for i, record in enumerate(records):
            out.write(struct.pack("<IIII", 1700000000, 1000 * i, len(record), len(record)) + record)

    frames = decode(path, "-o", "zpx.port:6543")
    requests = [(n, number(p, "zpx.opcode")) for n, pdus in frames.items() for p in pdus if "zpx.opcode" in p]
    check(requests == [(read_frame, READ_REGISTER), (read_frame, WRITE_REGISTER),
                       (header_frame, READ_MEMORY), (stray_frame - 1, WRITE_REGISTER)],
          "requests %s" % requests)
    replies = [(n, int(p["zpx.request_in"])) for n, pdus in frames.items() for p in pdus if "zpx.request_in" in p]
    check(replies == [(reply_frame, read_frame), (memory_frame, header_frame)], "replies %s" % replies)
    data = next((p.get("zpx.reply.data") for p in frames.get(memory_frame, [])), "")
    check(data.replace(":", "") == memory.hex(), "memory reply %s" % data)
    check(experts(frames) == [(stray_frame, "zpx.unexpected_reply")], "expert infos %s" % experts(frames))
    info = tshark(path, "-o", "zpx.port:6543", "-Y", "frame.number == %d" % reply_frame,
                  "-T", "fields", "-e", "_ws.col.Info").strip()
    check(info == "read register 2 -> 0x31", "Info column %r" % info)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    build = os.path.abspath(sys.argv[1])
    start = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="zpx-wireshark-") as work:
        session(build, work)
        raw_client(build, work)
        written_capture(work)
    print("%s in %.1f s" % ("FAILED" if failures else "passed", time.monotonic() - start))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
