#!/usr/bin/env python3
"""A second, independent model of the Blowfish/RC4 message cipher, written
plainly for checking rather than speed. Run it only to regenerate the golden
vectors (cipher_vectors.inc beside this file) and the cipher's initial tables
(lowlevel/blowfish_tables.cpp):

    python3 tests/lowlevel/cipher_vectors.py

The initial tables are the fractional hexadecimal digits of pi, computed here
with Machin's formula and checked against the classic Blowfish known answer
before anything is written.
"""
import os
import struct
import sys

M32 = 0xFFFFFFFF


def pi_fraction_words(count):
    bits = count * 32 + 64
    one = 1 << bits

    def atan_inv(x):
        total = term = one // x
        x2, n, sign = x * x, 1, -1
        while term:
            term //= x2
            n += 2
            total += sign * (term // n)
            sign = -sign
        return total

    pi = 16 * atan_inv(5) - 4 * atan_inv(239)
    frac = (pi - 3 * one) >> 64
    return [(frac >> (32 * (count - 1 - i))) & M32 for i in range(count)]


PI_WORDS = pi_fraction_words(18 + 4 * 256)
INIT_P = PI_WORDS[:18]
INIT_S = [PI_WORDS[18 + 256 * b:18 + 256 * (b + 1)] for b in range(4)]


class Blowfish:
    """Blowfish with a selectable byte order: the classic one (big-endian
    halves and key words, S0 indexed by the top byte) only checks the tables;
    the variant takes everything least significant byte first."""

    def __init__(self, key, variant=True):
        self.variant = variant
        self.P = list(INIT_P)
        self.S = [list(s) for s in INIT_S]
        n = len(key)
        for i in range(18):
            b = [key[(4 * i + k) % n] for k in range(4)]
            if variant:
                w = b[0] | b[1] << 8 | b[2] << 16 | b[3] << 24
            else:
                w = b[3] | b[2] << 8 | b[1] << 16 | b[0] << 24
            self.P[i] ^= w
        l = r = 0
        for i in range(0, 18, 2):
            l, r = self.encipher(l, r)
            self.P[i], self.P[i + 1] = l, r
        for box in range(4):
            for j in range(0, 256, 2):
                l, r = self.encipher(l, r)
                self.S[box][j], self.S[box][j + 1] = l, r

    def f(self, x):
        b = [(x >> (8 * k)) & 0xFF for k in range(4)]
        if not self.variant:
            b.reverse()
        s = self.S
        return (((s[0][b[0]] + s[1][b[1]]) & M32) ^ s[2][b[2]]) + s[3][b[3]] & M32

    def encipher(self, l, r):
        for i in range(16):
            l ^= self.P[i]
            r ^= self.f(l)
            l, r = r, l
        l, r = r, l
        r ^= self.P[16]
        l ^= self.P[17]
        return l, r

    def decipher(self, l, r):
        for i in range(17, 1, -1):
            l ^= self.P[i]
            r ^= self.f(l)
            l, r = r, l
        l, r = r, l
        r ^= self.P[1]
        l ^= self.P[0]
        return l, r


def check_tables():
    bf = Blowfish(bytes(8), variant=False)
    assert bf.encipher(0, 0) == (0x4EF99745, 0x6198DD78), "pi tables are wrong"
    bf = Blowfish(b"\xff" * 8, variant=False)
    assert bf.encipher(M32, M32) == (0x51866FD5, 0xB85ECB8A), "pi tables are wrong"


class RC4:
    def __init__(self, key=b""):
        self.set_keys(key)

    def set_keys(self, key):
        self.org = list(range(256))
        self.i = self.j = 0
        if not key:
            self.k = list(range(256))
            return
        buf = (key * (256 // len(key) + 1))[:256]
        self.reset(buf)
        self.org = list(self.k)

    def schedule(self, code):
        j = 0
        for i in range(256):
            j = (j + self.k[i] + code[i % len(code)]) & 0xFF
            self.k[i], self.k[j] = self.k[j], self.k[i]
        self.i = self.j = 0

    def reset(self, code):
        self.k = list(self.org)
        self.schedule(code)

    def byte(self):
        self.i = (self.i + 1) & 0xFF
        self.j = (self.j + self.k[self.i]) & 0xFF
        self.k[self.i], self.k[self.j] = self.k[self.j], self.k[self.i]
        return self.k[(self.k[self.i] + self.k[self.j]) & 0xFF]

    def word(self):
        return self.byte() | self.byte() << 8 | self.byte() << 16 | self.byte() << 24


def words(data):
    return list(struct.unpack("<%dI" % (len(data) // 4), data))


def pack(ws):
    return struct.pack("<%dI" % len(ws), *ws)


class Cipher:
    def __init__(self, key):
        self.rc4 = RC4(key)
        self.bf = Blowfish(key if key else b" ")
        self.ivl = self.ivr = 0
        self.chk = [0, 0]
        self.ksf = [0, 0]

    def reset_iv(self, ivl, ivr):
        self.ivl, self.ivr = ivl, ivr
        code = b""
        for i in range(32):
            l, r = self.bf.encipher(ivl, i)
            code += pack([l, r ^ ivr])
        self.rc4.reset(code)
        self.chk = [0, 0]
        self.ksf = [self.rc4.word(), self.rc4.word()]

    def encode(self, data):
        out = []
        w = words(data)
        for n in range(0, len(w), 2):
            pl, pr = w[n], w[n + 1]
            self.chk[0] ^= pl
            self.chk[1] ^= pr
            l, r = self.bf.encipher(pl ^ self.ivl, pr ^ self.ivr)
            l ^= self.rc4.word()
            r ^= self.rc4.word()
            out += [l, r]
            self.ivl, self.ivr = l, r
        return pack(out)

    def decode(self, data):
        out = []
        w = words(data)
        for n in range(0, len(w), 2):
            cl, cr = w[n], w[n + 1]
            l = cl ^ self.rc4.word()
            r = cr ^ self.rc4.word()
            l, r = self.bf.decipher(l, r)
            l ^= self.ivl
            r ^= self.ivr
            self.chk[0] ^= l
            self.chk[1] ^= r
            self.ivl, self.ivr = cl, cr
            out += [l, r]
        return pack(out)

    def final(self):
        l = self.chk[0] ^ self.rc4.word()
        r = self.chk[1] ^ self.rc4.word()
        l, r = self.bf.encipher(l, r)
        return pack([l ^ self.ksf[0], r ^ self.ksf[0]])

    # Alternative mode, run here on an instance with a known key.
    def encipher_chunk(self, chunk):
        w = words(chunk)
        cl = cr = 0
        for b in list(range(32)) + list(range(31)):
            l, r = self.bf.encipher(w[2 * b] ^ cl, w[2 * b + 1] ^ cr)
            w[2 * b], w[2 * b + 1] = l, r
            cl, cr = l, r
        return pack(w)

    def decipher_chunk(self, chunk):
        w = words(chunk)
        cl, cr = w[62], w[63]
        for b in range(31):
            c = (w[2 * b], w[2 * b + 1])
            l, r = self.bf.decipher(*c)
            w[2 * b], w[2 * b + 1] = l ^ cl, r ^ cr
            cl, cr = c
        cl = cr = 0
        for b in range(32):
            c = (w[2 * b], w[2 * b + 1])
            l, r = self.bf.decipher(*c)
            w[2 * b], w[2 * b + 1] = l ^ cl, r ^ cr
            cl, cr = c
        return pack(w)

    def alt_encode(self, data):
        m = len(data) // 256
        g = RC4()
        for j in range(1, m):
            g.schedule(data[256 * j:256 * j + 128])
        t = pack([a ^ g.word() for a in words(data[:256])])
        t = self.encipher_chunk(t)
        head = self.encipher_chunk(t)
        g.set_keys(t)
        tail = pack([a ^ g.word() for a in words(data[256:])])
        return head + tail

    def alt_decode(self, data):
        m = len(data) // 256
        t = self.decipher_chunk(data[:256])
        g = RC4(t)
        tail = pack([a ^ g.word() for a in words(data[256:])])
        g.set_keys(b"")
        for j in range(1, m):
            g.schedule(tail[256 * (j - 1):256 * (j - 1) + 128])
        t = self.decipher_chunk(t)
        head = pack([a ^ g.word() for a in words(t)])
        return head + tail


def compress_key_material(data):
    out = bytes(16)
    while len(data) >= 28:
        out = Cipher(data[:28]).encode(out)
        data = data[28:]
    return Cipher(data + b"\x80").encode(out)


def derive_key(pwd, salt, label):
    return compress_key_material(salt) + compress_key_material(label) + compress_key_material(pwd)


def pattern(n, seed):
    x = seed
    out = bytearray()
    for _ in range(n):
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        out.append((x >> 16) & 0xFF)
    return bytes(out)


def c_bytes(b):
    return '"' + b.hex() + '"'


def main():
    check_tables()
    here = os.path.dirname(os.path.abspath(__file__))
    root = os.path.dirname(os.path.dirname(here))

    lines = ["// Generated by tests/lowlevel/cipher_vectors.py; do not edit.", ""]

    # Block cipher after key expansion.
    lines.append("// key, L, R, enciphered L, enciphered R")
    lines.append("static const BlockVector kBlockVectors[] = {")
    for key, l, r in [(b"", 0, 0), (b"abc", 0x01234567, 0x89ABCDEF),
                      (bytes(range(56)), M32, 0), (b"\x00" * 8, 0, 0)]:
        el, er = Blowfish(key if key else b" ").encipher(l, r)
        lines.append("    {%s, 0x%08Xu, 0x%08Xu, 0x%08Xu, 0x%08Xu}," % (c_bytes(key), l, r, el, er))
    lines.append("};")
    lines.append("")

    lines.append("// key, the first eight key-stream words")
    lines.append("static const Rc4Vector kRc4Vectors[] = {")
    for key in [b"", b"Key", bytes(range(256)), pattern(300, 4)]:
        g = RC4(key)
        ws = ", ".join("0x%08Xu" % g.word() for _ in range(8))
        lines.append("    {%s, {%s}}," % (c_bytes(key), ws))
    lines.append("};")
    lines.append("")

    lines.append("// key, IVl, IVr, plain text, cipher text, check value")
    lines.append("static const MessageVector kMessageVectors[] = {")
    cases = [(b"", 0, 0, 0), (b"secret", 0x11223344, 0x55667788, 8),
             (b"secret", 0xDEADBEEF, 0x0BADF00D, 64),
             (pattern(48, 7), 0x9E3779B9, 0x7F4A7C15, 520),
             (b"\x80", 0, 0, 16), (pattern(260, 3), 1, 2, 40)]
    for key, ivl, ivr, n in cases:
        plain = pattern(n, n + len(key))
        c = Cipher(key)
        c.reset_iv(ivl, ivr)
        ct = c.encode(plain)
        mac = c.final()
        d = Cipher(key)
        d.reset_iv(ivl, ivr)
        assert d.decode(ct) == plain and d.final() == mac
        lines.append("    {%s, 0x%08Xu, 0x%08Xu, %s, %s, %s}," % (
            c_bytes(key), ivl, ivr, c_bytes(plain), c_bytes(ct), c_bytes(mac)))
    lines.append("};")
    lines.append("")

    lines.append("// key, plain text, cipher text of an encode without IV setup")
    lines.append("static const FreshVector kFreshVectors[] = {")
    for key in [b"k", bytes(range(28))]:
        plain = pattern(24, 5)
        lines.append("    {%s, %s, %s}," % (c_bytes(key), c_bytes(plain), c_bytes(Cipher(key).encode(plain))))
    lines.append("};")
    lines.append("")

    lines.append("// key material, its 16-byte compression")
    lines.append("static const CompressVector kCompressVectors[] = {")
    for n in [0, 1, 27, 28, 29, 56, 60]:
        data = pattern(n, 11)
        lines.append("    {%s, %s}," % (c_bytes(data), c_bytes(compress_key_material(data))))
    lines.append("};")
    lines.append("")

    lines.append("// password, salt, label, derived 48-byte key")
    lines.append("static const DeriveVector kDeriveVectors[] = {")
    for pwd, salt, label in [(b"", b"", b""), (b"Passwort", pattern(16, 1), b"login"),
                             (pattern(70, 2), pattern(28, 3), b"table")]:
        lines.append("    {%s, %s, %s, %s}," % (c_bytes(pwd), c_bytes(salt), c_bytes(label),
                                                 c_bytes(derive_key(pwd, salt, label))))
    lines.append("};")
    lines.append("")

    lines.append("// key, plain text, alternative-mode form")
    lines.append("static const AltVector kAltVectors[] = {")
    for key, n in [(b"alt", 256), (b"alt", 512), (pattern(16, 9), 768)]:
        plain = pattern(n, n)
        c = Cipher(key)
        enc = c.alt_encode(plain)
        assert c.alt_decode(enc) == plain
        lines.append("    {%s, %s, %s}," % (c_bytes(key), c_bytes(plain), c_bytes(enc)))
    lines.append("};")

    with open(os.path.join(here, "cipher_vectors.inc"), "w") as f:
        f.write("\n".join(lines) + "\n")

    t = ["// Generated by tests/lowlevel/cipher_vectors.py; do not edit.",
         "// The fractional hexadecimal digits of pi: 18 words of the P-array, then",
         "// the four S-boxes of 256 words each.",
         "#include \"lowlevel/blowfish_tables.h\"",
         "",
         "namespace revurov {",
         "",
         "const uint32_t nxBlowfishInitialP[18] = {"]
    for i in range(0, 18, 6):
        t.append("    " + ", ".join("0x%08X" % w for w in INIT_P[i:i + 6]) + ",")
    t.append("};")
    t.append("")
    t.append("const uint32_t nxBlowfishInitialS[4][256] = {")
    for box in INIT_S:
        t.append("    {")
        for i in range(0, 256, 6):
            t.append("        " + ", ".join("0x%08X" % w for w in box[i:i + 6]) + ",")
        t.append("    },")
    t.append("};")
    t.append("")
    t.append("}  // namespace revurov")
    with open(os.path.join(root, "lowlevel", "blowfish_tables.cpp"), "w") as f:
        f.write("\n".join(t) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
