// The process-wide percentile-value algorithm switch.
#include <cstring>
#include "toolbox/format.hpp"
#include <string_view>

#include "ffi/error.hpp"
#include "qelcore.h"
#include "toolbox/stats/percentile_algorithm.hpp"
#include "toolbox/text.hpp"

using ffi::error::clear_last_error;
using ffi::error::set_last_error;
using toolbox::stats::percentile::PercentileValueAlgorithm;
using toolbox::stats::percentile::set_percentile_value_algorithm;

extern "C" QEL_API int32_t qel_set_percentile_value_algorithm(int32_t algorithm) {
    return ffi::error::guard("qel_set_percentile_value_algorithm", "qel_set_percentile_value_algorithm",
                             ffi::error::FaultMessage::WithPayload, [&] {
        clear_last_error();
        if (algorithm == 0 || algorithm == 1) {
            set_percentile_value_algorithm(static_cast<PercentileValueAlgorithm>(algorithm));
            return QEL_STATUS_OK;
        }
        set_last_error(toolbox::format("invalid percentile algorithm: {} (0=full_sort, 1=order_statistics)", algorithm));
        return QEL_STATUS_INVALID_VALUE;
    });
}

extern "C" QEL_API int32_t qel_set_percentile_value_algorithm_str(const char* algorithm) {
    return ffi::error::guard("qel_set_percentile_value_algorithm_str", "qel_set_percentile_value_algorithm_str",
                             ffi::error::FaultMessage::WithPayload, [&] {
        clear_last_error();
        if (algorithm == nullptr) {
            set_last_error("algorithm string is null");
            return QEL_STATUS_NULL_POINTER;
        }
        const std::string_view given(algorithm, std::strlen(algorithm));
        if (!toolbox::text::is_valid_utf8(given)) {
            set_last_error("algorithm string is not valid UTF-8");
            return QEL_STATUS_INVALID_VALUE;
        }
        const std::string word = toolbox::text::ascii_lower(toolbox::text::trim_unicode_whitespace(given));
        if (word == "sort" || word == "fullsort" || word == "full_sort") {
            set_percentile_value_algorithm(PercentileValueAlgorithm::FullSort);
            return QEL_STATUS_OK;
        }
        if (word == "nth" || word == "select_nth" || word == "order_stats" || word == "order_statistics") {
            set_percentile_value_algorithm(PercentileValueAlgorithm::OrderStatistics);
            return QEL_STATUS_OK;
        }
        set_last_error(toolbox::format("invalid percentile algorithm: {} (use full_sort or order_statistics)",
                                   toolbox::text::debug_quote(given)));
        return QEL_STATUS_INVALID_VALUE;
    });
}

extern "C" QEL_API int32_t qel_get_percentile_value_algorithm(void) {
    return toolbox::stats::percentile::percentile_value_algorithm() == PercentileValueAlgorithm::OrderStatistics ? 1 : 0;
}
