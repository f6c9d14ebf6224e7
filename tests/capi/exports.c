/* Every export of the library, by name and address: a missing export fails
 * the link, and the symbols test compares this table with the library's
 * dynamic symbol table. Compiled as C99, so it also proves the header is C. */
#include "qelcore.h"
#include "exports.h"

#define EXPORT(name) { #name, (void (*)(void))name }

const QelExportEntry QEL_EXPORTS[] = {
    EXPORT(qel_last_error),
    EXPORT(qel_abi_version),
    EXPORT(qel_engine_version),
    EXPORT(qel_set_percentile_value_algorithm),
    EXPORT(qel_set_percentile_value_algorithm_str),
    EXPORT(qel_get_percentile_value_algorithm),

    /* insight calls */
    /* @@insight-calls@@ */

    /* option handles */
    /* @@option-handles@@ */

    /* compute calls */
    /* @@compute-calls@@ */

    /* results queries */
    /* @@results-queries@@ */
    EXPORT(qel_results_has_auxiliary),
    EXPORT(qel_results_has_include),
    EXPORT(qel_results_has_weights),
    EXPORT(qel_results_has_weights_excluded),
    EXPORT(qel_results_has_maxfit_index),
    EXPORT(qel_results_has_yhat_linear),
    EXPORT(qel_results_has_grid_insights),
    EXPORT(qel_results_has_y_solo),
    EXPORT(qel_results_has_xi_solo),
    EXPORT(qel_results_has_ysolo_distribution),
    EXPORT(qel_results_has_grid_cells),
    EXPORT(qel_results_has_ysolo_cells),
    EXPORT(qel_results_has_k_cells),
    EXPORT(qel_results_has_combi_cells),
    EXPORT(qel_results_has_yhat_cells),
    EXPORT(qel_results_has_adjusted_fit_cells),
    EXPORT(qel_results_has_n_cells),
    EXPORT(qel_results_has_weights_cells),
    EXPORT(qel_results_has_xi_solo_cells),
    EXPORT(qel_results_include_dims),
    EXPORT(qel_results_weights_dims),
    EXPORT(qel_results_weights_excluded_dims),
    EXPORT(qel_results_xi_solo_dims),
    EXPORT(qel_results_ysolo_cells_dims),
    EXPORT(qel_results_k_cells_dims),
    EXPORT(qel_results_combi_cells_dims),
    EXPORT(qel_results_ysolo_distribution_dims),
    EXPORT(qel_results_yhat_cells_dims),
    EXPORT(qel_results_adjusted_fit_cells_dims),
    EXPORT(qel_results_n_cells_dims),
    EXPORT(qel_results_weights_cells_dims),
    EXPORT(qel_results_xi_solo_cells_dims),
    EXPORT(qel_results_num_observations),
    EXPORT(qel_results_num_variables),
    EXPORT(qel_results_num_thresholds),
    EXPORT(qel_results_num_combinations),
    EXPORT(qel_results_maxfit_index_len),
    EXPORT(qel_prediction_results_free),

    /* results copies */
    /* @@results-copies@@ */
    EXPORT(qel_results_copy_yhat),
    EXPORT(qel_results_copy_fit),
    EXPORT(qel_results_copy_agreement),
    EXPORT(qel_results_copy_outlier_influence),
    EXPORT(qel_results_copy_asymmetry),
    EXPORT(qel_results_copy_adjusted_fit),
    EXPORT(qel_results_copy_k_fit),
    EXPORT(qel_results_copy_thresholds),
    EXPORT(qel_results_copy_yhat_linear),
    EXPORT(qel_results_copy_relevance),
    EXPORT(qel_results_copy_similarity),
    EXPORT(qel_results_copy_info_x),
    EXPORT(qel_results_copy_info_theta),
    EXPORT(qel_results_copy_maxfit_index),
    EXPORT(qel_results_copy_variable_weights),
    EXPORT(qel_results_copy_mctc),
    EXPORT(qel_results_copy_mctp),
    EXPORT(qel_results_copy_cctp),
    EXPORT(qel_results_copy_xi_solo_composite),
    EXPORT(qel_results_copy_weights_concentration),
    EXPORT(qel_results_copy_y_solo),
    EXPORT(qel_results_copy_ysolo_sigma),
    EXPORT(qel_results_copy_ysolo_skewness),
    EXPORT(qel_results_copy_ysolo_kurtosis),
    EXPORT(qel_results_copy_ysolo_pearson_modality_index),
    EXPORT(qel_results_copy_ysolo_bimodal_index),
    EXPORT(qel_results_copy_aux_phi),
    EXPORT(qel_results_copy_aux_lambda_sq),
    EXPORT(qel_results_copy_aux_full_var),
    EXPORT(qel_results_copy_aux_part_var),
    EXPORT(qel_results_copy_aux_r_star),
    EXPORT(qel_results_copy_aux_r_star_percent),
    EXPORT(qel_results_copy_aux_n),
    EXPORT(qel_results_copy_aux_k),
    EXPORT(qel_results_copy_aux_rho),
    EXPORT(qel_results_copy_ysolo_bin_edges),
    EXPORT(qel_results_copy_ysolo_bin_centers),
    EXPORT(qel_results_copy_ysolo_bin_widths),
    EXPORT(qel_results_copy_weights),
    EXPORT(qel_results_copy_weights_excluded),
    EXPORT(qel_results_copy_xi_solo),
    EXPORT(qel_results_copy_ysolo_bin_counts),
    EXPORT(qel_results_copy_combi_cells),
    EXPORT(qel_results_copy_k_cells),
    EXPORT(qel_results_copy_ysolo_cells),
    EXPORT(qel_results_copy_yhat_cells),
    EXPORT(qel_results_copy_adjusted_fit_cells),
    EXPORT(qel_results_copy_n_cells),
    EXPORT(qel_results_copy_weights_cells),
    EXPORT(qel_results_copy_xi_solo_cells),
    EXPORT(qel_results_copy_include),
};

const size_t QEL_EXPORT_COUNT = sizeof QEL_EXPORTS / sizeof QEL_EXPORTS[0];
