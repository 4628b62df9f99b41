"""Where the Natural Earth sample data lives.

The data sits in ``shared/data/naturalearth`` beside the checkout; a clone
elsewhere finds it through ``VORIVIV_DATA`` or the workplace's shared folder.
"""
from __future__ import annotations

import os
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def naturalearth_dir() -> Path:
    candidates = []
    if os.environ.get("VORIVIV_DATA"):
        candidates.append(Path(os.environ["VORIVIV_DATA"]))
    candidates += [p / "shared" / "data" / "naturalearth" for p in ROOT.parents]
    candidates.append(Path("/work/shared/data/naturalearth"))
    for c in candidates:
        if (c / "naturalearth_cities.shp").exists():
            return c
    return candidates[0] if candidates else Path("naturalearth")
