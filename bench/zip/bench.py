"""Driver of run.sh: makes the data sets once, then times the three extractors."""
import os
import random
import shutil
import statistics
import subprocess
import sys
import time
import zipfile

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
    proc = subprocess.run(["/usr/bin/time", "-f", "%U %S %M", "-o", rss_file] + cmd,
                          stdout=subprocess.DEVNULL)
    elapsed = time.perf_counter() - start
    if proc.returncode != 0:
        sys.exit(f"failed: {' '.join(cmd)}")
    with open(rss_file) as f:
        user, system, rss = f.read().split()[-3:]
    return elapsed, int(rss), float(user), float(system)  # seconds, KiB, seconds, seconds


def bench(name, archive):
    tools = {
        "pkgtool": lambda out: [pkgtool, "extract", archive, out],
        "unzip": lambda out: ["unzip", "-q", "-o", archive, "-d", out],
        "bsdtar": lambda out: ["bsdtar", "-xf", archive, "-C", out],
    }
    times = {t: [] for t in tools}
    users = {t: [] for t in tools}
    systems = {t: [] for t in tools}
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
            elapsed, maxrss, user, system = run_once(tools[tool](out))
            times[tool].append(elapsed)
            users[tool].append(user)
            systems[tool].append(system)
            rss[tool] = max(rss[tool], maxrss)
            shutil.rmtree(out)
    med = {t: statistics.median(v) for t, v in times.items()}
    print(f"{name}: {os.path.getsize(archive) / 1e6:.0f} MB archive, median of {runs}")
    for t in tools:
        print(f"  {t:8s} {med[t]:6.2f} s  (user {statistics.median(users[t]):5.2f} s, "
              f"system {statistics.median(systems[t]):5.2f} s)  peak RSS {rss[t] / 1024:5.1f} MiB")
    print(f"  pkgtool/unzip  {med['pkgtool'] / med['unzip']:.2f}x")
    print(f"  pkgtool/bsdtar {med['pkgtool'] / med['bsdtar']:.2f}x")
    cpu = {t: statistics.median(users[t]) for t in tools}
    print(f"  user time only: pkgtool/unzip {cpu['pkgtool'] / cpu['unzip']:.2f}x, "
          f"pkgtool/bsdtar {cpu['pkgtool'] / cpu['bsdtar']:.2f}x")


def make_many(count):
    archive = os.path.join(work, f"C{count}.zip")
    if not os.path.exists(archive):
        with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
            for i in range(count):
                z.writestr(f"d{i % 64}/f{i}", f"item {i}")
    return archive


def bench_item_cost():
    # Lookup and reading cost per item, file creation left out: `check` reads every item
    # through to its CRC-32 and writes nothing. Linear cost shows as a flat time per item.
    print("C: pkgtool check, cost per item")
    for count in (4096, 16384, 65535):
        archive = make_many(count)
        best = min(run_once([pkgtool, "check", archive])[0] for _ in range(runs))
        print(f"  {count:6d} items {best:6.3f} s  {best / count * 1e6:5.1f} us/item")


os.makedirs(work, exist_ok=True)
if len(sys.argv) > 4 and sys.argv[4] == "C":
    bench_item_cost()
    sys.exit(0)
a = make_archive("A", 2000, (90_000, 110_000), 0.5)
b = make_archive("B", 20000, (1024, 4096), 0.5)
bench("A", a)
bench("B", b)
bench_item_cost()
