#!/usr/bin/env python3
"""Measures velk against the programs an administrator could use instead.

Run by bench/run, which builds the two velk binaries and, as root, brings
up the loopback sshd and exports its coordinates in BENCH_SSH_*.  Every
figure is the median over the repetitions; in each repetition the
variants run one after the other (interleaved), so that a slow phase of
the machine hits all of them alike, and each ratio is the median of the
ratios taken within one repetition.
"""

import argparse
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

MIB = 1 << 20
RUSAGE = None       # the helper, set from the command line
RESULT_DIR = None   # where it leaves its figures


def consume(argv, source, env=None, fixed=False):
    """Runs `cat source | argv`, with argv reading a pipe as sshd gives
    it, under the rusage helper.  Returns CPU seconds (user + system) of
    argv and the processes it waited for, wall seconds from its start to
    its exit, and its peak resident set in KiB.  fixed runs argv with
    address-space randomisation off and on one CPU (rusage -f)."""
    result = os.path.join(RESULT_DIR, "rusage")
    r, w = os.pipe()
    producer = subprocess.Popen(["cat", source], stdout=w)
    os.close(w)
    start = time.monotonic()
    helper = [RUSAGE, "-f", result] if fixed else [RUSAGE, result]
    consumer = subprocess.Popen(helper + argv, stdin=r,
                                stdout=subprocess.DEVNULL, env=env)
    os.close(r)
    consumer.wait()
    wall = time.monotonic() - start
    producer.wait()
    with open(result) as f:
        user, system, maxrss, status = f.read().split()
    if consumer.returncode != 0 or status != "0":
        sys.exit("bench: %s failed (status %s)" % (argv[0], status))
    return float(user) + float(system), wall, int(maxrss)


def make_source(path, size):
    """size bytes that do not compress, written once."""
    with open(path, "wb") as f:
        chunk = os.urandom(MIB)
        left = size
        while left > 0:
            f.write(chunk[:min(left, MIB)])
            left -= MIB


def client_dir(home):
    return os.path.join(home, "incoming", "10.0.0.5")


def velk_env(home):
    return {"HOME": home, "SSH_CLIENT": "10.0.0.5 51234 22",
            "PATH": "/usr/bin:/bin"}


def local_variants(args, out_dir):
    """name -> (argv, env, the file it writes below out_dir)."""
    home = os.path.join(out_dir, "home")
    stored = os.path.join(client_dir(home), "stream.dump")
    target = os.path.join(out_dir, "plain.out")
    return {
        "velk": ([args.velk, "-c", "stream.dump"], velk_env(home), stored),
        "velk 128 KiB": ([args.velk_128k, "-c", "stream.dump"],
                         velk_env(home), stored),
        "dd bs=1024 conv=fsync": (["dd", "bs=1024", "conv=fsync",
                                   "status=none", "of=" + target], None,
                                  target),
        "cat + sync": (["sh", "-c", 'cat > "$0" && sync "$0"', target], None,
                       target),
    }


def cached(path):
    """Bytes of the file that are in the page cache (fincore)."""
    out = subprocess.run(["fincore", "--bytes", "--noheadings",
                          "--output", "RES", path],
                         capture_output=True, text=True, check=True).stdout
    return int(out.split()[0])


def clear(out_dir, client_dir):
    """Removes what the last run wrote, so that no run pays for deleting
    an earlier stream and every file starts empty, and makes the client
    directory velk writes in, as a backup server already has it."""
    for name in os.listdir(out_dir):
        path = os.path.join(out_dir, name)
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path)
        else:
            os.unlink(path)
    os.makedirs(client_dir, 0o700)
    subprocess.run(["sync"], check=True)


def rotated(variants, rep):
    """The variants' names in the order of repetition rep: each starts a
    repetition in turn, so that none always follows the same one."""
    names = list(variants)
    k = rep % len(names)
    return names[k:] + names[:k]


def median_ratio(samples, a, b, index):
    return statistics.median(x[index] / y[index]
                             for x, y in zip(samples[a], samples[b]))


def capture_runs(variants, sizes, reps, source_dir, out_dir, fixed=False):
    """size -> name -> the consume() figures of each repetition and the
    bytes of the stored file left in the page cache, with the variants
    interleaved within a repetition."""
    results = {}
    for size in sizes:
        source = os.path.join(source_dir, "source")
        make_source(source, size)
        samples = {name: [] for name in variants}
        for rep in range(reps):
            for name in rotated(variants, rep):
                argv, env, stored = variants[name]
                clear(out_dir, client_dir(os.path.join(out_dir, "home")))
                figures = consume(argv, source, env, fixed)
                samples[name].append(figures + (cached(stored),))
        results[size] = samples
        os.unlink(source)
    return results


def measure_local(args, source_dir, out_dir):
    return capture_runs(local_variants(args, out_dir), args.sizes,
                        args.reps, source_dir, out_dir)


def measure_memory(args, source_dir, out_dir):
    """Peak resident set of both builds by stream size, from an empty
    stream up, with what moves it from run to run fixed (rusage -f)."""
    variants = {name: v for name, v in local_variants(args, out_dir).items()
                if name.startswith("velk")}
    runs = capture_runs(variants, [0] + args.sizes, min(args.reps, 3),
                        source_dir, out_dir, fixed=True)
    return {size: {name: [x[2] for x in s] for name, s in samples.items()}
            for size, samples in runs.items()}


def measure_startup(args, out_dir):
    """Wall seconds per run, over batches of args.startup_runs runs."""
    home = os.path.join(out_dir, "home")
    variants = {
        "velk, empty stream": ([args.velk, "-c", "empty.dump", "-t", "1"],
                               velk_env(home)),
        "/bin/true": (["/bin/true"], None),
    }
    samples = {name: [] for name in variants}
    clear(out_dir, client_dir(home))
    for rep in range(args.reps):
        for name in rotated(variants, rep):
            argv, env = variants[name]
            start = time.monotonic()
            for _ in range(args.startup_runs):
                subprocess.run(argv, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, env=env, check=True)
            samples[name].append((time.monotonic() - start) /
                                 args.startup_runs)
    return samples


def machine_cpu():
    """CPU seconds the whole machine has spent busy so far."""
    with open("/proc/stat") as f:
        fields = [int(x) for x in f.readline().split()[1:]]
    user, nice, system, _idle, _iowait, irq, softirq = fields[:7]
    return (user + nice + system + irq + softirq) / os.sysconf("SC_CLK_TCK")


def ssh_argv(command):
    e = os.environ
    return ["ssh", "-F", "/dev/null", "-p", e["BENCH_SSH_PORT"],
            "-i", e["BENCH_SSH_KEY"], "-o", "IdentitiesOnly=yes",
            "-o", "BatchMode=yes", "-o", "StrictHostKeyChecking=yes",
            "-o", "UserKnownHostsFile=" + e["BENCH_SSH_KNOWN_HOSTS"],
            "-o", "GlobalKnownHostsFile=/dev/null", "-o", "LogLevel=ERROR",
            e["BENCH_SSH_USER"] + "@127.0.0.1", command]


def measure_ssh(args, source_dir):
    """Wall seconds of the ssh client pushing one stream, with the
    account's login shell switched between the variants."""
    e = os.environ
    shells = {
        "velk over ssh": e["BENCH_SSH_VELK"],
        "velk 128 KiB over ssh": e["BENCH_SSH_VELK_128K"],
        "cat > file login": e["BENCH_SSH_CAT"],
        "cat > file && sync login": e["BENCH_SSH_CAT_SYNC"],
    }
    home = e["BENCH_SSH_HOME"]
    user = e["BENCH_SSH_USER"]
    source = os.path.join(source_dir, "source")
    make_source(source, args.ssh_size)
    samples = {name: [] for name in shells}
    for rep in range(args.reps):
        for name in rotated(shells, rep):
            shell = shells[name]
            subprocess.run(["usermod", "-s", shell, user], check=True,
                           stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            for stale in ("incoming", "cat.out"):
                path = os.path.join(home, stale)
                if os.path.isdir(path):
                    shutil.rmtree(path)
                elif os.path.exists(path):
                    os.unlink(path)
            os.makedirs(os.path.join(home, "incoming", "127.0.0.1"), 0o700)
            for path in ("incoming", "incoming/127.0.0.1"):
                shutil.chown(os.path.join(home, path), user, user)
            subprocess.run(["sync"], check=True)
            before = machine_cpu()
            cpu, wall, rss = consume(ssh_argv("stream.dump -t 1"), source)
            samples[name].append((cpu, wall, rss, machine_cpu() - before))
    os.unlink(source)
    return samples


def size_label(size):
    if size == 0:
        return "empty"
    if size >= 1 << 30:
        return "%d GiB" % (size >> 30)
    if size >= MIB:
        return "%d MiB" % (size >> 20)
    return "%d KiB" % (size >> 10)


def machine(out_dir):
    cpu = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem = int(f.readline().split()[1]) // (1 << 20)
    fs = subprocess.run(["df", "--output=fstype", out_dir],
                        capture_output=True, text=True).stdout.split()[-1]
    return ("%s, %d cores, %d GiB of memory; Linux %s; the streams are "
            "written to %s" % (cpu, os.cpu_count(), mem, platform.release(),
                               fs))


def chart(args, local, path):
    data = path + ".dat"
    names = list(next(iter(local.values())).keys())
    with open(data, "w") as f:
        f.write("# size_mib " + " ".join('"%s"' % n for n in names) + "\n")
        for size, samples in local.items():
            rates = [size / MIB / statistics.median(s[1] for s in samples[n])
                     for n in names]
            f.write("%g %s\n" % (size / MIB,
                                 " ".join("%.1f" % r for r in rates)))
    plot = ['set terminal pngcairo size 800,500 noenhanced',
            'set output "%s"' % path,
            'set title "Capture from a pipe into a file, fsync included"',
            'set logscale x 2', 'set xlabel "stream size (MiB)"',
            'set ylabel "throughput (MiB/s of wall time)"',
            'set yrange [0:*]', 'set key top left', 'set grid',
            'plot ' + ", ".join('"%s" using 1:%d with linespoints lw 2 '
                                'title "%s"' % (data, i + 2, n)
                                for i, n in enumerate(names))]
    subprocess.run(["gnuplot"], input="\n".join(plot) + "\n", text=True,
                   check=True)
    os.unlink(data)


def verdict(ok):
    return "met" if ok else "**missed**"


def report(args, local, memory, startup, ssh, out_dir):
    w = []
    add = w.append
    add("# Benchmarks\n")
    add("Written by `bench/run` on %s. Do not edit by hand: run it again."
        "\n" % time.strftime("%Y-%m-%d"))
    add("## Machine\n")
    add(machine(out_dir) + ".\n")
    add("## Commands\n")
    add("Each consumer reads a pipe fed by `cat` from a file of random "
        "bytes, as sshd feeds a login shell. CPU is user + system seconds "
        "of the consumer and the processes it waited for; wall is from its "
        "start to its exit; memory is its peak resident set. Every figure "
        "is the median of %d interleaved runs, each run starting with the "
        "next variant in turn; each ratio is the median of the ratios "
        "within one run. The files written before a run are "
        "removed and synced away first.\n" % args.reps)
    add("- `velk`: the default build (1024-byte block), as "
        "`velk -c stream.dump`, HOME in the scratch directory")
    add("- `velk 128 KiB`: a build with `-DVELK_BLOCK_SIZE=131072`")
    add("- `dd bs=1024 conv=fsync of=FILE`: velk's system-call pattern and "
        "durability, the floor for a 1024-byte block")
    add("- `cat + sync`: `sh -c 'cat > FILE && sync FILE'`, what an "
        "administrator would script instead\n")
    add("Both velk builds hand the stream to write-back in windows of %s "
        "while it arrives and drop each window from the page cache once "
        "the next is under way; the final fsync stays.\n" %
        size_label(args.window))

    add("## Capture from a pipe\n")
    add("| stream | variant | CPU s | CPU s, fastest to slowest | wall s "
        "| MiB/s | peak RSS KiB |")
    add("| --- | --- | ---: | ---: | ---: | ---: | ---: |")
    for size, samples in local.items():
        for name, s in samples.items():
            cpus = [x[0] for x in s]
            wall = statistics.median(x[1] for x in s)
            rss = statistics.median(x[2] for x in s)
            add("| %s | %s | %.3f | %.3f to %.3f | %.3f | %.0f | %d |" %
                (size_label(size), name, statistics.median(cpus), min(cpus),
                 max(cpus), wall, size / MIB / wall, rss))
    add("")
    add("| stream | velk / dd, CPU | velk / dd, wall | velk 128 KiB / "
        "cat + sync, CPU | velk 128 KiB / cat + sync, wall |")
    add("| --- | ---: | ---: | ---: | ---: |")
    for size, s in local.items():
        add("| %s | %.3f | %.3f | %.3f | %.3f |" % (
            size_label(size),
            median_ratio(s, "velk", "dd bs=1024 conv=fsync", 0),
            median_ratio(s, "velk", "dd bs=1024 conv=fsync", 1),
            median_ratio(s, "velk 128 KiB", "cat + sync", 0),
            median_ratio(s, "velk 128 KiB", "cat + sync", 1)))
    add("")

    sizes = list(local)
    big = local[sizes[-1]]
    cpu_ratio = median_ratio(big, "velk", "dd bs=1024 conv=fsync", 0)
    big_ratio = median_ratio(big, "velk 128 KiB", "cat + sync", 0)
    durable_ratio = median_ratio(big, "velk 128 KiB", "cat + sync", 1)
    add("![Throughput by stream size](benchmarks.png)\n")

    add("## Page cache after a capture\n")
    add("How much of the stored file is still in the page cache when the "
        "consumer has exited (`fincore`), median over the runs of the "
        "table above.\n")
    add("| stream | " + " | ".join(big) + " |")
    add("| --- |" + " ---: |" * len(big))
    for size, samples in local.items():
        add("| %s | %s |" % (size_label(size), " | ".join(
            "%.1f MiB" % (statistics.median(x[3] for x in samples[n]) / MIB)
            for n in samples)))
    add("")
    left = max(statistics.median(x[3] for x in big[n])
               for n in ("velk", "velk 128 KiB"))

    add("## Peak memory by stream size\n")
    add("Peak resident set of velk, in KiB, over %d runs for each size, "
        "with address-space randomisation off and the process kept on one "
        "CPU (`rusage -f`). Without that, as in the table above, the peak "
        "moves by up to some 100 KiB from one run to the next whatever "
        "the stream size: how many pages the kernel faults in around each "
        "touched one depends on where the stack and the libraries land, "
        "and the kernel counts a process's pages per CPU and adds the "
        "counts up only approximately when it records the peak. With "
        "both fixed, only the stream size differs.\n" % min(args.reps, 3))
    names = list(next(iter(memory.values())))
    add("| stream | " + " | ".join(names) + " |")
    add("| --- |" + " ---: |" * len(names))
    for size, samples in memory.items():
        cells = []
        for name in names:
            low, high = min(samples[name]), max(samples[name])
            cells.append("%d" % low if low == high
                         else "%d to %d" % (low, high))
        add("| %s | %s |" % (size_label(size), " | ".join(cells)))
    add("")
    rss = [x for samples in memory.values() for x in samples["velk"]]

    add("## Start-up\n")
    add("Wall time per run, over batches of %d runs." % args.startup_runs)
    add("")
    add("| variant | ms per run |")
    add("| --- | ---: |")
    for name, s in startup.items():
        add("| %s | %.3f |" % (name, statistics.median(s) * 1000))
    names = list(startup)
    add("\nRatio: %.2f.\n" % statistics.median(
        a / b for a, b in zip(startup[names[0]], startup[names[1]])))

    if ssh is not None:
        add("## End to end over ssh\n")
        add("The ssh client on 127.0.0.1 pushes %s to the loopback sshd "
            "(`ssh backup@127.0.0.1 stream.dump -t 1`), with the account's "
            "login shell switched between velk, the 128 KiB build, a "
            "script that runs `cat > \"$HOME/cat.out\"` and, since velk "
            "syncs what it stored and that script does not, one that runs "
            "`cat > \"$HOME/cat.out\" && sync \"$HOME/cat.out\"`. Wall is the "
            "client's, from start to exit; client CPU is the ssh client's "
            "alone; machine CPU is what all processes on the machine used "
            "meanwhile (from /proc/stat): client, sshd, login shell and the "
            "`cat` feeding the client.\n" % size_label(args.ssh_size))
        add("| variant | client CPU s | machine CPU s | wall s | MiB/s |")
        add("| --- | ---: | ---: | ---: | ---: |")
        for name, s in ssh.items():
            wall = statistics.median(x[1] for x in s)
            add("| %s | %.3f | %.3f | %.3f | %.0f |" % (
                name, statistics.median(x[0] for x in s),
                statistics.median(x[3] for x in s), wall,
                args.ssh_size / MIB / wall))
        e2e = median_ratio(ssh, "velk over ssh", "cat > file login", 1)
        e2e_big = median_ratio(ssh, "velk 128 KiB over ssh",
                               "cat > file login", 1)
        e2e_sync = median_ratio(ssh, "velk over ssh",
                                "cat > file && sync login", 1)
        e2e_big_sync = median_ratio(ssh, "velk 128 KiB over ssh",
                                    "cat > file && sync login", 1)
        add("\n| ratio of wall time | to the cat login | to the cat && sync "
            "login |")
        add("| --- | ---: | ---: |")
        add("| velk | %.3f | %.3f |" % (e2e, e2e_sync))
        add("| velk 128 KiB | %.3f | %.3f |\n" % (e2e_big, e2e_big_sync))

    add("## Against the targets\n")
    add("| target | figure | |")
    add("| --- | --- | --- |")
    add("| default build within 5%% of dd in CPU, %s | %.3f | %s |" % (
        size_label(sizes[-1]), cpu_ratio, verdict(cpu_ratio <= 1.05)))
    flat = max(rss) / min(rss)
    add("| peak memory flat within 5%%, empty stream to %s (highest / "
        "lowest) | %.3f | %s |" % (size_label(sizes[-1]), flat,
                                   verdict(flat <= 1.05)))
    add("| 128 KiB build at or below cat + sync in CPU, %s | %.3f | %s |" % (
        size_label(sizes[-1]), big_ratio, verdict(big_ratio <= 1.0)))
    add("| 128 KiB build, time until durable at most 0.65 of cat + sync, "
        "%s | %.3f | %s |" % (size_label(sizes[-1]), durable_ratio,
                              verdict(durable_ratio <= 0.65)))
    add("| velk leaves at most two windows (%s) cached after %s | %.1f MiB "
        "| %s |" % (size_label(2 * args.window), size_label(sizes[-1]),
                    left / MIB, verdict(left <= 2 * args.window)))
    if ssh is not None:
        add("| over ssh, default build at most 1.30 times the cat login "
            "| %.3f | %s |" % (e2e, verdict(e2e <= 1.30)))
        add("| over ssh, 128 KiB build at most 1.05 times the cat login "
            "| %.3f | %s |" % (e2e_big, verdict(e2e_big <= 1.05)))
        add("| over ssh, 128 KiB build below the cat && sync login "
            "| %.3f | %s |" % (e2e_big_sync, verdict(e2e_big_sync < 1.0)))
    add("")
    if args.notes and os.path.exists(args.notes):
        with open(args.notes) as f:
            add(f.read().rstrip() + "\n")
    with open(args.out, "w") as f:
        f.write("\n".join(w))


def main():
    global RUSAGE, RESULT_DIR
    p = argparse.ArgumentParser()
    p.add_argument("--velk", required=True)
    p.add_argument("--velk-128k", required=True)
    p.add_argument("--rusage", required=True, help="the rusage helper")
    p.add_argument("--sizes", default="1,64,1024",
                   help="stream sizes in MiB, comma-separated")
    p.add_argument("--ssh-size", type=int, default=1024, help="MiB")
    p.add_argument("--window", type=int, default=8 * MIB,
                   help="velk's write-back window, bytes")
    p.add_argument("--reps", type=int, default=5)
    p.add_argument("--startup-runs", type=int, default=200)
    p.add_argument("--scratch", required=True,
                   help="a directory on the disk the streams go to")
    p.add_argument("--notes", help="text appended to the report")
    p.add_argument("--out", required=True, help="the report, Markdown")
    args = p.parse_args()
    args.sizes = [int(s) * MIB for s in args.sizes.split(",")]
    args.ssh_size *= MIB

    source_dir = tempfile.mkdtemp(prefix="velk-bench-src.", dir="/dev/shm")
    out_dir = tempfile.mkdtemp(prefix="velk-bench-out.", dir=args.scratch)
    RUSAGE = os.path.abspath(args.rusage)
    RESULT_DIR = source_dir
    try:
        local = measure_local(args, source_dir, out_dir)
        memory = measure_memory(args, source_dir, out_dir)
        startup = measure_startup(args, out_dir)
        ssh = None
        if os.environ.get("BENCH_SSH_PORT"):
            ssh = measure_ssh(args, source_dir)
        chart(args, local, os.path.join(os.path.dirname(args.out),
                                        "benchmarks.png"))
        report(args, local, memory, startup, ssh, out_dir)
    finally:
        shutil.rmtree(source_dir, ignore_errors=True)
        shutil.rmtree(out_dir, ignore_errors=True)


if __name__ == "__main__":
    main()
