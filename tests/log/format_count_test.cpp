#include "log/format_count.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <ostream>
#include <string>

namespace tapline::log {
namespace {

struct CountCase {
  std::int64_t value;
  const char* shown;
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const CountCase& c, std::ostream* os) { *os << c.value; }

class FormatCountTest : public ::testing::TestWithParam<CountCase> {};

TEST_P(FormatCountTest, GroupsDigitsInThrees) { EXPECT_EQ(FormatCount(GetParam().value), GetParam().shown); }

const CountCase kCountCases[] = {
    // No separator needed.
    {0, "0"},
    {7, "7"},
    {100, "100"},
    {999, "999"},
    // Group boundaries.
    {1000, "1,000"},
    {9999, "9,999"},
    {100000, "100,000"},
    {999999, "999,999"},
    {1000000, "1,000,000"},
    {1234567, "1,234,567"},
    {2147483647, "2,147,483,647"},
    // A minus sign is never followed by a comma.
    {-1, "-1"},
    {-100, "-100"},
    {-999, "-999"},
    {-1000, "-1,000"},
    {-1234, "-1,234"},
    {-123456, "-123,456"},
    {-1234567, "-1,234,567"},
    {-2147483648LL, "-2,147,483,648"},
    // Beyond 32 bits.
    {4294967296LL, "4,294,967,296"},
    {std::numeric_limits<std::int64_t>::max(), "9,223,372,036,854,775,807"},
    {std::numeric_limits<std::int64_t>::min(), "-9,223,372,036,854,775,808"},
};

INSTANTIATE_TEST_SUITE_P(Values, FormatCountTest, ::testing::ValuesIn(kCountCases));

}  // namespace
}  // namespace tapline::log
