"""Instructions per operation of the native Cache, counted by valgrind's callgrind.

    python bench/instructions.py              # stock enum.Enum keys and customised keys
    python bench/instructions.py --loops 5000 --keys stock

Unlike times, the counts repeat exactly for the same build, inputs and interpreter,
whatever else the machine is doing. One process per key kind runs every operation
under callgrind: each statement's loop is compiled once into a function (as timeit
runs it), warmed up (so first-use work and the interpreter's specialisation of its
instructions are not counted), then run with 0 and with --loops passes; the difference
divided by the loop count is the cost of one pass. The cost of a pass of an empty loop (`pass`), measured the same way, is
subtracted from every figure, so what is left is the statement alone.

The runs are told apart by calls of os.getppid(): callgrind writes its counters out
before every call of the C library's getppid (--dump-before), and nothing else in the
measured code calls it.
"""

import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import bench_cache  # noqa: E402  (the operations and their environment)

KEY_TYPES = {"stock": bench_cache.EnumKeys, "customised": bench_cache.CustomKeys}
EMPTY = "empty loop"
WARM_UP = 200


def statements():
    """(name, statement, uses the floors' environment) for every row, the empty loop first."""
    rows = [(EMPTY, "pass", False)]
    rows += [(name, stmt, False) for name, stmt, _ in bench_cache.OPERATIONS]
    rows += [("floor: " + name, stmt, True) for name, stmt, _ in bench_cache.FLOORS]
    return rows


def child(keys_name, loops):
    """Runs under callgrind: marks, for each row, a run of 0 passes and one of `loops`."""
    keys = KEY_TYPES[keys_name]
    bench_cache.quorcache.CacheType = keys
    env = bench_cache.environment(bench_cache.Cache, keys)
    floor_env = bench_cache.floor_environment(keys)
    mark = os.getppid
    for _, stmt, floor in statements():
        scope = dict(floor_env if floor else env)
        # Inside a function, as timeit runs it: the statement's names are globals, which the
        # interpreter specialises, not module-level names looked up in two dicts each time.
        exec(compile(f"def run(n):\n    for _ in range(n):\n        {stmt}\n",
                     "<workload>", "exec"), scope)
        run = scope["run"]
        run(WARM_UP)
        for n in (0, loops):
            mark()
            run(n)
        mark()


def counts(keys_name, loops):
    """Instructions per pass of every row for one key kind, the empty loop not subtracted."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        # A fixed hash seed: with a random one, set and dict layouts (and counts) vary.
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                        "--dump-before=getppid", "--dump-instr=no", "--compress-strings=no",
                        sys.executable, __file__, "--child", keys_name, str(loops)],
                       check=True, capture_output=True, env=dict(os.environ, PYTHONHASHSEED="0"))
        dumps = []
        for path in glob.glob(out + ".*"):
            with open(path) as f:
                text = f.read()
            part = int(re.search(r"^part: (\d+)", text, re.M).group(1))
            total = int(re.search(r"^(?:totals|summary): (\d+)", text, re.M).group(1))
            dumps.append((part, total))
        dumps.sort()
        # Dump i + 1 ends at the i-th mark (the last part, after the final mark, has
        # no number). So for row i: dump 3i + 1 ends with its warm-up (and start-up or
        # the previous row's end), 3i + 2 is its 0-pass run, 3i + 3 its full run.
        totals = [total for _, total in dumps]
        rows = statements()
        if len(totals) != 3 * len(rows):
            sys.exit(f"callgrind wrote {len(totals)} numbered dumps, expected {3 * len(rows)}")
        result = {}
        for i, (name, _, _) in enumerate(rows):
            zero, full = totals[3 * i + 1], totals[3 * i + 2]
            result[name] = (full - zero) / loops
        return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--loops", type=int, default=20_000)
    parser.add_argument("--keys", choices=list(KEY_TYPES), action="append",
                        help="key kinds to count (default: all)")
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        keys_name, loops = args.child
        return child(keys_name, int(loops))
    if shutil.which("valgrind") is None:
        sys.exit("valgrind is needed")
    kinds = args.keys or list(KEY_TYPES)
    columns = {kind: counts(kind, args.loops) for kind in kinds}
    print(f"{'operation':24}" + "".join(f"{kind + ' keys':>18}" for kind in kinds))
    for name, _, _ in statements():
        cells = []
        for kind in kinds:
            per_pass = columns[kind][name]
            cells.append(per_pass if name == EMPTY else per_pass - columns[kind][EMPTY])
        print(f"{name:24}" + "".join(f"{c:18.0f}" for c in cells))
    print(f"(every row but '{EMPTY}' has the empty loop's cost subtracted)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
