import os
import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
# Generators for test models and packs live in tools/.
sys.path.insert(0, str(ROOT / "tools"))


def pytest_collection_modifyitems(config, items):
    # Under AddressSanitizer (tools/sanitize.sh preloads its runtime) a process
    # reserves terabytes of shadow address space at start: a child started under
    # an address-space limit cannot even start.
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        return
    skip = pytest.mark.skip(reason="address-space limit under AddressSanitizer")
    for item in items:
        if "address_space_limit" in item.keywords:
            item.add_marker(skip)
