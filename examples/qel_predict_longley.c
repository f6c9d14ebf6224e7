/*
 * A small host program: load Longley's 1947-1962 US employment series, leave
 * out the last year, and ask libqelcore to predict total employment for it
 * from the attributes of that year, weighing every earlier year by its
 * relevance to the target.
 *
 *   qel_predict_longley [path/to/longley.csv]
 */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "qelcore.h"

#ifndef QEL_EXAMPLE_DATA
#define QEL_EXAMPLE_DATA "examples/longley.csv"
#endif

enum { MAX_ROWS = 64, N_ATTR = 6 };

static const char* const ATTR_NAMES[N_ATTR] = {"GNPDEFL", "GNP", "UNEMP", "ARMED", "POP", "YEAR"};

/* Columns: "Obs","TOTEMP","GNPDEFL","GNP","UNEMP","ARMED","POP","YEAR". */
static size_t read_longley(const char* path, double* y, double* x, size_t max_rows) {
    FILE* f = fopen(path, "r");
    if (!f) {
        perror(path);
        return 0;
    }
    char line[512];
    size_t n = 0;
    if (!fgets(line, sizeof line, f)) {
        fclose(f);
        return 0;
    }
    while (n < max_rows && fgets(line, sizeof line, f)) {
        double v[8];
        int got = sscanf(line, "%lf,%lf,%lf,%lf,%lf,%lf,%lf,%lf", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
                         &v[6], &v[7]);
        if (got != 8) continue;
        y[n] = v[1];
        for (int j = 0; j < N_ATTR; ++j) x[n * N_ATTR + j] = v[2 + j];
        ++n;
    }
    fclose(f);
    return n;
}

static int check(int32_t status, const char* what) {
    if (status != QEL_STATUS_OK) {
        fprintf(stderr, "%s failed (status %d): %s\n", what, (int)status, qel_last_error());
        return 0;
    }
    return 1;
}

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : QEL_EXAMPLE_DATA;
    double y[MAX_ROWS], x[MAX_ROWS * N_ATTR];
    size_t rows = read_longley(path, y, x, MAX_ROWS);
    if (rows < 3) {
        fprintf(stderr, "could not read the sample from %s\n", path);
        return 1;
    }

    /* The last year is the target; the sample is every year before it. */
    const size_t n = rows - 1;
    const double* theta = &x[n * N_ATTR];
    const double actual = y[n];

    printf("libqelcore %s (interface %u)\n", qel_engine_version(), qel_abi_version());
    const char* name = strrchr(path, '/') ? strrchr(path, '/') + 1 : path;
    printf("Sample: %zu years of %s, target: year %.0f (actual TOTEMP %.0f)\n\n", n, name, theta[5], actual);

    /* Each threshold is a percentile of the observations' relevance to the
     * target; the adjusted fit is (fit + asymmetry) times K. These are the
     * defaults of a fresh handle, set here by name to show them. */
    QelPredictOptions* opts = qel_predict_options_create();
    const double thresholds[] = {0.0, 0.2, 0.5, 0.8};
    if (!opts || !check(qel_predict_options_set_threshold(opts, thresholds, 4), "set_threshold") ||
        !check(qel_predict_options_set_censor_type(opts, QEL_CENSOR_RELEVANCE), "set_censor_type") ||
        !check(qel_predict_options_set_censor_unit(opts, QEL_UNIT_PERCENT), "set_censor_unit") ||
        !check(qel_predict_options_set_censor_operator(opts, QEL_CENSOR_GTE), "set_censor_operator") ||
        !check(qel_predict_options_set_adj_fit_multiplier(opts, QEL_ADJ_FIT_K), "set_adj_fit_multiplier")) {
        qel_predict_options_free(opts);
        return 1;
    }

    QelPredictionResults* res = NULL;
    if (!check(qel_predict(y, n, x, n, N_ATTR, QEL_LAYOUT_ROW_MAJOR, theta, N_ATTR, opts, &res), "qel_predict")) {
        qel_predict_options_free(opts);
        return 1;
    }

    const size_t t = qel_results_num_thresholds(res);
    double yhat[8], fit[8], adj[8], n_kept[8], rel[MAX_ROWS], w[MAX_ROWS * 8];
    if (t > 8 || !check(qel_results_copy_yhat(res, yhat, 8), "copy_yhat") ||
        !check(qel_results_copy_fit(res, fit, 8), "copy_fit") ||
        !check(qel_results_copy_adjusted_fit(res, adj, 8), "copy_adjusted_fit") ||
        !check(qel_results_copy_aux_n(res, n_kept, 8), "copy_aux_n") ||
        !check(qel_results_copy_relevance(res, rel, MAX_ROWS), "copy_relevance") ||
        !check(qel_results_copy_weights(res, w, MAX_ROWS * 8, QEL_LAYOUT_ROW_MAJOR), "copy_weights")) {
        qel_prediction_results_free(res);
        qel_predict_options_free(opts);
        return 1;
    }

    printf("threshold  retained        yhat    error       fit  adjusted_fit\n");
    for (size_t k = 0; k < t; ++k) {
        printf("%9.2f  %8.0f  %10.1f  %7.1f  %8.4f  %12.4f\n", thresholds[k], n_kept[k], yhat[k], yhat[k] - actual,
               fit[k], adj[k]);
    }

    /* The most relevant years, with their weight in the prediction at each threshold. */
    size_t order[MAX_ROWS];
    for (size_t i = 0; i < n; ++i) order[i] = i;
    for (size_t i = 1; i < n; ++i) {
        size_t v = order[i], j = i;
        while (j > 0 && rel[order[j - 1]] < rel[v]) {
            order[j] = order[j - 1];
            --j;
        }
        order[j] = v;
    }
    printf("\nMost relevant years (weight at each threshold):\n");
    printf("  year    TOTEMP   relevance");
    for (size_t k = 0; k < t; ++k) printf("   w@%.2f", thresholds[k]);
    printf("\n");
    for (size_t r = 0; r < 5 && r < n; ++r) {
        size_t i = order[r];
        printf("  %4.0f  %8.0f  %10.4f", x[i * N_ATTR + 5], y[i], rel[i]);
        for (size_t k = 0; k < t; ++k) printf("  %7.4f", w[i * t + k]);
        printf("\n");
    }
    printf("\nAttributes: ");
    for (int j = 0; j < N_ATTR; ++j) printf("%s%s", ATTR_NAMES[j], j + 1 < N_ATTR ? ", " : "\n");

    qel_prediction_results_free(res);
    qel_predict_options_free(opts);
    return 0;
}
