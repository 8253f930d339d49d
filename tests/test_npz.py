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
    crc = zlib.crc32(blob)
    local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 0, 0, 0x21, crc, len(blob), len(blob), len(name), 0)
    offset = len(local) + len(name) + len(blob)
    central = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, 0, 0, 0x21, crc, len(blob), len(blob),
                          len(name), 0, 0, 0, 0, 0, 0)
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 1, 1, 46 + len(name), offset, 0)
    return local + name + blob + central + name + end


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


def read_all(archives):
    """(shape, values) or (error type, text) per archive, read from one file in memory (files on disk are slow)."""
    fd = os.memfd_create("archive")
    results = []
    for archive in archives:
        os.ftruncate(fd, 0)
        os.pwrite(fd, archive, 0)
        try:
            results.append(hooks.load_npz_array(f"/proc/self/fd/{fd}", "a"))
        except (RuntimeError, ValueError, IndexError) as error:
            results.append((type(error), str(error)))
    os.close(fd)
    return results


def read_in_child(archives):
    """read_all in a child process: a crash of the reader fails one test, not the run."""
    with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("fork")) as pool:
        return pool.submit(read_all, archives).result()


STORED = single_entry_zip("a.npy", npy_header("(3, 4, 4)") + VALUES.tobytes())
DEFLATED = savez(np.savez_compressed, a=VALUES)
READ = ([3, 4, 4], VALUES.ravel().tolist())
SHORT = "npz: .npy data shorter than shape implies"
NOT_F8 = 'npz: only little-endian float64 ("<f8") arrays are supported'


@pytest.mark.parametrize("shape, shape_text", [
    ((3, 4, 4), "(3, 4, 4)"), ((5,), "(5, )"), ((), "()"), ((0, 4, 4), "(0, 4, 4)"), ((12, 4, 4), "(12, 4, 4)"),
    ((2, 3), "(2, 3)")])
def test_writer_produces_the_exact_archive_and_numpy_reads_it(tmp_path, shape, shape_text):
    array = np.arange(np.prod(shape)).reshape(shape) * 0.25 - 1.0
    path = tmp_path / "a.npz"
    hooks.save_npz_array(path, "robot_T_tcp_list", list(shape), array.ravel().tolist())
    header = npy_header(shape_text)
    assert len(header) == 10 + 118
    assert path.read_bytes() == single_entry_zip("robot_T_tcp_list.npy", header + array.tobytes())
    with np.load(path) as archive:
        assert archive.files == ["robot_T_tcp_list"] and archive["robot_T_tcp_list"].shape == shape
        np.testing.assert_array_equal(archive["robot_T_tcp_list"], array)
    assert hooks.load_npz_array(path, "robot_T_tcp_list") == (list(shape), array.ravel().tolist())


@pytest.mark.parametrize("archive, expected", [
    (savez(first=np.arange(7.0), second=np.ones((2, 5)), a=VALUES), READ),
    (savez(np.savez_compressed, first=np.arange(7.0), second=np.ones((2, 5)), a=VALUES), READ),
    (zip_of("(3L, 4L, 4L)"), READ),
    (zip_of("(18446744073709551615, 0, 4)"), ([2**64 - 1, 0, 4], [])),
    (b"PK\x05\x06" + bytes(17), (RuntimeError, "npz: not a valid ZIP archive (no EOCD record)")),
    (STORED + bytes(0x10800), (RuntimeError, "npz: not a valid ZIP archive (no EOCD record)")),
    (single_entry_zip("b.npy", b""), (RuntimeError, "npz: entry 'a.npy' not found in archive")),
    (corrupt(STORED, 16, "<I", 0), (RuntimeError, "npz: CRC-32 mismatch in entry 'a.npy'")),
    (STORED.replace(b"\x00\x00\xe0?", b"\x00\x00\xe0>", 1), (RuntimeError, "npz: CRC-32 mismatch in entry 'a.npy'")),
    (corrupt(STORED, 20, "<I", 5000), (RuntimeError, "npz: ZIP entry data runs past end of file")),
    (corrupt(STORED, 42, "<I", 7), (RuntimeError, "npz: malformed ZIP local file header")),
    (corrupt(STORED, 10, "<H", 12), (RuntimeError, "npz: unsupported ZIP compression method 12")),
    (corrupt(STORED, 20, "<I", 0xFFFFFFFF), (RuntimeError, "npz: ZIP64 entry 'a.npy' is not supported")),
    (corrupt(STORED, 24, "<I", 0xFFFFFFFF), (RuntimeError, "npz: ZIP64 entry 'a.npy' is not supported")),
    (STORED[:-6] + b"\xff\xff\xff\xff\x00\x00", (RuntimeError, "npz: ZIP64 archives are not supported")),
    (STORED[:-6] + b"\x01\x00\x00\x00\x00\x00", (RuntimeError, "npz: malformed ZIP central directory")),
    (corrupt(DEFLATED, 24, "<I", 2_000_000_000),
     (RuntimeError, "npz: ZIP entry claims an uncompressed size its compressed data cannot hold")),
    (corrupt(DEFLATED, 24, "<I", 1000), (RuntimeError, "npz: zlib inflate failed on entry")),
    (savez(a=np.arange(4, dtype=np.int64)), (RuntimeError, NOT_F8)),
    (savez(a=np.arange(4, dtype=">f8")), (RuntimeError, NOT_F8)),
    (savez(a=np.asfortranarray(np.ones((3, 4)))), (RuntimeError, "npz: fortran-order arrays are not supported")),
    (zip_of("(4294967296, 4294967296, 2)"), (RuntimeError, SHORT)),
    (zip_of("(18446744073709551615, 18446744073709551615)"), (RuntimeError, SHORT)),
    (zip_of("(3, 4, 5)"), (RuntimeError, SHORT)),
    (zip_of("(99999999999999999999999, )"), (IndexError, "stoull argument out of range")),
    (zip_of("(x, 4)"), (ValueError, "invalid stoull argument")),
    (zip_of("(-1, 4)"), (ValueError, "invalid stoull argument")),
], ids=lambda value: value[1] if isinstance(value, tuple) and isinstance(value[1], str) else "")
def test_odd_and_bad_archives(archive, expected):
    assert read_in_child([archive]) == [expected]


def mutations(rng, archive):
    """Truncations, flipped bytes and bogus 16/32-bit fields at random places."""
    kind = rng.randrange(4)
    data = bytearray(archive)
    if kind == 0:
        return bytes(data[:rng.randrange(len(data))])
    if kind == 1:
        for _ in range(rng.randint(1, 4)):
            data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
        return bytes(data)
    width = rng.choice([2, 4])
    position = rng.randrange(len(data) - width)
    limit = (1 << (8 * width)) - 1
    value = rng.choice([0, limit, limit - 1, len(data), len(data) + rng.randint(-64, 64), rng.randint(0, limit)])
    data[position:position + width] = (value & limit).to_bytes(width, "little")
    return bytes(data)


def test_random_archives_give_the_right_array_or_an_error():
    rng = random.Random(20261206)
    sources = [STORED, DEFLATED, savez(other=np.ones(3), a=VALUES)]
    results = read_in_child([mutations(rng, sources[case % 3]) for case in range(4000)])
    arrays = [result for result in results if not isinstance(result[0], type)]
    assert all(array == READ for array in arrays)
    assert len(results) - len(arrays) > 1000 and len(arrays) > 100
    # Random shape tuples, some whose element count overflows 64 bits.
    rng = random.Random(7)
    payload = np.arange(64.0)
    archives, expected = [], []
    for _ in range(1000):
        shape = [rng.choice([0, 1, 2, 3, 4, 8, 64, 65, 2**32, 2**63, 2**64 - 1]) for _ in range(rng.randint(0, 4))]
        text = "(" + ", ".join(map(str, shape)) + ("," if len(shape) == 1 else "") + ")"
        compression = rng.choice([zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED])
        archives.append(zip_of(text, payload, compression))
        count = math.prod(shape)
        expected.append((shape, payload[:count].tolist()) if count <= 64 else (RuntimeError, SHORT))
    assert read_in_child(archives) == expected
    assert sum(isinstance(result[0], list) for result in expected) > 100
