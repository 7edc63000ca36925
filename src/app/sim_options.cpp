#include "app/sim_options.hpp"

#include <string>
#include <string_view>
#include <vector>

#include "run/messages.hpp"
#include "io/parameters.hpp"

namespace twolocus {

const char* const sim_help_text =
    "Usage: twolocus-sim --fitness FILE | --fitness-values FILE [--column C] [-s S] [-k K]\n"
    "                    | coefficients (--s2-a S --h2-a H ... --epistasis E)\n"
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
    "  --fitness-a W11,W12,W13,W22,W23,W33  fitness from coefficients instead of a table:\n"
    "  --fitness-b ...             each locus's six genotypes' fitness outright, or by s and h:\n"
    "  --s2-a S, --h2-a H          allele 2\n"
    "  --s3-a S, --h3-a H          against 1 at locus a (w22 = 1 + s2, w12 = 1 + h2 s2; s -1 to\n"
    "                              1000, default 0; h default 0.5), allele 3 the same\n"
    "  --s2-b S, --h2-b H, --s3-b S, --h3-b H  the same at locus b\n"
    "  --combine multiplicative|additive  the loci's fitness multiplied or added (default\n"
    "                              multiplicative)\n"
    "  --epistasis E               E da db / 4 more between the loci's derived alleles (default 0)\n"
    "  --print-fitness             print the table of values of the run's fitness, run nothing\n"
    "  --change TIME:PARAMETER=VALUE  from TIME on, PARAMETER (mu, mu-a12 ..., recombination,\n"
    "                              fitness, fitness-values, column, s, k, s2-a ... epistasis)\n"
    "                              takes VALUE; TIME is a generation, or with --demography the\n"
    "                              model's time before the present; NAME=VALUE for one deme\n"
    "                              (repeatable)\n"
    "  --mu P                      the six one-way rates 1->2, 2->3, 1->3 at both loci\n"
    "  --mu-a12 P ... --mu-b31 P   one change i->j at locus a or b (a12 a23 a13 a21 a32 a31,\n"
    "                              the same at b); overrides --mu; rows sum to at most 1\n"
    "  --recombination R           probability per meiosis, 0 to 0.5 (default 0.5)\n"
    "  --weights exact|floor       parent weight count x fitness, or its integer truncation as\n"
    "                              in twolocus (default exact)\n"
    "  --engine exact|multinomial  individual by individual, or class counts (default multinomial)\n"
    "  --initial FILE[:LABEL]      start from a trajectory's last record (or the one labelled\n"
    "                              LABEL), or from LABEL<TAB>COUNT lines (default all SIZE 1111)\n"
    "  --fitness NAME=FILE ...     with --demography: NAME=VALUE gives deme NAME its own\n"
    "                              --fitness, --fitness-values, --column, -s, -k or --initial\n"
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

// The name a message gives an entry's option: its long name (-N's is
// --population-size).
std::string option_of(parameter_id id) { return std::string(long_option(parameter(id))); }

message bad(const std::string& name, const parameter_entry& entry, const char* value) {
  return tell::sim_bad_value(shown_value(name).c_str(), parameter_wants(entry).c_str(),
                             shown_value(value).c_str());
}

// Takes a problem of the whole request and the name -N was given by;
// returns its message, naming options.
message said(const request_problem& problem, const std::string& population_size_name) {
  const auto named = [&](parameter_id id) {
    return id == parameter_id::population_size && !population_size_name.empty() ? population_size_name
                                                                                 : option_of(id);
  };
  switch (problem.what) {
    case request_problem::kind::conflict:
      return tell::sim_conflict(named(problem.entry).c_str(), named(problem.other).c_str());
    case request_problem::kind::needs:
      return tell::sim_conflict(named(problem.entry).c_str(), ("a run without " + named(problem.other)).c_str());
    case request_problem::kind::single_run:
      return tell::sim_conflict(option_of(problem.entry).c_str(), "a single run (no --replicates)");
    case request_problem::kind::required: return tell::sim_required(option_of(problem.entry).c_str());
    case request_problem::kind::row_sum: break;
  }
  return tell::sim_row_sum(problem.allele, problem.locus, problem.sum, option_of(problem.entry).c_str());
}

}  // namespace

std::optional<message> read_sim_options(int argc, char** argv, sim_options& options) {
  std::vector<std::string> model_options;  // given, for the conflict with --resume
  std::string population_size_name;        // as given: -N or --population-size
  bool resolve = false;
  bool print_fitness = false;
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
      if (resolve) return tell::sim_repeated_option(name.c_str());
      resolve = true;
      continue;
    }
    if (entry != nullptr && entry->id == parameter_id::print_fitness && value == nullptr) {
      if (print_fitness) return tell::sim_repeated_option(name.c_str());
      print_fitness = true;
      continue;
    }
    if (entry == nullptr || entry->kind == parameter_kind::flag) {
      if (name.empty() || name[0] != '-') return tell::sim_stray_argument(shown_value(argv[i]).c_str());
      return tell::sim_unknown_option(shown_value(name).c_str());
    }
    if (value == nullptr) {
      if (i + 1 >= argc) return tell::sim_missing_value(name.c_str());
      value = argv[++i];
    }
    // One entry for both names (-N and --population-size): given twice. A
    // value NAME=VALUE may be a deme's (as read below).
    const bool repeated = options.run.given.test(static_cast<size_t>(entry->id)) &&
                          entry->kind != parameter_kind::condition && entry->kind != parameter_kind::change;
    const bool maybe_deme = per_deme_entry(entry->id) && std::string_view(value).find('=') != std::string_view::npos;
    if (repeated && !maybe_deme) return tell::sim_repeated_option(name.c_str());
    if (entry->id != parameter_id::resume && entry->id != parameter_id::generations) {
      model_options.push_back(name);
    }
    const parameter_reading reading = read_parameter(*entry, value);
    if (reading.condition.kind != condition_error_kind::none) {
      return tell::sim_condition_bad(name.c_str(), shown_value(value).c_str(),
                                     condition_error_words(reading.condition.kind),
                                     reading.condition.position);
    }
    if (!reading.value) return bad(name, *entry, value);
    if (repeated && reading.value->deme.empty()) return tell::sim_repeated_option(name.c_str());
    set_parameter(options.run, *entry, *reading.value);
    if (entry->id == parameter_id::population_size) population_size_name = name;
    if (entry->id == parameter_id::resume) options.what = sim_options::action::resume;
  }

  if (print_fitness) {
    // Only the rules of the fitness apply: the rest of a run may be given.
    if (options.what == sim_options::action::resume) return tell::sim_conflict("--print-fitness", "--resume");
    if (resolve) return tell::sim_conflict("--print-fitness", "--resolve");
    constexpr parameter_id fitness_required[] = {parameter_id::fitness};
    if (const auto problem = check_request(options.run, fitness_required)) {
      return said(*problem, population_size_name);
    }
    options.what = sim_options::action::print_fitness;
    return std::nullopt;
  }
  if (resolve) {
    // Only the model's own rules apply: nothing else is needed.
    if (options.what == sim_options::action::resume) return tell::sim_conflict("--resolve", "--resume");
    if (options.run.demography_file.empty()) return tell::sim_required("--demography");
    options.what = sim_options::action::resolve;
    return std::nullopt;
  }
  if (options.what == sim_options::action::resume) {
    if (!model_options.empty()) return tell::sim_conflict(model_options.front().c_str(), "--resume");
    return std::nullopt;
  }
  constexpr parameter_id required[] = {parameter_id::population_size, parameter_id::generations,
                                       parameter_id::output, parameter_id::fitness};
  if (const auto problem = check_request(options.run, required)) return said(*problem, population_size_name);
  return std::nullopt;
}

}  // namespace twolocus
