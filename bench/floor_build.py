"""The benchmarks' floor module (bench/floor.c), built with meson into
build/bench, where bench.py and instructions.py import it from."""

import importlib
import os
import pathlib
import subprocess
import sysconfig

ROOT = pathlib.Path(__file__).resolve().parent.parent
DIR = ROOT / "build" / "bench"


def build():
    """Builds bench/floor.c into DIR with the meson of this interpreter's
    environment (the `bench` extra); ninja recompiles only what changed."""
    scripts = sysconfig.get_path("scripts")
    # meson looks for ninja on PATH: the venv's own, when it has one.
    env = dict(os.environ, PATH=os.pathsep.join(
        [scripts, os.environ.get("PATH", os.defpath)]))
    meson = os.path.join(scripts, "meson")
    quiet = {"check": True, "env": env, "stdout": subprocess.DEVNULL}
    if not (DIR / "build.ninja").exists():
        subprocess.run([meson, "setup", DIR, ROOT / "bench"], **quiet)
    subprocess.run([meson, "compile", "-C", DIR], **quiet)
    # An import before the build may have found no directory there.
    importlib.invalidate_caches()
