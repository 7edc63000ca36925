// twolocus-multinomial: the classic command line on the class-count engine.
#include "app/classic_main.hpp"

int main(int argc, char** argv) {
  return twolocus::classic_main(argc, argv, twolocus::engine_kind::multinomial);
}
