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


def median_row(rows, key):
    """The row whose value of key is the median, so that its other figures go with it."""
    measured = sorted((r for r in rows if number(r, key) is not None), key=lambda r: number(r, key))
    return measured[len(measured) // 2] if measured else {}


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


SSE_ANSWERS = [("korvel", "1", "relay, SSE"), ("korvel", "0", "relay, multipart"),
               ("nchan", "1", "nginx-nchan, EventSource")]


def sse_table(rows, out):
    out.append("| events | K | answer | delivered/s | loss | malformed | p50/p99/max µs | "
               "server ns per delivery | generator CPU | SSE ÷ multipart | SSE ÷ nchan | "
               "server ns per delivery, SSE ÷ multipart |")
    out.append("|---|---|---|---|---|---|---|---|---|---|---|---|")
    shortfalls = {"multipart": [], "nchan": []}
    for payload in ("64", "1024"):
        for clients in ("100", "1000", "10000"):
            rounds = {(t, flag): pick(rows, "sse", target=t, sse=flag, payload=payload,
                                      clients=clients) for t, flag, _ in SSE_ANSWERS}
            cells = {key: median_row(runs, "delivered_per_s") for key, runs in rounds.items()}
            speeds = {key: number(row, "delivered_per_s") for key, row in cells.items()}
            sse, parts, nchan = (speeds[(t, flag)] for t, flag, _ in SSE_ANSWERS)
            for target, against, goal in (("multipart", parts, 0.9), ("nchan", nchan, 10)):
                if not sse or not against or sse / against < goal:
                    shortfalls[target].append(f"{payload} B, K = {clients}: "
                                              f"{ratio(sse, against)}")
            for t, flag, name in SSE_ANSWERS:
                row = cells[(t, flag)]
                costs = [number(cells[(t, flag)], "target_ns_per_delivery")
                         for t, flag, _ in SSE_ANSWERS[:2]]
                ratios = ((ratio(sse, parts), ratio(sse, nchan), ratio(*costs))
                          if (t, flag) == ("korvel", "1") else ("", "", ""))
                spread = sorted(number(r, "delivered_per_s") or 0 for r in rounds[(t, flag)])
                shown = rate(speeds[(t, flag)])
                if len(spread) > 1:
                    shown += f" ({rate(spread[0])} – {rate(spread[-1])})"
                out.append(f"| {payload} B | {clients} | {name} | {shown} | "
                           f"{loss(row)} | {row.get('malformed', '?')} | {latency(row)} | "
                           f"{row.get('target_ns_per_delivery', '?')} | {generator(row)} | "
                           f"{ratios[0]} | {ratios[1]} | {ratios[2]} |")
    out.append("")
    for target, goal in (("multipart", "0.9×"), ("nchan", "10×")):
        missed = shortfalls[target]
        out.append(f"SSE at least {goal} {target} in every cell: " +
                   ("met." if not missed else "not met in " + "; ".join(missed) + "."))
        out.append("")


def sse_idle_table(rows, out):
    out.append("| answer | K | RSS base | RSS with K idle streaming clients | KiB per client | "
               "server CPU while idle |")
    out.append("|---|---|---|---|---|---|")
    per_client = {}
    for row in pick(rows, "idle-sse"):
        name = "SSE" if row.get("sse") == "1" else "multipart"
        per_client[name] = number(row, "kib_per_idle_client")
        out.append(f"| {name} | {row.get('clients', '?')} | {row.get('rss_base_kib', '?')} KiB | "
                   f"{row.get('rss_kib', '?')} KiB | {row.get('kib_per_idle_client', '?')} | "
                   f"{row.get('idle_cpu_ms_per_s', '?')} ms/s |")
    sse, parts = per_client.get("SSE"), per_client.get("multipart")
    if sse is not None and parts is not None:
        out += ["", f"An idle SSE client costs {sse - parts:+.2f} KiB beside a multipart one "
                f"(target: at most 0.5 KiB more): {'met' if sse - parts <= 0.5 else 'not met'}."]


RING_EVENTS = 262144
RING_TEXT_BYTES = 64 << 20  # the ring also lets go of its oldest events past this much text


def ring_table(rows, out):
    out.append("| events | RSS with no client | after 262,144 events | after 524,288 | "
               "growth | events held | bytes per event held | datagrams dropped |")
    out.append("|---|---|---|---|---|---|---|---|")
    for row in pick(rows, "ring"):
        base, full = number(row, "rss_base_kib"), number(row, "rss_full_kib")
        payload = number(row, "payload")
        held = min(RING_EVENTS, RING_TEXT_BYTES // int(payload)) if payload else None
        growth, per_event = "?", "?"
        if base is not None and full is not None and held:
            growth = f"{(full - base) / 1024:.1f} MiB"
            per_event = f"{(full - base) * 1024 / held:.0f}"
        out.append(f"| {row.get('payload', '?')} B | {row.get('rss_base_kib', '?')} KiB | "
                   f"{row.get('rss_full_kib', '?')} KiB | {row.get('rss_twice_kib', '?')} KiB | "
                   f"{growth} | {f'{held:,}' if held else '?'} | {per_event} | "
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
    out += ["", "## Server-Sent Events", "",
            "Browsers' streams, each cell on a fresh server, in the same run: the relay's SSE "
            "answer (`Accept: text/event-stream`), its multipart answer measured right beside it, "
            "and nchan's EventSource subscriber, on the same channel as above. Every subscriber "
            "parses the whole stream: each event needs one id and one data line, whose text is the "
            "JSON object's \"text\" (the relay) or the message itself (nchan); \"malformed\" counts "
            "the events that broke that framing. Both of the relay's answers are asked for with "
            "the same query (`?TextFilter=EV`) as its other cells, in turn, three rounds: the "
            "table gives each one's median round (and the lowest and highest rate in brackets). "
            "Where the load generator is bound, the rate is partly its own; the relay's CPU per "
            "delivery is compared as well.", ""]
    sse_table(rows, out)
    out += ["### Memory per idle client, SSE and multipart (the relay)", ""]
    sse_idle_table(rows, out)
    out += ["", "### The relay's replay ring", "",
            "A fresh relay with its default ring (262,144 events) and no client gets 262,144 "
            "events in bursts it can follow (none dropped), then as many again, which the ring "
            "must hold without growing; VmRSS is read before, and after each. The ring also lets "
            "go of its oldest events past 64 MiB of event text, so it holds 65,536 events of "
            "1 KiB; bytes per event are the growth over the events it holds.", ""]
    ring_table(rows, out)
    out += kept_sections(markdown, out)
    with open(markdown, "w") as f:
        f.write("\n".join(out) + "\n")
    plot(series, os.path.abspath(png))


if __name__ == "__main__":
    main(*sys.argv[1:4])
