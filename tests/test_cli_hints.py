"""Common mistakes with the target or the images: each one gets a hint on standard output naming its cause."""

import re
import shutil

import cv2
import numpy as np
import pytest

from vantel_tools import cli

NO_RECORD = "No record written: a record of an earlier run stays as it was."


@pytest.fixture(scope="module")
def scenes(tmp_path_factory):
    root = tmp_path_factory.mktemp("hint-scenes")
    assert cli.main(["simulate", "intrinsic", str(root / "chessboard"), "--views", "6", "--seed", "2"]) == 0
    assert cli.main(["simulate", "rig", str(root / "rig"), "--views", "1", "--intrinsic-views", "4",
                     "--seed", "2"]) == 0
    return {"chessboard": root / "chessboard", "charuco": root / "rig" / "intrinsics" / "cam_00"}


@pytest.mark.parametrize("scene, target, found, hint", [
    ("chessboard", "chessboard:10x7:0.03", 0,
     "hint: a chessboard's size counts inner corners, not squares: 10x7 is a board of 11x8 squares; a board of 10x7 "
     "squares is chessboard:9x6:0\\.03"),
    ("charuco", "charuco:9x7:0.03:0.022:DICT_5X5_100", 0,
     r"hint: the markers are DICT_4X4_50 or DICT_4X4_100 or DICT_4X4_250 or DICT_4X4_1000 \(\d+ found\), not "
     r"DICT_5X5_100: check the dictionary"),
    ("charuco", "charuco:7x9:0.03:0.022:DICT_4X4_50", 0,
     "hint: the board is 9x7 squares, not 7x9: swap the two counts"),
], ids=["squares-counted", "dictionary", "transposed"])
def test_a_target_found_nowhere_names_the_likely_cause(scenes, tmp_path, capsys, scene, target, found, hint):
    assert cli.main(["intrinsic", str(scenes[scene]), "--target", target, "-o", str(tmp_path)]) == 1
    lines = capsys.readouterr().out.splitlines()
    # hint is a pattern: the number of markers found depends on the OpenCV version.
    assert lines[-3] == f"Calibration failed: the target was found in {found} of {len(lines) - 3} images."
    assert re.fullmatch(hint, lines[-2]) and lines[-1] == NO_RECORD
    assert not list(tmp_path.iterdir()), "a failed run writes nothing"


def test_blank_images_suggest_an_inverted_or_blurred_board(tmp_path, capsys):
    for k in range(3):
        cv2.imwrite(str(tmp_path / f"grey_{k}.png"), np.full((480, 640), 128, np.uint8))
    assert cli.main(["intrinsic", str(tmp_path), "--target", "charuco:5x7:0.04:0.02:DICT_6X6_250", "-o",
                     str(tmp_path / "out")]) == 1
    assert ("hint: no markers of any dictionary were found: check that the board is in focus and not printed "
            "inverted (white markers on black)\n") in capsys.readouterr().out


def test_mixed_image_sizes_are_named_on_standard_output(scenes, tmp_path, capsys):
    folder = shutil.copytree(scenes["chessboard"], tmp_path / "images")
    image = cv2.imread(str(folder / "image_02.png"))
    cv2.imwrite(str(folder / "image_02.png"), cv2.resize(image, None, fx=0.5, fy=0.5))
    assert cli.main(["intrinsic", str(folder), "--target", "chessboard:9x6:0.03", "-o", str(tmp_path / "out")]) == 1
    out = capsys.readouterr().out
    assert out.splitlines()[-2] == ("hint: the images have 2 sizes (1280x960 in 5 images; other sizes: image_02.png); "
                                    "a folder must hold the images of one camera")


@pytest.mark.parametrize("target, message", [
    ("chessboard:9x6:25", "square size 25 is longer than 1 m: lengths are in metres (25 mm is 0.025)"),
    ("charuco:5x7:40:20:DICT_6X6_250", "square size 40 is longer than 1 m: lengths are in metres (40 mm is 0.04)"),
    ("aruco:4x5:0.0375:5:DICT_6X6_1000", "marker separation 5 is longer than 1 m: lengths are in metres "
                                         "(5 mm is 0.005)"),
])
def test_lengths_over_a_metre_are_refused(scenes, capsys, target, message):
    assert cli.main(["intrinsic", str(scenes["chessboard"]), "--target", target]) == 2
    assert capsys.readouterr().err == f"vantel intrinsic: error: --target: {message}\n"
