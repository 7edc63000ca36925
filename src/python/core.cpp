// twolocus._core: the engines of twolocus-sim in Python. Every argument is
// read by twolocus-sim's own command-line reader (read_sim_options) from
// words the Python layer (python/twolocus/simulation.py) makes of the
// keywords, so the rules, defaults and messages are the program's; the
// inputs are read, the generations run (the one loop), the replicates run
// (the run library's batch) and the summary rows written by the run
// library, whose failures are message values raised here.
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
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "app/sim_options.hpp"
#include "io/parameters.hpp"
#include "io/sim_summary.hpp"
#include "model/engines.hpp"
#include "model/random.hpp"
#include "model/watch.hpp"
#include "run/batch.hpp"
#include "run/engines.hpp"
#include "run/files.hpp"
#include "run/inputs.hpp"
#include "run/loop.hpp"

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

// Takes command-line words (without the program's name); returns them read
// by twolocus-sim's reader, or raises ValueError with its message.
sim_options read_words(const std::vector<std::string>& words) {
  std::vector<std::string> all;
  all.reserve(words.size() + 1);
  all.emplace_back("twolocus-sim");
  all.insert(all.end(), words.begin(), words.end());
  std::vector<char*> argv;
  argv.reserve(all.size() + 1);
  for (std::string& word : all) argv.push_back(word.data());
  argv.push_back(nullptr);
  sim_options options;
  if (const auto problem = read_sim_options(static_cast<int>(all.size()), argv.data(), options)) {
    raise(PyExc_ValueError, problem->text);
  }
  return options;
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
  sim_options options;
  std::vector<input_file> inputs;  // the fitness table
  std::mutex engines_mutex;
  std::unique_ptr<exact_engine> exact;
  std::unique_ptr<multinomial_engine> multinomial;

  explicit model_core(const std::vector<std::string>& words) {
    std::vector<std::string> all = words;
    for (const char* word : {"-N", "1", "--generations=0", "--output=-"}) all.emplace_back(word);
    options = read_words(all);
    if (const auto failure = read_fitness_input(options.run, options.run.params, inputs)) {
      raise_input(*failure);
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

// The rest of a call's parameters: read by the program's rules, with the
// model's and the start's (the identity of an initial file read is kept in
// `initial_identity`).
sim_options call_options(const model_core& model, const std::vector<std::string>& words,
                         const std::optional<py::array_t<int32_t>>& initial,
                         std::vector<input_file>& inputs) {
  std::vector<std::string> all = {"--fitness=-", "--output=-"};
  all.insert(all.end(), words.begin(), words.end());
  sim_options call = read_words(all);
  sim_params params = model.options.run.params;
  const sim_params& given = call.run.params;
  params.population_size = given.population_size;
  params.generations = given.generations;
  params.seed = given.seed;
  params.engine = given.engine;
  params.record_every = given.record_every;
  params.conditions = given.conditions;
  inputs = model.inputs;
  if (initial) {
    params.initial = counts_of(*initial);
  } else if (const auto failure = read_initial_input(call.run, params, inputs)) {
    raise_input(*failure);
  }
  call.run.params = params;
  return call;
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

// A run's records, as the program writes them to its trajectory.
struct records {
  std::vector<int64_t> labels;
  std::vector<int64_t> generations;
  std::vector<int32_t> counts;
  void add(int64_t label, int64_t done, const population_counts& population) {
    labels.push_back(label);
    generations.push_back(done);
    counts.insert(counts.end(), population.begin(), population.end());
  }
};

// What the module does at each step of the one loop: records kept in
// memory, the signal watch before each generation, nothing to write when
// a condition is first reached.
struct module_hooks {
  records& kept;
  signal_watch& watch;
  bool proceed() { return !watch.stop(); }
  static bool reached(int64_t /*label*/) { return true; }
  bool record(int64_t label, int64_t done, const population_counts& counts) {
    kept.add(label, done, counts);
    return true;
  }
};

// Takes an engine, the parameters, the population before generation 0 (in
// `current`), where to keep records, the run's conditions (none reached)
// and the signal watch; sets and seeds the engine and runs the generations
// by the one loop. Leaves the last population in `current`; returns false
// when interrupted.
template <typename engine_type>
bool run_with(engine_type& engine, const sim_params& params, population_counts& current,
              records& kept, run_conditions& watched, signal_watch& watch) {
  set_model(engine, sim_model(params));
  seed_engine(engine, params.seed);
  module_hooks hooks{kept, watch};
  const loop_plan plan{0, params.generations, params.record_every, &params.fitness};
  return run_generations(engine, plan, current, watched, hooks) == loop_end::finished;
}

// Runs one run on an engine of the kind its parameters name, taken from
// `exact` or `multinomial` (made when missing), so that short calls cost
// little.
bool run_one(std::unique_ptr<exact_engine>& exact, std::unique_ptr<multinomial_engine>& multinomial,
             const sim_params& params, population_counts& current, records& kept,
             run_conditions& watched, signal_watch& watch) {
  if (params.engine == engine_kind::exact) {
    if (!exact) exact = std::make_unique<exact_engine>();
    return run_with(*exact, params, current, kept, watched, watch);
  }
  if (!multinomial) multinomial = std::make_unique<multinomial_engine>();
  return run_with(*multinomial, params, current, kept, watched, watch);
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

py::array_t<int32_t> population_array(const population_counts& counts) {
  py::array_t<int32_t> array(genotype_count);
  std::copy(counts.begin(), counts.end(), array.mutable_data());
  return array;
}

// simulate: returns (labels, generations, counts, last population, seed,
// conditions).
py::tuple simulate(model_core& model, const std::vector<std::string>& words,
                   const std::optional<py::array_t<int32_t>>& initial) {
  std::vector<input_file> inputs;
  const sim_options call = call_options(model, words, initial, inputs);
  const sim_params& params = call.run.params;
  population_counts current = params.initial;
  records kept;
  run_conditions watched = sim_conditions(params);
  stopping state;
  bool finished = false;
  {
    const py::gil_scoped_release release;
    signal_watch watch{state};
    // The model's engines when no other thread has them, else new ones.
    std::unique_lock<std::mutex> lock(model.engines_mutex, std::try_to_lock);
    std::unique_ptr<exact_engine> own_exact;
    std::unique_ptr<multinomial_engine> own_multinomial;
    finished = lock.owns_lock()
                   ? run_one(model.exact, model.multinomial, params, current, kept, watched, watch)
                   : run_one(own_exact, own_multinomial, params, current, kept, watched, watch);
  }
  if (!finished) throw py::error_already_set();
  const auto rows = static_cast<py::ssize_t>(kept.labels.size());
  return py::make_tuple(array_of(kept.labels, rows, 0), array_of(kept.generations, rows, 0),
                        array_of(kept.counts, rows, genotype_count), population_array(current),
                        params.seed, conditions_of(watched));
}

// replicate: runs replicates F to F + R - 1 on T threads; writes the
// summary file when `summary` names one; returns the summary's condition
// columns and lines.
py::tuple replicate(model_core& model, const std::vector<std::string>& words,
                    const std::optional<py::array_t<int32_t>>& initial, const std::string& summary) {
  std::vector<input_file> inputs;
  const sim_options call = call_options(model, words, initial, inputs);
  if (!summary.empty()) {
    // The summary and the temporary file it is written through.
    for (const std::string& name : {summary, summary + ".tmp"}) refuse_input_as_output(name, inputs);
  }
  replicate_plan plan;
  plan.params = call.run.params;
  plan.first = call.run.first_replicate;
  plan.count = call.run.replicates.value_or(1);
  plan.threads = call.run.threads;
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
  const std::vector<std::string> columns = sim_condition_columns(plan.params);
  if (!summary.empty() && !write_summary_atomically(summary, lines, columns)) {
    raise(PyExc_OSError, tell::sim_summary_write_failed(summary.c_str()).text);
  }
  return py::make_tuple(columns, lines);
}

// The summary row of a run of the model: replicate 0, its seed, its
// generations, its conditions as `simulate` returns them, ending with
// `population`.
std::string summary_row_of(const model_core& model, int32_t seed, int32_t generations,
                           const std::vector<std::tuple<std::string, bool, std::optional<int64_t>>>& conditions,
                           const py::array_t<int32_t>& population) {
  sim_params params = model.options.run.params;
  params.seed = seed;
  params.generations = generations;
  for (const auto& [text, stops, first] : conditions) params.conditions.push_back({text, stops});
  run_conditions watched = sim_conditions(params);
  for (size_t i = 0; i < conditions.size(); ++i) {
    if (const auto& first = std::get<2>(conditions[i])) restore_reached(watched, i, *first);
  }
  return sim_end_line(params, 0, watched, counts_of(population));
}

py::dict model_description(const model_core& model) {
  const sim_params& params = model.options.run.params;
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
  py::array_t<double> fitness(genotype_count);
  std::copy(params.fitness.begin(), params.fitness.end(), fitness.mutable_data());
  description["fitness"] = fitness;
  return description;
}

// The table of parameters as Python data: one dict an entry, in the
// table's order, with its kind, range, words, default, options, parameter
// file key, keyword, design column, scope and meaning.
py::list parameter_list() {
  constexpr const char* kinds[] = {"integer", "real", "probability", "word", "label",
                                   "file", "folder", "start", "condition", "flag"};
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

}  // namespace
}  // namespace twolocus

PYBIND11_MODULE(_core, module) {
  using namespace twolocus;
  module.doc() = "The engines of twolocus-sim (see twolocus.simulation for the API).";
  py::class_<model_core>(module, "ModelCore")
      .def(py::init<const std::vector<std::string>&>(), py::arg("words"))
      .def("description", &model_description);
  module.def("simulate", &simulate, py::arg("model"), py::arg("words"), py::arg("initial"));
  module.def("replicate", &replicate, py::arg("model"), py::arg("words"), py::arg("initial"),
             py::arg("summary"));
  module.def("summary_line", &summary_row_of, py::arg("model"), py::arg("seed"),
             py::arg("generations"), py::arg("conditions"), py::arg("population"));
  module.def("summary_header", [](const std::vector<std::string>& conditions) {
    return summary_header(conditions);
  }, py::arg("conditions"));
  module.def("replicate_seed", &replicate_seed, py::arg("seed"), py::arg("replicate"));
  module.def("parameters", &parameter_list);
}
