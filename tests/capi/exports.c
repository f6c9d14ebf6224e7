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

    /* results copies */
    /* @@results-copies@@ */
};

const size_t QEL_EXPORT_COUNT = sizeof QEL_EXPORTS / sizeof QEL_EXPORTS[0];
