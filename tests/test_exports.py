import shutil
import subprocess
from pathlib import Path

import pytest

import quor_ui.fast.quorcache as package
from quor_ui.fast.quorcache import get_include, quorcache


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs binutils' nm")
def test_only_the_entry_point_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", quorcache.__file__],
                         check=True, capture_output=True, text=True).stdout
    symbols = {line.split()[-1] for line in out.splitlines() if line.strip()}
    assert symbols == {"PyInit_quorcache"}


def test_the_package_ships_its_header_stubs_and_typed_marker():
    # Beside the package's Python files, which an editable install leaves in src/ while the
    # extension itself goes to site-packages.
    here = Path(package.__file__).parent
    assert Path(get_include()) == here / "include"
    assert "QuorCache_Import" in (here / "include" / "quorcache.h").read_text()
    assert "class Cache" in (here / "quorcache.pyi").read_text()
    assert (here.parent.parent / "py.typed").is_file()
