"""``python -m quor_ui.fast.quorcache --include``: the folder of quorcache.h, for build scripts."""
import argparse

from quor_ui.fast.quorcache import get_include

parser = argparse.ArgumentParser(prog="python -m quor_ui.fast.quorcache",
                                 description="Where native callers of Cache find quorcache.h.")
parser.add_argument("--include", action="store_true",
                    help="print the folder of quorcache.h (as get_include() returns it)")
if not parser.parse_args().include:
    parser.error("nothing to print: give --include")
print(get_include())
