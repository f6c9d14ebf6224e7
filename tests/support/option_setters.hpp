// The option setters of qelcore.h as tables, by what they take, with what
// the header says of each: the codes a code setter accepts and the message
// of a refused one, and the setting each one changes. The C-interface suites
// and the option fuzz target read the same tables; they need only qelcore.h.
//
// Not in the tables, since each takes arguments of its own: the threshold
// setters, the predict handle's censor type by code (which refuses both with
// a message of its own), the grid's k, max_iter and attribute combinations.
#pragma once

#include <cstdint>
#include <type_traits>

#include "qelcore.h"

namespace setters {

enum class Kind { Predict, Grid, MaxFit };

// The setting a setter changes.
enum class Field {
    CensorOperator,
    CensorType,
    CensorUnit,
    AdjFitMultiplier,
    InvMethod,
    PredictionScale,
    MissingMoments,
    VerifyMissingData,  // the missing-moments setting as a flag
    LinearRegression,
    Verbose,
    InnerParallel,
    Seed,
    AdjustImpactForMissing,
    RetainAll,
    RetainGridObjects,
    Objective,
};

template <class Value>
using Call = int32_t (*)(void* handle, Value value);

template <class>
struct Signature;
template <class Handle, class Value>
struct Signature<int32_t (*)(Handle*, Value)> {
    using handle = Handle;
    using value = Value;
};

template <class Handle>
constexpr Kind kind_of() {
    if constexpr (std::is_same_v<Handle, QelPredictOptions>) return Kind::Predict;
    else if constexpr (std::is_same_v<Handle, QelGridOptions>) return Kind::Grid;
    else return Kind::MaxFit;
}

// A setter called through a handle of any kind, as a host's cast would.
template <auto F>
int32_t erased(void* handle, typename Signature<decltype(F)>::value value) {
    return F(static_cast<typename Signature<decltype(F)>::handle*>(handle), value);
}

// The name, kind and call of a setter: the first three members of an entry.
#define QEL_SETTER(fn) #fn, ::setters::kind_of<::setters::Signature<decltype(&fn)>::handle>(), ::setters::erased<&fn>

// A setter of an int32 code: codes below `count`, taken as unsigned, are
// stored; any other is refused with status 3 and `message`, in which "{}"
// stands for the code as passed.
struct CodeSetter {
    const char* name;
    Kind kind;
    Call<int32_t> set;
    Field field;
    int32_t count;
    const char* message;
};

// A setter of a flag or a seed: every 32-bit value is taken.
struct FlagSetter {
    const char* name;
    Kind kind;
    Call<int32_t> set;
    Field field;
};

// A setter of a text: a NULL text and one that is not UTF-8 are refused
// before the setter reads it.
struct TextSetter {
    const char* name;
    Kind kind;
    Call<const char*> set;
    Field field;
};

inline constexpr const char* kOperatorMessage = "invalid censor_operator: {}";
inline constexpr const char* kTypeMessage = "invalid censor_type: {}";
inline constexpr const char* kUnitMessage = "invalid censor_unit: {} (0=score, 1=percent)";
inline constexpr const char* kAdjFitMessage = "invalid adj_fit_multiplier: {} (0=identity, 1=K, 2=log)";
inline constexpr const char* kInvMessage = "invalid inv_method: {} (0=gaussian, 1=cholesky, 2=pseudoinverse)";
inline constexpr const char* kScaleMessage = "invalid prediction_scale: {} (0=response, 1=logistic)";
inline constexpr const char* kMissingMessage = "invalid missing_moments: {} (0=pairwise, 1=complete)";
inline constexpr const char* kInnerMessage = "invalid inner_parallel: {}; expected 0=auto or 1=off";

inline constexpr CodeSetter kCodeSetters[] = {
    {QEL_SETTER(qel_predict_options_set_censor_operator), Field::CensorOperator, QEL_CENSOR_LTE + 1, kOperatorMessage},
    {QEL_SETTER(qel_grid_options_set_censor_operator), Field::CensorOperator, QEL_CENSOR_LTE + 1, kOperatorMessage},
    {QEL_SETTER(qel_maxfit_options_set_censor_operator), Field::CensorOperator, QEL_CENSOR_LTE + 1, kOperatorMessage},
    {QEL_SETTER(qel_grid_options_set_censor_type), Field::CensorType, QEL_CENSOR_BOTH + 1, kTypeMessage},
    {QEL_SETTER(qel_maxfit_options_set_censor_type), Field::CensorType, QEL_CENSOR_BOTH + 1, kTypeMessage},
    {QEL_SETTER(qel_predict_options_set_censor_unit), Field::CensorUnit, QEL_UNIT_PERCENT + 1, kUnitMessage},
    {QEL_SETTER(qel_grid_options_set_censor_unit), Field::CensorUnit, QEL_UNIT_PERCENT + 1, kUnitMessage},
    {QEL_SETTER(qel_maxfit_options_set_censor_unit), Field::CensorUnit, QEL_UNIT_PERCENT + 1, kUnitMessage},
    {QEL_SETTER(qel_predict_options_set_adj_fit_multiplier), Field::AdjFitMultiplier, QEL_ADJ_FIT_LOG + 1,
     kAdjFitMessage},
    {QEL_SETTER(qel_grid_options_set_adj_fit_multiplier), Field::AdjFitMultiplier, QEL_ADJ_FIT_LOG + 1, kAdjFitMessage},
    {QEL_SETTER(qel_maxfit_options_set_adj_fit_multiplier), Field::AdjFitMultiplier, QEL_ADJ_FIT_LOG + 1,
     kAdjFitMessage},
    {QEL_SETTER(qel_predict_options_set_inv_method), Field::InvMethod, QEL_INV_PSEUDOINVERSE + 1, kInvMessage},
    {QEL_SETTER(qel_grid_options_set_inv_method), Field::InvMethod, QEL_INV_PSEUDOINVERSE + 1, kInvMessage},
    {QEL_SETTER(qel_maxfit_options_set_inv_method), Field::InvMethod, QEL_INV_PSEUDOINVERSE + 1, kInvMessage},
    {QEL_SETTER(qel_predict_options_set_prediction_scale), Field::PredictionScale, QEL_SCALE_LOGISTIC + 1,
     kScaleMessage},
    {QEL_SETTER(qel_grid_options_set_prediction_scale), Field::PredictionScale, QEL_SCALE_LOGISTIC + 1, kScaleMessage},
    {QEL_SETTER(qel_maxfit_options_set_prediction_scale), Field::PredictionScale, QEL_SCALE_LOGISTIC + 1,
     kScaleMessage},
    {QEL_SETTER(qel_predict_options_set_missing_moments), Field::MissingMoments, QEL_MISSING_COMPLETE + 1,
     kMissingMessage},
    {QEL_SETTER(qel_maxfit_options_set_missing_moments), Field::MissingMoments, QEL_MISSING_COMPLETE + 1,
     kMissingMessage},
    {QEL_SETTER(qel_grid_options_set_inner_parallel), Field::InnerParallel, QEL_INNER_PARALLEL_OFF + 1, kInnerMessage},
    {QEL_SETTER(qel_maxfit_options_set_inner_parallel), Field::InnerParallel, QEL_INNER_PARALLEL_OFF + 1,
     kInnerMessage},
};

inline constexpr FlagSetter kFlagSetters[] = {
    {QEL_SETTER(qel_predict_options_set_verify_missing_data), Field::VerifyMissingData},
    {QEL_SETTER(qel_maxfit_options_set_verify_missing_data), Field::VerifyMissingData},
    {QEL_SETTER(qel_predict_options_set_include_linear_regression), Field::LinearRegression},
    {QEL_SETTER(qel_grid_options_set_include_linear_regression), Field::LinearRegression},
    {QEL_SETTER(qel_maxfit_options_set_include_linear_regression), Field::LinearRegression},
    {QEL_SETTER(qel_predict_options_set_verbose), Field::Verbose},
    {QEL_SETTER(qel_grid_options_set_verbose), Field::Verbose},
    {QEL_SETTER(qel_maxfit_options_set_verbose), Field::Verbose},
    {QEL_SETTER(qel_grid_options_set_seed), Field::Seed},
    {QEL_SETTER(qel_grid_options_set_adjust_impact_for_missing), Field::AdjustImpactForMissing},
    {QEL_SETTER(qel_grid_options_set_retain_all), Field::RetainAll},
};

inline constexpr TextSetter kTextSetters[] = {
    {QEL_SETTER(qel_predict_options_set_censor_operator_str), Field::CensorOperator},
    {QEL_SETTER(qel_predict_options_set_censor_type_str), Field::CensorType},
    {QEL_SETTER(qel_grid_options_set_censor_type_str), Field::CensorType},
    {QEL_SETTER(qel_maxfit_options_set_censor_type_str), Field::CensorType},
    {QEL_SETTER(qel_predict_options_set_censor_unit_str), Field::CensorUnit},
    {QEL_SETTER(qel_grid_options_set_inner_parallel_str), Field::InnerParallel},
    {QEL_SETTER(qel_maxfit_options_set_inner_parallel_str), Field::InnerParallel},
    {QEL_SETTER(qel_grid_options_set_retain_grid_objects_str), Field::RetainGridObjects},
    {QEL_SETTER(qel_maxfit_options_set_objective), Field::Objective},
};

// Of three handles, the one of `kind`, for a setter's call.
inline void* handle_of(Kind kind, QelPredictOptions* p, QelGridOptions* g, QelMaxFitOptions* m) {
    if (kind == Kind::Predict) return p;
    return kind == Kind::Grid ? static_cast<void*>(g) : static_cast<void*>(m);
}

// The text setter of `field` on a handle of `kind`, NULL for none (there is
// at most one).
inline const TextSetter* text_setter(Kind kind, Field field) {
    for (const TextSetter& s : kTextSetters) {
        if (s.kind == kind && s.field == field) return &s;
    }
    return nullptr;
}

}  // namespace setters
