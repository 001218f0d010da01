"""Shared fixtures: the mapconv, xdtgen and mapinfo executables (paths from
the MAPCONV, XDTGEN and MAPINFO environment variables) and XDT files made by hand."""

import os
import struct
import subprocess

import numpy as np
import pytest


def _program(variable):
    path = os.environ.get(variable)
    if not path or not os.access(path, os.X_OK):
        pytest.skip(f"{variable} does not name the executable")
    return path


@pytest.fixture(scope="session")
def mapconv_exe():
    return _program("MAPCONV")


@pytest.fixture(scope="session")
def xdtgen_exe():
    return _program("XDTGEN")


@pytest.fixture(scope="session")
def mapinfo_exe():
    return _program("MAPINFO")


@pytest.fixture
def run_mapconv(mapconv_exe):
    """Converts with the real program; returns its standard error."""

    def run(source, target):
        done = subprocess.run([mapconv_exe, "-f", str(source), str(target)], capture_output=True, text=True,
                              timeout=120)
        assert done.returncode == 0, done.stderr
        return done.stderr

    return run


@pytest.fixture
def make_xdt(xdtgen_exe):
    def make(path, columns, rows, *options):
        subprocess.run([xdtgen_exe, "-f", *options, str(columns), str(rows), str(path)], check=True, timeout=120)
        return path

    return make


def write_xdt(path, z, spacing=1e-5, columns=None, rows=None, points=None):
    """An XDT file of the heights z (rows, columns), x = column * spacing;
    columns/rows override the counts and points cuts the point list."""
    z = np.asarray(z, dtype=np.float32)
    r, c = z.shape
    grid = np.empty((r, c, 3), dtype="<f4")
    grid[:, :, 0] = np.arange(c, dtype=np.float32) * np.float32(spacing)
    grid[:, :, 1] = (np.arange(r, dtype=np.float32) * np.float32(spacing))[:, None]
    grid[:, :, 2] = z
    body = grid.reshape(-1, 3)
    if points is not None:
        body = body[:points]
    with open(path, "wb") as out:
        out.write(struct.pack("<HH", c if columns is None else columns, r if rows is None else rows))
        out.write(body.tobytes())
    return path
