import io
import math
import multiprocessing
import os
import random
import struct
import zipfile
import zlib
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import pytest

import _vantel_testhooks as hooks

VALUES = np.arange(48.0).reshape(3, 4, 4) * 0.25 - 1.0


def npy_header(shape_text):
    text = "{'descr': '<f8', 'fortran_order': False, 'shape': %s, }" % shape_text
    padding = -(len(text) + 11) % 64
    return b"\x93NUMPY\x01\x00" + struct.pack("<H", len(text) + padding + 1) + (text + " " * padding + "\n").encode()


def single_entry_zip(name, blob):
    """The archive the writer must produce: one stored entry, fixed fields."""
    name = name.encode()
    fields = (20, 0, 0, 0, 0x21, zlib.crc32(blob), len(blob), len(blob), len(name), 0)  # version 20, 1980-01-01
    local = struct.pack("<IHHHHHIIIHH", 0x04034B50, *fields) + name + blob
    central = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, *fields, 0, 0, 0, 0, 0) + name
    return local + central + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 1, 1, len(central), len(local), 0)


def zip_of(shape_text, payload=VALUES, compression=zipfile.ZIP_STORED):
    """Archive of a.npy with this shape text, e.g. one NumPy itself would not write."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", compression) as archive:
        archive.writestr("a.npy", npy_header(shape_text) + payload.tobytes())
    return buffer.getvalue()


def savez(save=np.savez, **arrays):
    buffer = io.BytesIO()
    save(buffer, **arrays)
    return buffer.getvalue()


def corrupt(archive, offset, fmt, value):
    """`archive` with a field of its (only) central-directory record set to `value`."""
    data = bytearray(archive)
    struct.pack_into(fmt, data, archive.rindex(b"PK\x01\x02") + offset, value)
    return bytes(data)


def read(archive):
    """(shape, values) or (error type, text), read from a file in memory (files on disk are slow)."""
    with open(os.memfd_create("archive"), "wb", buffering=0) as file:
        file.write(archive)
        try:
            return hooks.load_npz_array(f"/proc/self/fd/{file.fileno()}", "a")
        except (RuntimeError, ValueError, IndexError) as error:
            return type(error), str(error)


def read_in_child(archives):
    """A crash of the reader fails one test, not the run."""
    with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("fork")) as pool:
        return list(pool.map(read, archives, chunksize=250))


STORED = single_entry_zip("a.npy", npy_header("(3, 4, 4)") + VALUES.tobytes())
DEFLATED = savez(np.savez_compressed, a=VALUES)
READ = ([3, 4, 4], VALUES.ravel().tolist())
SHORT = "npz: .npy data shorter than shape implies"
NOT_F8 = 'npz: only little-endian float64 ("<f8") arrays are supported'


@pytest.mark.parametrize("shape, text", [((3, 4, 4), "(3, 4, 4)"), ((5,), "(5, )"), ((), "()"), ((2, 3), "(2, 3)"),
                                         ((0, 4, 4), "(0, 4, 4)"), ((12, 4, 4), "(12, 4, 4)")])
def test_writer_produces_the_exact_archive_and_numpy_reads_it(tmp_path, shape, text):
    array = np.arange(np.prod(shape)).reshape(shape) * 0.25 - 1.0
    path = tmp_path / "a.npz"
    hooks.save_npz_array(path, "robot_T_tcp_list", list(shape), array.ravel().tolist())
    header = npy_header(text)
    assert len(header) == 10 + 118
    assert path.read_bytes() == single_entry_zip("robot_T_tcp_list.npy", header + array.tobytes())
    with np.load(path) as archive:
        np.testing.assert_array_equal(archive["robot_T_tcp_list"], array, strict=True)
    assert hooks.load_npz_array(path, "robot_T_tcp_list") == (list(shape), array.ravel().tolist())


@pytest.mark.parametrize("archive, expected", [
    *[(savez(save, first=np.arange(7.0), second=np.ones((2, 5)), a=VALUES), READ)
      for save in [np.savez, np.savez_compressed]],
    (zip_of("(3L, 4L, 4L)"), READ),
    (b"PK\x05\x06" + bytes(17), (RuntimeError, "npz: not a valid ZIP archive (no EOCD record)")),
    (STORED + bytes(0x10800), (RuntimeError, "npz: not a valid ZIP archive (no EOCD record)")),
    (single_entry_zip("b.npy", b""), (RuntimeError, "npz: entry 'a.npy' not found in archive")),
    (corrupt(STORED, 16, "<I", 0), (RuntimeError, "npz: CRC-32 mismatch in entry 'a.npy'")),
    (corrupt(STORED, 20, "<I", 5000), (RuntimeError, "npz: ZIP entry data runs past end of file")),
    (corrupt(STORED, 42, "<I", 7), (RuntimeError, "npz: malformed ZIP local file header")),
    (corrupt(STORED, 10, "<H", 12), (RuntimeError, "npz: unsupported ZIP compression method 12")),
    *[(corrupt(STORED, offset, "<I", 0xFFFFFFFF), (RuntimeError, "npz: ZIP64 entry 'a.npy' is not supported"))
      for offset in [20, 24, 42]],
    (STORED[:-6] + b"\xff\xff\xff\xff\x00\x00", (RuntimeError, "npz: ZIP64 archives are not supported")),
    (STORED[:-6] + b"\x01\x00\x00\x00\x00\x00", (RuntimeError, "npz: malformed ZIP central directory")),
    (corrupt(DEFLATED, 24, "<I", 2_000_000_000),
     (RuntimeError, "npz: ZIP entry claims an uncompressed size its compressed data cannot hold")),
    (corrupt(DEFLATED, 24, "<I", 1000), (RuntimeError, "npz: zlib inflate failed on entry")),
    *[(savez(a=np.arange(4, dtype=dtype)), (RuntimeError, NOT_F8)) for dtype in [np.int64, ">f8"]],
    (savez(a=np.asfortranarray(np.ones((3, 4)))), (RuntimeError, "npz: fortran-order arrays are not supported")),
    (zip_of("(99999999999999999999999, )"), (IndexError, "stoull argument out of range")),
    *[(zip_of(text), (ValueError, "invalid stoull argument")) for text in ["(x, 4)", "(-1, 4)"]],
], ids=lambda value: value[1] if isinstance(value, tuple) and isinstance(value[1], str) else "")
def test_odd_and_bad_archives(archive, expected):
    assert read_in_child([archive]) == [expected]


def test_random_archives_give_the_right_array_or_an_error():
    # Truncations, flipped bytes and bogus 16/32-bit fields at random places.
    rng = random.Random(20261206)
    sources, archives = [STORED, DEFLATED, savez(other=np.ones(3), a=VALUES)], []
    for case in range(4000):
        kind, data = rng.randrange(4), bytearray(sources[case % 3])
        if kind == 0:
            data = data[:rng.randrange(len(data))]
        elif kind == 1:
            for _ in range(rng.randint(1, 4)):
                data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
        else:
            width = rng.choice([2, 4])
            position = rng.randrange(len(data) - width)
            top = (1 << (8 * width)) - 1
            value = rng.choice([0, top, top - 1, len(data), len(data) + rng.randint(-64, 64), rng.randint(0, top)])
            data[position:position + width] = (value & top).to_bytes(width, "little")
        archives.append(bytes(data))
    results = read_in_child(archives)
    arrays = [result for result in results if not isinstance(result[0], type)]
    assert all(array == READ for array in arrays)
    assert len(results) - len(arrays) > 1000 and len(arrays) > 100
    # Random shape tuples: zero extents beside huge ones, and element counts that overflow 64 bits.
    rng = random.Random(7)
    payload, archives, expected = np.arange(64.0), [], []
    for _ in range(1000):
        shape = [rng.choice([0, 1, 2, 3, 4, 8, 64, 65, 2**32, 2**63, 2**64 - 1]) for _ in range(rng.randint(0, 4))]
        archives.append(zip_of(str(tuple(shape)), payload, rng.choice([zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED])))
        count = math.prod(shape)
        expected.append((shape, payload[:count].tolist()) if count <= 64 else (RuntimeError, SHORT))
    assert read_in_child(archives) == expected
    assert sum(isinstance(result[0], list) for result in expected) > 100
