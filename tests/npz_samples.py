"""Builds .npz archives byte by byte, independently of the reader under test."""

import struct
import zipfile
import zlib

import numpy as np


def npy_header(shape_text, descr="<f8", fortran="False"):
    text = "{'descr': '%s', 'fortran_order': %s, 'shape': %s, }" % (descr, fortran, shape_text)
    padding = -(len(text) + 11) % 64
    header = (text + " " * padding + "\n").encode()
    return b"\x93NUMPY\x01\x00" + struct.pack("<H", len(header)) + header


def npy_blob(array):
    shape = array.shape
    if len(shape) == 1:
        shape_text = "(%d, )" % shape[0]
    else:
        shape_text = "(" + ", ".join(str(d) for d in shape) + ")"
    return npy_header(shape_text) + np.ascontiguousarray(array, "<f8").tobytes()


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


def zip_of(path, entries, compression=zipfile.ZIP_STORED):
    """Archive of raw .npy blobs, e.g. with headers NumPy itself would not write."""
    with zipfile.ZipFile(path, "w", compression) as archive:
        for name, blob in entries.items():
            archive.writestr(name, blob)


def central_record_offset(archive, name):
    """Offset of the central-directory record of entry `name`."""
    position = archive.index(b"PK\x01\x02")
    while True:
        name_length, extra_length, comment_length = struct.unpack_from("<HHH", archive, position + 28)
        if archive[position + 46:position + 46 + name_length] == name.encode():
            return position
        position += 46 + name_length + extra_length + comment_length
