"""Builds the qarvel package for pip with the project's CMake build.

The CMake build stays the one definition of how the code is built: this only
configures it for the running interpreter, builds the module over the static
core, and installs CMake's python component (the module and the pure-Python
files) into the wheel's tree. The version is the one in CMakeLists.txt.
"""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


def cmake_version():
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"project\(qarvel VERSION ([0-9.]+)", text).group(1)


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        if self.inplace:
            sys.exit("qarvel has no editable install: the dev preset's build tree holds a "
                     "package to import (PYTHONPATH=build/dev/python)")
        build = Path(self.build_temp).resolve() / "cmake"
        package_root = Path(self.get_ext_fullpath(ext.name)).resolve().parent.parent
        config = [
            "cmake", "-S", str(ROOT), "-B", str(build),
            "-DCMAKE_BUILD_TYPE=Release",
            f"-DPython3_EXECUTABLE={sys.executable}",
            "-DQARVEL_BUILD_PYTHON=ON", "-DQARVEL_BUILD_TESTS=OFF",
            "-DQARVEL_BUILD_TOOLS=OFF", "-DQARVEL_BUILD_BENCH=OFF",
            # The package goes straight into the wheel's tree.
            "-DQARVEL_PYTHON_INSTALL_DIR=.",
        ]
        try:
            import pybind11  # PyPI's, in an isolated build; Debian's comes with CMake files
            config.append(f"-Dpybind11_DIR={pybind11.get_cmake_dir()}")
        except ImportError:
            pass
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        subprocess.run(config, check=True)
        subprocess.run(["cmake", "--build", str(build), "--target", "qarvel_python", "-j", jobs],
                       check=True)
        # Only what this build installs: nothing left from an earlier one.
        shutil.rmtree(package_root / "qarvel", ignore_errors=True)
        subprocess.run(["cmake", "--install", str(build), "--component", "python", "--strip",
                        "--prefix", str(package_root)], check=True)


setup(
    version=cmake_version(),
    packages=[],  # every file of the package comes from CMake's install of it
    ext_modules=[CMakeExtension("qarvel._qarvel")],
    cmdclass={"build_ext": CMakeBuild},
)
