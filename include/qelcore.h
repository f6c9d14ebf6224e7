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
 * - The library keeps no caller pointer beyond the call that received it. A
 *   model call (qel_predict, qel_maxfit, qel_grid) reads a row-major X, and y
 *   and theta, in place while it runs: do not change those arrays until it
 *   returns. Everything else is copied at entry. Results leave the library
 *   only by copies into caller buffers.
 * - Every *_free function accepts NULL and returns nothing.
 * - Strings are NUL-terminated UTF-8.
 * - Handles carry no locks: do not change or free a handle while another
 *   thread uses it; reading one handle from several threads is safe.
 * - Memory running out inside a call is status 5 with "<call>: out of memory
 *   (an allocation failed)", such as "qel_predict: out of memory (an
 *   allocation failed)"; a create call returns NULL instead.
 *
 * This header compiles as C99 and as C++.
 */
#ifndef QELCORE_H
#define QELCORE_H

#include <stddef.h>
#include <stdint.h>

/* QEL_VERSION_MAJOR, _MINOR, _PATCH, QEL_VERSION_STRING and QEL_ABI_VERSION:
 * the version this header describes. A host can compare them with
 * qel_engine_version() and qel_abi_version() at run time. */
#include "qelcore_version.h"

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
/* Option codes                                                             */
/* ------------------------------------------------------------------------ */

/*
 * Names for the codes that the option setters and the per-censor results
 * queries take. The functions take plain int32_t: a name and its number are
 * the same argument.
 */

/** Censor score (qel_*_options_set_censor_type). */
enum {
    /** Relevance: similarity plus informativeness. */
    QEL_CENSOR_RELEVANCE = 0,
    /** Similarity to the target. */
    QEL_CENSOR_SIMILARITY = 1,
    /** Both, one pass each: grid and max-fit runs only. */
    QEL_CENSOR_BOTH = 2
};

/** Include rule of the censor (qel_*_options_set_censor_operator). */
enum {
    /** Score > cut-off. */
    QEL_CENSOR_GT = 0,
    /** Score < cut-off. */
    QEL_CENSOR_LT = 1,
    /** Score >= cut-off. */
    QEL_CENSOR_GTE = 2,
    /** Score <= cut-off. */
    QEL_CENSOR_LTE = 3
};

/** What a threshold means (qel_*_options_set_censor_unit). */
enum {
    /** The cut-off is the threshold itself. */
    QEL_UNIT_SCORE = 0,
    /** A threshold t stands for the 100 t-th percentile of the scores. */
    QEL_UNIT_PERCENT = 1
};

/** Inversion of the covariance (qel_*_options_set_inv_method). */
enum {
    /** LU decomposition. */
    QEL_INV_GAUSSIAN = 0,
    /** Cholesky decomposition. */
    QEL_INV_CHOLESKY = 1,
    /** SVD pseudoinverse. */
    QEL_INV_PSEUDOINVERSE = 2
};

/** Factor of the adjusted fit (qel_*_options_set_adj_fit_multiplier). */
enum {
    /** One. */
    QEL_ADJ_FIT_IDENTITY = 0,
    /** K, the number of attributes. */
    QEL_ADJ_FIT_K = 1,
    /** ln(1 + K). */
    QEL_ADJ_FIT_LOG = 2
};

/** Scale of the predictions (qel_*_options_set_prediction_scale). */
enum {
    /** The scale of y. */
    QEL_SCALE_RESPONSE = 0,
    /** Probabilities, through the logistic function. */
    QEL_SCALE_LOGISTIC = 1
};

/** Moments of data with missing values (qel_*_options_set_missing_moments). */
enum {
    /** Covariance from the pairwise-complete observations. */
    QEL_MISSING_PAIRWISE = 0,
    /** Means and covariance from complete rows only. */
    QEL_MISSING_COMPLETE = 1
};

/** Worker pool inside grid and max-fit runs (qel_*_options_set_inner_parallel). */
enum {
    /** As the run's size rules decide. */
    QEL_INNER_PARALLEL_AUTO = 0,
    /** Always sequential. */
    QEL_INNER_PARALLEL_OFF = 1
};

/** Censor of the retained grid cells (the results queries that take censor). */
enum {
    /** Cells of the relevance pass. */
    QEL_GRID_CENSOR_RELEVANCE = 0,
    /** Cells of the similarity pass. */
    QEL_GRID_CENSOR_SIMILARITY = 1
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

/**
 * The C interface number of the loaded library, also the number in its SONAME
 * (libqelcore.so.<n>). A library built from this header returns
 * QEL_ABI_VERSION; a host that finds another number was built against a
 * different interface.
 */
QEL_API uint32_t qel_abi_version(void);

/**
 * The engine version of the loaded library as text, "major.minor.patch"
 * (static storage); QEL_VERSION_STRING for a library built from this header. The
 * library file also carries the record "QEL-ENGINE-VERSION=" followed by the
 * version, for tools that read the file.
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

/*
 * The per-observation measures of the method, written straight into caller
 * buffers, without options or a results handle. All distances are squared
 * Mahalanobis distances under an inverse covariance: the caller's (cov_inv, a
 * cols x cols matrix in its own layout cov_inv_layout) or, when cov_inv is
 * NULL, the inverse of the sample covariance of X (cov_inv_layout is then
 * ignored). The caller's matrix is used as given: it is not checked for
 * symmetry or definiteness.
 *
 * Common parameters:
 *   X, rows, cols, layout  the sample: rows observations of cols attributes,
 *                          QEL_LAYOUT_ROW_MAJOR or QEL_LAYOUT_COL_MAJOR.
 *   theta, theta_len       the target row; theta_len must equal cols.
 *   out, out_len           the caller's output buffer and its capacity in
 *                          doubles; only the front of it is written.
 *
 * Statuses, with the first failing check in this order:
 *   2  theta_len != cols;
 *   3  a layout code other than 0 or 1;
 *   1  X or theta NULL;  3  rows or cols zero, or rows*cols beyond 64 bits;
 *   3  a bad cov_inv_layout (only when cov_inv is given);
 *   5  the covariance of X cannot be inverted (a message beginning "failed
 *      to invert covariance (singular / ill-conditioned X)", followed, for a
 *      covariance too close to singular, by ": " and the reason with its
 *      reciprocal condition number), the computation failed, or memory ran
 *      out;
 *   1  out NULL ("<name> out buffer is null");
 *   2  out_len too small ("<name>: out buffer too small: need N, got M").
 * Nothing is written to a buffer unless its whole result fits.
 *
 * NaN (a missing value) and infinities are not errors: they flow into the
 * results. A NaN in row i of X makes that row's distance to theta NaN; a NaN
 * in a column makes that column's mean, and with it every info value, NaN;
 * and with cov_inv NULL any NaN in X makes the whole covariance, and so every
 * result, NaN. Pass a cov_inv of the complete data to keep the other rows.
 */

/**
 * info_x: the squared distance of every row of X from the column means of X
 * (rows values, not halved). There is no target. out_len >= rows.
 */
QEL_API int32_t qel_info_x(const double* X, size_t rows, size_t cols, int32_t layout, const double* cov_inv,
                           int32_t cov_inv_layout, double* out, size_t out_len);

/**
 * info_theta: the squared distance of theta from the column means of X (one
 * value, not halved). out_len >= 1.
 */
QEL_API int32_t qel_info_theta(const double* X, size_t rows, size_t cols, int32_t layout, const double* theta,
                               size_t theta_len, const double* cov_inv, int32_t cov_inv_layout, double* out,
                               size_t out_len);

/**
 * similarity: minus one half of the squared distance of every row of X from
 * theta (rows values). out_len >= rows.
 */
QEL_API int32_t qel_similarity(const double* X, size_t rows, size_t cols, int32_t layout, const double* theta,
                               size_t theta_len, const double* cov_inv, int32_t cov_inv_layout, double* out,
                               size_t out_len);

/**
 * relevance: for every row of X, similarity + (info_x + info_theta) / 2
 * (rows values). out_len >= rows.
 */
QEL_API int32_t qel_relevance(const double* X, size_t rows, size_t cols, int32_t layout, const double* theta,
                              size_t theta_len, const double* cov_inv, int32_t cov_inv_layout, double* out,
                              size_t out_len);

/**
 * The four outputs of one relevance computation: relevance, similarity and
 * info_x (rows values each) and info_theta (one value). A NULL buffer means
 * the output is not wanted and is skipped (status 0 even when all four are
 * NULL). The buffers are filled in that order; a short buffer stops the call
 * with status 2, leaving the outputs before it written and those after it
 * untouched.
 */
QEL_API int32_t qel_relevance_metrics(const double* X, size_t rows, size_t cols, int32_t layout,
                                      const double* theta, size_t theta_len, const double* cov_inv,
                                      int32_t cov_inv_layout, double* relevance_out, size_t relevance_len,
                                      double* similarity_out, size_t similarity_len, double* info_x_out,
                                      size_t info_x_len, double* info_theta_out, size_t info_theta_len);

/**
 * The arguments of qel_info_x_call, qel_info_theta_call, qel_similarity_call
 * and qel_relevance_call: eight 8-byte slots (64 bytes). layout takes the low
 * 4 bytes of its slot; the rest of the slot is padding. qel_info_x_call
 * ignores theta and theta_len. The record has no inverse covariance: the
 * _call variants always compute it from X.
 */
typedef struct QelInsightCallArgs {
    const double* X;
    size_t rows;
    size_t cols;
    int32_t layout;
    const double* theta;
    size_t theta_len;
    double* out;
    size_t out_len;
} QelInsightCallArgs;

/**
 * The arguments of qel_relevance_metrics_call: fourteen 8-byte slots (112
 * bytes), the parameters of qel_relevance_metrics without cov_inv and
 * cov_inv_layout.
 */
typedef struct QelRelevanceMetricsCallArgs {
    const double* X;
    size_t rows;
    size_t cols;
    int32_t layout;
    const double* theta;
    size_t theta_len;
    double* relevance_out;
    size_t relevance_len;
    double* similarity_out;
    size_t similarity_len;
    double* info_x_out;
    size_t info_x_len;
    double* info_theta_out;
    size_t info_theta_len;
} QelRelevanceMetricsCallArgs;

/* The records' layout is part of the interface (64-bit platforms). C99 has no
 * static assertion; C11 and C++11 compilers check it here. */
#if defined(__cplusplus) && __cplusplus >= 201103L
#  define QEL_STATIC_ASSERT_(cond, text) static_assert(cond, text)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#  define QEL_STATIC_ASSERT_(cond, text) _Static_assert(cond, text)
#endif
#if defined(QEL_STATIC_ASSERT_) && SIZE_MAX == UINT64_MAX
QEL_STATIC_ASSERT_(sizeof(QelInsightCallArgs) == 64, "QelInsightCallArgs is 64 bytes");
QEL_STATIC_ASSERT_(offsetof(QelInsightCallArgs, layout) == 24, "layout in slot 3");
QEL_STATIC_ASSERT_(offsetof(QelInsightCallArgs, theta) == 32, "theta in slot 4");
QEL_STATIC_ASSERT_(offsetof(QelInsightCallArgs, out) == 48, "out in slot 6");
QEL_STATIC_ASSERT_(offsetof(QelInsightCallArgs, out_len) == 56, "out_len in slot 7");
QEL_STATIC_ASSERT_(sizeof(QelRelevanceMetricsCallArgs) == 112, "QelRelevanceMetricsCallArgs is 112 bytes");
QEL_STATIC_ASSERT_(offsetof(QelRelevanceMetricsCallArgs, layout) == 24, "layout in slot 3");
QEL_STATIC_ASSERT_(offsetof(QelRelevanceMetricsCallArgs, relevance_out) == 48, "relevance_out in slot 6");
QEL_STATIC_ASSERT_(offsetof(QelRelevanceMetricsCallArgs, info_theta_len) == 104, "info_theta_len in slot 13");
#endif
#undef QEL_STATIC_ASSERT_

/**
 * The same calls with their arguments in one record (see the records above),
 * the inverse covariance always computed from X. Returns 1 ("args is null")
 * when args is NULL, otherwise exactly what the call without _call returns
 * for the record's values with cov_inv NULL.
 */
QEL_API int32_t qel_info_x_call(const QelInsightCallArgs* args);
QEL_API int32_t qel_info_theta_call(const QelInsightCallArgs* args);
QEL_API int32_t qel_similarity_call(const QelInsightCallArgs* args);
QEL_API int32_t qel_relevance_call(const QelInsightCallArgs* args);
QEL_API int32_t qel_relevance_metrics_call(const QelRelevanceMetricsCallArgs* args);

/* ------------------------------------------------------------------------ */
/* Option handles                                                           */
/* ------------------------------------------------------------------------ */

/*
 * Three kinds of handle configure the three kinds of run: QelPredictOptions
 * for qel_predict, QelGridOptions for qel_grid and QelMaxFitOptions for
 * qel_maxfit. A handle belongs to the caller from create to free and must only
 * be passed to the functions of its own kind.
 *
 * Each handle carries a private tag of its kind, set by its create call and
 * cleared by its free call. A setter or model call given a handle of another
 * kind (for instance through the `const void*` options slot of
 * QelModelCallArgs) returns QEL_STATUS_INVALID_VALUE with "options is not a
 * predict options handle" (or "grid", or "max-fit" in place of "predict",
 * naming the kind the function expects) and changes nothing; a free call given
 * a handle of another kind leaves it alone. A handle that was already freed is
 * refused (and a second free ignored) as long as its memory has not been
 * handed out again; that cannot be relied on, and using a freed handle remains
 * a host error.
 *
 * Setters change one setting in place and return a status. Every setter first
 * clears the calling thread's message; a NULL handle returns
 * QEL_STATUS_NULL_POINTER with "opts is null" before any other argument is
 * looked at, then a handle of another kind returns QEL_STATUS_INVALID_VALUE
 * (above). A failing setter leaves the handle unchanged. Codes are int32_t
 * and negative codes are refused like codes that are too large; messages show
 * the value as passed. Flags: zero is off, any other value on.
 *
 * Text setters (the *_str setters and qel_maxfit_options_set_objective) then
 * check the text: NULL returns QEL_STATUS_NULL_POINTER with "expected non-null
 * C string"; bytes that are not UTF-8 return QEL_STATUS_INVALID_VALUE with
 * "C string is not valid UTF-8". Unless noted otherwise, a word matches in any
 * ASCII letter case but must not carry blanks, and a refused text appears in
 * the message exactly as passed.
 *
 * A setter that copies an array (thresholds, combinations) and cannot allocate
 * the copy returns QEL_STATUS_COMPUTE_FAILED with a message saying memory ran
 * out; the handle keeps its old value.
 */

/**
 * A new predict handle: thresholds [0.5], censor operator >=, censor type
 * relevance, adjusted-fit multiplier K, Gaussian (LU) inversion, thresholds as
 * percentiles, response scale, pairwise missing moments, no linear regression,
 * not verbose. Clears the calling thread's message. Free it with
 * qel_predict_options_free. Returns NULL only when memory runs out (the
 * message then says so).
 */
QEL_API QelPredictOptions* qel_predict_options_create(void);

/**
 * A new grid handle: the predict settings above except thresholds
 * [0.0, 0.2, 0.5, 0.8] and censor type both; no cell details retained,
 * k 1, max_iter 1000, combinations drawn from seed 42, missing-value impact
 * adjusted, inner parallelism auto. Clears the calling thread's message. Free
 * it with qel_grid_options_free. Returns NULL only when memory runs out.
 */
QEL_API QelGridOptions* qel_grid_options_create(void);

/**
 * A new max-fit handle: objective "kfit", the predict settings above except
 * thresholds [0.0, 0.2, 0.5, 0.8] and censor type both, inner parallelism
 * auto. Clears the calling thread's message. Free it with
 * qel_maxfit_options_free. Returns NULL only when memory runs out.
 */
QEL_API QelMaxFitOptions* qel_maxfit_options_create(void);

/** Releases a predict handle and all it holds. NULL, and a handle of another
 *  kind, are accepted and ignored. Does not touch the last error. */
QEL_API void qel_predict_options_free(QelPredictOptions* opts);
/** Releases a grid handle and all it holds (thresholds, combinations, key
 *  list). NULL, and a handle of another kind, are accepted and ignored. Does
 *  not touch the last error. */
QEL_API void qel_grid_options_free(QelGridOptions* opts);
/** Releases a max-fit handle and all it holds. NULL, and a handle of another
 *  kind, are accepted and ignored. Does not touch the last error. */
QEL_API void qel_maxfit_options_free(QelMaxFitOptions* opts);

/* Settings common to all three kinds -------------------------------------- */

/**
 * The thresholds of the run: n values copied from values. With the percent
 * unit a threshold t stands for the 100 t-th percentile of the censor scores;
 * negative values and values above 1 are stored as given and act as 0 and 1
 * (see "The model calls" below). Returns 1 "threshold values pointer is null"
 * when values is NULL (even when n is 0), 3 "threshold length must be
 * non-zero" when n is 0, 3 "threshold values[<position>] is NaN: every
 * threshold must be a number" for the first NaN (the handle keeps its old
 * thresholds).
 */
QEL_API int32_t qel_predict_options_set_threshold(QelPredictOptions* opts, const double* values, size_t n);
/** As qel_predict_options_set_threshold, for a grid handle. */
QEL_API int32_t qel_grid_options_set_threshold(QelGridOptions* opts, const double* values, size_t n);
/** As qel_predict_options_set_threshold, for a max-fit handle. */
QEL_API int32_t qel_maxfit_options_set_threshold(QelMaxFitOptions* opts, const double* values, size_t n);

/**
 * The include rule of the censor: QEL_CENSOR_GT (0) score > cut-off,
 * QEL_CENSOR_LT (1) score < cut-off, QEL_CENSOR_GTE (2) score >= cut-off,
 * QEL_CENSOR_LTE (3) score <= cut-off. Other codes return 3
 * "invalid censor_operator: <value>".
 */
QEL_API int32_t qel_predict_options_set_censor_operator(QelPredictOptions* opts, int32_t code);
/** As qel_predict_options_set_censor_operator, for a grid handle. */
QEL_API int32_t qel_grid_options_set_censor_operator(QelGridOptions* opts, int32_t code);
/** As qel_predict_options_set_censor_operator, for a max-fit handle. */
QEL_API int32_t qel_maxfit_options_set_censor_operator(QelMaxFitOptions* opts, int32_t code);

/**
 * The include rule by name: ">", "gt", "greater_than" (0); "<", "lt",
 * "less_than" (1); ">=", "gte", "greater_than_or_equal_to" (2); "<=", "lte",
 * "less_than_or_equal_to" (3). Other texts return 3
 * "invalid censor_operator string: <text>".
 */
QEL_API int32_t qel_predict_options_set_censor_operator_str(QelPredictOptions* opts, const char* text);

/**
 * The censor score of a prediction: QEL_CENSOR_RELEVANCE (0) or
 * QEL_CENSOR_SIMILARITY (1). QEL_CENSOR_BOTH (2) belongs to grid and max-fit
 * runs and returns 3 "CensorType::Both is not valid for predict; use
 * 0=relevance or 1=similarity"; other codes return 3
 * "invalid censor_type: <value>".
 */
QEL_API int32_t qel_predict_options_set_censor_type(QelPredictOptions* opts, int32_t code);
/** The censor score of a grid run: QEL_CENSOR_RELEVANCE (0),
 *  QEL_CENSOR_SIMILARITY (1) or QEL_CENSOR_BOTH (2, one pass each). Other
 *  codes return 3 "invalid censor_type: <value>". */
QEL_API int32_t qel_grid_options_set_censor_type(QelGridOptions* opts, int32_t code);
/** As qel_grid_options_set_censor_type, for a max-fit handle. */
QEL_API int32_t qel_maxfit_options_set_censor_type(QelMaxFitOptions* opts, int32_t code);

/**
 * The censor score by name: "relevance" or "similarity". "both" returns 3
 * "censor_type 'both' is not valid for predict"; other texts return 3
 * "invalid censor_type string: <text>".
 */
QEL_API int32_t qel_predict_options_set_censor_type_str(QelPredictOptions* opts, const char* text);
/** The censor score by name: "relevance", "similarity" or "both". Other texts
 *  return 3 "invalid censor_type string: <text>". */
QEL_API int32_t qel_grid_options_set_censor_type_str(QelGridOptions* opts, const char* text);
/** As qel_grid_options_set_censor_type_str, for a max-fit handle. */
QEL_API int32_t qel_maxfit_options_set_censor_type_str(QelMaxFitOptions* opts, const char* text);

/**
 * What a threshold means: QEL_UNIT_SCORE (0) a raw score, QEL_UNIT_PERCENT (1)
 * a fraction t whose cut-off is the 100 t-th percentile of the censor scores. Other codes return 3
 * "invalid censor_unit: <value> (0=score, 1=percent)".
 */
QEL_API int32_t qel_predict_options_set_censor_unit(QelPredictOptions* opts, int32_t code);
/** As qel_predict_options_set_censor_unit, for a grid handle. */
QEL_API int32_t qel_grid_options_set_censor_unit(QelGridOptions* opts, int32_t code);
/** As qel_predict_options_set_censor_unit, for a max-fit handle. */
QEL_API int32_t qel_maxfit_options_set_censor_unit(QelMaxFitOptions* opts, int32_t code);

/** The threshold unit by name: "score" or "percent". Other texts return 3
 *  "invalid censor_unit string: <text>". */
QEL_API int32_t qel_predict_options_set_censor_unit_str(QelPredictOptions* opts, const char* text);

/**
 * The factor of the adjusted fit: QEL_ADJ_FIT_IDENTITY (0) one, QEL_ADJ_FIT_K
 * (1) K (the number of attributes), QEL_ADJ_FIT_LOG (2) ln(1 + K). Other codes return 3
 * "invalid adj_fit_multiplier: <value> (0=identity, 1=K, 2=log)".
 */
QEL_API int32_t qel_predict_options_set_adj_fit_multiplier(QelPredictOptions* opts, int32_t code);
/** As qel_predict_options_set_adj_fit_multiplier, for a grid handle. */
QEL_API int32_t qel_grid_options_set_adj_fit_multiplier(QelGridOptions* opts, int32_t code);
/** As qel_predict_options_set_adj_fit_multiplier, for a max-fit handle. */
QEL_API int32_t qel_maxfit_options_set_adj_fit_multiplier(QelMaxFitOptions* opts, int32_t code);

/**
 * The inversion of the covariance: QEL_INV_GAUSSIAN (0) LU, QEL_INV_CHOLESKY
 * (1) Cholesky, QEL_INV_PSEUDOINVERSE (2) SVD pseudoinverse.
 * Other codes return 3
 * "invalid inv_method: <value> (0=gaussian, 1=cholesky, 2=pseudoinverse)".
 */
QEL_API int32_t qel_predict_options_set_inv_method(QelPredictOptions* opts, int32_t code);
/** As qel_predict_options_set_inv_method, for a grid handle. */
QEL_API int32_t qel_grid_options_set_inv_method(QelGridOptions* opts, int32_t code);
/** As qel_predict_options_set_inv_method, for a max-fit handle. */
QEL_API int32_t qel_maxfit_options_set_inv_method(QelMaxFitOptions* opts, int32_t code);

/**
 * The scale of the predictions: QEL_SCALE_RESPONSE (0) the scale of y,
 * QEL_SCALE_LOGISTIC (1) probabilities.
 * Other codes return 3 "invalid prediction_scale: <value> (0=response,
 * 1=logistic)".
 */
QEL_API int32_t qel_predict_options_set_prediction_scale(QelPredictOptions* opts, int32_t code);
/** As qel_predict_options_set_prediction_scale, for a grid handle. */
QEL_API int32_t qel_grid_options_set_prediction_scale(QelGridOptions* opts, int32_t code);
/** As qel_predict_options_set_prediction_scale, for a max-fit handle. */
QEL_API int32_t qel_maxfit_options_set_prediction_scale(QelMaxFitOptions* opts, int32_t code);

/**
 * The moments of data with missing values: QEL_MISSING_PAIRWISE (0)
 * covariance from the pairwise-complete observations, QEL_MISSING_COMPLETE (1)
 * means and covariance from complete rows only. Other codes return 3
 * "invalid missing_moments: <value> (0=pairwise, 1=complete)". Grid handles
 * have no such setting.
 */
QEL_API int32_t qel_predict_options_set_missing_moments(QelPredictOptions* opts, int32_t code);
/** As qel_predict_options_set_missing_moments, for a max-fit handle. */
QEL_API int32_t qel_maxfit_options_set_missing_moments(QelMaxFitOptions* opts, int32_t code);

/** The same setting as a flag: non-zero selects complete rows (1), zero
 *  pairwise moments (0). Never fails on a valid handle. */
QEL_API int32_t qel_predict_options_set_verify_missing_data(QelPredictOptions* opts, int32_t flag);
/** As qel_predict_options_set_verify_missing_data, for a max-fit handle. */
QEL_API int32_t qel_maxfit_options_set_verify_missing_data(QelMaxFitOptions* opts, int32_t flag);

/** Flag: also compute the linear-regression value at the target. */
QEL_API int32_t qel_predict_options_set_include_linear_regression(QelPredictOptions* opts, int32_t flag);
/** As qel_predict_options_set_include_linear_regression, for a grid handle. */
QEL_API int32_t qel_grid_options_set_include_linear_regression(QelGridOptions* opts, int32_t flag);
/** As qel_predict_options_set_include_linear_regression, for a max-fit handle. */
QEL_API int32_t qel_maxfit_options_set_include_linear_regression(QelMaxFitOptions* opts, int32_t flag);

/** Flag: lines on standard output from grid and max-fit runs (see "The model
 *  calls" below); a prediction prints nothing. */
QEL_API int32_t qel_predict_options_set_verbose(QelPredictOptions* opts, int32_t flag);
/** As qel_predict_options_set_verbose, for a grid handle. */
QEL_API int32_t qel_grid_options_set_verbose(QelGridOptions* opts, int32_t flag);
/** As qel_predict_options_set_verbose, for a max-fit handle. */
QEL_API int32_t qel_maxfit_options_set_verbose(QelMaxFitOptions* opts, int32_t flag);

/* Grid and max-fit runs ---------------------------------------------------- */

/**
 * Whether the run may spread its inner work over a worker pool:
 * QEL_INNER_PARALLEL_AUTO (0) as its size rules decide, QEL_INNER_PARALLEL_OFF
 * (1) always sequential. Other codes return 3
 * "invalid inner_parallel: <value>; expected 0=auto or 1=off".
 */
QEL_API int32_t qel_grid_options_set_inner_parallel(QelGridOptions* opts, int32_t code);
/** As qel_grid_options_set_inner_parallel, for a max-fit handle. */
QEL_API int32_t qel_maxfit_options_set_inner_parallel(QelMaxFitOptions* opts, int32_t code);

/**
 * The same by name: "auto" (0), or "0", "off", "seq", "false", "sequential"
 * (1). There is no word for forcing the pool on: "1", "true" and others
 * return 3 "invalid inner_parallel string: '<text>'; expected 'auto' or 'off'".
 */
QEL_API int32_t qel_grid_options_set_inner_parallel_str(QelGridOptions* opts, const char* text);
/** As qel_grid_options_set_inner_parallel_str, for a max-fit handle. */
QEL_API int32_t qel_maxfit_options_set_inner_parallel_str(QelMaxFitOptions* opts, const char* text);

/* Grid runs ---------------------------------------------------------------- */

/** The smallest number of attributes in a combination. 0 returns 3
 *  "k must be > 0". */
QEL_API int32_t qel_grid_options_set_k(QelGridOptions* opts, size_t k);

/** The largest number of combinations. 0 returns 3 "max_iter must be > 0". */
QEL_API int32_t qel_grid_options_set_max_iter(QelGridOptions* opts, size_t n);

/** The seed of the combination draws; every value is accepted and its 32-bit
 *  pattern kept (so -1 is 4294967295). */
QEL_API int32_t qel_grid_options_set_seed(QelGridOptions* opts, int32_t seed);

/** Flag: estimate the importance of missing values with noise twins. */
QEL_API int32_t qel_grid_options_set_adjust_impact_for_missing(QelGridOptions* opts, int32_t flag);

/** Flag: keep every per-cell detail (non-zero) or none (zero); replaces a
 *  key list set before. */
QEL_API int32_t qel_grid_options_set_retain_all(QelGridOptions* opts, int32_t flag);

/**
 * Which per-cell details to keep, as text. Blank text, "0", "none" or "false"
 * keep none and "1", "all" or "true" keep all (these words in any ASCII letter
 * case, blanks around them ignored). Anything else is a list of keys, with or
 * without brackets, separated by commas, each optionally in single or double
 * quotes, e.g. "[yhat_cells, 'k_cells']"; "[]" is an empty list. Keys, in
 * any order and repeatable, matched with their exact letters: yhat_cells,
 * adjusted_fit_cells, n_cells, weights_cells, k_cells, combi_cells,
 * ysolo_distribution, ysolo_cells. The first unknown key returns 3
 * "Invalid retain_grid_objects key: '<key>'. Valid keys: <the eight keys>".
 */
QEL_API int32_t qel_grid_options_set_retain_grid_objects_str(QelGridOptions* opts, const char* text);

/**
 * The caller's own attribute combinations, one row per combination and one
 * column per attribute of X, copied (row-major or column-major by layout) and
 * replacing any set before. Returns 3 "invalid QelLayout value: <layout> (use
 * 0=row-major, 1=col-major)" for a bad layout (tested first); 1 "matrix
 * pointer is null"; 3 "matrix dimensions must be non-zero" or "matrix
 * dimensions overflow".
 */
QEL_API int32_t qel_grid_options_set_attribute_combi(QelGridOptions* opts, const double* values, size_t rows,
                                                     size_t cols, int32_t layout);

/* Max-fit runs ------------------------------------------------------------- */

/**
 * What the best threshold maximises: exactly "fit", "adjusted_fit" or "kfit"
 * (letters as written, no blanks). Other texts return 3 "objective must be
 * 'fit', 'adjusted_fit', or 'kfit'; got '<text>'".
 */
QEL_API int32_t qel_maxfit_options_set_objective(QelMaxFitOptions* opts, const char* objective);

/* ------------------------------------------------------------------------ */
/* Compute calls                                                            */
/* ------------------------------------------------------------------------ */

/*
 * The model calls (qel_predict, qel_maxfit, qel_grid) and their data.
 *
 * y      N outcomes, every one finite: a NaN or infinite outcome fails every
 *        model call with status 5 and a message naming its row. On the
 *        logistic scale every outcome must also lie within [0, 1] (status 5
 *        names the first that does not); outcomes that are all 0 are
 *        accepted and give NaN probabilities (a grid run, like any grid
 *        run on outcomes without spread, then fails for want of adjusted
 *        fit).
 * X      N x K attributes. NaN marks a missing value; how each call deals
 *        with it is said at the call. An infinite value, values so large
 *        that the covariance overflows, a column with fewer than two observed
 *        values, fewer than two complete rows where only those count, or a
 *        single observation leave the covariance not finite and fail the run
 *        with status 5 (the message names the column where it can).
 * theta  K target values. qel_predict and qel_maxfit need every one finite:
 *        status 5 names the first that is not, with the remedy (drop the
 *        attribute, or run a grid). qel_grid accepts missing ones (see there).
 *
 * The inverse covariance. Under QEL_INV_GAUSSIAN (the default) and
 * QEL_INV_CHOLESKY, a column of X whose observed values are all equal is
 * refused first with status 5, "column <j> of X has no spread (every observed
 * value is <value>): drop it, or use the pseudoinverse" (by a grid run only
 * when a cell uses it). A covariance that is singular, or whose reciprocal
 * condition number is below DBL_EPSILON (its inverse would hold no correct
 * digit), fails the run with status 5: "LU decomposition failed.",
 * "Cholesky decomposition failed.", or a message that gives the number, the
 * likely cause (an attribute that is a linear combination of others, or has
 * no spread) and the remedy (drop it, or use QEL_INV_PSEUDOINVERSE). The
 * pseudoinverse accepts a singular covariance. The condition number is that
 * of the covariance scaled to unit variances: the units of the attributes
 * play no part.
 *
 * With missing values in X, the pairwise covariance (QEL_MISSING_PAIRWISE, of
 * qel_predict and qel_maxfit) takes its entries from different observations
 * and need not be positive semi-definite; under one with a negative
 * eigenvalue, distances can be negative and no relevance means anything.
 * Before it is inverted, by any method, one whose correlations have an
 * eigenvalue below -(K x DBL_EPSILON x their largest) fails the run with
 * status 5, "covariance of X is indefinite (smallest eigenvalue <value> of
 * its correlations): missing values make the pairwise covariance
 * indefinite, its entries coming from different observations; use the
 * complete-rows missing-moments setting (QEL_MISSING_COMPLETE), or fewer
 * missing values". A singular, semi-definite one is left to the method.
 *
 * Thresholds. With QEL_UNIT_PERCENT a threshold t stands for the censor
 * score at the 100 t-th percentile of the observations' scores (NaN scores
 * left out, linear between neighbouring scores): a t below 0 acts as 0 (the
 * smallest score), a t above 1 as 1 (the largest), and the auxiliary
 * r_star_percent reports 100 t as given. With QEL_UNIT_SCORE the threshold is
 * the cut-off itself.
 *
 * Nothing retained. A threshold that retains no observation (QEL_CENSOR_GT
 * at t = 1, a score cut-off beyond every score), or only one, gives every
 * observation that has a relevance the weight 1/M (M their number, the
 * others 0): yhat is their mean of y, fit 0, and outlier influence and
 * agreement NaN (0 in a run of 12 thresholds or more). The asymmetry against
 * the censored observations, and so the adjusted fit, is not 0.
 *
 * Standard output, only with the verbose flag: qel_predict prints nothing.
 * qel_maxfit prints "All-NaN slice encountered!" and a line feed for each
 * censor type whose objective score is NaN at every threshold (it then keeps
 * the last threshold). qel_grid prints one line before it starts, such as
 * "Using sequential execution for grid prediction (Both censor, 200
 * observations)": "parallel" when it runs on the worker pool, the censor type
 * as "Relevance", "Similarity" or "Both", and N. Whatever the flag, an
 * internal fault caught at the boundary (status 5 with "internal panic in
 * ...") also writes one line to standard error; memory running out does not.
 */

/**
 * The parameters of a model call in one record (qel_predict_call and its
 * grid and max-fit peers): ten 8-byte slots, 80 bytes. `layout` occupies the
 * low 4 bytes of its slot; the rest is padding. `options` holds a handle of the
 * call's kind, or NULL for the defaults; a handle of another kind is refused
 * with QEL_STATUS_INVALID_VALUE ("options is not a grid options handle" from
 * qel_grid_call, and so on).
 */
typedef struct QelModelCallArgs {
    const double* y;
    size_t y_len;
    const double* X;
    size_t rows;
    size_t cols;
    int32_t layout;
    const double* theta;
    size_t theta_len;
    const void* options;
    QelPredictionResults** out_results;
} QelModelCallArgs;

/**
 * Runs one prediction over the thresholds of `options`.
 *
 * y:           N outcomes (y_len must equal rows).
 * X:           the N x K attributes, rows x cols doubles in `layout` order;
 *              NaN marks a missing value.
 * theta:       the target row, K values (theta_len must equal cols).
 * options:     a predict handle, or NULL for the defaults of
 *              qel_predict_options_create (one threshold, 0.5).
 * out_results: receives a new results handle on success and NULL on every
 *              failure; free it with qel_prediction_results_free.
 *
 * Missing values in X follow the handle's missing-moments setting:
 * QEL_MISSING_PAIRWISE (the default) takes each mean from the observations
 * that have the attribute and each covariance entry from those that have
 * both; QEL_MISSING_COMPLETE takes means and covariance from the complete
 * rows. Either way a row with a missing attribute has no distance to the
 * target: its relevance and similarity are NaN, it is neither retained nor
 * censored, its weight is 0 at every threshold and its solo prediction NaN.
 * The weights count only the rows that have a relevance (M of the N in
 * "What the parts are" below), so that those of each threshold sum to 1 and
 * yhat moves with y: y + c predicts yhat + c. A run in which no observation
 * has a finite censor score (every row misses a value, or the target is so
 * far away that its distances overflow) fails with status 5 ("no observation
 * has a finite relevance score: ..." or its similarity peer), and so does
 * one in which only one row has a relevance ("only one observation has a
 * relevance: ..."): the weights need the spread of two. A pairwise
 * covariance that is indefinite is refused (see "The model calls" above). y
 * and theta: see there too.
 *
 * Returns 0; 1 for a NULL out_results, y, X or theta; 2 when the lengths
 * disagree with the extents; 3 for a bad layout code, a zero extent or an
 * options handle of another kind (checked after the inputs); 5 when the run
 * refuses its data or the computation fails (for instance a covariance that
 * the chosen method cannot invert, or one that is not finite), with the
 * reason in qel_last_error().
 */
QEL_API int32_t qel_predict(const double* y, size_t y_len, const double* X, size_t rows, size_t cols,
                            int32_t layout, const double* theta, size_t theta_len,
                            const QelPredictOptions* options, QelPredictionResults** out_results);

/**
 * qel_predict with its parameters in one record. Returns 1 ("args is null")
 * for a NULL record, else exactly what qel_predict returns for those values.
 */
QEL_API int32_t qel_predict_call(const QelModelCallArgs* args);

/**
 * Finds the threshold and the censor type that fit best. For each censor type
 * of `options` (relevance, similarity, or both) one prediction runs over all
 * thresholds; the threshold with the largest objective score ("fit",
 * "adjusted_fit" or "kfit"; ties go to the later threshold, NaN scores are
 * passed over) is kept, and of the censor types the one with the larger score
 * (relevance on a tie). The prediction scale and the linear-regression value
 * apply to the chosen result only. With censor type both and inner parallelism
 * "auto" the two censor types run at once on the library's worker pool; the
 * result is the same as a sequential run's.
 *
 * y, X, theta: as for qel_predict.
 * options:     a max-fit handle, or NULL for the defaults of
 *              qel_maxfit_options_create (objective "kfit", thresholds 0.0,
 *              0.2, 0.5, 0.8, censor type both, inner parallelism "auto").
 * out_results: receives a new results handle on success and NULL on every
 *              failure; free it with qel_prediction_results_free. The results
 *              hold one threshold (the chosen one), every per-threshold part
 *              reduced to it, and the max-fit index: one value per searched
 *              threshold, 1.0 at the chosen one and 0.0 elsewhere.
 *
 * Missing values in X are dealt with as by qel_predict: the covariance that
 * every inner prediction shares follows the handle's missing-moments setting
 * (on complete data it is the plain sample covariance either way), and an
 * indefinite pairwise one is refused. y and theta as for qel_predict,
 * including the refusal of a run in which no observation has a finite censor
 * score.
 *
 * Returns 0; 1, 2 and 3 as qel_predict; 5 when the run refuses its data or
 * fails, with the reason in qel_last_error(): for instance a covariance that
 * is not finite or too close to singular (see "The model calls" above). When
 * both censor types run on the pool, the reason follows the name of the step
 * that failed ("Setup error: ", "Parallel execution error: Execution error: "
 * and so on): under the default options a refusal of the data begins
 * "Setup error: ", except that of a run without a finite censor score,
 * "Parallel execution error: Execution error: ". A covariance that LU
 * or Cholesky cannot factorise at all gives a message beginning
 * "internal panic in qel_maxfit (often singular / ill-conditioned data): ".
 */
QEL_API int32_t qel_maxfit(const double* y, size_t y_len, const double* X, size_t rows, size_t cols,
                           int32_t layout, const double* theta, size_t theta_len,
                           const QelMaxFitOptions* options, QelPredictionResults** out_results);

/**
 * qel_maxfit with its parameters in one record (`options` holds a max-fit
 * handle or NULL). Returns 1 ("args is null") for a NULL record, else exactly
 * what qel_maxfit returns for those values.
 */
QEL_API int32_t qel_maxfit_call(const QelModelCallArgs* args);

/**
 * Runs a grid search: one prediction per attribute combination and censor
 * type (both censor types by default), pooled by adjusted fit into one
 * composite result with one threshold.
 *
 * The parameters are those of qel_predict, with a grid handle (or NULL for the
 * defaults of qel_grid_options_create). The combinations are the handle's
 * list, sampled down to max_iter rows when longer, or drawn from its seed.
 * The sample of a list is drawn from the operating system's entropy: a run
 * whose list is longer than max_iter is not reproducible.
 *
 * out_results: receives a new results handle on success and NULL on every
 *              failure: the composite core values, composite weights and
 *              weights_excluded (N x 1), auxiliary n, k and rho, the grid
 *              insights (variable weights, mctc, mctp, cctp) and, with a
 *              retain setting, the retained grid cells. Free it with
 *              qel_prediction_results_free.
 *
 * Missing values in X: a cell none of whose attributes misses a value uses
 * every row; a cell that uses attributes with missing values takes its means
 * and covariance from the rows that have all of its attributes and counts
 * only those in N, the other rows weighing 0 in it. With missing values each
 * observation's composite weight is divided by the share of the cells in
 * which it has a score, the weights are scaled to sum 1, and the composite
 * yhat is their sum with y (when no cell lends a weight, as at thresholds
 * that retain no more observations than a cell has attributes, it is the
 * cells' yhat pooled by adjusted fit, as on complete data); with
 * adjust_impact_for_missing (the default) the attributes with missing values
 * also get noise-twin cells (missing-value importance, under the results
 * below). At most 64 columns may miss values.
 *
 * theta may miss values: the cells that use a missing (NaN or infinite)
 * target attribute retain nothing and weigh nothing in the composite, and
 * the others predict as usual. A theta with no finite value fails with
 * status 5 before any cell runs. y: see "The model calls" above.
 *
 * Returns 0; 1, 2 and 3 as qel_predict; 5 when the run refuses its data or
 * fails (for instance more than 64 columns with missing values, every cell
 * without adjusted fit, as when no cell has an observation with a finite
 * censor score: "adjusted_fit_total_sum is zero, cannot calculate composite
 * results", or a covariance that is not finite or too close to
 * singular: the one of the complete columns, or the listwise covariance of
 * one combination or of its noise twin, as when X holds an infinite or
 * overflowing value or two columns are never observed together) with the
 * reason in qel_last_error(), or with a message beginning
 * "internal panic in qel_grid (often singular / ill-conditioned data): ".
 */
QEL_API int32_t qel_grid(const double* y, size_t y_len, const double* X, size_t rows, size_t cols, int32_t layout,
                         const double* theta, size_t theta_len, const QelGridOptions* options,
                         QelPredictionResults** out_results);

/**
 * qel_grid with its parameters in one record (options holds a grid handle or
 * NULL). Returns 1 ("args is null") for a NULL record, else exactly what
 * qel_grid returns for those values.
 */
QEL_API int32_t qel_grid_call(const QelModelCallArgs* args);

/* ------------------------------------------------------------------------ */
/* Results: presence, dimensions, counts and release                        */
/* ------------------------------------------------------------------------ */

/*
 * A results handle comes from qel_predict, qel_maxfit or qel_grid; the caller
 * owns it until qel_prediction_results_free. Nothing in it changes after it
 * was returned, so several threads may read one handle at once (not while
 * one of them frees it).
 *
 * What the parts are. N observations, K attributes, T thresholds; at each
 * threshold the censor splits the observations into the retained and the
 * censored ones. A max-fit result holds the chosen threshold alone; a grid
 * result holds composites of its cells, one value per per-threshold part.
 *
 * weights            N x T partial-sample weights of the retained side:
 *                    w_i = 1/M + lambda_sq / (n - 1) * (r_i [i retained] -
 *                    (sum of the retained r) / M), with r the relevance, M
 *                    the number of observations that have one (N without
 *                    missing values), n the retained count and lambda_sq
 *                    (aux_lambda_sq) the sum of r^2 over all observations
 *                    over that over the retained ones, each divided by its
 *                    count - 1; a NaN weight is stored as 0, a row without a
 *                    relevance weighs 0, and each column sums to 1.
 * weights_excluded   The same weights formed from the censored observations.
 * include            1 where an observation is retained at a threshold.
 * yhat               The prediction: the sum of weights times y, on the
 *                    logistic scale turned into a probability.
 * fit                The squared correlation, over all N observations, of a
 *                    threshold's weights with y.
 * rho                That correlation itself; results hold it only as a
 *                    grid's composite rho (aux_rho).
 * outlier_influence  The sum over the observations of z_w^2 * z_y^2, the
 *                    squared z-scores of weight and outcome, over (N - 1)^2:
 *                    large when a few extreme observations carry the fit
 *                    (NaN for weights or outcomes without spread in a run of
 *                    at most 11 thresholds, 0 from 12 on).
 * agreement          fit - outlier_influence.
 * asymmetry          Half the squared difference between the correlations
 *                    with y of weights and of weights_excluded; 0 where every
 *                    observation is retained.
 * adjusted_fit       (fit + asymmetry) times 1, K or ln(1 + K), as the
 *                    adjusted-fit multiplier says.
 * k_fit              fit times K, the number of attributes the prediction
 *                    uses.
 * weights_concentration  The spread of each threshold's weights: their
 *                    population standard deviation, NaN counted as 0.
 * relevance, similarity, info_x, info_theta  Per observation (the target's
 *                    for info_theta), as the insight calls compute them.
 * y_solo             Each observation's contribution to the prediction,
 *                    m + (info_theta / r_i) * (y_i - m), m the mean of y (m
 *                    itself when |r_i| < 1e-8); a probability on the logistic
 *                    scale.
 * xi_solo            N x T solo weights: a retained observation's squared
 *                    relevance over the sum of these at the threshold, 0 for
 *                    a censored one.
 * ysolo_sigma, ysolo_skewness, ysolo_kurtosis  The standard deviation,
 *                    skewness and kurtosis (3 not subtracted) of y_solo
 *                    around yhat, weighted by xi_solo.
 * ysolo_pearson_modality_index, ysolo_bimodal_index  kurtosis - skewness^2
 *                    and (skewness^2 + 1) / kurtosis.
 * ysolo bin edges, centers, widths, counts  A histogram of y_solo without the
 *                    values beyond 5 interquartile ranges from the quartiles;
 *                    a bin's count at a threshold is the sum of the solo
 *                    weights of its values, rescaled to sum 1 over the kept
 *                    values (a grid has one column, pooled from the solo
 *                    predictions of its retained cells).
 * aux_*              The values behind the weights per threshold: the shares,
 *                    variances and cut-offs that the aux copies name.
 * maxfit_index       1.0 at the chosen threshold among those searched, 0.0
 *                    elsewhere.
 *
 * Grid composites. Each cell (one combination under one censor pass) weighs
 * by its adjusted fit af, summed over its thresholds into D over all cells.
 * Without missing values yhat is sum(af * yhat of the cell) / D; weights and
 * weights_excluded (N x 1) mix the cells' weights by af (on the retained side
 * only from thresholds that retain more observations than the cell has
 * attributes), and fit, rho, outlier_influence, agreement and asymmetry are
 * those of these weights with y; adjusted_fit is sum(af^2) / D, k_fit the
 * fit times the af-weighted mean number of attributes of a cell, aux n and k
 * the af-weighted retained count and cell size, rounded.
 * Retained cells (the retain settings): per censor pass and combination, its
 * yhat, adjusted fit and retained count per threshold (yhat_cells,
 * adjusted_fit_cells, n_cells, C x T), its weights (weights_cells) and its
 * solo weights times its adjusted fit (xi_solo_cells, N x T x C); per
 * combination its solo predictions (ysolo_cells, N x C), its size (k_cells)
 * and its attributes (combi_cells, 0.0 or 1.0).
 * variable_weights   Each attribute's share of the adjusted fit: the af of
 *                    the cells that use it, scaled so that all K sum to 1.
 * mctc               Marginal contribution to conviction: the mean af (per
 *                    cell and threshold) of the cells that use the attribute
 *                    minus that of the cells that do not.
 * mctp               The same for yhat: marginal contribution to the
 *                    prediction.
 * cctp               Component contribution to the prediction: the
 *                    composite yhat minus the af-weighted mean yhat of the
 *                    cells without the attribute.
 * Missing-value importance: with adjust_impact_for_missing, an attribute
 *                    with missing values is also run as its noise twin (its
 *                    observed values replaced by normal noise of their mean
 *                    and spread, its gaps kept) in each cell that uses it,
 *                    and its mctc and mctp compare the cells with the
 *                    attribute against these twins instead of the cells
 *                    without it: what its values add beyond where they are
 *                    missing.
 * xi_solo_composite  Each observation's solo weights, mixed over the cells by
 *                    af as the retained-side weights are, over D.
 */

/*
 * Presence tests. Each answers 1 when the results hold the part, else 0.
 * They do not clear the last error. A NULL results handle answers 0 and sets
 * "results is null" (qel_results_has_yhat_linear alone leaves the last error
 * untouched); a freed handle, or one of another kind, answers 0 and sets
 * "results is not a results handle". The per-censor tests take censor
 * QEL_GRID_CENSOR_RELEVANCE (0) or QEL_GRID_CENSOR_SIMILARITY (1); when they
 * answer 0 the reason is left as the last error:
 * "invalid grid censor code" for any other code, or "<key>_cells not
 * available for censor=<value>" (key yhat, adj, n, weights or xi).
 */

/** 1 when the per-threshold auxiliary diagnostics (aux_* copies) are present. */
QEL_API int32_t qel_results_has_auxiliary(const QelPredictionResults* results);

/** 1 when the N x T include mask is present. */
QEL_API int32_t qel_results_has_include(const QelPredictionResults* results);

/** 1 when the N x T weights of the included side are present. */
QEL_API int32_t qel_results_has_weights(const QelPredictionResults* results);

/** 1 when the N x T weights of the excluded side are present. */
QEL_API int32_t qel_results_has_weights_excluded(const QelPredictionResults* results);

/** 1 when the one-hot index of a max-fit selection is present. */
QEL_API int32_t qel_results_has_maxfit_index(const QelPredictionResults* results);

/** 1 when the linear-regression value is present (NULL reads as 0 silently). */
QEL_API int32_t qel_results_has_yhat_linear(const QelPredictionResults* results);

/** 1 when the grid insights are present, whichever vectors they hold. */
QEL_API int32_t qel_results_has_grid_insights(const QelPredictionResults* results);

/** 1 when the solo predictions of the observations are present. */
QEL_API int32_t qel_results_has_y_solo(const QelPredictionResults* results);

/** 1 when the N x T solo weights are present. */
QEL_API int32_t qel_results_has_xi_solo(const QelPredictionResults* results);

/** 1 when the histogram summary of the solo predictions is present. */
QEL_API int32_t qel_results_has_ysolo_distribution(const QelPredictionResults* results);

/** 1 when retained grid cells are present, whichever arrays they hold. */
QEL_API int32_t qel_results_has_grid_cells(const QelPredictionResults* results);

/** 1 when the N x C solo predictions of the retained cells are present. */
QEL_API int32_t qel_results_has_ysolo_cells(const QelPredictionResults* results);

/** 1 when the C x T attribute counts of the retained cells are present. */
QEL_API int32_t qel_results_has_k_cells(const QelPredictionResults* results);

/** 1 when the C x K combination flags of the retained cells are present. */
QEL_API int32_t qel_results_has_combi_cells(const QelPredictionResults* results);

/** 1 when the C x T per-cell predictions of the censor type are present. */
QEL_API int32_t qel_results_has_yhat_cells(const QelPredictionResults* results, int32_t censor);

/** 1 when the C x T per-cell adjusted fits of the censor type are present. */
QEL_API int32_t qel_results_has_adjusted_fit_cells(const QelPredictionResults* results, int32_t censor);

/** 1 when the C x T per-cell retained counts of the censor type are present. */
QEL_API int32_t qel_results_has_n_cells(const QelPredictionResults* results, int32_t censor);

/** 1 when the N x T x C per-cell weights of the censor type are present. */
QEL_API int32_t qel_results_has_weights_cells(const QelPredictionResults* results, int32_t censor);

/** 1 when the N x T x C per-cell solo weights of the censor type are present. */
QEL_API int32_t qel_results_has_xi_solo_cells(const QelPredictionResults* results, int32_t censor);

/*
 * Dimension queries. Each clears the last error, then writes the extents of
 * the array as held (rows then columns; N, T, C for the 3-D arrays) and
 * returns 0. Statuses: 1 "results is null"; 3 "results is not a results
 * handle" for a freed handle or one of another kind; 1 "dims out pointers
 * are null" when any extent pointer is NULL; 3 when the part is absent, with
 * the message named below (per-censor queries: as the per-censor presence tests).
 * On a non-zero status nothing is written.
 */

/** N, T of the include mask; absent: 3 "include not available". */
QEL_API int32_t qel_results_include_dims(const QelPredictionResults* results, size_t* d0, size_t* d1);

/** N, T of the weights (N x 1 after a max-fit selection); absent: 3 "weights not available". */
QEL_API int32_t qel_results_weights_dims(const QelPredictionResults* results, size_t* d0, size_t* d1);

/** N, T of the excluded-side weights; absent: 3 "weights_excluded not available". */
QEL_API int32_t qel_results_weights_excluded_dims(const QelPredictionResults* results, size_t* d0, size_t* d1);

/** N, T of the solo weights; absent: 3 "xi_solo not available". */
QEL_API int32_t qel_results_xi_solo_dims(const QelPredictionResults* results, size_t* d0, size_t* d1);

/** N, C of the retained cells' solo predictions; absent: 3 "ysolo_cells not available". */
QEL_API int32_t qel_results_ysolo_cells_dims(const QelPredictionResults* results, size_t* d0, size_t* d1);

/** C, T of the retained cells' attribute counts; absent: 3 "k_cells not available". */
QEL_API int32_t qel_results_k_cells_dims(const QelPredictionResults* results, size_t* d0, size_t* d1);

/** C, K of the retained cells' combination flags; absent: 3 "combi_cells not available". */
QEL_API int32_t qel_results_combi_cells_dims(const QelPredictionResults* results, size_t* d0, size_t* d1);

/** rows (bins) and columns of the histogram bin counts; absent: 3 "ysolo_distribution not available". */
QEL_API int32_t qel_results_ysolo_distribution_dims(const QelPredictionResults* results, size_t* d0, size_t* d1);

/** C, T of the per-cell predictions of the censor type. */
QEL_API int32_t qel_results_yhat_cells_dims(const QelPredictionResults* results, int32_t censor, size_t* d0,
                                           size_t* d1);

/** C, T of the per-cell adjusted fits of the censor type. */
QEL_API int32_t qel_results_adjusted_fit_cells_dims(const QelPredictionResults* results, int32_t censor, size_t* d0,
                                           size_t* d1);

/** C, T of the per-cell retained counts of the censor type. */
QEL_API int32_t qel_results_n_cells_dims(const QelPredictionResults* results, int32_t censor, size_t* d0,
                                           size_t* d1);

/** N, T, C of the per-cell weights of the censor type. */
QEL_API int32_t qel_results_weights_cells_dims(const QelPredictionResults* results, int32_t censor, size_t* d0,
                                           size_t* d1, size_t* d2);

/** N, T, C of the per-cell solo weights of the censor type. */
QEL_API int32_t qel_results_xi_solo_cells_dims(const QelPredictionResults* results, int32_t censor, size_t* d0,
                                           size_t* d1, size_t* d2);

/*
 * Counts. They return 0 for a NULL handle and never a status;
 * qel_results_num_combinations and qel_results_maxfit_index_len then set
 * "results is null", the other three leave the last error untouched. A
 * freed handle, or one of another kind, gives 0 and "results is not a
 * results handle" from all five. None of them clears the last error.
 */

/** N, the number of observations. */
QEL_API size_t qel_results_num_observations(const QelPredictionResults* results);

/** K, the number of variables. */
QEL_API size_t qel_results_num_variables(const QelPredictionResults* results);

/** T, the number of thresholds (1 for max-fit and grid results). */
QEL_API size_t qel_results_num_thresholds(const QelPredictionResults* results);

/** C, the number of retained grid combinations: the rows of k_cells, else of
 *  combi_cells, else the columns of ysolo_cells, else the rows of the
 *  relevance or else the similarity yhat_cells; 0 without retained cells. */
QEL_API size_t qel_results_num_combinations(const QelPredictionResults* results);

/** The length of the max-fit index (the threshold count before the
 *  selection); 0 when absent. */
QEL_API size_t qel_results_maxfit_index_len(const QelPredictionResults* results);

/**
 * Releases a results handle and everything it holds; the handle is invalid
 * afterwards. NULL is accepted and does nothing. Neither clears nor sets the
 * last error. Do not free a handle while another thread reads it.
 *
 * Like an option handle, a results handle carries a private tag that this
 * call clears: a handle freed a second time, or one of another kind, is left
 * alone, and the queries and copies refuse it with "results is not a results
 * handle" (status 3, or 0 from the presence tests and counts). For a freed
 * handle both hold only as long as its memory has not been handed out
 * again, so using a freed handle remains a host error.
 */
QEL_API void qel_prediction_results_free(QelPredictionResults* results);

/* ------------------------------------------------------------------------ */
/* Results: copies into caller buffers                                      */
/* ------------------------------------------------------------------------ */

/*
 * Every copy clears the last error on entry, never changes the results and,
 * on failure, leaves the buffer untouched and stores one message. out_len is
 * the number of elements the buffer holds; only the first "need" elements are
 * written. A part with no elements copies nothing and returns 0, but out must
 * still be non-NULL. Statuses: 0 copied; 1 a NULL pointer ("results is null"
 * for the handle); 2 the buffer is too small; 3 a freed handle or one of
 * another kind ("results is not a results handle", checked with the NULL
 * handle, first), a part that is not available, or an invalid censor or
 * layout code. Learn the sizes first from the
 * counts and dimension queries above.
 */

/*
 * Core vectors, one value per threshold, always present. Checks: results,
 * then out ("out buffer is null"), then size ("out buffer too small: need at
 * least <n>, got <out_len>").
 */

/** Copies the prediction per threshold. */
QEL_API int32_t qel_results_copy_yhat(const QelPredictionResults* results, double* out, size_t out_len);

/** Copies the fit per threshold. */
QEL_API int32_t qel_results_copy_fit(const QelPredictionResults* results, double* out, size_t out_len);

/** Copies the agreement per threshold. */
QEL_API int32_t qel_results_copy_agreement(const QelPredictionResults* results, double* out, size_t out_len);

/** Copies the outlier influence per threshold. */
QEL_API int32_t qel_results_copy_outlier_influence(const QelPredictionResults* results, double* out, size_t out_len);

/** Copies the asymmetry per threshold. */
QEL_API int32_t qel_results_copy_asymmetry(const QelPredictionResults* results, double* out, size_t out_len);

/** Copies the adjusted fit per threshold. */
QEL_API int32_t qel_results_copy_adjusted_fit(const QelPredictionResults* results, double* out, size_t out_len);

/** Copies the K-fit per threshold. */
QEL_API int32_t qel_results_copy_k_fit(const QelPredictionResults* results, double* out, size_t out_len);

/** Copies the thresholds as held: T for a prediction, the chosen one for max-fit, none for a grid. */
QEL_API int32_t qel_results_copy_thresholds(const QelPredictionResults* results, double* out, size_t out_len);

/**
 * Copies the linear-regression value (one element). Checks: results, out
 * ("out buffer is null"), presence (3 "yhat_linear not available (enable
 * include_linear_regression)"), size as the core vectors.
 */
QEL_API int32_t qel_results_copy_yhat_linear(const QelPredictionResults* results, double* out, size_t out_len);

/*
 * Relevance vectors of a prediction or max-fit result. Checks: results, out
 * ("<name> out buffer is null"), presence ("<name> not available on these
 * results"), size ("<name>: out buffer too small: need <n>, got <out_len>").
 */

/** Copies the relevance of each observation (N). */
QEL_API int32_t qel_results_copy_relevance(const QelPredictionResults* results, double* out, size_t out_len);

/** Copies the similarity of each observation (N). */
QEL_API int32_t qel_results_copy_similarity(const QelPredictionResults* results, double* out, size_t out_len);

/** Copies the informativeness of each observation (N). */
QEL_API int32_t qel_results_copy_info_x(const QelPredictionResults* results, double* out, size_t out_len);

/** Copies the informativeness of the target (1). */
QEL_API int32_t qel_results_copy_info_theta(const QelPredictionResults* results, double* out, size_t out_len);

/*
 * Optional vectors. Checks: results, presence (3 "<name> not available on
 * these results"), out ("<name> out is null"), size ("<name>: need <n>, got
 * <out_len>"). The name is the suffix of the function, except mctc, mctp and
 * cctp, named marginal_contribution_to_conviction,
 * marginal_contribution_to_prediction and component_contribution_to_prediction.
 */

/** Copies the one-hot index of the chosen threshold (qel_results_maxfit_index_len values). */
QEL_API int32_t qel_results_copy_maxfit_index(const QelPredictionResults* results, double* out, size_t out_len);

/** Copies the grid's weight of each variable (K). */
QEL_API int32_t qel_results_copy_variable_weights(const QelPredictionResults* results, double* out, size_t out_len);

/** Copies the marginal contribution of each variable to conviction (K). */
QEL_API int32_t qel_results_copy_mctc(const QelPredictionResults* results, double* out, size_t out_len);

/** Copies the marginal contribution of each variable to the prediction (K). */
QEL_API int32_t qel_results_copy_mctp(const QelPredictionResults* results, double* out, size_t out_len);

/** Copies the component contribution of each variable to the prediction (K). */
QEL_API int32_t qel_results_copy_cctp(const QelPredictionResults* results, double* out, size_t out_len);

/** Copies the grid's composite solo weight of each observation (N). */
QEL_API int32_t qel_results_copy_xi_solo_composite(const QelPredictionResults* results, double* out, size_t out_len);

/** Copies the spread of the weights per threshold. */
QEL_API int32_t qel_results_copy_weights_concentration(const QelPredictionResults* results, double* out, size_t out_len);

/** Copies the solo prediction of each observation (N). */
QEL_API int32_t qel_results_copy_y_solo(const QelPredictionResults* results, double* out, size_t out_len);

/** Copies the standard deviation of the solo predictions per threshold. */
QEL_API int32_t qel_results_copy_ysolo_sigma(const QelPredictionResults* results, double* out, size_t out_len);

/** Copies the skewness of the solo predictions per threshold. */
QEL_API int32_t qel_results_copy_ysolo_skewness(const QelPredictionResults* results, double* out, size_t out_len);

/** Copies the kurtosis of the solo predictions per threshold. */
QEL_API int32_t qel_results_copy_ysolo_kurtosis(const QelPredictionResults* results, double* out, size_t out_len);

/** Copies the Pearson modality index of the solo predictions per threshold. */
QEL_API int32_t qel_results_copy_ysolo_pearson_modality_index(const QelPredictionResults* results, double* out, size_t out_len);

/** Copies the bimodality coefficient of the solo predictions per threshold. */
QEL_API int32_t qel_results_copy_ysolo_bimodal_index(const QelPredictionResults* results, double* out, size_t out_len);

/*
 * Auxiliary diagnostics, one value per threshold. Checks: results, presence
 * (3 "auxiliary not available"), out ("<name> out is null"), size ("<name>:
 * need <n>, got <out_len>"); names phi, lambda_sq, full_var, part_var,
 * r_star, r_star_percent, aux.n, aux.k, rho. The counts n and k are written
 * as doubles.
 */

/** Copies the share of retained observations. */
QEL_API int32_t qel_results_copy_aux_phi(const QelPredictionResults* results, double* out, size_t out_len);

/** Copies the full over partial variance of the relevance. */
QEL_API int32_t qel_results_copy_aux_lambda_sq(const QelPredictionResults* results, double* out, size_t out_len);

/** Copies the variance of the relevance over all observations. */
QEL_API int32_t qel_results_copy_aux_full_var(const QelPredictionResults* results, double* out, size_t out_len);

/** Copies the variance of the relevance over the retained observations. */
QEL_API int32_t qel_results_copy_aux_part_var(const QelPredictionResults* results, double* out, size_t out_len);

/** Copies the censor cut-off in score units. */
QEL_API int32_t qel_results_copy_aux_r_star(const QelPredictionResults* results, double* out, size_t out_len);

/** Copies the censor cut-off in percent. */
QEL_API int32_t qel_results_copy_aux_r_star_percent(const QelPredictionResults* results, double* out, size_t out_len);

/** Copies the number of retained observations. */
QEL_API int32_t qel_results_copy_aux_n(const QelPredictionResults* results, double* out, size_t out_len);

/** Copies the number of variables used. */
QEL_API int32_t qel_results_copy_aux_k(const QelPredictionResults* results, double* out, size_t out_len);

/** Copies the composite rho of a grid result (NaN otherwise). */
QEL_API int32_t qel_results_copy_aux_rho(const QelPredictionResults* results, double* out, size_t out_len);

/*
 * Histogram of the solo predictions (B bins). Checks: results, presence (3
 * "ysolo_distribution not available"), out ("<name> out is null"), size
 * ("<name>: need <n>, got <out_len>"); names bin_edges, bin_centers,
 * bin_widths.
 */

/** Copies the B + 1 bin edges. */
QEL_API int32_t qel_results_copy_ysolo_bin_edges(const QelPredictionResults* results, double* out, size_t out_len);

/** Copies the B bin centres. */
QEL_API int32_t qel_results_copy_ysolo_bin_centers(const QelPredictionResults* results, double* out, size_t out_len);

/** Copies the B bin widths. */
QEL_API int32_t qel_results_copy_ysolo_bin_widths(const QelPredictionResults* results, double* out, size_t out_len);

/*
 * Matrices, in layout QEL_LAYOUT_ROW_MAJOR or QEL_LAYOUT_COL_MAJOR. Checks:
 * results, presence (3 "<name> not available"; the bin counts: 3
 * "ysolo_distribution not available"), out ("<name> out is null"), size
 * ("<name>: need <n> (= <rows>×<cols>), got <out_len>"), then the layout code
 * (3 "invalid QelLayout value: <value> (use 0=row-major, 1=col-major)", also
 * for an empty matrix). Names: weights, weights_excluded, xi_solo,
 * "ysolo bin counts", combi_cells, k_cells, ysolo_cells.
 */

/** Copies the N x T weights of the included side. */
QEL_API int32_t qel_results_copy_weights(const QelPredictionResults* results, double* out, size_t out_len,
                                         int32_t layout);

/** Copies the N x T weights of the excluded side. */
QEL_API int32_t qel_results_copy_weights_excluded(const QelPredictionResults* results, double* out, size_t out_len,
                                         int32_t layout);

/** Copies the N x T solo weights. */
QEL_API int32_t qel_results_copy_xi_solo(const QelPredictionResults* results, double* out, size_t out_len,
                                         int32_t layout);

/** Copies the histogram counts, one row per bin and one column per threshold (or one column of plain counts). */
QEL_API int32_t qel_results_copy_ysolo_bin_counts(const QelPredictionResults* results, double* out, size_t out_len,
                                         int32_t layout);

/** Copies the C x K combination flags (0.0 or 1.0) of the retained grid cells. */
QEL_API int32_t qel_results_copy_combi_cells(const QelPredictionResults* results, double* out, size_t out_len,
                                         int32_t layout);

/** Copies the C x T attribute counts of the retained grid cells. */
QEL_API int32_t qel_results_copy_k_cells(const QelPredictionResults* results, double* out, size_t out_len,
                                         int32_t layout);

/** Copies the N x C solo predictions of the retained grid cells. */
QEL_API int32_t qel_results_copy_ysolo_cells(const QelPredictionResults* results, double* out, size_t out_len,
                                         int32_t layout);

/*
 * Per-censor grid matrices (C x T; row j is combination j) of censor
 * QEL_GRID_CENSOR_RELEVANCE (0) or QEL_GRID_CENSOR_SIMILARITY (1). Checks: results, the censor code (3
 * "invalid grid censor code", even without grid cells), presence (3
 * "<key>_cells not available for censor=<value>", keys yhat, adj, n), then as
 * the matrices, named yhat_cells, adjusted_fit_cells, n_cells.
 */

/** Copies the per-cell predictions of the censor type. */
QEL_API int32_t qel_results_copy_yhat_cells(const QelPredictionResults* results, int32_t censor, double* out,
                                         size_t out_len, int32_t layout);

/** Copies the per-cell adjusted fits of the censor type. */
QEL_API int32_t qel_results_copy_adjusted_fit_cells(const QelPredictionResults* results, int32_t censor, double* out,
                                         size_t out_len, int32_t layout);

/** Copies the per-cell retained counts of the censor type. */
QEL_API int32_t qel_results_copy_n_cells(const QelPredictionResults* results, int32_t censor, double* out,
                                         size_t out_len, int32_t layout);

/*
 * Per-censor grid arrays N x T x C, always in C order: element (i, t, c)
 * lands at (i*T + t)*C + c. Checks: results, censor code and presence as the
 * per-censor matrices (keys weights, xi), out ("<name> out is null"), size
 * ("<name>: need <n> (= <N>×<T>×<C>), got <out_len>"); names weights_cells,
 * xi_solo_cells.
 */

/** Copies the per-cell weights of the censor type. */
QEL_API int32_t qel_results_copy_weights_cells(const QelPredictionResults* results, int32_t censor, double* out,
                                         size_t out_len);

/** Copies the per-cell solo weights (scaled by the cell's adjusted fit) of the censor type. */
QEL_API int32_t qel_results_copy_xi_solo_cells(const QelPredictionResults* results, int32_t censor, double* out,
                                         size_t out_len);

/**
 * Copies the N x T include mask, one byte per element (1 included, 0 not), in
 * the given layout. Checks: results, out ("include out is null"), presence
 * (3 "include not available"), size ("include: need <n>, got <out_len>"),
 * then the layout code as the matrices.
 */
QEL_API int32_t qel_results_copy_include(const QelPredictionResults* results, uint8_t* out, size_t out_len,
                                         int32_t layout);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QELCORE_H */
