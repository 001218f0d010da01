"""X3P files through the module: the real samples, round trips, and the
package's error classes for bad files and arguments."""

import math
import os
import zipfile

import numpy as np
import pytest

import mapconv

if not hasattr(mapconv._mapconv, "_read_x3p"):
    pytest.skip("the module was built without X3P support", allow_module_level=True)

SAMPLES = os.environ.get(
    "MAPCONV_X3P_SAMPLES",
    os.path.join(os.path.dirname(__file__), "..", "..", "..", "shared", "x3p"),
)


def sample(name):
    path = os.path.join(SAMPLES, name)
    if not os.path.exists(path):
        pytest.skip(f"no {path} (../shared/x3p beside the project root)")
    return path


def test_integer_sample_scaled_with_its_invalid_point_and_record2():
    surface = mapconv.read_x3p(sample("ISO5436-sample4_bin.x3p"))
    assert surface.heights.shape == (4, 4)
    assert surface.heights.dtype == np.float64
    assert surface.data_type == "I"
    assert surface.x_increment == 1.6016e-2
    assert math.isnan(surface.heights[1, 3])
    assert surface.heights[0, 0] == pytest.approx(986 * 0.001 - 0.5)
    assert surface.metadata["comment"].startswith("This is a sample data file")


def test_focus_variation_sample():
    surface = mapconv.read_x3p(sample("SkiInfiniteFocus.x3p"))
    assert surface.heights.shape == (940, 1197)
    assert surface.y_increment == 0.000003680270397
    assert np.isinf(surface.heights).sum() == 4272
    assert surface.metadata["manufacturer"] == "Alicona Imaging GmbH"


@pytest.mark.parametrize("dtype", ["float64", "float32"])
def test_round_trip_bit_for_bit_from_any_layout(tmp_path, dtype):
    heights = (np.arange(35, dtype=np.float64).reshape(5, 7) * 1.1e-7).T  # not C-contiguous
    heights[2, 3] = np.nan
    path = tmp_path / "s.x3p"
    mapconv.write_x3p(path, heights, 2e-6, 3e-6, dtype=dtype)
    back = mapconv.read_x3p(path)
    expected = heights.astype(dtype).astype(np.float64)
    assert back.heights.tobytes() == expected.tobytes()
    assert (back.x_increment, back.y_increment) == (2e-6, 3e-6)
    assert back.data_type == ("D" if dtype == "float64" else "F")
    assert back.metadata is None
    with zipfile.ZipFile(path) as container:
        assert sorted(container.namelist()) == ["bindata/data.bin", "main.xml", "md5checksum.hex"]


def test_existing_file_kept_without_force(tmp_path):
    path = tmp_path / "s.x3p"
    path.write_bytes(b"old")
    with pytest.raises(mapconv.FileExists) as caught:
        mapconv.write_x3p(path, np.zeros((2, 2)), 1e-6)
    assert caught.value.exists
    assert path.read_bytes() == b"old"
    mapconv.write_x3p(path, np.zeros((2, 2)), 1e-6, force=True)
    assert mapconv.read_x3p(path).heights.shape == (2, 2)


def test_damaged_and_foreign_files(tmp_path):
    path = tmp_path / "s.x3p"
    mapconv.write_x3p(path, np.ones((20, 20)), 1e-6)
    data = bytearray(path.read_bytes())
    data[100] ^= 0xFF  # inside data.bin, stored
    path.write_bytes(bytes(data))
    with pytest.raises(mapconv.Error) as caught:
        mapconv.read_x3p(path)
    assert caught.value.name == "ERR_CORRUPT_DATA_FILE"
    (tmp_path / "t.x3p").write_bytes(b"not a zip")
    with pytest.raises(mapconv.Error, match=r"t\.x3p: not an X3P file") as caught:
        mapconv.read_x3p(tmp_path / "t.x3p")
    assert caught.value.name == "ERR_NOT_A_DATA_FILE"
    with pytest.raises(mapconv.FileNotFound):
        mapconv.read_x3p(tmp_path / "absent.x3p")


def test_bad_arguments(tmp_path):
    with pytest.raises(TypeError):
        mapconv.write_x3p(tmp_path / "a.x3p", np.zeros((2, 2), complex), 1e-6)
    with pytest.raises(ValueError):
        mapconv.write_x3p(tmp_path / "a.x3p", np.zeros(4), 1e-6)
    with pytest.raises(ValueError):
        mapconv.write_x3p(tmp_path / "a.x3p", np.zeros((2, 2)), 0.0)
    with pytest.raises(ValueError):
        mapconv.write_x3p(tmp_path / "a.x3p", np.full((2, 2), 1e39), 1e-6, dtype="float32")
    assert not (tmp_path / "a.x3p").exists()
