import pathlib

import pytest

SHARED_DATA = pathlib.Path(__file__).resolve().parents[1].parent / "shared" / "data"


@pytest.fixture(scope="session")
def shared_data():
    """Folder of real calibration data beside the checkout; tests using it skip when it is absent."""
    if not SHARED_DATA.is_dir():
        pytest.skip("real calibration data not present")
    return SHARED_DATA
