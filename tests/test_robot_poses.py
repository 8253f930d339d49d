"""Robot pose files as controllers write them: formats, units, image pairing and the rows they refuse."""

import json

import cv2
import numpy as np
import pytest

from vantel_tools.robot_poses import (
    RobotPoseError, pair_with_images, read_posed_images, read_robot_poses, write_robot_poses,
)

# 90 degrees about Z, at (0.1, 0.2, 0.3) m.
QUARTER_TURN = np.array([[0.0, -1.0, 0.0, 0.1], [1.0, 0.0, 0.0, 0.2], [0.0, 0.0, 1.0, 0.3], [0, 0, 0, 1]])
H = 0.7071067811865476


@pytest.mark.parametrize("name, text, units", [
    ("xyzw.csv", f"x,y,z,qx,qy,qz,qw\n0.1,0.2,0.3,0,0,{H},{H}\n", "m"),
    ("wxyz.csv", f"X, Y, Z, QW, QX, QY, QZ\n0.1,0.2,0.3,{H},0,0,{H}\n", "m"),
    ("degrees.csv", "x,y,z,rx,ry,rz\n100,200,300,0,0,90\n", "mm"),
    ("objects.json", json.dumps([{"qw": H, "qz": H, "qx": 0, "qy": 0, "x": 0.1, "y": 0.2, "z": 0.3}]), "m"),
    ("angles.json", json.dumps([{"x": 100, "y": 200, "z": 300, "rx": 0, "ry": 0, "rz": 90}]), "mm"),
    ("matrices.json", json.dumps([[[0, -1, 0, 100], [1, 0, 0, 200], [0, 0, 1, 300], [0, 0, 0, 1]]]), "mm"),
])
def test_each_format_reads_the_same_pose(tmp_path, name, text, units):
    (tmp_path / name).write_text(text)
    [pose] = read_robot_poses(tmp_path / name, units)
    assert pose.row == 1 and pose.image is None and pose.robot_T_tcp.dtype == np.float64
    np.testing.assert_allclose(pose.robot_T_tcp, QUARTER_TURN, atol=1e-12)


def random_poses(n, seed=0):
    rng = np.random.default_rng(seed)
    poses = []
    for _ in range(n):
        T = np.eye(4)
        T[:3, :3] = cv2.Rodrigues(rng.uniform(-np.pi / 1.8, np.pi / 1.8, 3))[0]
        T[:3, 3] = rng.uniform(-1.5, 1.5, 3)
        poses.append(T)
    return poses


@pytest.mark.parametrize("units", ["m", "mm"])
@pytest.mark.parametrize("name, layout, with_images", [
    (name, layout, with_images) for name in ("poses.csv", "poses.json")
    for layout in ("xyzw", "wxyz", "degrees") for with_images in (False, True)
] + [("poses.json", "matrix", False)])
def test_written_poses_read_back(tmp_path, name, layout, with_images, units):
    poses = random_poses(5)
    images = [f"shot_{k}.png" for k in range(5)] if with_images else None
    write_robot_poses(tmp_path / name, poses, images, layout=layout, units=units)
    read = read_robot_poses(tmp_path / name, units)
    assert [pose.image for pose in read] == (images or [None] * 5)
    np.testing.assert_allclose([pose.robot_T_tcp for pose in read], poses, atol=1e-12)


def test_quaternions_near_unit_length_are_normalised(tmp_path):
    (tmp_path / "p.csv").write_text("x,y,z,qx,qy,qz,qw\n0,0,0,0,0,0.7075,0.7075\n")
    R = read_robot_poses(tmp_path / "p.csv")[0].robot_T_tcp[:3, :3]
    np.testing.assert_allclose(R, QUARTER_TURN[:3, :3], atol=1e-12)


GOOD = "0,0,0,0,0,0,1"
REFLECTION = [[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, -1, 0], [0, 0, 0, 1]]
SCALED = [[1.1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]]


@pytest.mark.parametrize("name, text, message", [
    ("p.csv", f"x,y,z,qx,qy,qz,qw\n{GOOD}\n0,0,0,0,0,0,0.9\n",
     "data row 2: quaternion (qx, qy, qz, qw) has length 0.9, not 1 (tolerance 0.001)"),
    ("p.csv", "x,y,z,qx,qy,qz\n0,0,0,0,0,0\n", "header: missing column 'qw'"),
    ("p.csv", "x,y,z,qx,qy,qz,qw,speed\n", "header: unknown column 'speed'; expected x, y, z and either qx, qy, qz, qw "
     "or rx, ry, rz (degrees), optionally image"),
    ("p.csv", "x,y,z,qx,qy,qz,qw,rx\n", "header: both a quaternion (qx, qy, qz, qw) and angles (rx, ry, rz); give one "
     "rotation"),
    ("p.csv", "x,y,z\n", "header: no rotation; expected columns qx, qy, qz, qw or rx, ry, rz"),
    ("p.csv", "x,y,z,x,rx,ry,rz\n", "header: column 'x' appears twice"),
    ("p.csv", "x,y,z,qx,qy,qz,qw\n", "no poses"),
    ("p.csv", f"x,y,z,qx,qy,qz,qw\n{GOOD}\n0,0,0,0,0,1\n", "data row 2: no value for column 'qw'"),
    ("p.csv", f"x,y,z,qx,qy,qz,qw\n{GOOD},7\n", "data row 1: 8 values for 7 columns"),
    # Blank lines are skipped but counted: data row N is N lines below the header.
    ("p.csv", f"x,y,z,rx,ry,rz\n0,0,0,0,0,0\n\n0.1,abc,0,0,0,0\n", "data row 3: y is 'abc', not a number"),
    ("p.csv", "x,y,z,rx,ry,rz\n0,0,,0,0,0\n", "data row 1: z is empty"),
    ("p.csv", "x,y,z,rx,ry,rz\n0,0,0,nan,0,0\n", "data row 1: rx is nan, not a finite number"),
    ("p.csv", f"x,y,z,qx,qy,qz,qw,image\n{GOOD},a.png\n{GOOD},./a.png\n",
     "data row 2: image './a.png' is already named by data row 1"),
    ("p.csv", f"x,y,z,qx,qy,qz,qw,image\n{GOOD},a.png\n{GOOD}, \n", "data row 2: image is empty"),
    ("p.json", '[{"x": 0, "y": 0, "z": 0, "rx": 0, "ry": 0, "rz": 0}, {"x": 0, "y": 0, "z": 0, "rx": 0, "ry": 0}]',
     "data row 2: missing key 'rz'"),
    ("p.json", '[{"x": null, "y": 0, "z": 0, "rx": 0, "ry": 0, "rz": 0}]', "data row 1: x is null, not a number"),
    ("p.json", '[{"x": NaN, "y": 0, "z": 0, "rx": 0, "ry": 0, "rz": 0}]', "data row 1: x is nan, not a finite number"),
    ("p.json", json.dumps([REFLECTION]), "data row 1: not a rigid transform: rotation part is a reflection "
     "(determinant -1)"),
    ("p.json", json.dumps([SCALED]), "data row 1: not a rigid transform: rotation part is not orthonormal "
     "(R^T R - I reaches 0.21)"),
    ("p.json", json.dumps([[[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 1, 1]]]),
     "data row 1: not a rigid transform: last row is [0.0, 0.0, 1.0, 1.0], not [0, 0, 0, 1]"),
    ("p.json", json.dumps([[[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0]]]),
     "data row 1: not a rigid transform: expected 4 rows of 4 numbers"),
    ("p.json", json.dumps([[[1, 0, 0, "a"], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]]]),
     "data row 1: entry [0][3] is 'a', not a number"),
    ("p.json", json.dumps([{"x": 0, "y": 0, "z": 0, "rx": 0, "ry": 0, "rz": 0, "image": "a.png"}, np.eye(4).tolist()]),
     "data row 2 names no image, but data row 1 does; name one in every row or in none"),
    ("p.json", "[3]", "data row 1: expected a pose object or a 4x4 matrix, got a JSON number"),
    ("p.json", '{"poses": []}', "expected a list of pose objects or 4x4 matrices, got a JSON object"),
    ("p.json", "[{", "not valid JSON: Expecting property name enclosed in double quotes (line 1, column 3)"),
    ("p.txt", "x,y,z,rx,ry,rz\n", "unknown pose file type '.txt'; expected .csv or .json"),
], ids=lambda value: value if isinstance(value, str) and len(value) < 8 else None)
def test_bad_files_name_the_file_the_row_and_the_fault(tmp_path, name, text, message):
    path = tmp_path / name
    path.write_text(text)
    with pytest.raises(RobotPoseError) as caught:
        read_robot_poses(path)
    assert str(caught.value) == f"{path}: {message}"
    assert isinstance(caught.value, ValueError)


def test_missing_file_and_unknown_units(tmp_path):
    with pytest.raises(RobotPoseError, match=r"none\.csv: cannot read it \(No such file or directory\)$"):
        read_robot_poses(tmp_path / "none.csv")
    with pytest.raises(ValueError, match="^pose units must be 'm' or 'mm', got 'cm'$"):
        read_robot_poses(tmp_path / "none.csv", "cm")


@pytest.fixture
def image_folder(tmp_path):
    folder = tmp_path / "images"
    folder.mkdir()
    for name in ("b.png", "a.png", "c.JPG"):
        (folder / name).write_bytes(b"")
    (folder / "notes.txt").write_text("not an image")
    return folder


def test_images_pair_by_name_or_by_order(tmp_path, image_folder):
    poses = random_poses(3)
    write_robot_poses(tmp_path / "named.csv", poses, ["c.JPG", "a.png", "b.png"])
    write_robot_poses(tmp_path / "plain.csv", poses)
    for file, names in [("named.csv", ["c.JPG", "a.png", "b.png"]), ("plain.csv", ["a.png", "b.png", "c.JPG"])]:
        pairs = read_posed_images(tmp_path / file, image_folder)
        assert [image.name for image, _ in pairs] == names
        np.testing.assert_allclose([T for _, T in pairs], poses, atol=1e-12)


@pytest.mark.parametrize("poses, images, message", [
    (2, None, "{file}: 2 poses but 3 images in {folder}; give one image per pose (taken in name order) or name each "
              "pose's image in an 'image' column"),
    (2, ["a.png", "d.png"], "{file}: data row 2: image 'd.png' not found in {folder}"),
])
def test_images_that_do_not_pair_are_refused(tmp_path, image_folder, poses, images, message):
    file = tmp_path / "p.csv"
    write_robot_poses(file, random_poses(poses), images)
    with pytest.raises(RobotPoseError) as caught:
        pair_with_images(file, read_robot_poses(file), image_folder)
    assert str(caught.value) == message.format(file=file, folder=image_folder)
