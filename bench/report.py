"""Prints the benchmark table from bench/run's results folder.

Usage: report.py WORKDIR SIZE OUTPUT_PLACE
"""
import json
import os
import platform
import sys

work, size, place = sys.argv[1], sys.argv[2], sys.argv[3]
results = os.path.join(work, "results")
full = size == "full"
N_BIG = 1000 if full else 10
N_TINY = 100000 if full else 200
N_MANY = 1000000 if full else 10000
ENTRY = 256 * 1024

# workload: (title, bytes moved, entries, anchors)
LZO_MIB = 64 if full else 1
WORKLOADS = {
    "w1": (f"W1 expand {N_BIG} x 256 KiB stored", N_BIG * ENTRY, N_BIG, ["tar", "floor"]),
    "w2": (f"W2 expand {N_BIG} x 256 KiB lzo1x", N_BIG * ENTRY, N_BIG, ["lzop", "floor"]),
    "w3": (f"W3 expand {N_TINY} x 100 B stored", N_TINY * 100, N_TINY, ["tar", "floor"]),
    "w4": (f"W4 group {N_BIG} x 256 KiB", N_BIG * ENTRY, N_BIG, ["tar+sync"]),
    "w6": (f"W6 expand one {LZO_MIB} MiB lzo1x", LZO_MIB << 20, 1, ["floor"]),
    "w7": (f"W7 --update, 10 of {N_BIG} changed", 10 * ENTRY, N_BIG, ["group"]),
    "w8": (f"W8 --verify {N_BIG} x 256 KiB lzo1x", N_BIG * ENTRY, N_BIG, ["floor"]),
    "w9": (f"W9 --compact, two thirds dead", N_BIG * ENTRY, N_BIG, ["by hand"]),
    "w10": (f"W10 --list {N_TINY} entries", N_TINY * 24, N_TINY, ["tar"]),
    "w11": (f"W11 --update --fast, 10 of {N_BIG} edited", 10 * ENTRY, N_BIG, ["lzop -1"]),
    "w11b": (f"W11b --update --best, 10 of {N_BIG} edited", 10 * ENTRY, N_BIG, ["lzop -9"]),
    "w11r": (f"W11r --update, 10 of {N_BIG} edited, record", 10 * ENTRY, N_BIG, ["lzop -1"]),
    "w7r": (f"W7r --update, 10 of {N_BIG} changed, record", 10 * ENTRY, N_BIG, ["group"]),
    "status": (f"--status of {N_BIG}, one edit, record", ENTRY, N_BIG, ["update -n, no record"]),
    "cat": ("--cat of one 256 KiB entry of W1", ENTRY, 1, ["tar -xO"]),
    "create-store": (f"--create --store of W1's {N_BIG} members", N_BIG * ENTRY, N_BIG, ["tar -c"]),
    "create-fast": (f"--create --fast of W2's {N_BIG} members, 2 jobs", N_BIG * ENTRY, N_BIG,
                    ["lzop -1 + tar -c"]),
    "w13-list": (f"W13 --list {N_MANY} entries", N_MANY * 24, N_MANY, ["tar -tv"]),
    "w13-expand": (f"W13 expand {N_MANY} x 64 B", N_MANY * 64, N_MANY, ["tar"]),
    "w13-group": (f"W13 group 1 member into {N_MANY}", N_MANY * 48, N_MANY, ["directory twice"]),
    "make-patch": ("--make-patch W2 to W2 with 6 edits", N_BIG * ENTRY, N_BIG, ["diff + write"]),
}


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def median(values):
    v = sorted(values)
    n = len(v)
    return v[n // 2] if n % 2 else (v[n // 2 - 1] + v[n // 2]) / 2


def medians(key):
    """Each command's median time in the hyperfine run `key`, or None."""
    path = os.path.join(results, key + ".json")
    if not os.path.exists(path):
        return None
    with open(path) as f:
        return {r["command"]: median(r["times"]) for r in json.load(f)["results"]}


print(f"machine: {os.cpu_count()} cores, {cpu_model()}; size {size}; outputs on {place}")
print()
print("| workload | command | median s | MB/s | entries/s | radodaro / anchor |")
print("|---|---|---|---|---|---|")
for key, (title, nbytes, entries, anchors) in WORKLOADS.items():
    runs = medians(key)
    if runs is None:
        continue
    ours = runs.get("radodaro")
    for name, t in runs.items():
        ratio = ""
        if name in anchors and ours is not None:
            ratio = f"{ours / t:.2f}"
        mbs = nbytes / t / 1e6
        print(f"| {title} | {name} | {t:.3f} | {mbs:.0f} | {entries / t:.0f} | {ratio} |")

print()
print("| memory | command | peak anonymous KiB | peak resident KiB |")
print("|---|---|---|---|")
jobs_mem = sorted((n[:-4] for n in os.listdir(results) if n.startswith("jobs") and n.endswith(".mem")),
                  key=lambda n: int(n[4:].split("-")[0]))
for name in ["w5-radodaro", "w5-tar", "w6-radodaro", "w6-floor"] + jobs_mem:
    path = os.path.join(results, name + ".mem")
    if os.path.exists(path):
        with open(path) as f:
            anon, rss = f.read().split()
        if name.startswith("jobs"):
            jobs, workload = name[4:].split("-")
            workload, command = workload, f"radodaro /e, {jobs} jobs"
        else:
            workload, command = name.split("-", 1)
        print(f"| {workload.upper()} | {command} | {anon} | {rss} |")

counts = sorted({int(n[5:].split("-")[0]) for n in os.listdir(results)
                 if n.startswith("count") and n.endswith(".mem")})
if counts:
    print()
    print("| peak memory by entries | command | peak anonymous KiB | peak resident KiB |")
    print("|---|---|---|---|")
    for count in counts:
        for command in ("list", "verify", "expand", "group", "update"):
            path = os.path.join(results, f"count{count}-{command}.mem")
            if os.path.exists(path):
                with open(path) as f:
                    anon, rss = f.read().split()
                print(f"| {count} | {command} | {anon} | {rss} |")

print()
print("| size | growth of the pack | LZO size of the edits alone | growth / LZO |")
print("|---|---|---|---|")
for name in ("w11", "w11b"):
    path = os.path.join(results, name + ".size")
    if os.path.exists(path):
        with open(path) as f:
            grown, lzo = (int(v) for v in f.read().split())
        print(f"| {name.upper()} | {grown} | {lzo} | {grown / lzo:.3f} |")

scaling = [("scale-w1", "W1 /e"), ("scale-w3", "W3 /e"), ("scale-w2", "W2 /e"), ("scale-w8", "W8 --verify"), ("scale-w11b", "W11b --update --best")]
if any(os.path.exists(os.path.join(results, k + ".json")) for k, _ in scaling):
    print()
    print("| scaling | jobs | median s | speed-up over 1 job |")
    print("|---|---|---|---|")
    for key, title in scaling:
        runs = medians(key)
        if runs is None:
            continue
        one = runs.get("jobs 1")
        for name, t in runs.items():
            speedup = f"{one / t:.2f}" if one else ""
            print(f"| {title} | {name.split()[1]} | {t:.3f} | {speedup} |")

path = os.path.join(results, "w12.size")
if os.path.exists(path):
    print()
    print("| W12, 3 rounds of 2 edits | growth | after --compact | LZO size of the 6 edits (lzop -1) |")
    print("|---|---|---|---|")
    with open(path) as f:
        for line in f:
            *command, grown, compacted, lzo = line.split()
            print(f"| {' '.join(command)} | {grown} | {compacted} | {lzo} |")
