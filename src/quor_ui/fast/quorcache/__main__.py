"""``python -m quor_ui.fast.quorcache --include | --cmake-dir``: folders for build scripts."""
import argparse

from quor_ui.fast.quorcache import get_cmake_dir, get_include

parser = argparse.ArgumentParser(prog="python -m quor_ui.fast.quorcache",
                                 description="Where native callers of Cache find quorcache.h.")
which = parser.add_mutually_exclusive_group(required=True)
which.add_argument("--include", action="store_const", dest="folder", const=get_include,
                   help="print the folder of quorcache.h (as get_include() returns it)")
which.add_argument("--cmake-dir", action="store_const", dest="folder", const=get_cmake_dir,
                   help="print the folder of the CMake package quorcache (quorcache_DIR)")
print(parser.parse_args().folder())
