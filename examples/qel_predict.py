#!/usr/bin/env python3
"""The Longley prediction of qel_predict_longley.c, from Python through ctypes.

Loads Longley's 1947-1962 US employment series, leaves out the last year and
asks libqelcore to predict total employment for it from the attributes of
that year, weighing every earlier year by its relevance to the target. The
output is the C example's, line for line.

    qel_predict.py [--lib path/to/libqelcore.so] [path/to/longley.csv]

The library is the one named by --lib, else by QEL_ENGINE_LIB, else the one
built in build/ beside this checkout, else the installed one that the
dynamic loader finds under its SONAME. Only the standard library is needed.

Imported as a module, predict() runs the same prediction on a sample of the
caller's: sequences of numbers or any object with the buffer protocol
(array.array, memoryview, ctypes arrays, and arrays of other libraries).
"""

import argparse
import csv
import ctypes
import os
import sys
from collections import namedtuple
from pathlib import Path

# The C interface this program is written against: the SONAME's number.
ABI_VERSION = 5

HERE = Path(__file__).resolve().parent
DEFAULT_DATA = HERE / "longley.csv"
BUILD_TREE_LIBRARY = HERE.parent / "build" / "libqelcore.so"
ATTR_NAMES = ["GNPDEFL", "GNP", "UNEMP", "ARMED", "POP", "YEAR"]

# Codes of qelcore.h.
QEL_STATUS_OK = 0
QEL_LAYOUT_ROW_MAJOR = 0
QEL_CENSOR_RELEVANCE = 0
QEL_CENSOR_GTE = 2
QEL_UNIT_PERCENT = 1
QEL_ADJ_FIT_K = 1


# Opaque handles, typed as in the header.
class QelPredictOptions(ctypes.Structure):
    pass


class QelPredictionResults(ctypes.Structure):
    pass


c_double_p = ctypes.POINTER(ctypes.c_double)
OptionsPtr = ctypes.POINTER(QelPredictOptions)
ResultsPtr = ctypes.POINTER(QelPredictionResults)

# name: (result type, argument types), from the declarations in qelcore.h.
PROTOTYPES = {
    "qel_last_error": (ctypes.c_char_p, []),
    "qel_abi_version": (ctypes.c_uint32, []),
    "qel_engine_version": (ctypes.c_char_p, []),
    "qel_predict_options_create": (OptionsPtr, []),
    "qel_predict_options_free": (None, [OptionsPtr]),
    "qel_predict_options_set_threshold": (ctypes.c_int32, [OptionsPtr, c_double_p, ctypes.c_size_t]),
    "qel_predict_options_set_censor_type": (ctypes.c_int32, [OptionsPtr, ctypes.c_int32]),
    "qel_predict_options_set_censor_unit": (ctypes.c_int32, [OptionsPtr, ctypes.c_int32]),
    "qel_predict_options_set_censor_operator": (ctypes.c_int32, [OptionsPtr, ctypes.c_int32]),
    "qel_predict_options_set_adj_fit_multiplier": (ctypes.c_int32, [OptionsPtr, ctypes.c_int32]),
    "qel_predict": (
        ctypes.c_int32,
        [c_double_p, ctypes.c_size_t, c_double_p, ctypes.c_size_t, ctypes.c_size_t, ctypes.c_int32,
         c_double_p, ctypes.c_size_t, OptionsPtr, ctypes.POINTER(ResultsPtr)],
    ),
    "qel_results_num_thresholds": (ctypes.c_size_t, [ResultsPtr]),
    "qel_results_copy_yhat": (ctypes.c_int32, [ResultsPtr, c_double_p, ctypes.c_size_t]),
    "qel_results_copy_fit": (ctypes.c_int32, [ResultsPtr, c_double_p, ctypes.c_size_t]),
    "qel_results_copy_adjusted_fit": (ctypes.c_int32, [ResultsPtr, c_double_p, ctypes.c_size_t]),
    "qel_results_copy_aux_n": (ctypes.c_int32, [ResultsPtr, c_double_p, ctypes.c_size_t]),
    "qel_results_copy_relevance": (ctypes.c_int32, [ResultsPtr, c_double_p, ctypes.c_size_t]),
    "qel_results_copy_weights": (ctypes.c_int32, [ResultsPtr, c_double_p, ctypes.c_size_t, ctypes.c_int32]),
    "qel_prediction_results_free": (None, [ResultsPtr]),
}


class QelError(Exception):
    pass


def load_library(explicit):
    """The first library that loads: --lib, QEL_ENGINE_LIB, the build tree, the installed one."""
    candidates = []
    env = os.environ.get("QEL_ENGINE_LIB", "").strip()
    if explicit:
        candidates.append(explicit)
    elif env:
        candidates.append(env)
    else:
        if BUILD_TREE_LIBRARY.exists():
            candidates.append(str(BUILD_TREE_LIBRARY))
        candidates.append("libqelcore.so.%d" % ABI_VERSION)
    errors = []
    for name in candidates:
        try:
            lib = ctypes.CDLL(name)
        except OSError as e:
            errors.append(str(e))
            continue
        for fn, (restype, argtypes) in PROTOTYPES.items():
            f = getattr(lib, fn)
            f.restype = restype
            f.argtypes = argtypes
        if lib.qel_abi_version() != ABI_VERSION:
            raise QelError("%s offers C interface %d, this program is written for %d"
                           % (name, lib.qel_abi_version(), ABI_VERSION))
        return lib
    raise QelError("libqelcore not found: " + "; ".join(errors))


def check(lib, status, what):
    if status != QEL_STATUS_OK:
        raise QelError("%s failed (status %d): %s" % (what, status, lib.qel_last_error().decode()))


# Buffer formats of native doubles: "d" from array and memoryview, and the
# explicit byte order that ctypes arrays announce.
NATIVE_DOUBLE_FORMATS = {"d", "@d", "=d", "<d" if sys.byteorder == "little" else ">d"}


def c_doubles(values, shape, name):
    """`values` as a C array of doubles in row-major order, for a parameter of `shape`.

    The library cannot tell what a pointer points to: it reads y, theta and X
    as packed doubles, element (i, j) of X at i * cols + j. A buffer whose
    elements lie apart in memory (a slice with a step, a column of a matrix,
    a column-major or transposed array) or hold another type than double
    would be read as if it were packed doubles, and the library would predict
    from other numbers than the caller's with status 0 (a strided X gave 58.6
    where 37.4 is right). So only a buffer of C-contiguous native doubles is
    passed in place; any other input is copied, in its logical order and
    converted to double, into a new packed array.
    """
    count = 1
    for extent in shape:
        count *= extent
    array_type = ctypes.c_double * count
    try:
        view = memoryview(values)
    except TypeError:
        view = None
    if view is not None:
        # A matrix may also come as its count of values, row by row.
        if view.shape not in (tuple(shape), (count,)):
            raise QelError("%s has shape %s, expected %s" % (name, view.shape, tuple(shape)))
        if view.format in NATIVE_DOUBLE_FORMATS:
            if view.c_contiguous:
                return array_type.from_buffer_copy(view) if view.readonly else array_type.from_buffer(view)
            # tobytes() packs the elements in their logical (row-major) order.
            return array_type.from_buffer_copy(view.tobytes())
        try:
            values = view.tolist()
        except NotImplementedError:
            raise QelError("%s: cannot read buffer format %r; pass doubles" % (name, view.format)) from None
    flat = []
    for v in values:
        if len(shape) == 2 and hasattr(v, "__len__"):  # a row of the matrix
            if len(v) != shape[1]:
                raise QelError("%s: a row holds %d values, expected %d" % (name, len(v), shape[1]))
            flat.extend(float(e) for e in v)
        else:
            flat.append(float(v))
    if len(flat) != count:
        raise QelError("%s holds %d values, expected %d" % (name, len(flat), count))
    return array_type(*flat)


def read_longley(path):
    """Outcomes TOTEMP and the six attributes, one row per year."""
    y, x = [], []
    with open(path, newline="") as f:
        rows = csv.reader(f)
        next(rows)
        for row in rows:
            if len(row) != 8:
                continue
            v = [float(c) for c in row]
            y.append(v[1])
            x.append(v[2:8])
    return y, x


Prediction = namedtuple("Prediction", "yhat fit adjusted_fit retained relevance weights")


def predict(lib, y, x, theta, thresholds):
    """Predicts y at theta from the N x K sample (y, x), one prediction per threshold.

    y: N outcomes; x: N rows of K attributes, or N * K values row by row;
    theta: K values; thresholds: percentiles of the relevance, as fractions.
    Each may be a sequence of numbers or a buffer (see c_doubles). Returns a
    Prediction of lists: yhat, fit, adjusted_fit and retained (the number of
    observations kept) per threshold, relevance per observation, and weights,
    weights[i][j] that of observation i at threshold j.
    """
    n, k = len(y), len(theta)
    y_c = c_doubles(y, (n,), "y")
    x_c = c_doubles(x, (n, k), "X")
    theta_c = c_doubles(theta, (k,), "theta")
    thr_c = c_doubles(thresholds, (len(thresholds),), "thresholds")

    opts = lib.qel_predict_options_create()
    if not opts:
        raise QelError("qel_predict_options_create failed: %s" % lib.qel_last_error().decode())
    res = ResultsPtr()
    try:
        check(lib, lib.qel_predict_options_set_threshold(opts, thr_c, len(thr_c)), "set_threshold")
        check(lib, lib.qel_predict_options_set_censor_type(opts, QEL_CENSOR_RELEVANCE), "set_censor_type")
        check(lib, lib.qel_predict_options_set_censor_unit(opts, QEL_UNIT_PERCENT), "set_censor_unit")
        check(lib, lib.qel_predict_options_set_censor_operator(opts, QEL_CENSOR_GTE), "set_censor_operator")
        check(lib, lib.qel_predict_options_set_adj_fit_multiplier(opts, QEL_ADJ_FIT_K), "set_adj_fit_multiplier")
        check(lib, lib.qel_predict(y_c, n, x_c, n, k, QEL_LAYOUT_ROW_MAJOR, theta_c, k, opts, ctypes.byref(res)),
              "qel_predict")

        t = lib.qel_results_num_thresholds(res)
        yhat, fit, adj, n_kept = [(ctypes.c_double * t)() for _ in range(4)]
        rel, w = (ctypes.c_double * n)(), (ctypes.c_double * (n * t))()
        check(lib, lib.qel_results_copy_yhat(res, yhat, t), "copy_yhat")
        check(lib, lib.qel_results_copy_fit(res, fit, t), "copy_fit")
        check(lib, lib.qel_results_copy_adjusted_fit(res, adj, t), "copy_adjusted_fit")
        check(lib, lib.qel_results_copy_aux_n(res, n_kept, t), "copy_aux_n")
        check(lib, lib.qel_results_copy_relevance(res, rel, n), "copy_relevance")
        check(lib, lib.qel_results_copy_weights(res, w, n * t, QEL_LAYOUT_ROW_MAJOR), "copy_weights")
    finally:
        lib.qel_prediction_results_free(res)
        lib.qel_predict_options_free(opts)
    return Prediction(list(yhat), list(fit), list(adj), list(n_kept), list(rel),
                      [list(w[i * t:(i + 1) * t]) for i in range(n)])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lib", help="path of libqelcore.so")
    parser.add_argument("data", nargs="?", default=str(DEFAULT_DATA), help="longley.csv")
    args = parser.parse_args()

    lib = load_library(args.lib)
    y_all, x_all = read_longley(args.data)
    if len(y_all) < 3:
        raise QelError("could not read the sample from %s" % args.data)

    # The last year is the target; the sample is every year before it.
    n = len(y_all) - 1
    theta, actual = x_all[n], y_all[n]

    print("libqelcore %s (interface %d)" % (lib.qel_engine_version().decode(), lib.qel_abi_version()))
    print("Sample: %d years of %s, target: year %.0f (actual TOTEMP %.0f)\n"
          % (n, os.path.basename(args.data), theta[5], actual))

    thresholds = [0.0, 0.2, 0.5, 0.8]
    p = predict(lib, y_all[:n], x_all[:n], theta, thresholds)

    print("threshold  retained        yhat    error       fit  adjusted_fit")
    for j in range(len(p.yhat)):
        print("%9.2f  %8.0f  %10.1f  %7.1f  %8.4f  %12.4f"
              % (thresholds[j], p.retained[j], p.yhat[j], p.yhat[j] - actual, p.fit[j], p.adjusted_fit[j]))

    # The most relevant years, with their weight in the prediction at each threshold.
    order = sorted(range(n), key=lambda i: -p.relevance[i])
    print("\nMost relevant years (weight at each threshold):")
    print("  year    TOTEMP   relevance" + "".join("   w@%.2f" % th for th in thresholds[:len(p.yhat)]))
    for i in order[:5]:
        print("  %4.0f  %8.0f  %10.4f" % (x_all[i][5], y_all[i], p.relevance[i])
              + "".join("  %7.4f" % v for v in p.weights[i]))
    print("\nAttributes: " + ", ".join(ATTR_NAMES))


if __name__ == "__main__":
    try:
        main()
    except QelError as e:
        print(e, file=sys.stderr)
        sys.exit(1)
