// Option records, their defaults and the text parsers of the option enums.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "toolbox/enums/enums.hpp"
#include "toolbox/qel/models/config/grid_options.hpp"
#include "toolbox/qel/models/config/maxfit_options.hpp"
#include "toolbox/qel/models/config/predict_options.hpp"

namespace {

using namespace toolbox::enums;
using namespace toolbox::qel::models::config;
using toolbox::matrix::Matrix;
using toolbox::matrix::Vector;

std::vector<double> values(const Vector& v) { return {v.begin(), v.end()}; }
std::vector<double> values(const std::optional<Vector>& v) { return v ? values(*v) : std::vector<double>{}; }

// Every field but the thresholds and the inverse covariance, for comparing
// records field by field.
void expect_same_scalars(const PredictOptions& a, const PredictOptions& b) {
    EXPECT_EQ(a.censor_operator, b.censor_operator);
    EXPECT_EQ(a.censor_type, b.censor_type);
    EXPECT_EQ(a.adj_fit_multiplier, b.adj_fit_multiplier);
    EXPECT_EQ(a.inv_method, b.inv_method);
    EXPECT_EQ(a.censor_unit, b.censor_unit);
    EXPECT_EQ(a.prediction_scale, b.prediction_scale);
    EXPECT_EQ(a.missing_moments, b.missing_moments);
    EXPECT_EQ(a.include_linear_regression, b.include_linear_regression);
    EXPECT_EQ(a.verbose, b.verbose);
}

TEST(OptionEnums, CodesAreTheStoredBytes) {
    static_assert(sizeof(CensorType) == 1 && sizeof(CensorOperator) == 1 && sizeof(CensorUnit) == 1 &&
                  sizeof(InversionMethod) == 1 && sizeof(AdjFitMultiplier) == 1 && sizeof(PredictionScale) == 1 &&
                  sizeof(MissingMoments) == 1 && sizeof(InnerParallel) == 1 && sizeof(GridRetainKey) == 1);
    EXPECT_EQ(static_cast<int>(CensorType::Both), 2);
    EXPECT_EQ(static_cast<int>(CensorOperator::LessThanOrEqual), 3);
    EXPECT_EQ(static_cast<int>(InversionMethod::Pseudoinverse), 2);
    EXPECT_EQ(static_cast<int>(AdjFitMultiplier::Log), 2);
    EXPECT_EQ(static_cast<int>(GridRetainKey::YsoloCells), 7);
    EXPECT_EQ(censor_type_debug_name(CensorType::Relevance), "Relevance");
    EXPECT_EQ(censor_type_debug_name(CensorType::Similarity), "Similarity");
    EXPECT_EQ(censor_type_debug_name(CensorType::Both), "Both");
}

TEST(OptionRecords, PredictDefaults) {
    const PredictOptions p;
    EXPECT_FALSE(p.cov_inv.has_value());
    ASSERT_TRUE(p.threshold.has_value());
    EXPECT_EQ(values(p.threshold), std::vector<double>{0.5});
    EXPECT_EQ(p.censor_operator, CensorOperator::GreaterThanOrEqual);
    EXPECT_EQ(p.censor_type, CensorType::Relevance);
    EXPECT_EQ(p.adj_fit_multiplier, AdjFitMultiplier::K);
    EXPECT_EQ(p.inv_method, InversionMethod::Gaussian);
    EXPECT_EQ(p.censor_unit, CensorUnit::Percent);
    EXPECT_EQ(p.prediction_scale, PredictionScale::Response);
    EXPECT_EQ(p.missing_moments, MissingMoments::Pairwise);
    EXPECT_FALSE(p.include_linear_regression);
    EXPECT_FALSE(p.verbose);
}

// Grid and max-fit records embed predict settings that differ from a predict
// handle's only in the threshold range and the censor type.
void expect_search_predict_defaults(const PredictOptions& p) {
    EXPECT_FALSE(p.cov_inv.has_value());
    ASSERT_TRUE(p.threshold.has_value());
    EXPECT_EQ(values(p.threshold), (std::vector<double>{0.0, 0.2, 0.5, 0.8}));
    EXPECT_EQ(p.censor_type, CensorType::Both);
    PredictOptions expected;
    expected.censor_type = CensorType::Both;
    expect_same_scalars(p, expected);
}

TEST(OptionRecords, GridDefaults) {
    const GridOptions g;
    EXPECT_EQ(g.retain_grid_objects.kind, RetainGridObjects::Kind::None);
    EXPECT_TRUE(g.retain_grid_objects.keys.empty());
    expect_search_predict_defaults(g.predict);
    EXPECT_EQ(g.k, 1u);
    EXPECT_EQ(g.max_iter, 1000u);
    EXPECT_FALSE(g.attribute_combi.has_value());
    EXPECT_EQ(g.seed, 42u);
    EXPECT_TRUE(g.adjust_impact_for_missing);
    EXPECT_EQ(g.inner_parallel, InnerParallel::Auto);
}

TEST(OptionRecords, MaxFitDefaults) {
    const MaxFitOptions m;
    EXPECT_EQ(m.objective, toolbox::enums::MaxFitObjective::KFit);
    expect_search_predict_defaults(m.predict);
    EXPECT_EQ(m.inner_parallel, InnerParallel::Auto);
}

TEST(OptionRecords, ThresholdOrDefaultRange) {
    PredictOptions p;
    p.threshold = Vector{0.3, -1.0, 7.0};
    EXPECT_EQ(values(threshold_or_default_range(p)), (std::vector<double>{0.3, -1.0, 7.0}));
    // A run reads its own list in place, not a copy of it.
    EXPECT_EQ(thresholds_of(p).ptr, p.threshold->data());
    EXPECT_EQ(thresholds_of(p).size(), 3u);
    p.threshold.reset();
    EXPECT_EQ(values(threshold_or_default_range(p)), (std::vector<double>{0.0, 0.2, 0.5, 0.8}));
    EXPECT_EQ(values(Vector::from(thresholds_of(p))), (std::vector<double>{0.0, 0.2, 0.5, 0.8}));
}

TEST(OptionRecords, InnerSearchCellDropsOnlyScaleAndRegression) {
    PredictOptions p;
    p.cov_inv = Matrix{{2.0, 0.5}, {0.5, 3.0}};
    p.threshold = Vector{0.1, 0.9};
    p.censor_operator = CensorOperator::LessThan;
    p.censor_type = CensorType::Similarity;
    p.adj_fit_multiplier = AdjFitMultiplier::Log;
    p.inv_method = InversionMethod::Pseudoinverse;
    p.censor_unit = CensorUnit::Score;
    p.prediction_scale = PredictionScale::Logistic;
    p.missing_moments = MissingMoments::Complete;
    p.include_linear_regression = true;
    p.verbose = true;

    const PredictOptions cell = for_inner_search_cell(p);
    EXPECT_EQ(cell.prediction_scale, PredictionScale::Response);
    EXPECT_FALSE(cell.include_linear_regression);
    ASSERT_TRUE(cell.cov_inv.has_value());
    EXPECT_EQ(cell.cov_inv->rows(), 2u);
    EXPECT_EQ(cell.cov_inv->cols(), 2u);
    EXPECT_EQ((std::vector<double>(cell.cov_inv->flat().begin(), cell.cov_inv->flat().end())),
              (std::vector<double>{2.0, 0.5, 0.5, 3.0}));
    EXPECT_NE(cell.cov_inv->data(), p.cov_inv->data());  // a copy, not shared storage
    EXPECT_EQ(values(cell.threshold), (std::vector<double>{0.1, 0.9}));

    PredictOptions expected = p;
    expected.prediction_scale = PredictionScale::Response;
    expected.include_linear_regression = false;
    expect_same_scalars(cell, expected);
    // The source is left as it was.
    EXPECT_EQ(p.prediction_scale, PredictionScale::Logistic);
    EXPECT_TRUE(p.include_linear_regression);
}

TEST(OptionParsers, CensorType) {
    struct Case {
        const char* text;
        std::optional<CensorType> want;
    } cases[] = {
        {"relevance", CensorType::Relevance},
        {"SIMILARITY", CensorType::Similarity},
        {"Both", CensorType::Both},
        {" both", std::nullopt},
        {"both ", std::nullopt},
        {"", std::nullopt},
        {"0", std::nullopt},
        {"relevanc", std::nullopt},
        {"\xc3\x9f", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(censor_type_from_str(c.text), c.want) << c.text;
}

TEST(OptionParsers, CensorOperator) {
    struct Case {
        const char* text;
        std::optional<CensorOperator> want;
    } cases[] = {
        {">", CensorOperator::GreaterThan},
        {"gt", CensorOperator::GreaterThan},
        {"Greater_Than", CensorOperator::GreaterThan},
        {"<", CensorOperator::LessThan},
        {"LT", CensorOperator::LessThan},
        {"less_than", CensorOperator::LessThan},
        {">=", CensorOperator::GreaterThanOrEqual},
        {"GTE", CensorOperator::GreaterThanOrEqual},
        {"GREATER_THAN_OR_EQUAL_TO", CensorOperator::GreaterThanOrEqual},
        {"<=", CensorOperator::LessThanOrEqual},
        {"lTe", CensorOperator::LessThanOrEqual},
        {"less_than_or_equal_to", CensorOperator::LessThanOrEqual},
        {" >", std::nullopt},
        {"gte ", std::nullopt},
        {"=>", std::nullopt},
        {"==", std::nullopt},
        {"greater than", std::nullopt},
        {"2", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(censor_operator_from_str(c.text), c.want) << c.text;
}

TEST(OptionParsers, InnerParallel) {
    struct Case {
        const char* text;
        std::optional<InnerParallel> want;
    } cases[] = {
        {"auto", InnerParallel::Auto},
        {"AUTO", InnerParallel::Auto},
        {"0", InnerParallel::Off},
        {"off", InnerParallel::Off},
        {"Seq", InnerParallel::Off},
        {"FALSE", InnerParallel::Off},
        {"SEQUENTIAL", InnerParallel::Off},
        {" auto", std::nullopt},
        {"off\n", std::nullopt},
        {"1", std::nullopt},
        {"true", std::nullopt},
        {"on", std::nullopt},
        {"parallel", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(inner_parallel_from_str(c.text), c.want) << c.text;
}

constexpr const char* VALID_KEYS =
    "Valid keys: yhat_cells, adjusted_fit_cells, n_cells, weights_cells, k_cells, combi_cells, "
    "ysolo_distribution, ysolo_cells";

std::string bad_key(const std::string& key) {
    return "Invalid retain_grid_objects key: '" + key + "'. " + VALID_KEYS;
}

TEST(OptionParsers, GridRetainKey) {
    for (std::size_t code = 0; code < GRID_RETAIN_KEY_NAMES.size(); ++code) {
        const auto key = grid_retain_key_from_str(GRID_RETAIN_KEY_NAMES[code]);
        ASSERT_TRUE(key.has_value()) << GRID_RETAIN_KEY_NAMES[code];
        EXPECT_EQ(static_cast<std::size_t>(*key), code);
        EXPECT_EQ(grid_retain_key_name(*key), GRID_RETAIN_KEY_NAMES[code]);
    }
    const auto padded = grid_retain_key_from_str("\t k_cells\xe2\x80\x83");  // U+2003 EM SPACE
    ASSERT_TRUE(padded.has_value());
    EXPECT_EQ(*padded, GridRetainKey::KCells);

    struct Case {
        const char* text;
        std::string message;
    } failures[] = {
        {"Yhat_cells", bad_key("Yhat_cells")},
        {"  K_CELLS ", bad_key("K_CELLS")},
        {"ysolo", bad_key("ysolo")},
        {"'k_cells'", bad_key("'k_cells'")},
        {"", bad_key("")},
    };
    for (const auto& c : failures) {
        const auto key = grid_retain_key_from_str(c.text);
        ASSERT_FALSE(key.has_value()) << c.text;
        EXPECT_EQ(key.error().message, c.message);
    }
}

TEST(OptionParsers, RetainGridObjects) {
    using K = GridRetainKey;
    const RetainGridObjects none = RetainGridObjects::none();
    const RetainGridObjects all = RetainGridObjects::all();
    auto keys = [](std::vector<K> list) { return RetainGridObjects::of_keys(std::move(list)); };
    struct Case {
        const char* text;
        RetainGridObjects want;
    } cases[] = {
        {"", none},
        {" \t\n", none},
        {"\xe3\x80\x80", none},  // U+3000 alone is blank
        {"0", none},
        {"NONE", none},
        {" False ", none},
        {"1", all},
        {"All", all},
        {"TRUE", all},
        {"\xc2\xa0true\xc2\xa0", all},  // U+00A0 trimmed
        {"[yhat_cells, 'k_cells']", keys({K::YhatCells, K::KCells})},
        {"[[yhat_cells]]", keys({K::YhatCells})},
        {"[]", keys({})},
        {",", keys({})},
        {"''", keys({})},
        {"\"\"", keys({})},
        {"[ , ,]", keys({})},
        {"yhat_cells,yhat_cells", keys({K::YhatCells, K::YhatCells})},
        {"ysolo_cells", keys({K::YsoloCells})},
        {" [\"n_cells\" , ' combi_cells '] ", keys({K::NCells, K::CombiCells})},
        {"'\"weights_cells\"'", keys({K::WeightsCells})},
        {"[[ysolo_distribution,adjusted_fit_cells]]]", keys({K::YsoloDistribution, K::AdjustedFitCells})},
        {"k_cells, yhat_cells", keys({K::KCells, K::YhatCells})},
    };
    for (const auto& c : cases) {
        const auto got = retain_grid_objects_from_str(c.text);
        ASSERT_TRUE(got.has_value()) << c.text << ": " << got.error().message;
        EXPECT_EQ(*got, c.want) << c.text;
    }
    EXPECT_NE(keys({}), none);  // an empty list still means "a list"

    struct Failure {
        const char* text;
        std::string message;
    } failures[] = {
        {"[Yhat_cells]", bad_key("Yhat_cells")},
        {"yhat_cells, K_cells, bogus", bad_key("K_cells")},
        {"ALL_CELLS", bad_key("ALL_CELLS")},
        {"[yhat_cells] [k_cells]", bad_key("yhat_cells] [k_cells")},
        {"yes", bad_key("yes")},
        {"2", bad_key("2")},
    };
    for (const auto& c : failures) {
        const auto got = retain_grid_objects_from_str(c.text);
        ASSERT_FALSE(got.has_value()) << c.text;
        EXPECT_EQ(got.error().message, c.message);
    }
}

TEST(OptionRecords, AllocatesYsoloCells) {
    using K = GridRetainKey;
    struct Case {
        RetainGridObjects retain;
        bool want;
    } cases[] = {
        {RetainGridObjects::none(), false},
        {RetainGridObjects::all(), true},
        {RetainGridObjects::of_keys({}), false},
        {RetainGridObjects::of_keys({K::YsoloCells}), true},
        {RetainGridObjects::of_keys({K::YhatCells, K::YsoloDistribution}), true},
        {RetainGridObjects::of_keys({K::YhatCells, K::AdjustedFitCells, K::NCells, K::WeightsCells, K::KCells,
                                     K::CombiCells}),
         false},
    };
    for (const auto& c : cases) EXPECT_EQ(allocates_ysolo_cells(c.retain), c.want);
}

}  // namespace
