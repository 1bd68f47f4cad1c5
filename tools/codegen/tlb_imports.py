#!/usr/bin/env python3
"""Make a widl-built type library refer to the interfaces its coclasses take from imported libraries.

Usage: tlb_imports.py <input.tlb> <output.tlb> <library.idl> <imported.tlb>...

widl resolves an imported interface through importlib when it is a base or a parameter type,
but an interface named in a coclass is copied into the library instead. This rewrites such
copies: each coclass entry that points at a copy points at an import record of the interface
instead (the record is added when the library has none for it yet), and the copies are removed,
so the library describes only its own types. The copies must come after every other type but
the coclasses, which is where widl puts them when the coclasses are the library's last
statements. Exit status 1 with a message when the input does not have that shape.

widl also damages the library's own GUID entry when it meets such a copy whose GUID it already
holds (it writes through the copy's missing GUID position); the library's GUID is written again
from the IDL's library attributes.
"""
from __future__ import annotations

import re
import struct
import sys
import uuid
from pathlib import Path

HEADER_WORDS = 21         # MSFT header, 0x54 bytes
HELPDLL_FLAG = 0x100
SEGMENTS = 15
TYPEINFO_SIZE = 0x64
TKIND_INTERFACE, TKIND_COCLASS = 3, 5
SEG_TYPEINFO, SEG_IMPINFO, SEG_IMPFILES, SEG_REFTAB, SEG_GUIDTAB, SEG_NAMETAB, SEG_TYPEDESC = 0, 1, 2, 3, 5, 7, 9
VT_USERDEFINED = 0x1D
IMPINFO_BY_GUID = 0x00010000


class Shape(Exception):
    pass


def i32(b, off):
    return struct.unpack_from("<i", b, off)[0]


def put32(b: bytearray, off, v):
    struct.pack_into("<i", b, off, v)


class Library:
    def __init__(self, data: bytes):
        self.data = data
        if data[:4] != b"MSFT":
            raise Shape("not an MSFT type library")
        self.header = bytearray(data[: HEADER_WORDS * 4])
        self.helpdll = i32(data, 0x14) & HELPDLL_FLAG
        pos = HEADER_WORDS * 4 + (4 if self.helpdll else 0)
        self.helpdll_word = data[HEADER_WORDS * 4:pos]
        self.count = i32(data, 0x20)
        self.offsets_at = pos
        pos += 4 * self.count
        self.segdir_at = pos
        self.segdir = [list(struct.unpack_from("<4i", data, pos + 16 * k)) for k in range(SEGMENTS)]
        self.segs = {k: bytearray(data[o:o + n]) if o >= 0 else bytearray()
                     for k, (o, n, _, _) in enumerate(self.segdir)}
        present = sorted((o, o + n) for o, n, _, _ in self.segdir if o >= 0)
        first = pos + 16 * SEGMENTS
        for (a, b), (c, _) in zip(present, present[1:]):
            if b != c:
                raise Shape("segments are not contiguous")
        if present[0][0] != first:
            raise Shape("segments do not follow the segment directory")
        self.tail_at = present[-1][1]
        self.tail = data[self.tail_at:]

    def typeinfo(self, k):
        return self.segs[SEG_TYPEINFO], k * TYPEINFO_SIZE

    def kind(self, k):
        t, o = self.typeinfo(k)
        return i32(t, o) & 0xF

    def guid_at(self, off):
        return bytes(self.segs[SEG_GUIDTAB][off:off + 16])

    def typeinfo_guid(self, k):
        t, o = self.typeinfo(k)
        return self.guid_at(i32(t, o + 11 * 4))

    def typeinfo_name(self, k):
        t, o = self.typeinfo(k)
        names, at = self.segs[SEG_NAMETAB], i32(t, o + 13 * 4)
        return bytes(names[at + 12:at + 12 + names[at + 8]]).decode("latin-1")

    def interfaces(self):
        """Name -> GUID of each interface the library defines."""
        return {self.typeinfo_name(k): self.typeinfo_guid(k) for k in range(self.count)
                if self.kind(k) == TKIND_INTERFACE}

    def lib_guid(self):
        return self.guid_at(i32(self.header, 0x08))


def library_guid(idl: str) -> bytes:
    m = re.search(r"\[\s*uuid\(([0-9A-Fa-f-]{36})\)[^\]]*\]\s*library\s+\w+", idl)
    if not m:
        raise Shape("the IDL has no library with a uuid")
    return uuid.UUID(m.group(1)).bytes_le


def rewrite(data: bytes, imported: list[bytes], libid: bytes | None = None) -> bytes:
    lib = Library(data)
    if libid is not None:
        at = i32(lib.header, 0x08)
        lib.segs[SEG_GUIDTAB][at:at + 16] = libid
    imports = [Library(x) for x in imported]
    owner = {}  # interface name -> (its GUID, the imported library's GUID)
    for imp in imports:
        for name, g in imp.interfaces().items():
            owner[name] = (g, imp.lib_guid())

    # A copy whose GUID the library already holds for an import record has no GUID entry of its
    # own (widl warns about the duplicate); the others have one, which becomes the import's.
    copies = [k for k in range(lib.count) if lib.kind(k) == TKIND_INTERFACE and lib.typeinfo_name(k) in owner]
    if not copies:
        raise Shape("no copied interfaces: nothing to rewrite")
    for k in range(copies[0], lib.count):
        if k not in copies and lib.kind(k) != TKIND_COCLASS:
            raise Shape(f"type {k} follows a copied interface but is not a coclass")

    # Import files by library GUID: their offsets in the import-file segment.
    files = {}
    seg = lib.segs[SEG_IMPFILES]
    pos = 0
    while pos < len(seg):
        files[lib.guid_at(i32(seg, pos))] = pos
        size = struct.unpack_from("<H", seg, pos + 12)[0] >> 2
        pos = (pos + 14 + size + 3) & ~3
    imp = lib.segs[SEG_IMPINFO]
    by_guid = {lib.guid_at(i32(imp, p + 8)): p for p in range(0, len(imp), 12)}

    guids = lib.segs[SEG_GUIDTAB]
    replaced = {}  # local hreftype of a copy -> hreftype of its import record
    for k in copies:
        t, o = lib.typeinfo(k)
        g, library = owner[lib.typeinfo_name(k)]
        posguid = i32(t, o + 11 * 4)
        if g not in by_guid:
            if posguid < 0 or lib.guid_at(posguid) != g:
                raise Shape(f"type {k} is a copy of an imported interface without its GUID")
            if library not in files:
                raise Shape(f"no import file for the library of type {k}")
            p = len(imp)
            imp += struct.pack("<3i", (TKIND_INTERFACE << 24) | IMPINFO_BY_GUID | (p // 12), files[library], posguid)
            by_guid[g] = p
            put32(guids, posguid + 16, p | 1)
        replaced[k * TYPEINFO_SIZE] = by_guid[g] | 1

    keep = [k for k in range(lib.count) if k not in copies]
    moved = {k * TYPEINFO_SIZE: n * TYPEINFO_SIZE for n, k in enumerate(keep)}

    def href(v):
        if v in replaced:
            return replaced[v]
        return moved.get(v, v) if v >= 0 and not v & 1 else v

    # Coclass entries, the GUIDs' and the type names' owners follow the types.
    refs = lib.segs[SEG_REFTAB]
    for p in range(0, len(refs), 16):
        put32(refs, p, href(i32(refs, p)))
    for p in range(0, len(guids), 24):
        put32(guids, p + 16, href(i32(guids, p + 16)))
    descs = lib.segs[SEG_TYPEDESC]
    for p in range(0, len(descs), 8):
        if struct.unpack_from("<H", descs, p)[0] & 0xFFF == VT_USERDEFINED and i32(descs, p + 4) in replaced:
            raise Shape("a parameter type refers to a copied interface")
    names = lib.segs[SEG_NAMETAB]
    types = lib.segs[SEG_TYPEINFO]
    for k in range(lib.count):
        name = i32(types, k * TYPEINFO_SIZE + 13 * 4)
        if name >= 0:
            put32(names, name, -1 if k in copies else moved[k * TYPEINFO_SIZE])
    for k in keep:
        o = k * TYPEINFO_SIZE
        if lib.kind(k) == TKIND_INTERFACE and i32(types, o + 21 * 4) in replaced:
            raise Shape(f"type {k} extends a copied interface")
    lib.segs[SEG_TYPEINFO] = bytearray(b"".join(types[k * TYPEINFO_SIZE:(k + 1) * TYPEINFO_SIZE] for k in keep))

    # Lay the file out again: header, type offsets, segment directory, segments, member data.
    header = bytearray(lib.header)
    put32(header, 0x20, len(keep))
    put32(header, 0x50, len(imp) // 12)
    pos = len(header) + len(lib.helpdll_word) + 4 * len(keep) + 16 * SEGMENTS
    order = sorted((k for k in range(SEGMENTS) if lib.segdir[k][0] >= 0), key=lambda k: lib.segdir[k][0])
    segdir = [list(e) for e in lib.segdir]
    body = bytearray()
    for k in order:
        segdir[k][0] = pos + len(body)
        segdir[k][1] = len(lib.segs[k])
        body += lib.segs[k]
    tail_at = pos + len(body)
    delta = tail_at - lib.tail_at
    types = lib.segs[SEG_TYPEINFO]
    for n in range(len(keep)):
        o = n * TYPEINFO_SIZE + 4
        if i32(types, o) >= lib.tail_at:
            put32(types, o, i32(types, o) + delta)
    body = bytearray()
    for k in order:
        body += lib.segs[k]
    out = header + lib.helpdll_word + struct.pack(f"<{len(keep)}i", *[n * TYPEINFO_SIZE for n in range(len(keep))])
    for e in segdir:
        out += struct.pack("<4i", *e)
    return bytes(out + body + lib.tail)


def main(argv=None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if len(argv) < 4:
        print(__doc__, file=sys.stderr)
        return 2
    try:
        out = rewrite(Path(argv[0]).read_bytes(), [Path(p).read_bytes() for p in argv[3:]],
                      library_guid(Path(argv[2]).read_text(encoding="utf-8")))
    except Shape as e:
        print(f"{argv[0]}: {e}", file=sys.stderr)
        return 1
    Path(argv[1]).write_bytes(out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
