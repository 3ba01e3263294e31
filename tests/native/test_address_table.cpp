// The address table: entries found by address through growth and deletions,
// including deletions inside a run of colliding entries.
#include "address_table.hpp"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

namespace quarrine {
namespace {

// Addresses as the table meets them: 16-byte aligned.
const void* address(std::uintptr_t n) { return reinterpret_cast<const void*>((n + 1) * 16); }

TEST(AddressTableTest, FindsWhatWasInsertedAndForgetsWhatWasTaken) {
  AddressTable<int> table;
  std::vector<int> values(1000);
  EXPECT_EQ(table.find(address(0)), nullptr);
  EXPECT_EQ(table.take(address(0)), nullptr);
  for (std::size_t i = 0; i < values.size(); ++i) {
    table.insert(address(i), &values[i]);
  }
  EXPECT_EQ(table.size(), values.size());
  for (std::size_t i = 0; i < values.size(); i += 2) {
    EXPECT_EQ(table.take(address(i)), &values[i]);
  }
  for (std::size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(table.find(address(i)), i % 2 == 0 ? nullptr : &values[i]) << i;
  }
  EXPECT_EQ(table.size(), values.size() / 2);
}

TEST(AddressTableTest, AgreesWithAMapUnderRandomInsertionsAndDeletions) {
  AddressTable<int> table;
  std::map<const void*, int*> model;
  std::vector<int> values(4096);
  std::mt19937 random(7);
  // Few distinct addresses, so that runs of collisions form and are broken
  // up by deletions from their middle.
  std::uniform_int_distribution<std::uintptr_t> pick(0, 300);
  for (int step = 0; step < 100000; ++step) {
    const void* key = address(pick(random));
    if (model.count(key) != 0) {
      EXPECT_EQ(table.take(key), model[key]);
      model.erase(key);
    } else {
      int* value = &values[static_cast<std::size_t>(step) % values.size()];
      table.insert(key, value);
      model[key] = value;
    }
  }
  for (std::uintptr_t n = 0; n <= 300; ++n) {
    auto found = model.find(address(n));
    EXPECT_EQ(table.find(address(n)), found == model.end() ? nullptr : found->second) << n;
  }
  EXPECT_EQ(table.size(), model.size());
}

}  // namespace
}  // namespace quarrine
