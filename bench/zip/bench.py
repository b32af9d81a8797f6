"""Driver of run.sh: makes the data sets once, then times the extractors and the floors on a
file system of the benchmark's own, an update over the previous version of every file, and the
per-item cost of lookups (see README.md)."""
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import time
import zipfile

pkgtool, floor, runs = sys.argv[1], sys.argv[2], int(sys.argv[4])
work = os.path.abspath(sys.argv[3])
parts = sys.argv[5] if len(sys.argv) > 5 else "AUBCP"
MIN_ROUNDS = 7
# Room for one run: A writes about 210 MB, B makes 20020 items, U holds the old version and
# the new one side by side until the old files go. The image is sparse.
# One run's output at a time: every run gets a file system made anew (see OutputSpace).
IMAGE_BYTES = 1 << 30
INODES = 40_000


def piece_size(header, name):
    """A piece size the launcher's zip code declares in `header`, e.g. 128 * 1024."""
    text = open(os.path.join(os.path.dirname(__file__), "..", "..", "zip", header)).read()
    found = re.search(rf"constexpr std::size_t {name} = ([0-9 *]+);", text)
    if not found:
        sys.exit(f"{name} not found in zip/{header}")
    size = 1
    for factor in found.group(1).split("*"):
        size *= int(factor)
    return size


# The pieces the reader takes compressed data in and the extractor writes, for the floor that
# decodes as they do.
READ_PIECE = piece_size("zip_reader.h", "kReadBufferSize")
OUTPUT_PIECE = piece_size("zip_extractor.h", "kOutputBufferSize")
# Items of up to this size (their compressed data within one read piece) are decoded whole.
WHOLE_ITEM = piece_size("zip_extractor.h", "kWholeItemSize")


def load():
    return "load average %.2f %.2f %.2f" % os.getloadavg()


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, **kw)


class OutputSpace:
    """Where the runs write. As root: an ext4 file system in a loop-mounted image of its own,
    made anew for every run, so that no one else's deletions on a shared disk, and no earlier
    run's writes, meet a run. (One file system for a whole set was tried: from about the sixth
    200 MB run on, every tool and the write floor took 10 to 20 times as long in system time,
    whatever the order, so a set measured how full the file system was.) Otherwise a folder in
    WORK, emptied only after a whole set."""

    def __init__(self):
        self.root = os.path.join(work, "out")
        self.image = os.path.join(work, "out.img")
        self.device = None
        os.makedirs(self.root, exist_ok=True)
        if os.geteuid() != 0:
            self.kind = "a folder on the work disk (not root: no file system of its own)"
            return
        try:
            with open(self.image, "wb") as f:
                f.truncate(IMAGE_BYTES)
            # Direct I/O keeps the image's writes out of the host's page cache, so a sync
            # before a run really leaves nothing of the previous run to write back.
            self.device = subprocess.run(
                ["losetup", "--find", "--show", "--direct-io=on", self.image],
                check=True, capture_output=True, text=True).stdout.strip()
            self.kind = f"ext4 on {self.device} (a loop-mounted image made for the benchmark)"
        except (OSError, subprocess.CalledProcessError) as e:
            self.close()
            self.kind = f"a folder on the work disk (no loop device: {e})"

    def fresh(self, per_run=False):
        """An empty place to write: a new file system each time; a folder emptied only once a
        set (per_run false) has ended, so that no run follows deletions."""
        if self.device is None:
            if per_run:
                return
            shutil.rmtree(self.root, ignore_errors=True)
            os.makedirs(self.root)
            os.sync()
            return
        subprocess.run(["umount", self.root], stderr=subprocess.DEVNULL)
        # Inodes for one run of B; the tables are written now, not by the kernel's
        # lazy initialisation in the background while runs are timed.
        run(["mkfs.ext4", "-q", "-F", "-m", "0", "-N", str(INODES), "-E",
             "lazy_itable_init=0,lazy_journal_init=0", self.device])
        run(["mount", self.device, self.root])

    def close(self):
        if self.device is not None:
            subprocess.run(["umount", self.root], stderr=subprocess.DEVNULL)
            subprocess.run(["losetup", "-d", self.device])
            self.device = None
        if os.path.exists(self.image):
            os.remove(self.image)


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


def make_old_version(name, files, sizes, text_share):
    """The version an update of archive `name` replaces: the same names (make_tree names a file
    by its number and kind alone), other bytes and other sizes."""
    old = os.path.join(work, name + "-old")
    if os.path.exists(os.path.join(old, "complete")):
        return old
    shutil.rmtree(old, ignore_errors=True)
    make_tree(old, files, sizes, text_share, seed=1000 + len(name))
    open(os.path.join(old, "complete"), "w").close()
    return old


def make_new_version(name, files, sizes, text_share):
    """The folder archive `name` is made of, kept: the new version that pack compares with the
    old one. Both carry the same empty marker file, so neither has a file the other lacks."""
    new = os.path.join(work, name + "-new")
    if os.path.exists(os.path.join(new, "complete")):
        return new
    shutil.rmtree(new, ignore_errors=True)
    make_tree(new, files, sizes, text_share, seed=len(name))
    open(os.path.join(new, "complete"), "w").close()
    return new


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


def run_once(cmd, ok=(0,)):
    """Wall, user and system seconds, peak resident KiB, and the program's own output."""
    # Through GNU time: a child forked straight from this process would inherit Python's
    # resident size as its peak, since the peak survives exec.
    rss_file = os.path.join(work, "rss.txt")
    start = time.perf_counter()
    proc = subprocess.run(["/usr/bin/time", "-f", "%U %S %M", "-o", rss_file] + cmd,
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    elapsed = time.perf_counter() - start
    if proc.returncode not in ok:
        sys.exit(f"failed ({proc.returncode}): {' '.join(cmd)}")
    with open(rss_file) as f:
        user, system, rss = f.read().split()[-3:]
    return elapsed, float(user), float(system), int(rss), proc.stdout


# An earlier pkgtool to time beside this one (BENCH_BASELINE=path), as "pkgtool-before":
# how a change moved the install's speed, measured in the same rounds.
baseline = os.environ.get("BENCH_BASELINE")


def extractors(archive):
    # name -> (command for an output folder, whether the program reports its own timed part)
    py = "import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])"
    tools = {
        "pkgtool": (lambda out: [pkgtool, "extract", archive, out], False),
        "unzip": (lambda out: ["unzip", "-q", "-o", archive, "-d", out], False),
        "bsdtar": (lambda out: ["bsdtar", "-xf", archive, "-C", out], False),
        "7zz": (lambda out: ["7zz", "x", "-y", "-bd", "-bso0", "-bsp0", f"-o{out}", archive], False),
        "python": (lambda out: [sys.executable, "-c", py, archive, out], False),
        "floor-write": (lambda out: [floor, "write", archive, out], True),
        "floor-inflate": (lambda out: [floor, "inflate", archive], True),
        "floor-pieces": (lambda out: [floor, "pieces", str(READ_PIECE), str(OUTPUT_PIECE),
                                      archive], True),
        "floor-libdeflate": (lambda out: [floor, "libdeflate", archive], True),
        "floor-whole": (lambda out: [floor, "whole", str(WHOLE_ITEM), str(READ_PIECE),
                                     str(OUTPUT_PIECE), archive], True),
    }
    if baseline:
        tools["pkgtool-before"] = (lambda out: [baseline, "extract", archive, out], False)
    return tools


def print_table(samples, rss_shown=lambda tool: True):
    """One line per tool: wall-time median, min and max, median user and system CPU, peak RSS
    (where `rss_shown(tool)`: a self-timed tool's is the timer's). Returns the wall medians."""
    print(f"  {'':16s} {'median':>8s} {'min':>8s} {'max':>8s} {'user':>7s} {'system':>7s} "
          f"{'peak RSS':>9s}")
    med = {}
    for tool, s in samples.items():
        walls = [x[0] for x in s]
        med[tool] = statistics.median(walls)
        rss = f"{max(x[3] for x in s) / 1024:6.1f} MiB" if rss_shown(tool) else "-"
        print(f"  {tool:16s} {med[tool]:8.3f} {min(walls):8.3f} {max(walls):8.3f} "
              f"{statistics.median(x[1] for x in s):7.2f} {statistics.median(x[2] for x in s):7.2f} "
              f"{rss:>9s}")
    return med


def bench(name, archive, space, only=None, old=None):
    """Times the extractors of `archive` (those named in `only`, or all) and returns their
    medians. With `old`, every run installs over an untimed copy of that folder of its own."""
    tools = extractors(archive)
    if only is not None:
        tools = {t: v for t, v in tools.items() if t in only}
    space.fresh()
    before = load()
    samples = {t: [] for t in tools}
    for r in range(runs):
        order = list(tools)
        order = order[r % len(order):] + order[:r % len(order)]  # who goes first alternates
        for tool in order:
            command, self_timed = tools[tool]
            space.fresh(per_run=True)
            out = os.path.join(space.root, f"{r}-{tool}")  # a new folder every run
            if old is None:
                os.makedirs(out)
            else:
                # Each program meets the old version as the previous one left it: untouched.
                shutil.copytree(old, out, ignore=shutil.ignore_patterns("complete"))
            # Nothing of the previous run is left to write back while this one is timed.
            os.sync()
            elapsed, user, system, rss, stdout = run_once(command(out))
            if self_timed:
                elapsed = float(stdout.split()[-1])
            samples[tool].append((elapsed, user, system, rss))
    after = load()

    with zipfile.ZipFile(archive) as z:
        count = len(z.infolist())
    print(f"{name}: {os.path.getsize(archive) / 1e6:.0f} MB archive, {count} items, "
          f"{runs} rounds; before: {before}; after: {after}")
    med = print_table(samples, lambda tool: not tools[tool][1])
    peers = ["unzip", "bsdtar", "7zz", "python", "floor-inflate", "floor-pieces",
             "floor-libdeflate", "floor-whole", "floor-write"]
    peers += ["pkgtool-before"] if baseline else []
    print("  pkgtool against: " +
          ", ".join(f"{p} {med['pkgtool'] / med[p]:.2f}x" for p in peers if p in med))
    if any(tools[t][1] for t in tools):
        print("  (floors: their timed part only, reported by the program; wall, user and system "
              "of the others include process start)")
    return med


def make_many(count):
    archive = os.path.join(work, f"C{count}.zip")
    if not os.path.exists(archive):
        with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
            for i in range(count):
                z.writestr(f"d{i % 64}/f{i}", f"item {i}")
    return archive


def break_record(archive, index):
    """A copy of `archive` whose central-directory record `index` has a wrong signature."""
    broken = archive.replace(".zip", f"-broken{index}.zip")
    if os.path.exists(broken):
        return broken
    data = bytearray(open(archive, "rb").read())
    end = data.rfind(b"PK\x05\x06")
    at = int.from_bytes(data[end + 16:end + 20], "little")
    for _ in range(index):
        assert data[at:at + 4] == b"PK\x01\x02"
        name, extra, comment = (int.from_bytes(data[at + o:at + o + 2], "little")
                                for o in (28, 30, 32))
        at += 46 + name + extra + comment
    data[at:at + 4] = b"XXXX"
    with open(broken, "wb") as f:
        f.write(data)
    return broken


def bench_item_cost():
    # Lookup and reading cost per item, file creation left out: `check` reads every item
    # through to its CRC-32 and writes nothing. Linear cost shows as a flat time per item;
    # an unreadable record must not make the items behind it cost more than readable ones.
    whole = make_many(65535)
    cases = [(f"{n} items", make_many(n), n, (0,)) for n in (4096, 16384)]
    cases += [("65535 items", whole, 65535, (0,)),
              ("65535 items, record 32767 unreadable", break_record(whole, 32767), 65535, (1,))]
    before = load()
    times = {c[0]: [] for c in cases}
    for r in range(runs):
        for label, archive, _, ok in cases[r % len(cases):] + cases[:r % len(cases)]:
            times[label].append(run_once([pkgtool, "check", archive], ok)[0])
    print(f"C: pkgtool check, time per item, {runs} rounds; before: {before}; after: {load()}")
    for label, _, count, _ in cases:
        t = times[label]
        print(f"  {label:38s} median {statistics.median(t):6.3f} s "
              f"(min {min(t):6.3f}, max {max(t):6.3f})  "
              f"{statistics.median(t) / count * 1e6:5.2f} us/item")


def bench_pack():
    """P: pkgtool pack of A's previous version and A's files (every file differs) against
    `zip -r -X` of the same files (all of them, as zip has no notion of the old version), at
    zip's default level and at pack's level 9, alternating, each run writing into a new file
    system. pack's own last line gives the trial install's time (the copy of the old version
    and the install over it, and the comparison) and its whole time."""
    sizes = (2000, (90_000, 110_000), 0.5)
    old, new = make_old_version("A", *sizes), make_new_version("A", *sizes)
    tools = {
        "pkgtool pack": lambda out: [pkgtool, "pack", "--from", old, "--to", new, "-o",
                                     os.path.join(out, "update.zip")],
        "zip -r -X": lambda out: ["sh", "-c", f"cd '{new}' && zip -q -r -X "
                                  f"'{os.path.join(out, 'update.zip')}' . -x complete"],
        "zip -r -X -9": lambda out: ["sh", "-c", f"cd '{new}' && zip -q -r -X -9 "
                                     f"'{os.path.join(out, 'update.zip')}' . -x complete"],
    }
    space = OutputSpace()
    print(f"output: {space.kind}")
    samples = {t: [] for t in tools}
    shares = []
    before = load()
    try:
        for r in range(runs):
            order = list(tools)
            order = order[r % len(order):] + order[:r % len(order)]
            for tool in order:
                space.fresh(per_run=True)
                out = os.path.join(space.root, f"{r}-{tool.replace(' ', '')}")
                os.makedirs(out)
                os.sync()
                elapsed, user, system, rss, stdout = run_once(tools[tool](out))
                samples[tool].append((elapsed, user, system, rss))
                found = re.search(r"trial install ([0-9.]+) s of ([0-9.]+) s", stdout)
                if tool == "pkgtool pack" and found:
                    shares.append(float(found.group(1)) / float(found.group(2)))
            space.fresh()
    finally:
        space.close()
    print(f"P: pack of A's previous version and A (2000 files, all changed), {runs} rounds; "
          f"before: {before}; after: {load()}")
    med = print_table(samples)
    print("  pack against: " + ", ".join(f"{t} {med['pkgtool pack'] / med[t]:.2f}x"
                                         for t in tools if t != "pkgtool pack"))
    if shares:
        print(f"  trial install's share of pack's time: median {statistics.median(shares):.2f} "
              f"(min {min(shares):.2f}, max {max(shares):.2f})")


if runs < MIN_ROUNDS:
    sys.exit(f"at least {MIN_ROUNDS} rounds")
os.makedirs(work, exist_ok=True)
print(f"{os.cpu_count()} cores; {load()}; pieces: read {READ_PIECE // 1024} KiB, "
      f"output {OUTPUT_PIECE // 1024} KiB, whole items up to {WHOLE_ITEM // 1024} KiB")
if "A" in parts or "B" in parts or "U" in parts:
    a_sizes = (2000, (90_000, 110_000), 0.5)
    a = make_archive("A", *a_sizes) if "A" in parts or "U" in parts else None
    a_old = make_old_version("A", *a_sizes) if "U" in parts else None
    b = make_archive("B", 20000, (1024, 4096), 0.5) if "B" in parts else None
    space = OutputSpace()
    print(f"output: {space.kind}")
    try:
        a_med = bench("A", a, space) if "A" in parts else None
        if a_old:
            # U: the A archive as an update over the previous version of every file: what a
            # user waits for. The peers simply overwrite; the install stages, sets aside,
            # renames and deletes.
            only = ["pkgtool", "unzip", "bsdtar", "pkgtool-before"]
            u_med = bench("U (A over its previous version)", a, space, only, a_old)
            if a_med:
                print("  U against A: " + ", ".join(
                    f"{t} {u_med[t] / a_med[t]:.2f}x" for t in u_med))
        if b:
            bench("B", b, space)
    finally:
        space.close()
if "C" in parts:
    bench_item_cost()
if "P" in parts:
    bench_pack()
