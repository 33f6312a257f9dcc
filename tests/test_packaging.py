"""What the distribution tells its users: version, supported Pythons, the header's folder."""
import importlib.metadata
import os
import re
import shutil
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

import quor_ui
from quor_ui.fast.quorcache import get_include

ROOT = Path(__file__).resolve().parents[1]


@pytest.fixture
def metadata():
    try:
        return importlib.metadata.metadata("quor_ui")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("quor_ui is not installed (a plain CMake build run with PYTHONPATH=src)")


def test_version_is_the_distributions(metadata):
    assert re.fullmatch(r"\d+\.\d+\.\d+", quor_ui.__version__)
    assert metadata["Version"] == quor_ui.__version__


def test_classifiers_name_the_pythons_checked_from_the_oldest_allowed_on(metadata):
    from packaging.specifiers import SpecifierSet

    classifiers = set(metadata.get_all("Classifier"))
    assert {"Typing :: Typed", "Programming Language :: C++",
            "Programming Language :: Python :: Implementation :: CPython"} <= classifiers
    allowed = SpecifierSet(metadata["Requires-Python"])
    named = sorted(int(c.rpartition(".")[2]) for c in classifiers
                   if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c))
    oldest = min(minor for minor in range(30) if f"3.{minor}" in allowed)
    assert named == list(range(oldest, named[-1] + 1))
    assert sys.version_info.minor in named and f"3.{named[-1] + 1}" in allowed  # no cap


def test_configuring_for_a_free_threaded_interpreter_stops_and_says_so(tmp_path):
    path = os.pathsep.join([os.path.dirname(sys.executable), os.environ.get("PATH", "")])
    cmake = shutil.which("cmake", path=path)
    assert cmake, "pip install '.[test]' brings cmake"
    done = subprocess.run([cmake, "-S", ROOT, "-B", tmp_path, f"-DPython_EXECUTABLE={sys.executable}",
                           "-DQUOR_PY_GIL_DISABLED=1"], capture_output=True, text=True)
    assert done.returncode != 0
    assert "is a free-threaded build (Py_GIL_DISABLED)" in " ".join(done.stderr.split())


def test_include_and_cmake_dir_options_print_the_folders():
    run = [sys.executable, "-m", "quor_ui.fast.quorcache"]
    done = subprocess.run([*run, "--include"], capture_output=True, text=True, check=True)
    assert done.stdout == get_include() + "\n"
    assert Path(done.stdout.strip(), "quorcache.h").is_file()
    done = subprocess.run([*run, "--cmake-dir"], capture_output=True, text=True, check=True)
    assert Path(done.stdout.strip(), "quorcacheConfig.cmake").is_file()
    done = subprocess.run(run, capture_output=True, text=True)
    assert done.returncode == 2 and "--include" in done.stderr and not done.stdout


def test_readme_cpp_route_installs_what_the_test_extra_names():
    extra = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"][
        "optional-dependencies"]["test"]
    (line,) = [ln for ln in (ROOT / "README.md").read_text().splitlines()
               if ln.startswith("pip install ") and "." not in ln.split("#")[0]]
    named = line.split("#")[0].split()[2:]
    assert named == [re.split(r"[<>=!~\[ ]", req)[0] for req in extra]
