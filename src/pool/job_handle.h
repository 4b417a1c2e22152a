// JobHandle: what the pool's queues carry, two words naming a job record and the function that
// runs it. Queues hold handles and own nothing. Plain data; any thread.
#pragma once

namespace qelt {

struct JobHandle {
  void (*execute)(void* record) noexcept;
  void* record;

  // Two handles denote the same job when both words are equal.
  friend bool operator==(const JobHandle&, const JobHandle&) = default;
  void run() const noexcept { execute(record); }
};

}  // namespace qelt
