#!/usr/bin/env python3
"""The example's figure read back by OCR: the colour bar's labels must be
round heights spanning what the summary reports, in the unit it chose, the
scale bar a round length fitting the map's width, and the title the file,
grid, Sa and Sq of the summary.

    figure_ocr_test.py MAPINFO EXAMPLE.xdt

Exits 77 (skipped) where tesseract is missing or mapinfo draws no legend.
"""
import math
import re
import shutil
import subprocess
import sys
import tempfile

SKIP = 77
LABEL = re.compile(r"^([-\u2212]?[0-9Oo.]+)\s*(nm|µm|um|mm)$")
TO_NM = {"nm": 1.0, "µm": 1e3, "um": 1e3, "mm": 1e6}


def summary_value(summary, label):
    match = re.search(r"^  " + re.escape(label) + r"\s+(-?[0-9.e+-]+)", summary, re.M)
    assert match, f"no {label} in the summary:\n{summary}"
    return float(match.group(1))


def is_round(value):
    """1, 2 or 5 times a power of ten."""
    exponent = math.floor(math.log10(value))
    mantissa = value / 10**exponent
    return any(abs(mantissa - m) < 1e-6 for m in (1, 2, 5, 10))


def read_figure(mapinfo, example, options, scratch):
    picture = f"{scratch}/figure.png"
    run = subprocess.run([mapinfo, "-f", "--size", "1600", *options, "--png", picture, example],
                         capture_output=True, text=True, check=True)
    if "drawn without its legend" in run.stderr:
        print("SKIP: this mapinfo was built without cairo and pango, so it draws no legend")
        sys.exit(SKIP)
    text = subprocess.run(["tesseract", picture, "-", "--psm", "11"], capture_output=True, text=True,
                          check=True).stdout
    return run.stdout, [line.strip() for line in text.splitlines() if line.strip()]


def check(mapinfo, example, options, scratch):
    summary, lines = read_figure(mapinfo, example, options, scratch)
    print(f"-- mapinfo {' '.join(options)}: OCR read {lines}")
    if "--level" in options:
        low, high = -summary_value(summary, "Sv"), summary_value(summary, "Sp")
    else:
        low, high = summary_value(summary, "height min"), summary_value(summary, "height max")
    columns = int(re.search(r"grid\s+(\d+) columns x (\d+) rows", summary).group(1))
    rows = int(re.search(r"grid\s+(\d+) columns x (\d+) rows", summary).group(2))
    lateral = summary_value(summary, "lateral resolution")

    labels = []
    for line in lines:
        match = LABEL.match(line)
        if match:
            number = match.group(1).replace("\u2212", "-").replace("O", "0").replace("o", "0")
            labels.append((float(number), match.group(2)))
    # The scale bar's label is the one length below the map: the last line.
    assert labels, "no labels read"
    scale_value, scale_unit = labels.pop()
    read = [value * TO_NM[unit] for value, unit in labels]
    heights = sorted(read)
    assert read == heights[::-1], f"the bar's labels are not highest first: {read}"
    units = {unit for _, unit in labels}

    # The colour bar: one unit, the one the summary's range asks for; three
    # or more round, evenly spaced heights covering the range within a step.
    expected_unit = "nm" if max(abs(low), abs(high)) < 1e3 else "µm" if max(abs(low), abs(high)) < 1e6 else "mm"
    assert units <= {expected_unit, "um" if expected_unit == "µm" else expected_unit}, units
    assert len(heights) >= 3, heights
    steps = {round(b - a, 9) for a, b in zip(heights, heights[1:])}
    assert len(steps) == 1, f"uneven steps {steps} in {heights}"
    step = steps.pop()
    assert is_round(step), step
    assert low <= heights[0] < low + step, (low, heights)
    assert high - step < heights[-1] <= high, (high, heights)

    # The scale bar: a round length, at most 30 % of the map's width and
    # more than the next round length down would be.
    length = scale_value * TO_NM[scale_unit] * 1e-9
    width = lateral * columns
    assert is_round(scale_value), scale_value
    assert 0.3 * width / 2.5 <= length <= 0.3 * width, (length, width)

    # The title: the file, the grid, Sa and Sq as the summary gives them.
    title = " ".join(lines[:3])
    for part in (example.rsplit("/", 1)[-1], f"{columns} x {rows} points",
                 f"Sa {summary_value(summary, 'Sa'):.4f} nm", f"Sq {summary_value(summary, 'Sq'):.4f} nm"):
        assert part in title, f"{part!r} not in {title!r}"
    print(f"   heights {heights} ({expected_unit}, step {step} nm) for {low}..{high} nm; "
          f"scale bar {scale_value} {scale_unit} of a {width * 1e3:g} mm map")


def main():
    mapinfo, example = sys.argv[1:3]
    if shutil.which("tesseract") is None:
        print("SKIP: tesseract is not installed (tools/setup ci installs tesseract-ocr)")
        return SKIP
    with tempfile.TemporaryDirectory() as scratch:
        for options in ([], ["--level", "plane"]):
            check(mapinfo, example, options, scratch)
    return 0


if __name__ == "__main__":
    sys.exit(main())
