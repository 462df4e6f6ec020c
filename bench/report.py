#!/usr/bin/python3
"""Writes docs/PERFORMANCE.md and docs/performance-scale.png from one bench run's results.

usage: report.py RESULTS_DIR DOCS_DIR
Every figure is a ratio against its baseline measured in the same run (medians of the rounds).
"""
import json
import os
import statistics
import subprocess
import sys


def kv_lines(path, prefix):
    rows = []
    if not os.path.exists(path):
        return rows
    for line in open(path):
        parts = line.split()
        if not parts or parts[0] != prefix:
            continue
        row = {}
        for p in parts[1:]:
            if "=" in p:
                k, v = p.split("=", 1)
                try:
                    row[k] = float(v)
                except ValueError:
                    row[k] = v
        rows.append(row)
    return rows


def codec_results(path):
    """name -> (cpu ns per message, allocations per message), medians of the repetitions."""
    out = {}
    if not os.path.exists(path):
        return out
    for b in json.load(open(path))["benchmarks"]:
        if b.get("aggregate_name", "median") != "median" or b.get("error_occurred"):
            continue
        name = b.get("run_name", b["name"])
        scale = {"ns": 1, "us": 1e3, "ms": 1e6}[b.get("time_unit", "ns")]
        out[name] = (b["cpu_time"] * scale, b.get("allocs_per_msg", 0.0))
    return out


def fmt_rate(ns):
    return "%.0f k/s" % (1e6 / ns) if ns else "-"


def verdict(ok):
    return "met" if ok else "**missed**"


def main():
    res, docs = sys.argv[1], sys.argv[2]
    machine = {}
    for row in kv_lines(os.path.join(res, "machine.txt"), "machine"):
        machine.update(row)
    lines = []
    w = lines.append
    w("# Performance")
    w("")
    w("Written by `make bench` (`scripts/bench.sh`); do not edit by hand. Every figure is a ratio")
    w("against its baseline measured in the same run, on the same machine, alternating where the")
    w("baseline is another process. Medians of the rounds. Build: RelWithDebInfo (`-O2 -g`), the")
    w("peer codec (Open vSwitch %s) with its own `-O2 -g`." % "3.1")
    w("")
    w("Machine: %d cores (`nproc`), %s; Linux %s; gcc %s; date %s; commit %s." % (
        int(machine.get("nproc", 0)), str(machine.get("cpu", "?")).replace("_", " "),
        machine.get("kernel", "?"), machine.get("compiler", "?"), machine.get("date", "?"),
        machine.get("commit", "?")))
    w("")

    # ---- Summary table
    codec = codec_results(os.path.join(res, "codec.json"))
    w("## Figures against their targets")
    w("")
    w("| figure | ofagent | baseline | ratio | target | |")
    w("|---|---|---|---|---|---|")

    def codec_row(label, msg, target=None):
        a = codec.get("decode/ofagent/" + msg)
        o = codec.get("decode/ovs/" + msg)
        if not a or not o:
            w("| %s | %s | not measured | - | %s | |" % (label, fmt_rate(a[0]) if a else "-",
                                                         ">= %.1fx" % target if target else "-"))
            return
        ratio = o[0] / a[0]
        t = ">= %.1fx" % target if target else "-"
        ok = "" if not target else verdict(ratio >= target)
        w("| %s | %s | OVS %s | %.2fx | %s | %s |" % (label, fmt_rate(a[0]), fmt_rate(o[0]), ratio, t, ok))

    codec_row("decode flow-mod 88 B (OVS-made)", "flow_mod_88", 1.0)
    fl, ov = codec.get("floor/allocs/flow_mod_88"), codec.get("decode/ovs/flow_mod_88")
    if fl and ov:
        w("| flow-mod 88 B: allocation floor alone (bound) | %.0f ns | OVS's whole decode: %.0f ns | %.2f | - | |"
          % (fl[0], ov[0], ov[0] / fl[0]))
    codec_row("decode OVS flow-mod corpus", "flow_mod_ovs_corpus")
    codec_row("decode packet-in, 128 B data", "packet_in_128")
    codec_row("decode port-desc reply, 48 ports", "port_desc_48")
    codec_row("decode flow-stats reply, 100 entries", "flow_stats_100")

    echo = kv_lines(os.path.join(res, "echo.txt"), "echo")
    echo_sys = {r["target"]: r for r in kv_lines(os.path.join(res, "echo.txt"), "echo_sys")}

    def echo_med(target, key):
        v = [r[key] for r in echo if r.get("target") == target and r.get("packets_per_s", 0) > 0]
        return statistics.median(v) if v else 0

    names = {"raw_epoll": "raw echo server waiting in epoll (any event loop's floor)"}
    rr, rc = echo_med("raw", "packets_per_s"), echo_med("raw", "daemon_cpu_ns_per_rt")
    for target, rate_goal, cpu_goal in (("ofagentd", 0.95, 1.1), ("raw_epoll", None, None),
                                        ("ovs-vswitchd", None, None)):
        r, c = echo_med(target, "packets_per_s"), echo_med(target, "daemon_cpu_ns_per_rt")
        if not r or not rr:
            w("| echo round trips, %s | %s | not measured | - | %s | |" % (
                target, "%.0f/s" % r if r else "-", ">= %.2fx" % rate_goal if rate_goal else "-"))
            continue
        w("| echo round trips, %s | %.0f/s | raw echo server %.0f/s | %.2fx | %s | %s |" % (
            names.get(target, target), r, rr, r / rr, ">= %.2fx" % rate_goal if rate_goal else "-",
            verdict(r / rr >= rate_goal) if rate_goal else ""))
        if c and rc:
            w("| echo, daemon CPU per round trip, %s | %.0f ns | raw echo server %.0f ns | %.2fx | %s | %s |" % (
                names.get(target, target), c, rc, c / rc, "<= %.1fx" % cpu_goal if cpu_goal else "-",
                verdict(c / rc <= cpu_goal) if cpu_goal else ""))
    if "raw" in echo_sys:
        base = echo_sys["raw"]["calls_per_rt"]
        for target in ("ofagentd", "raw_epoll", "ovs-vswitchd"):
            if target in echo_sys:
                e = echo_sys[target]
                w("| echo, system calls per round trip (strace), %s | %.2f (%s) | raw echo server %.2f (%s) | %.2fx | - | |" % (
                    names.get(target, target), e["calls_per_rt"], str(e.get("by_call", "")).replace(",", ", "),
                    base, str(echo_sys["raw"].get("by_call", "")).replace(",", ", "),
                    e["calls_per_rt"] / base))

    def spread(rows, key):
        v = sorted(r[key] for r in rows)
        return statistics.median(v), v[0], v[-1]

    stream_path = {}
    for row in kv_lines(os.path.join(res, "stream.txt"), "stream_path"):
        stream_path.update(row)
    stream = kv_lines(os.path.join(res, "stream.txt"), "stream")
    by_mode = {m: [r for r in stream if r.get("mode") == m] for m in ("lib", "frame", "raw")}
    mtu = int(stream_path.get("mtu", 0))
    if by_mode["lib"] and by_mode["raw"]:
        lc = statistics.median(r["cpu_ns_per_msg"] for r in by_mode["lib"])
        rcpu = statistics.median(r["cpu_ns_per_msg"] for r in by_mode["raw"])
        w("| streaming 88 B flow-mods, receiver CPU per message, decoded (rate against raw's) | %.0f ns | raw receiver %.0f ns | %.2f | >= 0.9 | %s |"
          % (lc, rcpu, rcpu / lc, verdict(rcpu / lc >= 0.9)))
        if by_mode["frame"]:
            fc = statistics.median(r["cpu_ns_per_msg"] for r in by_mode["frame"])
            w("| streaming, receiver CPU per message, the library's transport alone (no decode) | %.0f ns | raw receiver %.0f ns | %.2f | - | |"
              % (fc, rcpu, rcpu / fc))
        lm, ll, lh = spread(by_mode["lib"], "msgs_per_s")
        rm, rl, rh = spread(by_mode["raw"], "msgs_per_s")
        w("| streaming throughput, path MTU %d, median (range) of %d rounds | %.0f/s (%.0f-%.0f) | raw receiver %.0f/s (%.0f-%.0f) | %.2f | - | |"
          % (mtu, len(by_mode["lib"]), lm, ll, lh, rm, rl, rh, lm / rm))
    stream_lo = kv_lines(os.path.join(res, "stream_lo.txt"), "stream_lo")
    lo = {m: [r for r in stream_lo if r.get("mode") == m] for m in ("lib", "raw")}
    if lo["lib"] and lo["raw"]:
        lm, ll, lh = spread(lo["lib"], "msgs_per_s")
        rm, rl, rh = spread(lo["raw"], "msgs_per_s")
        stalls = sum(r["stall_s"] for r in stream_lo) / sum(r["seconds"] for r in stream_lo)
        w("| streaming throughput, the machine's loopback (MTU 65536), one message per write, median (range) | %.0f/s (%.0f-%.0f) | raw receiver %.0f/s (%.0f-%.0f) | %.2f | - | stalled %.0f %% of the time |"
          % (lm, ll, lh, rm, rl, rh, lm / rm, 100 * stalls))

    scale = kv_lines(os.path.join(res, "scale.txt"), "scale")
    big = [r for r in scale if r["connections"] == 10000 and r["msgs"] == 0]
    if big:
        r = big[0]
        limit = r["rx_buf"] + 1024
        w("| 10,000 connections accepted, hello each way | %d / %d | - | - | all | %s |"
          % (r["hellos"], r["connections"], verdict(r["hellos"] == r["connections"] and r["client_exit"] == 0)))
        w("| resident memory per connection | %.0f B | rx_buf_size + 1 KiB = %d B | %.3f | <= 1 | %s |"
          % (r["rss_per_conn"], limit, r["rss_per_conn"] / limit, verdict(r["rss_per_conn"] <= limit)))
    by_c = {int(r["connections"]): r for r in scale if r["msgs"] > 0}
    if 1 in by_c and 1000 in by_c:
        one, thousand = by_c[1], by_c[1000]
        ratio = thousand["cpu_ns_per_msg"] / one["cpu_ns_per_msg"]
        w("| 1,000 clients x 1,000 flow-mods, exactly once, in order | %d msgs, %d out of order | - | - | all | %s |"
          % (thousand["msgs"], thousand["out_of_order"], verdict(thousand["out_of_order"] == 0 and thousand["msgs"] == 1e6)))
        w("| cost per message at 1,000 connections | %.0f ns | at 1 connection %.0f ns | %.2fx | <= 1.2x | %s |"
          % (thousand["cpu_ns_per_msg"], one["cpu_ns_per_msg"], ratio, verdict(ratio <= 1.2)))

    sizes = kv_lines(os.path.join(res, "footprint.txt"), "size")
    for s in sizes:
        target = ""
        ok = ""
        if s["target"] == "libofagent.so" and s["arch"] == "mips-be":
            target = "<= 200 KiB"
            ok = verdict(s["bytes"] <= 200 * 1024)
        w("| stripped %s, %s, %s | %.1f KiB | - | - | %s | %s |"
          % (s["target"], s["arch"], s["flags"], s["bytes"] / 1024, target or "-", ok))
    w("")

    # ---- Codec detail
    w("## Codec: every message, CPU time per message and heap allocations")
    w("")
    w("Decode is `ofmsg_rx_decode` with its two INFO lines formatted (no sink, file logging off) and")
    w("the release of the body in the callback; OVS is `ofptype_decode` + the type's decoder")
    w("(`ofputil_decode_flow_mod` with a 1 KiB action stub, `ofputil_decode_packet_in`,")
    w("`ofputil_pull_phy_port`, `ofputil_decode_flow_stats_reply`) on the very same bytes. Encode is")
    w("`ofmsg_tx_encode` (which logs the message) + `free`. Allocations are counted by an allocator")
    w("the bench binary interposes over malloc/calloc/realloc/free. The floor rows replay only the")
    w("allocations one decode makes (same sizes, same order), without decoding.")
    w("")
    w("| message | ofagent decode | allocs | OVS decode | allocs | ofagent encode | allocation floor |")
    w("|---|---|---|---|---|---|---|")
    for msg in ("flow_mod_88", "flow_mod_ovs_corpus", "packet_in_128", "port_desc_48", "flow_stats_100"):
        a = codec.get("decode/ofagent/" + msg)
        o = codec.get("decode/ovs/" + msg)
        e = codec.get("encode/ofagent/" + msg)
        f = codec.get("floor/allocs/" + msg)
        cell = lambda x: "%.0f ns" % x[0] if x else "-"
        w("| %s | %s | %s | %s | %s | %s | %s |" % (
            msg, cell(a), "%.1f" % a[1] if a else "-", cell(o), "%.1f" % o[1] if o else "-",
            cell(e), cell(f)))
    w("")

    # ---- Instructions per message
    ir = {r["name"]: r["ir_per_msg"] for r in kv_lines(os.path.join(res, "callgrind.txt"), "callgrind")}
    if ir:
        w("## Codec: instructions per message (callgrind)")
        w("")
        w("Receive is `ofmsg_rx_decode` with both INFO lines formatted and the release of the body;")
        w("encode is `ofmsg_tx_encode` with its line. Before: the same benches at commit 265f859,")
        w("before the formats were parsed when the library is built. The floor is the allocations")
        w("and frees one receive makes, replayed alone (malloc's thread cache, the bench's counting")
        w("allocator included): what the records cost before any byte is read or printed.")
        w("")
        w("| message | before | after | ratio | target | | allocation floor |")
        w("|---|---|---|---|---|---|---|")
        rows = (("receive flow-mod 88 B made by Open vSwitch", "decode/ofagent/flow_mod_88", 15600, 4000),
                ("receive Open vSwitch flow-mod corpus (mean)", "decode/ofagent/flow_mod_ovs_corpus", 19165, 5000),
                ("receive packet-in, 128 B of data", "decode/ofagent/packet_in_128", 7585, 2500),
                ("receive port-description reply, 48 ports", "decode/ofagent/port_desc_48", 285579, 60000),
                ("receive flow-statistics reply, 100 entries", "decode/ofagent/flow_stats_100", 1127262, 300000),
                ("encode flow-mod 88 B", "encode/ofagent/flow_mod_88", 13064, 3500),
                ("encode Open vSwitch flow-mod corpus (mean)", "encode/ofagent/flow_mod_ovs_corpus", 15764, None),
                ("encode packet-in, 128 B of data", "encode/ofagent/packet_in_128", 6825, None),
                ("encode port-description reply, 48 ports", "encode/ofagent/port_desc_48", 282621, None),
                ("encode flow-statistics reply, 100 entries", "encode/ofagent/flow_stats_100", 738068, None))
        for label, name, before, target in rows:
            after = ir.get(name)
            if after is None:
                continue
            floor = ir.get(name.replace("decode/ofagent/", "floor/allocs/")) if name.startswith("decode") else None
            w("| %s | %s | %s | %.2fx | %s | %s | %s |" % (
                label, "{:,}".format(before), "{:,}".format(int(after)), before / after,
                "<= {:,}".format(target) if target else "-",
                verdict(after <= target) if target else "",
                "{:,}".format(int(floor)) if floor else "-"))
        w("")

    # ---- Raw rows
    w("## Scale: throughput against connection count")
    w("")
    w("![messages per second against connections](performance-scale.png)")
    w("")
    w("| connections | messages | out of order | server CPU per message | msgs/s (wall) | RSS per connection |")
    w("|---|---|---|---|---|---|")
    for c in sorted(by_c):
        r = by_c[c]
        w("| %d | %d | %d | %.0f ns | %.0f | %.0f B |" % (c, r["msgs"], r["out_of_order"],
                                                         r["cpu_ns_per_msg"], r["msgs_per_s"], r["rss_per_conn"]))
    w("")
    if echo:
        w("## Echo rounds (in run order)")
        w("")
        flags = ""
        for row in kv_lines(os.path.join(res, "echo.txt"), "echo_agent"):
            flags = str(row.get("flags", "")).replace("_", " ")
        w("Round trips per second and the daemon's CPU per round trip; ofagentd ran with %s." % (
            "`%s`" % flags if flags else
            "its default console (a trace line per message, sent to /dev/null)"))
        w("")
        w(", ".join("%s %.0f/s %.0f ns" % (r["target"], r["packets_per_s"], r.get("daemon_cpu_ns_per_rt", 0))
                    for r in echo))
        w("")
    if stream:
        w("## Streaming rounds (in run order, path MTU %d)" % mtu)
        w("")
        w("Receiver's messages per second, CPU per message, time stalled (gaps of 20 ms or more), "
          "voluntary context switches per message (0: it never found the socket empty).")
        w("")
        w(", ".join("%s %.0f/s %.0f ns %.2f s %.2f" % (r["mode"], r["msgs_per_s"], r["cpu_ns_per_msg"],
                                                      r.get("stall_s", 0), r.get("vcsw_per_msg", 0))
                    for r in stream))
        w("")
    if stream_lo:
        w("## Streaming rounds on the machine's loopback (MTU 65536, one message per write)")
        w("")
        w(", ".join("%s %.0f/s %.0f ns %.2f s (longest gap %.0f ms)" % (
            r["mode"], r["msgs_per_s"], r["cpu_ns_per_msg"], r.get("stall_s", 0), r.get("max_gap_ms", 0))
            for r in stream_lo))
        w("")
    notes = os.path.join(os.path.dirname(os.path.abspath(__file__)), "PERFORMANCE_NOTES.md")
    if os.path.exists(notes):
        w(open(notes).read().rstrip())
        w("")
    with open(os.path.join(docs, "PERFORMANCE.md"), "w") as f:
        f.write("\n".join(lines) + "\n")

    # ---- Plot
    data = os.path.join(res, "scale.dat")
    with open(data, "w") as f:
        for c in sorted(by_c):
            r = by_c[c]
            f.write("%d %.0f %.0f\n" % (c, r["msgs_per_s"], 1e9 / r["cpu_ns_per_msg"]))
    script = """set terminal pngcairo size 800,480 noenhanced
set output '%s'
set logscale x
set xlabel 'concurrent connections'
set ylabel 'flow-mods per second'
set key top left
set grid
plot '%s' using 1:2 with linespoints title 'received and decoded (wall clock)', \\
     '' using 1:3 with linespoints title 'CPU-bound rate of the server (1 / CPU per message)'
""" % (os.path.join(docs, "performance-scale.png"), data)
    subprocess.run(["gnuplot"], input=script.encode(), check=True)


if __name__ == "__main__":
    main()
