"""The simulator's screen image decodes as the file format says: PNG chunks with valid CRCs and a
zlib stream that Python's own zlib inflates to the scanlines, and BMP headers that fit the data.

Usage: screen_image_test.py <korvane-scope-sim>
"""
import socket
import struct
import subprocess
import sys
import unittest
import zlib

SIM = None


class Simulator:
    def __enter__(self):
        self.p = subprocess.Popen([SIM, "--port", "0", "--model", "MSO-CD1000"], stdout=subprocess.PIPE, text=True)
        line = self.p.stdout.readline()
        if not line.startswith("listening on 127.0.0.1:"):
            self.p.kill()
            raise RuntimeError(f"simulator did not start: {line!r}")
        self.sock = socket.create_connection(("127.0.0.1", int(line.split(":")[1].split()[0])), timeout=20)
        self.rx = b""
        return self

    def __exit__(self, *exc):
        self.sock.close()
        self.p.terminate()
        self.p.wait(timeout=10)
        self.p.stdout.close()

    def _need(self, n):
        while len(self.rx) < n:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError("connection closed")
            self.rx += chunk

    def block(self, command):
        self.sock.sendall(command.encode() + b"\n")
        self._need(2)
        assert self.rx[:1] == b"#", self.rx[:40]
        digits = int(self.rx[1:2])
        self._need(2 + digits)
        size = int(self.rx[2:2 + digits])
        self._need(2 + digits + size + 1)
        body, self.rx = self.rx[2 + digits:2 + digits + size], self.rx[2 + digits + size + 1:]
        return body


def png_chunks(data):
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    at, chunks = 8, []
    while at < len(data):
        (length,) = struct.unpack(">I", data[at:at + 4])
        kind, body = data[at + 4:at + 8], data[at + 8:at + 8 + length]
        (crc,) = struct.unpack(">I", data[at + 8 + length:at + 12 + length])
        chunks.append((kind, body, crc == zlib.crc32(kind + body) & 0xFFFFFFFF))
        at += 12 + length
    return chunks


class ScreenImage(unittest.TestCase):
    def test_png_decodes_to_the_traces(self):
        with Simulator() as sim:
            for palette, colour_type, channels in (("COL", 2, 3), ("GRAY", 0, 1)):
                with self.subTest(palette=palette):
                    chunks = png_chunks(sim.block(f":DISP:DATA? PNG,{palette}"))
                    self.assertTrue(all(ok for _, _, ok in chunks), "chunk CRC")
                    self.assertEqual([k for k, _, _ in chunks], [b"IHDR", b"IDAT", b"IEND"])
                    width, height, depth, ctype = struct.unpack(">IIBB", chunks[0][1][:10])
                    self.assertEqual((depth, ctype), (8, colour_type))
                    raw = zlib.decompress(chunks[1][1])
                    stride = 1 + channels * width
                    self.assertEqual(len(raw), height * stride)
                    rows = [raw[y * stride:(y + 1) * stride] for y in range(height)]
                    self.assertTrue(all(r[0] == 0 for r in rows), "filter type 0 on every line")
                    if channels == 3:
                        # Every column shows a trace in one of the channel colours.
                        colours = {(255, 220, 0), (0, 200, 0), (80, 140, 255), (255, 60, 60)}
                        columns = {x for r in rows for x in range(width) if tuple(r[1 + 3 * x:4 + 3 * x]) in colours}
                        self.assertEqual(len(columns), width)

    def test_bmp_headers_fit_the_pixels(self):
        with Simulator() as sim:
            for fmt, bits in (("BMP", 24), ("BMP8", 8)):
                with self.subTest(fmt=fmt):
                    data = sim.block(f":DISP:DATA? {fmt},COL")
                    self.assertEqual(data[:2], b"BM")
                    size, _, offset, header, width, height, _, bpp = struct.unpack("<IIIIiiHH", data[2:30])
                    self.assertEqual((size, header, bpp), (len(data), 40, bits))
                    stride = (width * bits // 8 + 3) & ~3
                    self.assertEqual(offset + stride * height, len(data))


if __name__ == "__main__":
    SIM = sys.argv.pop(1)
    unittest.main()
