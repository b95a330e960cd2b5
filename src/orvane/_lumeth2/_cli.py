"""Console entry of the render-stream host (a compiled module cannot run as ``-m``)."""
import sys


def run() -> None:
    from orvane._lumeth2 import _chain_host

    sys.exit(_chain_host.main(sys.argv))


if __name__ == "__main__":
    run()
