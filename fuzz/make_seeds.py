#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz entries: images around every edge the
extraction has, and directory texts and names around every resolution rule."""
import os
import struct

here = os.path.dirname(os.path.abspath(__file__))


def image(length, payload, crc=0):
    return struct.pack("<B31sII", 1, b"SEED 1.0", length, crc) + payload


extract = {
    "small": image(5, b"hello"),
    "zero-length": image(0, b"trailing"),
    "padded": image(64, b"abc"),
    "header-only": image(4, b""),
    "short-36": image(2, b"")[:36],
    "short-33": image(0, b"")[:33],
    "one-byte": b"\x01",
    "largest-length": image(1048536, b"xyz"),
    "length-past-record": image(1048537, b"xyz"),
    "largest-image": image(1048536, bytes(1048536)),
    "image-over-limit": image(1048537, bytes(1048537)),
}
names = {
    "windows-dir": b"\x03C:\\fw\\tools\0./in.bin\0./out/p.bin",
    "share": b"\x03\\\\srv\\share\0./x\0y",
    "cp932": b"\x81C:\\\x95\x5c\x8e\xa6\\\x83\x5c\0./in.bin\0./out.bin",
    "root": b"\x03C:\\\0./in.bin\0./",
    "no-dir": b"\x03\0./in.bin\0out.bin",
    "plain": b"\x03/home/u\0in.bin\0../out.bin",
    "long": b"\x03" + b"d" * 200 + b"\0./" + b"n" * 98 + b"\0" + b"o" * 299,
    "too-long": b"\x03" + b"d" * 200 + b"\0./" + b"n" * 99 + b"\0" + b"o" * 300,
    "defaults": b"\x01\0\0",
    "count": b"\x04a\0b\0c",
}
# swugimg: an even first byte makes the rest a payload, an odd one an image.
def sound(payload):
    words = payload + b"\0" * (-len(payload) % 4)
    crc = sum(struct.unpack("<%dI" % (len(words) // 4), words)) % 2**32
    return image(len(payload), payload, crc)


swugimg = {
    "payload-empty": b"\x00",
    "payload-small": b"\x02hello",
    "payload-513": b"\x04" + bytes(range(256)) * 2 + b"x",
    "image-sound": b"\x01" + sound(b"hello world"),
    "image-trailing": b"\x01" + sound(b"abc") + b"junk",
    "image-mismatch": b"\x01" + image(3, b"abc", 1),
    "image-short": b"\x01" + sound(b"abcdef")[:-2],
    "image-39": b"\x01" + sound(b"")[:39],
    # The limits: a payload one byte past what create takes, and a sound
    # image one byte past what swug reads, which check calls too large.
    "payload-largest": b"\x02" + bytes(1048536),
    "payload-over-limit": b"\x02" + bytes(1048537),
    "image-over-limit": b"\x01" + sound(bytes(1048536)) + b"x",
}
for sub, seeds in (("extract", extract), ("names", names), ("swugimg", swugimg)):
    os.makedirs(os.path.join(here, "corpus", sub), exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(here, "corpus", sub, name), "wb") as f:
            f.write(data)

# signature: a key file, a zero byte and a signature of the sample image,
# made by the real tools with throwaway keys, in each format they write.
# Skipped where the tools are missing; the seeds in the tree stay.
import shutil
import subprocess
import tempfile

if shutil.which("minisign") and shutil.which("signify-openbsd"):
    sample = os.path.join(here, "..", "data", "QUILMO_SW.bin")
    out = os.path.join(here, "corpus", "signature")
    os.makedirs(out, exist_ok=True)
    with tempfile.TemporaryDirectory() as t:
        def run(*args):
            subprocess.run(args, cwd=t, check=True, stdout=subprocess.DEVNULL)

        def read(name):
            with open(os.path.join(t, name), "rb") as f:
                return f.read()

        shutil.copy(sample, os.path.join(t, "q.bin"))
        run("minisign", "-G", "-W", "-p", "m.pub", "-s", "m.sec")
        run("signify-openbsd", "-G", "-n", "-p", "s.pub", "-s", "s.sec")
        run("minisign", "-S", "-s", "m.sec", "-m", "q.bin", "-t", "seed", "-x", "hashed")
        run("minisign", "-S", "-l", "-s", "m.sec", "-m", "q.bin", "-t", "seed", "-x", "legacy")
        run("signify-openbsd", "-S", "-s", "s.sec", "-m", "q.bin", "-x", "signify")
        for name, key, sig in (("minisign-hashed", "m.pub", "hashed"), ("minisign-legacy", "m.pub", "legacy"),
                               ("signify", "s.pub", "signify")):
            with open(os.path.join(out, name), "wb") as f:
                f.write(read(key) + b"\0" + read(sig))
