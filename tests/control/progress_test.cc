// The progress printer: at most ten dots per operation, never taken back.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/testing.h"

namespace {

using Calls = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

// The dots printed by each call, in order.
std::vector<std::size_t> DotsPerCall(const Calls& calls) {
  std::vector<std::string> args = {"progress"};
  for (const auto& [total, done] : calls) {
    args.push_back(std::to_string(total));
    args.push_back(std::to_string(done));
  }
  const auto result =
      testing_support::Run(testing_support::Built("tests/control/control_console_probe"), args);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  std::vector<std::size_t> dots;
  std::size_t count = 0;
  for (const char c : result.out) {
    if (c == '|') {
      dots.push_back(count);
      count = 0;
    } else {
      EXPECT_EQ(c, '.');
      ++count;
    }
  }
  return dots;
}

TEST(Progress, PrintsDotsPerTenthDone) {
  struct Case {
    const char* name;
    Calls calls;
    std::vector<std::size_t> expected;
  };
  const std::vector<Case> cases = {
      {"three then seven", {{1000, 0}, {1000, 350}, {1000, 1000}}, {0, 3, 7}},
      {"smaller done prints nothing",
       {{1000, 0}, {1000, 500}, {1000, 300}, {1000, 499}},
       {0, 5, 0, 0}},
      {"same done twice", {{10, 0}, {10, 4}, {10, 4}}, {0, 4, 0}},
      {"zero restarts", {{100, 0}, {100, 100}, {100, 0}, {100, 100}}, {0, 10, 0, 10}},
      {"total of zero prints nothing", {{0, 0}, {0, 5}, {0, 0}}, {0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(DotsPerCall(c.calls), c.expected);
  }
}

TEST(Progress, WholeOperationPrintsExactlyTen) {
  for (const std::uint32_t total : {1u, 3u, 7u, 10u, 11u, 999u, 65536u, 400000000u, 3000000000u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(total);
    Calls calls;
    // Every step for small totals, about a hundred steps for large ones (up to 4 GiB,
    // where done * 10 no longer fits in 32 bits).
    const std::uint32_t step = total < 1000 ? 1 : total / 97;
    for (std::uint64_t done = 0; done < total; done += step) {
      calls.emplace_back(total, static_cast<std::uint32_t>(done));
    }
    calls.emplace_back(total, total);
    std::size_t sum = 0;
    for (const std::size_t dots : DotsPerCall(calls)) sum += dots;
    EXPECT_EQ(sum, 10u);
  }
}

}  // namespace
