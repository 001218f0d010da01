"""Type-checked by mypy against the installed package (not run by pytest):
the stubs must be found and must describe what the module does."""

import os
import sys
import tempfile

import numpy as np
import numpy.typing as npt

import mapconv


def round_trip(folder: str) -> int:
    heights: npt.NDArray[np.float64] = np.zeros((4, 5))
    lost: int = mapconv.save_heights(os.path.join(folder, "a.dat"), heights, 1e-5)
    data: mapconv.DataFile = mapconv.read_data_file(os.path.join(folder, "a.dat"))
    back = data.heights()
    assert back is not None
    mapconv.write_data_file(os.path.join(folder, "b.dat"), data.phase, header=data.header)
    return lost + int(back.shape[0])


def header_and_errors(data: mapconv.DataFile) -> int:
    header: mapconv.Header = data.header
    # Read-only at run time, so refused here; an unused ignore fails --strict.
    data.wavelength = 1.0  # type: ignore[misc]
    try:
        mapconv.convert("in.xdt", "out.dat")
    except mapconv.FileNotFound as error:
        return error.code + int(error.exists) + len(error.name)
    return len(header)


def grid(path: str) -> float:
    heights, resolution = mapconv.read_xdt(path)
    result: mapconv.XdtGrid = mapconv.read_xdt(path)
    return float(heights.max()) + resolution + result.lateral_resolution


def x3p(path: str) -> float:
    surface: mapconv.X3pSurface = mapconv.read_x3p(path)
    mapconv.write_x3p(path, surface.heights, surface.x_increment, dtype="float32", force=True)
    metadata = surface.metadata or {}
    return float(surface.heights.max()) + surface.y_increment + len(surface.data_type) + len(metadata)



def figure(path: str) -> int:
    heights, resolution = mapconv.read_xdt(path)
    mapconv.write_picture(path + ".png", heights, resolution, range=(-1e-7, 1e-7), level="mean", force=True)
    rgb: npt.NDArray[np.uint8] = mapconv.picture(heights, resolution, source=path, size=200, legend=False)
    # Only the two forms are levelled away.
    mapconv.picture(heights, resolution, level="cubic")  # type: ignore[arg-type]
    return int(rgb.shape[0])

if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as folder:
        sys.exit(0 if round_trip(folder) == 4 else 1)
