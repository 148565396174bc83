#!/usr/bin/env python3
"""Runs every benchmark of bench/ in one go (bench/run builds the tree first), prints one
Markdown table of figures and ratios and writes the same figures as JSON to
<build dir>/bench/results.json. Every ratio compares two figures measured in this run."""

import argparse
import datetime
import json
import os
import platform
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

ap = argparse.ArgumentParser()
ap.add_argument("--quick", action="store_true", help="a run of about a minute")
ap.add_argument("--build-dir", required=True)
args = ap.parse_args()

bd = os.path.abspath(args.build_dir)
bench = os.path.join(bd, "bench")
bin_dir = os.path.join(bd, "bin")
quick = args.quick
period_s = 10 if quick else 60  # each period figure, and the CPU of the two programs
race_s = 0.5 if quick else 5  # each run of a race between processes
gbench_min = "0.05" if quick else "0.3"  # seconds per google-benchmark repetition
startups = 5 if quick else 11

scratch = tempfile.mkdtemp(prefix="tovrel-bench-")
session_root = tempfile.mkdtemp(prefix="tovrel-bench-", dir="/dev/shm")
counter = [0]


def fresh():
    """A fresh session directory (mode 0700) and a fresh working directory."""
    counter[0] += 1
    s = os.path.join(session_root, "s%d" % counter[0])
    w = os.path.join(scratch, "w%d" % counter[0])
    os.mkdir(s, 0o700)
    os.mkdir(w)
    return s, w


def env_for(session, **extra):
    e = dict(os.environ)
    e["XDG_RUNTIME_DIR"] = session
    e.update(extra)
    return e


def say(msg):
    print("bench: " + msg, file=sys.stderr, flush=True)


def cpu_of(ru):
    return ru.ru_utime + ru.ru_stime


figures = {}

# ---- The block path and the log, in one process -------------------------------------------------
say("block path and log (google-benchmark)")
out = os.path.join(bench, "block.json")
# Its console output (and the note that Debian's library itself was built without NDEBUG,
# which concerns the library's own bookkeeping, not the code measured) is shown on failure only.
r = subprocess.run([os.path.join(bench, "bench_block"), "--benchmark_min_time=" + gbench_min,
                    "--benchmark_repetitions=3", "--benchmark_report_aggregates_only=true",
                    "--benchmark_out_format=json", "--benchmark_out=" + out,
                    "--benchmark_format=console"], capture_output=True, text=True)
if r.returncode != 0:
    sys.exit("bench: bench_block failed:\n" + r.stdout + r.stderr)
with open(out) as f:
    gb = json.load(f)
block = {}
for b in gb["benchmarks"]:
    if b.get("aggregate_name") == "median":
        name = b["run_name"].replace("BM_", "")
        block[name] = b["cpu_time"]  # ns: the time the calling thread was on a CPU
figures["block_ns"] = block

# ---- Races between processes --------------------------------------------------------------------


def race(impl, readers, secs, n=128):
    session, work = fresh()
    e = env_for(session)
    name = "tovrel_race_%d_%d" % (os.getpid(), counter[0])
    procs = []
    for i, role in enumerate(["writer"] + ["reader"] * readers):
        cwd = os.path.join(work, "p%d" % i)
        os.mkdir(cwd)
        p = subprocess.Popen([os.path.join(bench, "bench_race"), role, impl, str(secs), str(n),
                              name], cwd=cwd, env=e, stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, text=True)
        if p.stdout.readline().strip() != "ready":
            sys.exit("bench: a %s of %s did not start" % (role, impl))
        procs.append(p)
    for p in procs:
        p.stdin.write("go\n")
        p.stdin.flush()
    res = []
    for p in procs:
        ops, torn = map(int, p.stdout.readline().split())
        p.wait()
        res.append((ops / secs, torn))
    for f in ("/dev/shm/" + name, "/dev/shm/sem." + name):
        if os.path.exists(f):
            os.unlink(f)
    return {"writer_ops_s": res[0][0], "reader_ops_s": [r[0] for r in res[1:]],
            "torn": sum(r[1] for r in res[1:])}


# Contended figures swing with whatever else the machine runs: each race runs race_reps times,
# the kinds taking turns, and each side's figure is the median of its runs; torn blocks add up.
race_reps = 3
say("races between processes, %d x %g s each" % (race_reps, race_s))
kinds = [(impl, 1) for impl in ("tovrel", "floor", "boost", "nolock")] + \
    [(impl, 2) for impl in ("tovrel", "floor", "boost")]
runs = {k: [] for k in kinds}
for _ in range(race_reps):
    for impl, readers in kinds:
        runs[(impl, readers)].append(race(impl, readers, race_s))
races = {}
for (impl, readers), rs in runs.items():
    races["%s_1w%dr" % (impl, readers)] = {
        "writer_ops_s": statistics.median(r["writer_ops_s"] for r in rs),
        "reader_ops_s": [statistics.median(r["reader_ops_s"][i] for r in rs)
                         for i in range(readers)],
        "torn": sum(r["torn"] for r in rs), "seconds": race_s * len(rs), "runs": rs}
figures["races"] = races

# ---- The period -----------------------------------------------------------------------------------


def period(mode):
    _, work = fresh()
    p = subprocess.Popen([os.path.join(bench, "bench_period"), mode, str(period_s)], cwd=work,
                         stdout=subprocess.PIPE, text=True)
    out = p.stdout.read()
    _, status, ru = os.wait4(p.pid, 0)
    r = json.loads(out)
    r["cpu_share"] = cpu_of(ru) / (r["elapsed_ms"] / 1000.0)
    r["periods_per_ms"] = r["periods"] / r["elapsed_ms"]
    return r


def cyclictest():
    _, work = fresh()
    out = subprocess.run(["cyclictest", "-t1", "-i1000", "-D", str(period_s), "-q", "-h", "20000"],
                         cwd=work, capture_output=True, text=True, check=True).stdout
    hist = []
    summary = {}
    for line in out.splitlines():
        if line.startswith("#"):
            k, _, v = line[1:].partition(":")
            if v.split():
                summary[k.strip()] = v.split()[0]
        elif line.strip():
            us, cnt = line.split()[:2]
            hist.append((int(us), int(cnt)))
    total = sum(c for _, c in hist) + int(summary.get("Histogram Overflows", "0"))

    def q(f):
        want = f * total
        run = 0
        for us, c in hist:
            run += c
            if run >= want:
                return float(us)
        return float(summary["Max Latencies"])

    return {"periods": total, "periods_per_ms": total / (period_s * 1000.0),
            "late_us": {"min": float(summary["Min Latencies"]), "median": q(0.5), "p99": q(0.99),
                        "max": float(summary["Max Latencies"]),
                        "avg": float(summary["Avg Latencies"])}}


periods = {}
for mode in ("mot", "mot-default-slack", "timerfd"):
    say("period: %s, %d s" % (mode, period_s))
    periods[mode] = period(mode)
if shutil.which("cyclictest"):
    say("period: cyclictest -t1 -i1000, %d s" % period_s)
    periods["cyclictest"] = cyclictest()
figures["period"] = periods

# ---- CPU time of the two programs -------------------------------------------------------------------


def start(prg, session, cwd, **extra):
    cmd = [os.path.join(bin_dir, prg)] if not isinstance(prg, list) else prg
    return subprocess.Popen(cmd, cwd=cwd, env=env_for(session, **extra),
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)


def stop(p):
    p.send_signal(signal.SIGINT)
    _, status, ru = os.wait4(p.pid, 0)
    p.returncode = status
    return ru


# The bare waker runs beside the two programs, so that all three meet the same load on this
# machine; it ends by itself after the same time.
say("CPU: TovrelRcv, TovrelSnd and a bare timerfd waker together, %d s" % period_s)
session, work = fresh()
t0 = time.monotonic()
waker = subprocess.Popen([os.path.join(bench, "bench_period"), "timerfd", str(period_s)],
                         cwd=work, stdout=subprocess.DEVNULL)
rcv = start("TovrelRcv", session, work)
snd = start("TovrelSnd", session, work)
time.sleep(period_s)
ru_snd = stop(snd)
ru_rcv = stop(rcv)
_, _, ru_waker = os.wait4(waker.pid, 0)
el = time.monotonic() - t0
with open(os.path.join(work, "TovrelRcv.log"), errors="replace") as f:
    torn_lines = [l for l in f if " E Check: " in l]
figures["cpu"] = {"seconds": el, "TovrelSnd_share": cpu_of(ru_snd) / el,
                  "TovrelRcv_share": cpu_of(ru_rcv) / el, "torn_lines": len(torn_lines),
                  "timerfd_share": cpu_of(ru_waker) / el,
                  "timerfd_alone_share": periods["timerfd"]["cpu_share"],
                  "mot_share": periods["mot"]["cpu_share"]}

# ---- Start-up -------------------------------------------------------------------------------------------
shim = os.path.join(bench, "libbench_first_period.so")


def first_period(prg, session, cwd):
    """Starts prg; returns the process and the ms from just before its start to its first
    period."""
    out = os.path.join(cwd, os.path.basename(prg if isinstance(prg, str) else prg[0]) + ".first")
    t = time.clock_gettime_ns(time.CLOCK_MONOTONIC)
    p = start(prg, session, cwd, LD_PRELOAD=shim, TOVREL_FIRST_PERIOD_OUT=out)
    deadline = time.monotonic() + 10
    while not os.path.exists(out):
        if time.monotonic() > deadline or p.poll() is not None:
            sys.exit("bench: %s did not reach its first period" % prg)
        time.sleep(0.0002)
    with open(out) as f:
        return p, (int(f.read()) - t) / 1e6


say("start-up of TovrelRcv, %d runs of each" % startups)
fresh_ms, existing_ms, bare_ms = [], [], []
bare = [os.path.join(bench, "bench_period"), "timerfd", "10"]
for _ in range(startups):
    session, work = fresh()
    p, ms = first_period(bare, session, work)
    stop(p)
    bare_ms.append(ms)
    session, work = fresh()
    p, ms = first_period("TovrelRcv", session, work)
    stop(p)
    fresh_ms.append(ms)
    session, work = fresh()
    s, _ = first_period("TovrelSnd", session, work)
    p, ms = first_period("TovrelRcv", session, work)
    stop(p)
    stop(s)
    existing_ms.append(ms)
figures["startup_ms"] = {"bare_timerfd": statistics.median(bare_ms), "bare_timerfd_runs": bare_ms,
                         "fresh": statistics.median(fresh_ms),
                         "objects_there": statistics.median(existing_ms),
                         "fresh_runs": fresh_ms, "objects_there_runs": existing_ms}

shutil.rmtree(scratch, ignore_errors=True)
shutil.rmtree(session_root, ignore_errors=True)

# ---- The table ----------------------------------------------------------------------------------------
rows = []


def row(figure, value, unit, other=None, other_value=None, ratio=None, goal=""):
    rows.append({"figure": figure, "value": value, "unit": unit, "compared_with": other,
                 "other_value": other_value, "ratio": ratio, "goal": goal})


def fmt(v):
    if v is None:
        return ""
    if isinstance(v, int):
        return str(v)
    a = abs(v)
    return "%.0f" % v if a >= 1000 else "%.1f" % v if a >= 10 else "%.2f" % v if a >= 0.1 \
        else "%.3f" % v


b = block
for op, floor in (("Write", "FloorRobustWrite"), ("Read", "FloorRobustRead")):
    t = b["Tovrel%s/128" % op]
    row("Tovrel.%s, 128 B" % op, t, "ns", "robust floor %s" % fmt(b[floor + "/128"]) + " ns",
        None, t / b[floor + "/128"], "<= 1.25")
    peer = "Boost%s/128" % op
    row("Tovrel.%s, 128 B" % op, t, "ns", "Boost named_mutex %s ns" % fmt(b[peer]), None,
        t / b[peer], "<= 1.1")
    for n in (1, 512):
        t = b["Tovrel%s/%d" % (op, n)]
        f = b["%s/%d" % (floor, n)]
        row("Tovrel.%s, %d B" % (op, n), t, "ns", "robust floor %s ns" % fmt(f), None, t / f,
            "")
row("robust floor write, 128 B", b["FloorRobustWrite/128"], "ns",
    "plain pshared mutex %s ns" % fmt(b["FloorPlainWrite/128"]), None,
    b["FloorRobustWrite/128"] / b["FloorPlainWrite/128"], "")
row("robust floor write, 128 B", b["FloorRobustWrite/128"], "ns",
    "memcpy alone %s ns" % fmt(b["Memcpy/128"]), None,
    b["FloorRobustWrite/128"] / b["Memcpy/128"], "")

for k, label in (("1w2r", "writer + 2 readers"), ("1w1r", "writer + reader")):
    t, bo, fl = races["tovrel_" + k], races["boost_" + k], races["floor_" + k]
    row("contended %s: Tovrel writer" % label, t["writer_ops_s"] / 1e6, "M ops/s",
        "Boost %s M ops/s" % fmt(bo["writer_ops_s"] / 1e6), None,
        t["writer_ops_s"] / bo["writer_ops_s"], ">= 1")
    tr, br = min(t["reader_ops_s"]), min(bo["reader_ops_s"])
    row("contended %s: Tovrel reader (slowest)" % label, tr / 1e6, "M ops/s",
        "Boost %s M ops/s" % fmt(br / 1e6), None, tr / br, ">= 1")
    row("contended %s: Tovrel writer" % label, t["writer_ops_s"] / 1e6, "M ops/s",
        "robust floor %s M ops/s" % fmt(fl["writer_ops_s"] / 1e6), None,
        t["writer_ops_s"] / fl["writer_ops_s"], "")
    row("contended %s: Tovrel writer, ns per call" % label, 1e9 / t["writer_ops_s"], "ns",
        "", None, None, "")
row("torn blocks, Tovrel, writer + reader, %g s" % (race_s * race_reps), races["tovrel_1w1r"]["torn"], "blocks",
    "", None, None, "0")
row("torn blocks, Tovrel, writer + 2 readers, %g s" % (race_s * race_reps), races["tovrel_1w2r"]["torn"],
    "blocks", "", None, None, "0")
row("torn blocks, lock taken out, %g s" % (race_s * race_reps), races["nolock_1w1r"]["torn"],
    "blocks", "of %s reads" % fmt(sum(r["reader_ops_s"][0] * race_s
                                      for r in races["nolock_1w1r"]["runs"])), None, None, "> 0")

m, ms, tf = periods["mot"], periods["mot-default-slack"], periods["timerfd"]
ct = periods.get("cyclictest")
for q in ("min", "median", "p99", "max"):
    other = "cyclictest %s us" % fmt(ct["late_us"][q]) if ct else "timerfd loop %s us" % fmt(
        tf["late_us"][q])
    ov = ct["late_us"][q] if ct else tf["late_us"][q]
    goal = "<= 1" if q in ("median", "p99") else ""
    row("Mot lateness %s, %d s" % (q, period_s), m["late_us"][q], "us", other, None,
        m["late_us"][q] / ov if ov else None, goal)
for q in ("median", "p99"):
    row("Mot lateness %s, default slack" % q, ms["late_us"][q], "us",
        "slack 1 ns %s us" % fmt(m["late_us"][q]), None,
        ms["late_us"][q] / m["late_us"][q] if m["late_us"][q] else None, "")
    row("bare timerfd lateness %s" % q, tf["late_us"][q], "us",
        "Mot %s us" % fmt(m["late_us"][q]), None, None, "")
if ct:
    row("cyclictest average lateness", ct["late_us"]["avg"], "us", "", None, None, "")
row("Mot periods / elapsed ms", m["periods_per_ms"], "", "timerfd loop %.4f" % tf["periods_per_ms"],
    None, m["periods_per_ms"] / tf["periods_per_ms"], ">= 1")
if ct:
    row("cyclictest periods / elapsed ms", ct["periods_per_ms"], "", "", None, None, "")
c = figures["cpu"]
for prg in ("TovrelSnd", "TovrelRcv"):
    row("CPU of %s (with the other running)" % prg, 100 * c[prg + "_share"], "% of a core",
        "bare timerfd waker beside them %.2f %%" % (100 * c["timerfd_share"]), None,
        c[prg + "_share"] / c["timerfd_share"], "<= 1.2")
row("CPU of the executive alone (Mot at 1 ms)", 100 * c["mot_share"], "% of a core",
    "bare timerfd waker alone %.2f %%" % (100 * c["timerfd_alone_share"]), None,
    c["mot_share"] / c["timerfd_alone_share"], "")
row("torn blocks seen by TovrelRcv, %d s" % period_s, c["torn_lines"], "blocks", "", None, None,
    "0")
row("Log.Write of a typical line", b["LogWrite"], "ns",
    "fstat + write %s ns" % fmt(b["FstatWrite"]), None, b["LogWrite"] / b["FstatWrite"], "<= 1.5")
row("write alone of the same line", b["WriteOnly"], "ns", "", None, None, "")
st = figures["startup_ms"]
row("TovrelRcv start to first period, fresh namespace (median of %d)" % startups, st["fresh"],
    "ms", "bare timerfd program %s ms" % fmt(st["bare_timerfd"]), None,
    st["fresh"] / st["bare_timerfd"], "")
row("TovrelRcv start to first period, objects there (median of %d)" % startups,
    st["objects_there"], "ms", "fresh %s ms" % fmt(st["fresh"]), None,
    st["objects_there"] / st["fresh"], "")

lines = ["| Figure | Value | Unit | Compared with | Ratio | Goal |",
         "| --- | ---: | --- | --- | ---: | --- |"]
for r in rows:
    lines.append("| %s | %s | %s | %s | %s | %s |" % (
        r["figure"], fmt(r["value"]), r["unit"], r["compared_with"] or "",
        fmt(r["ratio"]), r["goal"]))
print("\n".join(lines))

machine = {"cpu": "", "cores": os.cpu_count(), "kernel": platform.release()}
try:
    with open("/proc/cpuinfo") as f:
        for l in f:
            if l.startswith("model name"):
                machine["cpu"] = l.split(":", 1)[1].strip()
                break
except OSError:
    pass
res = {"date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
       "quick": quick, "machine": machine, "figures": figures, "table": rows}
path = os.path.join(bench, "results.json")
with open(path, "w") as f:
    json.dump(res, f, indent=1)
print("\n%s, %s, %d cores, kernel %s, %s run; figures in %s" % (
    res["date"], machine["cpu"], machine["cores"], machine["kernel"],
    "quick" if quick else "full", path))
