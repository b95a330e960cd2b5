"""tools/test.sh reports a failure in either interpreter's run as a failure.

The script runs in a copy of tools/ beside stand-in interpreters: a stand-in
answers the version check, makes its "virtual environment" (a copy of itself),
and fails `pip install` or `pytest` as a case asks, printing what it was told.
"""
import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]

STANDIN = r"""#!/usr/bin/env bash
v={v}
case "$1 $2" in
  "-c "*) exit 0 ;;
  "-m venv") mkdir -p "$3/bin"; cp "$0" "$3/bin/python"; exit 0 ;;
  "-m pip") eval "exit \${{PIP_$v:-0}}" ;;
  "-m pytest") eval "printf '%b' \"\${{SAY_$v:-}}\"; exit \${{PYTEST_$v:-0}}" ;;
esac
exit 3
"""


@pytest.fixture
def run_test_sh(tmp_path):
    work = tmp_path / "repo"
    (work / "tools").mkdir(parents=True)
    for name in ("test.sh", "find_python.sh"):
        shutil.copy(ROOT / "tools" / name, work / "tools" / name)
    bindir = tmp_path / "bin"
    bindir.mkdir()
    for v in ("3.11", "3.13"):
        exe = bindir / f"python{v}"
        exe.write_text(STANDIN.format(v=v.replace(".", "")))
        exe.chmod(0o755)
    ffmpeg = bindir / "ffmpeg"
    ffmpeg.write_text("#!/bin/sh\nexit 0\n")
    ffmpeg.chmod(0o755)

    def run(**env):
        e = {"PATH": f"{bindir}:/usr/bin:/bin", "HOME": str(tmp_path), "PYENV_ROOT": str(tmp_path / "none")}
        e.update(env)
        return subprocess.run(["bash", "tools/test.sh"], cwd=work, env=e, capture_output=True, text=True,
                              timeout=120)

    return run


@pytest.mark.parametrize(
    "env, says",
    [
        ({}, None),
        ({"PYTEST_313": "1"}, ""),  # a test fails on the newest interpreter only
        ({"PYTEST_311": "1"}, ""),
        ({"PYTEST_313": "5"}, "CPython 3.13: no tests were collected"),
        ({"SAY_313": "nanobind: leaked 1 instances!\\n"}, "CPython 3.13: the interpreter reported leaked"),
        # the package does not build: the install left from an earlier run must not be tested
        ({"PIP_313": "1"}, "CPython 3.13: the package did not install"),
        ({"PIP_311": "1"}, "CPython 3.11: the package did not install"),
    ],
)
def test_every_failure_fails_the_run(run_test_sh, env, says):
    first = run_test_sh()  # both environments made and installed once
    assert first.returncode == 0, first.stderr
    r = run_test_sh(**env)
    assert (r.returncode == 0) == (says is None), (r.stdout, r.stderr)
    assert says is None or says in r.stderr
