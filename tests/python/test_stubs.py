import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))


def test_stubs_match_the_module():
    pytest.importorskip("mypy")
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "tamsel"],
        capture_output=True, text=True, timeout=300, cwd=HERE,
    )
    assert done.returncode == 0, done.stdout + done.stderr
