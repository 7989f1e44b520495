#!/usr/bin/env python3
"""Gathers the figures scripts/bench.sh left in one folder into one table (stdout) and one JSON file.

Usage: bench_table.py FOLDER JSON_OUT BUSY_THREADS
"""
import datetime
import json
import os
import platform
import sys


def load(folder, name):
    try:
        with open(os.path.join(folder, name)) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def spread(d):
    if not d or d.get("runs", 1) == 0:
        return "n/a"
    return "%d / %d / %d" % (d["median_ms"], d["p99_ms"], d["worst_ms"])


def latency(d):
    if not d or d.get("trials", 0) == 0:
        return "n/a"
    text = "%.1f / %.1f / %.1f" % (d["median_ms"], d["p99_ms"], d["worst_ms"])
    return text + (" (%d missed)" % d["missed"] if d.get("missed") else "")


def main():
    folder, out_path = sys.argv[1], sys.argv[2]
    busy = int(sys.argv[3])
    result = {
        "machine": {"host": platform.node(), "cores": os.cpu_count(), "kernel": platform.release(),
                    "date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")},
        "linux": {}, "baseline": {}, "wine": {},
    }
    rows = []  # (label, linux, baseline, wine)

    def streams(prefix, side):
        for seg in ("3", "2", "1.5"):
            for b in (0, busy):
                d = load(folder, "%sstream-%s-%d.json" % (prefix, seg, b))
                if d:
                    result[side]["stream_%sms_busy%d" % (seg, b)] = d
    streams("", "linux")
    streams("wine-", "wine")
    for side, prefix in (("linux", ""), ("wine", "wine-"), ("baseline", "baseline-")):
        for name in ("wait", "estop", "plan", "stream"):
            d = load(folder, prefix + name + ".json")
            if d:
                result[side][name] = d
    receive = load(folder, "receive.json")
    if receive:
        result["linux"]["receive"] = [
            {"name": b["name"], "frames_per_s": b.get("frames/s"),
             "mb_per_s": b.get("bytes_per_second", 0) / 1e6} for b in receive.get("benchmarks", [])]

    def cell(side, key, fmt):
        d = result[side].get(key)
        return fmt(d) if d else ""

    def motion(d):
        text = "%d / %d" % (d["underruns"], d["lowest_queue_depth"])
        return text if d.get("completed") else text + " (did not complete)"

    for seg in ("3", "2", "1.5"):
        for b in (0, busy):
            key = "stream_%sms_busy%d" % (seg, b)
            label = "underruns / lowest queue depth, %s ms, %s" % (seg, "idle" if b == 0 else "%d cores busy" % b)
            rows.append((label, cell("linux", key, motion), "", cell("wine", key, motion)))
    for b in (0, busy):
        key = "stream_3ms_busy%d" % b
        what = "idle" if b == 0 else "busy"
        rows.append(("supervisor period ms (median / p99 / worst), 3 ms, %s" % what,
                     cell("linux", key, lambda d: spread(d.get("supervisor_period"))), "",
                     cell("wine", key, lambda d: spread(d.get("supervisor_period")))))
        rows.append(("service task period ms (median / p99 / worst), 3 ms, %s" % what,
                     cell("linux", key, lambda d: spread(d.get("service_period"))), "",
                     cell("wine", key, lambda d: spread(d.get("service_period")))))
    rows.append(("E-stop latency ms from stop report (median / p99 / worst)",
                 cell("linux", "estop", lambda d: latency(d.get("from_stop_report"))), "",
                 cell("wine", "estop", lambda d: latency(d.get("from_stop_report")))))
    rows.append(("E-stop latency ms from E-stop input (median / p99 / worst)",
                 cell("linux", "estop", lambda d: latency(d.get("from_estop_input"))), "",
                 cell("wine", "estop", lambda d: latency(d.get("from_estop_input")))))
    if any(result[side].get("estop", {}).get("not_ready") for side in ("linux", "wine")):
        not_ready = lambda d: "%d" % d.get("not_ready", 0)
        rows.append(("E-stop trials not run (the machine stayed in E-stop before them)",
                     cell("linux", "estop", not_ready), "", cell("wine", "estop", not_ready)))
    cpu = lambda d: "%.2f" % d["plugin_cpu_ms_per_s"]
    rows.append(("plug-in CPU ms/s waiting for a board (both links searching)",
                 cell("linux", "wait", cpu), cell("baseline", "wait", cpu), cell("wine", "wait", cpu)))
    for b in (0, busy):
        key = "stream_3ms_busy%d" % b
        rows.append(("plug-in CPU ms per s of motion, streaming 3 ms, %s" % ("idle" if b == 0 else "busy"),
                     cell("linux", key, cpu), cell("baseline", "stream", cpu) if b == 0 else "", cell("wine", key, cpu)))
    # The same cost counted in wake-ups, which unlike CPU time do not depend on what the machine
    # (a virtual one above all) charges for each.
    wakeups = lambda d: "%.0f" % d["plugin_wakeups_per_s"] if d.get("plugin_wakeups_per_s") is not None else ""
    rows.append(("plug-in wake-ups per s waiting for a board",
                 cell("linux", "wait", wakeups), cell("baseline", "wait", wakeups), cell("wine", "wait", wakeups)))
    rows.append(("plug-in wake-ups per s of motion, streaming 3 ms, idle",
                 cell("linux", "stream_3ms_busy0", wakeups), cell("baseline", "stream", wakeups),
                 cell("wine", "stream_3ms_busy0", wakeups)))
    for r in result["linux"].get("receive", []):
        rows.append(("receive path %s: frames/s, MB/s" % r["name"],
                     "%.3g, %.0f" % (r["frames_per_s"] or 0, r["mb_per_s"]), "", ""))
    startup = lambda d: "%.0f ms" % d["startup_ms"]
    rows.append(("start-up, InitControl to streaming (3 ms, idle)",
                 cell("linux", "stream_3ms_busy0", startup), cell("baseline", "stream", startup),
                 cell("wine", "stream_3ms_busy0", startup)))
    plan = result["linux"].get("plan")
    if plan:
        rows.append(("kvhost planning rate, %s (%d moves)" % (plan["program"], plan["moves"]),
                     "%.0f moves/s" % plan["moves_per_s"], "", ""))

    has_baseline = any(r[2] for r in rows)
    has_wine = any(r[3] for r in rows)
    heads = ["figure", "Linux"] + (["baseline plug-in"] if has_baseline else []) + (["Wine x64"] if has_wine else [])
    table = [[r[0], r[1] or "n/a"] + ([r[2]] if has_baseline else []) + ([r[3] or "n/a"] if has_wine else [])
             for r in rows]
    widths = [max(len(str(x[i])) for x in table + [heads]) for i in range(len(heads))]
    m = result["machine"]
    print("Kalvero benchmarks on %s (%d cores, kernel %s), %s" % (m["host"], m["cores"], m["kernel"], m["date"]))
    print("  ".join(h.ljust(w) for h, w in zip(heads, widths)))
    print("  ".join("-" * w for w in widths))
    for t in table:
        print("  ".join(str(x).ljust(w) for x, w in zip(t, widths)))
    if not has_wine:
        print("(no Windows figures: run with --wine where Wine is installed)")
    else:
        wait = result["wine"].get("wait")
        if wait:
            print("(Wine counts the plug-in threads' CPU in 10 ms ticks: its waiting figure is within %.2f ms/s)"
                  % (10.0 / wait["seconds"]))
    result["table"] = [dict(zip(heads, t)) for t in table]
    with open(out_path, "w") as f:
        json.dump(result, f, indent=1)
    print("written to %s" % out_path)


if __name__ == "__main__":
    main()
