#!/usr/bin/python3
"""Writes BIRD firmware files for tests, from a block list given as JSON.

    bird_writer.py OUT.bird [--json FILE]        (JSON on standard input when no --json)

File: b"bird", a two-byte big-endian version, then one zlib stream of the payload.
Payload: block count (4 bytes), the blocks, a checksum word (4 bytes); big-endian numbers.
Block: one byte (type in bits 4-0, flags in bits 7-5), a 4-byte length L, L data bytes.

Description (every key optional):
  "signature": text of four characters, default "bird"
  "version": number (two bytes), default 0x0101
  "count": block count to write, default the number of blocks
  "checksum": checksum word, default the CRC-32 of the payload before it
  "no_checksum": true leaves the checksum word out
  "trailing_hex": bytes appended to the payload after the checksum
  "payload_hex": a whole payload, replacing everything above
  "raw": true writes the payload without compressing it
  "truncate": cut the finished file to this many bytes (negative: drop that many at the end)
  "scramble_key": four 32-bit words; firmware images are scrambled with them
  "blocks": list of blocks, each one of
     {"type": 0 or 1, "address": n, "image_hex": "..."}   loader or firmware image
     {"type": 0 or 1, "address": n, "image_fill": [byte, count]}
     {"type": 2, "serial_offset": n, "descriptor_offset": n}
     {"type": 4, "build": text, "version": text, "serial": text, "model": text}
     {"type": 5, "address": n}
     {"type": n, "data_hex": "..."}                      any block, data as given
   and any block may carry "flags" (0-7) and "length" (the length field written, whatever
   the data holds).

Scrambling (per firmware block, restarting at its first image byte): the key words give 16
key bytes, each word most significant byte first; stored byte = plain byte XOR key byte
[i mod 16] XOR the previous plain byte (0 at the start).
"""

import json
import struct
import sys
import zlib


def u32(value):
    return struct.pack(">I", value & 0xFFFFFFFF)


def field(text, width=16):
    raw = text.encode("ascii")
    if len(raw) > width:
        raise ValueError("descriptor field longer than %d: %r" % (width, text))
    return raw + b" " * (width - len(raw))


def scramble(image, key_words):
    key = b"".join(struct.pack(">I", w & 0xFFFFFFFF) for w in key_words)
    out = bytearray()
    previous = 0
    for i, plain in enumerate(image):
        out.append(plain ^ key[i % 16] ^ previous)
        previous = plain
    return bytes(out)


def image_of(block):
    if "image_hex" in block:
        return bytes.fromhex(block["image_hex"])
    if "image_fill" in block:
        value, count = block["image_fill"]
        return bytes([value]) * count
    return b""


def block_data(block, key_words):
    kind = block["type"]
    if "data_hex" in block:
        return bytes.fromhex(block["data_hex"])
    if kind in (0, 1):
        image = image_of(block)
        if kind == 1 and key_words is not None:
            image = scramble(image, key_words)
        return u32(block.get("address", 0)) + image
    if kind == 2:
        return u32(block.get("serial_offset", 0)) + u32(block.get("descriptor_offset", 0))
    if kind == 4:
        return b"".join(
            field(block.get(name, "")) for name in ("build", "version", "serial", "model"))
    if kind == 5:
        return u32(block.get("address", 0))
    return b""


def payload_of(desc):
    if "payload_hex" in desc:
        return bytes.fromhex(desc["payload_hex"])
    key_words = desc.get("scramble_key")
    blocks = desc.get("blocks", [])
    body = bytearray(u32(desc.get("count", len(blocks))))
    for block in blocks:
        data = block_data(block, key_words)
        type_byte = (block["type"] & 0x1F) | ((block.get("flags", 0) & 0x7) << 5)
        body.append(type_byte)
        body += u32(block.get("length", len(data)))
        body += data
    if not desc.get("no_checksum", False):
        body += u32(desc.get("checksum", zlib.crc32(bytes(body))))
    body += bytes.fromhex(desc.get("trailing_hex", ""))
    return bytes(body)


def file_of(desc):
    payload = payload_of(desc)
    packed = payload if desc.get("raw", False) else zlib.compress(payload, 9)
    out = desc.get("signature", "bird").encode("ascii")
    out += struct.pack(">H", desc.get("version", 0x0101) & 0xFFFF)
    out += packed
    if "truncate" in desc:
        out = out[: desc["truncate"]]
    return out


def main(argv):
    if len(argv) not in (2, 4) or (len(argv) == 4 and argv[2] != "--json"):
        sys.stderr.write(__doc__)
        return 2
    if len(argv) == 4:
        with open(argv[3], "r", encoding="utf-8") as source:
            desc = json.load(source)
    else:
        desc = json.load(sys.stdin)
    with open(argv[1], "wb") as out:
        out.write(file_of(desc))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
