import subprocess
import sys


def test_modules_import_silently():
    # Importing the native modules must not touch the standard streams.
    code = "import orvane._lumeth2._chain_host, orvane._f2u.host"
    r = subprocess.run([sys.executable, "-c", code], input=b"", capture_output=True, timeout=120)
    assert r.returncode == 0, r.stderr
    assert r.stdout == b""
