/*
 * A host as a user writes one: it compiles against the header it was given,
 * links libqelcore, checks that the library it loaded is the one the header
 * describes, runs one small prediction and says which file it loaded.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include "qelcore.h"

int main(void) {
    char built[64];
    snprintf(built, sizeof built, "%d.%d.%d", QEL_VERSION_MAJOR, QEL_VERSION_MINOR, QEL_VERSION_PATCH);
    if (strcmp(built, QEL_VERSION_STRING) != 0) {
        fprintf(stderr, "version macros disagree: %s against %s\n", built, QEL_VERSION_STRING);
        return 1;
    }
    if (qel_abi_version() != QEL_ABI_VERSION || strcmp(qel_engine_version(), QEL_VERSION_STRING) != 0) {
        fprintf(stderr, "built against %s (interface %d), loaded %s (interface %u)\n", QEL_VERSION_STRING,
                QEL_ABI_VERSION, qel_engine_version(), qel_abi_version());
        return 1;
    }

    enum { ROWS = 6, COLS = 2 };
    const double y[ROWS] = {1.0, 2.0, 2.5, 4.0, 4.5, 6.5};
    const double x[ROWS * COLS] = {1, 0.5, 2, 1.5, 3, 1.0, 4, 2.5, 5, 2.0, 6, 3.5};
    const double theta[COLS] = {3.5, 2.0};
    const double thresholds[2] = {0.0, 0.5};
    QelPredictOptions* opts = qel_predict_options_create();
    QelPredictionResults* res = NULL;
    double yhat[2];
    if (!opts || qel_predict_options_set_threshold(opts, thresholds, 2) != QEL_STATUS_OK ||
        qel_predict_options_set_censor_type(opts, QEL_CENSOR_SIMILARITY) != QEL_STATUS_OK ||
        qel_predict(y, ROWS, x, ROWS, COLS, QEL_LAYOUT_ROW_MAJOR, theta, COLS, opts, &res) != QEL_STATUS_OK ||
        qel_results_copy_yhat(res, yhat, 2) != QEL_STATUS_OK) {
        fprintf(stderr, "prediction failed: %s\n", qel_last_error());
        qel_prediction_results_free(res);
        qel_predict_options_free(opts);
        return 1;
    }
    qel_prediction_results_free(res);
    qel_predict_options_free(opts);

    Dl_info where;
    if (!dladdr((void*)qel_abi_version, &where) || !where.dli_fname) {
        fprintf(stderr, "dladdr cannot place qel_abi_version\n");
        return 1;
    }
    printf("libqelcore %s (interface %u) yhat %.6f %.6f\n", qel_engine_version(), qel_abi_version(), yhat[0], yhat[1]);
    printf("loaded %s\n", where.dli_fname);
    return 0;
}
