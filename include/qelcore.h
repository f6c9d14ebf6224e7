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

/*
 * Presence tests. Each answers 1 when the results hold the part, else 0.
 * They do not clear the last error. A NULL results handle answers 0 and sets
 * "results is null" (qel_results_has_yhat_linear alone leaves the last error
 * untouched). The per-censor tests take censor 0 (relevance) or 1
 * (similarity); when they answer 0 the reason is left as the last error:
 * "invalid grid censor code" for any other code, or "<key>_cells not
 * available for censor=<code>" (key yhat, adj, n, weights or xi).
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
 * returns 0. Statuses: 1 "results is null"; 1 "dims out pointers are null"
 * when any extent pointer is NULL; 3 when the part is absent, with the
 * message named below (per-censor queries: as the per-censor presence tests).
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

/** C, T of T per-cell predictions of the censor type. */
QEL_API int32_t qel_results_yhat_cells_dims(const QelPredictionResults* results, int32_t censor, size_t* d0,
                                           size_t* d1);

/** C, T of T per-cell adjusted fits of the censor type. */
QEL_API int32_t qel_results_adjusted_fit_cells_dims(const QelPredictionResults* results, int32_t censor, size_t* d0,
                                           size_t* d1);

/** C, T of T per-cell retained counts of the censor type. */
QEL_API int32_t qel_results_n_cells_dims(const QelPredictionResults* results, int32_t censor, size_t* d0,
                                           size_t* d1);

/** N, T, C of per-cell weights of the censor type. */
QEL_API int32_t qel_results_weights_cells_dims(const QelPredictionResults* results, int32_t censor, size_t* d0,
                                           size_t* d1, size_t* d2);

/** N, T, C of per-cell solo weights of the censor type. */
QEL_API int32_t qel_results_xi_solo_cells_dims(const QelPredictionResults* results, int32_t censor, size_t* d0,
                                           size_t* d1, size_t* d2);

/*
 * Counts. They return 0 for a NULL handle and never a status;
 * qel_results_num_combinations and qel_results_maxfit_index_len then set
 * "results is null", the other three leave the last error untouched. None
 * of them clears the last error.
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
 * last error. Free each handle once, and not while another thread reads it.
 */
QEL_API void qel_prediction_results_free(QelPredictionResults* results);

/* ------------------------------------------------------------------------ */
/* Results: copies into caller buffers                                      */
/* ------------------------------------------------------------------------ */

/* @@results-copies@@ */

/*
 * Every copy clears the last error on entry, never changes the results and,
 * on failure, leaves the buffer untouched and stores one message. out_len is
 * the number of elements the buffer holds; only the first "need" elements are
 * written. A part with no elements copies nothing and returns 0, but out must
 * still be non-NULL. Statuses: 0 copied; 1 a NULL pointer ("results is null"
 * for the handle); 2 the buffer is too small; 3 the part is not available, or
 * the censor or layout code is invalid. Learn the sizes first from the
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
 * (3 "invalid QelLayout value: <code> (use 0=row-major, 1=col-major)", also
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
 * Per-censor grid matrices (C x T; row j is combination j) of censor 0
 * (relevance) or 1 (similarity). Checks: results, the censor code (3
 * "invalid grid censor code", even without grid cells), presence (3
 * "<key>_cells not available for censor=<code>", keys yhat, adj, n), then as
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
