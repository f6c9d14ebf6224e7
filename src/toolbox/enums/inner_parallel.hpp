// Whether a grid or max-fit run may spread its inner work over a worker pool.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace toolbox::enums {

// Auto: the run picks the pool by its size rules. Off: always sequential.
enum class InnerParallel : std::uint8_t { Auto = 0, Off = 1 };

// "auto", or one of "0", "off", "seq", "false", "sequential", in any ASCII
// letter case, no trimming. There is deliberately no word for forcing the pool
// on ("1" and "true" fail). A failure carries no text.
std::optional<InnerParallel> inner_parallel_from_str(std::string_view text);

}  // namespace toolbox::enums
