#include "app/progress.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "app/messages.hpp"

namespace twolocus {

namespace {

constexpr int width = 40;
constexpr const char* hashes = "########################################";

bool due(progress_line& line, bool now) {
  const auto at = std::chrono::steady_clock::now();
  if (!now && at - line.drawn < std::chrono::milliseconds(100)) return false;
  line.drawn = at;
  return true;
}

std::string clock_text(double seconds) {
  const auto whole = static_cast<long long>(std::min(seconds, 359999999.0));
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
  return text;
}

void draw_generations(progress_line& line, int64_t done, int64_t total) {
  if (!line.shown || total <= 0 || !due(line, done >= total)) return;
  const auto filled = static_cast<int>(done * width / total);
  std::fprintf(stderr, "\r[%.*s%*s] %3d%% generation %lld of %lld", filled, hashes, width - filled, "",
               static_cast<int>(done * 100 / total), static_cast<long long>(done),
               static_cast<long long>(total));
  std::fflush(stderr);
}

void draw_replicates(progress_line& line, int64_t done, int64_t total, bool now) {
  if (line.before < 0) line.before = done;
  if (!line.shown || total <= 0 || !due(line, now)) return;
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - line.started).count();
  const int64_t here = done - line.before;
  const std::string left =
      here > 0 ? clock_text(elapsed * static_cast<double>(total - done) / static_cast<double>(here))
               : "-:--:--";
  const auto filled = static_cast<int>(done * width / total);
  std::fprintf(stderr, "\r[%.*s%*s] %3d%% %lld of %lld replicates, %s elapsed, %s left ", filled,
               hashes, width - filled, "", static_cast<int>(done * 100 / total),
               static_cast<long long>(done), static_cast<long long>(total),
               clock_text(elapsed).c_str(), left.c_str());
  std::fflush(stderr);
}

void end_line(progress_line& line) {
  if (line.shown) std::fputc('\n', stderr);
}

}  // namespace

run_observer terminal_observer(progress_line& line) {
  line.shown = isatty(STDERR_FILENO) == 1;
  run_observer observer;
  observer.note = [](const message& note) { print_message(note, stderr); };
  observer.generations = [&line](int64_t done, int64_t total) { draw_generations(line, done, total); };
  observer.replicates = [&line](int64_t done, int64_t total, bool now) {
    draw_replicates(line, done, total, now);
  };
  observer.progress_end = [&line] { end_line(line); };
  return observer;
}

}  // namespace twolocus
