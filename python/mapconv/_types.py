"""The package's own classes: its errors, its warning, and the shapes of
what the readers return. The extension raises and builds these."""

import typing

import numpy as np
import numpy.typing as npt


class Error(OSError):
    """A library operation failed. An OSError: errno, strerror and filename as
    Python sets them where the system gave a reason (None otherwise); code is
    the library's error number, name its name (such as 'ERR_CANT_OPEN_FILE'),
    exists whether a file of that name refused the output (force not given).
    The message is Python's own ('[Errno 2] No such file or directory:
    'in.xdt''), or the path and the reader's diagnostic, then the name in
    brackets."""

    code: int = 0
    name: str = "NO_ERROR"
    exists: bool = False

    def __str__(self) -> str:
        return f"{OSError.__str__(self)} ({self.name})"


class FileNotFound(Error, FileNotFoundError):
    """A mapconv.Error that is a FileNotFoundError (ENOENT)."""


class PermissionDenied(Error, PermissionError):
    """A mapconv.Error that is a PermissionError (EACCES, EPERM)."""


class FileExists(Error, FileExistsError):
    """A mapconv.Error that is a FileExistsError: the output exists and force was not given."""


class SameFile(Error):
    """A mapconv.Error raised by convert when the output is the input file
    itself (through any name, hard or symbolic link), force or not: nothing
    was written, as shutil.SameFileError for a copy."""


class IsADirectory(Error, IsADirectoryError):
    """A mapconv.Error that is an IsADirectoryError (EISDIR)."""


class NotADirectory(Error, NotADirectoryError):
    """A mapconv.Error that is a NotADirectoryError (ENOTDIR)."""


class UnrepresentableHeightsWarning(UserWarning):
    """save_heights or convert wrote heights whose phase count cannot be
    stored as points without data; count is how many. It is issued once the
    file is in place: under -W error the exception comes with the file
    written."""

    count: int = 0


class XdtGrid(typing.NamedTuple):
    """read_xdt's result: heights, a float32 array (rows, columns) in metres
    with NaN for points without data, and lateral_resolution, the distance
    between adjacent points."""

    heights: npt.NDArray[np.float32]
    lateral_resolution: float


class Header(typing.Dict[str, typing.Any]):
    """DataFile.header: the named fields (HEADER_FIELDS), then 'reserved', the
    bytes of every other field in file order as they are in the file. A dict;
    write_data_file takes it back. Its repr counts the reserved bytes rather
    than printing thousands of them."""

    def __repr__(self) -> str:
        parts = []
        for key, value in self.items():
            if key == "reserved" and isinstance(value, (bytes, bytearray)):
                parts.append(f"reserved=<{len(value)} bytes, {len(value) - value.count(0)} non-zero>")
            else:
                parts.append(f"{key}={value!r}")
        return f"mapconv.Header({', '.join(parts)})"


class X3pSurface(typing.NamedTuple):
    """An X3P surface as read_x3p returns it: heights a float64 array (rows,
    columns) in metres, NaN without data; the increments in metres between
    columns and rows; data_type the stored type ('I' int16, 'L' int32, 'F'
    float32, 'D' float64); metadata Record2's texts, or None without one."""

    heights: npt.NDArray[np.float64]
    x_increment: float
    y_increment: float
    data_type: str
    metadata: typing.Optional[typing.Dict[str, str]]
