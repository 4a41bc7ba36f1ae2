#!/usr/bin/env python3
"""Turns the lines of bench/run-matrix.sh into docs/benchmarks.md and a plot drawn by gnuplot."""
import os
import subprocess
import sys
import tempfile

SYSTEMS = ["korvel", "redis", "nchan"]
NAMES = {"korvel": "relay", "redis": "Redis", "nchan": "nginx-nchan"}


def read(path):
    rows = []
    with open(path) as lines:
        for line in lines:
            fields = dict(f.split("=", 1) for f in line.split() if "=" in f)
            rows.append(fields)
    return rows


def pick(rows, cell, **match):
    return [r for r in rows if r.get("cell") == cell and
            all(r.get(k) == str(v) for k, v in match.items())]


def number(row, key):
    try:
        return float(row[key])
    except (KeyError, ValueError):
        return None


def median(rows, key):
    values = sorted(v for v in (number(r, key) for r in rows) if v is not None)
    return values[len(values) // 2] if values else None


def rate(value):
    if value is None:
        return "failed"
    return f"{value / 1e6:.2f} M" if value >= 1e6 else f"{value / 1e3:.1f} k"


def loss(row):
    sent, missing = number(row, "sent"), number(row, "missing")
    clients = number(row, "clients")
    if not sent or missing is None or not clients:
        return "?"
    return f"{100 * missing / (sent * clients):.3f} %"


def generator(row):
    share = number(row, "generator_cpu")
    if share is None:
        return "?"
    return f"{share:.0%}" + (" **bound**" if share > 0.9 else "")


def latency(row):
    return "/".join(f"{number(row, k):.0f}" if number(row, k) is not None else "?"
                    for k in ("p50_us", "p99_us", "max_us"))


def ratio(a, b):
    return f"{a / b:.2f}×" if a and b else "–"


def max_rate_table(rows, out):
    out.append("| events | K | system | delivered/s | loss | p50/p99/max µs | "
               "server ns per delivery | generator CPU | relay ÷ Redis | relay ÷ nchan |")
    out.append("|---|---|---|---|---|---|---|---|---|---|")
    series = {}
    for payload in ("64", "1024"):
        for clients in ("1", "10", "100", "1000", "10000"):
            cells = {s: (pick(rows, "max", target=s, payload=payload, clients=clients) or [{}])[0]
                     for s in SYSTEMS}
            speeds = {s: number(cells[s], "delivered_per_s") for s in SYSTEMS}
            for s in SYSTEMS:
                series.setdefault((s, payload), []).append((clients, speeds[s]))
                row = cells[s]
                ratios = (ratio(speeds["korvel"], speeds["redis"]),
                          ratio(speeds["korvel"], speeds["nchan"])) if s == "korvel" else ("", "")
                out.append(f"| {payload} B | {clients} | {NAMES[s]} | {rate(speeds[s])} | "
                           f"{loss(row)} | {latency(row)} | "
                           f"{row.get('target_ns_per_delivery', '?')} | {generator(row)} | "
                           f"{ratios[0]} | {ratios[1]} |")
    return series


def fixed_rate_table(rows, out):
    out.append("| system | delivered/s | loss | p50/p99/max µs | server ns per delivery |")
    out.append("|---|---|---|---|---|")
    for s in SYSTEMS:
        row = (pick(rows, "rate", target=s) or [{}])[0]
        out.append(f"| {NAMES[s]} | {rate(number(row, 'delivered_per_s'))} | {loss(row)} | "
                   f"{latency(row)} | {row.get('target_ns_per_delivery', '?')} |")


def churn_table(rows, out):
    out.append("| K | fresh delivered/s | after 10,000 came and went | after ÷ fresh | "
               "relay ns per delivery, fresh / after |")
    out.append("|---|---|---|---|---|")
    for clients in ("1", "10"):
        fresh, after = (median(pick(rows, cell, clients=clients), "delivered_per_s")
                        for cell in ("churn-fresh", "churn-after"))
        costs = (median(pick(rows, cell, clients=clients), "target_ns_per_delivery")
                 for cell in ("churn-fresh", "churn-after"))
        cost = " / ".join("?" if c is None else f"{c:.0f}" for c in costs)
        out.append(f"| {clients} | {rate(fresh)} | {rate(after)} | {ratio(after, fresh)} | "
                   f"{cost} |")
    admit = (pick(rows, "churn-admit") or [{}])[0]
    first = next((v for k, v in admit.items() if k.startswith("first")), "?")
    last = next((v for k, v in admit.items() if k.startswith("last")), "?")
    out.append("")
    out.append(f"Admitting 10,000 clients one at a time, each kept: the round trip (connect, "
               f"request, answer) takes {first} µs for the first 100 and {last} µs for the last "
               f"100 (medians); the relay's CPU per admission is "
               f"{admit.get('server_first_p50_us', '?')} µs and "
               f"{admit.get('server_last_p50_us', '?')} µs.")


def idle_table(rows, out):
    out.append("| system | K | RSS base | RSS with K idle streaming clients | KiB per client | "
               "server CPU while idle |")
    out.append("|---|---|---|---|---|---|")
    for row in pick(rows, "idle") + pick(rows, "idle-scale"):
        out.append(f"| {NAMES[row.get('target', 'korvel')]} | {row.get('clients', '?')} | "
                   f"{row.get('rss_base_kib', '?')} KiB | {row.get('rss_kib', '?')} KiB | "
                   f"{row.get('kib_per_idle_client', '?')} | "
                   f"{row.get('idle_cpu_ms_per_s', '?')} ms/s |")


def nomatch_table(rows, out):
    out.append("| K | relay ns per datagram | datagrams dropped |")
    out.append("|---|---|---|")
    for row in pick(rows, "nomatch"):
        out.append(f"| {row.get('clients')} | {row.get('target_ns_per_datagram', '?')} | "
                   f"{row.get('dropped', '?')} |")


def plot(series, png):
    with tempfile.TemporaryDirectory() as work:
        plots = []
        for (system, payload), points in series.items():
            if not any(speed for _, speed in points):
                continue
            data = os.path.join(work, f"{system}-{payload}.dat")
            with open(data, "w") as f:
                for clients, speed in points:
                    if speed:
                        f.write(f"{clients} {speed}\n")
            plots.append(f"'{data}' using 1:2 with linespoints title '{NAMES[system]}, "
                         f"{payload} B'")
        if not plots:
            return  # a run without the maximum-rate cells keeps the last plot
        script = "\n".join([
            "set terminal pngcairo size 900,560" if has_cairo() else "set terminal png size 900,560",
            f"set output '{png}'",
            "set logscale xy", "set grid",
            "set xlabel 'streaming clients (K)'", "set ylabel 'delivered events per second'",
            "set key left top",
            "set title 'Fan-out on loopback, server on one core, load generator on the other'",
            "plot " + ", ".join(plots)])
        subprocess.run(["gnuplot"], input=script, text=True, check=True)


def has_cairo():
    probe = subprocess.run(["gnuplot", "-e", "set terminal"], capture_output=True, text=True)
    return "pngcairo" in probe.stdout + probe.stderr


def kept_sections(markdown, out):
    """The sections of the page that the report does not write (results of other benchmarks)."""
    if not os.path.exists(markdown):
        return []
    written = {line for line in out if line.startswith("## ")}
    kept, keep = [], False
    with open(markdown) as f:
        for line in f.read().rstrip("\n").split("\n"):
            if line.startswith("## "):
                keep = line not in written
                if keep:
                    kept.append("")
            if keep:
                kept.append(line)
    return kept


def main(results, markdown, png):
    rows = read(results)
    out = ["# Fan-out benchmark", "",
           "Produced by `bash bench/run-matrix.sh` (numbers from one run on this 2-core machine: "
           "server on CPU 0, `bench/loadgen.cpp` on CPU 1, loopback). Closed loop: at most 256 "
           "events in flight; loss counts the events a subscriber never got. \"Server ns per "
           "delivery\" is the server's CPU time (user and system) over the delivered events. "
           "\"bound\" marks cells where the load generator used more than 90 % of its core.", "",
           "## Maximum rate", ""]
    series = max_rate_table(rows, out)
    out += ["", "![delivered events per second against K](benchmarks.png)", "",
            "## 10,000 events per second, K = 100, 64 B", ""]
    fixed_rate_table(rows, out)
    out += ["", "## Churn (the relay, 64 B)", ""]
    churn_table(rows, out)
    out += ["", "## Memory per idle streaming client (and the relay's once-a-second walks)", ""]
    idle_table(rows, out)
    out += ["", "## A datagram that no filter accepts (the relay)", ""]
    nomatch_table(rows, out)
    scale = next((r for r in pick(rows, "scale") if "delivered_per_s" in r), {})
    scale.update(next((r for r in pick(rows, "scale") if "admissions" in r), {}))
    out += ["", "## Scale", "",
            f"{scale.get('clients', '?')} streaming clients at once: "
            f"{rate(number(scale, 'delivered_per_s'))} deliveries/s, loss {loss(scale)}, "
            f"then {scale.get('admissions', 'no')} more clients admitted (round trip "
            f"{next((v for k, v in scale.items() if k.startswith('last')), '?')} µs, relay CPU "
            f"{scale.get('server_last_p50_us', '?')} µs per admission, medians)."]
    host = (pick(rows, "host") or [{}])[0]
    out += ["", f"Event socket receive buffer granted by the host: {host.get('receive_buffer', '?')} "
            f"bytes (asked for 8 MiB; net.core.rmem_max is {host.get('rmem_max', '?')})."]
    out += kept_sections(markdown, out)
    with open(markdown, "w") as f:
        f.write("\n".join(out) + "\n")
    plot(series, os.path.abspath(png))


if __name__ == "__main__":
    main(*sys.argv[1:4])
