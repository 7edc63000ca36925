#include "app/sim_options.hpp"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "run/messages.hpp"
#include "io/parameters.hpp"

namespace twolocus {

const char* const sim_help_text =
    "Usage: twolocus-sim --fitness FILE | --fitness-values FILE [--column C] [-s S] [-k K]\n"
    "                    -N SIZE --generations N -o OUT [options]\n"
    "       twolocus-sim ... --demography FILE [--generations N | --burn-in G] -o OUT [options]\n"
    "       twolocus-sim --demography FILE --resolve\n"
    "       twolocus-sim --resume OUT [--generations N]\n"
    "\n"
    "Simulates a diploid population of SIZE individuals at two loci with three\n"
    "alleles each, for generations 0 to N - 1: mutation, selection, mating with\n"
    "recombination. Writes the trajectory OUT, its parameters OUT.params, the\n"
    "resume checkpoints OUT.checkpoint and the summary OUT.summary.tsv.\n"
    "\n"
    "  -N, --population-size SIZE  individuals in every generation (1 to 2147483647)\n"
    "  --generations N             generations 0 to N - 1 are run (0 to 2147483647);\n"
    "                              with --resume, the new total\n"
    "  -o, --output OUT            the trajectory file\n"
    "  --seed SEED                 32-bit seed (default 2222)\n"
    "  --fitness FILE              a table of fitness codes 0 to 8\n"
    "  --fitness-values FILE       a table of real fitness values\n"
    "  --column C                  the table's column, 1 the first after the alleles (default 1)\n"
    "  -s S, -k K                  the codes' coefficients as fractions (s 0 to 1, k -1 to 1000;\n"
    "                              default 0)\n"
    "  --mu P                      the six one-way rates 1->2, 2->3, 1->3 at both loci\n"
    "  --mu-a12 P ... --mu-b31 P   one change i->j at locus a or b (a12 a23 a13 a21 a32 a31,\n"
    "                              the same at b); overrides --mu; rows sum to at most 1\n"
    "  --recombination R           probability per meiosis, 0 to 0.5 (default 0.5)\n"
    "  --weights exact|floor       parent weight count x fitness, or its integer truncation as\n"
    "                              in twolocus (default exact)\n"
    "  --engine exact|multinomial  individual by individual, or class counts (default multinomial)\n"
    "  --initial FILE[:LABEL]      start from a trajectory's last record (or the one labelled\n"
    "                              LABEL), or from LABEL<TAB>COUNT lines (default all SIZE 1111)\n"
    "  --record-every K            a record every K generations (default 200); 0: none, only\n"
    "                              the summary OUT.summary.tsv\n"
    "  --replicates R              run replicates F to F + R - 1 (seeds derived from --seed);\n"
    "                              one row each in OUT.summary.tsv\n"
    "  --first-replicate F         the first replicate's number (default 0)\n"
    "  --threads T                 replicates run on T threads (default 1)\n"
    "  --trajectories DIR          each replicate's trajectory as DIR/replicate-NUMBER\n"
    "  --stop EXPR                 end the run at the first generation where EXPR holds\n"
    "                              (repeatable; the condition language of twolocus-stats --first)\n"
    "  --watch EXPR                record the first generation where EXPR holds (repeatable)\n"
    "  --demography FILE           a Demes file: the sizes, selfing and cloning through time\n"
    "                              (replaces -N); the run ends at time 0 and starts N\n"
    "                              generations before it (--generations N) or G generations\n"
    "                              before the model's oldest finite time (--burn-in G;\n"
    "                              default 10 times the first epoch's size)\n"
    "  --burn-in G                 see --demography\n"
    "  --resolve                   print the Demes file's fully resolved model as JSON\n"
    "  --resume OUT                continue the run OUT from its files\n"
    "  --help, --version\n";

namespace {

struct parser {
  sim_options& options;
  std::set<parameter_id> seen;
  std::vector<std::string> model_options;  // given, for the conflict with --resume
  double mu = 0.0;
  bool mu_given = false;
  std::array<std::array<std::optional<double>, 6>, 2> changes{};
  bool s_given = false;
  bool k_given = false;
  std::string population_size_name;  // as given: -N or --population-size
};

// The six changes of a locus, as the option names them.
constexpr int change_alleles[6][2] = {{0, 1}, {1, 2}, {0, 2}, {1, 0}, {2, 1}, {2, 0}};

// Takes a text from the command line; returns it as a message shows it:
// each control character (a line end, a tab) as its C escape, so that the
// message stays one line.
std::string shown(const char* text) {
  std::string out;
  for (const char* at = text; *at != '\0'; ++at) {
    const auto c = static_cast<unsigned char>(*at);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7f) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

message bad(const std::string& name, const parameter_entry& entry, const char* value) {
  return tell::sim_bad_value(shown(name.c_str()).c_str(), parameter_wants(entry).c_str(),
                                shown(value).c_str());
}

// Takes an option's name, its entry and its value; stores it. Returns the
// exit status after a message, or nothing.
std::optional<message> take(parser& p, const std::string& name, const parameter_entry& entry,
                        const char* value) {
  run_request& o = p.options.run;
  sim_params& params = o.params;
  const parameter_id id = entry.id;
  switch (entry.kind) {
    case parameter_kind::integer: {
      const auto v = read_integer(entry, value);
      if (!v) return bad(name, entry, value);
      switch (id) {
        case parameter_id::population_size:
          params.population_size = static_cast<int32_t>(*v);
          p.population_size_name = name;
          break;
        case parameter_id::generations: o.generations = static_cast<int32_t>(*v); break;
        case parameter_id::seed: params.seed = static_cast<int32_t>(*v); break;
        case parameter_id::column: o.column = static_cast<int>(*v); break;
        case parameter_id::record_every: params.record_every = static_cast<int32_t>(*v); break;
        case parameter_id::replicates: o.replicates = *v; break;
        case parameter_id::first_replicate: o.first_replicate = *v; break;
        case parameter_id::threads: o.threads = static_cast<int>(*v); break;
        case parameter_id::burn_in: o.burn_in = *v; break;
        default: break;
      }
      return std::nullopt;
    }
    case parameter_kind::real:
    case parameter_kind::probability: {
      const auto v = read_real(entry, value);
      if (!v) return bad(name, entry, value);
      if (id == parameter_id::s) {
        o.s = *v;
        p.s_given = true;
      } else if (id == parameter_id::k) {
        o.k = *v;
        p.k_given = true;
      } else if (id == parameter_id::mu) {
        p.mu = *v;
        p.mu_given = true;
      } else if (id == parameter_id::recombination) {
        params.recombination = *v;
      } else {
        for (int locus = 0; locus < 2; ++locus) {
          for (size_t c = 0; c < 6; ++c) {
            if (&mutation_parameter(locus, change_alleles[c][0], change_alleles[c][1]) == &entry) {
              p.changes[static_cast<size_t>(locus)][c] = *v;
            }
          }
        }
      }
      return std::nullopt;
    }
    case parameter_kind::word: {
      const auto place = read_word(entry, value);
      if (!place) return bad(name, entry, value);
      if (id == parameter_id::weights) {
        params.weights = *place == 0 ? weight_rule::exact : weight_rule::floor;
      } else {
        params.engine = *place == 0 ? engine_kind::exact : engine_kind::multinomial;
      }
      return std::nullopt;
    }
    case parameter_kind::file:
    case parameter_kind::folder: {
      if (*value == '\0') return bad(name, entry, value);
      if (id == parameter_id::fitness || id == parameter_id::fitness_values) {
        o.fitness_file = value;
        o.fitness_values = id == parameter_id::fitness_values;
      } else if (id == parameter_id::trajectories) {
        o.trajectories = value;
      } else if (id == parameter_id::demography) {
        o.demography_file = value;
      } else {
        o.output = value;
        if (id == parameter_id::resume) p.options.what = sim_options::action::resume;
      }
      return std::nullopt;
    }
    case parameter_kind::start: {
      // FILE:LABEL when what follows the last colon is a record label.
      std::string file = value;
      const size_t colon = file.rfind(':');
      if (colon != std::string::npos && colon > 0) {
        const auto label = read_integer(parameter(parameter_id::initial_counts), file.c_str() + colon + 1);
        if (label) {
          o.initial_label = static_cast<int32_t>(*label);
          file.resize(colon);
        }
      }
      if (file.empty()) return bad(name, entry, value);
      o.initial_file = file;
      return std::nullopt;
    }
    case parameter_kind::condition: {
      if (std::strpbrk(value, "\t\r\n") != nullptr) return bad(name, entry, value);
      const parsed_condition parsed = parse_condition(value);
      if (parsed.error.kind != condition_error_kind::none) {
        return tell::sim_condition_bad(name.c_str(), shown(value).c_str(),
                                          condition_error_words(parsed.error.kind),
                                          parsed.error.position);
      }
      o.condition_texts.push_back({value, id == parameter_id::stop});
      return std::nullopt;
    }
    case parameter_kind::label:
    case parameter_kind::flag: return std::nullopt;
  }
  return std::nullopt;
}

bool given(const parser& p, parameter_id id) { return p.seen.count(id) > 0; }

}  // namespace

std::optional<message> read_sim_options(int argc, char** argv, sim_options& options) {
  parser p{options, {}, {}, 0.0, false, {}, false, false, {}};
  options.run.params.weights = weight_rule::exact;
  options.run.params.engine = engine_kind::multinomial;
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    if (name == "--help" || name == "--version") {
      options.what = name == "--help" ? sim_options::action::help : sim_options::action::version;
      return std::nullopt;
    }
  }
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    const char* value = nullptr;
    const size_t equals = name.find('=');
    if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
      value = argv[i] + equals + 1;
      name.resize(equals);
    }
    const parameter_entry* entry = parameter_by_option(name);
    if (entry != nullptr && entry->id == parameter_id::resolve && value == nullptr) {
      if (!p.seen.insert(entry->id).second) return tell::sim_repeated_option(name.c_str());
      continue;
    }
    if (entry == nullptr || entry->kind == parameter_kind::flag) {
      if (name.empty() || name[0] != '-') return tell::sim_stray_argument(shown(argv[i]).c_str());
      return tell::sim_unknown_option(shown(name.c_str()).c_str());
    }
    if (value == nullptr) {
      if (i + 1 >= argc) return tell::sim_missing_value(name.c_str());
      value = argv[++i];
    }
    // One entry for both names (-N and --population-size): given twice.
    if (!p.seen.insert(entry->id).second && entry->kind != parameter_kind::condition) {
      return tell::sim_repeated_option(name.c_str());
    }
    if (entry->id != parameter_id::resume && entry->id != parameter_id::generations) {
      p.model_options.push_back(name);
    }
    if (auto problem = take(p, name, *entry, value)) return problem;
  }

  if (given(p, parameter_id::resolve)) {
    // Only the model's own rules apply: nothing else is needed.
    if (options.what == sim_options::action::resume) return tell::sim_conflict("--resolve", "--resume");
    if (options.run.demography_file.empty()) return tell::sim_required("--demography");
    options.what = sim_options::action::resolve;
    return std::nullopt;
  }
  if (options.what == sim_options::action::resume) {
    if (!p.model_options.empty()) {
      return tell::sim_conflict(p.model_options.front().c_str(), "--resume");
    }
    return std::nullopt;
  }
  if (!options.run.replicates) {
    for (const parameter_id batch : {parameter_id::first_replicate, parameter_id::threads,
                                     parameter_id::trajectories}) {
      if (given(p, batch)) {
        return tell::sim_conflict(std::string(long_option(parameter(batch))).c_str(),
                                     "a single run (no --replicates)");
      }
    }
  }
  if (given(p, parameter_id::fitness) && given(p, parameter_id::fitness_values)) {
    return tell::sim_conflict("--fitness-values", "--fitness");
  }
  if (options.run.fitness_values && (p.s_given || p.k_given)) {
    return tell::sim_conflict(p.s_given ? "-s" : "-k", "--fitness-values");
  }
  const bool history = given(p, parameter_id::demography);
  if (history && given(p, parameter_id::population_size)) {
    return tell::sim_conflict(p.population_size_name.c_str(), "--demography");
  }
  if (!history && given(p, parameter_id::burn_in)) {
    return tell::sim_conflict("--burn-in", "a run without --demography");
  }
  if (given(p, parameter_id::burn_in) && options.run.generations) {
    return tell::sim_conflict("--burn-in", "--generations");
  }
  if (!history && !given(p, parameter_id::population_size)) return tell::sim_required("--population-size");
  if (!history && !options.run.generations) return tell::sim_required("--generations");
  if (!given(p, parameter_id::output)) return tell::sim_required("--output");
  if (options.run.fitness_file.empty()) return tell::sim_required("--fitness");
  options.run.params.generations = options.run.generations.value_or(0);
  run_conditions conditions;
  set_up_conditions(options.run.condition_texts, conditions);  // each text was read above
  options.run.params.conditions = conditions.given;

  sim_params& params = options.run.params;
  for (size_t locus = 0; locus < 2; ++locus) {
    mutation_matrix& m = locus == 0 ? params.mutation_a : params.mutation_b;
    m = {};
    for (size_t c = 0; c < 6; ++c) {
      const auto from = static_cast<size_t>(change_alleles[c][0]);
      const auto to = static_cast<size_t>(change_alleles[c][1]);
      const double one_way = c < 3 && p.mu_given ? p.mu : 0.0;
      m[from][to] = p.changes[locus][c].value_or(one_way);
    }
    for (size_t from = 0; from < 3; ++from) {
      const size_t first = (from + 1) % 3;
      const size_t second = (from + 2) % 3;
      const double sum = m[from][first] + m[from][second];
      if (sum > 1) {
        const std::string option(long_option(
            mutation_parameter(static_cast<int>(locus), static_cast<int>(from), static_cast<int>(first))));
        return tell::sim_row_sum(static_cast<int>(from) + 1, locus == 0 ? 'a' : 'b', sum,
                                    option.c_str());
      }
    }
  }
  return std::nullopt;
}

}  // namespace twolocus
