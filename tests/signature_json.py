# Reads back what `swugimg check --json` printed for the signature tests:
#   signature_json.py NAMES JSON KEY
# NAMES holds the image names given, each ended by a zero byte; JSON the
# output; KEY the public key that signed fw.img, evil.img and big.img. Fails with the
# line it disagrees with; prints the number of lines read.
import hashlib
import json
import os
import struct
import sys

names = open(sys.argv[1], 'rb').read().split(b'\0')[:-1]
lines = open(sys.argv[2], 'rb').read().decode('utf-8').split('\n')
assert lines[-1] == '' and len(lines) == len(names) + 1, lines
# minisign before 0.12 writes the id in the key's comment without its
# leading zeros; swugimg always writes 16 digits.
key = '%016X' % int(open(sys.argv[3]).read().split('\n')[0].split()[-1], 16)
for name, line in zip(names, lines):
    d = json.loads(line)
    assert list(d) == ['name', 'verdict', 'fault', 'key_id', 'trusted_comment', 'sha256', 'marker', 'version',
                       'length', 'payload_sha256'], d
    assert os.fsencode(d['name']) == name, (d['name'], name)
    try:
        name.decode('utf-8')
        valid = True
    except UnicodeDecodeError:
        valid = False
    assert any(0xDC80 <= ord(c) <= 0xDCFF for c in d['name']) == (not valid), (line, name)
    ok = name == b'fw.img'
    assert d['verdict'] == ('OK' if ok else 'FAILED') and (d['fault'] is None) == ok, d
    signed = name in (b'fw.img', b'evil.img', b'big.img')
    assert d['key_id'] == (key if signed else None), d
    assert d['trusted_comment'] == ('release 1.0' if ok else None), d
    data = open(name, 'rb').read() if os.path.exists(name) else None
    whole = data is not None and len(data) <= 1048576
    assert d['sha256'] == (hashlib.sha256(data).hexdigest() if whole else None), d
    if data is None:
        assert d['marker'] is None and d['version'] is None and d['length'] is None, d
        assert d['payload_sha256'] is None, d
        continue
    length = struct.unpack('<I', data[32:36])[0]
    assert d['marker'] == data[0] and d['length'] == length, d
    assert d['version'] == data[1:32].split(b'\0')[0].decode('ascii'), d
    payload = data[40:40 + length].ljust(length, b'\xff')
    assert d['payload_sha256'] == (hashlib.sha256(payload).hexdigest() if whole else None), d
print(len(names))
