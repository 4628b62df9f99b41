"""The general case of voriviv.pos arithmetic, run by the interpreter.

Position computes with plain doubles whenever its numbers are floats (or
small ints) and its constants are the class's own. For anything else (a
Fraction latitude, a Decimal delta, a subclass of float, ...) the result is
defined as what these Python expressions give, so the native module calls
them instead of replaying them step by step. Each function is called with
the values the native code has already read, in the order Python code reading
them from the object would.
"""
from __future__ import annotations

# Returned by clamp_latitude when the latitude stays as it is (it is then not
# written back at all, which a __setattr__ override could tell apart).
KEEP = object()


def fold_longitude(x, delta):
    """Steps 2 and 3 of normalize() on x = math.fmod(longitude, 360.0)."""
    top = 180.0 - delta
    if abs(x - top) < delta:
        x = top
    if x >= 180.0:
        x -= 360.0
    elif x < -180.0:
        x += 360.0
    return x


def clamp_latitude(y, delta):
    """Steps 4 and 5 of normalize(): the new latitude, or KEEP."""
    top = 90.0 - delta
    out = KEEP
    if abs(y - top) < delta:
        y = out = top
    if y > top:
        return top
    if y < -90.0:
        return -90.0
    return out


def dms(v, positive, negative):
    """One coordinate of to_degree_minutes_seconds()."""
    value = abs(v)
    degrees = int(value)
    minutes = int((value - degrees) * 60)
    seconds = ((value - degrees) - minutes / 60) * 3600
    return f"{degrees}\u00b0 {minutes}' {seconds:.2f}\"" + (negative if v < 0 else positive)
