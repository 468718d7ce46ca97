#!/usr/bin/env python3
"""Writes data/QUILMO_SW.bin, the sample upgrade image: a 40-byte header
(marker, version text, payload length, additive checksum) and the payload."""
import os
import struct

payload = b"".join(b"swug sample payload, line %03d\n" % i for i in range(128))
words = payload + b"\0" * (-len(payload) % 4)
crc = sum(struct.unpack("<%dI" % (len(words) // 4), words)) % 2**32
header = struct.pack("<B31sII", 1, b"QUILMO SW 1.0.0", len(payload), crc)
with open(os.path.join(os.path.dirname(__file__), "QUILMO_SW.bin"), "wb") as f:
    f.write(header + payload)
