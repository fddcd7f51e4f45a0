"""The README's first command runs examples/quickstart.py; it must keep working."""

import pathlib
import subprocess
import sys

QUICKSTART = pathlib.Path(__file__).resolve().parents[2] / "examples" / "quickstart.py"


def test_quickstart_runs_and_checks_every_record():
    done = subprocess.run([sys.executable, str(QUICKSTART)], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.rstrip().endswith("every gathered record matched what was appended.")
    for codec in ("raw", "zstd", "zstd_dict", "ragged", "epochs"):
        assert f"  {codec} " in done.stdout
