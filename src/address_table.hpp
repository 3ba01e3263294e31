// A hash table from addresses to pointers, for finding what belongs to an
// object by the object's address in a few instructions: open addressing with
// linear probing, deletion by backward shift (no tombstones), at most half
// full. Plain C++, no Python.h; it owns its slots, not what the keys and
// values point to.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quarrine {

template <class Value>
class AddressTable {
 public:
  // The value entered for `key`, else null.
  Value* find(const void* key) const noexcept {
    if (slots_.empty()) {
      return nullptr;
    }
    for (std::size_t index = home(key);; index = (index + 1) & mask_) {
      const Slot& slot = slots_[index];
      if (slot.key == key) {
        return slot.value;
      }
      if (slot.key == nullptr) {
        return nullptr;
      }
    }
  }

  // Enters `value` (not null) for `key`, which has no entry.
  void insert(const void* key, Value* value) {
    assert(key != nullptr && value != nullptr && find(key) == nullptr);
    if ((size_ + 1) * 2 > slots_.size()) {
      grow();
    }
    place(key, value);
    ++size_;
  }

  // Takes the entry of `key` out and hands back its value (null when there
  // was none).
  Value* take(const void* key) noexcept {
    if (slots_.empty()) {
      return nullptr;
    }
    std::size_t index = home(key);
    while (slots_[index].key != key) {
      if (slots_[index].key == nullptr) {
        return nullptr;
      }
      index = (index + 1) & mask_;
    }
    Value* value = slots_[index].value;
    close_gap(index);
    --size_;
    return value;
  }

  std::size_t size() const noexcept { return size_; }

 private:
  struct Slot {
    const void* key = nullptr;
    Value* value = nullptr;
  };

  // Objects are at least 16-byte aligned: the low bits carry nothing. The
  // multiplier is 2^64 divided by the golden ratio (Fibonacci hashing).
  std::size_t home(const void* key) const noexcept {
    const auto bits = reinterpret_cast<std::uintptr_t>(key) >> 4;
    return static_cast<std::size_t>((bits * 11400714819323198485ULL) >> shift_) & mask_;
  }

  void place(const void* key, Value* value) noexcept {
    std::size_t index = home(key);
    while (slots_[index].key != nullptr) {
      index = (index + 1) & mask_;
    }
    slots_[index] = {key, value};
  }

  void grow() {
    const std::size_t capacity = slots_.empty() ? 16 : slots_.size() * 2;
    std::vector<Slot> old(capacity);
    old.swap(slots_);
    mask_ = capacity - 1;
    shift_ = 64;
    for (std::size_t size = capacity; size > 1; size >>= 1) {
      --shift_;
    }
    for (const Slot& slot : old) {
      if (slot.key != nullptr) {
        place(slot.key, slot.value);
      }
    }
  }

  // Empties the slot at `gap` and moves back the entries after it that
  // would otherwise no longer be found from their home slot.
  void close_gap(std::size_t gap) noexcept {
    for (std::size_t index = (gap + 1) & mask_; slots_[index].key != nullptr;
         index = (index + 1) & mask_) {
      const std::size_t from_home = (index - home(slots_[index].key)) & mask_;
      if (from_home >= ((index - gap) & mask_)) {
        slots_[gap] = slots_[index];
        gap = index;
      }
    }
    slots_[gap] = Slot();
  }

  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  unsigned shift_ = 64;
  std::size_t size_ = 0;
};

}  // namespace quarrine
