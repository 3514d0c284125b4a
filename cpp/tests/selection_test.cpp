#include "mirt/selection.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace {

TEST(Complement, ListsUnlistedRowsAscendingWhateverTheOrderOfTheListed) {
  const mirt::Index listed{4, 1, 1, 0};
  EXPECT_EQ(mirt::complement(6, mirt::ISpan(listed.data(), listed.size())),
            (mirt::Index{2, 3, 5}));
  EXPECT_EQ(mirt::complement(2, mirt::ISpan()), (mirt::Index{0, 1}));
}

TEST(Complement, RefusesPositionsOutsideTheRows) {
  const mirt::Index bad{3};
  EXPECT_THROW(mirt::complement(3, mirt::ISpan(bad.data(), bad.size())), std::out_of_range);
  const mirt::Index negative{-1};
  EXPECT_THROW(mirt::complement(3, mirt::ISpan(negative.data(), negative.size())),
               std::out_of_range);
}

}  // namespace
