// The classic command line on the literal engine: the literal steps on the C
// library's generator (the reference the exact engine is checked against).
#include "app/classic_main.hpp"

int main(int argc, char** argv) {
  return twolocus::classic_main(argc, argv, twolocus::engine_kind::literal);
}
