"""usage: pip_install.py SOURCE_ROOT WORK [QUILLON_BUILD_HTTP]: installs the package as
docs/python.md says (a venv that sees Debian's pybind11 and setuptools, pip without build
isolation or network) from a copy of the source tree in WORK, with QUILLON_BUILD_HTTP as given,
then runs the pytest suite against the module pip installed, which holds HttpExporter exactly
when QUILLON_BUILD_HTTP is ON."""
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig

root, work = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
http = sys.argv[3] if len(sys.argv) > 3 else "ON"
shutil.rmtree(work, ignore_errors=True)
# pip builds in place: a copy keeps its build files out of the source tree.
for part in ("python", "monitoring", "http"):
    shutil.copytree(root / part, work / "tree" / part,
                    ignore=shutil.ignore_patterns("build", "*.egg-info", "__pycache__"))
shutil.copy(root / "CMakeLists.txt", work / "tree")
subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", work / "venv"], check=True)
python = work / "venv" / "bin" / "python"

environment = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
# What is proven is the way in, not the optimiser: -O0 and ccache keep the build short. The
# paths under WORK stay the same from run to run, so ccache finds its earlier results.
environment["CFLAGS"] = "-O0"
environment["QUILLON_BUILD_HTTP"] = http
if shutil.which("ccache"):
    for variable in ("CC", "CXX"):
        environment[variable] = "ccache " + sysconfig.get_config_var(variable).split()[0]
subprocess.run([python, "-m", "pip", "install", "--quiet", "--no-build-isolation", "--no-index",
                work / "tree" / "python"], check=True, env=environment, cwd=work)

environment["PYTHONDONTWRITEBYTECODE"] = "1"
where = subprocess.run([python, "-c", "import quillon_monitoring as m; print(m._core.__file__, "
                        "hasattr(m, 'HttpExporter'))"],
                       check=True, env=environment, cwd=work, capture_output=True, text=True)
module, serving = where.stdout.split()
if not pathlib.Path(module).is_relative_to(work / "venv"):
    sys.exit(f"imported {module}, not the installed module")
if serving != str(http == "ON"):
    sys.exit(f"QUILLON_BUILD_HTTP={http} built a module whose HttpExporter presence is {serving}")
tests = [str(test) for test in sorted((root / "python" / "tests").glob("test_*.py"))]
sys.exit(subprocess.run([python, "-m", "pytest", "-q", "-p", "no:cacheprovider", *tests],
                        env=environment, cwd=work).returncode)
