// twolocus-multinomial: the classic command line on the class-count engine.
#include "app/run.hpp"

int main(int argc, char** argv) {
  return twolocus::classic_main<twolocus::multinomial_engine>(argc, argv);
}
