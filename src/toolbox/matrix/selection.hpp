// The keys at chosen places of the ascending order of an array of keys,
// without sorting the array: a quickselect that follows every part holding
// a wanted place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace toolbox::matrix::sorting {

// Orders the n keys so that each of `places` (below n; sorted and freed of
// repeats here) holds the key a sort would put there. The keys stay a
// permutation of themselves, so a later selection may work on them again.
void select_keys_at(std::uint64_t* keys, std::size_t n, std::vector<std::size_t>& places);

}  // namespace toolbox::matrix::sorting
