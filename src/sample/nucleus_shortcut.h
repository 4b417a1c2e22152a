// A shorter route to the sampling path's token over a large vocabulary whose weight sits in a
// small head of the ranking (a narrow nucleus, or a draw that lands early): only the
// candidates that can matter are ranked and weighted with the platform's exp; the weight of all
// the others is bounded from bounded_exp. When the bound cannot decide the cut or the draw, the
// route gives no token and the caller takes the full path.
// Any thread, no shared state. Never fails (std::bad_alloc aside).
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace qelt {

// The token of the sampling path when top_k keeps all n logits (with or without a cut by
// top_p), identical to the full path's; or nullopt when this route does not apply (NaN or
// infinite logits, NaN or infinite temperature, a short vector, a wide nucleus or a draw deep
// into the tail) or its bound cannot decide.
std::optional<std::uint64_t> sample_nucleus_shortcut(std::span<const float> logits,
                                                     float temperature, float top_p,
                                                     double uniform);

}  // namespace qelt
