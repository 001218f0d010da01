"""mapinfo's figure from Python: the same pixels as mapinfo --png for the same
heights and options, the array the same as the file, and the file written as
safely as mapinfo writes it."""

import os
import pathlib
import signal
import subprocess
import threading

import numpy as np
import pytest

import mapconv

Image = pytest.importorskip("PIL.Image", reason="PIL (python3-pil) decodes the pictures")

if not hasattr(mapconv._mapconv, "_picture"):
    pytest.skip("the module was built without pictures", allow_module_level=True)

SURFACE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "surface.xdt"


def pixels(path):
    with Image.open(path) as image:
        assert image.mode == "RGB"
        return np.asarray(image)


def mapinfo_picture(mapinfo_exe, target, options, source=SURFACE):
    done = subprocess.run([mapinfo_exe, *options, "--png", str(target), str(source)], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return pixels(target)


# Keyword arguments and the mapinfo options that draw the same figure.
SAME_FIGURE = {
    "defaults": ({}, []),
    "no_legend": ({"legend": False}, ["--no-legend"]),
    "range": ({"range": (-40e-9, 60e-9)}, ["--range", "-40", "60"]),
    "range_fraction": ({"range": (-12.5e-9, 250.25e-9)}, ["--range", "-12.5", "250.25"]),
    # 15e-9 * 1e9 falls short of 15: the ticks at the ends are kept all the same.
    "range_ends_on_ticks": ({"range": (-15e-9, 15e-9)}, ["--range", "-15", "15"]),
    "level_mean": ({"level": "mean"}, ["--level", "mean"]),
    "level_plane_range": ({"level": "plane", "range": (-1e-7, 1e-7)}, ["--level", "plane", "--range", "-100", "100"]),
    "enlarged": ({"size": 400}, ["--size", "400"]),
    "reduced_bare": ({"size": 33, "legend": False, "level": "mean"}, ["--size", "33", "--no-legend", "--level", "mean"]),
}


@pytest.mark.parametrize("keywords, options", SAME_FIGURE.values(), ids=SAME_FIGURE.keys())
def test_figure_is_mapinfos(tmp_path, mapinfo_exe, keywords, options):
    grid = mapconv.read_xdt(SURFACE)
    expected = mapinfo_picture(mapinfo_exe, tmp_path / "mapinfo.png", options)
    target = tmp_path / "python.png"
    mapconv.write_picture(target, grid.heights, grid.lateral_resolution, source=str(SURFACE), **keywords)
    written = pixels(target)
    assert written.shape == expected.shape
    assert np.array_equal(written, expected)
    drawn = mapconv.picture(grid.heights, grid.lateral_resolution, source=str(SURFACE), **keywords)
    assert drawn.dtype == np.uint8 and drawn.flags.c_contiguous
    assert np.array_equal(drawn, written)


# The heights in any real dtype or layout draw what their float32 values do.
AS_GIVEN = {
    "float64": lambda z: z.astype(np.float64),
    "fortran_order": lambda z: np.asfortranarray(z),
    "strided_view": lambda z: np.repeat(z, 2, axis=1)[:, ::2],
    "nested_lists": lambda z: z.astype(np.float64).tolist(),
}


@pytest.mark.parametrize("convert", AS_GIVEN.values(), ids=AS_GIVEN.keys())
def test_heights_as_given(convert):
    grid = mapconv.read_xdt(SURFACE)
    expected = mapconv.picture(grid.heights, grid.lateral_resolution)
    assert np.array_equal(mapconv.picture(convert(grid.heights), grid.lateral_resolution), expected)


def test_map_without_heights_is_grey_as_mapinfo_draws_it(tmp_path, mapinfo_exe):
    source = tmp_path / "blank.dat"
    mapconv.save_heights(source, np.full((20, 30), np.nan), 2e-6)
    expected = mapinfo_picture(mapinfo_exe, tmp_path / "mapinfo.png", [], source)
    blank = mapconv.read_data_file(source)
    drawn = mapconv.picture(blank.heights(), blank.lateral_resolution, source=str(source))
    assert np.array_equal(drawn, expected)
    bare = mapconv.picture(blank.heights(), blank.lateral_resolution, legend=False)
    assert bare.shape == (20, 30, 3) and (bare == 128).all()


def test_title_replaces_mapinfos():
    grid = mapconv.read_xdt(SURFACE)
    own = mapconv.picture(grid.heights, grid.lateral_resolution, title="Sample 7")
    default = mapconv.picture(grid.heights, grid.lateral_resolution)
    # One line instead of two: a shorter figure, the same map below it.
    assert own.shape[0] < default.shape[0]


def test_existing_picture_is_kept_without_force(tmp_path):
    grid = mapconv.read_xdt(SURFACE)
    target = tmp_path / "old.png"
    target.write_bytes(b"old picture")
    with pytest.raises(mapconv.FileExists) as raised:
        mapconv.write_picture(target, grid.heights, grid.lateral_resolution)
    assert isinstance(raised.value, FileExistsError) and raised.value.exists
    assert target.read_bytes() == b"old picture"
    assert sorted(os.listdir(tmp_path)) == ["old.png"]
    mapconv.write_picture(target, grid.heights, grid.lateral_resolution, force=True)
    assert np.array_equal(pixels(target), mapconv.picture(grid.heights, grid.lateral_resolution))


def test_fifo_is_refused(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    with pytest.raises(mapconv.Error, match="FIFO") as raised:
        mapconv.write_picture(fifo, np.zeros((2, 2)), 1e-6, force=True)
    assert raised.value.name == "ERR_CANT_CREATE_FILE"


def test_missing_folder_is_reported(tmp_path):
    with pytest.raises(mapconv.FileNotFound):
        mapconv.write_picture(tmp_path / "no" / "p.png", np.zeros((2, 2)), 1e-6)


BAD_ARGUMENTS = {
    "one_dimension": (ValueError, "2 dimensions", np.zeros(5), {}),
    "three_dimensions": (ValueError, "2 dimensions", np.zeros((2, 2, 2)), {}),
    "empty": (ValueError, "from 1 to 32767", np.zeros((0, 4)), {}),
    "too_wide": (ValueError, "from 1 to 32767", np.zeros((1, 32768), np.float32), {}),
    "complex": (TypeError, "real dtype", np.zeros((2, 2), complex), {}),
    "strings": (TypeError, "real dtype", np.array([["a", "b"]]), {}),
    "range_reversed": (ValueError, "first below the second", np.zeros((2, 2)), {"range": (1e-9, -1e-9)}),
    "range_flat": (ValueError, "first below the second", np.zeros((2, 2)), {"range": (1e-9, 1e-9)}),
    "range_not_finite": (ValueError, "finite", np.zeros((2, 2)), {"range": (0.0, np.inf)}),
    "range_too_far": (ValueError, "1000 m", np.zeros((2, 2)), {"range": (0.0, 2000.0)}),
    "size_zero": (ValueError, "size", np.zeros((2, 2)), {"size": 0}),
    "size_too_large": (ValueError, "size", np.zeros((2, 2)), {"size": 65536}),
    "size_not_int": (TypeError, "size", np.zeros((2, 2)), {"size": 2.5}),
    "level_unknown": (ValueError, "level", np.zeros((2, 2)), {"level": "cubic"}),
    "lateral_resolution_zero": (ValueError, "lateral_resolution", np.zeros((2, 2)), {"lateral_resolution": 0.0}),
    "lateral_resolution_nan": (ValueError, "lateral_resolution", np.zeros((2, 2)), {"lateral_resolution": np.nan}),
    "title_not_str": (TypeError, "title", np.zeros((2, 2)), {"title": b"bytes"}),
}


@pytest.mark.parametrize("error, words, heights, keywords", BAD_ARGUMENTS.values(), ids=BAD_ARGUMENTS.keys())
def test_bad_arguments_are_refused(tmp_path, error, words, heights, keywords):
    keywords = {"lateral_resolution": 1e-6, **keywords}
    with pytest.raises(error, match=words):
        mapconv.picture(heights, **keywords)
    with pytest.raises(error, match=words):
        mapconv.write_picture(tmp_path / "p.png", heights, **keywords)
    assert os.listdir(tmp_path) == []


class Stop(Exception):
    pass


def test_ctrl_c_stops_the_drawing_with_nothing_written(tmp_path):
    grid = mapconv.read_xdt(SURFACE)

    def stop(*_):
        raise Stop

    previous = signal.signal(signal.SIGINT, stop)
    timer = threading.Timer(0.1, os.kill, (os.getpid(), signal.SIGINT))
    try:
        timer.start()
        # Some seconds of drawing: stopped a row after the signal.
        with pytest.raises(Stop):
            mapconv.write_picture(tmp_path / "big.png", grid.heights, grid.lateral_resolution, size=16384)
    finally:
        timer.cancel()
        signal.signal(signal.SIGINT, previous)
    assert os.listdir(tmp_path) == []
