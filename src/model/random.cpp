#include "model/random.hpp"

#include <array>
#include <cstring>

namespace twolocus {

namespace {

constexpr size_t degree = 31;        // words of state
constexpr size_t history = 40;       // words the block recurrence looks back
constexpr size_t generated = 4096;   // words computed per block

// The stream's state: the last `history` words, then room for one block of
// new words; and the outputs not yet consumed (fewer than `draw_block` left
// over from before a block, then the block).
struct stream_state {
  std::array<uint32_t, history + generated> words{};
  std::array<int32_t, draw_block + generated> outputs{};
  size_t next = 0;
  size_t end = 0;
  bool seeded = false;
};

stream_state stream;

// Appends one block of outputs. Word i is w[i-3] + w[i-31]; applying that
// rule to w[i-3], w[i-6] and w[i-9] in turn gives
//   w[i] = w[i-12] + w[i-31] + w[i-34] + w[i-37] + w[i-40],
// whose shortest lag of 12 lets four words be computed side by side, each
// group reading whole groups computed three steps before (so the processor
// can forward them from its store buffer). The state holds words whose index
// is at least 43, where both forms agree.
void generate_block() {
  uint32_t* w = stream.words.data();
  int32_t* out = stream.outputs.data() + stream.end;
  for (size_t i = history; i < history + generated; ++i) {
    const uint32_t word = w[i - 12] + w[i - 31] + w[i - 34] + w[i - 37] + w[i - 40];
    w[i] = word;
    out[i - history] = static_cast<int32_t>(word >> 1);
  }
  stream.end += generated;
  std::memmove(w, w + generated, history * sizeof(uint32_t));
}

void refill() {
  if (!stream.seeded) seed_draws(1);
  const size_t left = stream.end - stream.next;
  std::memmove(stream.outputs.data(), stream.outputs.data() + stream.next,
               left * sizeof(int32_t));
  stream.next = 0;
  stream.end = left;
  generate_block();
}

}  // namespace

void seed_draws(int32_t seed) {
  // 344 words: 31 seeded, 3 copied, 310 discarded as warm-up outputs.
  std::array<uint32_t, 344> w{};
  int32_t word = seed == 0 ? 1 : seed;
  w[0] = static_cast<uint32_t>(word);
  for (size_t i = 1; i < degree; ++i) {
    // 16807 * word mod (2^31 - 1), without leaving 32 bits (Schrage's method).
    const int32_t hi = word / 127773;
    const int32_t lo = word % 127773;
    word = 16807 * lo - 2836 * hi;
    if (word < 0) word += 2147483647;
    w[i] = static_cast<uint32_t>(word);
  }
  for (size_t i = degree; i < degree + 3; ++i) w[i] = w[i - degree];
  for (size_t i = degree + 3; i < w.size(); ++i) w[i] = w[i - 31] + w[i - 3];
  std::memcpy(stream.words.data(), w.data() + (w.size() - history), history * sizeof(uint32_t));
  stream.next = stream.end = 0;
  stream.seeded = true;
}

const int32_t* draws_ahead(size_t count) {
  if (stream.end - stream.next < count) refill();
  return stream.outputs.data() + stream.next;
}

void skip_draws(size_t count) { stream.next += count; }

void override_upcoming_draws(const int32_t* values, size_t count) {
  draws_ahead(count);
  std::memcpy(stream.outputs.data() + stream.next, values, count * sizeof(int32_t));
}

int32_t raw_draw() {
  if (stream.next == stream.end) refill();
  return stream.outputs[stream.next++];
}

double uniform_draw() { return raw_draw() / static_cast<double>(draw_max); }

uint32_t draw_threshold(double p) {
  // The smallest x in [0, 2^31) whose uniform value is not below p.
  uint32_t low = 0;
  uint32_t high = 1u << 31;
  while (low < high) {
    const uint32_t middle = low + (high - low) / 2;
    if (middle / static_cast<double>(draw_max) < p) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low;
}

}  // namespace twolocus
