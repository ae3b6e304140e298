"""The quorvin package's build: CMake makes the _core extension, setuptools packs it with the rest.

The version is the project's own, read from CMakeLists.txt, so the package, quorvin-cli and
``quorvin.__version__`` always agree.
"""

from __future__ import annotations

import os
import re
import shutil
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


def cmake_cache(build: Path, name: str) -> str:
    """A variable of the CMake cache in `build`; empty when it has none."""
    found = re.search(rf"^{name}:[A-Z]+=(.*)$", (build / "CMakeCache.txt").read_text(encoding="utf-8"), re.MULTILINE)
    return found.group(1) if found else ""


class CMakeBuild(build_ext):
    """Builds the _core target alone (no tests or benchmarks) for the running interpreter.

    HDF5 is built in where CMake finds the C library (Debian's libhdf5-dev); QUORVIN_HDF5=OFF in
    the environment leaves it out. The CMake folder under build/ is kept, so a second install
    compiles only what changed; ccache, where installed, serves what another folder compiled.
    """

    def build_extension(self, ext: Extension) -> None:
        build = Path(self.build_temp).resolve() / "cmake"
        target = Path(self.get_ext_fullpath(ext.name)).resolve()
        configure = ["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                     "-DQUORVIN_PYTHON=ON", "-DQUORVIN_BUILD_TESTS=OFF", "-DQUORVIN_BUILD_BENCHMARKS=OFF",
                     "-DQUORVIN_WERROR=OFF", f"-DPython3_EXECUTABLE={sys.executable}",
                     f"-DQUORVIN_HDF5={'OFF' if os.environ.get('QUORVIN_HDF5', '').upper() == 'OFF' else 'ON'}"]
        launcher = shutil.which("ccache")
        if launcher and "CMAKE_CXX_COMPILER_LAUNCHER" not in os.environ:
            configure += [f"-DCMAKE_CXX_COMPILER_LAUNCHER={launcher}", f"-DCMAKE_C_COMPILER_LAUNCHER={launcher}"]
        subprocess.run(configure, check=True)
        if cmake_cache(build, "QUORVIN_HAS_HDF5").upper() in ("1", "ON", "TRUE"):
            print("quorvin: built with HDF5: format='hdf5' writes containers", file=sys.stderr)
        else:
            print("quorvin: WARNING: built without HDF5 (no libhdf5-dev found, or QUORVIN_HDF5=OFF): "
                  "format='hdf5' is refused", file=sys.stderr)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        subprocess.run(["cmake", "--build", str(build), "--target", "_core", "-j", jobs], check=True)
        built = build / "python" / "quorvin" / target.name
        target.parent.mkdir(parents=True, exist_ok=True)
        self.copy_file(str(built), str(target))


setup(version=project_version(), ext_modules=[Extension("quorvin._core", sources=[])],
      cmdclass={"build_ext": CMakeBuild})
