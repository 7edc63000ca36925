#include "model/genotype.hpp"

#include <gtest/gtest.h>

#include <string>

namespace twolocus {
namespace {

TEST(GenotypeIndex, LabelsAndDigitsFollowTheSlotWeights) {
  EXPECT_EQ(std::string(genotype_label(0).data()), "1111");
  EXPECT_EQ(std::string(genotype_label(1).data()), "2111");
  EXPECT_EQ(std::string(genotype_label(3).data()), "1211");
  EXPECT_EQ(std::string(genotype_label(9).data()), "1121");
  EXPECT_EQ(std::string(genotype_label(27).data()), "1112");
  EXPECT_EQ(std::string(genotype_label(80).data()), "3333");
  for (int slot = 1; slot <= 4; ++slot) EXPECT_EQ(index_digit(80, slot), 2);
  EXPECT_EQ(index_digit(26, 1), 2);
  EXPECT_EQ(index_digit(26, 2), 2);
  EXPECT_EQ(index_digit(26, 3), 2);
  EXPECT_EQ(index_digit(26, 4), 0);
  for (int j = 0; j < genotype_count; ++j) {
    EXPECT_EQ(compose_index(index_digit(j, 1), index_digit(j, 2), index_digit(j, 3),
                            index_digit(j, 4)),
              j);
  }
}

}  // namespace
}  // namespace twolocus
