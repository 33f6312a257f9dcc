import shutil
import subprocess

import pytest

from quor_ui.fast.quorcache import quorcache


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs binutils' nm")
def test_only_the_entry_point_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", quorcache.__file__],
                         check=True, capture_output=True, text=True).stdout
    symbols = {line.split()[-1] for line in out.splitlines() if line.strip()}
    assert symbols == {"PyInit_quorcache"}
