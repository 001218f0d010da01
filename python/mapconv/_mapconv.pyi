"""The extension under the package mapconv: its functions are the
package's functions of the same names, without the leading underscore."""

import os
from typing import Any, Literal, Optional, Union

import numpy as np
import numpy.typing as npt

from ._types import Header, X3pSurface, XdtGrid

_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]

__version__: str
PHASE_INVALID: int
CONVERSION_WAVELENGTH: float
CONVERSION_SCALE_FACTOR: float
HEADER_FIELDS: tuple[str, ...]
error_codes: dict[str, int]
ERR_INVALID_PARAM: int
ERR_PARAM_OUT_OF_RANGE: int
ERR_CANT_OPEN_FILE: int
ERR_CANT_CREATE_FILE: int
ERR_CANT_WRITE_FILE: int
ERR_PREMATURE_EOF: int
ERR_NOT_A_DATA_FILE: int
ERR_NO_MEM: int

class DataFile:
    """The contents of a binary data file; the arrays use the reader's blocks.
    Made only by read_data_file; its attributes are read-only."""

    @property
    def header_format(self) -> int: ...
    @property
    def header_size(self) -> int: ...
    @property
    def software_info(self) -> bytes:
        """The 38 bytes at file offset 10, as in the file."""
    @property
    def header(self) -> Header:
        """The named header fields, and 'reserved': the bytes of every other field
        from file offset 76 on, in file order, as in the file (HEADER_FIELDS)."""
    @property
    def wavelength(self) -> float: ...
    @property
    def scale_factor(self) -> float: ...
    @property
    def obliquity(self) -> float: ...
    @property
    def lateral_resolution(self) -> float: ...
    @property
    def phase_resolution(self) -> int: ...
    @property
    def frame_width(self) -> int: ...
    @property
    def frame_height(self) -> int: ...
    @property
    def phase_origin(self) -> tuple[int, int]: ...
    @property
    def intensity_origin(self) -> tuple[int, int]: ...
    @property
    def intensity_range(self) -> int: ...
    @property
    def phase(self) -> Optional[npt.NDArray[np.int32]]:
        """(rows, columns) phase counts, PHASE_INVALID without data; None if absent."""
    @property
    def intensity(self) -> Optional[npt.NDArray[np.uint16]]:
        """(buckets, rows, columns); None if absent."""
    def heights(self) -> Optional[npt.NDArray[np.float64]]:
        """Heights in metres (new array), NaN for PHASE_INVALID, from the file's
        own wavelength and scale factor; None without a phase block. ValueError
        naming the field when either is zero, infinite or NaN."""

def _read_data_file(path: _Path) -> DataFile:
    """Reads a binary data file. Raises Error (ERR_CANT_OPEN_FILE,
    ERR_PREMATURE_EOF, ERR_NOT_A_DATA_FILE, ERR_NO_MEM)."""

def _read_xdt(path: _Path) -> XdtGrid:
    """Reads an XDT grid: (heights (rows, columns) in metres with NaN for no
    data, lateral_resolution). Raises Error (ERR_CANT_OPEN_FILE,
    ERR_PREMATURE_EOF, ERR_PARAM_OUT_OF_RANGE, ERR_INVALID_PARAM for a data
    file, ERR_NO_MEM)."""

def _save_heights(
    path: _Path,
    heights: npt.ArrayLike,
    lateral_resolution: float,
    force: bool = False,
) -> int:
    """Writes heights ((rows, columns), metres, any real dtype, converted as
    numpy.asarray(heights, numpy.float32) would; NaN or <= -1.0 for no data)
    as mapconv would; returns the number of heights whose phase count cannot
    be stored, and warns with UnrepresentableHeightsWarning when it is not 0.
    TypeError for complex, object or string dtypes, ValueError for another
    shape, Error on failure."""

def _read_x3p(path: _Path) -> X3pSurface:
    """Reads an X3P surface file: (heights (rows, columns) float64 in metres
    with NaN for no data, x_increment, y_increment, data_type, metadata).
    Raises Error (ERR_CANT_OPEN_FILE, ERR_NOT_A_DATA_FILE,
    ERR_CORRUPT_DATA_FILE, ERR_PARAM_OUT_OF_RANGE, ERR_NO_MEM)."""

def _write_x3p(
    path: _Path,
    heights: npt.ArrayLike,
    x_increment: float,
    y_increment: Optional[float] = None,
    dtype: str = "float64",
    force: bool = False,
) -> None:
    """Writes heights (metres, NaN for no data) as an X3P surface file of
    float64 or float32 values, put in place only when complete. Raises
    TypeError / ValueError for bad arguments, Error on failure."""

def _convert(xdt_path: _Path, data_path: _Path, force: bool = False) -> int:
    """Converts an XDT file into a data file exactly as mapconv does; returns
    the number of heights written as no data because their count does not
    fit (after an UnrepresentableHeightsWarning). Raises Error."""

def _height_parameters(
    heights: npt.ArrayLike,
    lateral_resolution: float,
    level: Literal["plane", "mean"] = "plane",
) -> dict[str, Any]:
    """Areal height parameters of a 2-D array (rows, columns; NaN for no
    data) after removing the least-squares plane or the mean: level, points,
    mean, slope_x, slope_y (height units per lateral unit), Sa, Sq, Ssk,
    Sku, Sp, Sv, Sz; NaN where undefined. ValueError for another level or
    shape."""

def _write_data_file(
    path: _Path,
    phase: Optional[npt.ArrayLike] = None,
    intensity: Optional[npt.ArrayLike] = None,
    header: Optional[dict[str, Any]] = None,
    software_info: Optional[bytes] = None,
    force: bool = False,
    *,
    phase_origin: tuple[int, int] = (0, 0),
    intensity_origin: tuple[int, int] = (0, 0),
    intensity_range: int = 0,
) -> None:
    """Writes a data file atomically: phase (rows, columns) of integers that
    fit int32, intensity (buckets, rows, columns) of integers that fit
    uint16. Without a header, mapconv's interferometer settings. TypeError /
    ValueError for bad arguments, Error on failure."""

_picture_legend: bool

def _write_picture(
    path: _Path,
    heights: npt.ArrayLike,
    lateral_resolution: float,
    *,
    source: _Path = "heights",
    title: Optional[str] = None,
    size: Optional[int] = None,
    range: Optional[tuple[float, float]] = None,
    legend: bool = True,
    level: Optional[Literal["plane", "mean"]] = None,
    force: bool = False,
) -> None:
    """Writes mapinfo's figure of heights ((rows, columns), metres, NaN for no
    data) as a PNG, complete or not at all; an existing file is replaced only
    with force. The title is mapinfo's for a file named source unless given;
    range in metres. UserWarning when drawn without the legend the build
    lacks. TypeError / ValueError for bad arguments, Error on failure."""

def _picture(
    heights: npt.ArrayLike,
    lateral_resolution: float,
    *,
    source: _Path = "heights",
    title: Optional[str] = None,
    size: Optional[int] = None,
    range: Optional[tuple[float, float]] = None,
    legend: bool = True,
    level: Optional[Literal["plane", "mean"]] = None,
) -> npt.NDArray[np.uint8]:
    """The figure _write_picture writes, as a uint8 array (height, width, 3)."""
