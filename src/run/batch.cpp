#include "run/batch.hpp"

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <filesystem>
#include <mutex>
#include <new>
#include <string_view>
#include <system_error>
#include <thread>

#include "io/batch_file.hpp"
#include "io/sim_summary.hpp"
#include "model/random.hpp"
#include "run/demography.hpp"
#include "run/engines.hpp"
#include "run/inputs.hpp"
#include "run/run_files.hpp"
#include "run/structure.hpp"

namespace twolocus {

namespace {

// What the threads of a batch share.
struct batch_state {
  const replicate_plan& plan;
  const row_sink& sink;
  const run_observer& observer;
  const structure_history* structure;  // the replicates' history, or nullptr
  std::atomic<int64_t> next{0};
  std::atomic<bool> failed{false};
  std::mutex mutex;  // guards what follows
  bool sink_failed = false;
  bool out_of_memory = false;
  bool interrupted = false;
  std::optional<message> failure;  // the first failing replicate's message
  int64_t finished = 0;
};

bool kept_before(const replicate_plan& plan, int64_t index) {
  return !plan.kept.empty() && ((plan.kept[static_cast<size_t>(index / 64)] >> (index % 64)) & 1U) != 0;
}

// Takes the shared state and a thread's engine; runs replicates, each from
// its start, until none is left, and hands each row to the sink.
template <typename engine_type>
void run_replicates_on(batch_state& state, engine_type& engine) {
  const replicate_plan& plan = state.plan;
  const structure_history* structure = state.structure;
  const bool demes = structure != nullptr && structure->demes.size() > 1;
  const deme_history* history = structure != nullptr && !demes ? &structure->demes[0] : nullptr;
  run_conditions watched = sim_conditions(plan.params);
  // The start checked the names: a parameter file changed by hand fails here.
  if (auto problem = bind_demes_of(watched, structure != nullptr ? structure->names : std::vector<std::string>{})) {
    const std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.failure) state.failure = std::move(problem);
    state.failed = true;
    return;
  }
  while (!state.failed) {
    const int64_t index = state.next.fetch_add(1);
    if (index >= plan.count) return;
    if (kept_before(plan, index)) continue;
    const int64_t replicate = plan.first + index;
    sim_params params = plan.params;
    params.seed = replicate_seed(plan.params.seed, replicate);
    population_counts current = params.initial;
    deme_population current_demes;
    if (demes) current_demes = starting_demes(*structure, params.history_start, initial_of_demes(params), params.starts);
    reset_conditions(watched);
    run_end end;
    run_files files;
    run_files* written = nullptr;
    if (!plan.trajectories.empty()) {
      const std::string name = plan.trajectories + "/replicate-" + std::to_string(replicate);
      end.failure = open_run_files(params, name, files, false);
      if (!end.failure && demes) end.failure = open_deme_files(*structure, name, files);
      written = &files;
    }
    if (!end.failure) {
      if (demes) {
        end = run_structure(params, *structure, written, 0, nullptr, current_demes, watched, state.observer, false);
        current = current_demes.total;
      } else {
        seed_engine(engine, params.seed);
        end = run_on_files(engine, params, 0, current, written, watched, state.observer, false, history);
      }
    }
    release_run_files(files);
    if (!end.finished()) {
      const std::lock_guard<std::mutex> lock(state.mutex);
      if (!state.failure && end.failure) state.failure = std::move(end.failure);
      state.interrupted = state.interrupted || end.interrupted;
      state.failed = true;
      return;
    }
    const std::string line = sim_end_line(params, replicate, watched, current, current_demes.demes);
    const std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.sink.keep(replicate, line)) {
      state.sink_failed = true;
      state.failed = true;
      return;
    }
    ++state.finished;
    if (state.observer.replicates) state.observer.replicates(state.finished, plan.count, false);
  }
}

// A batch's thread: runs replicates on an engine of its own, and stops the
// batch on a failed allocation.
void batch_worker(batch_state& state) {
  try {
    with_engine(state.plan.params.engine,
                [&](auto& engine) { run_replicates_on(state, engine); });
  } catch (const std::bad_alloc&) {
    const std::lock_guard<std::mutex> lock(state.mutex);
    state.out_of_memory = true;
    state.failed = true;
  }
}

}  // namespace

run_end run_replicates(const replicate_plan& plan, const row_sink& sink, const run_observer& observer) {
  structure_history structure;
  if (!plan.params.demography.empty()) {
    if (auto problem = structure_of_params(plan.params, sink.name, structure)) {
      return {std::move(problem), false};
    }
  }
  batch_state state{plan, sink, observer, plan.params.demography.empty() ? nullptr : &structure,
                    {}, {}, {}, false, false, false, {}, 0};
  int64_t left = plan.count;
  for (const uint64_t word : plan.kept) left -= std::popcount(word);
  state.finished = plan.count - left;
  if (observer.replicates) observer.replicates(state.finished, plan.count, true);
  std::vector<std::thread> workers;
  const auto count = std::max<int64_t>(1, std::min<int64_t>(plan.threads, left));
  for (int64_t t = 0; t < count; ++t) {
    try {
      workers.emplace_back(batch_worker, std::ref(state));
    } catch (const std::system_error&) {
      // Fewer threads give the same rows; none at all is a failure.
      if (workers.empty()) state.out_of_memory = true;
      break;
    }
  }
  for (std::thread& worker : workers) worker.join();
  if (!state.failed && !state.out_of_memory && observer.replicates) {
    observer.replicates(state.finished, plan.count, true);
  }
  if (observer.progress_end) observer.progress_end();
  if (state.out_of_memory) return {tell::sim_out_of_memory(), false};
  if (state.sink_failed) return {tell::sim_summary_write_failed(sink.name.c_str()), false};
  if (state.failure) return {std::move(state.failure), false};
  if (state.interrupted) return {std::nullopt, true};
  return {};
}

namespace {

// Takes a replicate file's name (without its folder); returns the
// replicate's number when it is one of the names a batch gives its
// replicates' files: replicate-NUMBER, with .params or .checkpoint or
// nothing after it.
std::optional<int64_t> replicate_of_file(const std::string& name) {
  const std::string prefix = "replicate-";
  if (name.rfind(prefix, 0) != 0) return std::nullopt;
  size_t end = prefix.size();
  while (end < name.size() && name[end] >= '0' && name[end] <= '9') ++end;
  const size_t digits = end - prefix.size();
  const std::string rest = name.substr(end);
  if (digits == 0 || digits > 10 || (digits > 1 && name[prefix.size()] == '0') ||
      (!rest.empty() && rest != ".params" && rest != ".checkpoint")) {
    return std::nullopt;
  }
  return std::stoll(name.substr(prefix.size(), digits));
}

// Takes a batch's --trajectories folder, its replicates, its inputs and its
// output name; refuses when a replicate's file would be an input or one of
// the batch's own files: the same file (device and inode) for files already
// there, the same folder and name for the batch's files to come. Only the
// folder's entries named as replicates' files are looked at, so the cost
// grows with what the folder holds, not with R.
std::optional<message> refuse_replicate_files_over(const std::string& folder, int64_t first,
                                                   int64_t count,
                                                   const std::vector<input_file>& inputs,
                                                   const std::string& output) {
  const auto folder_identity = identity_of(folder);
  if (!folder_identity) return std::nullopt;  // created by the batch: nothing in it yet
  const auto in_range = [&](const std::optional<int64_t>& replicate) {
    return replicate && *replicate >= first && *replicate - first < count;
  };
  std::vector<input_file> protected_files = inputs;
  std::vector<std::string> own_names = {output};
  for (const char* suffix : run_file_suffixes) own_names.push_back(output + suffix);
  for (const std::string& name : own_names) {
    const std::filesystem::path path(name);
    const std::string parent = path.has_parent_path() ? path.parent_path().string() : ".";
    if (identity_of(parent) == folder_identity &&
        in_range(replicate_of_file(path.filename().string()))) {
      const std::string replicate = folder + "/" + path.filename().string();
      return tell::sim_replicate_file_is_batch_file(replicate.c_str(), name.c_str());
    }
    if (const auto identity = identity_of(name)) protected_files.push_back({name, *identity});
  }
  DIR* listing = opendir(folder.c_str());
  if (listing == nullptr) return std::nullopt;
  std::optional<message> refusal;
  while (!refusal) {
    const dirent* entry = readdir(listing);
    if (entry == nullptr) break;
    const std::string name = entry->d_name;
    if (!in_range(replicate_of_file(name))) continue;
    const std::string path = folder + "/" + name;
    const auto identity = identity_of(path);
    if (!identity) continue;
    for (size_t i = 0; i < protected_files.size() && !refusal; ++i) {
      if (protected_files[i].identity != *identity) continue;
      if (i < inputs.size()) {
        refusal = tell::sim_output_is_input(path.c_str(), inputs[i].name.c_str());
      } else {
        refusal = tell::sim_replicate_file_is_batch_file(path.c_str(), protected_files[i].name.c_str());
      }
    }
  }
  closedir(listing);
  return refusal;
}

// Takes the plan and the summary's name (its rows so far written, the file
// open to append); runs the replicates with their rows appended, then
// rewrites the summary sorted by replicate, merging from disk.
std::optional<message> run_batch_into(const replicate_plan& plan, std::FILE* summary,
                                      const std::string& summary_name, const run_observer& observer) {
  const row_sink sink{[summary](int64_t, const std::string& row) {
                        return std::fprintf(summary, "%s\n", row.c_str()) >= 0 &&
                               std::fflush(summary) == 0;
                      },
                      summary_name};
  run_end end = run_replicates(plan, sink, observer);
  const bool closed = std::fclose(summary) == 0;
  if (end.failure) return std::move(end.failure);
  if (!closed) return tell::sim_summary_write_failed(summary_name.c_str());
  if (!sort_summary_file(summary_name, sim_summary_columns(plan.params))) {
    return tell::sim_summary_write_failed(summary_name.c_str());
  }
  return std::nullopt;
}

// Takes the old summary, the batch and the plan (its parameters read);
// writes to `kept_rows` every complete row of the right width, each
// replicate's first, of the batch's replicates, and marks them in
// plan.kept. Returns how many there are.
int64_t keep_rows(std::FILE* summary, const batch_description& batch, replicate_plan& plan,
                  std::FILE* kept_rows) {
  const summary_columns columns = sim_summary_columns(plan.params);
  const std::string header = summary_header(columns) + "\n";
  const auto width = static_cast<size_t>(summary_column_count(columns));
  char* buffer = nullptr;
  size_t capacity = 0;
  ssize_t length = 0;
  int64_t kept = 0;
  bool first_line = true;
  while ((length = ::getline(&buffer, &capacity, summary)) >= 0) {
    const std::string_view line(buffer, static_cast<size_t>(length));
    if (first_line) {
      first_line = false;
      if (line != header) break;
      continue;
    }
    if (line.back() != '\n') break;  // a partial last line, from a kill
    if (static_cast<size_t>(std::count(line.begin(), line.end(), '\t')) + 1 != width) continue;
    const std::string_view number = line.substr(0, line.find('\t'));
    if (number.empty() || number.size() > 10 ||
        number.find_first_not_of("0123456789") != std::string_view::npos) {
      continue;
    }
    const int64_t index = std::stoll(std::string(number)) - batch.first;
    if (index < 0 || index >= batch.replicates || kept_before(plan, index)) continue;
    plan.kept[static_cast<size_t>(index / 64)] |= uint64_t{1} << (index % 64);
    std::fwrite(line.data(), 1, line.size(), kept_rows);
    ++kept;
  }
  std::free(buffer);
  return kept;
}

}  // namespace

std::optional<message> start_batch(const run_request& request, const sim_params& params,
                                   const std::vector<input_file>& inputs,
                                   const run_observer& observer) {
  const std::string& output = request.output;
  const std::string batch_name = output + ".batch";
  const std::string params_name = output + ".params";
  const std::string summary_name = output + ".summary.tsv";
  if (!request.trajectories.empty()) {
    if (auto refusal = refuse_replicate_files_over(request.trajectories, request.first_replicate,
                                                   *request.replicates, inputs, output)) {
      return refusal;
    }
  }
  // OUT, empty, holds the lock of the name, as a single run's trajectory does.
  trajectory_output lock;
  switch (open_locked_output(output, true, false, lock)) {
    case trajectory_opening::opened: break;
    case trajectory_opening::in_use: return tell::sim_output_in_use(output.c_str());
    case trajectory_opening::not_regular: return tell::sim_not_regular("output file", output.c_str());
    case trajectory_opening::cannot_open: return tell::sim_output_unwritable(output.c_str());
  }
  std::fclose(lock.file);
  remove_older_run(output);
  if (!write_params_file(params, params_name)) return tell::sim_params_write_failed(params_name.c_str());
  if (!request.trajectories.empty()) {
    std::error_code error;
    std::filesystem::create_directories(request.trajectories, error);
    if (!std::filesystem::is_directory(request.trajectories, error)) {
      return tell::sim_trajectories_unwritable(request.trajectories.c_str());
    }
  }
  // The description follows the parameters, and the summary follows it: a
  // batch with its description whole is one that started.
  const batch_description batch{request.first_replicate, *request.replicates, request.threads,
                                request.trajectories};
  std::FILE* batch_file = open_regular(batch_name, "w").file;
  if (batch_file == nullptr || !write_batch_file(batch_file, batch)) {
    return tell::sim_output_write_failed(batch_name.c_str());
  }
  std::FILE* summary = open_regular(summary_name, "w").file;
  if (summary == nullptr ||
      std::fprintf(summary, "%s\n", summary_header(sim_summary_columns(params)).c_str()) < 0 ||
      std::fflush(summary) != 0) {
    if (summary != nullptr) std::fclose(summary);
    return tell::sim_summary_write_failed(summary_name.c_str());
  }
  const replicate_plan plan{params, batch.first, batch.replicates, batch.threads, batch.trajectories, {}};
  return run_batch_into(plan, summary, summary_name, observer);
}

std::optional<message> resume_batch(const run_request& request, const run_observer& observer) {
  if (request.generations) return tell::sim_conflict("--generations", "--resume of a batch");
  const std::string& output = request.output;
  const std::string batch_name = output + ".batch";
  const std::string params_name = output + ".params";
  const std::string summary_name = output + ".summary.tsv";
  batch_description batch;
  std::FILE* batch_file = open_regular(batch_name, "r").file;
  const bool batch_read = batch_file != nullptr && read_batch_file(batch_file, batch);
  if (batch_file != nullptr) std::fclose(batch_file);
  if (!batch_read) {
    // Killed while it wrote its description, before its summary.
    if (!file_exists(summary_name)) return tell::sim_never_started(output.c_str());
    return tell::sim_batch_file_bad(batch_name.c_str());
  }
  replicate_plan plan;
  if (auto problem = read_params_file(params_name, plan.params)) return problem;
  if (!batch.trajectories.empty()) {
    if (auto refusal =
            refuse_replicate_files_over(batch.trajectories, batch.first, batch.replicates, {}, output)) {
      return refusal;
    }
  }
  plan.first = batch.first;
  plan.count = batch.replicates;
  plan.threads = batch.threads;
  plan.trajectories = batch.trajectories;
  plan.kept.assign(static_cast<size_t>((batch.replicates + 63) / 64), 0);

  // The rows already written, without a partial last line, become the
  // summary, and the rest are appended to it.
  const summary_columns columns = sim_summary_columns(plan.params);
  std::FILE* kept_rows = begin_summary_file(summary_name, columns);
  if (kept_rows == nullptr) return tell::sim_summary_write_failed(summary_name.c_str());
  int64_t kept = 0;
  if (std::FILE* summary = open_regular(summary_name, "r").file) {
    kept = keep_rows(summary, batch, plan, kept_rows);
    std::fclose(summary);
  }
  if (!end_summary_file(kept_rows, summary_name)) return tell::sim_summary_write_failed(summary_name.c_str());
  if (kept == batch.replicates) {
    tell_note(observer, tell::sim_batch_nothing_to_do(output.c_str(), static_cast<long long>(batch.replicates)));
  } else {
    tell_note(observer, tell::sim_batch_resuming(output.c_str(), static_cast<long long>(batch.replicates - kept),
                                                 static_cast<long long>(batch.replicates)));
  }
  std::FILE* summary = open_regular(summary_name, "a").file;
  if (summary == nullptr) return tell::sim_summary_write_failed(summary_name.c_str());
  return run_batch_into(plan, summary, summary_name, observer);
}

}  // namespace twolocus
