"""Demes models on a run's time axis, as twolocus-sim documents them,
written here from that description (not from the program's code), for the
checks of several demes.

A resolved Demes model (the JSON of `twolocus-sim --resolve`, or a
NAME.resolved.json) gives every time in its time units; dividing by its
generation time gives generations before time 0. A run starts S generations
before time 0; generation g's offspring are born at t = S - g - 1, and the
record labelled g is the population after generation g.

- A deme exists for the birth times t with end_time <= t < start_time; an
  epoch covers end_time <= t < its start (the deme's start, or the end of the
  epoch before). A generation's size is its epoch's size function at t
  (constant; exponential start_size * exp(log(end_size / start_size) * dt);
  linear start_size + (end_size - start_size) * dt; dt = (start - t) /
  (start - end)), rounded to the nearest whole number, halves up.
- In a deme's first generation (t = ceil(start_time) - 1) the parents of its
  offspring come from its ancestors by their proportions. Otherwise from
  the deme itself with probability 1 - sum of the migration rates into it
  that are active at t (end_time <= t < start_time), and from each source
  with its rate. A pulse of time T acts in the generation born at
  t = ceil(T) - 1, in the model's order: it scales what was there by
  1 - the sum of its proportions and adds its proportions from its sources.
- Each offspring takes all its parents from one source deme; selfing and
  cloning rates are those of the offspring's deme's epoch at t.
- Without --initial, each deme that exists at t = S starts with its size
  there, all 1111. A run is refused when a deme that exists in one of its
  generations (or at its start) has a size below 1 or above 2147483647, or
  when an epoch has a size function other than the three.
"""

import json
import math
from dataclasses import dataclass, field
from pathlib import Path

LARGEST_SIZE = 2147483647
SHAPES = ("constant", "exponential", "linear")


def finite(value):
    """A resolved time: a number, or the text "Infinity"."""
    if isinstance(value, str):
        if value.lower() in ("infinity", "inf"):
            return math.inf
        return float(value)
    return float(value)


def half_up(x):
    """The nearest whole number, halves rounded up (exact for every double)."""
    whole = math.floor(x)
    return int(whole) + (1 if x - whole >= 0.5 else 0)


@dataclass
class Epoch:
    start: float  # generations before time 0 (the older end)
    end: float
    start_size: float
    end_size: float
    shape: str
    selfing: float
    cloning: float


@dataclass
class Deme:
    name: str
    start: float
    end: float
    epochs: list
    ancestors: list  # indices
    proportions: list


@dataclass
class Migration:
    source: int
    dest: int
    start: float
    end: float
    rate: float


@dataclass
class Pulse:
    sources: list
    dest: int
    time: float
    proportions: list


@dataclass
class Structure:
    demes: list
    migrations: list
    pulses: list
    names: list = field(init=False)

    def __post_init__(self):
        self.names = [d.name for d in self.demes]

    def index(self, name):
        return self.names.index(name)


def structure_of(model):
    """Takes a resolved model (a dict); returns its Structure in generations."""
    g = float(model.get("generation_time", 1))
    names = [d["name"] for d in model["demes"]]
    demes = []
    for d in model["demes"]:
        start = finite(d["start_time"]) / g
        epochs, begin = [], start
        for e in d["epochs"]:
            end = finite(e["end_time"]) / g
            epochs.append(Epoch(begin, end, float(e["start_size"]), float(e["end_size"]),
                                e["size_function"], float(e.get("selfing_rate", 0)),
                                float(e.get("cloning_rate", 0))))
            begin = end
        demes.append(Deme(d["name"], start, epochs[-1].end, epochs,
                          [names.index(a) for a in d.get("ancestors", [])],
                          [float(p) for p in d.get("proportions", [])]))
    migrations = [Migration(names.index(m["source"]), names.index(m["dest"]),
                            finite(m["start_time"]) / g, finite(m["end_time"]) / g,
                            float(m["rate"])) for m in model.get("migrations", [])]
    pulses = [Pulse([names.index(s) for s in p["sources"]], names.index(p["dest"]),
                    finite(p["time"]) / g, [float(x) for x in p["proportions"]])
              for p in model.get("pulses", [])]
    return Structure(demes, migrations, pulses)


def read_resolved(path):
    return structure_of(json.loads(Path(path).read_text()))


def oldest_time(structure):
    """The largest finite deme start, epoch end, migration bound or pulse
    time, in generations (0 when there is none)."""
    times = [0.0]
    for d in structure.demes:
        times += [d.start] + [e.end for e in d.epochs]
    for m in structure.migrations:
        times += [m.start, m.end]
    times += [p.time for p in structure.pulses]
    return max(t for t in times if math.isfinite(t))


def start_after_burn_in(structure, burn_in):
    """S = ceil(oldest finite time) + burn-in."""
    return math.ceil(oldest_time(structure)) + burn_in


def exists(deme, t):
    at = max(t, 0.0)
    return deme.end <= at < deme.start


def epoch_at(deme, t):
    at = max(t, 0.0)
    for epoch in deme.epochs:
        if epoch.end <= at < epoch.start:
            return epoch
    # Times below the last end (the deme has ended) take its last epoch.
    return deme.epochs[-1]


def size_value(epoch, t):
    """The epoch's size function at birth time t (unrounded)."""
    if epoch.shape == "constant":
        return epoch.start_size
    dt = (epoch.start - t) / (epoch.start - epoch.end)
    if epoch.shape == "exponential":
        return epoch.start_size * math.exp(math.log(epoch.end_size / epoch.start_size) * dt)
    if epoch.shape == "linear":
        return epoch.start_size + (epoch.end_size - epoch.start_size) * dt
    raise ValueError(f"size function {epoch.shape}")


def size_at(deme, t):
    at = max(t, 0.0)
    return half_up(size_value(epoch_at(deme, at), at))


@dataclass
class DemeGeneration:
    """One deme's part of a generation: whether it has offspring, how many,
    where their parents come from ([(deme, probability)], its own deme
    included) and its cloning and selfing rates."""

    exists: bool
    size: int = 0
    sources: list = field(default_factory=list)
    cloning: float = 0.0
    selfing: float = 0.0


def add(sources, deme, probability):
    for k, (d, p) in enumerate(sources):
        if d == deme:
            sources[k] = (d, p + probability)
            return
    sources.append((deme, probability))


def plan(structure, t, faults=()):
    """The generation born at t: one DemeGeneration per deme. `faults`
    names deliberate departures the checks must reject: "pulse unscaled"
    (a pulse's proportions taken from the deme's own share only, the
    migrants left as they were)."""
    at = max(t, 0.0)
    found = []
    for d, deme in enumerate(structure.demes):
        if not exists(deme, at):
            found.append(DemeGeneration(False))
            continue
        epoch = epoch_at(deme, at)
        here = DemeGeneration(True, size_at(deme, at), [], epoch.cloning, epoch.selfing)
        found.append(here)
        if deme.ancestors and at == math.ceil(deme.start) - 1:
            for a, p in zip(deme.ancestors, deme.proportions):
                add(here.sources, a, p)
            continue
        here.sources = [(d, 1.0)]
        for m in structure.migrations:
            if m.dest == d and m.end <= at < m.start and m.rate > 0:
                add(here.sources, m.source, m.rate)
                add(here.sources, d, -m.rate)
        for pulse in structure.pulses:
            if pulse.dest != d or at != math.ceil(pulse.time) - 1:
                continue
            kept = 1 - sum(pulse.proportions)
            if "pulse unscaled" in faults:
                add(here.sources, d, -sum(pulse.proportions))
            else:
                here.sources = [(s, p * kept) for s, p in here.sources]
            for s, p in zip(pulse.sources, pulse.proportions):
                add(here.sources, s, p)
        here.sources = [(s, p) for s, p in here.sources if p > 0]
    return found


def schedule(structure, start, generations, faults=()):
    """The run's generations: [(t, plan)] for g = 0 .. generations - 1."""
    return [(start - g - 1, plan(structure, start - g - 1, faults)) for g in range(generations)]


def starting_sizes(structure, start):
    """Each deme's size in the population before generation 0 (0 when it
    does not exist at t = start)."""
    return [size_at(d, start) if exists(d, start) else 0 for d in structure.demes]


def refusal(structure, start, generations):
    """Why the documented rules refuse a run ((deme name, reason)), or None:
    a size function other than the three in any epoch; a size below 1 or
    above 2147483647 where a deme exists at the run's start or in one of
    its generations."""
    for deme in structure.demes:
        for epoch in deme.epochs:
            if epoch.shape not in SHAPES:
                return deme.name, f"size function {epoch.shape}"
    times = [start] + [start - g - 1 for g in range(generations)]
    for deme in structure.demes:
        for t in times:
            if exists(deme, t):
                raw = size_value(epoch_at(deme, t), max(t, 0.0))
                size = half_up(raw)
                if not 1 <= size <= LARGEST_SIZE:
                    return deme.name, f"size {raw:g} at t = {t}"
    return None


def write_model(path, demes, migrations=(), pulses=()):
    """A Demes file in generations (JSON, which the YAML reader takes):
    demes as dicts of the Demes deme fields, migrations and pulses as dicts."""
    model = {"time_units": "generations", "demes": list(demes)}
    if migrations:
        model["migrations"] = list(migrations)
    if pulses:
        model["pulses"] = list(pulses)
    Path(path).write_text(json.dumps(model, indent=1) + "\n")
    return path
