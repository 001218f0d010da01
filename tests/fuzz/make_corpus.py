#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into corpus/<target>/.

The seeds are tiny; the fuzzers grow variants of them. Run from anywhere:
the files land next to this script. Existing seeds are replaced.
"""
import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent


def xdt(columns, rows, points, big_endian=False):
    order = ">" if big_endian else "<"
    out = struct.pack(order + "HH", columns, rows)
    for x, y, z in points:
        out += struct.pack(order + "fff", x, y, z)
    return out


def grid(columns, rows, height=lambda r, k: 0.25 * (r + k), spacing=0.5):
    return [(k * spacing, r * spacing, height(r, k)) for r in range(rows) for k in range(columns)]


NAN = float("nan")

READER = {
    "empty": b"",
    "three_bytes": b"\x02\x00\x02",
    "counts_only": xdt(2, 2, []),
    "grid_2x2": xdt(2, 2, grid(2, 2)),
    "grid_2x2_big_endian": xdt(2, 2, grid(2, 2), big_endian=True),
    "one_column": xdt(1, 3, grid(1, 3)),
    "too_many_columns": xdt(65535, 2, []),
    "no_data": xdt(3, 2, grid(3, 2, lambda r, k: -1.0)),
    "cut_in_third_point": xdt(2, 2, grid(2, 2))[: 4 + 2 * 12 + 5],
    "nan_and_gaps": xdt(4, 3, grid(4, 3, lambda r, k: NAN if (r, k) == (1, 1) else (-2.0 if k == 0 else 1e-7 * k))),
    "trailing_bytes": xdt(2, 2, grid(2, 2)) + b"extra",
}

# Writer inputs, laid out as the target reads them: flags, prefix length and
# prefix, intensity origin x/y, width, height, buckets byte, range, phase
# origin x/y, width, height, software bytes (when flagged), header pokes
# (when flagged), then the seed of the map values.
SOFTWARE, HEADER, INTENSITY, INTENSITY_NO_DATA, PHASE, PHASE_NO_DATA, INTENSITY_SHORT, PHASE_SHORT = (
    1 << i for i in range(8)
)
PHASE_RESOLUTION = 148  # record offset of phase_resolution


def writer(flags, prefix=b"", intensity=(0, 0, 0, 0, 0, 0), phase=(0, 0, 3, 2), software=b"", pokes=(), seed=b"\x01\x02"):
    ox, oy, w, h, buckets, rng = intensity
    out = bytes([flags, len(prefix)]) + prefix
    out += struct.pack("<hhbbBH", ox, oy, w, h, (buckets * 16) & 0xFF, rng)
    out += struct.pack("<hhbb", *phase)
    if flags & SOFTWARE:
        out += software.ljust(38, b"\0")[:38]
    if flags & HEADER:
        out += bytes([len(pokes)])
        for at, value in pokes:
            out += struct.pack("<HB", at, value)
    return out + seed


WRITER = {
    "phase_only": writer(PHASE),
    "no_map": writer(0),
    "phase_without_data": writer(PHASE | PHASE_NO_DATA),
    "format_2": writer(PHASE | HEADER, pokes=[(PHASE_RESOLUTION, 2)]),
    "format_3_last_byte": writer(PHASE | HEADER, pokes=[(4035, 1)]),
    "software_and_prefix": writer(PHASE | SOFTWARE, prefix=b"abc", software=b"\x02\x01AB"),
    "both_maps": writer(PHASE | INTENSITY, intensity=(1, 2, 4, 3, 5, 4095)),
    "negative_width": writer(PHASE, phase=(0, 0, -3, 2)),
    "short_capacity": writer(PHASE | PHASE_SHORT),
    "intensity_chunks": writer(INTENSITY, intensity=(0, 0, 127, 127, 3, 0)),
}


def data_file(magic=0x881B036F, header_format=1, header_size=834, phase=(3, 2), intensity=None, tail=b""):
    """A data file laid out by hand: leading fields, zero header, blocks."""
    width, height = phase
    intensity_fields = b"\0" * 16
    intensity_block = b""
    if intensity:
        iw, ih, buckets = intensity
        intensity_fields = struct.pack(">hhhhhHI", 0, 0, iw, ih, buckets, 4095, iw * ih * buckets * 2)
        intensity_block = b"".join(struct.pack(">H", i) for i in range(iw * ih * buckets))
    header = struct.pack(">IhI", magic, header_format, header_size) + b"\0" * 38 + intensity_fields
    header += struct.pack(">hhhhI", 0, 0, width, height, width * height * 4)
    header = header.ljust(header_size, b"\0")
    if header_size == 4096:
        header = header[:4095] + b"\1"  # what makes the writer choose format 3
    phase_block = b"".join(struct.pack(">i", v) for v in range(-1, width * height - 1))
    return header + intensity_block + phase_block + tail


def write_set(target, seeds):
    folder = HERE / "corpus" / target
    folder.mkdir(parents=True, exist_ok=True)
    for name, data in seeds.items():
        (folder / name).write_bytes(data)


write_set("xdt_reader_fuzz", READER)
write_set("data_file_reader_fuzz", {
    "format_1": data_file(),
    "format_2": data_file(magic=0x881B0370, header_format=2)[:218] + b"\0\2" + data_file()[220:],
    "format_3": data_file(magic=0x881B0371, header_format=3, header_size=4096, phase=(2, 2)),
    "both_maps": data_file(intensity=(2, 2, 3)),
    "cut_short": data_file()[:850],
    "trailing_bytes": data_file(tail=b"x"),
    "wrong_magic": data_file(magic=0x12345678),
})
write_set("run_flow_fuzz", {name: READER[name] for name in (
    "grid_2x2", "three_bytes", "one_column", "cut_in_third_point", "nan_and_gaps", "no_data")})
write_set("data_file_writer_fuzz", WRITER)
write_set("streaming_run_fuzz", {
    **{name: READER[name] for name in (
        "grid_2x2", "three_bytes", "one_column", "cut_in_third_point", "nan_and_gaps", "no_data")},
    # Rows of gaps, a narrowing row and heights beyond the storable counts,
    # over enough points to cross many small pieces.
    "gaps_and_out_of_range": xdt(9, 7, grid(9, 7, lambda r, k: (
        -1.0 if (r * 9 + k) % 5 == 0 or (r == 4 and k > 5) else (0.03 if (r + k) % 7 == 0 else 1e-7 * (r - k))))),
    "unresolvable": xdt(5, 3, grid(5, 3, lambda r, k: 1e-7 if k == 2 else -1.0)),
    "cut_in_last_row": xdt(6, 4, grid(6, 4))[: 4 + 21 * 12 + 7],
})
