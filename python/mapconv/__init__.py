"""Surface-measurement data files (binary data files and XDT grids) as NumPy
arrays, and the height-to-phase conversion mapconv makes.

Functions: read_xdt, read_data_file, read_x3p, save_heights, convert,
write_data_file, write_x3p, height_parameters, and mapinfo's figure of
heights: write_picture (a PNG file) and picture (a NumPy array). Paths are str, bytes or os.PathLike, each naming the file
open() would open.

Results: DataFile (read_data_file's; its header a Header, the dict of the
header fields), XdtGrid (read_xdt's named tuple: heights,
lateral_resolution) and X3pSurface (read_x3p's named tuple: heights,
x_increment, y_increment, data_type, metadata).

Errors: Error (an OSError with code, name and exists) and its subclasses
FileNotFound, PermissionDenied, FileExists, IsADirectory, NotADirectory (each
also the OSError subclass of its errno) and SameFile; the warning
UnrepresentableHeightsWarning (count). help(mapconv.Error) and the like
describe each.
"""

from __future__ import annotations

try:
    import numpy as _numpy  # noqa: F401  (the extension's arrays are NumPy's)
except ImportError as _missing:
    raise ImportError(
        "mapconv needs NumPy, which this Python cannot import: install it "
        "(the python3-numpy package on Debian and Ubuntu, or pip install numpy)",
        name="numpy",
    ) from _missing

import os
from typing import Any, Callable, Literal, Optional, TypeVar

import numpy.typing as npt

from . import _mapconv
from ._mapconv import (
    CONVERSION_SCALE_FACTOR,
    CONVERSION_WAVELENGTH,
    ERR_CANT_CREATE_FILE,
    ERR_CANT_OPEN_FILE,
    ERR_CANT_WRITE_FILE,
    ERR_INVALID_PARAM,
    ERR_NO_MEM,
    ERR_NOT_A_DATA_FILE,
    ERR_PARAM_OUT_OF_RANGE,
    ERR_PREMATURE_EOF,
    HEADER_FIELDS,
    PHASE_INVALID,
    DataFile,
    __version__,
    error_codes,
)
# "as" marks each a name of the package for type checkers, as __all__ does the rest.
from ._types import (
    Error as Error,
    FileExists as FileExists,
    FileNotFound as FileNotFound,
    Header as Header,
    IsADirectory as IsADirectory,
    NotADirectory as NotADirectory,
    PermissionDenied as PermissionDenied,
    SameFile as SameFile,
    UnrepresentableHeightsWarning as UnrepresentableHeightsWarning,
    X3pSurface as X3pSurface,
    XdtGrid as XdtGrid,
)

# The classes made of Python's own (the errors, Header, XdtGrid) are left out:
# help() would list every member they inherit from OSError, dict or tuple, a
# thousand lines. They are named in the description above.
__all__ = [
    "CONVERSION_SCALE_FACTOR",
    "CONVERSION_WAVELENGTH",
    "ERR_CANT_CREATE_FILE",
    "ERR_CANT_OPEN_FILE",
    "ERR_CANT_WRITE_FILE",
    "ERR_INVALID_PARAM",
    "ERR_NO_MEM",
    "ERR_NOT_A_DATA_FILE",
    "ERR_PARAM_OUT_OF_RANGE",
    "ERR_PREMATURE_EOF",
    "HEADER_FIELDS",
    "PHASE_INVALID",
    "DataFile",
    "__version__",
    "convert",
    "error_codes",
    "height_parameters",
    "picture",
    "read_data_file",
    "read_x3p",
    "read_xdt",
    "save_heights",
    "write_data_file",
    "write_picture",
    "write_x3p",
]

_Function = TypeVar("_Function", bound=Callable[..., Any])


def _described_as(bound: Any) -> Callable[[_Function], _Function]:
    """The description of the extension's function, without the signature
    line pybind11 puts first: the function's real signature replaces it."""

    def describe(function: _Function) -> _Function:
        function.__doc__ = str(bound.__doc__).split("\n\n", 1)[-1].strip()
        return function

    return describe


@_described_as(_mapconv._read_data_file)
def read_data_file(path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> DataFile:
    return _mapconv._read_data_file(path)


@_described_as(_mapconv._read_xdt)
def read_xdt(path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> XdtGrid:
    return _mapconv._read_xdt(path)


@_described_as(_mapconv._save_heights)
def save_heights(
    path: str | bytes | os.PathLike[str] | os.PathLike[bytes],
    heights: npt.ArrayLike,
    lateral_resolution: float,
    force: bool = False,
) -> int:
    return _mapconv._save_heights(path, heights, lateral_resolution, force)


@_described_as(_mapconv._convert)
def convert(
    xdt_path: str | bytes | os.PathLike[str] | os.PathLike[bytes],
    data_path: str | bytes | os.PathLike[str] | os.PathLike[bytes],
    force: bool = False,
) -> int:
    return _mapconv._convert(xdt_path, data_path, force)


@_described_as(_mapconv._height_parameters)
def height_parameters(
    heights: npt.ArrayLike,
    lateral_resolution: float,
    level: Literal["plane", "mean"] = "plane",
) -> dict[str, Any]:
    return _mapconv._height_parameters(heights, lateral_resolution, level)


@_described_as(_mapconv._write_data_file)
def write_data_file(
    path: str | bytes | os.PathLike[str] | os.PathLike[bytes],
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
    _mapconv._write_data_file(
        path,
        phase,
        intensity,
        header,
        software_info,
        force,
        phase_origin=phase_origin,
        intensity_origin=intensity_origin,
        intensity_range=intensity_range,
    )


class _WithoutX3p:
    """Built without X3P support: the X3P library needs libarchive, libxml2
    and OpenSSL's libcrypto where the module is built."""


class _WithoutPictures:
    """Built without pictures: they need libpng (libpng-dev) where the module
    is built, and cairo and pango for their legend."""


def _optional_function(name: str, without: type) -> Any:
    """The extension's function, and what describes it; where the build left
    it out, a function raising NotImplementedError, and why it is missing."""
    bound = getattr(_mapconv, name, None)
    if bound is None:
        reason = str(without.__doc__).split(":")[0].replace("Built", "this mapconv was built")

        def missing(*_arguments: Any, **_keywords: Any) -> Any:
            raise NotImplementedError(reason)

        return missing, without
    return bound, bound


_read_x3p, _read_x3p_doc = _optional_function("_read_x3p", _WithoutX3p)
_write_x3p, _write_x3p_doc = _optional_function("_write_x3p", _WithoutX3p)
_write_picture, _write_picture_doc = _optional_function("_write_picture", _WithoutPictures)
_picture, _picture_doc = _optional_function("_picture", _WithoutPictures)


@_described_as(_read_x3p_doc)
def read_x3p(path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> X3pSurface:
    return _read_x3p(path)  # type: ignore[no-any-return]


@_described_as(_write_x3p_doc)
def write_x3p(
    path: str | bytes | os.PathLike[str] | os.PathLike[bytes],
    heights: npt.ArrayLike,
    x_increment: float,
    y_increment: Optional[float] = None,
    dtype: Literal["float64", "float32"] = "float64",
    force: bool = False,
) -> None:
    _write_x3p(path, heights, x_increment, y_increment, dtype, force)


@_described_as(_write_picture_doc)
def write_picture(
    path: str | bytes | os.PathLike[str] | os.PathLike[bytes],
    heights: npt.ArrayLike,
    lateral_resolution: float,
    *,
    source: str | bytes | os.PathLike[str] | os.PathLike[bytes] = "heights",
    title: Optional[str] = None,
    size: Optional[int] = None,
    range: Optional[tuple[float, float]] = None,
    legend: bool = True,
    level: Optional[Literal["plane", "mean"]] = None,
    force: bool = False,
) -> None:
    _write_picture(
        path,
        heights,
        lateral_resolution,
        source=source,
        title=title,
        size=size,
        range=range,
        legend=legend,
        level=level,
        force=force,
    )


@_described_as(_picture_doc)
def picture(
    heights: npt.ArrayLike,
    lateral_resolution: float,
    *,
    source: str | bytes | os.PathLike[str] | os.PathLike[bytes] = "heights",
    title: Optional[str] = None,
    size: Optional[int] = None,
    range: Optional[tuple[float, float]] = None,
    legend: bool = True,
    level: Optional[Literal["plane", "mean"]] = None,
) -> npt.NDArray[_numpy.uint8]:
    return _picture(  # type: ignore[no-any-return]
        heights,
        lateral_resolution,
        source=source,
        title=title,
        size=size,
        range=range,
        legend=legend,
        level=level,
    )
