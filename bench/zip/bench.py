"""Driver of run.sh: makes the data sets once, then times the three extractors."""
import os
import random
import shutil
import statistics
import subprocess
import sys
import time

pkgtool, work, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])


def make_tree(path, files, sizes, text_share, seed):
    rnd = random.Random(seed)
    words = ["".join(rnd.choices("etaoinshrdlucmfwyp", k=rnd.randint(2, 9))) for _ in range(4000)]
    for i in range(files):
        folder = os.path.join(path, f"dir{i % 20:02d}")
        os.makedirs(folder, exist_ok=True)
        size = rnd.randint(*sizes)
        text = i < files * text_share
        if text:
            data = " ".join(rnd.choices(words, k=size // 5 + 1)).encode()[:size]
        else:
            data = os.urandom(size)
        with open(os.path.join(folder, f"f{i:05d}.{'txt' if text else 'bin'}"), "wb") as f:
            f.write(data)


def make_archive(name, files, sizes, text_share):
    archive = os.path.join(work, name + ".zip")
    if os.path.exists(archive):
        return archive
    src = os.path.join(work, name + "-src")
    shutil.rmtree(src, ignore_errors=True)
    make_tree(src, files, sizes, text_share, seed=len(name))
    subprocess.run(["zip", "-q", "-r", "-6", archive, "."], cwd=src, check=True)
    shutil.rmtree(src)
    return archive


def run_once(cmd):
    # Through GNU time: a child forked straight from this process would inherit Python's
    # resident size as its peak, since the peak survives exec.
    rss_file = os.path.join(work, "rss.txt")
    start = time.perf_counter()
    proc = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", rss_file] + cmd,
                          stdout=subprocess.DEVNULL)
    elapsed = time.perf_counter() - start
    if proc.returncode != 0:
        sys.exit(f"failed: {' '.join(cmd)}")
    with open(rss_file) as f:
        return elapsed, int(f.read().split()[-1])  # seconds, KiB


def bench(name, archive):
    tools = {
        "pkgtool": lambda out: [pkgtool, "extract", archive, out],
        "unzip": lambda out: ["unzip", "-q", "-o", archive, "-d", out],
        "bsdtar": lambda out: ["bsdtar", "-xf", archive, "-C", out],
    }
    times = {t: [] for t in tools}
    rss = {t: 0 for t in tools}
    for r in range(runs):
        order = list(tools)
        order = order[r % 3:] + order[:r % 3]  # alternate who goes first
        for tool in order:
            out = os.path.join(work, f"out-{tool}")
            shutil.rmtree(out, ignore_errors=True)
            os.makedirs(out)
            # Let the previous run's writes and deletions reach the disk first, so that no
            # tool pays for the one before it.
            os.sync()
            elapsed, maxrss = run_once(tools[tool](out))
            times[tool].append(elapsed)
            rss[tool] = max(rss[tool], maxrss)
            shutil.rmtree(out)
    med = {t: statistics.median(v) for t, v in times.items()}
    print(f"{name}: {os.path.getsize(archive) / 1e6:.0f} MB archive, median of {runs}")
    for t in tools:
        print(f"  {t:8s} {med[t]:6.2f} s   peak RSS {rss[t] / 1024:5.1f} MiB")
    print(f"  pkgtool/unzip  {med['pkgtool'] / med['unzip']:.2f}x")
    print(f"  pkgtool/bsdtar {med['pkgtool'] / med['bsdtar']:.2f}x")


os.makedirs(work, exist_ok=True)
a = make_archive("A", 2000, (90_000, 110_000), 0.5)
b = make_archive("B", 20000, (1024, 4096), 0.5)
bench("A", a)
bench("B", b)
