"""Batches are searched side by side: each gives what its images give one by one, with the same skip lines,
progress and failures in image order."""

import pytest

from intrinsic_support import TARGETS, blank, calibrator, images

# Twelve views and four blanks, spread so that several chunks of a batch hold both.
BLANKS = (0, 5, 9, 14)
NOT_ENOUGH = {"chessboard": "[vantel][WARNING] [IntrinsicCalibrator] Chessboard not found in image {}",
              "charuco": "[vantel][WARNING] [CharucoIntrinsicCalibrator] Not enough ChArUco corners in image {}",
              "aruco": "[vantel][WARNING] [ArucoIntrinsicCalibrator] Not enough ArUco markers in image {}"}


def with_blanks(views):
    batch = list(views)
    for position in BLANKS:
        batch.insert(position, blank())
    return batch


def assert_same_bits(arrays, expected):
    assert len(arrays) == len(expected)
    for array, reference in zip(arrays, expected):
        assert (array.shape, array.dtype, array.tobytes()) == (reference.shape, reference.dtype, reference.tobytes())


@pytest.mark.parametrize("name", list(TARGETS))
def test_a_batch_finds_what_its_images_give_one_by_one(name, capsys, progress):
    batch = with_blanks(images(name)[:12])
    calibration = calibrator(name)
    alone = [calibration.find_corners([image]) for image in batch]
    capsys.readouterr()
    progress.clear()
    together = calibration.find_corners(batch)
    assert capsys.readouterr().err.splitlines() == [NOT_ENOUGH[name].format(i) for i in BLANKS]
    assert progress == [("Finding corners", i + 1, len(batch)) for i in range(len(batch))]
    assert together.successful_indices == [i for i, found in enumerate(alone) if found.successful_indices] == [
        i for i in range(len(batch)) if i not in BLANKS]
    for field in ("image_points", "object_points", "point_ids", "annotated_images"):
        assert_same_bits(getattr(together, field), [array for found in alone for array in getattr(found, field)])


# (options, image that cannot be searched and its position, error type); a bad option fails at the first image.
# Unusable images are refused before any search (test_detection.py).
FAILURES = [({"chessboard_corner_detector": "Sector based"}, blank(), 0, ValueError)]


@pytest.mark.parametrize("options, bad, position, error", FAILURES)
def test_a_failing_image_fails_the_batch_at_its_place(options, bad, position, error, capsys, progress):
    calibration = calibrator("chessboard", **options)
    with pytest.raises(error) as alone:
        calibration.find_corners([bad])
    batch = [blank()] * 12
    batch[position] = bad
    progress.clear()
    with pytest.raises(error) as raised:
        calibration.find_corners(batch)
    assert str(raised.value) == str(alone.value)
    # The images before it are reported as a loop over the images would have.
    assert capsys.readouterr().err.splitlines() == [NOT_ENOUGH["chessboard"].format(i) for i in range(position)]
    assert progress == [("Finding corners", i + 1, len(batch)) for i in range(position)]
