#include "io/sim_summary.hpp"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <optional>

#include "model/genotype.hpp"

namespace twolocus {

namespace {

__extension__ using wide = __int128;
__extension__ using uwide = unsigned __int128;

int bit_length(uwide value) {
  int bits = 0;
  while (value != 0) {
    value >>= 1;
    ++bits;
  }
  return bits;
}

// Takes a numerator and a positive denominator (each below 2^125 in
// magnitude); returns their ratio correctly rounded to a double (ties to
// even), as Python's int / int and float(Fraction(...)) give it.
double exact_ratio(wide numerator, wide denominator) {
  if (numerator == 0) return 0.0;
  const bool negative = numerator < 0;
  uwide top = static_cast<uwide>(negative ? -numerator : numerator);
  uwide bottom = static_cast<uwide>(denominator);
  // 2^e <= top / bottom < 2^(e + 1); scale so that 1 <= top / bottom < 2.
  int e = bit_length(top) - bit_length(bottom);
  if (e >= 0) {
    bottom <<= e;
  } else {
    top <<= -e;
  }
  if (top < bottom) {
    top <<= 1;
    --e;
  }
  // 54 quotient bits, then whether anything is left.
  uint64_t bits = 1;
  uwide rest = top - bottom;
  for (int i = 0; i < 53; ++i) {
    rest <<= 1;
    bits <<= 1;
    if (rest >= bottom) {
      rest -= bottom;
      bits |= 1;
    }
  }
  const bool sticky = rest != 0;
  const bool half = (bits & 1) != 0;
  uint64_t mantissa = bits >> 1;
  if (half && (sticky || (mantissa & 1) != 0)) ++mantissa;
  const double value = std::ldexp(static_cast<double>(mantissa), e - 52);
  return negative ? -value : value;
}

// Python's math.fsum: the sum of the values, exact, then rounded once.
double exact_sum(const std::vector<double>& values) {
  std::vector<double> partials;
  for (double x : values) {
    size_t i = 0;
    for (double y : partials) {
      if (std::fabs(x) < std::fabs(y)) std::swap(x, y);
      const double hi = x + y;
      const double lo = y - (hi - x);
      if (lo != 0.0) partials[i++] = lo;
      x = hi;
    }
    partials.resize(i);
    if (x != 0.0) partials.push_back(x);
  }
  size_t n = partials.size();
  double hi = 0.0;
  double lo = 0.0;
  if (n > 0) {
    hi = partials[--n];
    while (n > 0) {
      const double x = hi;
      const double y = partials[--n];
      hi = x + y;
      const double yr = hi - x;
      lo = y - yr;
      if (lo != 0.0) break;
    }
    if (n > 0 && ((lo < 0.0 && partials[n - 1] < 0.0) || (lo > 0.0 && partials[n - 1] > 0.0))) {
      const double y = lo * 2.0;
      const double x = hi + y;
      const double yr = x - hi;
      if (y == yr) hi = x;
    }
  }
  return hi;
}

void add(std::string& text, const std::string& field) {
  text += '\t';
  text += field;
}

std::string real(std::optional<double> value) {
  if (!value) return "";
  char text[64];
  std::snprintf(text, sizeof text, "%.10g", *value);
  return text;
}

}  // namespace

std::string summary_header(const std::vector<std::string>& conditions) {
  std::string header = "replicate\tseed\tend\tlabel\tgenerations";
  for (const std::string& condition : conditions) add(header, condition);
  header += "\tN";
  for (const char locus : {'a', 'b'}) {
    for (const char allele : {'1', '2', '3'}) {
      header += '\t';
      header += locus;
      header += allele;
    }
  }
  for (int i = 1; i <= 3; ++i) {
    for (int j = 1; j <= 3; ++j) {
      header += "\th";
      header += static_cast<char>('0' + i);
      header += static_cast<char>('0' + j);
    }
  }
  return header + "\tD\tDprime\tr2\tHa\tHb\tclasses\tmean_fitness\textinct";
}

int summary_column_count(int conditions) { return 5 + conditions + 1 + 6 + 9 + 8; }

std::string population_statistics(const population_counts& counts, const fitness_table& fitness) {
  int64_t n = 0;
  int classes = 0;
  // Copies of alleles a1..a3, b1..b3 and haplotypes h11..h33.
  std::array<int64_t, 15> copies{};
  for (int index = 0; index < genotype_count; ++index) {
    const int64_t count = counts[static_cast<size_t>(index)];
    n += count;
    if (count > 0) ++classes;
    const int a1 = index_digit(index, 1);
    const int a2 = index_digit(index, 2);
    const int b1 = index_digit(index, 3);
    const int b2 = index_digit(index, 4);
    copies[static_cast<size_t>(a1)] += count;
    copies[static_cast<size_t>(a2)] += count;
    copies[static_cast<size_t>(3 + b1)] += count;
    copies[static_cast<size_t>(3 + b2)] += count;
    copies[static_cast<size_t>(6 + 3 * a1 + b1)] += count;
    copies[static_cast<size_t>(6 + 3 * a2 + b2)] += count;
  }
  std::string text = std::to_string(n);
  std::string tail = "\t";
  tail += std::to_string(classes);
  if (n == 0) {
    for (int i = 0; i < 15 + 5; ++i) text += "\t";
    return text + tail + "\t\t1";
  }
  const wide total = 2 * static_cast<wide>(n);
  for (const int64_t count : copies) add(text, real(exact_ratio(count, total)));
  const wide a = copies[0];
  const wide b = copies[3];
  const wide h11 = copies[6];
  const wide d = h11 * total - a * b;
  add(text, real(exact_ratio(d, total * total)));
  const wide d_max = d > 0 ? std::min(a * (total - b), (total - a) * b)
                           : std::min(a * b, (total - a) * (total - b));
  add(text, real(d_max == 0 ? std::nullopt : std::optional<double>(exact_ratio(d, d_max))));
  const wide spread = a * (total - a) * b * (total - b);
  add(text, real(spread == 0 ? std::nullopt : std::optional<double>(exact_ratio(d * d, spread))));
  for (const size_t first : {size_t{0}, size_t{3}}) {
    wide squares = 0;
    for (size_t i = first; i < first + 3; ++i) squares += static_cast<wide>(copies[i]) * copies[i];
    add(text, real(exact_ratio(total * total - squares, total * total)));
  }
  std::vector<double> products;
  products.reserve(genotype_count);
  for (size_t i = 0; i < genotype_count; ++i) {
    products.push_back(static_cast<double>(counts[i]) * fitness[i]);
  }
  text += tail;
  add(text, real(exact_sum(products) / static_cast<double>(n)));
  return text + "\t0";
}

std::string summary_line(const summary_row& row, const population_counts& counts,
                         const fitness_table& fitness) {
  std::string line = std::to_string(row.replicate);
  add(line, std::to_string(row.seed));
  add(line, row.end);
  add(line, std::to_string(row.label));
  add(line, std::to_string(row.generations));
  for (const std::string& field : row.conditions) add(line, field);
  add(line, population_statistics(counts, fitness));
  return line;
}

bool write_summary_atomically(const std::string& name, const std::vector<std::string>& lines,
                              const std::vector<std::string>& conditions) {
  const std::string temporary = name + ".tmp";
  std::FILE* file = std::fopen(temporary.c_str(), "w");
  if (file == nullptr) return false;
  std::fprintf(file, "%s\n", summary_header(conditions).c_str());
  for (const std::string& line : lines) std::fprintf(file, "%s\n", line.c_str());
  const bool written = std::fflush(file) == 0 && std::ferror(file) == 0;
  if (std::fclose(file) != 0 || !written || std::rename(temporary.c_str(), name.c_str()) != 0) {
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace twolocus
