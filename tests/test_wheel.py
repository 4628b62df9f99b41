"""The manylinux wheel: the data paths set at import, and the wheel itself.

The last test builds the wheel (scripts/build_wheel.sh; a build whose inputs are
unchanged is reused from build/wheel) and runs scripts/wheel_smoke.py: the wheel
in a fresh virtual environment, converting with this machine's GDAL, PROJ, libpq
and their data hidden in a mount namespace. That needs root and unshare; without
them the test is skipped, and says so.
"""
from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import time
import warnings
from pathlib import Path

import pytest

import voriviv

ROOT = Path(__file__).resolve().parent.parent
SYSTEM_PYTHON = "/usr/bin/python3"


def fake_data(tmp_path, proj_db=True, gdal_files=True):
    data = tmp_path / "_data"
    (data / "proj").mkdir(parents=True)
    (data / "gdal").mkdir()
    if proj_db:
        (data / "proj" / "proj.db").write_bytes(b"")
    if gdal_files:
        (data / "gdal" / "gdalvrt.xsd").write_text("")
    return data


def test_a_source_build_keeps_the_systems_data():
    package = Path(voriviv.__file__).resolve().parent
    if (package / "_data").exists():
        pytest.skip(f"{package} is a wheel install: it carries _data")
    environ = {}
    assert voriviv._use_bundled_data(environ) == {}
    assert environ == {}


def test_the_wheels_data_is_chosen_when_nothing_names_other_data(tmp_path):
    data = fake_data(tmp_path)
    environ = {"PATH": "/bin"}
    chosen = voriviv._use_bundled_data(environ, str(data))
    assert chosen == {"PROJ_DATA": str(data / "proj"), "GDAL_DATA": str(data / "gdal")}
    assert environ == dict(chosen, PATH="/bin")


@pytest.mark.parametrize("preset, kept", [
    ({"PROJ_DATA": "/opt/proj"}, {"GDAL_DATA"}),
    ({"PROJ_LIB": "/opt/proj"}, {"GDAL_DATA"}),
    ({"GDAL_DATA": "/opt/gdal"}, {"PROJ_DATA"}),
    ({"PROJ_DATA": "/a", "GDAL_DATA": "/b"}, set()),
])
def test_data_the_environment_names_wins(tmp_path, preset, kept):
    data = fake_data(tmp_path)
    environ = dict(preset)
    chosen = voriviv._use_bundled_data(environ, str(data))
    assert set(chosen) == kept
    for key, value in preset.items():
        assert environ[key] == value


def test_an_empty_variable_counts_as_unset(tmp_path):
    data = fake_data(tmp_path)
    environ = {"PROJ_DATA": "", "PROJ_LIB": "", "GDAL_DATA": ""}
    assert set(voriviv._use_bundled_data(environ, str(data))) == {"PROJ_DATA", "GDAL_DATA"}
    assert environ["PROJ_DATA"] == str(data / "proj")


def test_folders_without_the_data_are_not_chosen(tmp_path):
    data = fake_data(tmp_path, proj_db=False, gdal_files=False)
    environ = {}
    assert voriviv._use_bundled_data(environ, str(data)) == {}
    assert voriviv._use_bundled_data(environ, str(tmp_path / "missing")) == {}
    assert environ == {}


def test_the_package_sets_the_paths_before_any_converter_loads(tmp_path):
    # A copy of the package with data in it: importing only the package, in a
    # process with no data variables, sets both before anything else is imported.
    package = tmp_path / "voriviv"
    package.mkdir()
    shutil.copy(Path(voriviv.__file__), package / "__init__.py")
    fake_data(package)
    env = {k: v for k, v in os.environ.items() if k not in ("PROJ_DATA", "PROJ_LIB", "GDAL_DATA")}
    code = ("import os, sys; import voriviv; "
            "print(os.environ['PROJ_DATA']); print(os.environ['GDAL_DATA']); "
            "print(sorted(m for m in sys.modules if m.startswith('voriviv')))")
    out = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=env, check=True,
                         capture_output=True, text=True).stdout.splitlines()
    assert out[0] == str(package / "_data" / "proj")
    assert out[1] == str(package / "_data" / "gdal")
    assert out[2] == "['voriviv']"


def _smoke_unavailable() -> str | None:
    if sys.platform != "linux":
        return "not Linux"
    if os.geteuid() != 0:
        return "not root: hiding the system's GDAL needs a mount namespace"
    if shutil.which("unshare") is None:
        return "unshare not found"
    if subprocess.run([SYSTEM_PYTHON, "-c", "import osgeo.ogr"],
                      capture_output=True).returncode != 0:
        return f"{SYSTEM_PYTHON} cannot import osgeo (python3-gdal), the independent reader"
    return None


def test_the_wheel_converts_without_the_systems_gdal():
    why = _smoke_unavailable()
    if why:
        message = f"THE WHEEL SMOKE TEST DID NOT RUN: {why}"
        print("\n" + message, file=sys.stderr)
        warnings.warn(message)
        pytest.skip(message)
    t0 = time.perf_counter()
    build = subprocess.run([str(ROOT / "scripts" / "build_wheel.sh")], cwd=ROOT,
                           capture_output=True, text=True)
    built = time.perf_counter() - t0
    assert build.returncode == 0, build.stdout + build.stderr
    tag = f"cp{sys.version_info.major}{sys.version_info.minor}"
    wheels = sorted((ROOT / "dist").glob("voriviv-*.whl"))
    assert len(wheels) == 1, wheels
    assert re.fullmatch(rf"voriviv-{re.escape(voriviv.__version__)}-{tag}-{tag}"
                        r"-manylinux_2_\d+_x86_64\.whl", wheels[0].name), wheels[0].name

    # The fresh environment's interpreter: Debian's, unless it is another version.
    python = SYSTEM_PYTHON
    probe = subprocess.run([SYSTEM_PYTHON, "-c", "import sys; print(sys.version_info[:2])"],
                           capture_output=True, text=True).stdout.strip()
    if probe != str(tuple(sys.version_info[:2])):
        python = getattr(sys, "_base_executable", sys.executable)
    t0 = time.perf_counter()
    smoke = subprocess.run([SYSTEM_PYTHON, str(ROOT / "scripts" / "wheel_smoke.py"),
                            str(wheels[0]), "--python", python],
                           cwd=ROOT, capture_output=True, text=True)
    smoked = time.perf_counter() - t0
    output = smoke.stdout + smoke.stderr
    assert smoke.returncode == 0, output
    assert re.search(r"^wheel_smoke: \d+ passed, 0 failed$", smoke.stdout, re.M), output
    print(f"\nwheel: built in {built:.1f} s, smoke test {smoked:.1f} s", file=sys.stderr)
