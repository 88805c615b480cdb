// The inline stack holds what a vector would, across its inline room in both directions, and
// copies and compares by its entries.
#include <gtest/gtest.h>

#include <cstddef>
#include <random>
#include <vector>

#include "reader/inline_stack.h"

namespace velmora::reader {
namespace {

using Stack = InlineStack<std::size_t, 4>;

void expect_same(const Stack& stack, const std::vector<std::size_t>& model) {
  ASSERT_EQ(stack.size(), model.size());
  EXPECT_EQ(stack.empty(), model.empty());
  EXPECT_EQ(std::vector<std::size_t>(stack.begin(), stack.end()), model);
  for (std::size_t i = 0; i < model.size(); ++i) EXPECT_EQ(stack[i], model[i]);
  if (!model.empty()) {
    EXPECT_EQ(stack.back(), model.back());
  }
}

TEST(InlineStack, RandomPushesAndPopsMatchAVector) {
  std::mt19937 rng(7);
  Stack stack;
  std::vector<std::size_t> model;
  for (int step = 0; step < 20000; ++step) {
    // Biased walks up and down, so the size crosses the inline room many times each way.
    const bool grow = model.empty() || rng() % 100 < (step / 500 % 2 == 0 ? 60u : 40u);
    if (grow) {
      const std::size_t value = rng();
      stack.push_back(value);
      model.push_back(value);
    } else {
      stack.pop_back();
      model.pop_back();
    }
    expect_same(stack, model);
    if (step % 997 == 0) {
      Stack copy = stack;
      expect_same(copy, model);
      EXPECT_TRUE(copy == stack);
      copy.push_back(1);
      EXPECT_FALSE(copy == stack);
    }
  }
  stack.clear();
  expect_same(stack, {});
}

TEST(InlineStack, RefillAfterShrinkingBelowTheInlineRoom) {
  // (depth to reach, depth to fall back to) pairs, each followed by new values
  const std::pair<std::size_t, std::size_t> moves[] = {{4, 3}, {5, 4}, {9, 2}, {6, 6}, {12, 0}, {5, 5}};
  Stack stack;
  std::vector<std::size_t> model;
  std::size_t next = 100;
  for (auto [up, down] : moves) {
    while (model.size() < up) {
      stack.push_back(next);
      model.push_back(next++);
    }
    expect_same(stack, model);
    while (model.size() > down) {
      stack.pop_back();
      model.pop_back();
    }
    expect_same(stack, model);
  }
}

}  // namespace
}  // namespace velmora::reader
