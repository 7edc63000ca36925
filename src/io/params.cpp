#include "io/params.hpp"

#include <cmath>

#include "io/numbers.hpp"

namespace twolocus {

namespace {

constexpr double missing = -1.0;

}  // namespace

void write_params_head(std::FILE* file, const run_params& params) {
  std::fprintf(file, "s = [%f], k = [%f], n = [%d] gerneration_size=[%ld].\n", static_cast<double>(params.s), static_cast<double>(params.k),
               params.n, static_cast<long>(params.generation_size));
  for (size_t i = 0; i < params.rates_a.size(); ++i) {
    std::fprintf(file, "a%d = %.10f\n", static_cast<int>(i), params.rates_a[i]);
    std::fprintf(file, "b%d = %.10f\n", static_cast<int>(i), params.rates_b[i]);
  }
}

void write_params_fitness(std::FILE* file, const fitness_table& fitness) {
  for (size_t index = 0; index < fitness.size(); ++index) {
    std::fprintf(file, "%d ->\t%f\n", static_cast<int>(index), fitness[index]);
  }
}

void write_params(std::FILE* file, const run_params& params) {
  write_params_head(file, params);
  write_params_fitness(file, params.fitness);
}

bool read_params_head(std::FILE* file, const char* name, run_params& params) {
  // n and the generation size are scanned as long and keep their low 32
  // bits, which is how a "%d" conversion stores a number beyond 32 bits.
  float s = 0.0f, k = 0.0f;
  long n = 0, generation_size = 0;
  if (std::fscanf(file, "s = [%f], k = [%f], n = [%ld] gerneration_size=[%ld].\n", &s, &k, &n, &generation_size) != 4) {
    std::printf("You have to reenter the parameters.  Line 1 of [%s] is not of the right format.\n",
                name);
    return false;
  }
  params.s = s;
  params.k = k;
  params.n = static_cast<int32_t>(n);
  params.generation_size = static_cast<int32_t>(generation_size);
  return true;
}

namespace {

// Takes a value token; returns its number, or the missing sentinel when it is
// not a finite number.
double read_value(const char* token) {
  const double value = c_atof(token);
  return std::isfinite(value) ? value : missing;
}

void store(double* table, size_t size, int32_t index, const char* value_token) {
  if (index < 0 || static_cast<size_t>(index) >= size) return;
  table[index] = read_value(value_token);
}

bool any_missing(const double* values, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (values[i] == missing) return true;
  }
  return false;
}

}  // namespace

bool read_params_body(std::FILE* file, const char* name, run_params& params) {
  params.rates_a.fill(missing);
  params.rates_b.fill(missing);
  params.fitness.fill(missing);
  line_buffer line;
  while (read_line(file, line)) {
    char* cursor = line.data();
    for (;;) {
      const char* key = next_token(cursor, " \t");
      const char* skipped = key == nullptr ? nullptr : next_token(cursor, " \t");
      const char* value = skipped == nullptr ? nullptr : next_token(cursor, " \t");
      if (value == nullptr) break;
      if (key[0] == 'a') {
        store(params.rates_a.data(), params.rates_a.size(), c_atoi(key + 1), value);
      } else if (key[0] == 'b') {
        store(params.rates_b.data(), params.rates_b.size(), c_atoi(key + 1), value);
      } else {
        store(params.fitness.data(), params.fitness.size(), c_atoi(key), value);
      }
    }
  }
  if (any_missing(params.rates_a.data(), params.rates_a.size()) ||
      any_missing(params.rates_b.data(), params.rates_b.size())) {
    std::printf("You have to reenter the parameters.  Mutation rates of [%s] are incomplete.\n",
                name);
    return false;
  }
  if (any_missing(params.fitness.data(), params.fitness.size())) {
    std::printf("You have to reenter the parameters.  Fitnesses of [%s] are incomplete.\n", name);
    return false;
  }
  return true;
}

}  // namespace twolocus
