#!/usr/bin/env python3
"""Writes the fuzzers' seed corpora (fuzz/corpus/<target>/) and dictionaries
(fuzz/dict/<target>.dict). Each seed is one ordinary run taken from the
tests, encoded the way the target decodes its input (fuzz/*_fuzz.cpp): the
ATRs of the parser and IFSC tests and the card catalogue, a T=1 exchange with
its IFS announcement, reader commands answered by an honest reader, the
reader's own descriptors, transmits under T=0 and T=1, the application's
requests, and scenarios of the console's tests. Run it again after changing a
target's input format."""
import pathlib
import struct

ROOT = pathlib.Path(__file__).resolve().parent

def b(*items):
    out = bytearray()
    for item in items:
        if isinstance(item, int):
            out.append(item & 0xFF)
        else:
            out += bytes(item)
    return bytes(out)

def hexs(text):
    return bytes.fromhex(text.replace(" ", ""))

def word(value):  # FuzzInput::Below with a bound above 256 reads two bytes, low first
    return struct.pack("<H", value)

def chunk(data):  # FuzzInput::Chunk: a length byte, then the bytes
    return b(len(data), data)

def lrc(data):
    x = 0
    for v in data:
        x ^= v
    return x

def reader_block(pcb, inf=b""):
    block = b(0x21, pcb, len(inf), inf)
    return block + bytes([lrc(block)])

# ---- atr: the bare ATR -----------------------------------------------------
ATRS = {
    "twenty_byte": "3B FA 13 00 FF 81 31 FB 45 80 12 39 2F 31 C0 73 C7 01 49 91",
    "thirty_three": "3B FF 96 00 00 F1 01 00 0A F1 FE 45 01 71 20 20 00 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F E9",
    "both_protocols": "3B D6 18 00 80 B1 FE 45 1F 07 31 32 33 34 35 36 5B",
    "inverse": "3F 65 25 00 2C 09 69 90 00",
    "minimal_t0": "3B 02 14 50",
    "t1_chain": "3B 80 91 44 A1 45 11 60",
    "t0_then_t1": "3B 80 80 11 80",
    "tb_tc_steps": "3B F0 13 00 00 E1 00 00 F1 77 45 00 01",
    "t1_crc": "3B 80 81 71 FE 45 01 4A",
}

# ---- t1: seed, IFSC, CRC flag; per exchange the APDU, reply room, NAD, then
# the card's answers (kind 1 = well-formed: PCB and INF) ----------------------
def t1_exchange(apdu, room, answers):
    out = word(len(apdu)) + apdu + word(room) + b(0x00)
    for pcb, inf in answers:
        out += b(1, pcb, chunk(inf))
    return out

APDU = hexs("00 B0 00 00 10")
T1_SEEDS = {
    "ifs_then_read": b(1, 0x20, 0) + t1_exchange(APDU, 300, [(0xE1, b(0xFE)), (0x00, bytes(range(16)) + b(0x90, 0x00))]),
    "chained_answer": b(2, 0x20, 0) + t1_exchange(APDU, 600, [(0xE1, b(0xFE)), (0x20, bytes(32)), (0x40, b(0x90, 0x00))]),
    "wtx_then_answer": b(3, 0xFE, 1) + t1_exchange(APDU, 300, [(0xE1, b(0xFE)), (0xC3, b(0x02)), (0x00, b(0x90, 0x00))]),
    "r_block_repeat": b(4, 0x10, 0) + t1_exchange(hexs("80 EE 00 00 20") + bytes(32), 300,
                                                 [(0xE1, b(0xFE)), (0x90, b""), (0x00, b(0x90, 0x00))]),
}

# ---- reader: seed, no bus failure, then commands and the reader's answers --
def reply(status, data=b"", more=False):  # answer kind 3: an I-block in sequence
    return b(3, 1 if more else 0, b(0, 0, 0), status, chunk(data))

READER_SEEDS = {
    "resynch_then_status": b(1, 0xFF, 2, 2, 0xE0, chunk(b""), reply(0x00, b(0x01))),
    "reader_info": b(2, 0xFF, 3, 2, 0xE0, chunk(b""), reply(0x00, b"QV38N" + b(1, 2))),
    "cold_reset_atr": b(3, 0xFF, 4, 2, 0xE0, chunk(b""), reply(0x00, hexs("3B 02 14 50"))),
    "apdu_wtx": b(4, 0xFF, 0, chunk(hexs("00 B0 00 00 02")), 2, 0xE0, chunk(b""), 4, 0x02, reply(0x00, b(1, 2, 0x90, 0))),
    "pps": b(5, 0xFF, 8, chunk(hexs("FF 10 11 FE")), 2, 0xE0, chunk(b""), reply(0x00, hexs("FF 10 11 FE"))),
    "in_failure": b(6, 0x01, 1, 2, 2, 0xE0, chunk(b""), reply(0x00, b(0x01))),
}

# ---- descriptors: seed, SET_CONFIGURATION accepted, the reader's own device
# descriptor, then a layout ------------------------------------------------------
DEVICE = hexs("12 01 10 01 00 00 00 40 3A 2F 39 00 00 01 01 02 00 01")
def config(interfaces):
    body = b""
    for number, endpoints, klass in interfaces:
        body += b(9, 4, number, 0, len(endpoints), klass, 0, 0, 0)
        for address in endpoints:
            body += b(7, 5, address, 2, 64, 0, 0)
    total = 9 + len(body)
    return b(9, 2, total & 0xFF, total >> 8, len(interfaces), 1, 0, 0x80, 50) + body

READER_CONFIG = config([(0, [0x81, 0x02], 0x0B)])
DESCRIPTOR_SEEDS = {
    "reader_raw": b(1, 0, 1, chunk(DEVICE), 0, word(len(READER_CONFIG)), READER_CONFIG),
    "reader_header_fixed": b(2, 0, 1, chunk(DEVICE), 1, word(len(READER_CONFIG)), READER_CONFIG),
    "swapped_raw": b(3, 0, 0, 0, word(32), config([(0, [0x02, 0x81], 0x0B)])),
    "built_two_interfaces": b(4, 0, 0, 2, 1, 0, 0, 0x0B, 2, 0x81, 2, 64, 0, 0x02, 2, 64, 0, 0,
                              1, 0, 0x0B, 1, 0x83, 3, 8, 0, 0, 1),
    "stalled_configuration": b(5, 0xFF, 0, 0, word(len(READER_CONFIG)), READER_CONFIG),
}

# ---- transmit: seed, T=1 flag, IFSC, CRC flag, then APDUs and answers ------
def t0_reply(status, data):  # the reader's reply: three bytes, status choice, data
    return b(0, 0, 0, status, word(len(data)), data)

TRANSMIT_SEEDS = {
    "t0_read_binary": b(1, 0, 0x20, 0, word(5), hexs("00 B0 00 00 04"), word(300), t0_reply(0, b(1, 2, 3, 4, 0x90, 0))),
    "t0_status_only": b(2, 0, 0x20, 0, word(5), hexs("00 B0 00 00 04"), word(300), t0_reply(1, b(0x6C, 0x04))),
    "t0_mute": b(3, 0, 0x20, 0, word(4), hexs("00 A4 00 00"), word(300), t0_reply(2, b"")),
    "t1_ifs_then_answer": b(4, 1, 0x20, 0, word(5), hexs("00 B0 00 00 02"), word(300),
                            1, 0xE1, chunk(b(0xFC)), 1, 1, 0x00, chunk(b(1, 2, 0x90, 0)), 1),
}

# ---- ioctl: seed, card, poller flag, then requests (code choice, typical
# input flag and its choice, extra input, output length) ----------------------
IOCTL_SEEDS = {
    "power_then_state": b(1, 0, 0, 0, 1, 1, word(0), word(64), 9, 0, word(0), word(4)),
    "attributes": b(2, 0, 0, 1, 1, 0, word(0), word(64), 1, 1, 29, word(0), word(64), 1, 0, word(4), b(1, 1, 0, 0), word(2)),
    "set_protocol_transmit": b(3, 1, 1, 0, 1, 1, word(0), word(64), 8, 1, 0, word(0), word(4),
                               3, 1, 0, word(5), hexs("00 B0 00 00 04"), word(300)),
    "waits_and_raw": b(4, 2, 1, 6, 7, 0xFF, 0x34, 0x12, 0x22, 0x00, 0, word(3), b(1, 2, 3), word(8)),
}

# ---- scenario: seed, model, card, card flag, then console operations -------
OP = {name: i for i, name in enumerate(
    "CardInsert CardRemove Advance Fault Power State Attribute WaitPresent WaitAbsent Cancel Cleanup "
    "Protocol Apdu RawApdu Open Close Plug Reader Unplug Pnp Sleep Wake Ioctl".split())}
SCENARIO_SEEDS = {
    "wait_absent_then_remove": b(1, 0, 0, 0, OP["WaitAbsent"], OP["CardRemove"], OP["Advance"], 2, OP["State"]),
    "t1_apdus": b(2, 0, 0, 0, OP["Power"], 1, OP["Protocol"], 1, OP["Apdu"], 0, OP["Apdu"], 1, OP["Apdu"], 3),
    "pnp_stop_start": b(3, 1, 0, 0, OP["Close"], OP["Pnp"], 3, OP["Pnp"], 1, OP["Pnp"], 0, OP["Open"], OP["State"]),
    "sleep_wake_pending_wait": b(4, 0, 0, 0, OP["WaitPresent"], OP["CardRemove"], OP["WaitPresent"], OP["Sleep"], 2,
                                 OP["Wake"], OP["Advance"], 2, OP["Cancel"]),
    "surprise_removal": b(5, 0, 0, 0, OP["Power"], 1, OP["WaitAbsent"], OP["Unplug"], OP["Cleanup"], OP["Close"]),
    "second_reader_faults": b(6, 0, 0, 0, OP["Plug"], 1, OP["Reader"], 1, OP["Open"], OP["Fault"], 7, OP["Power"], 1,
                              OP["Fault"], 28, OP["Apdu"], 0, OP["Close"], OP["Unplug"]),
}

DICTS = {
    "atr": ["\\x3B", "\\x3F", "\\x80", "\\x81", "\\x11", "\\x31", "\\x71", "\\x91", "\\xF1", "\\xFE", "\\xFF", "\\x45",
            "\\x00", "\\x96", "\\x13", "\\x18", "\\x0F", "\\x1F", "\\x10", "\\x20", "\\x40"],
    "t1": ["\\xC0", "\\xE0", "\\xC1", "\\xE1", "\\xC2", "\\xE2", "\\xC3", "\\xE3", "\\x80", "\\x90", "\\x81", "\\x82",
           "\\x91", "\\x92", "\\x00", "\\x40", "\\x20", "\\x60", "\\x12", "\\x21", "\\x90\\x00", "\\x61\\x10",
           "\\x6C\\x10", "\\xFE", "\\xFF", "\\x01"],
    "reader": ["\\x21", "\\x12", "\\x00", "\\x04", "\\x40", "\\x20", "\\x60", "\\x80", "\\x90", "\\x81", "\\x82",
               "\\x92", "\\xC0", "\\xE0", "\\xC3", "\\xE3", "\\xD3", "\\xD4", "\\xD5", "\\xAA", "\\xAB", "\\xAD",
               "\\xE9", "\\xD0", "\\xFE", "\\xFF", "\\x3B", "\\x90\\x00"],
    "descriptors": ["\\x12\\x01", "\\x09\\x02", "\\x09\\x04", "\\x07\\x05", "\\x81", "\\x02", "\\x03", "\\x0B",
                    "\\x40\\x00", "\\x20\\x00", "\\x00\\x02", "\\x21", "\\x01", "\\xFF", "\\x00\\x00"],
    "transmit": ["\\x00\\xB0\\x00\\x00", "\\x00\\xA4\\x04\\x00", "\\x90\\x00", "\\x61\\x10", "\\x6C\\x10", "\\xD3",
                 "\\xD4", "\\xD5", "\\xAB", "\\xAD", "\\xC1", "\\xE1", "\\xC3", "\\xE3", "\\x80", "\\x90", "\\x82",
                 "\\x00", "\\x40", "\\x20", "\\x60", "\\x21", "\\xC0", "\\xE0", "\\x04"],
    "ioctl": ["\\x04\\x00\\x31\\x00", "\\x08\\x00\\x31\\x00", "\\x0C\\x00\\x31\\x00", "\\x14\\x00\\x31\\x00",
              "\\x28\\x00\\x31\\x00", "\\x2C\\x00\\x31\\x00", "\\x30\\x00\\x31\\x00", "\\x38\\x00\\x31\\x00",
              "\\x3C\\x00\\x31\\x00", "\\x03\\x03\\x09\\x00", "\\x00\\x01\\x01\\x00", "\\x01\\x00\\x00\\x00",
              "\\x02\\x00\\x00\\x00", "\\x03\\x00\\x00\\x00", "\\x00\\x00\\x00\\x80", "\\x08\\x00\\x00\\x00",
              "\\xFF", "\\x00\\xB0\\x00\\x00"],
    "scenario": ["\\x%02X" % value for value in range(len(OP))],
}

def write(target, seeds):
    folder = ROOT / "corpus" / target
    folder.mkdir(parents=True, exist_ok=True)
    for name, data in seeds.items():
        (folder / name).write_bytes(data)

def main():
    write("atr", {name: hexs(text) for name, text in ATRS.items()})
    write("t1", T1_SEEDS)
    write("reader", READER_SEEDS)
    write("descriptors", DESCRIPTOR_SEEDS)
    write("transmit", TRANSMIT_SEEDS)
    write("ioctl", IOCTL_SEEDS)
    write("scenario", SCENARIO_SEEDS)
    (ROOT / "dict").mkdir(exist_ok=True)
    for target, entries in DICTS.items():
        (ROOT / "dict" / f"{target}.dict").write_text(
            f"# {target}: the protocol's constants\n" + "".join(f'"{entry}"\n' for entry in entries))

if __name__ == "__main__":
    main()
