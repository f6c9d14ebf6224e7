// The results interface as the header describes it, for the fuzz targets:
// the 51 copy exports in a table, the presence, dimension and count queries
// checked against each other, one copy checked with any buffer, and a digest
// of everything a handle holds (to compare the results of two calls that
// must agree bit for bit).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "qelcore.h"

namespace fuzz::results {

enum class Family { Core, Linear, Relevance, Optional, Aux, Hist, Matrix, CensorMatrix, Censor3d, Include };

struct Export {
    const char* fn;    // the export's name, for reports
    Family family;
    const char* name;  // the name its messages use
    const char* key;   // the key of a per-censor part
    int32_t (*vec)(const QelPredictionResults*, double*, size_t);
    int32_t (*mat)(const QelPredictionResults*, double*, size_t, int32_t);
    int32_t (*cmat)(const QelPredictionResults*, int32_t, double*, size_t, int32_t);
    int32_t (*c3)(const QelPredictionResults*, int32_t, double*, size_t);
    int32_t (*inc)(const QelPredictionResults*, uint8_t*, size_t, int32_t);
};

const std::vector<Export>& exports();

// What the queries say a handle holds. Checking them is part of building it.
struct Facts {
    const QelPredictionResults* h = nullptr;
    size_t N = 0, K = 0, T = 0, C = 0;
    size_t Tc = 0;  // thresholds of the grid's cell arrays
    bool has[14] = {};
    // Per-censor parts: [censor][key] for keys yhat, adj, n, weights, xi.
    bool cell[2][5] = {};
    size_t cell_dims[2][5][3] = {};
    // Extents of the eight matrices with a dimension query, in the order of
    // the query table: include, weights, weights_excluded, xi_solo,
    // ysolo_cells, k_cells, combi_cells, ysolo_distribution.
    bool dims_ok[8] = {};
    size_t dims[8][2] = {};
    size_t maxfit_index_len = 0;
};

// Runs every query on `h` (NULL included), checks each against the header and
// against the others, and returns what they say.
Facts check_queries(const QelPredictionResults* h);

// The extent of one part for one censor code: present or not, and the
// element count with its factors.
struct Shape {
    bool present = false;
    size_t need = 0;
    size_t d[3] = {0, 0, 0};
};

// Learns the shape of `e` for `censor` from the facts (and, for the vectors
// without a query, from a copy into an empty buffer, whose message names the
// count), checking the count against N, K and T.
Shape shape_of(const Facts& f, const Export& e, int32_t censor);

enum class Buffer { Exact, Short, Null, Huge, Longer };

// One copy with the buffer class, censor and layout given, checked: status
// and exact message in the family's check order, nothing written on failure,
// only the first `need` elements written on success (canaries around the
// buffer), matrices transposed between the layouts, the include mask 0 or 1.
void check_copy(const Facts& f, const Export& e, int32_t censor, int32_t layout, Buffer buffer, size_t shortfall);

// Every part a handle holds, copied with exact buffers, as bytes.
std::string digest(const QelPredictionResults* h);

}  // namespace fuzz::results
