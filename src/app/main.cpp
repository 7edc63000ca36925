// twolocus: a two-locus, three-allele Wright-Fisher simulator with one-way
// mutation and fitness-weighted mating.
#include <cstdio>

#include "app/run.hpp"
#include "model/model.hpp"

int main(int argc, char** argv) {
  const char* program = argc > 0 ? argv[0] : "twolocus";
  std::printf("Called [%s] version %s\nrand_max=[%ld].\n", program, "110303",
              static_cast<long>(twolocus::draw_max));
  const int arguments = argc - 1;
  if (arguments == 1 || arguments == 2) return twolocus::resume_run(argc, argv);
  if (arguments == 13 || arguments == 14) return twolocus::fresh_run(argc, argv);
  std::printf(
      "Usage:%s <fitness fname> <fitness fname column> <s(percent)> <k(percent)> <n> <generation "
      "size> <p(a1->2)(x10^10)> <p(a2->3)(x10^10)> <p(a1->3)(x10^10)> <p(b1->2)(x10^10)> "
      "<p(b2->3)(x10^10)> <p(b1->3)(x10^10)> <output fname> [random seed]\n or   %s <output fname> "
      "[new n]\n",
      program, program);
  return 1;
}
