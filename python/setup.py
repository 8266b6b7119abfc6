"""Builds quillon_monitoring._core from the binding sources and the core library's own sources
(C++20), so that pip needs no CMake build: it is the same C++ code that CMake links. The version
is the project's, read from the top-level CMakeLists.txt. The core sources lie beside this
directory, so the package builds from a source tree only.

HttpExporter comes with the HTTP exporter library's sources when pkg-config finds what they
need (cpp-httplib, yaml-cpp, libcrypt, OpenSSL, zlib). QUILLON_BUILD_HTTP=ON requires them,
OFF leaves HttpExporter out, and unset it is built when they are found and left out, with a
warning naming what is missing, when they are not."""
import os
import pathlib
import re
import shutil
import subprocess
import sys

from pybind11.setup_helpers import ParallelCompile, Pybind11Extension, build_ext
from setuptools import setup

HERE = pathlib.Path(__file__).resolve().parent
CORE = HERE.parent / "monitoring"
HTTP = HERE.parent / "http"
VERSION = re.search(r"project\(QuillonMonitoring\s+VERSION\s+([0-9.]+)",
                    (HERE.parent / "CMakeLists.txt").read_text())[1]
HTTP_PACKAGES = ["cpp-httplib", "yaml-cpp", "libcrypt", "openssl", "zlib"]


def pkg_config(*arguments):
    return subprocess.run(["pkg-config", *arguments], capture_output=True, text=True)


def http_wanted():
    """True when HttpExporter is built, False when not; exits when it is required but cannot be."""
    choice = os.environ.get("QUILLON_BUILD_HTTP", "").strip().upper()
    if choice in ("0", "OFF", "FALSE", "NO"):
        return False
    if choice not in ("", "AUTO", "1", "ON", "TRUE", "YES"):
        sys.exit(f"QUILLON_BUILD_HTTP={choice}: expected ON, OFF or nothing")
    missing = (["pkg-config"] if shutil.which("pkg-config") is None else
               [name for name in HTTP_PACKAGES if pkg_config("--exists", name).returncode != 0])
    if not missing:
        return True
    reason = "not found through pkg-config: " + ", ".join(missing)
    if choice in ("", "AUTO"):
        print(f"warning: quillon_monitoring is built without HttpExporter ({reason})",
              file=sys.stderr)
        return False
    sys.exit(f"QUILLON_BUILD_HTTP={choice}: HttpExporter needs what is {reason}")


def flags(option):
    # cpp-httplib's defines (its TLS and compression support) must match its compiled library.
    return [*pkg_config(option, *HTTP_PACKAGES).stdout.split(), "-pthread"]


bindings = [path for path in (HERE / "src").glob("*.cpp") if path.name != "http_exporter.cpp"]
if http_wanted():
    sources = [*bindings, HERE / "src" / "http_exporter.cpp", *(HTTP / "src").glob("*.cpp")]
    options = {"extra_compile_args": flags("--cflags"), "extra_link_args": flags("--libs")}
else:
    sources, options = [*bindings, HERE / "src" / "without_http" / "http_exporter.cpp"], {}

# QUILLON_BUILD_JOBS compile jobs at once (default: one per processor).
ParallelCompile("QUILLON_BUILD_JOBS").install()

setup(
    version=VERSION,
    packages=["quillon_monitoring"],
    package_data={"quillon_monitoring": ["py.typed", "*.pyi"]},
    ext_modules=[Pybind11Extension(
        "quillon_monitoring._core",
        # setuptools takes only paths relative to this directory.
        sorted(os.path.relpath(path, HERE) for path in [*sources, *(CORE / "src").glob("*.cpp")]),
        include_dirs=[os.path.relpath(directory / "include", HERE) for directory in (CORE, HTTP)],
        cxx_std=20,
        **options,
    )],
    cmdclass={"build_ext": build_ext},
)
