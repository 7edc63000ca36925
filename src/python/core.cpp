// twolocus._core: the engines of twolocus-sim in Python, and the rules the
// Python tools share with the programs. Every keyword is read by its entry
// of the table of parameters (read_parameter), stored (set_parameter) and
// checked as a whole (check_request) by the run library, as the program
// reads its options, and a problem is raised as ValueError naming the
// keyword; the inputs are read, the generations run (the one loop), the
// replicates run (the run library's batch) and the summary rows written
// by the run library, whose failures are message values raised here. The
// tools read both parameter files with the programs' readers, and take the
// statistics of populations and the conditions on them from src/model.
//
// Long calls release the GIL. Every few milliseconds the calling thread
// takes it back to let Python handle a signal: a Ctrl-C stops every thread
// before its next generation and the call raises KeyboardInterrupt, having
// written nothing.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "io/demes_json.hpp"
#include "io/parameters.hpp"
#include "io/params.hpp"
#include "io/sim_params.hpp"
#include "io/sim_summary.hpp"
#include "model/conditions.hpp"
#include "model/engines.hpp"
#include "model/statistics.hpp"
#include "model/random.hpp"
#include "model/watch.hpp"
#include "run/batch.hpp"
#include "run/changes.hpp"
#include "run/engines.hpp"
#include "run/files.hpp"
#include "run/demography.hpp"
#include "run/inputs.hpp"
#include "run/kept.hpp"
#include "run/loop.hpp"
#include "run/request.hpp"
#include "run/structure.hpp"

namespace py = pybind11;

namespace twolocus {
namespace {

// Takes a Python exception type and a message of the program's table;
// raises it with the message's text (without its line end).
// A file name that is not UTF-8 comes back as Python's os functions give it
// (surrogateescape), so that the message names the same file.
[[noreturn]] void raise(PyObject* type, std::string text) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  PyObject* message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                           "surrogateescape");
  if (message != nullptr) {
    PyErr_SetObject(type, message);
    Py_DECREF(message);
  }
  throw py::error_already_set();
}

// The values of keywords, in the order given: each keyword and its value's
// text (a number as Python writes it, a word or a condition in UTF-8, a
// file name's bytes).
using keyword_values = std::vector<std::pair<std::string, std::string>>;

// Takes an entry; returns its keyword, as the messages name it.
const char* keyword_of(parameter_id id) { return parameter(id).keyword.data(); }

// Takes a problem of the whole request; returns its message, naming keywords.
message said(const request_problem& problem) {
  switch (problem.what) {
    case request_problem::kind::conflict:
      return tell::py_conflict(keyword_of(problem.entry), keyword_of(problem.other));
    case request_problem::kind::single_run:
      return tell::py_conflict(keyword_of(problem.entry), "a single run (no replicates)");
    case request_problem::kind::needs:
      return tell::py_conflict(keyword_of(problem.entry), (std::string("a model without ") + keyword_of(problem.other)).c_str());
    case request_problem::kind::required: return tell::py_required(keyword_of(problem.entry));
    case request_problem::kind::row_sum: break;
  }
  return tell::py_row_sum(problem.allele, problem.locus, problem.sum, keyword_of(problem.entry));
}

// Takes a request and keyword values; reads each by its entry and stores
// it, or raises ValueError naming the keyword.
void take_keywords(run_request& request, const keyword_values& values) {
  for (const auto& [given, text] : values) {
    // "KEYWORD@": a value of a dict by deme name, NAME=VALUE with NAME a deme.
    const bool deme_only = !given.empty() && given.back() == '@';
    const std::string keyword = deme_only ? given.substr(0, given.size() - 1) : given;
    const parameter_entry* entry = parameter_by_keyword(keyword);
    if (entry == nullptr) throw py::type_error("no keyword " + keyword);
    const parameter_reading reading = read_parameter(*entry, text);
    if (reading.condition.kind != condition_error_kind::none) {
      raise(PyExc_ValueError,
            tell::py_condition_bad(keyword.c_str(), shown_value(text).c_str(),
                                   condition_error_words(reading.condition.kind), reading.condition.position)
                .text);
    }
    if (!reading.value) {
      raise(PyExc_ValueError, tell::py_bad_value(keyword.c_str(), parameter_wants(*entry).c_str(),
                                                 shown_value(text).c_str())
                                  .text);
    }
    if (deme_only && reading.value->deme.empty()) {
      raise(PyExc_ValueError, tell::py_bad_value(keyword.c_str(), ("a dict by deme name of " + parameter_wants(*entry)).c_str(),
                                                 shown_value(text).c_str())
                                  .text);
    }
    set_parameter(request, *entry, *reading.value);
    if (deme_only) request.deme_values.back().strict = true;
  }
}

// Takes a request and the entries required; checks it whole and completes
// it, or raises ValueError naming the keywords.
void check_keywords(run_request& request, std::span<const parameter_id> required) {
  if (const auto problem = check_request(request, required)) raise(PyExc_ValueError, said(*problem).text);
}

// Takes an input's failure; raises it: FileNotFoundError, IsADirectoryError,
// PermissionError or OSError by the errno of an input that could not be
// opened, ValueError for one that was read and found wrong, or that is not
// a regular file.
[[noreturn]] void raise_input(const input_failure& failure) {
  const int error = failure.open_error;
  PyObject* type = error == 0        ? PyExc_ValueError
                   : error == ENOENT ? PyExc_FileNotFoundError
                   : error == EISDIR ? PyExc_IsADirectoryError
                   : error == EACCES ? PyExc_PermissionError
                                     : PyExc_OSError;
  raise(type, failure.said.text);
}

// Takes an output's name and the inputs read; raises ValueError with the
// program's message when the output is one of them.
void refuse_input_as_output(const std::string& output, const std::vector<input_file>& inputs) {
  if (const input_file* input = input_named_by(output, inputs)) {
    raise(PyExc_ValueError, tell::sim_output_is_input(output.c_str(), input->name.c_str()).text);
  }
}

// A model: the parameters of a run but its size, length, seed, engine,
// records and start, with its fitness table read; and an engine of each
// kind kept for the next call, so that short calls cost little.
struct model_core {
  run_request request;
  std::vector<input_file> inputs;  // the fitness table
  std::mutex engines_mutex;
  std::unique_ptr<exact_engine> exact;
  std::unique_ptr<multinomial_engine> multinomial;

  explicit model_core(const keyword_values& values) {
    take_keywords(request, values);
    constexpr parameter_id required[] = {parameter_id::fitness};
    check_keywords(request, required);
    // A model whose only tables are its demes' (NAME=VALUE) reads them when
    // a call gives its demography.
    if (!request.fitness_file.empty() || request.params.coefficients) {
      if (const auto failure = read_fitness_input(request, request.params, inputs)) raise_input(*failure);
    }
    if (auto failed = resolve_changes(request, request.params, change_axis{}, inputs)) {
      if (failed->input) raise_input(*failed->input);
      if (failed->deme_entry != parameter_id::count) {
        raise(PyExc_ValueError, tell::py_deme_value_bad(keyword_of(failed->deme_entry), shown_value(failed->text).c_str(),
                                                        failed->reason.c_str())
                                    .text);
      }
      raise(PyExc_ValueError, tell::py_change_bad(shown_value(failed->text).c_str(), failed->reason.c_str()).text);
    }
  }
};

// Takes an array from the Python layer; returns its 81 counts (it has
// checked their range), or raises ValueError.
population_counts counts_of(const py::array_t<int32_t>& array) {
  if (array.ndim() != 1 || array.shape(0) != genotype_count) {
    throw py::value_error("a population is 81 counts");
  }
  population_counts counts{};
  const auto values = array.unchecked<1>();
  for (py::ssize_t i = 0; i < genotype_count; ++i) counts[static_cast<size_t>(i)] = values(i);
  return counts;
}

// Takes a request and its demography's structure; gives the values of one
// deme to their demes (resolve_deme_values), or raises ValueError naming
// the keyword.
void take_deme_keywords(run_request& request, const structure_history& structure) {
  const auto problem = resolve_deme_values(request, structure, request.params.history_start);
  if (!problem) return;
  const auto keyword = [](parameter_id id) { return std::string(keyword_of(id)); };
  if (problem->what == deme_value_problem::kind::required) {
    raise(PyExc_ValueError, problem->deme.empty() ? tell::py_required(keyword_of(problem->entry)).text
                                                  : tell::py_deme_table_required(problem->deme.c_str()).text);
  }
  if (problem->text.empty()) {
    raise(PyExc_ValueError, tell::py_conflict(keyword_of(problem->entry), keyword_of(problem->other)).text);
  }
  raise(PyExc_ValueError, tell::py_deme_value_bad(keyword_of(problem->entry), shown_value(problem->text).c_str(),
                                                  deme_value_reason(*problem, keyword).c_str())
                              .text);
}

// Each deme's own starting counts given as arrays, by deme name.
using deme_counts = std::vector<std::pair<std::string, py::array_t<int32_t>>>;

// A call's request: the model's with the call's keywords, checked whole;
// its demography read as twolocus-sim reads it (the run's time axis set,
// its demes' histories in `structure`), from its file or from `text` (the
// YAML text given; its keyword's value names it in messages); and its start (the counts given, or
// read as --initial reads them; without either, several demes start each
// with its size in 1111, as the program's runs do). The identities of the
// files read are kept in `inputs`.
run_request call_request(const model_core& model, const keyword_values& values,
                         const std::optional<py::array_t<int32_t>>& initial,
                         std::span<const parameter_id> required, std::vector<input_file>& inputs,
                         structure_history& structure, const std::optional<std::string>& text,
                         const deme_counts& deme_initial) {
  run_request request = model.request;
  take_keywords(request, values);
  check_keywords(request, required);
  inputs = model.inputs;
  double generation_time = 1.0;
  if (text && !request.demography_file.empty()) {
    if (auto failure = read_history_text(request, *text, request.params, structure, &generation_time)) {
      raise(PyExc_ValueError, failure->text);
    }
  } else if (const auto failure = read_history_input(request, request.params, inputs, structure,
                                                      &generation_time)) {
    raise_input(*failure);
  }
  // A value NAME=VALUE is a deme's when NAME is one of the model's demes,
  // else the run's (a file's whole name).
  const std::string run_fitness = request.fitness_file;
  const bool had_fitness = !run_fitness.empty() || request.params.coefficients.has_value();
  take_deme_keywords(request, structure);
  if (!had_fitness || request.fitness_file != run_fitness) {
    if (const auto failure = read_fitness_input(request, request.params, inputs)) raise_input(*failure);
  }
  // With a demography a change's time is the model's, as for the program:
  // the model's changes are made again on the history's axis, with the
  // demes' own fitness.
  if (!request.demography_file.empty() && (!request.change_texts.empty() || !request.deme_values.empty())) {
    const change_axis axis{true, request.params.history_start, generation_time, structure.names};
    if (auto failed = resolve_changes(request, request.params, axis, inputs)) {
      if (failed->input) raise_input(*failed->input);
      if (failed->deme_entry != parameter_id::count) {
        raise(PyExc_ValueError, tell::py_deme_value_bad(keyword_of(failed->deme_entry), shown_value(failed->text).c_str(),
                                                        failed->reason.c_str())
                                    .text);
      }
      raise(PyExc_ValueError, tell::py_change_bad(shown_value(failed->text).c_str(), failed->reason.c_str()).text);
    }
  }
  if (initial) {
    request.params.initial = counts_of(*initial);
  } else if (const auto failure = read_initial_input(request, request.params, inputs)) {
    raise_input(*failure);
  } else if (structure.demes.size() > 1 && request.initial_file.empty()) {
    request.params.initial = {};
  }
  if (const auto failure = read_deme_starts(request, request.params, inputs)) raise_input(*failure);
  for (const auto& [name, counts] : deme_initial) {
    const auto found = std::find(structure.names.begin(), structure.names.end(), name);
    const auto deme = static_cast<size_t>(found - structure.names.begin());
    deme_value_problem problem{deme_value_problem::kind::no_deme, parameter_id::initial, parameter_id::count,
                               name + "=<counts>", name, ""};
    if (found != structure.names.end() && structure.names.size() == 1) {
      // A model of one deme: the run's start, given once.
      if (!initial && request.initial_file.empty()) {
        request.params.initial = counts_of(counts);
        continue;
      }
      problem.what = deme_value_problem::kind::repeated;
      problem.deme.clear();
    }
    if (problem.what == deme_value_problem::kind::repeated) {
      // said below
    } else if (found != structure.names.end() && structure.names.size() > 1 &&
               !deme_exists(structure, deme, static_cast<double>(request.params.history_start))) {
      problem.what = deme_value_problem::kind::not_at_start;
    } else if (found != structure.names.end() && structure.names.size() > 1) {
      const bool twice = std::any_of(request.params.starts.begin(), request.params.starts.end(),
                                     [&](const deme_start& s) { return static_cast<size_t>(s.deme) == deme; });
      if (!twice) {
        request.params.starts.push_back({static_cast<int>(deme), counts_of(counts)});
        continue;
      }
      problem.what = deme_value_problem::kind::repeated;
    }
    const auto keyword = [](parameter_id id) { return std::string(keyword_of(id)); };
    raise(PyExc_ValueError, tell::py_deme_value_bad("initial", problem.text.c_str(),
                                                    deme_value_reason(problem, keyword).c_str())
                                .text);
  }
  std::sort(request.params.starts.begin(), request.params.starts.end(),
            [](const deme_start& x, const deme_start& y) { return x.deme < y.deme; });
  return request;
}

// Stops every thread of a call: set by a Ctrl-C seen on the calling thread.
struct stopping {
  std::atomic<bool> stop{false};
  bool interrupted = false;  // the calling thread holds KeyboardInterrupt
};

// The calling thread's look at signals, every few milliseconds, with the GIL.
struct signal_watch {
  stopping& state;
  std::chrono::steady_clock::time_point next = std::chrono::steady_clock::now() + period;
  static constexpr std::chrono::milliseconds period{5};

  // Returns whether the call should stop.
  bool stop() {
    if (state.stop.load(std::memory_order_relaxed)) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now < next) return false;
    next = now + period;
    const py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() != 0) {
      state.interrupted = true;
      state.stop = true;
      return true;
    }
    return false;
  }
};

// Runs one run on an engine of the kind its parameters name, taken from
// `exact` or `multinomial` (made when missing), so that short calls cost
// little; `history`: a deme's history, or nullptr. Returns false when
// interrupted.
bool run_one(std::unique_ptr<exact_engine>& exact, std::unique_ptr<multinomial_engine>& multinomial,
             const sim_params& params, const deme_history* history, population_counts& current,
             kept_run& kept, run_conditions& watched, const std::function<bool()>& go_on) {
  if (params.engine == engine_kind::exact) {
    if (!exact) exact = std::make_unique<exact_engine>();
    return run_kept(*exact, params, history, current, watched, go_on, kept) == loop_end::finished;
  }
  if (!multinomial) multinomial = std::make_unique<multinomial_engine>();
  return run_kept(*multinomial, params, history, current, watched, go_on, kept) == loop_end::finished;
}

// The conditions' texts, whether each stops, and their first labels (None
// when not reached).
py::list conditions_of(const run_conditions& watched) {
  py::list list;
  for (size_t i = 0; i < watched.given.size(); ++i) {
    const int64_t first = watched.first[i];
    list.append(py::make_tuple(watched.given[i].text, watched.given[i].stops,
                               first == not_reached ? py::object(py::none()) : py::int_(first)));
  }
  return list;
}

template <typename value_type>
py::array_t<value_type> array_of(const std::vector<value_type>& values, py::ssize_t rows,
                                 py::ssize_t columns) {
  py::array_t<value_type> array =
      columns == 0 ? py::array_t<value_type>(rows) : py::array_t<value_type>({rows, columns});
  if (!values.empty()) std::copy(values.begin(), values.end(), array.mutable_data());
  return array;
}

// Takes a fixed array (a population, a fitness table); returns its values as an array.
template <typename value_type, size_t size>
py::array_t<value_type> array_from(const std::array<value_type, size>& values) {
  py::array_t<value_type> array(static_cast<py::ssize_t>(size));
  std::copy(values.begin(), values.end(), array.mutable_data());
  return array;
}

py::array_t<int32_t> population_array(const population_counts& counts) {
  py::array_t<int32_t> array(genotype_count);
  std::copy(counts.begin(), counts.end(), array.mutable_data());
  return array;
}

py::tuple records_tuple(const kept_records& kept) {
  const auto rows = static_cast<py::ssize_t>(kept.labels.size());
  return py::make_tuple(array_of(kept.labels, rows, 0), array_of(kept.generations, rows, 0),
                        array_of(kept.counts, rows, genotype_count));
}

// Takes a run's parameters; returns its changes of fitness (a deme's own
// table among them, in generation 0) as (first generation, deme (-1:
// every deme), the 81 values), in the order they act.
py::list fitness_changes_of(const sim_params& params) {
  py::list changes;
  for (const model_change& change : params.changes) {
    if (change.kind != model_change::what::fitness) continue;
    changes.append(py::make_tuple(change.first, change.deme, array_from(change.fitness)));
  }
  return changes;
}

// Takes a call's conditions and its model's deme names (none without a
// demography); binds the demes the conditions name, or raises ValueError
// naming the first that is no deme of the model.
void refuse_unknown_demes(run_conditions& watched, const std::vector<std::string>& names) {
  if (const auto unknown = bind_condition_demes(watched, names)) {
    raise(PyExc_ValueError, "the condition [" + watched.given[unknown->which].text + "] names deme [" +
                                unknown->name + "], which the model does not have");
  }
}

// simulate: returns (labels, generations, counts, last population, seed,
// conditions, generations run, the size before generation 0, demes, the
// changes of fitness as fitness_changes_of gives them, the run's table),
// demes
// being, for a model of several demes, a list of (name, labels,
// generations, counts, last population) in the model's order: each deme's
// records of the generations in which it exists (a deme that does not
// exist at the end has a last population of 0).
py::tuple simulate(model_core& model, const keyword_values& values,
                   const std::optional<py::array_t<int32_t>>& initial,
                   const std::optional<std::string>& demography_text, const deme_counts& deme_initial) {
  std::vector<input_file> inputs;
  constexpr parameter_id required[] = {parameter_id::population_size, parameter_id::generations};
  structure_history structure;
  const run_request call =
      call_request(model, values, initial, required, inputs, structure, demography_text, deme_initial);
  const sim_params& params = call.params;
  const bool demes = structure.demes.size() > 1;
  const deme_history* history = structure.demes.size() == 1 ? &structure.demes[0] : nullptr;
  population_counts current = params.initial;
  deme_population current_demes;
  if (demes) current_demes = starting_demes(structure, params.history_start, initial_of_demes(params), params.starts);
  kept_run kept;
  run_conditions watched = sim_conditions(params);
  refuse_unknown_demes(watched, structure.names);
  stopping state;
  bool finished = false;
  {
    const py::gil_scoped_release release;
    signal_watch watch{state};
    const std::function<bool()> go_on = [&watch] { return !watch.stop(); };
    if (demes) {
      finished = run_kept_demes(params, structure, current_demes, watched, go_on, kept) == loop_end::finished;
      current = current_demes.total;
    } else {
      // The model's engines when no other thread has them, else new ones.
      std::unique_lock<std::mutex> lock(model.engines_mutex, std::try_to_lock);
      std::unique_ptr<exact_engine> own_exact;
      std::unique_ptr<multinomial_engine> own_multinomial;
      finished = lock.owns_lock()
                     ? run_one(model.exact, model.multinomial, params, history, current, kept, watched, go_on)
                     : run_one(own_exact, own_multinomial, params, history, current, kept, watched, go_on);
    }
  }
  if (!finished) throw py::error_already_set();
  py::list deme_list;
  for (size_t d = 0; d < kept.demes.size(); ++d) {
    const py::tuple records = records_tuple(kept.demes[d]);
    deme_list.append(py::make_tuple(structure.names[d], records[0], records[1], records[2],
                                    population_array(current_demes.demes[d])));
  }
  const py::tuple records = records_tuple(kept.whole);
  return py::make_tuple(records[0], records[1], records[2], population_array(current), params.seed,
                        conditions_of(watched), params.generations, params.population_size, deme_list,
                        fitness_changes_of(params), array_from(params.fitness));
}

// replicate: runs replicates F to F + R - 1 on T threads; writes the
// summary file when `summary` names one; returns the summary's condition
// columns and lines.
py::tuple replicate(model_core& model, const keyword_values& values,
                    const std::optional<py::array_t<int32_t>>& initial, const std::string& summary,
                    const std::optional<std::string>& demography_text, const deme_counts& deme_initial) {
  std::vector<input_file> inputs;
  constexpr parameter_id required[] = {parameter_id::population_size, parameter_id::generations,
                                       parameter_id::replicates};
  structure_history structure;
  const run_request call =
      call_request(model, values, initial, required, inputs, structure, demography_text, deme_initial);
  if (!summary.empty()) {
    // The summary and the temporary file it is written through.
    for (const std::string& name : {summary, summary + ".tmp"}) refuse_input_as_output(name, inputs);
  }
  {
    run_conditions watched = sim_conditions(call.params);
    refuse_unknown_demes(watched, structure.names);
  }
  replicate_plan plan;
  plan.params = call.params;
  plan.first = call.first_replicate;
  plan.count = *call.replicates;
  plan.threads = call.threads;
  std::vector<std::string> lines(static_cast<size_t>(plan.count));
  const row_sink sink{[&](int64_t replicate, const std::string& row) {
                        lines[static_cast<size_t>(replicate - plan.first)] = row;
                        return true;
                      },
                      summary};
  stopping state;
  run_observer observer;
  observer.proceed = [&state] { return !state.stop.load(std::memory_order_relaxed); };
  run_end end;
  {
    const py::gil_scoped_release release;
    // The run library's pool runs the replicates; the calling thread
    // watches for Ctrl-C meanwhile.
    std::atomic<bool> done{false};
    std::thread batch([&] {
      try {
        end = run_replicates(plan, sink, observer);
      } catch (const std::bad_alloc&) {
        end = {tell::sim_out_of_memory(), false};
      }
      done = true;
    });
    signal_watch watch{state};
    while (!done.load()) {
      watch.stop();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    batch.join();
  }
  if (state.interrupted) throw py::error_already_set();
  if (end.failure) {
    raise(end.failure->id == message_id::sim_out_of_memory ? PyExc_MemoryError : PyExc_RuntimeError,
          end.failure->text);
  }
  const summary_columns columns = sim_summary_columns(plan.params);
  if (!summary.empty() && !write_summary_atomically(summary, lines, columns)) {
    raise(PyExc_OSError, tell::sim_summary_write_failed(summary.c_str()).text);
  }
  return py::make_tuple(columns.conditions, lines);
}

// The summary row of a run of the model: replicate 0, its seed, its
// generations, its conditions as `simulate` returns them, ending with
// `population`.
std::string summary_row_of(const model_core& model, int32_t seed, int32_t generations,
                           const std::vector<std::tuple<std::string, bool, std::optional<int64_t>>>& conditions,
                           const py::array_t<int32_t>& population) {
  sim_params params = model.request.params;
  params.seed = seed;
  params.generations = generations;
  for (const auto& [text, stops, first] : conditions) params.conditions.push_back({text, stops});
  run_conditions watched = sim_conditions(params);
  for (size_t i = 0; i < conditions.size(); ++i) {
    if (const auto& first = std::get<2>(conditions[i])) restore_reached(watched, i, *first);
  }
  return sim_end_line(params, 0, watched, counts_of(population));
}

// resolve_demography: the fully resolved model of a Demes file (its name's
// bytes) as indented JSON, as --resolve prints it; raises as a run's
// inputs do (ValueError for a file that is not a valid model).
std::string resolve_demography_of(const std::string& name) {
  run_request request;
  request.demography_file = name;
  demography model;
  std::vector<input_file> inputs;
  if (const auto failure = read_demography_input(request, model, inputs)) raise_input(*failure);
  return demography_json(model, json_layout::indented);
}

py::dict model_description(const model_core& model) {
  const sim_params& params = model.request.params;
  py::dict description;
  description["recombination"] = params.recombination;
  description["weights"] = params.weights == weight_rule::exact ? "exact" : "floor";
  for (int locus = 0; locus < 2; ++locus) {
    const mutation_matrix& m = locus == 0 ? params.mutation_a : params.mutation_b;
    for (int from = 0; from < 3; ++from) {
      for (int to = 0; to < 3; ++to) {
        if (from != to) {
          description[py::str("mu_" + mutation_change_name(locus, from, to))] =
              m[static_cast<size_t>(from)][static_cast<size_t>(to)];
        }
      }
    }
  }
  // A model whose only tables are its demes' has none of its own yet.
  if (model.request.fitness_file.empty() && !params.coefficients) {
    description["fitness"] = py::none();
    return description;
  }
  description["fitness"] = array_from(params.fitness);
  return description;
}

// The table of parameters as Python data: one dict an entry, in the
// table's order, with its kind, range, words, default, options, parameter
// file key, keyword, design column, scope and meaning.
py::list parameter_list() {
  constexpr const char* kinds[] = {"integer", "real", "probability", "word", "label",
                                   "file", "folder", "start", "condition", "change", "six", "flag"};
  constexpr const char* scopes[] = {"model", "run", "batch", "command"};
  py::list list;
  for (const parameter_entry& entry : parameter_table) {
    py::dict row;
    row["identifier"] = std::string(entry.identifier);
    row["kind"] = kinds[static_cast<size_t>(entry.kind)];
    row["low"] = entry.low;
    row["high"] = entry.high;
    row["words"] = std::string(entry.words);
    row["default"] = std::string(entry.fallback);
    row["options"] = std::string(entry.options);
    row["key"] = std::string(entry.key);
    row["keyword"] = std::string(entry.keyword);
    row["column"] = std::string(entry.column);
    row["scope"] = scopes[static_cast<size_t>(entry.scope)];
    row["meaning"] = std::string(entry.meaning);
    row["wants"] = parameter_wants(entry);
    list.append(row);
  }
  return list;
}

// check_parameters: every problem of a set of parameters as a whole (a
// design row of a sweep), each a dict naming entries by their identifiers:
// what ("conflict", "single_run", "required", "row_sum"), entry, other, and
// a row's allele, locus and sum. The values are (identifier, text) pairs,
// each a value of its entry; required: identifiers, in the order to report
// them.
py::list check_parameters(const std::vector<std::pair<std::string, std::string>>& values,
                          const std::vector<std::string>& required) {
  const auto entry_named = [](const std::string& identifier) -> const parameter_entry& {
    for (const parameter_entry& entry : parameter_table) {
      if (entry.identifier == identifier) return entry;
    }
    throw py::value_error("no parameter " + identifier);
  };
  run_request request;
  for (const auto& [identifier, text] : values) {
    const parameter_entry& entry = entry_named(identifier);
    const parameter_reading reading = read_parameter(entry, text);
    if (!reading.value) throw py::value_error("not a value of " + identifier + ": " + text);
    set_parameter(request, entry, *reading.value);
  }
  std::vector<parameter_id> wanted;
  for (const std::string& identifier : required) wanted.push_back(entry_named(identifier).id);
  constexpr const char* kinds[] = {"conflict", "needs", "single_run", "required", "row_sum"};
  const auto identifier_of = [](parameter_id id) -> py::object {
    if (id == parameter_id::count) return py::none();
    return py::str(std::string(parameter(id).identifier));
  };
  py::list problems;
  for (const request_problem& problem : request_problems(request, wanted)) {
    py::dict found;
    found["what"] = kinds[static_cast<size_t>(problem.what)];
    found["entry"] = identifier_of(problem.entry);
    found["other"] = identifier_of(problem.other);
    found["allele"] = problem.allele;
    found["locus"] = std::string(1, problem.locus);
    found["sum"] = problem.sum;
    problems.append(found);
  }
  return problems;
}

// ------------------------------------------------------------ the tools' rules

using counts_array = py::array_t<int64_t, py::array::c_style | py::array::forcecast>;
using fitness_array = py::array_t<double, py::array::c_style | py::array::forcecast>;

// Takes populations (rows of 81 counts, each a 32-bit integer as the
// trajectory files hold them); returns their number, or raises ValueError.
py::ssize_t population_rows(const counts_array& counts) {
  if (counts.ndim() != 2 || counts.shape(1) != genotype_count) {
    throw py::value_error("populations are rows of 81 counts");
  }
  const int64_t* data = counts.data();
  for (py::ssize_t i = 0; i < counts.size(); ++i) {
    if (data[i] < INT32_MIN || data[i] > INT32_MAX) {
      throw py::value_error("a count is beyond the 32-bit range of the trajectory files");
    }
  }
  return counts.shape(0);
}

// Takes a row of `counts`; returns its population.
population_counts population_of(const counts_array& counts, py::ssize_t row) {
  population_counts population{};
  const int64_t* data = counts.data() + row * genotype_count;
  for (size_t i = 0; i < genotype_count; ++i) population[i] = static_cast<int32_t>(data[i]);
  return population;
}

// Takes an optional fitness array; returns the table it holds, or raises
// ValueError.
std::optional<fitness_table> fitness_of(const std::optional<fitness_array>& fitness) {
  if (!fitness) return std::nullopt;
  if (fitness->ndim() != 1 || fitness->shape(0) != genotype_count) {
    throw py::value_error("a fitness table is 81 numbers");
  }
  fitness_table table{};
  std::copy(fitness->data(), fitness->data() + genotype_count, table.begin());
  return table;
}

py::list statistic_names() {
  py::list names;
  for (int i = 0; i < statistic_count; ++i) {
    names.append(std::string(statistic_name(static_cast<population_statistic>(i))));
  }
  return names;
}

// statistics: the statistics of each population (rows x 24, in the order of
// statistic_names), NaN where undefined.
py::array_t<double> statistics(const counts_array& counts, const std::optional<fitness_array>& fitness) {
  const py::ssize_t rows = population_rows(counts);
  const std::optional<fitness_table> table = fitness_of(fitness);
  py::array_t<double> out({rows, static_cast<py::ssize_t>(statistic_count)});
  double* values = out.mutable_data();
  {
    const py::gil_scoped_release release;
    statistic_values row_values;
    for (py::ssize_t row = 0; row < rows; ++row) {
      population_statistic_values(population_of(counts, row), table ? &*table : nullptr, row_values);
      for (size_t i = 0; i < statistic_count; ++i) {
        *values++ = row_values[i].value_or(std::numeric_limits<double>::quiet_NaN());
      }
    }
  }
  return out;
}

// A compiled condition and the text it was read from.
struct condition_core {
  condition compiled;
  std::string text;
};

// parse_condition: (the condition, None, 0, None) or (None, the error's
// kind, its 1-based position, its words).
py::tuple parse_condition_of(const std::string& text) {
  parsed_condition parsed = parse_condition(text);
  if (parsed.error.kind != condition_error_kind::none) {
    return py::make_tuple(py::none(), std::string(condition_error_name(parsed.error.kind)),
                          parsed.error.position, std::string(condition_error_words(parsed.error.kind)));
  }
  return py::make_tuple(condition_core{std::move(parsed.value), text}, py::none(), 0, py::none());
}

// The populations of the demes a condition names, row by row as its
// populations: one array for each, in the order the condition names them.
using deme_arrays = std::vector<counts_array>;

// Takes a condition and a dict of deme name -> populations; returns the
// condition's demes' arrays in its order, or raises ValueError for a deme
// not given or with another number of rows than `rows`.
deme_arrays named_demes(const condition_core& core, const std::optional<py::dict>& demes, py::ssize_t rows) {
  deme_arrays arrays;
  for (const std::string& name : core.compiled.demes) {
    const py::str key(name);
    if (!demes || !demes->contains(key)) {
      throw py::value_error("the condition [" + core.text + "] names deme [" + name +
                            "], whose populations are not given");
    }
    counts_array array = (*demes)[key].cast<counts_array>();
    if (population_rows(array) != rows) {
      throw py::value_error("deme [" + name + "] has another number of populations than the demes together");
    }
    arrays.push_back(std::move(array));
  }
  return arrays;
}

// Takes a condition, populations (the demes together), an optional fitness
// table and the populations of each deme it names; calls `found(row)` for
// each row where it holds, in order, until it returns false.
template <typename on_hold>
void each_holding(const condition_core& core, const counts_array& counts,
                  const std::optional<fitness_array>& fitness, const std::optional<py::dict>& demes,
                  on_hold found) {
  const py::ssize_t rows = population_rows(counts);
  const std::optional<fitness_table> table = fitness_of(fitness);
  const deme_arrays arrays = named_demes(core, demes, rows);
  std::vector<population_counts> deme_rows(arrays.size());
  std::vector<const population_counts*> deme_pointers;
  for (const population_counts& row : deme_rows) deme_pointers.push_back(&row);
  const py::gil_scoped_release release;
  for (py::ssize_t row = 0; row < rows; ++row) {
    for (size_t d = 0; d < arrays.size(); ++d) deme_rows[d] = population_of(arrays[d], row);
    if (evaluate_condition(core.compiled, population_of(counts, row), table ? &*table : nullptr,
                           deme_pointers) &&
        !found(row)) {
      return;
    }
  }
}

py::array_t<bool> condition_holds(const condition_core& core, const counts_array& counts,
                                  const std::optional<fitness_array>& fitness,
                                  const std::optional<py::dict>& demes) {
  py::array_t<bool> out(counts.ndim() == 2 ? counts.shape(0) : 0);
  bool* held = out.mutable_data();
  std::fill_n(held, out.size(), false);
  each_holding(core, counts, fitness, demes, [held](py::ssize_t row) { return held[row] = true; });
  return out;
}

int64_t condition_first(const condition_core& core, const counts_array& counts,
                        const std::optional<fitness_array>& fitness, const std::optional<py::dict>& demes) {
  int64_t first = -1;
  each_holding(core, counts, fitness, demes, [&first](py::ssize_t row) {
    first = row;
    return false;
  });
  return first;
}

// A file's bytes as a stream to read, closed at the end of its scope.
struct memory_file {
  std::string data;
  std::FILE* file;
  explicit memory_file(const std::string& bytes) : data(bytes), file(fmemopen(data.data(), data.size(), "r")) {
    if (file == nullptr) throw std::bad_alloc();
  }
  memory_file(const memory_file&) = delete;
  memory_file& operator=(const memory_file&) = delete;
  ~memory_file() { std::fclose(file); }
};

// Raises ValueError with (what went wrong, the line, the key) for the tools
// to word.
[[noreturn]] void raise_reading(const char* what, long long line, const std::string& key) {
  PyErr_SetObject(PyExc_ValueError, py::make_tuple(what, line, key).ptr());
  throw py::error_already_set();
}

py::array_t<double> matrix_array(const mutation_matrix& m) {
  py::array_t<double> array({py::ssize_t{3}, py::ssize_t{3}});
  double* out = array.mutable_data();
  for (const auto& row : m) out = std::copy(row.begin(), row.end(), out);
  return array;
}

// The classic parameter file, read as twolocus reads it (line 1 with s and
// k as written).
py::dict classic_params(std::FILE* file) {
  params_head head;
  if (!read_params_head(file, head)) raise_reading("line", 1, "");
  run_params params;
  std::optional<int32_t> seed;
  using outcome = params_body_reading::outcome;
  const params_body_reading reading = read_params_body(file, params, seed);
  switch (reading.result) {
    case outcome::read: break;
    case outcome::line_format: raise_reading("line", reading.line, "");
    case outcome::rates_incomplete: raise_reading("rates", 0, "");
    case outcome::fitness_incomplete: raise_reading("fitness", 0, "");
  }
  py::dict values;
  values["s"] = head.s;
  values["k"] = head.k;
  values["n"] = head.n;
  values["N"] = head.generation_size;
  py::dict rates;
  for (size_t i = 0; i < 3; ++i) {
    rates[py::str("a" + std::to_string(i))] = params.rates_a[i];
    rates[py::str("b" + std::to_string(i))] = params.rates_b[i];
  }
  values["rates"] = rates;
  values["fitness"] = array_from(params.fitness);
  values["seed"] = seed ? py::object(py::int_(*seed)) : py::object(py::none());
  return values;
}

// twolocus-sim's parameter file, read as twolocus-sim reads it.
py::dict sim_params_values(std::FILE* file) {
  sim_params params;
  const sim_params_reading reading = read_sim_params(file, params);
  using outcome = sim_params_reading::outcome;
  switch (reading.result) {
    case outcome::read: break;
    case outcome::classic:
    case outcome::first_line: raise_reading("line", 1, "");
    case outcome::bad_line: raise_reading("line", reading.line, reading.key);
    case outcome::repeated: raise_reading("repeated", reading.line, reading.key);
    case outcome::missing: raise_reading("missing", 0, reading.key);
    case outcome::inconsistent: raise_reading("inconsistent", 0, reading.key);
  }
  py::dict values;
  values["version"] = params.version;
  values["engine"] = params.engine == engine_kind::exact ? "exact" : "multinomial";
  values["seed"] = params.seed;
  values["population_size"] = params.population_size;
  values["generations"] = params.generations;
  values["record_every"] = params.record_every;
  values["recombination"] = params.recombination;
  values["weights"] = params.weights == weight_rule::exact ? "exact" : "floor";
  values["mutation_a"] = matrix_array(params.mutation_a);
  values["mutation_b"] = matrix_array(params.mutation_b);
  values["fitness"] = array_from(params.fitness);
  py::array_t<int64_t> initial(genotype_count);
  std::copy(params.initial.begin(), params.initial.end(), initial.mutable_data());
  values["initial"] = initial;
  py::list conditions;
  for (const condition_text& condition : params.conditions) {
    conditions.append(py::make_tuple(condition.text, condition.stops));
  }
  values["conditions"] = conditions;
  // With a demography: the resolved model as one line of JSON and the
  // run's start before time 0 ("" and 0 without one).
  values["demography"] = params.demography;
  values["history_start"] = params.history_start;
  values["fitness_changes"] = fitness_changes_of(params);
  return values;
}

// read_params: the values of a parameter file of either kind (its bytes),
// with "sim" saying which; raises ValueError((what, line, key)) for a file
// the programs refuse.
py::dict read_params_of(const std::string& bytes) {
  const memory_file memory(bytes);
  const bool sim = is_sim_params_file(memory.file);
  py::dict values = sim ? sim_params_values(memory.file) : classic_params(memory.file);
  values["sim"] = sim;
  return values;
}

bool is_sim_params_of(const std::string& bytes) {
  const memory_file memory(bytes);
  return is_sim_params_file(memory.file);
}

}  // namespace
}  // namespace twolocus

PYBIND11_MODULE(_core, module) {
  using namespace twolocus;
  module.doc() = "The engines of twolocus-sim and the rules the Python tools share with the programs "
                 "(see twolocus.engines for the API).";
  py::class_<model_core>(module, "ModelCore")
      .def(py::init<const keyword_values&>(), py::arg("keywords"))
      .def("description", &model_description);
  module.def("simulate", &simulate, py::arg("model"), py::arg("keywords"), py::arg("initial"),
             py::arg("demography_text") = py::none(), py::arg("deme_initial") = deme_counts{});
  module.def("replicate", &replicate, py::arg("model"), py::arg("keywords"), py::arg("initial"),
             py::arg("summary"), py::arg("demography_text") = py::none(),
             py::arg("deme_initial") = deme_counts{});
  module.def("summary_line", &summary_row_of, py::arg("model"), py::arg("seed"),
             py::arg("generations"), py::arg("conditions"), py::arg("population"));
  module.def("summary_header", [](const std::vector<std::string>& conditions, const std::vector<std::string>& demes) {
    return summary_header({conditions, demes});
  }, py::arg("conditions"), py::arg("demes") = std::vector<std::string>{});
  module.def("replicate_seed", &replicate_seed, py::arg("seed"), py::arg("replicate"));
  module.def("resolve_demography", [](const py::bytes& name) { return resolve_demography_of(name); },
             py::arg("name"));
  module.def("parameters", &parameter_list);
  module.def("check_parameters", &check_parameters, py::arg("values"), py::arg("required"));
  module.def("statistic_names", &statistic_names);
  module.def("statistics", &statistics, py::arg("counts"), py::arg("fitness"));
  py::class_<condition_core>(module, "Condition")
      .def_readonly("text", &condition_core::text)
      .def_property_readonly("demes", [](const condition_core& core) { return core.compiled.demes; })
      .def("holds", &condition_holds, py::arg("counts"), py::arg("fitness"), py::arg("demes") = py::none())
      .def("first", &condition_first, py::arg("counts"), py::arg("fitness"), py::arg("demes") = py::none());
  module.def("parse_condition", &parse_condition_of, py::arg("text"));
  module.def("read_params", [](const py::bytes& data) { return read_params_of(data); }, py::arg("data"));
  module.def("is_sim_params", [](const py::bytes& data) { return is_sim_params_of(data); },
             py::arg("data"));
}
