// twolocus: the classic command line on the exact engine.
#include "app/run.hpp"

int main(int argc, char** argv) {
  return twolocus::classic_main<twolocus::exact_engine>(argc, argv);
}
