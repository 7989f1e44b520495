// The model catalogue: clocks and names, including the codes that have one but not the other.
#include "service/model_catalogue.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace kv {
namespace {

TEST(ModelCatalogue, ClocksByCode) {
  for (int code : {0, 1, 2, 6, 11, 49, 50}) EXPECT_EQ(model_clock(code), 30000) << code;
  for (int code : {3, 4, 5, 7, 8, 9, 10}) EXPECT_EQ(model_clock(code), 36000) << code;
  for (int code : {51, 52, 53}) EXPECT_EQ(model_clock(code), 42000) << code;
  for (int code = 12; code <= 48; ++code) EXPECT_EQ(model_clock(code), 0) << code;
  EXPECT_EQ(model_clock(-1), 0);
  EXPECT_EQ(model_clock(54), 0);
}

TEST(ModelCatalogue, SixteenDistinctNamesAndUnknowForTheRest) {
  std::set<std::string> names;
  for (int code = 0; code <= 10; ++code) names.insert(model_name(code));
  for (int code = 49; code <= 53; ++code) names.insert(model_name(code));
  EXPECT_EQ(names.size(), 16u);
  EXPECT_EQ(names.count("UNKNOW"), 0u);
  EXPECT_STREQ(model_name(11), "UNKNOW");
  EXPECT_STREQ(model_name(-1), "UNKNOW");
  EXPECT_STREQ(model_name(48), "UNKNOW");
  EXPECT_STREQ(model_name(54), "UNKNOW");
}

}  // namespace
}  // namespace kv
