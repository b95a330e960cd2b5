"""Fake /proc and /sys/fs/cgroup trees for the CPU budget."""

import pathlib


def cgroup_tree(root, proc=None, v2=None, v1=None):
    """Lay out a tree under `root`.

    proc: text of /proc/self/cgroup (None: no such file).
    v2: {group path relative to the mount root ("" for the root): cpu.max text}.
    v1: (quota text, period text), either may be None for a missing file.
    """
    root = pathlib.Path(root)
    if proc is not None:
        (root / "proc/self").mkdir(parents=True, exist_ok=True)
        (root / "proc/self/cgroup").write_bytes(proc.encode() if isinstance(proc, str) else proc)
    for group, text in (v2 or {}).items():
        d = root / "sys/fs/cgroup" / group.strip("/")
        d.mkdir(parents=True, exist_ok=True)
        if text is not None:
            (d / "cpu.max").write_bytes(text.encode() if isinstance(text, str) else text)
    if v1 is not None:
        d = root / "sys/fs/cgroup/cpu"
        d.mkdir(parents=True, exist_ok=True)
        for name, text in zip(("cpu.cfs_quota_us", "cpu.cfs_period_us"), v1):
            if text is not None:
                (d / name).write_text(text)
    return str(root)
