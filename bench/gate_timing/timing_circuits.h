// What the two sides of the gate timing program share: circuit kinds and one timing's result.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int CIRCUIT_LAYERED = 0;    // 10 layers: 1q on every bit, 2q brickwork
inline constexpr int CIRCUIT_ONE_QUBIT = 1;  // 2 layers of 1q gates on every bit
inline constexpr int CIRCUIT_TWO_QUBIT = 2;  // 2 layers of 2q brickwork

struct TimingResult {
  double seconds;
  std::size_t gates;
  std::uint64_t checksum;
};

TimingResult time_old(int kind, unsigned n, bool serial_route);
TimingResult time_new(int kind, unsigned n, bool serial_route);
