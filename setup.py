"""The quorvin package's build: CMake makes the _core extension, setuptools packs it with the rest.

The version is the project's own, read from CMakeLists.txt, so the package, quorvin-cli and
``quorvin.__version__`` always agree.
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


def project_version() -> str:
    """The VERSION of CMakeLists.txt's project()."""
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    found = re.search(r"project\(quorvin VERSION ([0-9.]+)", text)
    if not found:
        raise RuntimeError("CMakeLists.txt: no project(quorvin VERSION ...)")
    return found.group(1)


class CMakeBuild(build_ext):
    """Builds the _core target alone (no tests, benchmarks or HDF5) for the running interpreter."""

    def build_extension(self, ext: Extension) -> None:
        build = Path(self.build_temp).resolve() / "cmake"
        target = Path(self.get_ext_fullpath(ext.name)).resolve()
        configure = ["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                     "-DQUORVIN_PYTHON=ON", "-DQUORVIN_BUILD_TESTS=OFF", "-DQUORVIN_BUILD_BENCHMARKS=OFF",
                     "-DQUORVIN_HDF5=OFF", "-DQUORVIN_WERROR=OFF", f"-DPython3_EXECUTABLE={sys.executable}"]
        subprocess.run(configure, check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        subprocess.run(["cmake", "--build", str(build), "--target", "_core", "-j", jobs], check=True)
        built = build / "python" / "quorvin" / target.name
        target.parent.mkdir(parents=True, exist_ok=True)
        self.copy_file(str(built), str(target))


setup(version=project_version(), ext_modules=[Extension("quorvin._core", sources=[])],
      cmdclass={"build_ext": CMakeBuild})
