#!/usr/bin/env python3
"""The Python example predicts the same bits from every form of the same sample.

    python_inputs.py --lib path/to/libqelcore.so

The library reads its inputs as packed doubles. Each case hands
examples/qel_predict.py's predict() the Longley sample in another form: in
place (contiguous doubles), with its elements apart in memory (steps,
reversed), or held as another type. Every case must give exactly what plain
lists give; a form the example passed on as it lies, without packing or
converting it, would make the library read other numbers. Wrong shapes and
sizes must be refused before the library is called.
"""

import argparse
import ctypes
import importlib.util
import sys
from array import array
from pathlib import Path

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "qel_predict.py"
example = importlib.util.spec_from_file_location("qel_predict", EXAMPLE)
qel = importlib.util.module_from_spec(example)
example.loader.exec_module(qel)

THRESHOLDS = [0.0, 0.2, 0.5, 0.8]
# Values no attribute or outcome holds: read by mistake, they move every result.
FILLER = 1.0e6


def strided(values, step=2, offset=1):
    """A memoryview of `values` whose elements lie `step` doubles apart."""
    buf = array("d", [FILLER] * (len(values) * step + offset))
    view = memoryview(buf)[offset::step]
    for i, v in enumerate(values):
        view[i] = v
    return view


def reversed_view(values):
    """A memoryview with a negative stride that reads `values` in order."""
    return memoryview(array("d", reversed(values)))[::-1]


def rows_of(values, k):
    return [values[i:i + k] for i in range(0, len(values), k)]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--lib", required=True)
    args = parser.parse_args()
    lib = qel.load_library(args.lib)

    y_all, x_all = qel.read_longley(qel.DEFAULT_DATA)
    n, k = len(y_all) - 1, len(x_all[0])
    y, theta = y_all[:n], x_all[n]
    x = [v for row in x_all[:n] for v in row]
    reference = qel.predict(lib, y, rows_of(x, k), theta, THRESHOLDS)

    x_f32 = array("f", x)
    theta_f32 = array("f", theta)
    cases = {
        "flat list": (y, x, theta),
        "array of doubles, in place": (array("d", y), array("d", x), array("d", theta)),
        "2-D memoryview, in place": (y, memoryview(array("d", x)).cast("B").cast("d", (n, k)), theta),
        "read-only buffer": (memoryview(array("d", y).tobytes()).cast("d"), x, theta),
        "ctypes arrays": ((ctypes.c_double * n)(*y), (ctypes.c_double * (n * k))(*x), (ctypes.c_double * k)(*theta)),
        "every other double": (strided(y), strided(x), strided(theta)),
        "every third double": (strided(y, 3, 2), strided(x, 3, 0), strided(theta, 3, 2)),
        "negative stride": (reversed_view(y), reversed_view(x), reversed_view(theta)),
        "strided ctypes memory": (memoryview((ctypes.c_double * (2 * n))(*[v for e in y for v in (e, FILLER)]))[::2],
                                  x, theta),
        # 8-byte integers, which read as doubles would be tiny denormals.
        "64-bit integers": (array("q", [int(v) for v in y]), x, theta),
    }
    failures = []
    for name, (cy, cx, ct) in cases.items():
        try:
            got = qel.predict(lib, cy, cx, ct, THRESHOLDS)
        except qel.QelError as e:
            failures.append("%s: %s" % (name, e))
            continue
        if got != reference:
            failures.append("%s: %s\n  expected %s" % (name, got.yhat, reference.yhat))

    # Single precision is converted, not reinterpreted: the same as its values
    # given as doubles.
    expected_f32 = qel.predict(lib, y, x_f32.tolist(), theta_f32.tolist(), THRESHOLDS)
    got_f32 = qel.predict(lib, y, x_f32, theta_f32, THRESHOLDS)
    if got_f32 != expected_f32:
        failures.append("32-bit floats: %s\n  expected %s" % (got_f32.yhat, expected_f32.yhat))

    refusals = {
        "X of K x N": (y, memoryview(array("d", x)).cast("B").cast("d", (k, n)), theta,
                       "X has shape (6, 15), expected (15, 6)"),
        "short y": (y[:-1] + [], x, theta, "X holds 90 values, expected 84"),
        "ragged rows": (y, rows_of(x, k)[:-1] + [x[-k:-1]], theta, "X: a row holds 5 values, expected 6"),
        "theta with a missing attribute": (y, x, theta[:-1], "X holds 90 values, expected 75"),
    }
    for name, (cy, cx, ct, message) in refusals.items():
        try:
            qel.predict(lib, cy, cx, ct, THRESHOLDS)
            failures.append("%s: accepted" % name)
        except qel.QelError as e:
            if str(e) != message:
                failures.append("%s: %r, expected %r" % (name, str(e), message))

    if failures:
        print("\n".join(failures), file=sys.stderr)
        return 1
    print("%d input forms, %d refusals: as expected" % (len(cases) + 1, len(refusals)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
