#!/usr/bin/env python3
"""Turns the lines of bench/run-matrix.sh into docs/benchmarks.md and a plot drawn by gnuplot.

Every cell the page shows must have its figures: a cell that failed in the last run of its group,
did not run, or lacks a figure keeps the page from being written (exit status 1), with each such
cell named, so that the page never shows "failed" or "?" in place of a result.
"""
import os
import re
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


# The group of bench/run-matrix.sh that measures each cell, to say what to run again.
GROUPS = {"max": "max", "rate": "rate", "idle": "idle", "churn-admit": "churn",
          "churn-fresh": "churn", "churn-after": "churn", "nomatch": "nomatch",
          "selective": "selective", "scale": "scale",
          "idle-scale": "scale", "host": "host", "sse": "sse", "idle-sse": "sse", "ring": "ring",
          "journal-defaults": "journal", "no-browser": "journal", "ring-only": "journal",
          "ring-journal": "journal", "journal-fill": "journal", "start-empty": "journal",
          "start-full": "journal", "start-cold": "journal", "sigterm-ready": "journal",
          "restarts": "journal"}
# Counts that a cell which measured anything cannot have at zero.
POSITIVE = {"clients", "sent", "seconds", "delivered_per_s", "admissions"}
RUN = ("clients", "sent", "missing", "delivered_per_s", "p50_us", "p99_us", "max_us",
       "target_ns_per_delivery", "generator_cpu")
IDLE = ("clients", "rss_base_kib", "rss_kib", "kib_per_idle_client", "idle_cpu_ms_per_s")

problems = []  # (group, what) for each cell that keeps the page from being written


def describe(cell, match):
    return ", ".join([cell] + [f"{k}={v}" for k, v in match.items() if k != "group"])


def check(row, keys, name):
    """Notes what row lacks of keys; a key ending in "*" stands for any key that begins so."""
    if "failed" in row:
        group = row.get("group", GROUPS.get(row.get("cell"), "?"))
        problems.append((group, f"{name}: failed in the group's last run ({row['failed']})"))
        return
    lacking = []
    for key in keys:
        found = [k for k in row if k.startswith(key[:-1])] if key.endswith("*") else [key]
        values = [number(row, k) for k in found]
        if not any(v is not None and (v > 0 or k not in POSITIVE) for k, v in zip(found, values)):
            lacking.append(key)
    if lacking:
        group = row.get("group", GROUPS.get(row.get("cell"), "?"))
        problems.append((group, f"{name}: its line has no figure for {', '.join(lacking)}"))


def expect(rows, cell, keys, **match):
    """The rows of a cell the page shows (as pick), each checked for keys; none is noted too."""
    found = pick(rows, cell, **match)
    name = describe(cell, match)
    if not found:
        group = match.get("group", GROUPS.get(cell, "?"))
        problems.append((group, f"{name}: no result (the group has not run with these results)"))
    for row in found:
        check(row, keys, name)
    return found


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
            cells = {s: (expect(rows, "max", RUN, target=s, payload=payload, clients=clients)
                         or [{}])[0]
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
        row = (expect(rows, "rate", RUN, target=s) or [{}])[0]
        out.append(f"| {NAMES[s]} | {rate(number(row, 'delivered_per_s'))} | {loss(row)} | "
                   f"{latency(row)} | {row.get('target_ns_per_delivery', '?')} |")


def churn_table(rows, out):
    out.append("| K | fresh delivered/s | after 10,000 came and went | after ÷ fresh | "
               "relay ns per delivery, fresh / after |")
    out.append("|---|---|---|---|---|")
    for clients in ("1", "10"):
        for cell in ("churn-fresh", "churn-after"):
            expect(rows, cell, ("delivered_per_s", "target_ns_per_delivery"), clients=clients)
        fresh, after = (median(pick(rows, cell, clients=clients), "delivered_per_s")
                        for cell in ("churn-fresh", "churn-after"))
        costs = (median(pick(rows, cell, clients=clients), "target_ns_per_delivery")
                 for cell in ("churn-fresh", "churn-after"))
        cost = " / ".join("?" if c is None else f"{c:.0f}" for c in costs)
        out.append(f"| {clients} | {rate(fresh)} | {rate(after)} | {ratio(after, fresh)} | "
                   f"{cost} |")
    admit = (expect(rows, "churn-admit", ("first*", "last*", "server_first_p50_us",
                                          "server_last_p50_us")) or [{}])[0]
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
    shown = [expect(rows, "idle", IDLE, target=s) for s in SYSTEMS] + \
        [expect(rows, "idle-scale", IDLE)]
    for row in sum(shown, []):
        out.append(f"| {NAMES[row.get('target', 'korvel')]} | {row.get('clients', '?')} | "
                   f"{row.get('rss_base_kib', '?')} KiB | {row.get('rss_kib', '?')} KiB | "
                   f"{row.get('kib_per_idle_client', '?')} | "
                   f"{row.get('idle_cpu_ms_per_s', '?')} ms/s |")


def nomatch_table(rows, out):
    out.append("| K | relay ns per datagram | datagrams dropped |")
    out.append("|---|---|---|")
    for clients in ("1", "10", "100", "1000", "10000"):
        expect(rows, "nomatch", ("target_ns_per_datagram", "dropped"), clients=clients)
    for row in pick(rows, "nomatch"):
        out.append(f"| {row.get('clients')} | {row.get('target_ns_per_datagram', '?')} | "
                   f"{row.get('dropped', '?')} |")


def selective_table(rows, out):
    out.append("| K | relay ns per datagram, wanted by none | wanted by one | delivered | "
               "datagrams dropped |")
    out.append("|---|---|---|---|---|")
    for k in ("1", "100", "1000", "10000"):
        none = (expect(rows, "selective", ("target_ns_per_datagram", "dropped"), clients=k,
                       selective="none") or [{}])[0]
        one = (expect(rows, "selective", ("target_ns_per_datagram", "dropped", "delivered"),
                      clients=k, selective="one") or [{}])[0]
        out.append(f"| {k} | {none.get('target_ns_per_datagram', '?')} | "
                   f"{one.get('target_ns_per_datagram', '?')} | {one.get('delivered', '?')} of "
                   f"{one.get('datagrams', '?')} | {none.get('dropped', '?')}, "
                   f"{one.get('dropped', '?')} |")


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
            rounds = {(t, flag): expect(rows, "sse", RUN + ("malformed",), target=t, sse=flag,
                                        payload=payload, clients=clients)
                      for t, flag, _ in SSE_ANSWERS}
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
    for flag in ("1", "0"):
        expect(rows, "idle-sse", IDLE, sse=flag)
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
    for payload in ("64", "1024"):
        expect(rows, "ring", ("rss_base_kib", "rss_full_kib", "rss_twice_kib", "dropped"),
               payload=payload)
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


OPS_VARIANTS = [("plain", "as by default"), ("metrics", "scraped once a second"),
                ("lists", "1,000-network allow-lists")]


def spread(rows, key, show):
    """The median of the rounds, and their lowest and highest value in brackets."""
    values = sorted(v for v in (number(r, key) for r in rows) if v is not None)
    if not values:
        return "failed"
    middle = show(values[len(values) // 2])
    return middle + (f" ({show(values[0])} – {show(values[-1])})" if len(values) > 1 else "")


def half_range(values):
    """How far the rounds lie from their middle: half their range, as a share of the median."""
    values = sorted(values)
    return 50 * (values[-1] - values[0]) / values[len(values) // 2] if len(values) > 1 else None


def paired(runs, plain, key):
    """A variant against the plain relay of the same round, in %, in the rounds' order."""
    base = {r.get("round"): number(r, key) for r in plain}
    return [100 * (number(r, key) / base[r.get("round")] - 1) for r in runs
            if number(r, key) is not None and base.get(r.get("round"))]


def against_plain(differences):
    if not differences:
        return "–"
    middle = sorted(differences)[len(differences) // 2]
    return f"{middle:+.1f} % (" + ", ".join(f"{d:+.1f}" for d in differences) + ")"


def beyond_noise(differences, noise):
    """All rounds on one side of the plain relay, and their median farther than its own spread."""
    if len(differences) < 2 or noise is None:
        return False
    middle = sorted(differences)[len(differences) // 2]
    return (all(d > 0 for d in differences) or all(d < 0 for d in differences)) and \
        abs(middle) > noise


def ops_table(rows, out):
    keys = ("delivered_per_s", "target_ns_per_delivery")
    out.append("| K | relay | delivered/s, median (min – max) | server ns per delivery, median "
               "(min – max) | delivered/s vs plain, median (round by round) | server ns vs plain, "
               "median (round by round) | loss | generator CPU | scrapes |")
    out.append("|---|---|---|---|---|---|---|---|---|")
    beyond = []
    for clients in ("1", "100", "1000"):
        for variant, _ in OPS_VARIANTS:
            for turn in ("0", "1", "2"):
                expect(rows, variant, RUN + (("scrapes",) if variant == "metrics" else ()),
                       group="ops", clients=clients, round=turn)
        rounds = {v: sorted(pick(rows, v, group="ops", clients=clients),
                            key=lambda r: r.get("round", ""))
                  for v, _ in OPS_VARIANTS}
        plain = rounds["plain"]
        noise = {k: half_range([v for v in (number(r, k) for r in plain) if v is not None])
                 for k in keys}
        for variant, name in OPS_VARIANTS:
            runs = rounds[variant]
            row = median_row(runs, "target_ns_per_delivery")
            if variant == "plain":
                compared = [f"spread ± {noise[k]:.1f} %" if noise[k] is not None else "–"
                            for k in keys]
            else:
                differences = {k: paired(runs, plain, k) for k in keys}
                compared = [against_plain(differences[k]) for k in keys]
                beyond += [f"{name}, K = {clients}, {label}: {against_plain(differences[k])} "
                           f"against a spread of ± {noise[k]:.1f} %"
                           for k, label in zip(keys, ("delivered/s", "server ns"))
                           if beyond_noise(differences[k], noise[k])]
            scrapes = "/".join(r.get("scrapes", "?") for r in runs) if variant == "metrics" else ""
            out.append(f"| {clients} | {name} | {spread(runs, keys[0], rate)} | "
                       f"{spread(runs, keys[1], lambda v: f'{v:.0f}')} | {compared[0]} | "
                       f"{compared[1]} | {loss(row)} | {generator(row)} | {scrapes} |")
    out += ["", "Differences beyond the noise (every round on the same side of the plain relay, "
            "and the median difference larger than the plain relay's own spread): " +
            ("; ".join(beyond) if beyond else "none") + "."]


def scrape_table(rows, out):
    out.append("| events to every client | scrapes answered | scrape, median | slowest | text | "
               "event latency p50/p99/max µs | relay CPU |")
    out.append("|---|---|---|---|---|---|---|")
    for cell in ("scrape-quiet", "scrape-events"):
        times = (expect(rows, cell + "-times", ("bytes",), group="ops") or [{}])[0]
        load = (expect(rows, cell, ("idle_cpu_ms_per_s",) if cell == "scrape-quiet" else
                       RUN + ("seconds",), group="ops") or [{}])[0]
        ms = sorted(1000 * float(t) for t in times.get("scrape_s", "").split(",") if t)
        if times and not ms:
            problems.append(("ops", f"{cell}: no scrape was answered"))
        sent, seconds = number(load, "sent"), number(load, "seconds")
        if cell == "scrape-quiet":
            events, latencies = "none", ""
            cpu = f"{load.get('idle_cpu_ms_per_s', '?')} ms/s"
        else:
            events = f"{sent / seconds:.0f} a second" if sent and seconds else "?"
            latencies = latency(load)
            cpu = f"{load.get('target_ns_per_delivery', '?')} ns per delivery"
        shown = ((f"{ms[len(ms) // 2]:.2f} ms", f"{ms[-1]:.2f} ms") if ms else ("?", "?"))
        out.append(f"| {events} | {len(ms)} | {shown[0]} | {shown[1]} | "
                   f"{times.get('bytes', '?')} bytes | {latencies} | {cpu} |")


def list_check_table(rows, out):
    out.append("| networks | sender | ns per check, median (min – max) |")
    out.append("|---|---|---|")
    for networks in ("1", "1000"):
        for ipv in ("4", "6"):
            runs = expect(rows, "list-check", ("ns_per_check",), group="ops",
                          networks=networks, ipv=ipv)
            out.append(f"| {int(networks):,} | IPv{ipv} | "
                       f"{spread(runs, 'ns_per_check', lambda v: f'{v:.1f}')} |")


def by_round(rows, cell, keys, rounds, **match):
    """The row of cell in each round (as expect, in the group journal); {} for a missing one."""
    return [(expect(rows, cell, keys, group="journal", round=r, **match) or [{}])[0]
            for r in rounds]


def middle(values):
    known = sorted(v for v in values if v is not None)
    return known[len(known) // 2] if known else None


def figures(values, show):
    return " / ".join("?" if v is None else show(v) for v in values)


JOURNAL_ROUNDS = ("0", "1", "2")
JOURNAL_GOAL = 1.05  # the relay's CPU per delivery with ring and journal over --no-browser


def journal_table(rows, out):
    out.append("| events | K | relay ns per delivery, `--no-browser`, by round | defaults and "
               "journal, by round | ratio, by round | median ratio | spread of the "
               "`--no-browser` rounds | delivered/s, median, `--no-browser` / defaults and "
               "journal | loss, worst run |")
    out.append("|---|---|---|---|---|---|---|---|---|")
    above, kept = [], []
    for payload in ("64", "1024"):
        for clients in ("1", "10", "100", "1000", "10000"):
            off = by_round(rows, "no-browser", RUN, JOURNAL_ROUNDS, payload=payload,
                           clients=clients)
            on = by_round(rows, "journal-defaults", RUN + ("journal_files", "journal_kib"),
                          JOURNAL_ROUNDS, payload=payload, clients=clients)
            kept += on
            costs = [[number(r, "target_ns_per_delivery") for r in runs] for runs in (off, on)]
            ratios = [b / a if a and b else None for a, b in zip(*costs)]
            median_ratio = middle(ratios)
            if median_ratio is None or median_ratio > JOURNAL_GOAL:
                above.append(f"{payload} B, K = {clients}: "
                             f"{'?' if median_ratio is None else f'{median_ratio:.3f}'}× "
                             f"({figures(ratios, lambda v: f'{v:.3f}')})")
            speeds = [rate(middle(number(r, "delivered_per_s") for r in runs))
                      for runs in (off, on)]
            losses = [number(r, "missing") / (number(r, "sent") * number(r, "clients"))
                      for r in off + on if number(r, "sent") and number(r, "clients") and
                      number(r, "missing") is not None]
            worst = f"{100 * max(losses):.3f} %" if losses else "?"
            noise = half_range([c for c in costs[0] if c is not None])
            out.append(f"| {payload} B | {clients} | {figures(costs[0], lambda v: f'{v:.0f}')} | "
                       f"{figures(costs[1], lambda v: f'{v:.0f}')} | "
                       f"{figures(ratios, lambda v: f'{v:.3f}')} | "
                       f"{'?' if median_ratio is None else f'**{median_ratio:.3f}×**'} | "
                       f"{'?' if noise is None else f'± {noise:.1f} %'} | "
                       f"{speeds[0]} / {speeds[1]} | {worst} |")
    out.append("")
    out.append(f"Median ratio at most {JOURNAL_GOAL}× in every cell: " +
               ("met." if not above else "not met in " + "; ".join(above) + "."))
    files = [number(r, "journal_files") for r in kept if number(r, "journal_files") is not None]
    kib = [number(r, "journal_kib") for r in kept if number(r, "journal_kib") is not None]
    if files and kib:
        def span(values, show):
            low, high = show(min(values)), show(max(values))
            return low if low == high else f"{low} to {high}"
        out += ["", "The journal's folder after each of these runs held " +
                span(files, lambda v: f"{v:.0f}") + " files, " +
                span(kib, lambda v: f"{v / 1024:.1f}") + " MiB on disk" +
                (": the relay kept no journal." if max(files) == 0 else ".")]


def journal_own_table(rows, out):
    out.append("| round | relay ns per event, ring only | ring and journal | the journal's own |")
    out.append("|---|---|---|---|")
    rounds = ("0", "1", "2", "3", "4")
    runs = [by_round(rows, cell, RUN + ("target_cpu_s",), rounds, payload="1024", clients="10")
            for cell in ("ring-only", "ring-journal")]
    per_event = [[number(r, "target_cpu_s") * 1e9 / number(r, "sent")
                  if number(r, "target_cpu_s") is not None and number(r, "sent") else None
                  for r in cell] for cell in runs]
    own = [b - a if a is not None and b is not None else None for a, b in zip(*per_event)]
    def show(value):
        return "?" if value is None else f"{value:.0f}"
    for turn, (a, b, d) in enumerate(zip(*per_event, own)):
        out.append(f"| {turn + 1} | {show(a)} | {show(b)} | {'?' if d is None else f'{d:+.0f}'} |")
    base, journal, difference = middle(per_event[0]), middle(per_event[1]), middle(own)
    share = f" ({100 * difference / base:+.1f} %)" if difference is not None and base else ""
    out.append(f"| median | {show(base)} | {show(journal)} | "
               f"{'?' if difference is None else f'**{difference:+.0f}**'}{share} |")


RESTART_ROUNDS = ("0", "1", "2", "3", "4")
STARTS = [("start-empty", "an empty folder"),
          ("start-full", "the full journal, in the page cache"),
          ("start-cold", "the full journal, its files dropped from the page cache")]


def restart_tables(rows, out):
    filled = (expect(rows, "journal-fill", ("sent", "dropped", "replay_events", "journal_files",
                                            "journal_mib"), group="journal") or [{}])[0]
    sent = number(filled, "sent")
    out.append(f"Filled with {'?' if sent is None else f'{sent:,.0f}'} events of "
               f"{filled.get('payload', '?')} B "
               f"({filled.get('dropped', '?')} dropped by the host): the ring then held "
               f"{filled.get('replay_events', '?')} events, and the journal's folder after the "
               f"SIGTERM {filled.get('journal_files', '?')} files, "
               f"{filled.get('journal_mib', '?')} MiB on disk.")
    out += ["", "| start on | ms from the fork to READY=1, by round | median | events in the ring "
            "once ready |", "|---|---|---|---|"]
    for cell, name in STARTS:
        runs = by_round(rows, cell, ("start_ms", "replay_events"), RESTART_ROUNDS)
        ms = [number(r, "start_ms") for r in runs]
        held = sorted({r.get("replay_events", "?") for r in runs})
        out.append(f"| {name} | {figures(ms, lambda v: f'{v:.1f}')} | "
                   f"{'?' if middle(ms) is None else f'**{middle(ms):.1f}**'} | "
                   f"{' – '.join(held)} |")
    runs = by_round(rows, "sigterm-ready", ("exit_ms", "start_ms", "ready_ms", "served_ms"),
                    RESTART_ROUNDS)
    load = next((r for r in runs if r), {})
    out += ["", f"SIGTERM to serving again, the ports held as systemd's socket unit holds them, "
            f"{load.get('rate', '?')} events of {load.get('payload', '?')} B a second and "
            f"{load.get('clients', '?')} clients reading, half of them event-stream ones (ms "
            f"from the signal, but the start: from the fork):", "",
            "| round | the relay exited | the next one's start, fork to READY=1 | READY=1 | "
            "every client served again |", "|---|---|---|---|---|"]
    keys = ("exit_ms", "start_ms", "ready_ms", "served_ms")
    for turn, row in enumerate(runs):
        out.append(f"| {turn + 1} | " + " | ".join(row.get(k, "?") for k in keys) + " |")
    medians = [middle(number(r, k) for r in runs) for k in keys]
    out.append("| median | " + " | ".join("?" if v is None else f"**{v:.1f}**" for v in medians)
               + " |")


# A value the page must not show: "?" or "failed" standing alone, or a table cell of just "–".
UNKNOWN = re.compile(r"(?:^|[\s|/(])(\?|failed)(?=[\s|/),]|$)|\|\s*(–)\s*\|")


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


def refuse(found, results, markdown):
    """Names the cells without a result, a few per group, and ends with status 1."""
    by_group = {}
    for group, what in dict.fromkeys(found):
        by_group.setdefault(group, []).append(what)
    lines = [f"report.py: {markdown} not written: these cells have no result to show."]
    for group, whats in by_group.items():
        where = f"group {group}" if group else "report.py"
        lines += [f"  {where}: {what}" for what in whats[:3]]
        if len(whats) > 3:
            lines.append(f"  {where}: and {len(whats) - 3} more")
    named = " ".join(g for g in by_group if g)
    if named:
        lines.append(f"The results are in {results}; run those groups again: "
                     f"CELLS=\"{named}\" bash bench/run-matrix.sh")
    print(*lines, sep="\n", file=sys.stderr)
    sys.exit(1)


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
    out += ["", "## Memory per idle streaming client (and the relay's once-a-second walks)", "",
            "The base is the server's resident memory (VmRSS) once it has answered a first client, "
            "seen it go and had a second and a half to settle; with K idle streaming clients it is "
            "read five and a half seconds after the last came, and the server's CPU is taken over "
            "those seconds. The SSE and ring tables below read their base the same way.", ""]
    idle_table(rows, out)
    out += ["", "## A datagram that no filter accepts (the relay)", ""]
    nomatch_table(rows, out)
    out += ["", "## Clients with filters of their own (the relay)", "",
            "Each of K clients has a TextFilter no other has; a datagram carries a word that no "
            "client holds, or the filter of exactly one client. The relay's main thread's CPU per "
            "datagram, 20,000 datagrams, 64 B.", ""]
    selective_table(rows, out)
    scales = expect(rows, "scale", ())
    scale = next((r for r in scales if "delivered_per_s" in r), {})
    scale.update(next((r for r in scales if "admissions" in r), {}))
    if scales and not any("failed" in r for r in scales):
        check(scale, RUN + ("admissions", "last*", "server_last_p50_us"), "scale")
    out += ["", "## Scale", "",
            f"{scale.get('clients', '?')} streaming clients at once: "
            f"{rate(number(scale, 'delivered_per_s'))} deliveries/s, loss {loss(scale)}, "
            f"then {scale.get('admissions', 'no')} more clients admitted (round trip "
            f"{next((v for k, v in scale.items() if k.startswith('last')), '?')} µs, relay CPU "
            f"{scale.get('server_last_p50_us', '?')} µs per admission, medians)."]
    host = (expect(rows, "host", ("receive_buffer", "rmem_max")) or [{}])[0]
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
    out += ["", "## Metrics port and allow-lists (the relay)", "",
            "Maximum rate, 64 B events, each cell on a fresh relay: as it runs by default; with "
            "`--metrics` and scraped once a second from the load generator's core while the cell "
            "runs (\"scrapes\" counts those answered in each round); and with `--allow-senders` and "
            "`--allow-clients` both given the same 1,000 networks (drawn from a fixed seed, half "
            "IPv4, half IPv6, 127.0.0.0/28 among them), so that every datagram and every "
            "connection is checked. The three in turn, three rounds, their order turned each "
            "round; the table gives each one's median round and the lowest and highest in "
            "brackets. \"vs plain\" sets each round's figure against the plain relay's in the "
            "same round, which ran right beside it: the median of the three differences, and "
            "each in brackets. Beside the plain relay stands how far its own rounds lie apart "
            "(half their range over their median), the noise that a difference must beat; a cell "
            "disturbed by other work on the shared machine shows as one round far from the other "
            "two. Where the load generator is bound, delivered/s is partly its own rate; the "
            "server's CPU per delivery is the figure to compare.", ""]
    ops_table(rows, out)
    out += ["", "### A scrape with 19,000 clients", "",
            "A fresh relay started with `--metrics` and 19,000 streaming clients (multipart); once "
            "all of them stream, 20 scrapes a fifth of a second apart, each timed by curl "
            "(`time_total`, from connecting to the last byte) on the load generator's core. A "
            "scrape formats the text on the relay's thread and walks the streaming sessions once "
            "to count them by kind. First with no events (the relay CPU is its whole use while "
            "idle, scrapes and its once-a-second walks included), then with a few events a second "
            "to every client: an event is then 19,000 writes on the same thread, and a scrape "
            "that comes meanwhile waits for them, as every other handler does. So does one that "
            "comes while the relay sends its keep-alive parts, every five seconds, to every "
            "client: the slowest scrape without events.", ""]
    scrape_table(rows, out)
    out += ["", "### One check against a list", "",
            "`bench/network_list_bench.cpp` (Google Benchmark), five runs on the load generator's "
            "core: one address against a list of 1 and of 1,000 networks (half IPv4, half IPv6), "
            "for random IPv4 and IPv6 senders.", ""]
    list_check_table(rows, out)
    out += ["", "## The replay ring and the journal (the relay)", "",
            "What the ring and the journal cost together: each broadcast cell of the maximum-rate "
            "table (multipart clients that all ask for every event), each run on a relay of its own "
            "that has first run 3 s under the same load, unmeasured, so that its ring is full and "
            "its memory or journal files are in use again rather than being taken (a fresh relay "
            "spends its first second or so taking them; both variants are warmed alike), "
            "as it runs by default (ring on) with `STATE_DIRECTORY` naming a fresh, empty folder "
            "on the build's disk, not a tmpfs, so that it keeps its journal there too; and with "
            "`--no-browser`, which keeps neither. The two in turn, which goes first turned each "
            "round, three rounds that each go through every cell. The ratio is the relay's CPU "
            "per delivery with ring and journal over that without, in the same round; the goal is "
            "a median of at most 1.05× in every cell. Beside it stands how far the `--no-browser` "
            "rounds lie apart (half their range over their median): the noise of this shared "
            "machine, which a ratio must beat to tell anything.", ""]
    journal_table(rows, out)
    out += ["", "### The journal alone", "",
            "The relay with its ring only (no `STATE_DIRECTORY`) and with ring and journal, "
            "K = 10, 1 KiB events at the maximum rate, each run on a relay warmed as above, in turn, five "
            "rounds. Per event: the relay's CPU (user and system, every thread) over the events "
            "sent; the journal's own is the difference within each round, and its median.", ""]
    journal_own_table(rows, out)
    out += ["", "### Starting on a full journal, and SIGTERM to serving again", "",
            "`bench/journal_restart.py`, the relay on CPU 0 as a service (`-s`), the script on "
            "CPU 1 playing systemd's notify socket: READY=1 comes once every port serves. A relay "
            "with a fresh folder is filled with more events than its ring holds (each burst of 64 "
            "sent once the last was read), then stopped with SIGTERM. Then, in turn, five rounds: "
            "a relay started on an empty folder, on that journal, and on it once its files were "
            "written back and dropped from the page cache (as after a reboot), each measured from "
            "its fork to READY=1 and asked on its metrics port what its ring holds. Then the "
            "ports are held by the script as systemd's socket unit holds them, events flow and "
            "multipart and event-stream clients read, reconnecting at once when their "
            "connection ends (the event-stream ones with their Last-Event-ID); the relay gets "
            "SIGTERM, and the next one starts on the same journal the moment it has exited, as "
            "`Restart=always` would start it.", ""]
    restart_tables(rows, out)
    # What the checks of the cells may have missed: a value shown as "?", "failed" or "–".
    if not problems:
        for line in out:
            shown = UNKNOWN.search(line)
            if shown:
                problems.append((None, f"the page would show {shown.group(1) or shown.group(2)!r} "
                                       f"in: {line}"))
    if problems:
        refuse(problems, results, markdown)
    out += kept_sections(markdown, out)
    with open(markdown, "w") as f:
        f.write("\n".join(out) + "\n")
    plot(series, os.path.abspath(png))


if __name__ == "__main__":
    main(*sys.argv[1:4])
