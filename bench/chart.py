"""The ratio table of bench.py as a horizontal bar chart (needs matplotlib).

    python bench/chart.py summary.json ratios.png

`summary.json` is what `bench.py --summary` writes; `bench.py --chart` calls
`draw` directly.
"""

import json
import math
import sys


def draw(rows, goals, path, title="korvex against its peers, same run"):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    # The bars are times: goals in instructions are not drawn on them.
    limits = {(goal["case"], goal["peer"]): goal["limit"] for goal in goals
              if goal.get("in", "time") == "time"}
    labels = [f"{row['label']}  vs  {row['peer_label']}" for row in rows]
    ratios = [row["ratio"] for row in rows]
    # Blue: a goal met; orange: a goal missed; grey: no goal.
    colors = []
    for row in rows:
        limit = limits.get((row["case"], row["peer"]))
        colors.append("#9a9a9a" if limit is None else
                      "#2a7ab0" if row["ratio"] <= limit else "#d0632a")

    height = 0.32 * len(rows) + 1.6
    fig, ax = plt.subplots(figsize=(11, height))
    positions = range(len(rows))
    ax.barh(positions, ratios, color=colors, height=0.65)
    ax.set_yticks(list(positions), labels, fontsize=8)
    ax.invert_yaxis()
    ax.set_xscale("log")
    low = min(min(ratios), *limits.values()) if limits else min(ratios)
    high = max(max(ratios), 1.0)
    # Well below the smallest ratio, so that its bar shows.
    ax.set_xlim(10 ** math.floor(math.log10(low / 3)), high * 3)
    ax.axvline(1.0, color="black", linewidth=1)
    for y, row in enumerate(rows):
        limit = limits.get((row["case"], row["peer"]))
        ax.text(max(row["ratio"], limit or 0) * 1.08, y, f"{row['ratio']:.3g}",
                va="center", fontsize=7)
        if limit is not None:
            ax.plot([limit, limit], [y - 0.4, y + 0.4], color="#b02a2a",
                    linewidth=2)
    ax.set_xlabel("korvex time / peer time (log scale; below 1 = korvex "
                  "faster)")
    ax.set_title(title, pad=24)
    from matplotlib.patches import Patch
    from matplotlib.lines import Line2D
    ax.legend(handles=[
        Patch(color="#2a7ab0", label="goal met"),
        Patch(color="#d0632a", label="goal missed"),
        Patch(color="#9a9a9a", label="no goal"),
        Line2D([], [], color="#b02a2a", linewidth=2, label="goal"),
    ], loc="lower left", bbox_to_anchor=(0, 1.0), ncol=4, fontsize=8,
        frameon=False)
    ax.grid(axis="x", which="both", alpha=0.25)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main(argv):
    if len(argv) != 3:
        sys.exit(__doc__)
    with open(argv[1]) as source:
        summary = json.load(source)
    draw(summary["rows"], summary["goals"], argv[2],
         f"korvex against its peers, same run ({summary['method']})")


if __name__ == "__main__":
    main(sys.argv)
