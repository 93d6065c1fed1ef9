// The progress printer: at most ten dots per operation, never taken back, also for
// amounts whose tenfold no longer fits in 32 bits.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "control/control.h"

namespace {

// The dots each report prints.
std::vector<std::size_t> DotsPerCall(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& calls) {
  std::vector<std::size_t> dots;
  for (const auto& [total, done] : calls) {
    ::testing::internal::CaptureStdout();
    control::PrintProgress(total, done);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, std::string(out.size(), '.'));
    dots.push_back(out.size());
  }
  return dots;
}

TEST(Progress, PrintsOneDotPerTenthDone) {
  struct Case {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> calls;
    std::vector<std::size_t> dots;
  };
  const Case cases[] = {
      {{{1000, 0}, {1000, 350}, {1000, 1000}}, {0, 3, 7}},
      {{{1000, 0}, {1000, 500}, {1000, 300}, {1000, 499}}, {0, 5, 0, 0}},
      {{{100, 0}, {100, 100}, {100, 0}, {100, 100}}, {0, 10, 0, 10}},
      {{{0, 0}, {0, 5}}, {0, 0}},
      {{{0xFFFFFFFF, 0}, {0xFFFFFFFF, 0x80000000}, {0xFFFFFFFF, 0xFFFFFFFF}}, {0, 5, 5}},
      {{{3000000000, 0}, {3000000000, 2999999999}, {3000000000, 3000000000}}, {0, 9, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.calls.back().first);
    EXPECT_EQ(DotsPerCall(c.calls), c.dots);
  }
}

}  // namespace
