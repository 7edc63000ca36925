// The one place where a run's engine is chosen: from the engine_kind of its
// parameters (or, for the classic programs, of their entry point).
#pragma once

#include <memory>

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

}  // namespace twolocus
