import json
import os
import pathlib
import subprocess
import sys

import cv2
import numpy as np
import pytest

import _vantel

io = _vantel.io


def image(index, shape=(6, 8, 3)):
    """Small BGR image that carries its index, so pairing can be checked after loading."""
    result = np.zeros(shape, np.uint8)
    result[..., 0] = index
    result[0, 0] = (index, 255 - index, 7)
    return result


def pose(index):
    result = np.eye(4)
    result[:3, 3] = (index, 0.5 * index, -index)
    return result


def names(folder):
    return sorted(p.name for p in pathlib.Path(folder).iterdir())


def log_lines(capsys):
    return capsys.readouterr().err.splitlines()


@pytest.mark.parametrize("as_path", [str, os.fsencode, pathlib.Path])
def test_hand_eye_dataset_round_trip(tmp_path, capsys, as_path):
    folder = tmp_path / "nested" / "data"
    io.save_hand_eye_dataset(as_path(folder), [image(i) for i in range(3)], [pose(i) for i in range(3)])
    assert names(folder) == ["calibration_data.npz", "image_00.png", "image_01.png", "image_02.png"]
    with np.load(folder / "calibration_data.npz") as archive:
        np.testing.assert_array_equal(archive["robot_T_tcp_list"], np.stack([pose(i) for i in range(3)]))

    images, poses = io.load_hand_eye_dataset(as_path(folder))
    assert all(np.array_equal(images[i], image(i)) for i in range(3))
    assert all(np.array_equal(poses[i], pose(i)) and poses[i].dtype == np.float64 for i in range(3))
    assert log_lines(capsys) == [f"[vantel][SUCCESS] Saved 3 images to {folder}",
                                 f"[vantel][SUCCESS] Loaded 3 images from {folder}"]


def test_annotated_images_and_names_beyond_two_digits(tmp_path):
    count = 101
    io.save_hand_eye_dataset(tmp_path, [image(i) for i in range(count)], [pose(i) for i in range(count)],
                             annotated_images=[image(200) for _ in range(count)])
    written = names(tmp_path)
    assert "image_100.png" in written and "image_100_annotated.png" in written and "image_11_annotated.png" in written
    assert len(written) == 2 * count + 1
    images, poses = io.load_hand_eye_dataset(tmp_path)
    assert len(images) == len(poses) == count
    assert images[100][0, 0, 0] == 100 and poses[100][0, 3] == 100


def test_empty_dataset(tmp_path, capsys):
    folder = tmp_path / "empty"
    io.save_hand_eye_dataset(folder, [], [])
    assert np.load(folder / "calibration_data.npz")["robot_T_tcp_list"].shape == (0, 4, 4)
    assert io.load_hand_eye_dataset(folder) == ([], [])
    assert log_lines(capsys)[-1] == f"[vantel][SUCCESS] Loaded 0 images from {folder}"


def test_a_missing_image_drops_its_pose_too(tmp_path, capsys):
    io.save_hand_eye_dataset(tmp_path, [image(i) for i in range(4)], [pose(i) for i in range(4)])
    (tmp_path / "image_01.png").unlink()
    capsys.readouterr()
    images, poses = io.load_hand_eye_dataset(tmp_path)
    assert [int(im[0, 0, 0]) for im in images] == [0, 2, 3]
    assert [p[0, 3] for p in poses] == [0, 2, 3]
    warnings = [line for line in log_lines(capsys) if "[WARNING]" in line]
    assert warnings == [f"[vantel][WARNING] Missing image {tmp_path / 'image_01.png'}: "
                        "skipping frame 1 and its robot pose"]


def test_more_images_than_poses_and_other_formats(tmp_path):
    io.save_hand_eye_dataset(tmp_path, [image(i) for i in range(5)], [pose(i) for i in range(3)])
    assert np.load(tmp_path / "calibration_data.npz")["robot_T_tcp_list"].shape == (3, 4, 4)
    images, poses = io.load_hand_eye_dataset(tmp_path)
    assert len(images) == len(poses) == 3

    for i in range(3):
        cv2.imwrite(str(tmp_path / f"image_{i:02d}.jpg"), np.full((6, 8, 3), 100 + i, np.uint8))
    images, _ = io.load_hand_eye_dataset(tmp_path, image_format="jpg")
    assert [abs(int(im[3, 3, 0]) - 100 - i) <= 2 for i, im in enumerate(images)] == [True] * 3


@pytest.mark.parametrize("bad_pose", [np.eye(3), np.zeros((4, 3)), np.zeros((4, 4, 3))])
def test_non_4x4_poses_are_refused_before_writing(tmp_path, bad_pose):
    folder = tmp_path / "d"
    with pytest.raises(ValueError, match=r"^io: expected 4x4 pose matrices$"):
        io.save_hand_eye_dataset(folder, [image(0), image(1)], [pose(0), bad_pose])
    with pytest.raises(ValueError, match=r"^io: expected 4x4 pose matrices$"):
        io.save_multi_camera_robot_poses(folder, [bad_pose], 2)
    assert not folder.exists()


def test_short_annotated_lists_are_refused_before_writing(tmp_path):
    folder = tmp_path / "d"
    with pytest.raises(ValueError, match=r"^io: annotated_images is shorter than image_list \(1 < 2\)$"):
        io.save_hand_eye_dataset(folder, [image(0), image(1)], [pose(0), pose(1)], [image(0)])
    with pytest.raises(ValueError, match=r"^io: annotated_images is shorter than frames \(1 < 2\)$"):
        io.save_multi_camera_capture(folder, [image(0), image(1)], 0, [image(0)])
    assert not folder.exists()


@pytest.mark.parametrize("shape", [(3, 4), (2, 4, 3), (4, 4)])
def test_pose_archives_of_other_shapes_are_refused(tmp_path, shape):
    np.savez(tmp_path / "calibration_data.npz", robot_T_tcp_list=np.zeros(shape))
    with pytest.raises(RuntimeError, match=r"^io: robot_T_tcp_list npz entry is not shaped \(N, 4, 4\)$"):
        io.load_hand_eye_dataset(tmp_path)


def test_missing_or_unreadable_dataset_files(tmp_path):
    with pytest.raises(RuntimeError) as error:
        io.load_hand_eye_dataset(tmp_path)
    assert str(error.value) == f"npz: cannot open {tmp_path / 'calibration_data.npz'} for reading"
    io.save_hand_eye_dataset(tmp_path, [image(0)], [pose(0)])
    (tmp_path / "image_00.png").write_bytes(b"not a png")
    with pytest.raises(RuntimeError) as error:
        io.load_hand_eye_dataset(tmp_path)
    assert str(error.value) == f"io: cv::imread returned an empty image for {tmp_path / 'image_00.png'}"


def touch(folder, *file_names):
    folder.mkdir(parents=True, exist_ok=True)
    for name in file_names:
        cv2.imwrite(str(folder / name), image(0))


def test_next_capture_index(tmp_path):
    assert io.next_multi_camera_capture_index(tmp_path / "missing", 2) == 0
    assert io.next_multi_camera_capture_index(tmp_path, 2) == 0
    touch(tmp_path / "cam_00", "image_00.png", "image_03.png", "image_03_annotated.png")
    touch(tmp_path / "cam_01", "image_01.png")
    assert io.next_multi_camera_capture_index(tmp_path, 2) == 4
    touch(tmp_path / "cam_01", "image_7.png", "image_x.png", "image_.png", "photo_09.png",
          "image_99999999999.png", "image_12_annotated.png")
    (tmp_path / "cam_01" / "image_05.PNG").write_bytes(b"")
    (tmp_path / "cam_02").mkdir()
    touch(tmp_path / "cam_03", "image_50.png")  # beyond num_cameras
    assert io.next_multi_camera_capture_index(tmp_path, 3) == 8


def test_save_captures_and_robot_poses(tmp_path, capsys):
    io.save_multi_camera_capture(tmp_path, [image(k) for k in range(3)], 5, [image(9)] * 3)
    assert names(tmp_path) == ["cam_00", "cam_01", "cam_02"]
    assert names(tmp_path / "cam_02") == ["image_05.png", "image_05_annotated.png"]
    assert log_lines(capsys) == ["[vantel][SUCCESS] Saved capture #5 (3 cameras)"]
    with pytest.raises(ValueError, match=r"^io: capture_index must not be negative, got '-1'$"):
        io.save_multi_camera_capture(tmp_path, [image(0)], -1)

    assert io.load_multi_camera_robot_poses(tmp_path / "missing") == []
    assert io.load_multi_camera_robot_poses(tmp_path) == []
    io.save_multi_camera_robot_poses(tmp_path, [pose(1), pose(2)], 3)
    archives = [(tmp_path / f"cam_{k:02d}" / "calibration_data.npz").read_bytes() for k in range(3)]
    assert archives[0] == archives[1] == archives[2]
    (tmp_path / "cam_00" / "calibration_data.npz").unlink()
    loaded = io.load_multi_camera_robot_poses(tmp_path)
    assert len(loaded) == 2 and np.array_equal(loaded[1], pose(2))
    assert capsys.readouterr().err == ""


def test_robot_poses_come_from_the_first_cam_folder_in_path_order(tmp_path):
    for folder, index in [("cam_zz", 7), ("cam_backup", 3), ("camera", 9)]:
        (tmp_path / folder).mkdir()
        np.savez(tmp_path / folder / "calibration_data.npz", robot_T_tcp_list=pose(index)[None])
    (tmp_path / "cam_00").mkdir()
    assert io.load_multi_camera_robot_poses(tmp_path)[0][0, 3] == 3


def test_load_dataset_in_capture_order(tmp_path, capsys):
    for index in [0, 1, 2, 9, 10, 11, 99, 100, 101]:
        io.save_multi_camera_capture(tmp_path, [image(index), image(index)], index)
    touch(tmp_path / "cam_00", "image_extra.png")
    touch(tmp_path / "cam_01", "image_extra.png")
    capsys.readouterr()
    cameras = io.load_multi_camera_dataset(tmp_path, 2)
    order = [0, 1, 2, 9, 10, 11, 99, 100, 101, 0]
    assert [[int(frame[0, 0, 0]) for frame in frames] for frames in cameras] == [order, order]
    assert log_lines(capsys) == [f"[vantel][SUCCESS] Loaded 10 frames from {tmp_path / f'cam_{k:02d}'}"
                                 for k in range(2)]
    assert io.load_multi_camera_dataset(tmp_path, 0) == []


def test_load_dataset_errors(tmp_path, capsys):
    with pytest.raises(RuntimeError) as error:
        io.load_multi_camera_dataset(tmp_path, 2)
    assert str(error.value) == f"io: missing camera folder: {tmp_path / 'cam_00'}"
    (tmp_path / "cam_00").mkdir()
    touch(tmp_path / "cam_00", "image_00_annotated.png")
    with pytest.raises(RuntimeError) as error:
        io.load_multi_camera_dataset(tmp_path, 1)
    assert str(error.value) == f"io: no image_*.png files in {tmp_path / 'cam_00'}"

    for index in range(3):
        io.save_multi_camera_capture(tmp_path, [image(index), image(index)], index)
    (tmp_path / "cam_01" / "image_02.png").unlink()
    capsys.readouterr()
    with pytest.raises(RuntimeError, match=r"^io: all cameras must have the same frame count; "
                                           r"captures must be synchronized$"):
        io.load_multi_camera_dataset(tmp_path, 2)
    assert log_lines(capsys)[-1] == f"[vantel][SUCCESS] Loaded 2 frames from {tmp_path / 'cam_01'}"

    touch(tmp_path / "cam_01", "image_05.png")
    with pytest.raises(RuntimeError) as error:
        io.load_multi_camera_dataset(tmp_path, 2)
    assert str(error.value) == (f"io: {tmp_path / 'cam_01'} holds other capture indices than cam_00; "
                                "captures must be synchronized")


def test_a_folder_in_place_of_a_target_file_fails_cleanly(tmp_path):
    (tmp_path / "calibration_data.npz").mkdir()
    with pytest.raises(RuntimeError) as error:
        io.save_hand_eye_dataset(tmp_path, [image(0)], [pose(0)])
    assert str(error.value) == f"npz: cannot write {tmp_path / 'calibration_data.npz'} (Is a directory)"
    assert names(tmp_path) == ["calibration_data.npz"]

    (tmp_path / "cam_00" / "image_00.png").mkdir(parents=True)
    with pytest.raises(RuntimeError) as error:
        io.save_multi_camera_capture(tmp_path, [image(0)], 0)
    assert str(error.value) == f"io: cannot write {tmp_path / 'cam_00' / 'image_00.png'} (Is a directory)"
    assert names(tmp_path / "cam_00") == ["image_00.png"]


def test_a_file_in_place_of_the_folder_is_left_alone(tmp_path):
    blocker = tmp_path / "data"
    blocker.write_bytes(b"keep")
    with pytest.raises(RuntimeError, match="^filesystem error: cannot create directories: Not a directory"):
        io.save_hand_eye_dataset(blocker, [], [])
    with pytest.raises(RuntimeError, match="^filesystem error: cannot create directories: Not a directory"):
        io.save_multi_camera_robot_poses(blocker, [pose(0)], 1)
    assert blocker.read_bytes() == b"keep"


# Runs in a child process: a file-size limit makes every larger write fail part-way, even for root.
FULL_DISK_SCRIPT = """
import json, resource, signal, sys
import numpy as np
import _vantel
folder = sys.argv[1]
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (4096, resource.RLIM_INFINITY))
noise = np.random.default_rng(1).integers(0, 256, (64, 64, 3), dtype=np.uint8)
record = _vantel.io.HandEyeResultRecord()
record.tcp_T_camera_list = [np.eye(4) * 0.123456789] * 20
attempts = {
    "npz": lambda: _vantel.io.save_multi_camera_robot_poses(folder, [np.eye(4)] * 40, 1),
    "image": lambda: _vantel.io.save_multi_camera_capture(folder, [noise], 0),
    "json": lambda: _vantel.io.save_hand_eye_result(folder + "/cam_00/result.json", record),
}
errors = {}
for name, attempt in attempts.items():
    try:
        attempt()
    except RuntimeError as error:
        errors[name] = str(error)
print(json.dumps(errors))
"""


def test_a_write_failing_part_way_keeps_the_previous_files(tmp_path):
    io.save_multi_camera_robot_poses(tmp_path, [pose(1)], 1)
    io.save_multi_camera_capture(tmp_path, [image(1)], 0)
    io.save_hand_eye_result(tmp_path / "cam_00" / "result.json", io.HandEyeResultRecord())
    folder = tmp_path / "cam_00"
    before = {name: (folder / name).read_bytes() for name in names(folder)}

    child = subprocess.run([sys.executable, "-c", FULL_DISK_SCRIPT, str(tmp_path)],
                           capture_output=True, text=True, check=True)
    errors = json.loads(child.stdout)
    assert errors == {
        "npz": f"npz: cannot write {folder / 'calibration_data.npz'} (File too large)",
        "image": f"io: cannot write {folder / 'image_00.png'} (File too large)",
        "json": f"io: cannot write {folder / 'result.json'} (File too large)",
    }
    assert {name: (folder / name).read_bytes() for name in names(folder)} == before


def hand_eye_record(frames):
    record = io.HandEyeResultRecord()
    record.num_frames_used = frames
    return record


# Every writer replaces its file the same way; each writes content that depends on `version`.
WRITERS = {
    "record": (lambda folder, version: io.save_hand_eye_result(folder / "cam_00" / "r.json", hand_eye_record(version)),
               "r.json"),
    "archive": (lambda folder, version: io.save_multi_camera_robot_poses(folder, [pose(version)], 1),
                "calibration_data.npz"),
    "image": (lambda folder, version: io.save_multi_camera_capture(folder, [image(version)], 0), "image_00.png"),
}


def written_by(writer, folder, version):
    save, name = WRITERS[writer]
    save(folder, version)
    return folder / "cam_00" / name


@pytest.mark.parametrize("writer", WRITERS)
@pytest.mark.parametrize("mode", [0o600, 0o640, 0o444], ids=oct)
def test_a_replaced_file_keeps_its_permission_bits(tmp_path, writer, mode):
    path = written_by(writer, tmp_path, 1)
    path.chmod(mode)
    expected = written_by(writer, tmp_path / "reference", 2).read_bytes()
    written_by(writer, tmp_path, 2)
    assert path.stat().st_mode & 0o7777 == mode
    assert path.read_bytes() == expected


@pytest.mark.parametrize("writer", WRITERS)
@pytest.mark.parametrize("target_exists", [True, False])
def test_writing_through_a_symlink_replaces_its_target(tmp_path, writer, target_exists):
    path = written_by(writer, tmp_path / "data", 1)
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    if target_exists:
        path.replace(elsewhere / "real")
    # A chain of two links, the first one relative to its own folder.
    (elsewhere / "hop").symlink_to(elsewhere / "real")
    path.unlink(missing_ok=True)
    path.symlink_to(os.path.relpath(elsewhere / "hop", path.parent))
    expected = written_by(writer, tmp_path / "reference", 2).read_bytes()

    written_by(writer, tmp_path / "data", 2)
    assert path.is_symlink() and (elsewhere / "hop").is_symlink()
    assert (elsewhere / "real").read_bytes() == expected
    assert names(elsewhere) == ["hop", "real"] and names(path.parent) == [path.name]


@pytest.mark.parametrize("writer, area", [("archive", "npz"), ("image", "io")])
def test_a_symlink_loop_is_reported(tmp_path, writer, area):
    folder = tmp_path / "cam_00"
    folder.mkdir()
    path = folder / WRITERS[writer][1]
    path.symlink_to("loop")
    (folder / "loop").symlink_to(path.name)
    with pytest.raises(RuntimeError) as error:
        written_by(writer, tmp_path, 1)
    assert str(error.value) == f"{area}: cannot write {path} (Too many levels of symbolic links)"
    assert names(folder) == sorted(["loop", path.name])


def test_the_next_capture_index_after_the_largest_int_is_refused(tmp_path):
    largest = 2**31 - 1
    io.save_multi_camera_capture(tmp_path, [image(0), image(1)], largest - 1)
    assert io.next_multi_camera_capture_index(tmp_path, 2) == largest
    io.save_multi_camera_capture(tmp_path, [image(0), image(1)], largest)
    with pytest.raises(RuntimeError) as error:
        io.next_multi_camera_capture_index(tmp_path, 2)
    assert str(error.value) == (f"io: no capture index follows the one of {tmp_path / 'cam_00' / 'image_2147483647.png'}"
                                "; it is the largest 32-bit integer")


UNWRITABLE_IMAGES = [
    (np.full((6, 8, 3), 0.5, np.float32), "float32 with 3 channels"),
    (np.full((6, 8), 57300, np.uint16), "uint16 with 1 channel"),
    (np.full((6, 8), -5, np.int8), "int8 with 1 channel"),
    (np.full((6, 8, 3), 1.0), "float64 with 3 channels"),
    (np.zeros((6, 8, 4), np.uint8), "uint8 with 4 channels"),
    (np.zeros((6, 8, 2), np.uint8), "uint8 with 2 channels"),
]

# Savers of three new images whose list of that name holds `bad` at index 1.
RESAVES = {
    "image_list": lambda folder, images, bad: io.save_hand_eye_dataset(
        folder, images[:1] + [bad] + images[2:], [pose(7)] * 3),
    "annotated_images": lambda folder, images, bad: io.save_hand_eye_dataset(
        folder, images, [pose(7)] * 3, images[:1] + [bad] + images[2:]),
    "frames": lambda folder, images, bad: io.save_multi_camera_capture(
        folder, images[:1] + [bad] + images[2:], 0, images),
}


def folder_contents(folder):
    return {path.relative_to(folder): path.read_bytes() for path in sorted(folder.rglob("*")) if path.is_file()}


@pytest.mark.parametrize("bad, description", UNWRITABLE_IMAGES)
@pytest.mark.parametrize("list_name", RESAVES)
def test_a_resave_with_an_unwritable_image_changes_nothing(tmp_path, list_name, bad, description):
    old = [image(i) for i in range(3)]
    io.save_hand_eye_dataset(tmp_path, old, [pose(i) for i in range(3)], old)
    io.save_multi_camera_capture(tmp_path, old, 0, old)
    before = folder_contents(tmp_path)

    with pytest.raises(ValueError) as error:
        RESAVES[list_name](tmp_path, [image(10 + i) for i in range(3)], bad)
    assert str(error.value) == f"io: {list_name}[1] must be an 8-bit image with 1 or 3 channels, got {description}"
    assert folder_contents(tmp_path) == before
    images, poses = io.load_hand_eye_dataset(tmp_path)
    assert [int(im[0, 0, 0]) for im in images] == [0, 1, 2] and [p[0, 3] for p in poses] == [0, 1, 2]


def test_an_empty_image_is_refused_by_index(tmp_path):
    with pytest.raises(ValueError, match=r"^io: frames\[2\] is empty$"):
        io.save_multi_camera_capture(tmp_path, [image(0), image(1), np.zeros((0, 0, 3), np.uint8)], 0)
    assert names(tmp_path) == []


def test_grey_images_are_saved_and_read_back_as_bgr(tmp_path):
    grey = np.arange(48, dtype=np.uint8).reshape(6, 8)
    io.save_hand_eye_dataset(tmp_path, [grey], [pose(0)])
    images, _ = io.load_hand_eye_dataset(tmp_path)
    assert images[0].shape == (6, 8, 3) and all(np.array_equal(images[0][..., c], grey) for c in range(3))


# A file-size limit lets image 1 (noise, larger than the limit) fail after the archive and image 0 were written.
FULL_DISK_RESAVE_SCRIPT = """
import resource, signal, sys
import numpy as np
import _vantel
folder, saver = sys.argv[1:]
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (4096, resource.RLIM_INFINITY))
noise = np.random.default_rng(1).integers(0, 256, (64, 64, 3), dtype=np.uint8)
images = [np.full((6, 8, 3), 50, np.uint8), noise, np.full((6, 8, 3), 52, np.uint8)]
try:
    if saver == "hand-eye":
        _vantel.io.save_hand_eye_dataset(folder, images, [np.eye(4)] * 3)
    else:
        _vantel.io.save_multi_camera_capture(folder, images, 0)
except RuntimeError as error:
    print(error)
"""


@pytest.mark.parametrize("saver, failing", [("hand-eye", "image_01.png"), ("multi-camera", "cam_01/image_00.png")])
def test_a_resave_failing_part_way_changes_nothing(tmp_path, saver, failing):
    io.save_hand_eye_dataset(tmp_path, [image(i) for i in range(3)], [pose(i) for i in range(3)])
    io.save_multi_camera_capture(tmp_path, [image(i) for i in range(3)], 0)
    before = folder_contents(tmp_path)
    child = subprocess.run([sys.executable, "-c", FULL_DISK_RESAVE_SCRIPT, str(tmp_path), saver],
                           capture_output=True, text=True, check=True)
    assert child.stdout == f"io: cannot write {tmp_path / failing} (File too large)\n"
    assert folder_contents(tmp_path) == before


def test_a_folder_in_the_way_of_a_later_image_changes_nothing(tmp_path):
    io.save_hand_eye_dataset(tmp_path, [image(i) for i in range(2)], [pose(i) for i in range(2)])
    (tmp_path / "image_02.png").mkdir()
    before = folder_contents(tmp_path)
    with pytest.raises(RuntimeError) as error:
        io.save_hand_eye_dataset(tmp_path, [image(10 + i) for i in range(3)], [pose(7)] * 3)
    assert str(error.value) == f"io: cannot write {tmp_path / 'image_02.png'} (Is a directory)"
    assert folder_contents(tmp_path) == before
    assert names(tmp_path) == ["calibration_data.npz", "image_00.png", "image_01.png", "image_02.png"]
