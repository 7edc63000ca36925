#include "model/random.hpp"

#include <cstdlib>

#include "model/model.hpp"

namespace twolocus {

void seed_draws(int32_t seed) { std::srand(static_cast<unsigned>(seed)); }

int32_t raw_draw() { return std::rand(); }

double uniform_draw() { return raw_draw() / static_cast<double>(draw_max); }

}  // namespace twolocus
