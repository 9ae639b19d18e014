"""Firmware images and containers, built byte by byte, for every Python test and script.

Nothing here comes from the program: the KFS1 and KFS3 layouts and the Philips file are written
from their format description, an image is filler with INQUIRY blocks put where a test wants
them, and an emulated drive's initial flash content is the documented seeded sequence
(xorshift32, four bytes a step, low byte first). Import it with

    sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
    import kfs_fixtures
"""
import random
import struct

MAGIC = b"KEMO FILE SYSTEM\x00"
INQUIRY_SIGNATURE = b"\x05\x80\x00"
PHILIPS_IDENT = b"Philips DVD"


def byte_sum(data):
    return sum(data) & 0xFFFF


# ---- images --------------------------------------------------------------------------------------

def remove_inquiry_signatures(data):
    """Filler must hold no INQUIRY signature of its own: only the blocks a fixture puts there may
    be found. Each 05 80 00 becomes 06 80 00 (in place; the bytearray is returned too)."""
    at = data.find(INQUIRY_SIGNATURE)
    while at >= 0:
        data[at] = 0x06
        at = data.find(INQUIRY_SIGNATURE, at)
    return data


def noise(size, seed):
    """Seeded pseudo-random filler."""
    return remove_inquiry_signatures(bytearray(random.Random(seed).randbytes(size)))


def pattern(size):
    """A short-period filler whose bytes are easy to tell apart in a dump."""
    return remove_inquiry_signatures(bytearray((i * 7 + 3) % 251 for i in range(size)))


def _field(text, width):
    raw = text if isinstance(text, bytes) else text.encode("latin-1")
    return raw[:width].ljust(width, b" ")


def put_inquiry(image, at, model, revision, hardware_id="K1", date_code="061122"):
    """An INQUIRY block (type 5, removable) with the identity texts at their byte positions:
    model (vendor and product, 24 characters) at 8, revision at 32, hardware id at 38, date code
    at 40; short texts padded with blanks, the rest of the 48 bytes zero."""
    image[at:at + 48] = bytes(48)
    image[at:at + 8] = bytes([0x05, 0x80, 0x00, 0x21, 0x1F, 0, 0, 0])
    image[at + 8:at + 32] = _field(model, 24)
    image[at + 32:at + 36] = _field(revision, 4)
    image[at + 38:at + 40] = _field(hardware_id, 2)
    image[at + 40:at + 46] = _field(date_code, 6)


def inquiry_blocks(image):
    """Where INQUIRY signatures start, in order."""
    found, at = [], image.find(INQUIRY_SIGNATURE)
    while at >= 0:
        found.append(at)
        at = image.find(INQUIRY_SIGNATURE, at + 1)
    return found


def flash_content(seed, size):
    """The first `size` bytes an emulated drive described with `seed` holds before any flash."""
    x = seed or 1
    out = bytearray()
    while len(out) < size:
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        out += x.to_bytes(4, "little")
    return bytes(out[:size])


# ---- containers ----------------------------------------------------------------------------------

def scramble(data, key):
    """The container's byte scrambling; applied twice with the same key it gives the data back."""
    out = bytearray(data)
    for i in range(len(out)):
        out[i] = (key + (i % 8) * 57 - out[i]) & 0xFF
        if i % 8 == 7:
            key = (key * 35) & 0xFF
    return bytes(out)


def kfs3_key(seed):
    s0, s1, s2, s3 = seed
    return ((s1 - s2) * s0 + s3) & 0xFF


def encode_kfs3_banks(banks, stride, mode=0, seed=(0, 0, 0, 0), ide=0, atapi=0, kernel_type=0,
                      reserved=(), kernel=(0, 0), checksum=0):
    """A KFS3 container of the given banks, as they are: every header field is the caller's, so
    that broken containers (a bank longer than its slot, a block past the image) can be made.
    ScrambleMode 2 scrambles the banks with the seed's key."""
    head = bytearray(56)
    head[0:17] = MAGIC
    head[24] = ord("3")
    head[25] = mode
    head[26] = ide
    head[27] = atapi
    head[28:32] = bytes(seed)
    struct.pack_into("<HB", head, 32, checksum, kernel_type)
    struct.pack_into("<IIIII", head, 36, len(banks), stride, len(reserved), *kernel)
    for b in banks:
        head += struct.pack("<I", len(b))
    for address, length in reserved:
        head += struct.pack("<II", address, length)
    key = kfs3_key(seed)
    for b in banks:
        head += scramble(b, key) if mode == 2 else b
    return bytes(head)


def encode_kfs3(image, stride, atapi, bank_sizes=None, reserved=(), ide=4, checksum=None):
    """A KFS3 container of plain banks: slot i is image[i*stride:], `bank_sizes[i]` bytes long
    (whole slots by default). The header check sum defaults to the image sum (type 6 leaves out
    the last 8 bytes)."""
    slots = len(image) // stride
    assert slots * stride == len(image)
    sizes = bank_sizes or [stride] * slots
    if checksum is None:
        checksum = byte_sum(image[:-8] if atapi == 6 else image)
    banks = [bytes(image[i * stride:i * stride + size]) for i, size in enumerate(sizes)]
    return encode_kfs3_banks(banks, stride, ide=ide, atapi=atapi, reserved=reserved,
                             checksum=checksum)


def encode_kfs1(banks, version=b"1", mode=0, checksum=0, keys=None):
    """A KFS1 container of up to 64 KB banks (the header grows to 112 bytes past eight banks).
    ScrambleMode 1 stores bank i scrambled with keys[i]: a decoder takes the key from the stored
    first byte + 2, so every such bank starts with 2."""
    head = bytearray(112 if len(banks) > 8 else 64)
    head[0:17] = MAGIC
    head[24] = version[0]
    head[25] = mode
    struct.pack_into("<HH", head, 32, checksum, len(banks))
    for i, b in enumerate(banks):
        struct.pack_into("<H", head, 36 + 2 * i, len(b))
    for i, b in enumerate(banks):
        if mode == 1 and b:
            assert b[0] == 2
            head += scramble(b, keys[i])
        else:
            head += b
    return bytes(head)


def encode_philips(image, checksum, trailer, ident=PHILIPS_IDENT):
    """A Philips firmware file: 36 bytes of identification, the image, two big-endian words."""
    return ident.ljust(36, b"\x00") + bytes(image) + struct.pack(">HH", checksum, trailer)


def decoded_image(image, stride, bank_sizes=None):
    """The image a KFS3 decoder yields: slot bytes past a bank's size read as zero."""
    if not bank_sizes:
        return bytes(image)
    out = bytearray(len(image))
    for i, size in enumerate(bank_sizes):
        out[i * stride:i * stride + size] = image[i * stride:i * stride + size]
    return bytes(out)


def fix_data_checksum(image, atapi, reserved=()):
    """Image sum less the reserved blocks (no kernel block here), low 16 bits."""
    limit = len(image) - 8 if atapi == 6 else len(image)
    total = sum(image[:limit])
    for address, length in reserved:
        total -= sum(image[address:min(address + length, limit)])
    return total & 0xFFFF
