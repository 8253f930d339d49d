import os
import random
import struct
import zipfile
import zlib

import numpy as np
import pytest

import _vantel_testhooks as hooks
from npz_samples import central_record_offset, npy_blob, npy_header, single_entry_zip, zip_of

SHAPES = [(3, 4, 4), (5,), (), (0, 4, 4), (12, 4, 4), (2, 3)]


def values_for(shape):
    return np.arange(int(np.prod(shape)), dtype=np.float64).reshape(shape) * 0.25 - 1.0


def load(path, key):
    shape, data = hooks.load_npz_array(path, key)
    return np.array(data, dtype=np.float64).reshape(shape)


@pytest.mark.parametrize("shape", SHAPES)
def test_writer_produces_the_exact_archive_and_numpy_reads_it(tmp_path, shape):
    array = values_for(shape)
    path = tmp_path / "a.npz"
    hooks.save_npz_array(path, "robot_T_tcp_list", list(shape), array.ravel().tolist())

    written = path.read_bytes()
    assert written == single_entry_zip("robot_T_tcp_list.npy", npy_blob(array))
    with np.load(path) as archive:
        assert archive.files == ["robot_T_tcp_list"]
        np.testing.assert_array_equal(archive["robot_T_tcp_list"], array)
        assert archive["robot_T_tcp_list"].shape == shape
    np.testing.assert_array_equal(load(path, "robot_T_tcp_list"), array)


@pytest.mark.parametrize("shape, tail", [((3, 4, 4), b"(3, 4, 4), }"), ((5,), b"(5, ), }"), ((), b"(), }")])
def test_header_text_and_data_offset(tmp_path, shape, tail):
    path = tmp_path / "a.npz"
    hooks.save_npz_array(path, "k", list(shape), values_for(shape).ravel().tolist())
    blob = path.read_bytes()[30 + len("k.npy"):]
    header_length = struct.unpack_from("<H", blob, 8)[0]
    assert header_length == 118
    assert blob[10:10 + header_length].rstrip(b" \n").endswith(tail)
    assert blob[10 + header_length - 1:10 + header_length] == b"\n"


@pytest.mark.parametrize("compressed", [False, True])
def test_numpy_archives_with_several_arrays(tmp_path, compressed):
    arrays = {"first": np.arange(7.0), "robot_T_tcp_list": values_for((3, 4, 4)), "last": np.ones((2, 5))}
    path = tmp_path / "n.npz"
    (np.savez_compressed if compressed else np.savez)(path, **arrays)
    with zipfile.ZipFile(path) as archive:
        methods = {info.compress_type for info in archive.infolist()}
    assert methods == {zipfile.ZIP_DEFLATED if compressed else zipfile.ZIP_STORED}
    for key, array in arrays.items():
        np.testing.assert_array_equal(load(path, key), array)


def test_shape_numbers_with_trailing_letters_are_read(tmp_path):
    path = tmp_path / "old.npz"
    zip_of(path, {"a.npy": npy_header("(3L, 4L, 4L)") + values_for((3, 4, 4)).tobytes()})
    assert load(path, "a").shape == (3, 4, 4)


@pytest.mark.parametrize("array, message", [
    (np.arange(4, dtype=np.int64), 'npz: only little-endian float64 ("<f8") arrays are supported'),
    (np.arange(4, dtype=">f8"), 'npz: only little-endian float64 ("<f8") arrays are supported'),
    (np.asfortranarray(np.ones((3, 4))), "npz: fortran-order arrays are not supported"),
])
def test_unsupported_arrays_are_refused(tmp_path, array, message):
    path = tmp_path / "u.npz"
    np.savez(path, a=array)
    with pytest.raises(RuntimeError) as error:
        load(path, "a")
    assert str(error.value) == message


def corrupt(archive, name, offset_in_record, fmt, value):
    data = bytearray(archive)
    struct.pack_into(fmt, data, central_record_offset(archive, name) + offset_in_record, value)
    return bytes(data)


def valid_archive():
    return single_entry_zip("a.npy", npy_blob(values_for((3, 4, 4))))


def deflated_archive(tmp_path):
    path = tmp_path / "d.npz"
    np.savez_compressed(path, a=values_for((3, 4, 4)))
    return path.read_bytes()


@pytest.mark.parametrize("make, message", [
    (lambda tmp: b"PK\x05\x06" + bytes(17), "npz: not a valid ZIP archive (no EOCD record)"),
    (lambda tmp: valid_archive() + bytes(0x10800), "npz: not a valid ZIP archive (no EOCD record)"),
    (lambda tmp: corrupt(valid_archive(), "a.npy", 16, "<I", 0), "npz: CRC-32 mismatch in entry 'a.npy'"),
    (lambda tmp: valid_archive().replace(b"\x00\x00\xe0?", b"\x00\x00\xe0>", 1), "npz: CRC-32 mismatch in entry 'a.npy'"),
    (lambda tmp: corrupt(valid_archive(), "a.npy", 20, "<I", 5000), "npz: ZIP entry data runs past end of file"),
    (lambda tmp: corrupt(valid_archive(), "a.npy", 42, "<I", 7), "npz: malformed ZIP local file header"),
    (lambda tmp: corrupt(valid_archive(), "a.npy", 10, "<H", 12), "npz: unsupported ZIP compression method 12"),
    (lambda tmp: corrupt(valid_archive(), "a.npy", 20, "<I", 0xFFFFFFFF), "npz: ZIP64 entry 'a.npy' is not supported"),
    (lambda tmp: corrupt(valid_archive(), "a.npy", 24, "<I", 0xFFFFFFFF), "npz: ZIP64 entry 'a.npy' is not supported"),
    (lambda tmp: valid_archive()[:-6] + b"\xff\xff\xff\xff\x00\x00", "npz: ZIP64 archives are not supported"),
    (lambda tmp: valid_archive()[:-6] + b"\x01\x00\x00\x00\x00\x00", "npz: malformed ZIP central directory"),
    (lambda tmp: corrupt(deflated_archive(tmp), "a.npy", 24, "<I", 2_000_000_000),
     "npz: ZIP entry claims an uncompressed size its compressed data cannot hold"),
    (lambda tmp: corrupt(deflated_archive(tmp), "a.npy", 24, "<I", 1000), "npz: zlib inflate failed on entry"),
])
def test_malformed_archives_give_clear_errors(tmp_path, make, message):
    path = tmp_path / "bad.npz"
    path.write_bytes(make(tmp_path))
    with pytest.raises(RuntimeError) as error:
        load(path, "a")
    assert str(error.value) == message


@pytest.mark.parametrize("shape_text, error_type, message", [
    ("(4294967296, 4294967296, 2)", RuntimeError, "npz: .npy data shorter than shape implies"),
    ("(18446744073709551615, 18446744073709551615)", RuntimeError, "npz: .npy data shorter than shape implies"),
    ("(3, 4, 5)", RuntimeError, "npz: .npy data shorter than shape implies"),
    ("(99999999999999999999999, )", IndexError, "stoull argument out of range"),
    ("(x, 4)", ValueError, "invalid stoull argument"),
    ("(-1, 4)", ValueError, "invalid stoull argument"),
])
def test_impossible_shapes_are_refused(tmp_path, shape_text, error_type, message):
    path = tmp_path / "s.npz"
    zip_of(path, {"a.npy": npy_header(shape_text) + values_for((3, 4, 4)).tobytes()})
    with pytest.raises(error_type) as error:
        load(path, "a")
    assert str(error.value) == message


def test_a_zero_extent_makes_an_empty_array_whatever_the_others(tmp_path):
    path = tmp_path / "z.npz"
    zip_of(path, {"a.npy": npy_header("(18446744073709551615, 0, 4)")})
    assert hooks.load_npz_array(path, "a") == ([18446744073709551615, 0, 4], [])


def test_missing_key_and_missing_file_are_named(tmp_path):
    path = tmp_path / "a.npz"
    path.write_bytes(valid_archive())
    with pytest.raises(RuntimeError, match=r"^npz: entry 'robot_T_tcp_list\.npy' not found in archive$"):
        load(path, "robot_T_tcp_list")
    with pytest.raises(RuntimeError) as error:
        load(tmp_path / "none.npz", "a")
    assert str(error.value) == f"npz: cannot open {tmp_path / 'none.npz'} for reading"


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


class ReusedFile:
    """Rewrites one file in place: re-creating a file thousands of times is slow on some disks."""

    def __init__(self, path):
        self.path = path
        self.fd = os.open(path, os.O_RDWR | os.O_CREAT)

    def write(self, data):
        os.ftruncate(self.fd, 0)
        os.pwrite(self.fd, data, 0)

    def close(self):
        os.close(self.fd)


def test_mutated_archives_give_the_array_or_an_error(tmp_path):
    rng = random.Random(20261206)
    original = values_for((3, 4, 4))
    stored = tmp_path / "stored.npz"
    np.savez(stored, other=np.ones(3), a=original)
    sources = [valid_archive(), deflated_archive(tmp_path), stored.read_bytes()]
    file = ReusedFile(tmp_path / "m.npz")
    outcomes = {"array": 0, "error": 0}
    for case in range(4000):
        file.write(mutations(rng, sources[case % len(sources)]))
        try:
            result = load(file.path, "a")
        except (RuntimeError, ValueError, IndexError):
            outcomes["error"] += 1
            continue
        np.testing.assert_array_equal(result, original)
        outcomes["array"] += 1
    file.close()
    assert outcomes["error"] > 1000 and outcomes["array"] > 100


def test_random_shape_tuples_give_the_right_array_or_an_error(tmp_path):
    rng = random.Random(7)
    payload = np.arange(64, dtype=np.float64)
    archive = tmp_path / "r.npz"
    file = ReusedFile(tmp_path / "m.npz")
    read = 0
    for _ in range(1000):
        shape = [rng.choice([0, 1, 2, 3, 4, 8, 64, 65, 2**32, 2**63, 2**64 - 1]) for _ in range(rng.randint(0, 4))]
        text = "(" + ", ".join(map(str, shape)) + ("," if len(shape) == 1 else "") + ")"
        zip_of(archive, {"a.npy": npy_header(text) + payload.tobytes()},
               rng.choice([zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED]))
        file.write(archive.read_bytes())
        count = int(np.prod(shape, dtype=object)) if shape else 1
        if count > 64:
            with pytest.raises(RuntimeError, match="^npz: .npy data shorter than shape implies$"):
                hooks.load_npz_array(file.path, "a")
            continue
        assert hooks.load_npz_array(file.path, "a") == (shape, payload[:count].tolist())
        read += 1
    file.close()
    assert read > 100
