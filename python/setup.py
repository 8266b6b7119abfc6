"""Builds quillon_monitoring._core from the binding sources and the core library's own sources
(C++20), so that pip needs no CMake build: it is the same C++ code that CMake links. The version
is the project's, read from the top-level CMakeLists.txt. The core sources lie beside this
directory, so the package builds from a source tree only."""
import os
import pathlib
import re

from pybind11.setup_helpers import ParallelCompile, Pybind11Extension, build_ext
from setuptools import setup

HERE = pathlib.Path(__file__).resolve().parent
CORE = HERE.parent / "monitoring"
VERSION = re.search(r"project\(QuillonMonitoring\s+VERSION\s+([0-9.]+)",
                    (HERE.parent / "CMakeLists.txt").read_text())[1]

# QUILLON_BUILD_JOBS compile jobs at once (default: one per processor).
ParallelCompile("QUILLON_BUILD_JOBS").install()

setup(
    version=VERSION,
    packages=["quillon_monitoring"],
    package_data={"quillon_monitoring": ["py.typed", "*.pyi"]},
    ext_modules=[Pybind11Extension(
        "quillon_monitoring._core",
        # setuptools takes only paths relative to this directory.
        sorted(os.path.relpath(path, HERE)
               for path in [*(HERE / "src").glob("*.cpp"), *(CORE / "src").glob("*.cpp")]),
        include_dirs=[os.path.relpath(CORE / "include", HERE)],
        cxx_std=20,
    )],
    cmdclass={"build_ext": build_ext},
)
