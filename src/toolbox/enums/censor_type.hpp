// Which score censors the sample: relevance, similarity, or both in turn
// (grid and max-fit runs only).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace toolbox::enums {

enum class CensorType : std::uint8_t { Relevance = 0, Similarity = 1, Both = 2 };

// "relevance", "similarity" or "both" in any ASCII letter case, nothing else
// (no trimming). A failure carries no text: each caller words its own.
std::optional<CensorType> censor_type_from_str(std::string_view text);

// "Relevance", "Similarity", "Both": the names grid messages show.
std::string_view censor_type_debug_name(CensorType type) noexcept;

}  // namespace toolbox::enums
