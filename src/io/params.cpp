#include "io/params.hpp"

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <sys/types.h>

#include "io/numbers.hpp"

namespace twolocus {

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

// Line 1's format, with the conversion of s and k ("f" for float, "lf" for
// double): one format, so that both readings accept the same lines.
#define TWOLOCUS_PARAMS_HEAD(real) "s = [%" real "], k = [%" real "], n = [%ld] gerneration_size=[%ld].\n"

bool read_params_head(std::FILE* file, run_params& params) {
  // n and the generation size are scanned as long and keep their low 32
  // bits, which is how a "%d" conversion stores a number beyond 32 bits.
  float s = 0.0f, k = 0.0f;
  long n = 0, generation_size = 0;
  if (std::fscanf(file, TWOLOCUS_PARAMS_HEAD("f"), &s, &k, &n, &generation_size) != 4) return false;
  params.s = s;
  params.k = k;
  params.n = static_cast<int32_t>(n);
  params.generation_size = static_cast<int32_t>(generation_size);
  return true;
}

bool read_params_head(std::FILE* file, params_head& head) {
  long n = 0, generation_size = 0;
  if (std::fscanf(file, TWOLOCUS_PARAMS_HEAD("lf"), &head.s, &head.k, &n, &generation_size) != 4) {
    return false;
  }
  head.n = static_cast<int32_t>(n);
  head.generation_size = static_cast<int32_t>(generation_size);
  return true;
}

#undef TWOLOCUS_PARAMS_HEAD

namespace {

// What the lines after line 1 gave: each value, and whether some line gave it.
struct body_reading {
  run_params& params;
  std::array<bool, 3> rates_a_given{};
  std::array<bool, 3> rates_b_given{};
  std::array<bool, genotype_count> fitness_given{};
  std::optional<int32_t>& seed;
};

// Takes a token; returns its value when it is a finite number that strtod
// reads whole, in decimal (leading white space such as a carriage return,
// hexadecimal forms, nan, inf and overflow are not values).
std::optional<double> finite_value(const char* token) {
  if (std::isspace(static_cast<unsigned char>(token[0])) || std::strpbrk(token, "xX") != nullptr) {
    return std::nullopt;
  }
  char* end = nullptr;
  const double value = std::strtod(token, &end);
  if (end == token || *end != '\0' || !std::isfinite(value)) return std::nullopt;
  return value;
}

// Takes a token; returns its value when it is an optionally signed decimal
// integer within the 32-bit range.
std::optional<int32_t> whole_int32(const char* token) {
  if (!std::isdigit(static_cast<unsigned char>(token[token[0] == '-' || token[0] == '+']))) {
    return std::nullopt;
  }
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(token, &end, 10);
  if (errno != 0 || *end != '\0' || value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(value);
}

// Takes a token; returns the genotype index it writes in digits (0..80).
std::optional<size_t> genotype_key(const char* token) {
  size_t index = 0;
  for (const char* digit = token; *digit != '\0'; ++digit) {
    if (!std::isdigit(static_cast<unsigned char>(*digit))) return std::nullopt;
    index = index * 10 + static_cast<size_t>(*digit - '0');
    if (index >= genotype_count) return std::nullopt;
  }
  if (*token == '\0') return std::nullopt;
  return index;
}

// Takes one triple; stores its value. Returns false when the key is not a
// rate key, a genotype index or "seed", or the value is not what the key
// needs.
bool store_triple(const char* key, const char* value, body_reading& reading) {
  if (std::strcmp(key, "seed") == 0) {
    const auto seed = whole_int32(value);
    if (seed) reading.seed = *seed;
    return seed.has_value();
  }
  const auto number = finite_value(value);
  if (!number) return false;
  if ((key[0] == 'a' || key[0] == 'b') && key[1] >= '0' && key[1] <= '2' && key[2] == '\0') {
    const auto i = static_cast<size_t>(key[1] - '0');
    auto& rates = key[0] == 'a' ? reading.params.rates_a : reading.params.rates_b;
    auto& given = key[0] == 'a' ? reading.rates_a_given : reading.rates_b_given;
    rates[i] = *number;
    given[i] = true;
    return true;
  }
  const auto index = genotype_key(key);
  if (!index) return false;
  reading.params.fitness[*index] = *number;
  reading.fitness_given[*index] = true;
  return true;
}

// Takes one physical line without its line end; reads its triples. Returns
// false unless it is blank or made of whole, valid triples.
bool read_body_line(char* line, body_reading& reading) {
  char* cursor = line;
  for (;;) {
    const char* key = next_token(cursor, " \t");
    if (key == nullptr) return true;
    const char* skipped = next_token(cursor, " \t");
    const char* value = skipped == nullptr ? nullptr : next_token(cursor, " \t");
    if (value == nullptr || !store_triple(key, value, reading)) return false;
  }
}

// Takes the parameter file; returns the number of the physical line at its
// current position (line 1's reading may have consumed blank lines after it).
long long current_line_number(std::FILE* file) {
  const long position = std::ftell(file);
  if (position < 0 || std::fseek(file, 0, SEEK_SET) != 0) return 2;
  long long line = 1;
  for (long i = 0; i < position; ++i) {
    const int c = std::fgetc(file);
    if (c == EOF) break;
    if (c == '\n') ++line;
  }
  std::fseek(file, position, SEEK_SET);
  return line;
}

template <size_t size>
bool all_given(const std::array<bool, size>& given) {
  return std::all_of(given.begin(), given.end(), [](bool is_given) { return is_given; });
}

}  // namespace

params_body_reading read_params_body(std::FILE* file, run_params& params,
                                     std::optional<int32_t>& seed) {
  body_reading reading{params, {}, {}, {}, seed};
  long long line_number = current_line_number(file);
  char* line = nullptr;
  size_t capacity = 0;
  ssize_t length = 0;
  bool well_formed = true;
  for (; (length = ::getline(&line, &capacity, file)) >= 0; ++line_number) {
    auto size = static_cast<size_t>(length);
    if (size > 0 && line[size - 1] == '\n') {
      line[--size] = '\0';
      if (size > 0 && line[size - 1] == '\r') line[--size] = '\0';
    }
    // A NUL inside the line would hide the rest of it from the tokens.
    if (std::strlen(line) != size || !read_body_line(line, reading)) {
      well_formed = false;
      break;
    }
  }
  std::free(line);
  using outcome = params_body_reading::outcome;
  if (!well_formed) return {outcome::line_format, line_number};
  if (!all_given(reading.rates_a_given) || !all_given(reading.rates_b_given)) {
    return {outcome::rates_incomplete, 0};
  }
  if (!all_given(reading.fitness_given)) return {outcome::fitness_incomplete, 0};
  return {outcome::read, 0};
}

void write_params_seed(std::FILE* file, int32_t seed) { std::fprintf(file, "seed = %d\n", seed); }

bool is_sim_params_file(std::FILE* file) {
  static constexpr char start[] = "twolocus-sim parameters";
  char head[sizeof start] = {};
  const size_t read = std::fread(head, 1, sizeof start - 1, file);
  std::rewind(file);
  return read == sizeof start - 1 && std::memcmp(head, start, sizeof start - 1) == 0;
}

}  // namespace twolocus
