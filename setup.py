"""Builds the extension mapconv._mapconv with the project's CMake, for the
interpreter running this script; the package's Python files, stubs and
py.typed come from python/mapconv (see pyproject.toml)."""

import os
import pathlib
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent


def version():
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"project\(mapconv VERSION ([0-9.]+)", text).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = pathlib.Path(self.build_temp).resolve() / "cmake"
        build.mkdir(parents=True, exist_ok=True)
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
            f"-DPython_EXECUTABLE={sys.executable}",
            "-DMAPCONV_BUILD_PYTHON=ON", "-DMAPCONV_BUILD_PROGRAMS=OFF", "-DMAPCONV_BUILD_TESTS=OFF",
            "-DMAPCONV_INSTALL=OFF",
            # Another compiler's new warning must not stop a user's install.
            "-DMAPCONV_WARNINGS_AS_ERRORS=OFF",
        ]
        if shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        subprocess.run(configure, check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 1))
        done = subprocess.run(["cmake", "--build", str(build), "--target", "mapconv_python", "--parallel", jobs])
        if done.returncode != 0:
            sys.exit(f"CMake did not build the module for {sys.executable} (it needs pybind11, and NumPy "
                     "for that interpreter): see above")
        built = list((build / "python" / "mapconv").glob("_mapconv.*"))
        built = [path for path in built if path.suffix != ".pyi"]
        if len(built) != 1:
            sys.exit(f"expected one built module in {build / 'python' / 'mapconv'}, found {built}")
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built[0], target)


setup(
    version=version(),
    ext_modules=[Extension("mapconv._mapconv", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
)
