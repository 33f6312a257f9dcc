"""Instructions per operation of the native Cache, counted by valgrind's callgrind.

    python bench/instructions.py              # stock enum.Enum keys and customised keys
    python bench/instructions.py --loops 5000

Unlike times, the counts repeat exactly for the same build, inputs and interpreter,
whatever else the machine is doing. Each operation runs in its own process twice, with
0 and with --loops iterations; the difference divided by the loop count is its cost.
"""

import argparse
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
FLOORS = {"floor: " + name: stmt for name, stmt in bench_cache.FLOORS}


def child(keys_name, op, loops):
    keys = KEY_TYPES[keys_name]
    bench_cache.quorcache.CacheType = keys
    env = bench_cache.environment(bench_cache.Cache, keys)
    if op in FLOORS:
        stmt, env = FLOORS[op], {"d": {3: 1}, "A": keys.LAYOUT, "lst": [None] * 32}
    else:
        stmt = dict((name, s) for name, s, _ in bench_cache.OPERATIONS)[op]
    # Both runs warm up alike: first-use work and the interpreter's specialisation
    # of the loop's instructions are not counted.
    warm = compile(f"for _ in range(100):\n    {stmt}\n", "<warm-up>", "exec")
    exec(warm, env)
    exec(compile(f"for _ in range({loops}):\n    {stmt}\n", "<workload>", "exec"), env)


def count(keys_name, op, loops):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        # A fixed hash seed: with a random one, start-up alone varies by millions.
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                        sys.executable, __file__, "--child", keys_name, op, str(loops)],
                       check=True, capture_output=True, env=dict(os.environ, PYTHONHASHSEED="0"))
        with open(out) as f:
            return int(re.search(r"^(?:totals|summary): (\d+)", f.read(), re.M).group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--loops", type=int, default=20_000)
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        keys_name, op, loops = args.child
        return child(keys_name, op, int(loops))
    if shutil.which("valgrind") is None:
        sys.exit("valgrind is needed")
    print(f"{'operation':24}" + "".join(f"{name + ' keys':>18}" for name in KEY_TYPES))
    for op in [name for name, _, _ in bench_cache.OPERATIONS] + list(FLOORS):
        cells = []
        for keys_name in KEY_TYPES:
            base = count(keys_name, op, 0)
            cells.append((count(keys_name, op, args.loops) - base) / args.loops)
        print(f"{op:24}" + "".join(f"{c:18.0f}" for c in cells))
    return 0


if __name__ == "__main__":
    sys.exit(main())
