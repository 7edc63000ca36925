#include "model/random.hpp"

#include <array>
#include <cstring>

namespace twolocus {

namespace {

constexpr size_t degree = 31;  // words of state
constexpr size_t history = 37; // words the block recurrence looks back

// The stream's state: the last `history` words, then room for one block of
// new words; and the outputs not yet consumed.
struct stream_state {
  std::array<uint32_t, history + draw_block> words{};
  std::array<int32_t, 2 * draw_block> outputs{};
  size_t next = 0;
  size_t end = 0;
  bool seeded = false;
};

stream_state stream;

// Appends one block of outputs. Word i is w[i-31] + w[i-3]; applying that
// rule to w[i-3] and then to w[i-6] gives w[i] = w[i-9] + w[i-31] + w[i-34] +
// w[i-37], whose shortest lag of 9 lets eight words be computed side by
// side. The state holds words whose index is at least 40, where both forms
// agree.
void generate_block() {
  uint32_t* w = stream.words.data();
  for (size_t i = history; i < history + draw_block; ++i) {
    w[i] = w[i - 9] + w[i - 31] + w[i - 34] + w[i - 37];
  }
  int32_t* out = stream.outputs.data() + stream.end;
  for (size_t i = 0; i < draw_block; ++i) out[i] = static_cast<int32_t>(w[history + i] >> 1);
  stream.end += draw_block;
  std::memmove(w, w + draw_block, history * sizeof(uint32_t));
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
