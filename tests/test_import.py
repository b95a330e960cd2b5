import os
import subprocess
import sys


def _env():
    return {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}


def test_modules_import_silently():
    # Importing the native modules must not touch the standard streams: nothing
    # written to stdout, nothing taken from stdin (the child reads it all back).
    code = (
        "import sys, orvane._lumeth2._chain_host as m, orvane._f2u.host\n"
        "assert m._IN is sys.stdin.buffer and m._OUT is sys.stdout.buffer\n"
        "sys.stderr.write(repr(m._IN.read()))\n"
    )
    r = subprocess.run([sys.executable, "-c", code], input=b"untouched input", capture_output=True,
                       timeout=120, env=_env())
    assert r.returncode == 0, r.stderr
    assert r.stdout == b""
    assert r.stderr == repr(b"untouched input").encode()


def test_host_module_imports_without_standard_streams():
    # A parent may start the process with stdin/stdout closed; importing must not fail there.
    code = "import os, orvane._lumeth2._chain_host as m; os.write(2, repr((m._IN, m._OUT)).encode())"
    r = subprocess.run(f"'{sys.executable}' -c '{code}' <&- >&-", shell=True, capture_output=False,
                       stderr=subprocess.PIPE, timeout=120, env=_env())
    assert r.returncode == 0, r.stderr
    assert r.stderr == b"(None, None)"
