import multiprocessing
import os
import pathlib
import resource
import signal
from concurrent.futures import ProcessPoolExecutor

import cv2
import numpy as np
import pytest

import _vantel
from _vantel import io


def image(index):
    """Small BGR image that carries its index, so pairing can be checked after loading."""
    result = np.full((6, 8, 3), (index, 0, 0), np.uint8)
    result[0, 0] = (index, 255 - index, 7)
    return result


def pose(index):
    return np.array([[1, 0, 0, index], [0, 1, 0, 0.5 * index], [0, 0, 1, -index], [0, 0, 0, 1]], float)


def record(frames, poses=()):
    result = io.HandEyeResultRecord()
    result.num_frames_used, result.tcp_T_camera_list = frames, list(poses)
    return result


def contents(folder):
    """Every path below `folder`, hidden ones included, with the bytes of its files."""
    return {p.relative_to(folder): p.read_bytes() if p.is_file() else None for p in folder.rglob("*")}


def touch(folder, *file_names):
    folder.mkdir(parents=True, exist_ok=True)
    for name in file_names:
        cv2.imwrite(str(folder / name), image(0))


@pytest.mark.parametrize("as_path, count, annotated", [(str, 3, False), (os.fsencode, 0, False),
                                                       (pathlib.Path, 101, True)])
def test_hand_eye_dataset_round_trip(tmp_path, capsys, as_path, count, annotated):
    folder = tmp_path / "nested" / "data"
    io.save_hand_eye_dataset(as_path(folder), [image(i) for i in range(count)], [pose(i) for i in range(count)],
                             [image(200)] * count if annotated else [])
    kinds = [".png", "_annotated.png"] if annotated else [".png"]
    names = ["calibration_data.npz"] + [f"image_{i:02d}{kind}" for i in range(count) for kind in kinds]
    assert sorted(os.listdir(folder)) == sorted(names)
    images, poses = io.load_hand_eye_dataset(as_path(folder))
    assert np.array_equal(images, [image(i) for i in range(count)])
    assert np.array_equal(poses, [pose(i) for i in range(count)]) and all(p.dtype == np.float64 for p in poses)
    assert capsys.readouterr().err.splitlines() == [f"[vantel][SUCCESS] Saved {count} images to {folder}",
                                                    f"[vantel][SUCCESS] Loaded {count} images from {folder}"]


def test_each_image_is_loaded_with_its_pose(tmp_path, capsys):
    grey = np.arange(48, dtype=np.uint8).reshape(6, 8)
    io.save_hand_eye_dataset(tmp_path, [grey] + [image(i) for i in range(1, 6)], [pose(i) for i in range(4)])
    # Read by NumPy: a transposition undone by our own reader would go unseen otherwise.
    assert np.array_equal(np.load(tmp_path / "calibration_data.npz")["robot_T_tcp_list"], [pose(i) for i in range(4)])
    (tmp_path / "image_01.png").unlink()
    capsys.readouterr()
    images, poses = io.load_hand_eye_dataset(tmp_path)
    assert [im[0, 0, 0] for im in images] == [p[0, 3] for p in poses] == [0, 2, 3]
    assert np.array_equal(images[0], np.dstack([grey] * 3))
    assert capsys.readouterr().err.splitlines() == [
        f"[vantel][WARNING] Missing image {tmp_path / 'image_01.png'}: skipping frame 1 and its robot pose",
        f"[vantel][SUCCESS] Loaded 3 images from {tmp_path}"]
    for i in range(4):
        cv2.imwrite(str(tmp_path / f"image_{i:02d}.jpg"), np.full((6, 8, 3), 100 + i, np.uint8))
    images, _ = io.load_hand_eye_dataset(tmp_path, image_format="jpg")
    assert [abs(int(im[3, 3, 0]) - 100 - i) <= 2 for i, im in enumerate(images)] == [True] * 4


def obstruct(folder, images=0, path="", obstacle=None):
    """Saves an annotated hand-eye set and capture, then puts a pose array, bytes, a folder or a loop at `path`."""
    if images:
        old = [image(i) for i in range(images)]
        io.save_hand_eye_dataset(folder, old, [pose(i) for i in range(images)], old)
        io.save_multi_camera_capture(folder, old, 0, old)
    target = folder / path
    target.parent.mkdir(parents=True, exist_ok=True)
    if isinstance(obstacle, np.ndarray):
        np.savez(target, robot_T_tcp_list=obstacle)
    elif obstacle == "folder":
        target.mkdir()
    elif obstacle == "loop":
        target.symlink_to(target.name)
    elif obstacle is not None:
        target.write_bytes(obstacle)


NEW = [image(10), image(11), image(12)]
UNWRITABLE = [
    (np.zeros((2, 2, 3), np.float32), "float32 with 3 channels"), (np.zeros((2, 2), np.int8), "int8 with 1 channel"),
    (np.zeros((2, 2), np.uint16), "uint16 with 1 channel"), (np.zeros((2, 2, 3)), "float64 with 3 channels"),
    (np.zeros((2, 2, 4), np.uint8), "uint8 with 4 channels"), (np.zeros((2, 2, 2), np.uint8), "uint8 with 2 channels"),
]
# A save of three new images, the one at index 1 of the named list unwritable.
SAVES_WITH = {
    "image_list": lambda d, bad: io.save_hand_eye_dataset(d, [NEW[0], bad, NEW[2]], [pose(7)] * 3, NEW),
    "annotated_images": lambda d, bad: io.save_hand_eye_dataset(d, NEW, [pose(7)] * 3, [NEW[0], bad, NEW[2]]),
    "frames": lambda d, bad: io.save_multi_camera_capture(d, [NEW[0], bad, NEW[2]], 0, NEW),
}
NOISY = [image(50), np.random.default_rng(1).integers(0, 256, (64, 64, 3), dtype=np.uint8), image(52)]
NOT_4X4 = "io: expected 4x4 pose matrices"
# (call, error type, message with {d} for the folder[, obstruct's arguments]); nothing on disk may change.
REFUSALS = [
    (lambda d: io.save_hand_eye_dataset(d / "d", [image(0), image(1)], [pose(0), np.eye(3)]), ValueError, NOT_4X4),
    (lambda d: io.save_hand_eye_dataset(d / "d", [image(0)], [np.zeros((4, 3))]), ValueError, NOT_4X4),
    (lambda d: io.save_multi_camera_robot_poses(d / "d", [np.zeros((4, 4, 3))], 2), ValueError, NOT_4X4),
    (lambda d: io.save_hand_eye_dataset(d / "d", [image(0), image(1)], [pose(0), pose(1)], [image(0)]), ValueError,
     "io: annotated_images is shorter than image_list (1 < 2)"),
    (lambda d: io.save_multi_camera_capture(d / "d", [image(0), image(1)], 0, [image(0)]), ValueError,
     "io: annotated_images is shorter than frames (1 < 2)"),
    (lambda d: io.save_multi_camera_capture(d, [image(0)], -1), ValueError,
     "io: capture_index must not be negative, got '-1'"),
    (lambda d: io.save_multi_camera_capture(d, [image(0), image(1), np.zeros((0, 0, 3), np.uint8)], 0), ValueError,
     "io: frames[2] is empty"),
    *[(lambda d, save=save, bad=bad: save(d, bad), ValueError,
       f"io: {name}[1] must be an 8-bit image with 1 or 3 channels, got {text}", 3)
      for name, save in SAVES_WITH.items() for bad, text in UNWRITABLE],
    # Frames are paired by position: a capture of another camera count leaves a dataset that no longer loads.
    *[(lambda d, n=n: io.save_multi_camera_capture(d, NEW[:1] * n, 5), ValueError,
       "io: frames must hold one image per camera: {d} holds 3 cameras, got " + str(n), 3) for n in (1, 2, 4)],
    (lambda d: io.save_multi_camera_capture(d, [], 5), ValueError,
     "io: frames must hold one image per camera, got none", 3),
    *[(lambda d, n=n: io.load_multi_camera_dataset(d, n), ValueError, f"io: num_cameras must be at least 1, got {n}",
       1) for n in (0, -1)],
    (lambda d: io.load_multi_camera_dataset(d, 2), RuntimeError, "io: missing camera folder: {d}/cam_00"),
    (lambda d: io.next_multi_camera_capture_index(d, 2), RuntimeError, "io: no capture index follows the one of "
     "{d}/cam_01/image_2147483647.png; it is the largest 32-bit integer", 0, "cam_01/image_2147483647.png", b""),
    *[(io.load_hand_eye_dataset, RuntimeError, "io: robot_T_tcp_list npz entry is not shaped (N, 4, 4)", 0,
       "calibration_data.npz", np.zeros(shape)) for shape in [(2, 4, 3), (4, 4)]],
    (io.load_hand_eye_dataset, RuntimeError, "io: cv::imread returned an empty image for {d}/image_00.png",
     1, "image_00.png", b"not a png"),
    (lambda d: io.load_multi_camera_dataset(d, 1), RuntimeError, "io: no image_*.png files in {d}/cam_00",
     0, "cam_00/image_00_annotated.png", b""),
    (lambda d: io.save_hand_eye_dataset(d, [image(0)], [pose(0)]), RuntimeError,
     "npz: cannot write {d}/calibration_data.npz (Is a directory)", 0, "calibration_data.npz", "folder"),
    (lambda d: io.save_hand_eye_dataset(d, NEW, [pose(7)] * 3), RuntimeError,
     "io: cannot write {d}/image_02.png (Is a directory)", 2, "image_02.png", "folder"),
    (lambda d: io.save_multi_camera_capture(d, [image(1)], 0), RuntimeError,
     "io: cannot write {d}/cam_00/image_00.png (Too many levels of symbolic links)", 0, "cam_00/image_00.png", "loop"),
    # Texts holding bytes that are not UTF-8 come out with replacement characters.
    (lambda d: _vantel.CharucoTarget(5, 7, 0.04, 0.03, b"DICT\xff"), ValueError, "Unknown aruco_dict_id 'DICT\ufffd'"),
    (lambda d: io.load_multi_camera_calibration(str(d) + "/m\udcfe.json"), RuntimeError,
     "io: cannot open {d}/m\ufffd.json for reading"),
    (lambda d: io.load_hand_eye_dataset(bytes(d) + b"/d\xff"), RuntimeError,
     "npz: cannot open {d}/d\ufffd/calibration_data.npz for reading"),
    (lambda d: io.save_hand_eye_dataset(bytes(d) + b"/blocker/sub\xff", [], []), RuntimeError,
     "filesystem error: cannot create directories: Not a directory [{d}/blocker/sub\ufffd]", 0, "blocker", b""),
    (lambda d: io.load_hand_eye_result(d / "bad.json"), RuntimeError,
     "[json.exception.parse_error.101] parse error at line 1, column 17: syntax error while parsing value - "
     "invalid string: ill-formed UTF-8 byte; last read: '\"PARK\ufffd'", 0, "bad.json", b'{"method": "PARK\xff"}'),
    # Writes past 4 KiB fail part-way in the child process, as on a full disk.
    (lambda d: io.save_multi_camera_robot_poses(d, [np.eye(4)] * 40, 1), RuntimeError,
     "npz: cannot write {d}/cam_00/calibration_data.npz (File too large)", 0, "cam_00/calibration_data.npz", b"old"),
    (lambda d: io.save_hand_eye_result(d / "cam_00" / "r.json", record(0, [np.eye(4) / 3] * 20)), RuntimeError,
     "io: cannot write {d}/cam_00/r.json (File too large)", 0, "cam_00/r.json", b"old"),
    (lambda d: io.save_hand_eye_dataset(d, NOISY, [np.eye(4)] * 3), RuntimeError,
     "io: cannot write {d}/image_01.png (File too large)", 3),
    (lambda d: io.save_multi_camera_capture(d, NOISY, 0), RuntimeError,
     "io: cannot write {d}/cam_01/image_00.png (File too large)", 3),
]


def refuse(index, folder):
    """A call of REFUSALS, run in a child process whose writes past 4 KiB fail part-way, even for root."""
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (4096, resource.RLIM_INFINITY))
    REFUSALS[index][0](folder)


@pytest.mark.parametrize("index", range(len(REFUSALS)), ids=[case[2] for case in REFUSALS])
def test_refused_input_and_failed_file_access_change_nothing(tmp_path, index):
    _, error_type, message, *setup = REFUSALS[index]
    obstruct(tmp_path, *setup)
    before = contents(tmp_path)
    with pytest.raises(error_type) as error:
        with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("fork")) as child:
            child.submit(refuse, index, tmp_path).result()
    assert type(error.value) is error_type and str(error.value) == message.format(d=tmp_path)
    assert contents(tmp_path) == before


def test_next_capture_index(tmp_path):
    next_index = io.next_multi_camera_capture_index
    assert next_index(tmp_path / "missing", 2) == next_index(tmp_path, 2) == 0
    touch(tmp_path / "cam_00", "image_00.png", "image_03.png", "image_09_annotated.png")
    touch(tmp_path / "cam_01", "image_01.png", "image_7.png", "image_x.png", "image_.png", "photo_09.png",
          "image_99999999999.png", "image_12_annotated.png", "image_05.PNG")
    touch(tmp_path / "cam_02")
    touch(tmp_path / "cam_03", "image_50.png")
    assert [next_index(tmp_path, count) for count in range(1, 5)] == [4, 8, 8, 51]
    io.save_multi_camera_capture(tmp_path, [image(0)] * 4, 2**31 - 2)
    assert next_index(tmp_path, 3) == 2**31 - 1


def test_captures_are_saved_and_loaded_in_capture_order_and_synchronized(tmp_path, capsys):
    order, cams = [0, 1, 2, 9, 10, 11, 99, 100, 101], [tmp_path / "cam_00", tmp_path / "cam_01"]
    for index in order:
        io.save_multi_camera_capture(tmp_path, [image(index), image(index)], index, [image(200)] * 2)
    for cam in cams:
        touch(cam, "image_extra.png")
    names = [f"image_{index:02d}{kind}" for index in order for kind in (".png", "_annotated.png")]
    assert sorted(os.listdir(cams[1])) == sorted(names + ["image_extra.png"])
    cameras = io.load_multi_camera_dataset(tmp_path, 2)
    assert [[frame[0, 0, 0] for frame in frames] for frames in cameras] == [order + [0]] * 2
    assert capsys.readouterr().err.splitlines() == (
        [f"[vantel][SUCCESS] Saved capture #{index} (2 cameras)" for index in order] +
        [f"[vantel][SUCCESS] Loaded 10 frames from {cam}" for cam in cams])
    (cams[1] / "image_101.png").unlink()
    with pytest.raises(RuntimeError) as error:
        io.load_multi_camera_dataset(tmp_path, 2)
    assert str(error.value) == "io: all cameras must have the same frame count; captures must be synchronized"
    assert capsys.readouterr().err.splitlines() == [f"[vantel][SUCCESS] Loaded {count} frames from {cam}"
                                                    for count, cam in zip([10, 9], cams)]
    touch(cams[1], "image_05.png")
    with pytest.raises(RuntimeError) as error:
        io.load_multi_camera_dataset(tmp_path, 2)
    assert str(error.value) == f"io: {cams[1]} holds other capture indices than cam_00; captures must be synchronized"


def test_robot_poses_of_a_rig(tmp_path, capsys):
    assert io.load_multi_camera_robot_poses(tmp_path / "missing") == io.load_multi_camera_robot_poses(tmp_path) == []
    io.save_multi_camera_robot_poses(tmp_path, [pose(1), pose(2)], 2)
    archives = [tmp_path / "cam_00" / "calibration_data.npz", tmp_path / "cam_01" / "calibration_data.npz"]
    assert archives[0].read_bytes() == archives[1].read_bytes()
    archives[0].unlink()
    assert [p.tolist() for p in io.load_multi_camera_robot_poses(tmp_path)] == [pose(1).tolist(), pose(2).tolist()]
    assert capsys.readouterr().err == ""
    # The first cam_* folder in path order that holds poses wins; other names do not count.
    for folder, index in [("cam_zz", 7), ("cam_backup", 3), ("camera", 9)]:
        io.save_hand_eye_dataset(tmp_path / folder, [], [pose(index)])
    archives[1].unlink()
    assert io.load_multi_camera_robot_poses(tmp_path)[0][0, 3] == 3


# Every writer replaces its file, cam_00/<name>, the same way; the content depends on `version`.
@pytest.mark.parametrize("name, save", [
    ("r.json", lambda d, version: io.save_hand_eye_result(d / "cam_00" / "r.json", record(version))),
    ("calibration_data.npz", lambda d, version: io.save_multi_camera_robot_poses(d, [pose(version)], 1)),
    ("image_00.png", lambda d, version: io.save_multi_camera_capture(d, [image(version)], 0)),
], ids=["record", "archive", "image"])
def test_a_replaced_file_keeps_its_permission_bits_and_symlinks(tmp_path, name, save):
    path, hop = tmp_path / "data" / "cam_00" / name, tmp_path / "elsewhere" / "hop"
    save(tmp_path / "reference", 2)
    expected, real = (tmp_path / "reference" / "cam_00" / name).read_bytes(), hop.with_name("real")
    for mode in [0o600, 0o640, 0o444]:
        save(tmp_path / "data", 1)
        path.chmod(mode)
        save(tmp_path / "data", 2)
        assert path.read_bytes() == expected and path.stat().st_mode & 0o7777 == mode
    # A chain of two links, the first one relative to its own folder, that leads to no file at first.
    hop.parent.mkdir()
    hop.symlink_to(real)
    path.unlink()
    path.symlink_to(os.path.relpath(hop, path.parent))
    for version in [2, 1, 2]:
        save(tmp_path / "data", version)
    assert real.read_bytes() == expected and path.is_symlink() and hop.is_symlink()
    assert os.listdir(path.parent) == [name] and sorted(os.listdir(hop.parent)) == ["hop", "real"]
