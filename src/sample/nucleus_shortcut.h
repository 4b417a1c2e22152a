// A shorter route to the sampling path's token when top_p cuts a large vocabulary down to a
// small nucleus: only the candidates that can matter are ranked and weighted with the platform's
// exp; the weight of all the others is bounded from bounded_exp. When the bound cannot decide
// the cut, the route gives no token and the caller takes the full path.
// Any thread, no shared state. Never fails (std::bad_alloc aside).
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace qelt {

// The token of the sampling path when top_k keeps all n logits and top_p < 1, identical to the
// full path's; or nullopt when this route does not apply (NaN or infinite logits, NaN or
// infinite temperature, a short vector, a wide nucleus) or its bound cannot decide the cut.
std::optional<std::uint64_t> sample_nucleus_shortcut(std::span<const float> logits,
                                                     float temperature, float top_p,
                                                     double uniform);

}  // namespace qelt
