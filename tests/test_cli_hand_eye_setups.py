"""`vantel hand-eye` for both robot cells, robot poses from the files robots write, and poses that look wrong."""

import json

import numpy as np
import pytest

import _vantel
from measures import transform_error
from vantel_tools import cli
from vantel_tools.robot_poses import write_robot_poses


@pytest.fixture(scope="module")
def scenes(tmp_path_factory):
    root = tmp_path_factory.mktemp("hand-eye-scenes")
    for name, views, extra in [("flange", 10, []), ("stationary", 15, ["--stationary"])]:
        assert cli.main(["simulate", "hand-eye", str(root / name), "--views", str(views), "--seed", "4", *extra]) == 0
    return root


def truth(folder):
    return json.loads((folder / "truth.json").read_text())


def run(capsys, folder, *argv):
    status = cli.main(["hand-eye", str(folder), "--target", truth(folder)["target"], *map(str, argv)])
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def poses_of(folder):
    return list(np.load(folder / "calibration_data.npz")["robot_T_tcp_list"])


def test_stationary_camera_from_the_dataset_folder(scenes, tmp_path, capsys):
    folder = scenes / "stationary"
    status, out, _ = run(capsys, folder, "--stationary", "-o", tmp_path)
    assert status == 0
    record = _vantel.io.load_stationary_hand_eye_result(tmp_path)
    # The camera is calibrated from the same views of a board a metre away: its principal point limits the rotation.
    for name in ("robot_T_camera", "tcp_T_target"):
        translation, rotation = transform_error(getattr(record, name), np.array(truth(folder)[name]))
        assert translation < 0.01 and rotation < 0.3, name
    assert "robot_T_camera maps camera coordinates into robot base coordinates" in out
    x, y, z = record.robot_T_camera[:3, 3]
    assert f"robot_T_camera: x {x:.4f} m, y {y:.4f} m, z {z:.4f} m; quaternion" in out
    assert (tmp_path / "robot_T_camera.yaml").is_file() and (tmp_path / "tcp_T_target.yaml").is_file()
    assert not (tmp_path / "hand_eye.json").exists()


def write_poses(path, folder, transform=lambda pose: pose, names=True, **options):
    poses = [transform(pose) for pose in poses_of(folder)]
    images = [f"image_{k:02d}.png" for k in range(len(poses))] if names else None
    write_robot_poses(path, poses, images, **options)


@pytest.mark.parametrize("file_name, options, units", [
    ("poses.csv", {"layout": "xyzw"}, "m"),
    ("poses.csv", {"layout": "degrees", "units": "mm"}, "mm"),
    ("poses.json", {"layout": "wxyz"}, "m"),
    ("poses.json", {"layout": "matrix", "units": "mm"}, "mm"),
])
def test_pose_files_give_the_result_of_the_dataset_folder(scenes, tmp_path, capsys, file_name, options, units):
    folder = scenes / "stationary"
    assert run(capsys, folder, "--stationary", "-o", tmp_path / "npz")[0] == 0
    write_poses(tmp_path / file_name, folder, names=options["layout"] != "matrix", **options)
    status, _, _ = run(capsys, folder, "--stationary", "--poses", tmp_path / file_name, "--pose-units", units,
                       "-o", tmp_path / "file")
    assert status == 0
    from_file = _vantel.io.load_stationary_hand_eye_result(tmp_path / "file").robot_T_camera
    np.testing.assert_allclose(from_file, _vantel.io.load_stationary_hand_eye_result(tmp_path / "npz").robot_T_camera,
                               atol=1e-6)


# Each mistake on each cell: exit 3 without a record, the WARNING naming it; --accept-poses keeps the result.
@pytest.mark.parametrize("scene", ["flange", "stationary"])
@pytest.mark.parametrize("mistake, transform, written, units, words", [
    ("inverted", np.linalg.inv, "m", "m", "The robot poses look inverted"),
    ("millimetres", lambda pose: pose, "mm", "m", "The robot translations look like millimetres"),
    # A file in metres read as millimetres: the same thousandfold mistake the other way round.
    ("millimetres", lambda pose: pose, "m", "mm", "read as millimetres"),
])
def test_poses_that_look_wrong_end_with_exit_status_3(scenes, tmp_path, capsys, scene, mistake, transform, written,
                                                      units, words):
    folder = scenes / scene
    stationary = ["--stationary"] if scene == "stationary" else []
    record = "hand_eye_stationary.json" if stationary else "hand_eye.json"
    assert run(capsys, folder, *stationary, "-o", tmp_path)[0] == 0
    good = (tmp_path / record).read_bytes()
    write_poses(tmp_path / "poses.csv", folder, transform, units=written)
    status, out, err = run(capsys, folder, *stationary, "--poses", tmp_path / "poses.csv", "--pose-units", units,
                           "-o", tmp_path)
    assert status == 3 and words in err and mistake in err
    assert "The poses look wrong (see the WARNING)" in out and "--accept-poses" in out
    assert (tmp_path / record).read_bytes() == good
    status, _, _ = run(capsys, folder, *stationary, "--poses", tmp_path / "poses.csv", "--pose-units", units,
                       "--accept-poses", "-o", tmp_path)
    assert status == 0 and (tmp_path / record).read_bytes() != good
    assert words in (tmp_path / "report.html").read_text()


def test_a_bad_pose_row_is_a_one_line_error(scenes, tmp_path, capsys):
    folder = scenes / "flange"
    write_poses(tmp_path / "poses.csv", folder)
    lines = (tmp_path / "poses.csv").read_text().splitlines()
    lines[3] = lines[3].replace(",", ",x", 1)
    (tmp_path / "poses.csv").write_text("\n".join(lines) + "\n")
    status, _, err = run(capsys, folder, "--poses", tmp_path / "poses.csv", "-o", tmp_path / "out")
    assert status == 2 and err.startswith(f"vantel hand-eye: error: {tmp_path / 'poses.csv'}: data row 3: ")
    assert len(err.splitlines()) == 1


def test_method_comparison_of_a_stationary_camera(scenes, tmp_path, capsys):
    status, out, _ = run(capsys, scenes / "stationary", "--stationary", "--compare", "-o", tmp_path)
    assert status == 0 and out.startswith("robot_T_camera by each method")
    document = json.loads((tmp_path / "method_comparison.json").read_text())
    assert document["agree"] and document["frames"].startswith("robot_T_camera maps camera coordinates")
