#include "app/messages.hpp"

namespace twolocus {

int print_message(const message& said, std::FILE* stream) {
  std::fputs(said.text.c_str(), stream);
  return said.fatal ? 1 : 0;
}

}  // namespace twolocus
