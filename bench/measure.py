"""How the benchmark measures a program: instructions with callgrind,
wall-clock times of interleaved runs, peak resident memory with GNU time.
Every program runs with ENV as its whole environment, from `/`."""

import os
import platform
import re
import statistics
import subprocess
import time

ENV = {'PATH': '/usr/bin:/bin', 'LC_ALL': 'C.UTF-8'}


def run_once(argv, executable=None, env=ENV):
    """Runs a program to its end; returns the seconds it took."""
    start = time.perf_counter()
    subprocess.run(argv, executable=executable, env=env, cwd='/', check=True,
                   stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def peak_rss(argv, work, runs):
    """Median peak resident KiB, as GNU time reports it. The program is
    started by a small process, so no larger parent's memory counts."""
    out = os.path.join(work, 'rss')
    samples = []
    for _ in range(runs):
        subprocess.run(['/usr/bin/time', '-f', '%M', '-o', out] + argv, env=ENV, cwd='/',
                       check=True, stdout=subprocess.DEVNULL)
        with open(out) as f:
            samples.append(int(f.read().split()[-1]))
    return statistics.median(samples)


def wall(programs, reference, runs, env=ENV, before=None):
    """Runs the programs in turn, `runs` rounds, so that drift hits every
    program alike, each after before(name) where it is given. Returns, by
    program, the median time and the median of its ratios to the
    reference's time in the same round."""
    samples = {name: [] for name in programs}
    for _ in range(runs):
        for name, argv in programs.items():
            if before:
                before(name)
            samples[name].append(run_once(argv, env=env))
    ref = samples[reference]
    return {name: (statistics.median(s), statistics.median(a / b for a, b in zip(s, ref)))
            for name, s in samples.items()}


def versus(programs, ir, timing, reference):
    """The Markdown table of `programs`' instructions (`ir`) and times
    (from wall()), each also as a ratio to the reference's."""
    return ['| program | instructions | vs plain | median time | vs plain |',
            '|---|---:|---:|---:|---:|'] + [
        '| %s | %s | %.3f | %.2f ms | %.3f |' % (name, format(ir[name], ','),
                                                 ir[name] / ir[reference],
                                                 timing[name][0] * 1e3, timing[name][1])
        for name in programs]


def callgrind(argv, out):
    subprocess.run(['valgrind', '--tool=callgrind', '--callgrind-out-file=' + out] + argv,
                   env=ENV, cwd='/', check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return out


def annotate(out, inclusive):
    """Returns the total and the rows (instructions, function, object)."""
    text = subprocess.run(['callgrind_annotate', '--inclusive=' + inclusive,
                           '--threshold=100', out],
                          capture_output=True, text=True, check=True).stdout
    total = int(re.search(r'([\d,]+) \S+\s+PROGRAM TOTALS', text)[1].replace(',', ''))
    rows = []
    for line in text.splitlines():
        m = re.match(r'\s*([\d,]+) \([^)]*\)\s+(\S.*?) \[(.*)\]$', line)
        if m:
            rows.append((int(m[1].replace(',', '')), m[2], m[3]))
    return total, rows


def cost(rows, function):
    """The inclusive cost of a function, from annotate(out, 'yes')."""
    return max((c for c, name, _ in rows if name.endswith(':' + function)), default=0)


def machine():
    model = 'unknown processor'
    with open('/proc/cpuinfo') as f:
        for line in f:
            if line.startswith('model name'):
                model = line.split(':', 1)[1].strip()
                break
    return '%s, %d cores, Linux %s' % (model, os.cpu_count(), platform.release())
