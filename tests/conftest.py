import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
# Generators for test models and packs live in tools/.
sys.path.insert(0, str(ROOT / "tools"))
