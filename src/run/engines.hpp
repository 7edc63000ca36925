// The one place where a run's engine is chosen: from the engine_kind of its
// parameters (or, for the classic programs, of their entry point).
#pragma once

#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "io/sim_params.hpp"
#include "model/engines.hpp"

namespace twolocus {

// Takes an engine kind and a function of an engine; makes a fresh engine of
// that kind (on the heap: an exact engine holds its draws' buffer) and
// returns what the function returns for it.
template <typename function_type>
decltype(auto) with_engine(engine_kind kind, function_type&& run) {
  switch (kind) {
    case engine_kind::exact: {
      const auto engine = std::make_unique<exact_engine>();
      return run(*engine);
    }
    case engine_kind::literal: {
      const auto engine = std::make_unique<literal_engine>();
      return run(*engine);
    }
    case engine_kind::multinomial: break;
  }
  const auto engine = std::make_unique<multinomial_engine>();
  return run(*engine);
}

// Takes an engine kind, a number of demes and a function of their engines
// (deme_engines of that kind, each engine fresh); returns what the function
// returns for them.
template <typename function_type>
decltype(auto) with_deme_engines(engine_kind kind, size_t count, function_type&& run) {
  const auto make = [count](auto* kind_of) {
    using engine_type = std::remove_pointer_t<decltype(kind_of)>;
    std::vector<std::unique_ptr<engine_type>> owned;
    deme_engines<engine_type> engines;
    for (size_t d = 0; d < count; ++d) {
      owned.push_back(std::make_unique<engine_type>());
      engines.engines.push_back(owned.back().get());
    }
    return std::pair{std::move(owned), std::move(engines)};
  };
  switch (kind) {
    case engine_kind::exact: {
      auto [owned, engines] = make(static_cast<exact_engine*>(nullptr));
      return run(engines);
    }
    case engine_kind::literal: {
      auto [owned, engines] = make(static_cast<literal_engine*>(nullptr));
      return run(engines);
    }
    case engine_kind::multinomial: break;
  }
  auto [owned, engines] = make(static_cast<multinomial_engine*>(nullptr));
  return run(engines);
}

}  // namespace twolocus
