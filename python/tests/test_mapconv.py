"""The mapconv module against the mapconv program: same bytes, same heights,
the library's error codes, and no hidden copies of a map."""

import inspect
import json
import os
import pickle
import re
import subprocess
import sys
import textwrap
import threading
import warnings

import numpy as np
import pytest

import mapconv
from conftest import write_xdt

WAVELENGTH = float(np.float32(6.328e-7))
METRES_PER_COUNT = 0.5 * WAVELENGTH / 32768


def read(path):
    with open(path, "rb") as f:
        return f.read()


def save_heights_warned(*arguments):
    """save_heights' result, checked against the count its warning carries."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        unrepresentable = mapconv.save_heights(*arguments)
    counts = [w.message.count for w in caught if w.category is mapconv.UnrepresentableHeightsWarning]
    assert counts == ([unrepresentable] if unrepresentable else []), [str(w.message) for w in caught]
    return unrepresentable


# --- Conversion: byte for byte against the program ----------------------------

@pytest.mark.parametrize(
    "columns, rows, options",
    [
        (2, 2, ["-s", "1"]),
        (160, 120, ["-s", "2024", "-m", "0.03", "-z", "3e-7"]),
        (257, 300, ["-s", "7", "-m", "0.5", "-r", "2.5e-6"]),  # several pieces of 65536
        (300, 7, ["-s", "9", "-m", "0", "-z", "1e-2"]),  # near the top of the phase range
        (40, 30, ["-s", "4", "-z", "0.5"]),  # far beyond it: unrepresentable heights
    ],
)
def test_save_heights_matches_mapconv(tmp_path, make_xdt, run_mapconv, columns, rows, options):
    source = make_xdt(tmp_path / "in.xdt", columns, rows, *options)
    stderr = run_mapconv(source, tmp_path / "program.dat")
    heights, resolution = mapconv.read_xdt(source)
    assert heights.shape == (rows, columns) and heights.dtype == np.float32
    unrepresentable = save_heights_warned(tmp_path / "module.dat", heights, resolution)
    assert read(tmp_path / "module.dat") == read(tmp_path / "program.dat")
    warned = [line for line in stderr.splitlines() if line.startswith("Warning:")]
    assert unrepresentable == (int(warned[0].split()[1]) if warned else 0)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert mapconv.convert(source, tmp_path / "convert.dat") == unrepresentable
    assert read(tmp_path / "convert.dat") == read(tmp_path / "program.dat")
    assert [(w.category, str(unrepresentable) in str(w.message)) for w in caught] == (
        [(mapconv.UnrepresentableHeightsWarning, True)] if unrepresentable else [])


@pytest.mark.parametrize(
    "z, expected_unrepresentable",
    [
        ([[1e-7, -1.0], [2e-7, 3e-7]], 0),  # exactly -1.0: no data
        ([[-5.0, -1.5], [0.0, -0.999]], 1),  # below -1.0: no data; -0.999 is a height too deep
        ([[np.inf, 1e-7], [-np.inf, 2e-7]], 1),  # +inf cannot be stored; -inf is no data
        ([[0.0207, -0.0207], [0.03, 1e-9]], 1),  # the edges of the phase range
        ([[4.8e-12, -4.8e-12], [1.45e-11, -1.45e-11]], 0),  # halves round away from zero
    ],
)
def test_hand_made_grids_match_mapconv(tmp_path, run_mapconv, z, expected_unrepresentable):
    source = write_xdt(tmp_path / "in.xdt", z)
    run_mapconv(source, tmp_path / "program.dat")
    heights, resolution = mapconv.read_xdt(source)
    assert save_heights_warned(tmp_path / "module.dat", heights, resolution) == expected_unrepresentable
    assert read(tmp_path / "module.dat") == read(tmp_path / "program.dat")


def test_nan_heights_are_no_data_and_the_input_is_left_alone(tmp_path, run_mapconv):
    # A NaN z in an XDT file is unrepresentable to mapconv; given to
    # save_heights it means no data. The bytes are the same either way.
    source = write_xdt(tmp_path / "in.xdt", [[np.nan, 1e-7], [2e-7, -1.0]])
    run_mapconv(source, tmp_path / "program.dat")
    heights, resolution = mapconv.read_xdt(source)
    before = heights.copy()
    assert mapconv.save_heights(tmp_path / "module.dat", heights, resolution) == 0
    assert read(tmp_path / "module.dat") == read(tmp_path / "program.dat")
    np.testing.assert_array_equal(heights, before)  # NaN stays NaN in the caller's array


@pytest.mark.parametrize("columns, rows, seed", [(160, 120, "1"), (33, 500, "2"), (1000, 3, "3")])
def test_read_data_file_of_mapconv_output(tmp_path, make_xdt, run_mapconv, columns, rows, seed):
    source = make_xdt(tmp_path / "in.xdt", columns, rows, "-s", seed, "-m", "0.1")
    run_mapconv(source, tmp_path / "out.dat")
    expected, resolution = mapconv.read_xdt(source)
    data = mapconv.read_data_file(tmp_path / "out.dat")
    fields = {
        "header_format": 1, "header_size": 834, "wavelength": WAVELENGTH, "scale_factor": 0.5,
        "obliquity": 1.0, "lateral_resolution": resolution, "phase_resolution": 1,
        "frame_width": columns, "frame_height": rows, "phase_origin": (0, 0),
        "intensity_origin": (0, 0), "intensity_range": 0, "intensity": None, "software_info": bytes(38),
    }
    for name, value in fields.items():
        assert getattr(data, name) == value, name
    assert data.phase.shape == (rows, columns) and data.phase.dtype == np.int32
    heights = data.heights()
    assert heights.dtype == np.float64
    np.testing.assert_array_equal(np.isnan(heights), np.isnan(expected))
    np.testing.assert_array_equal(np.isnan(heights), data.phase == mapconv.PHASE_INVALID)
    valid = ~np.isnan(expected)
    # Rounding to the nearest count: within half a count, and exact in counts.
    assert np.max(np.abs(heights[valid] - expected[valid])) <= 0.5 * METRES_PER_COUNT * (1 + 1e-6)
    np.testing.assert_array_equal(data.phase[valid], np.rint(data.phase[valid]))
    # The float64 heights go back in as they came out.
    mapconv.save_heights(tmp_path / "again.dat", heights, data.lateral_resolution)
    assert read(tmp_path / "again.dat") == read(tmp_path / "out.dat")


# --- write_data_file: what is read is written back unchanged ----------------------

def _phase(rows, columns):
    phase = np.arange(rows * columns, dtype=np.int32).reshape(rows, columns) * 977 - 40000
    phase[0, 0] = mapconv.PHASE_INVALID
    return phase


# The named fields (file offset, width) the reserved bytes leave out.
NAMED_FIELDS = ((164, 4), (168, 4), (176, 4), (184, 4), (218, 2), (234, 2), (236, 2))


def _reserved(at):
    """The header's reserved bytes with the given file bytes at their file offsets."""
    reserved = bytearray(4096 - 76 - sum(width for _, width in NAMED_FIELDS))
    for offset, raw in at.items():
        position = offset - 76 - sum(width for start, width in NAMED_FIELDS if start < offset)
        reserved[position:position + len(raw)] = raw
    return bytes(reserved)


@pytest.mark.parametrize(
    "header, expected_format, with_intensity",
    [
        (None, 1, False),
        ({"wavelength": 5e-7, "scale_factor": 0.25, "lateral_resolution": 2e-6}, 1, True),
        ({"phase_resolution": 2, "frame_width": 9, "reserved": _reserved({80: b"n" * 82})}, 2, False),
        ({"reserved": _reserved({838: b"\0\1\0\2", 1454: b"\x01" * 2642, 1386: bytes(range(56))})}, 3, True),
        ({"reserved": _reserved({1324: b"\xff\xfe", 430: bytes(range(72)), 76: b"\xff\0\0\1"})}, 3, False),
    ],
)
def test_write_read_write_is_byte_for_byte(tmp_path, header, expected_format, with_intensity):
    phase = _phase(5, 7)
    intensity = (np.arange(2 * 5 * 7, dtype=np.uint16).reshape(2, 5, 7) * 1009) if with_intensity else None
    software = bytes(range(38))
    mapconv.write_data_file(tmp_path / "a.dat", phase, intensity, header, software,
                            phase_origin=(3, -4), intensity_origin=(1, 2), intensity_range=4095)
    data = mapconv.read_data_file(tmp_path / "a.dat")
    assert data.header_format == expected_format
    assert data.header_size == (4096 if expected_format == 3 else 834)
    np.testing.assert_array_equal(data.phase, phase)
    assert data.phase_origin == (3, -4)
    assert data.software_info == software
    for name, value in (header or {}).items():
        expected = float(np.float32(value)) if isinstance(value, float) else value
        assert data.header[name] == expected, name
    if header is None:  # mapconv's settings, so heights() are right
        assert (data.wavelength, data.scale_factor, data.obliquity, data.phase_resolution) == (WAVELENGTH, 0.5, 1.0, 1)
        np.testing.assert_array_equal(data.heights()[1:, :], phase[1:, :] * (0.5 * WAVELENGTH / 32768))
    # Every byte of the header but the named fields, in file order, as in the file.
    image = read(tmp_path / "a.dat")[:data.header_size].ljust(4096, b"\0")
    named = {offset + i for offset, width in NAMED_FIELDS for i in range(width)}
    assert data.header["reserved"] == bytes(image[i] for i in range(76, 4096) if i not in named)
    if with_intensity:
        np.testing.assert_array_equal(data.intensity, intensity)
        assert (data.intensity_origin, data.intensity_range) == ((1, 2), 4095)
    mapconv.write_data_file(tmp_path / "b.dat", data.phase, data.intensity, data.header, data.software_info,
                            phase_origin=data.phase_origin, intensity_origin=data.intensity_origin,
                            intensity_range=data.intensity_range)
    assert read(tmp_path / "b.dat") == read(tmp_path / "a.dat")


@pytest.mark.parametrize(
    "header, message",
    [
        ({"wavelength": float("nan"), "scale_factor": 0.5}, "the wavelength (nan) gives no height scale"),
        ({"wavelength": float("inf"), "scale_factor": 0.5}, "the wavelength (inf) gives no height scale"),
        ({"wavelength": 0.0, "scale_factor": 0.5}, "the wavelength (0) gives no height scale"),
        ({"wavelength": WAVELENGTH, "scale_factor": 0.0}, "the scale factor (0) gives no height scale"),
        ({"wavelength": WAVELENGTH, "scale_factor": float("-inf")}, "the scale factor (-inf) gives no height scale"),
        ({"scale_factor": float("nan")}, "the wavelength (0) gives no height scale"),  # both: the first
    ],
)
def test_heights_need_a_height_scale(tmp_path, header, message):
    # write_data_file stores only finite values: the others go into the
    # file's bytes (big-endian float32 at these offsets) by hand.
    mapconv.write_data_file(tmp_path / "a.dat", _phase(3, 4), header={})
    image = bytearray(read(tmp_path / "a.dat"))
    for name, offset in (("scale_factor", 164), ("wavelength", 168)):
        image[offset:offset + 4] = np.array(header.get(name, 0.0), ">f4").tobytes()
    (tmp_path / "a.dat").write_bytes(bytes(image))
    data = mapconv.read_data_file(tmp_path / "a.dat")
    with pytest.raises(ValueError, match=re.escape(message)):
        data.heights()
    np.testing.assert_array_equal(data.phase, _phase(3, 4))  # the counts are still there


def test_header_dict_names_every_field_once():
    assert mapconv.HEADER_FIELDS == ("scale_factor", "wavelength", "obliquity", "lateral_resolution",
                                     "phase_resolution", "frame_width", "frame_height", "reserved")


def test_arrays_use_the_library_blocks(tmp_path):
    mapconv.write_data_file(tmp_path / "a.dat", _phase(3, 4), np.ones((1, 3, 4), np.uint16))
    data = mapconv.read_data_file(tmp_path / "a.dat")
    for array in (data.phase, data.intensity):
        assert not array.flags.owndata and array.flags.c_contiguous
    grid = mapconv.read_xdt(write_xdt(tmp_path / "g.xdt", [[0.0, 1e-7], [2e-7, 3e-7]], spacing=0.5))
    assert isinstance(grid, mapconv.XdtGrid) and grid.lateral_resolution == 0.5
    assert not grid.heights.flags.owndata


@pytest.mark.parametrize("function", ["read_data_file", "read_xdt", "save_heights", "write_data_file"])
def test_help_shows_real_signatures(function):
    # The signature help() shows is the function's own (its annotations are text).
    signature = str(inspect.signature(getattr(mapconv, function))).replace("'", "")
    assert signature.startswith("(path: str | bytes | os.PathLike"), signature
    assert getattr(mapconv, function).__doc__.split()[0] in ("Reads", "Writes"), function
    assert not any(vague in signature for vague in (": object", ": handle", "-> tuple", "-> object")), signature


# --- Failures: the library's codes ---------------------------------------------------

def _truncated_data(tmp_path):
    mapconv.write_data_file(tmp_path / "whole.dat", _phase(4, 4))
    (tmp_path / "x.dat").write_bytes(read(tmp_path / "whole.dat")[:-1])


def _long_data(tmp_path):
    mapconv.write_data_file(tmp_path / "whole.dat", _phase(4, 4))
    (tmp_path / "x.dat").write_bytes(read(tmp_path / "whole.dat") + b"\0")


def _existing(tmp_path):
    (tmp_path / "x.dat").write_bytes(b"keep me")


def _good_xdt(p):
    return write_xdt(p / "in.xdt", [[0.0, 1e-7], [2e-7, 3e-7]])


ZEROS = np.zeros((2, 2), np.float32)


def _fifo_of_a_cut_grid(p):
    # Longer than a piece, so that the conversion's reader thread meets the end.
    write_xdt(p / "cut.xdt", np.zeros((300, 300)), points=80000)
    os.mkfifo(p / "in.xdt")
    threading.Thread(target=lambda: (p / "in.xdt").write_bytes((p / "cut.xdt").read_bytes()), daemon=True).start()


# The package's own class for each kind of OSError, by its name in mapconv.
PACKAGE_KINDS = {FileNotFoundError: "FileNotFound", PermissionError: "PermissionDenied",
                 FileExistsError: "FileExists", IsADirectoryError: "IsADirectory",
                 NotADirectoryError: "NotADirectory"}


# kind: the OSError subclass that catches it, with the errno in the message
# ("[Errno N] reason: 'path'"); mapconv.Error alone where the system gave no
# reason, and then the reader's own words.
@pytest.mark.parametrize(
    "prepare, call, name, kind, words",
    [
        (None, lambda p: mapconv.read_data_file(p / "x.dat"), "ERR_CANT_OPEN_FILE", FileNotFoundError,
         "No such file or directory: "),
        (_truncated_data, lambda p: mapconv.read_data_file(p / "x.dat"), "ERR_PREMATURE_EOF", None, "ends early"),
        (_long_data, lambda p: mapconv.read_data_file(p / "x.dat"), "ERR_NOT_A_DATA_FILE", None, "not a data file"),
        (lambda p: write_xdt(p / "x.dat", [[0, 0], [0, 0]]), lambda p: mapconv.read_data_file(p / "x.dat"),
         "ERR_NOT_A_DATA_FILE", None, "not a data file"),
        (None, lambda p: mapconv.read_xdt(p / "x.dat"), "ERR_CANT_OPEN_FILE", FileNotFoundError, "x.dat'"),
        (None, lambda p: mapconv.read_xdt(p), "ERR_CANT_OPEN_FILE", IsADirectoryError, "Is a directory"),
        (_existing, lambda p: mapconv.read_data_file(p / "x.dat" / "y"), "ERR_CANT_OPEN_FILE",
         NotADirectoryError, "Not a directory"),
        (None, lambda p: mapconv.read_xdt("/proc/self/mem"), "ERR_CANT_READ_FILE", OSError,
         "Input/output error"),  # reads fail with EIO
        (None, lambda p: mapconv.read_data_file("/proc/self/mem"), "ERR_CANT_READ_FILE", OSError, "[Errno 5]"),
        (lambda p: (p / "x.dat").write_bytes(b"\x02\x00"), lambda p: mapconv.read_xdt(p / "x.dat"),
         "ERR_PREMATURE_EOF", None, "ends early"),
        (lambda p: write_xdt(p / "x.dat", np.zeros((3, 3)), points=8), lambda p: mapconv.read_xdt(p / "x.dat"),
         "ERR_PREMATURE_EOF", None, "EOF reading point 9 of 9"),
        (lambda p: write_xdt(p / "x.dat", np.zeros((3, 1))), lambda p: mapconv.read_xdt(p / "x.dat"),
         "ERR_PARAM_OUT_OF_RANGE", None, "Num Cols = 1 is too small"),
        (lambda p: write_xdt(p / "x.dat", [[0, -1], [-1, 0]]), lambda p: mapconv.read_xdt(p / "x.dat"),
         "ERR_PARAM_OUT_OF_RANGE", None, "Could not calculate lateral resolution"),  # no row with two valid points
        # A data file, whole or cut short, is told apart, not read as a grid its magic number makes up.
        (lambda p: mapconv.write_data_file(p / "x.dat", _phase(4, 4)), lambda p: mapconv.read_xdt(p / "x.dat"),
         "ERR_INVALID_PARAM", None, "x.dat: this is a data file, not an XDT grid"),
        (_truncated_data, lambda p: mapconv.read_xdt(p / "x.dat"), "ERR_INVALID_PARAM", None,
         "x.dat: this is a data file, not an XDT grid"),
        (_existing, lambda p: mapconv.save_heights(p / "x.dat", ZEROS, 1e-5), "ERR_CANT_CREATE_FILE",
         FileExistsError, "File exists"),
        (_existing, lambda p: mapconv.write_data_file(p / "x.dat", _phase(2, 2)), "ERR_CANT_CREATE_FILE",
         FileExistsError, "File exists"),
        (None, lambda p: mapconv.save_heights(p / "no" / "x.dat", ZEROS, 1e-5), "ERR_CANT_CREATE_FILE",
         FileNotFoundError, "x.dat'"),
        (None, lambda p: mapconv.write_data_file(p, _phase(2, 2), force=True), "ERR_CANT_CREATE_FILE",
         IsADirectoryError, "Is a directory"),
        # A link to nothing is refused, not followed to create its target.
        (lambda p: (p / "x.dat").symlink_to("made.dat"),
         lambda p: mapconv.write_data_file(p / "x.dat", _phase(2, 2), force=True), "ERR_CANT_CREATE_FILE",
         FileNotFoundError, "x.dat'"),
        # The conversion: the input's failures name the input, the output's the output.
        (None, lambda p: mapconv.convert(p / "in.xdt", p / "x.dat"), "ERR_CANT_OPEN_FILE", FileNotFoundError,
         "in.xdt'"),
        (lambda p: (_good_xdt(p), _existing(p)), lambda p: mapconv.convert(p / "in.xdt", p / "x.dat"),
         "ERR_CANT_CREATE_FILE", FileExistsError, "File exists: '"),
        (_good_xdt, lambda p: mapconv.convert(p / "in.xdt", p / "no" / "x.dat"), "ERR_CANT_CREATE_FILE",
         FileNotFoundError, "x.dat'"),
        (_fifo_of_a_cut_grid, lambda p: mapconv.convert(p / "in.xdt", p / "x.dat"), "ERR_PREMATURE_EOF", None,
         "in.xdt: EOF reading point 80001 of 90000"),
        (lambda p: write_xdt(p / "in.xdt", ZEROS, columns=49952),
         lambda p: mapconv.convert(p / "in.xdt", p / "x.dat", force=True), "ERR_PARAM_OUT_OF_RANGE", None,
         "in.xdt: Num Cols = 49952 is too large"),
    ],
)
def test_failures_raise_the_library_code(tmp_path, capfd, prepare, call, name, kind, words):
    if prepare:
        prepare(tmp_path)
    before = read(tmp_path / "x.dat") if (tmp_path / "x.dat").is_file() else None
    with pytest.raises(kind or mapconv.Error) as caught:
        call(tmp_path)
    error = caught.value
    assert isinstance(error, mapconv.Error) and isinstance(error, OSError)
    if kind in PACKAGE_KINDS:
        assert isinstance(error, getattr(mapconv, PACKAGE_KINDS[kind]))
    assert (error.name, error.code) == (name, mapconv.error_codes[name])
    assert error.exists == (kind is FileExistsError)  # "exists" told from "no such folder"
    if kind is None:
        assert (error.errno, error.strerror, error.filename) == (None, None, None)
        assert str(error).endswith(f"{words} ({name})"), str(error)
    else:
        assert error.errno and error.strerror == os.strerror(error.errno) and error.filename
        assert str(error) == f"[Errno {error.errno}] {error.strerror}: {error.filename!r} ({name})"
        assert words in str(error)
    after = read(tmp_path / "x.dat") if (tmp_path / "x.dat").is_file() else None
    assert after == before  # a failure leaves the folder as it was
    assert capfd.readouterr() == ("", "")  # nothing printed, the diagnostics are in the message


@pytest.mark.parametrize("name", ["in.xdt", "hard.xdt", "soft.xdt", "fd"])
@pytest.mark.parametrize("force", [False, True])
def test_convert_never_writes_over_its_input(tmp_path, name, force):
    write_xdt(tmp_path / "in.xdt", np.arange(6, dtype=np.float32).reshape(2, 3) * 1e-8)
    before = (tmp_path / "in.xdt").read_bytes()
    os.link(tmp_path / "in.xdt", tmp_path / "hard.xdt")
    os.symlink("in.xdt", tmp_path / "soft.xdt")
    with open(tmp_path / "in.xdt", "rb") as opened:
        output = f"/proc/self/fd/{opened.fileno()}" if name == "fd" else tmp_path / name
        with pytest.raises(mapconv.SameFile) as caught:
            mapconv.convert(tmp_path / "soft.xdt", output, force=force)
    assert isinstance(caught.value, mapconv.Error) and not isinstance(caught.value, FileExistsError)
    assert caught.value.name == "ERR_CANT_CREATE_FILE" and "is the input file" in str(caught.value)
    assert (tmp_path / "in.xdt").read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["hard.xdt", "in.xdt", "soft.xdt"]


def test_an_existing_block_device_is_not_replaced_without_force(tmp_path):
    (tmp_path / "disk.img").write_bytes(b"disk" + bytes(65532))
    made = subprocess.run(["losetup", "-f", "--show", str(tmp_path / "disk.img")], capture_output=True, text=True,
                          timeout=60)
    if made.returncode != 0:
        pytest.skip("no loop device here (needs root and losetup)")
    device = made.stdout.strip()
    try:
        write_xdt(tmp_path / "in.xdt", np.zeros((2, 3), np.float32))
        for call in (lambda: mapconv.convert(tmp_path / "in.xdt", device),
                     lambda: mapconv.save_heights(device, np.zeros((2, 3)), 1e-5),
                     lambda: mapconv.write_data_file(device, _phase(2, 2))):
            with pytest.raises(mapconv.FileExists):
                call()
            with open(device, "rb") as disk:
                assert disk.read(4) == b"disk"
    finally:
        subprocess.run(["losetup", "-d", device], check=False, timeout=60)


def test_force_replaces(tmp_path):
    (tmp_path / "x.dat").write_bytes(b"old")
    mapconv.save_heights(tmp_path / "x.dat", np.zeros((2, 3), np.float32), 1e-5, force=True)
    assert mapconv.read_data_file(tmp_path / "x.dat").phase.shape == (2, 3)
    mapconv.write_data_file(tmp_path / "x.dat", _phase(4, 4), force=True)
    assert mapconv.read_data_file(tmp_path / "x.dat").phase.shape == (4, 4)


# --- Bad arguments ------------------------------------------------------------------

GOOD = np.zeros((3, 4), np.float32)
# Several pieces of 65536 points, with rows across their edges.
WIDE = np.random.default_rng(5).normal(0, 1e-6, (300, 257))


@pytest.mark.parametrize(
    "heights, error",
    [
        (GOOD.astype(np.float64), None),  # NumPy's default dtype
        (WIDE, None),  # float64 values between float32 ones, in pieces
        (np.asfortranarray(WIDE), None),
        (WIDE[::-1, ::2], None),
        (WIDE.astype(">f8"), None),
        (WIDE.astype(np.float16), None),
        (WIDE.astype(np.longdouble), None),
        (GOOD.astype(np.int64) - 1, None),  # -1 m: no data
        (GOOD.astype(np.int32), None),
        (GOOD.astype(np.uint8), None),
        (GOOD.astype(bool), None),
        (GOOD.astype(">f4"), None),  # not the native byte order
        (GOOD.tolist(), None),
        (np.asfortranarray(GOOD), None),
        (GOOD[:, ::2], None),
        (GOOD.T, None),
        (np.frombuffer(bytearray(4 * 12 + 1), np.float32, 12, 1).reshape(3, 4), None),  # unaligned
        (GOOD.astype(np.complex64), TypeError),
        (GOOD.astype(object), TypeError),
        (GOOD.astype(str), TypeError),
        ([["1e-7", "2e-7"]], TypeError),
        (GOOD.astype("datetime64[s]"), TypeError),
        (np.zeros(12, np.float32), ValueError),
        (np.zeros((2, 3, 4), np.float32), ValueError),
        (np.zeros((0, 4), np.float32), ValueError),
        (np.zeros((2, 32768), np.float32), ValueError),
    ],
)
def test_save_heights_takes_what_numpy_converts(tmp_path, heights, error):
    if error:
        with pytest.raises(error):
            mapconv.save_heights(tmp_path / "x.dat", heights, 1e-5)
        assert not (tmp_path / "x.dat").exists()
        return
    before = np.array(heights, copy=True)
    mapconv.save_heights(tmp_path / "x.dat", heights, 1e-5)
    expected = np.ascontiguousarray(np.asarray(heights, np.float32))
    mapconv.save_heights(tmp_path / "expected.dat", expected, 1e-5)
    assert read(tmp_path / "x.dat") == read(tmp_path / "expected.dat")
    np.testing.assert_array_equal(np.asarray(heights), before)


@pytest.mark.parametrize(
    "phase, intensity",
    [
        (_phase(5, 7).astype(np.int64), None),
        (np.asfortranarray(_phase(5, 7)), (np.arange(70).reshape(2, 5, 7) * 900).astype(np.int64)),
        (_phase(5, 7)[:, ::-1].astype(">i4"), np.asfortranarray(np.full((1, 5, 7), 65535, np.uint32))),
        (np.arange(-60, 60, 10, dtype=np.int8).reshape(3, 4), np.ones((1, 3, 4), np.uint64)),
        ([[1, 2], [3, -4]], [[[0, 1], [2, 3]]]),
    ],
)
def test_write_data_file_converts_integers_that_fit(tmp_path, phase, intensity):
    mapconv.write_data_file(tmp_path / "x.dat", phase, intensity)
    as_stored = None if intensity is None else np.ascontiguousarray(np.asarray(intensity), np.uint16)
    mapconv.write_data_file(tmp_path / "expected.dat", np.ascontiguousarray(np.asarray(phase), np.int32), as_stored)
    assert read(tmp_path / "x.dat") == read(tmp_path / "expected.dat")


@pytest.mark.parametrize(
    "arguments, error",
    [
        ({}, ValueError),  # neither block
        ({"phase": _phase(2, 2).astype(np.float32)}, TypeError),
        ({"phase": np.full((2, 2), 2**31, np.int64)}, "phase value 2147483648 does not fit int32"),
        ({"phase": np.full((2, 2), -2**31 - 1, np.int64)}, "-2147483649"),
        ({"phase": np.full((2, 2), 2**64 - 1, np.uint64)}, "18446744073709551615"),
        ({"phase": _phase(2, 2).astype(np.complex64)}, TypeError),
        ({"phase": [["a", "b"]]}, TypeError),
        ({"phase": _phase(2, 2).reshape(1, 2, 2)}, ValueError),
        ({"intensity": np.full((2, 2, 2), -1, np.int16)}, "intensity value -1 does not fit uint16"),
        ({"intensity": np.full((1, 2, 2), 65536, np.int32)}, "65536"),
        ({"intensity": np.zeros((1, 2, 2), bool)}, TypeError),
        ({"intensity": np.zeros((2, 2), np.uint16)}, ValueError),
        ({"phase": _phase(2, 2), "header": {"wavelenght": 1.0}}, ValueError),
        ({"phase": _phase(2, 2), "header": {"wavelength": "red"}}, TypeError),
        ({"phase": _phase(2, 2), "header": {"frame_width": 40000}}, ValueError),
        ({"phase": _phase(2, 2), "header": {"field_76": -1}}, ValueError),
        ({"phase": _phase(2, 2), "header": {"fields_188": (1, 2)}}, ValueError),
        ({"phase": _phase(2, 2), "header": {"bytes_80": b"short"}}, ValueError),
        ({"phase": _phase(2, 2), "header": [("wavelength", 1.0)]}, TypeError),
        ({"phase": _phase(2, 2), "header": {"scale_factor": 1e300}},
         "header field scale_factor must be a finite float32 value, not 1e+300"),
        ({"phase": _phase(2, 2), "header": {"wavelength": float("nan")}}, "header field wavelength"),
        ({"phase": _phase(2, 2), "header": {"obliquity": -float("inf")}}, "header field obliquity"),
        # Just beyond the largest float32, which would round to infinity.
        ({"phase": _phase(2, 2), "header": {"lateral_resolution": 3.4028236e38}}, "lateral_resolution"),
        ({"phase": _phase(2, 2), "software_info": bytes(37)}, ValueError),
        ({"phase": _phase(2, 2), "software_info": "x" * 38}, TypeError),
        ({"phase": _phase(2, 2), "phase_origin": (40000, 0)}, ValueError),
        ({"intensity": np.zeros((1, 2, 2), np.uint16), "intensity_range": 70000}, ValueError),
    ],
)
def test_write_data_file_refuses_bad_arguments(tmp_path, arguments, error):
    # A str names the value a ValueError must give.
    with pytest.raises(ValueError if isinstance(error, str) else error,
                       match=re.escape(error) if isinstance(error, str) else None):
        mapconv.write_data_file(tmp_path / "x.dat", **arguments)
    assert not (tmp_path / "x.dat").exists()


# As the XDT reader gives it: any finite float32 spacing, zero or negative
# (x falling) included; None is taken as refused.
@pytest.mark.parametrize(
    "resolution, stored",
    [
        (float("nan"), None),
        (float("inf"), None),
        (-float("inf"), None),
        (3.4028236e38, None),
        (float(np.finfo(np.float32).max), float(np.finfo(np.float32).max)),
        (0.0, 0.0),
        (-2.5e-6, float(np.float32(-2.5e-6))),
    ],
)
def test_save_heights_takes_a_lateral_resolution_the_reader_would_give(tmp_path, resolution, stored):
    if stored is None:
        with pytest.raises(ValueError, match="lateral_resolution must be a finite float32 value"):
            mapconv.save_heights(tmp_path / "x.dat", ZEROS, resolution)
        assert not (tmp_path / "x.dat").exists()
    else:
        mapconv.save_heights(tmp_path / "x.dat", ZEROS, resolution)
        assert mapconv.read_data_file(tmp_path / "x.dat").lateral_resolution == stored


@pytest.mark.parametrize("path, error", [("", ValueError), ("a\0b", ValueError), (3.5, TypeError)])
def test_bad_paths(path, error):
    with pytest.raises(error):
        mapconv.read_data_file(path)


# A name that begins with a byte-order mark is a name like any other: each
# call writes or reads that file, never the UTF-16 name the rest spells.
def _made_data(name):
    mapconv.write_data_file("made.dat", _phase(2, 2))
    os.rename("made.dat", name)


@pytest.mark.parametrize("name", [os.fsdecode(b"\xff\xfeAB"), b"\xfe\xffAB"], ids=["str", "bytes"])
@pytest.mark.parametrize(
    "prepare, call, output",
    [
        (None, lambda n: mapconv.save_heights(n, ZEROS, 1e-5), None),
        (None, lambda n: mapconv.write_data_file(n, _phase(2, 2)), None),
        (lambda n: write_xdt("in.xdt", ZEROS), lambda n: mapconv.convert("in.xdt", n), None),
        (_made_data, mapconv.read_data_file, False),
        (lambda n: write_xdt(n, ZEROS), mapconv.read_xdt, False),
        (lambda n: write_xdt(n, ZEROS), lambda n: mapconv.convert(n, "out.dat"), b"out.dat"),
    ],
    ids=["save_heights", "write_data_file", "convert_to", "read_data_file", "read_xdt", "convert_from"],
)
def test_names_beginning_with_a_byte_order_mark_are_literal(tmp_path, monkeypatch, name, prepare, call, output):
    """output: the file the call makes (None: the name itself; False: none)."""
    monkeypatch.chdir(tmp_path)
    if prepare is not None:
        prepare(name)
    before = set(os.listdir(b"."))
    call(name)
    made = set(os.listdir(b".")) - before
    expected = os.fsencode(name) if output is None else output
    assert made == ({expected} if expected else set())
    if expected:
        assert mapconv.read_data_file(expected).phase is not None


# --- A large map: no more than one extra copy ------------------------------------------

LARGE_SCRIPT = textwrap.dedent(
    """
    import json, resource, sys, tracemalloc
    import numpy as np
    import mapconv

    def peak():
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024

    source, target, synthetic = sys.argv[1:4]
    result = {}
    start = peak()
    heights, resolution = mapconv.read_xdt(source)
    result["read_xdt"] = peak() - start
    start = peak()
    tracemalloc.start()
    result["unrepresentable"] = mapconv.save_heights(target, heights, resolution)
    result["save_traced"] = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    result["save_heights"] = peak() - start
    del heights
    # A fresh map that was never read: saving it must not grow the peak by a copy.
    fresh = np.full((4096, 4096), 2e-7, np.float32)
    fresh[::7, ::3] = np.nan
    start = peak()
    mapconv.save_heights(synthetic, fresh, 1e-5)
    result["save_fresh"] = peak() - start
    del fresh
    # Nor a float64 one: it is converted a piece at a time.
    fresh = np.full((4096, 4096), 2e-7)
    fresh[::7, ::3] = np.nan
    start = peak()
    mapconv.save_heights(synthetic + "64", fresh, 1e-5)
    result["save_float64"] = peak() - start
    print(json.dumps(result))
    """
)


def test_large_map_is_never_copied(tmp_path, make_xdt, run_mapconv):
    side = 4096
    map_bytes = side * side * 4
    source = make_xdt(tmp_path / "big.xdt", side, side, "-s", "11")
    run_mapconv(source, tmp_path / "program.dat")
    done = subprocess.run(
        [sys.executable, "-c", LARGE_SCRIPT, str(source), str(tmp_path / "module.dat"), str(tmp_path / "fresh.dat")],
        capture_output=True, text=True, env=dict(os.environ), timeout=600,
    )
    assert done.returncode == 0, done.stderr
    growth = json.loads(done.stdout)
    assert read(tmp_path / "module.dat") == read(tmp_path / "program.dat")
    # Reading holds the map once (the reader's block, which is the array).
    assert growth["read_xdt"] < 1.5 * map_bytes, growth
    # Saving streams in small pieces: nothing near another copy.
    assert growth["save_heights"] < 0.25 * map_bytes, growth
    assert growth["save_fresh"] < 0.25 * map_bytes, growth
    assert growth["save_float64"] < 0.25 * map_bytes, growth
    assert read(tmp_path / "fresh.dat64") == read(tmp_path / "fresh.dat")
    assert growth["save_traced"] < 1 << 20, growth


# --- Areal height parameters against a NumPy two-pass computation -------------

def reference_parameters(heights, resolution, level):
    """Two passes in float64: centre, fit (lstsq on centred data), level, moments."""
    rows, columns = heights.shape
    y, x = np.mgrid[0:rows, 0:columns].astype(np.float64)
    valid = np.isfinite(heights)
    z, x, y = heights[valid].astype(np.float64), x[valid] * resolution, y[valid] * resolution
    zc = z - z.mean()
    if level == "plane":
        design = np.column_stack([x - x.mean(), y - y.mean()])
        slopes = np.linalg.lstsq(design, zc, rcond=None)[0]
        zc = zc - design @ slopes
    sq = np.sqrt(np.mean(zc**2))
    return {"Sa": np.mean(np.abs(zc)), "Sq": sq, "Ssk": np.mean(zc**3) / sq**3,
            "Sku": np.mean(zc**4) / sq**4, "Sp": zc.max(), "Sv": -zc.min(),
            "Sz": zc.max() - zc.min(), "points": z.size}


def sine(rows, columns, amplitude, periods):
    return np.tile(amplitude * np.sin(2 * np.pi * periods * np.arange(columns) / columns), (rows, 1))


def two_level(rows, columns, share, height):
    z = np.zeros((rows, columns))
    z.flat[: int(share * z.size)] = height
    return z


RNG = np.random.default_rng(19)
TILTED_NOISE = RNG.normal(0, 5.0, (300, 257)) + 40.0 * np.arange(257) - 7.0 * np.arange(300)[:, None] + 1e4
TILTED_NOISE[RNG.random(TILTED_NOISE.shape) < 0.1] = np.nan


@pytest.mark.parametrize(
    "heights, level, expected",
    [
        # A tilted plane is flat once levelled: every parameter zero, Ssk and Sku undefined.
        (0.1 + 0.3 * np.arange(64)[None, :] - 0.7 * np.arange(48)[:, None], "plane",
         {"Sa": 0, "Sq": 0, "Sp": 0, "Sv": 0, "Sz": 0, "Ssk": np.nan, "Sku": np.nan}),
        (np.full((5, 7), 12.5), "mean", {"Sa": 0, "Sq": 0, "Sz": 0, "Ssk": np.nan}),
        # A sine of amplitude A over whole periods: Sa = 2A/pi, Sq = A/sqrt(2), Ssk = 0, Sku = 1.5.
        (sine(4, 4000, 3.0, 1), "mean",
         {"Sa": 6.0 / np.pi, "Sq": 3.0 / np.sqrt(2), "Ssk": 0, "Sku": 1.5, "Sp": 3.0, "Sv": 3.0}),
        # A quarter of the points one step up: Ssk = (1 - 2p) / sqrt(p (1 - p)).
        (two_level(40, 50, 0.25, 8.0), "mean",
         {"Ssk": 0.5 / np.sqrt(0.1875), "Sq": 8.0 * np.sqrt(0.1875), "Sp": 6.0, "Sv": 2.0}),
        (TILTED_NOISE, "plane", None),
        (TILTED_NOISE, "mean", None),
    ],
)
def test_height_parameters_known_maps_and_numpy(heights, level, expected):
    resolution = 2.5e-6
    got = mapconv.height_parameters(heights, resolution, level=level)
    assert got["level"] == level
    assert got["points"] == np.isfinite(heights).sum()
    scale = np.nanmax(np.abs(heights - np.nanmean(heights)))
    for name, value in (expected or {}).items():
        if np.isnan(value):
            assert np.isnan(got[name]), name
        else:
            assert got[name] == pytest.approx(value, rel=1e-6, abs=1e-9 * max(scale, 1.0)), name
    if expected is None:
        reference = reference_parameters(heights, resolution, level)
        for name in ("Sa", "Sq", "Ssk", "Sku", "Sp", "Sv", "Sz"):
            assert got[name] == pytest.approx(reference[name], rel=1e-9, abs=1e-12), name


@pytest.mark.parametrize("level", ["plane", "mean"])
def test_height_parameters_agree_with_mapinfo(tmp_path, make_xdt, mapinfo_exe, level):
    source = make_xdt(tmp_path / "in.xdt", 301, 157, "-s", "11", "-m", "0.1")
    done = subprocess.run([mapinfo_exe, "--json", "--level", level, str(source)], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    shown = json.loads(done.stdout)["parameters"]
    heights, resolution = mapconv.read_xdt(source)
    got = mapconv.height_parameters(heights.astype(np.float64) * 1e9, resolution, level=level)
    assert shown["level"] == level
    for name in ("Sa", "Sq", "Ssk", "Sku", "Sp", "Sv", "Sz"):
        assert shown[name] == pytest.approx(got[name], rel=1e-9), name
    if level == "plane":
        assert shown["slope_x_nm_per_m"] == pytest.approx(got["slope_x"], rel=1e-8)
        assert shown["slope_y_nm_per_m"] == pytest.approx(got["slope_y"], rel=1e-8)


def test_height_parameters_types_and_slopes():
    z = 1e-3 * np.arange(10)[None, :] + 2e-3 * np.arange(8)[:, None] + np.float32(1)
    got = mapconv.height_parameters(z.astype(np.float32), 0.5)
    assert got["slope_x"] == pytest.approx(2e-3, rel=1e-5) and got["slope_y"] == pytest.approx(4e-3, rel=1e-5)
    assert np.isnan(mapconv.height_parameters(np.full((2, 2), np.nan), 1.0)["Sq"])
    with pytest.raises(ValueError):
        mapconv.height_parameters(z, 1.0, level="cubic")
    with pytest.raises(ValueError):
        mapconv.height_parameters(np.zeros(5), 1.0)


# --- The package: functions by name, short help, NumPy at import ----------------

PUBLIC_FUNCTIONS = ["read_data_file", "read_xdt", "save_heights", "convert", "write_data_file",
                    "height_parameters"]


@pytest.mark.parametrize("function", PUBLIC_FUNCTIONS)
def test_public_functions_pickle_by_name(function):
    # What multiprocessing and Dask do to send a function to a worker.
    assert pickle.loads(pickle.dumps(getattr(mapconv, function))) is getattr(mapconv, function)


POOL_SCRIPT = textwrap.dedent(
    """
    import multiprocessing, sys
    import mapconv

    if __name__ == "__main__":
        method, folder = sys.argv[1:3]
        jobs = [(f"{folder}/in.xdt", f"{folder}/out{i}.dat") for i in range(4)]
        with multiprocessing.get_context(method).Pool(2) as pool:
            print(pool.starmap(mapconv.convert, jobs))
    """
)


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_convert_in_a_process_pool(tmp_path, method):
    write_xdt(tmp_path / "in.xdt", [[0.0, 1e-7], [2e-7, 3e-7]])
    mapconv.convert(tmp_path / "in.xdt", tmp_path / "expected.dat")
    (tmp_path / "pool.py").write_text(POOL_SCRIPT)
    done = subprocess.run([sys.executable, str(tmp_path / "pool.py"), method, str(tmp_path)],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and done.stdout.strip() == "[0, 0, 0, 0]", done.stderr
    for i in range(4):
        assert read(tmp_path / f"out{i}.dat") == read(tmp_path / "expected.dat")


@pytest.mark.parametrize(
    "reserved, summary",
    [(bytes(3998), "reserved=<3998 bytes, 0 non-zero>"),
     (b"\1" + bytes(3995) + b"\xff\2", "reserved=<3998 bytes, 3 non-zero>")],
    ids=["zero", "three_set"],
)
def test_header_repr_names_the_fields_and_counts_the_reserved_bytes(tmp_path, reserved, summary):
    header = {"wavelength": 5e-7, "frame_width": 640, "reserved": reserved}
    mapconv.write_data_file(tmp_path / "a.dat", _phase(2, 2), header=header)
    text = repr(mapconv.read_data_file(tmp_path / "a.dat").header)
    assert text.startswith("mapconv.Header(scale_factor=0.0, wavelength=") and "frame_width=640" in text
    assert text.endswith(summary + ")") and len(text) < 300, text


def test_help_is_a_short_reference():
    done = subprocess.run([sys.executable, "-c", "import mapconv; help(mapconv)"], capture_output=True,
                          text=True, timeout=60, env={**os.environ, "PAGER": "cat", "TERM": "dumb"})
    assert done.returncode == 0 and len(done.stdout.splitlines()) < 250, done.stdout[-2000:]
    assert "inherited from builtins.OSError" not in done.stdout


WITHOUT_NUMPY = textwrap.dedent(
    """
    import sys

    class NoNumPy:
        def find_spec(self, name, path=None, target=None):
            if name.partition(".")[0] == "numpy":
                raise ModuleNotFoundError(f"No module named {name!r}", name=name)

    sys.meta_path.insert(0, NoNumPy())
    try:
        import mapconv
    except ImportError as error:
        print(error)
    else:
        print("imported")
    """
)


def test_import_without_numpy_names_what_to_install():
    done = subprocess.run([sys.executable, "-c", WITHOUT_NUMPY], capture_output=True, text=True, timeout=60)
    assert "NumPy" in done.stdout and "python3-numpy" in done.stdout, done.stdout + done.stderr


@pytest.mark.parametrize("call", [
    lambda p: mapconv.save_heights(p / "x.dat", np.full((2, 2), 0.5, np.float32), 1e-5),
    lambda p: mapconv.convert(write_xdt(p / "in.xdt", np.full((2, 2), 0.5)), p / "x.dat"),
], ids=["save_heights", "convert"])
def test_the_warning_points_at_the_caller(tmp_path, call):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        call(tmp_path)
    assert [w.filename for w in caught] == [__file__]


# --- Threads, forks, exit and signals: each case in its own interpreter -----------
# A regression here hangs or kills the interpreter; the timeout turns that
# into a failure. Every script prints "ok" as its last line when it got there.

CALL_PRELUDE = """
import atexit, os, signal, sys, threading, time, warnings
# Run at exit after the module's own exit handler, which is registered later.
late_calls = []
atexit.register(lambda: [call() for call in late_calls])
import numpy as np
import mapconv
from conftest import write_xdt
small = str(write_xdt("small.xdt", np.full((40, 30), 1e-7)))
os.mkfifo("fifo")
feeders = []
def feed(path, chunks, pause):
    # Writes chunks into the FIFO path from a child, pause seconds apart. The
    # last feeder must be gone first: a call that has read all it needs may
    # return before its feeder closes, and that feeder's end would then be
    # the next call's end of file. Its call is over, so it is stopped.
    while feeders:
        pid = feeders.pop()
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        os.waitpid(pid, 0)
    pid = os.fork()
    if pid:
        feeders.append(pid)
    else:
        quiet = os.open(os.devnull, os.O_WRONLY)
        os.dup2(quiet, 1)
        os.dup2(quiet, 2)
        try:
            with open(path, "wb") as out:
                for i, chunk in enumerate(chunks):
                    if i:
                        out.flush()
                        time.sleep(pause)
                    out.write(chunk)
        finally:
            os._exit(0)
# 90000 points: more than one piece, so that convert reads ahead on a second thread.
grid = np.random.default_rng(1).random((300, 300)).astype(np.float32) * 1e-7
grid_bytes = open(write_xdt("grid.xdt", grid), "rb").read()
mapconv.convert("grid.xdt", "grid.dat")
data_bytes = open("grid.dat", "rb").read()
# A call to the FIFO fed with the first half of source and, pause s later, the rest.
fifo_calls = {
    "read_xdt": (lambda: mapconv.read_xdt("fifo"), grid_bytes),
    "read_data_file": (lambda: mapconv.read_data_file("fifo"), data_bytes),
    "convert": (lambda: mapconv.convert("fifo", "old.dat", force=True), grid_bytes),
}
def interrupted(call, after):
    # Seconds from SIGINT (sent after s into the call) to its KeyboardInterrupt.
    sent = []
    def send():
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)
    threading.Timer(after, send).start()
    try:
        call()
    except KeyboardInterrupt:
        return time.monotonic() - sent[0]
    raise AssertionError("no KeyboardInterrupt")
"""

CALL_SCRIPTS = {
    # A call blocked on a FIFO nobody writes holds nothing another call needs.
    "blocked_fifo_does_not_block_others": """
threading.Thread(target=mapconv.read_xdt, args=("fifo",), daemon=True).start()
time.sleep(0.3)
assert mapconv.read_xdt(small).heights.shape == (40, 30)
mapconv.convert(small, "out.dat")
""",
    # The same in a child forked while the other thread is inside the call.
    "fork_while_a_thread_is_inside_a_call": """
import multiprocessing
threading.Thread(target=mapconv.read_xdt, args=("fifo",), daemon=True).start()
time.sleep(0.3)
child = multiprocessing.get_context("fork").Process(target=mapconv.convert, args=(small, "child.dat"))
child.start()
child.join(10)
assert child.exitcode == 0 and os.path.getsize("child.dat") > 0, child.exitcode
# A plain fork while other threads wait to come back from their calls: the
# child makes a call and exits through its atexit handlers.
def loop():
    while True:
        mapconv.read_xdt(small)
for _ in range(3):
    threading.Thread(target=loop, daemon=True).start()
for _ in range(5):
    time.sleep(0.05)
    pid = os.fork()
    if pid == 0:
        mapconv.read_xdt(small)
        sys.exit(0)
    for _ in range(200):
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        time.sleep(0.05)
    else:
        os.kill(pid, signal.SIGKILL)
        raise AssertionError("the child hung at exit")
    assert os.waitstatus_to_exitcode(status) == 0
""",
    # Interpreter exit while daemon threads are inside the calls.
    "exit_while_daemon_threads_are_inside_calls": """
big = str(write_xdt("big.xdt", np.full((700, 600), 1e-7)))
def loop(call):
    while True:
        call()
# A call after the module's exit handler: the exiting thread goes on.
late_calls.append(lambda: mapconv.read_xdt(small))
threading.Thread(target=loop, args=(lambda: mapconv.read_xdt(big),), daemon=True).start()
threading.Thread(target=loop, args=(lambda: mapconv.convert(big, "loop.dat", force=True),), daemon=True).start()
threading.Thread(target=loop, args=(lambda: mapconv.save_heights("loop2.dat", np.zeros((700, 600)), 1e-5, force=True),),
                 daemon=True).start()
time.sleep(0.2)
""",
}


CALL_SCRIPTS.update({
    # A handler that returns makes no read fail: interrupted reads carry on.
    "signal_handler_while_a_fifo_delivers_in_two_bursts": """
signal.signal(signal.SIGALRM, lambda *a: None)
for name, (call, source) in fifo_calls.items():
    feed("fifo", [source[:100000], source[100000:]], 0.6)
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    call()
assert np.array_equal(mapconv.read_xdt("grid.xdt").heights, grid)
assert open("old.dat", "rb").read() == data_bytes
""",
    # Ctrl-C during a call blocked on its input: raised at once, and the old output is as it was.
    "ctrl_c_while_blocked_on_a_fifo": """
for name, (call, source) in fifo_calls.items():
    open("old.dat", "wb").write(b"old")
    before = sorted(os.listdir())
    feed("fifo", [source[:100000], source[100000:]], 3)
    latency = interrupted(call, 0.3)
    assert latency < 0.3, (name, latency)
    assert open("old.dat", "rb").read() == b"old" and sorted(os.listdir()) == before, name
    print(name, round(latency, 4))
""",
    # Ctrl-C while save_heights converts a large array: the new file is not made, the old one kept.
    "ctrl_c_while_save_heights_converts": """
heights = np.full((6000, 6000), 1e-7, dtype=">f2")[:, ::-1]
open("old.dat", "wb").write(b"old")
before = sorted(os.listdir())
for target in ("old.dat", "new.dat"):
    latency = interrupted(lambda: mapconv.save_heights(target, heights, 1e-5, force=True), 0.05)
    assert latency < 0.3, latency
    assert open("old.dat", "rb").read() == b"old" and sorted(os.listdir()) == before
    print("save_heights", round(latency, 4))
""",
    # Written in place (the folder refuses new files), the old file is never left cut short:
    # the save is finished, then KeyboardInterrupt is raised.
    "ctrl_c_while_save_heights_writes_in_place": """
heights = np.full((6000, 6000), 1e-7, dtype=">f2")[:, ::-1]
os.mkdir("shut")
mapconv.save_heights("whole.dat", heights, 1e-5)
open("shut/old.dat", "wb").write(b"old")
os.chmod("shut", 0o555)
interrupted(lambda: mapconv.save_heights("shut/old.dat", heights, 1e-5, force=True), 0.05)
assert open("shut/old.dat", "rb").read() == open("whole.dat", "rb").read()
os.chmod("shut", 0o755)
""",
    # Ctrl-C while an X3P file is read or written: raised within a piece, no new file left.
    "ctrl_c_while_x3p_reads_and_writes": """
heights = np.full((3000, 3000), 1e-7)
mapconv.write_x3p("big.x3p", heights, 1e-6)
before = sorted(os.listdir())
for name, call in (("read_x3p", lambda: mapconv.read_x3p("big.x3p")),
                   ("write_x3p", lambda: mapconv.write_x3p("new.x3p", heights, 1e-6))):
    latency = interrupted(call, 0.05)
    assert latency < 0.2, (name, latency)
    assert sorted(os.listdir()) == before, name
    print(name, round(latency, 4))
""",
})


# Run by root, a script that needs permission bits to count runs without any
# capability: root then obeys them like any owner, and still reaches its own
# private folders.
UNPRIVILEGED = ["setpriv", "--inh-caps=-all", "--ambient-caps=-all", "--bounding-set=-all", "--"]


def run_script(tmp_path, body, timeout=30, unprivileged=False):
    script = CALL_PRELUDE + textwrap.dedent(body) + '\nprint("ok")\n'
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(__file__), os.environ.get("PYTHONPATH", "")]))
    prefix = UNPRIVILEGED if unprivileged and os.geteuid() == 0 else []
    try:
        return subprocess.run([*prefix, sys.executable, "-c", script], cwd=tmp_path, capture_output=True,
                              text=True, timeout=timeout, env=env)
    except subprocess.TimeoutExpired as expired:
        pytest.fail(f"timed out after {timeout} s: {expired.stderr!r}")


@pytest.mark.parametrize("name, runs", [("blocked_fifo_does_not_block_others", 1),
                                        ("fork_while_a_thread_is_inside_a_call", 2),
                                        ("exit_while_daemon_threads_are_inside_calls", 10),
                                        ("signal_handler_while_a_fifo_delivers_in_two_bursts", 1),
                                        ("ctrl_c_while_blocked_on_a_fifo", 1),
                                        ("ctrl_c_while_save_heights_converts", 1),
                                        ("ctrl_c_while_save_heights_writes_in_place", 1),
                                        pytest.param("ctrl_c_while_x3p_reads_and_writes", 1, marks=pytest.mark.skipif(
                                            not hasattr(mapconv._mapconv, "_read_x3p"), reason="built without X3P"))])
def test_calls_in_their_own_interpreter(tmp_path, name, runs):
    for run in range(runs):
        folder = tmp_path / str(run)
        folder.mkdir()
        # A read-only folder must refuse new files to the writer in place.
        done = run_script(folder, CALL_SCRIPTS[name], timeout=20, unprivileged=name.endswith("in_place"))
        assert (done.returncode, "ok" in done.stdout.splitlines()) == (0, True), done.stderr
        assert "terminate" not in done.stderr, done.stderr
