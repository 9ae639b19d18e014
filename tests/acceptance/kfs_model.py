"""Containers, images and emulated flash content, built byte by byte for the acceptance tests.

Nothing here comes from the program: the KFS3 layout and the Philips file are written from their
format description, and the emulated drive's initial flash content is the documented seeded
sequence (xorshift32, four bytes a step, low byte first)."""
import os
import random
import struct

MAGIC = b"KEMO FILE SYSTEM\x00"
INQUIRY_SIGNATURE = b"\x05\x80\x00"


def byte_sum(data):
    return sum(data) & 0xFFFF


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


def noise(size, seed):
    """Deterministic filler without stray INQUIRY signatures."""
    data = random.Random(seed).randbytes(size)
    return bytearray(data.replace(INQUIRY_SIGNATURE, b"\x06\x80\x00"))


def put_inquiry(image, at, model, revision, hardware_id="K1", date_code="061122"):
    """An INQUIRY block (type 5, removable) with the identity texts at their byte positions."""
    image[at:at + 48] = bytes(48)
    image[at:at + 8] = bytes([0x05, 0x80, 0x00, 0x21, 0x1F, 0, 0, 0])
    image[at + 8:at + 32] = model.encode("latin-1").ljust(24)
    image[at + 32:at + 36] = revision.encode("latin-1").ljust(4)
    image[at + 38:at + 40] = hardware_id.encode("latin-1")
    image[at + 40:at + 46] = date_code.encode("latin-1")


def inquiry_blocks(image):
    found, at = [], image.find(INQUIRY_SIGNATURE)
    while at >= 0:
        found.append(at)
        at = image.find(INQUIRY_SIGNATURE, at + 1)
    return found


def encode_kfs3(image, stride, atapi, bank_sizes=None, reserved=(), ide=4, checksum=None):
    """A KFS3 container of plain banks: slot i is image[i*stride:], `bank_sizes[i]` bytes long
    (whole slots by default). The header check sum defaults to the image sum (type 6 leaves out
    the last 8 bytes)."""
    slots = len(image) // stride
    assert slots * stride == len(image)
    sizes = bank_sizes or [stride] * slots
    if checksum is None:
        checksum = byte_sum(image[:-8] if atapi == 6 else image)
    head = bytearray(56)
    head[0:17] = MAGIC
    head[24] = ord("3")
    head[26] = ide
    head[27] = atapi
    struct.pack_into("<H", head, 32, checksum)
    struct.pack_into("<IIIII", head, 36, len(sizes), stride, len(reserved), 0, 0)
    for size in sizes:
        head += struct.pack("<I", size)
    for address, length in reserved:
        head += struct.pack("<II", address, length)
    for i, size in enumerate(sizes):
        head += image[i * stride:i * stride + size]
    return bytes(head)


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


def encode_philips(image, checksum, trailer, ident=b"Philips DVD"):
    """A Philips firmware file: 36 bytes of identification, the image, two big-endian words."""
    return ident.ljust(36, b"\x00") + bytes(image) + struct.pack(">HH", checksum, trailer)


class Workspace:
    """A test's working folder: files written there by name, and a count of failed checks."""

    def __init__(self, work):
        self.work = work
        self.failures = 0

    def path(self, name):
        return os.path.join(self.work, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as out:
            out.write(data)
        return self.path(name)
