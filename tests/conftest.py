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
