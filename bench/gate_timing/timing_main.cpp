// Times the gate driver of two cores in one process, old and new turn about: the layered
// circuit on one row (serial route at n = 14, in-row route above), and lists of one- and
// two-qubit gates at n = 20. Prints rates in amplitude-gate updates per second (median of
// repeats), the new/old ratio, and each in-row rate over the serial route's rate at n = 14.
// The worker count is the pool's (RAYON_NUM_THREADS).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "timing_circuits.h"

namespace {

struct Median {
  double rate;
  bool same_bits;
};

using TimeFn = TimingResult (*)(int, unsigned, bool);

// Median rate of `repeats` passes of fn, and whether every pass gave `checksum`.
std::vector<Median> measure(const std::vector<TimeFn>& fns, const std::vector<bool>& serial,
                            int kind, unsigned n, int repeats) {
  std::vector<std::vector<double>> rates(fns.size());
  std::vector<std::uint64_t> sums(fns.size());
  std::vector<bool> same(fns.size(), true);
  for (std::size_t f = 0; f < fns.size(); ++f) sums[f] = fns[0](kind, n, serial[0]).checksum;
  for (int r = 0; r < repeats; ++r) {
    for (std::size_t f = 0; f < fns.size(); ++f) {
      const TimingResult t = fns[f](kind, n, serial[f]);
      rates[f].push_back(double(t.gates) * double(std::size_t{1} << n) / t.seconds);
      same[f] = same[f] && t.checksum == sums[f];
    }
  }
  std::vector<Median> out;
  for (std::size_t f = 0; f < fns.size(); ++f) {
    std::sort(rates[f].begin(), rates[f].end());
    out.push_back({rates[f][rates[f].size() / 2], same[f]});
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "once") {
    // One pass of the new core, for instruction counts (valgrind --tool=callgrind):
    // once KIND N SERIAL_ROUTE.
    const TimingResult t =
        time_new(std::atoi(argv[2]), unsigned(std::atoi(argv[3])), std::atoi(argv[4]) != 0);
    std::printf("%zu gates, checksum %llu\n", t.gates, (unsigned long long)t.checksum);
    return 0;
  }
  const int repeats = argc > 1 ? std::atoi(argv[1]) : 9;
  const char* workers = std::getenv("RAYON_NUM_THREADS");
  std::printf("workers: %s, repeats: %d, rates in G amplitude-gate updates/s (median)\n",
              workers ? workers : "(all CPUs)", repeats);
  std::printf("%-22s %8s %8s %7s %9s %9s %12s %5s\n", "case", "old", "new", "new/old", "old/ser14",
              "new/ser14", "new serial", "bits");
  const std::vector<TimeFn> fns = {time_old, time_new, time_new};
  const std::vector<bool> serial = {false, false, true};
  const auto base = measure(fns, serial, CIRCUIT_LAYERED, 14, repeats);
  struct Case {
    const char* name;
    int kind;
    unsigned n;
  };
  const Case cases[] = {
      {"layered n=14 (serial)", CIRCUIT_LAYERED, 14}, {"layered n=15 in-row", CIRCUIT_LAYERED, 15},
      {"layered n=16 in-row", CIRCUIT_LAYERED, 16},   {"layered n=17 in-row", CIRCUIT_LAYERED, 17},
      {"layered n=18 in-row", CIRCUIT_LAYERED, 18},   {"layered n=20 in-row", CIRCUIT_LAYERED, 20},
      {"1q list n=20", CIRCUIT_ONE_QUBIT, 20},        {"2q list n=20", CIRCUIT_TWO_QUBIT, 20}};
  for (const Case& c : cases) {
    const auto m =
        c.n == 14 && c.kind == CIRCUIT_LAYERED ? base : measure(fns, serial, c.kind, c.n, repeats);
    std::printf("%-22s %8.3f %8.3f %7.2f %9.2f %9.2f %12.3f %5s\n", c.name, m[0].rate / 1e9,
                m[1].rate / 1e9, m[1].rate / m[0].rate, m[0].rate / base[0].rate,
                m[1].rate / base[1].rate, m[2].rate / 1e9,
                m[0].same_bits && m[1].same_bits && m[2].same_bits ? "same" : "DIFF");
  }
}
