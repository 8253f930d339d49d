import pathlib

import pytest

SHARED_DATA = pathlib.Path(__file__).resolve().parents[1].parent / "shared" / "data"


@pytest.fixture(scope="session")
def shared_data():
    """Folder of real calibration data beside the checkout; tests using it skip when it is absent."""
    if not SHARED_DATA.is_dir():
        pytest.skip("real calibration data not present")
    return SHARED_DATA


@pytest.fixture(scope="session")
def charuco_rig():
    """Four different cameras, 18 synchronised frames of a ChArUco board, 0.2 px noise."""
    from vantel_tools.rendering import defaults, rig_scene

    return rig_scene(defaults.RIG_CHARUCO, defaults.RIG_CAMERAS, defaults.RIG_REFERENCE_T_CAMERA, n_frames=18,
                     seed=1, position_noise_px=0.2)


@pytest.fixture(scope="session")
def robot_dataset(shared_data):
    """The real eye-in-hand set: its images (BGR) and flange poses."""
    import cv2
    import numpy as np

    folder = shared_data / "rwhe_kuka2_eye_in_hand"
    if not folder.is_dir():
        pytest.skip("eye-in-hand dataset not present")
    images = [cv2.imread(str(path), cv2.IMREAD_COLOR) for path in sorted(folder.glob("image_*.png"))]
    return images, list(np.load(folder / "calibration_data.npz")["robot_T_tcp_list"])


@pytest.fixture
def progress():
    """The progress reports of the calls made during the test, as (what, done, total)."""
    import _vantel

    reports = []
    _vantel.set_progress_callback(lambda *report: reports.append(report))
    yield reports
    _vantel.set_progress_callback(None)
