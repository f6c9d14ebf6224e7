/*
 * qelcore.h -- the C interface of libqelcore, a relevance-weighted
 * statistical prediction engine.
 *
 * A host hands the library a sample (outcomes y, attributes X with NaN as a
 * missing value, a target row theta) and options; the engine weighs every
 * observation by its relevance to the target and returns predictions with
 * their fit and related measures in an opaque results object.
 *
 * Conventions
 * -----------
 * - Every fallible function returns a status (int32_t): QEL_STATUS_OK (0) on
 *   success, otherwise one of the QEL_STATUS_* codes below. On failure one
 *   message is stored for the calling thread; qel_last_error() returns it.
 * - Functions that can fail clear the calling thread's message on entry, so
 *   after a success qel_last_error() returns "".
 * - All numbers are IEEE 754 doubles; extents are size_t; matrices are given as
 *   pointer, rows, columns and a layout code (QEL_LAYOUT_ROW_MAJOR or
 *   QEL_LAYOUT_COL_MAJOR). NaN marks a missing value.
 * - The library copies every input at entry and never keeps a caller pointer.
 *   Results leave the library only by copies into caller buffers.
 * - Every *_free function accepts NULL and returns nothing.
 * - Strings are NUL-terminated UTF-8.
 * - Handles carry no locks: do not change or free a handle while another
 *   thread uses it; reading one handle from several threads is safe.
 *
 * This header compiles as C99 and as C++.
 */
#ifndef QELCORE_H
#define QELCORE_H

#include <stddef.h>
#include <stdint.h>

#ifndef QEL_API
#  if defined(QEL_BUILDING_LIBRARY)
#    define QEL_API __attribute__((visibility("default")))
#  else
#    define QEL_API
#  endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Status codes                                                             */
/* ------------------------------------------------------------------------ */

/** The return value of every fallible function. */
typedef int32_t QelStatus;

enum {
    /** Success. */
    QEL_STATUS_OK = 0,
    /** A required pointer (handle, out-pointer, argument record, input,
     *  output buffer or string) is NULL. */
    QEL_STATUS_NULL_POINTER = 1,
    /** Sizes disagree, or a caller buffer is too small. */
    QEL_STATUS_SIZE_MISMATCH = 2,
    /** An invalid value: unknown code or name, bad layout code, zero extent,
     *  text that is not UTF-8, or a result part that is not available. */
    QEL_STATUS_INVALID_VALUE = 3,
    /** The computation failed (an engine error or an internal fault). */
    QEL_STATUS_COMPUTE_FAILED = 5
};

/** Memory order of a caller matrix. */
enum {
    /** Element (i, j) at index i*cols + j. */
    QEL_LAYOUT_ROW_MAJOR = 0,
    /** Element (i, j) at index j*rows + i. */
    QEL_LAYOUT_COL_MAJOR = 1
};

/* ------------------------------------------------------------------------ */
/* Opaque handles                                                           */
/* ------------------------------------------------------------------------ */

/** Options of a prediction run (qel_predict). */
typedef struct QelPredictOptions QelPredictOptions;
/** Options of a grid run (qel_grid). */
typedef struct QelGridOptions QelGridOptions;
/** Options of a max-fit run (qel_maxfit). */
typedef struct QelMaxFitOptions QelMaxFitOptions;
/** The results of a prediction, max-fit or grid run. */
typedef struct QelPredictionResults QelPredictionResults;

/* ------------------------------------------------------------------------ */
/* Error channel and versions                                               */
/* ------------------------------------------------------------------------ */

/**
 * The calling thread's last error message, or "" when there is none; never
 * NULL. The text stays valid until the next call on this thread that clears
 * or sets the message; copy it to keep it longer. Does not clear the message.
 */
QEL_API const char* qel_last_error(void);

/** The interface number of this library: 5. */
QEL_API uint32_t qel_abi_version(void);

/**
 * The engine version, "1.3.2" (static storage). The library file also carries
 * the record "QEL-ENGINE-VERSION=1.3.2" for tools that read the file.
 */
QEL_API const char* qel_engine_version(void);

/* ------------------------------------------------------------------------ */
/* Percentile-value algorithm (process-wide)                                */
/* ------------------------------------------------------------------------ */

/** Percentile values by sorting a copy of the data (the default). */
#define QEL_PERCENTILE_FULL_SORT 0
/** Percentile values by selecting order statistics. */
#define QEL_PERCENTILE_ORDER_STATISTICS 1

/**
 * Chooses the algorithm of every later percentile value, on every thread.
 * algorithm: QEL_PERCENTILE_FULL_SORT or QEL_PERCENTILE_ORDER_STATISTICS.
 * Returns 0, or 3 for any other code (the setting is unchanged).
 */
QEL_API int32_t qel_set_percentile_value_algorithm(int32_t algorithm);

/**
 * The same by name. Blanks around the name are ignored and ASCII letters
 * match in either case: "sort", "fullsort", "full_sort" select full sort;
 * "nth", "select_nth", "order_stats", "order_statistics" select order
 * statistics. Returns 0; 1 when algorithm is NULL; 3 for text that is not
 * UTF-8 or not one of the names (the setting is unchanged).
 */
QEL_API int32_t qel_set_percentile_value_algorithm_str(const char* algorithm);

/** The current algorithm: 1 for order statistics, else 0. Does not clear the
 *  last error. */
QEL_API int32_t qel_get_percentile_value_algorithm(void);

/* ------------------------------------------------------------------------ */
/* Insight calls                                                            */
/* ------------------------------------------------------------------------ */

/* @@insight-calls@@ */

/* ------------------------------------------------------------------------ */
/* Option handles                                                           */
/* ------------------------------------------------------------------------ */

/* @@option-handles@@ */

/* ------------------------------------------------------------------------ */
/* Compute calls                                                            */
/* ------------------------------------------------------------------------ */

/* @@compute-calls@@ */

/* ------------------------------------------------------------------------ */
/* Results: presence, dimensions, counts and release                        */
/* ------------------------------------------------------------------------ */

/* @@results-queries@@ */

/* ------------------------------------------------------------------------ */
/* Results: copies into caller buffers                                      */
/* ------------------------------------------------------------------------ */

/* @@results-copies@@ */

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QELCORE_H */
