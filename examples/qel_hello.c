/* A minimal host: link libqelcore, print what it is, and compute the
 * relevance of every observation of a small built-in sample to a target. */
#include <stdio.h>

#include "qelcore.h"

#define ROWS 8
#define COLS 3

int main(void) {
    /* Eight observations of three attributes (row-major), and the target. */
    static const double X[ROWS * COLS] = {
        1.0, 2.0, 0.5,
        2.0, 1.5, 1.0,
        3.0, 3.5, 0.0,
        0.5, 0.0, 2.0,
        4.0, 3.0, 1.5,
        2.5, 2.0, 0.5,
        1.5, 3.0, 1.0,
        3.5, 1.0, 2.5,
    };
    static const double theta[COLS] = {2.2, 2.6, 1.2};
    double relevance[ROWS], similarity[ROWS], info_x[ROWS], info_theta[1];
    int32_t status;
    size_t i;

    printf("libqelcore %s, interface %u\n", qel_engine_version(), qel_abi_version());

    /* NULL inverse covariance: the library inverts the sample covariance of X. */
    status = qel_relevance_metrics(X, ROWS, COLS, QEL_LAYOUT_ROW_MAJOR, theta, COLS, NULL, 0, relevance, ROWS,
                                   similarity, ROWS, info_x, ROWS, info_theta, 1);
    if (status != QEL_STATUS_OK) {
        fprintf(stderr, "qel_relevance_metrics failed (%d): %s\n", (int)status, qel_last_error());
        return 1;
    }

    printf("\nrelevance of %d observations to theta = (%g, %g, %g); info_theta = %.6f\n", ROWS, theta[0], theta[1],
           theta[2], info_theta[0]);
    printf("%3s  %12s  %12s  %12s\n", "row", "relevance", "similarity", "info_x");
    for (i = 0; i < ROWS; ++i) {
        printf("%3u  %12.6f  %12.6f  %12.6f\n", (unsigned)i, relevance[i], similarity[i], info_x[i]);
    }
    return 0;
}
