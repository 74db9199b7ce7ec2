#!/usr/bin/env python3
"""Compares two snapshots section by section.

Section 1 (the end time) differs between any two runs and is only checked
for length, as is the converting thread's id in the session stream; section
0 (the environment) is compared without its random snapshot and session
identifiers and without what describes the machine that wrote it (its
operating system, processors and name); every other section and the index
must be byte-identical.

usage: compare_snapshots.py INDEX_A INDEX_B
       compare_snapshots.py --digest INDEX
           one line per section: id, version, length and a digest of what
           the comparison compares (the golden form of a snapshot)
"""
import hashlib
import struct
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from snapshot_format import FORMAT  # noqa: E402

ENVIRONMENT_SECTION = FORMAT.sections["environment"][0]
VOLATILE = {FORMAT.sections["end_time"][0]}
SESSION_SECTION = FORMAT.sections["session_stream"][0]
SESSION_KIND = FORMAT.kinds["session_kind"]


def masked_environment(data: bytes) -> bytes:
    """The environment record with the fields that differ between runs or
    machines zeroed or emptied: the operating system's architecture,
    processor count and name, the computer's name, and the four random
    identifiers. The process it describes and the start time stay."""
    out = bytearray()
    pos = 0

    def take(n, keep=True):
        nonlocal pos
        chunk = data[pos:pos + n]
        if len(chunk) != n:
            raise ValueError("environment record cut short")
        pos += n
        out.extend(chunk if keep else bytes(n))

    def string(keep=True):
        nonlocal pos
        first = data[pos]
        width = 1 if first < 0x80 else 2 if first < 0xC0 else 4
        raw = data[pos:pos + width]
        length = int.from_bytes(raw, "big") & ((1 << (8 * width - (1 if width == 1 else 2 if width == 2 else 3))) - 1)
        if keep:
            take(width + length)
        else:
            pos += width + length
            out.append(0)

    take(2 * 4 + 4 + 4 + 1)           # fixed words, the operating system's id
    take(2, keep=False)              # its architecture
    take(4, keep=False)              # online processors
    string(keep=False)               # the operating system's name
    string(keep=False)               # the computer's name
    take(4)                          # pid
    for _ in range(3):
        string()                     # process name, command line, working directory
    take(2)                          # the process's architecture
    take(16, keep=False)             # snapshot identifier 4
    string()                         # user name
    take(16, keep=False)             # snapshot identifier 3
    take(1)                          # runtime type
    string()                         # runtime version
    string()                         # the last text
    take(16, keep=False)             # session identifier 1
    take(4)                          # identifier kind
    take(16, keep=False)             # session identifier 2
    take(len(data) - pos)            # the start time
    return bytes(out)


def masked(sid: int, body: bytes) -> bytes:
    if sid == SESSION_SECTION:
        return masked_session(body)
    if sid == ENVIRONMENT_SECTION:
        return masked_environment(body)
    return body


def masked_session(data: bytes) -> bytes:
    """The session stream with the thread id of its start and stop records
    (the converting thread's id, new in every run) set to zero."""
    out = bytearray(data)
    pos = 0
    while pos + 14 <= len(out):
        kind = struct.unpack_from("<H", out, pos + 12)[0] & 0x0FFF
        body = FORMAT.body_size("session_stream", kind)
        size = None if body is None else FORMAT.record_header_size + body
        if kind in (SESSION_KIND["session_start"], SESSION_KIND["session_stop"]):
            out[pos + 8:pos + 12] = bytes(4)
        if size is None:
            break  # a name record: the rest is compared as it stands
        pos += size
    return bytes(out)


def sections(index: Path):
    """Yields (id, version, bytes) for every section, in index order."""
    data = index.read_bytes()
    signature, fmt, count = struct.unpack_from("<HII", data, 0)
    if signature != FORMAT.constants["index_signature"]:
        raise SystemExit(f"{index}: not a snapshot index")
    pos = 10
    if count & 0x80000000:
        count &= 0x7FFFFFFF
        pos += 2
    out = []
    offsets = {}
    for _ in range(count):
        sid, version, length, file_no = struct.unpack_from("<HHQH", data, pos)
        pos += 14
        name = index.with_name(f"{index.name}.{file_no:04X}")
        start = offsets.get(file_no, 0)
        offsets[file_no] = start + length
        with open(name, "rb") as f:
            f.seek(start)
            out.append((sid, version, f.read(length)))
    return data, out


def digest(index: Path):
    data, secs = sections(index)
    print(f"index {len(data)} {hashlib.sha256(data).hexdigest()[:16]}")
    for sid, version, body in secs:
        if sid in VOLATILE:
            shown = "-"
        else:
            shown = hashlib.sha256(masked(sid, body)).hexdigest()[:16]
        print(f"{sid} {version} {len(body)} {shown}")
    return 0


def main():
    if sys.argv[1] == "--digest":
        return digest(Path(sys.argv[2]))
    a, b = Path(sys.argv[1]), Path(sys.argv[2])
    index_a, sec_a = sections(a)
    index_b, sec_b = sections(b)
    problems = []
    if index_a != index_b:
        problems.append("index files differ")
    for (ia, va, da), (ib, vb, db) in zip(sec_a, sec_b):
        if (ia, va) != (ib, vb):
            problems.append(f"section {ia} v{va} stands where {ib} v{vb} does")
        elif len(da) != len(db):
            problems.append(f"section {ia}: {len(da)} bytes against {len(db)}")
        elif ia == SESSION_SECTION and masked_session(da) != masked_session(db):
            problems.append(f"section {ia}: records differ")
        elif ia not in VOLATILE and masked(ia, da) != masked(ia, db):
            at = next(i for i, (x, y) in enumerate(zip(da, db)) if x != y)
            problems.append(f"section {ia}: first difference at byte {at}")
    if len(sec_a) != len(sec_b):
        problems.append(f"{len(sec_a)} sections against {len(sec_b)}")
    for p in problems:
        print(f"{a}: {p}")
    print(f"{a}: {'identical' if not problems else 'DIFFERENT'} ({len(sec_a)} sections)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
