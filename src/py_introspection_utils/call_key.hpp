// The call key and call hash of a cached call: a call bound to its canonical
// parts (BoundCall, which a cache hit needs and nothing more), the hash mixed
// from them, and the owned key (CallKey) that the instance store keeps for
// each node. This is the hot path of every cached call.
#pragma once

#include "py_ref.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <vector>

namespace quarrine {

// The interpreter's hash of `object`; its error propagates.
inline Py_hash_t hash_of(PyObject* object) {
  Py_hash_t hash = PyObject_Hash(object);
  if (hash == -1) {
    throw_python_error();
  }
  return hash;
}

// One (name, value) pair of a bound call, with the name's hash. Name and
// value are borrowed; the BoundCall's kept references, its caller's
// arguments or a CallKey keep them alive.
struct CallItem {
  PyObject* name;
  PyObject* value;
  Py_hash_t name_hash;
};

class CallKey;

// A call reduced to its canonical parts without building any key: the method
// name, the (name, value) items sorted by name, and the call hash. A cache
// hit never needs more; a CallKey is made from it only when a node is made.
class BoundCall {
 public:
  BoundCall() noexcept {}
  BoundCall(const BoundCall&) = delete;
  BoundCall& operator=(const BoundCall&) = delete;
  ~BoundCall() { release_kept(); }

  PyObject* method_name = nullptr;  // borrowed; kept alive by the caller
  // The tuple (method name, item names...) of these very names when the
  // caller has one (the binder keeps one per function signature), else null.
  // Borrowed; kept alive by the caller or by the call itself (give_shape).
  PyObject* shape = nullptr;
  Py_hash_t method_name_hash = -1;  // -1 until known
  Py_hash_t hash = 0;

  std::span<const CallItem> items() const noexcept { return {items_, size_}; }
  void add(PyObject* name, PyObject* value, Py_hash_t name_hash) {
    if (size_ < kInlineItems) {
      inline_[size_++] = {name, value, name_hash};
    } else {
      add_spilled({name, value, name_hash});
    }
  }
  // Keeps alive an object that items point into.
  void keep(Ref object) {
    if (kept_count_ < kInlineKept) {
      new (&kept_[kept_count_++]) Ref(std::move(object));
    } else {
      keep_spilled(std::move(object));
    }
  }
  void sort_by_name();
  // Makes the call's own shape from its method name and item names, unless
  // a binder gave it one.
  void give_shape();
  // Whether nothing was bound into the call yet.
  bool is_fresh() const noexcept {
    return size_ == 0 && kept_count_ == 0 && !spill_ && shape == nullptr && hash == 0;
  }
  // Empties the call for a new binding of `method`.
  void reset(PyObject* method) noexcept {
    release_kept();
    spill_.reset();
    items_ = inline_;
    size_ = 0;
    method_name = method;
    shape = nullptr;
    method_name_hash = -1;
    hash = 0;
  }

 private:
  static constexpr std::uint32_t kInlineItems = 8;
  static constexpr std::uint32_t kInlineKept = 6;
  // Items and kept references beyond the inline room, made when needed.
  struct Spill {
    std::vector<CallItem> items;
    std::vector<Ref> kept;
  };
  void add_spilled(const CallItem& item);
  void keep_spilled(Ref object);
  void release_kept() noexcept {
    for (std::uint32_t i = 0; i < kept_count_; ++i) {
      kept_[i].~Ref();
    }
    kept_count_ = 0;
  }

  CallItem inline_[kInlineItems];
  CallItem* items_ = inline_;  // inline_, or the spilled items
  std::uint32_t size_ = 0;
  std::uint32_t kept_count_ = 0;
  union {
    Ref kept_[kInlineKept];  // the first kept_count_ are live
  };
  std::unique_ptr<Spill> spill_;
};

// Mixes the hashes of the method name, then of the item names, then of the
// values (both in item order) into the call hash. The names of one signature
// are the same at every call, so a binder mixes them once (shape_state) and
// resumes from there.
//
// The mixing step, its constants and the finish are those of CPython's tuple
// hash (Objects/tupleobject.c, after xxHash64): kPrime1, kPrime2 and kPrime5
// are its _PyHASH_XXPRIME_1, _2 and _5, the rotation is its 31 bits, and the
// finish adds the lane count xor (_PyHASH_XXPRIME_5 ^ 3527539) and maps -1
// to 1546275796, as it does. A call hash is therefore as well spread as a
// tuple's, though it is not the hash of the key's tuple.
class CallHasher {
 public:
  explicit CallHasher(Py_hash_t method_name_hash) noexcept
      : accumulator_(mix(kPrime5, method_name_hash)) {}
  // Resumes from the state of a hasher that mixed the same method name and
  // names.
  static CallHasher resume(std::uint64_t shape_state) noexcept { return CallHasher(shape_state); }
  std::uint64_t shape_state() const noexcept { return accumulator_; }

  void add_name(Py_hash_t name_hash) noexcept { accumulator_ = mix(accumulator_, name_hash); }
  // A value's hashing error propagates.
  void add_value(PyObject* value) { accumulator_ = mix(accumulator_, hash_of(value)); }
  Py_hash_t finish(std::size_t item_count) const noexcept {
    const auto hash = static_cast<Py_hash_t>(accumulator_ +
                                             ((item_count * 2 + 1) ^ (kPrime5 ^ 3527539ULL)));
    return hash == -1 ? 1546275796 : hash;
  }

 private:
  explicit CallHasher(std::uint64_t state) noexcept : accumulator_(state) {}
  static constexpr std::uint64_t kPrime1 = 11400714785074694791ULL;
  static constexpr std::uint64_t kPrime2 = 14029467366897019727ULL;
  static constexpr std::uint64_t kPrime5 = 2870177450012600261ULL;
  static std::uint64_t mix(std::uint64_t accumulator, Py_hash_t lane) noexcept {
    accumulator += static_cast<std::uint64_t>(lane) * kPrime2;
    accumulator = (accumulator << 31) | (accumulator >> 33);
    return accumulator * kPrime1;
  }
  std::uint64_t accumulator_;
};

// The shape that the call keys of one signature share: the tuple (method
// name, names...), with `count` names, the i-th given by name_of(i).
template <class NameOf>
Ref make_shape(PyObject* method_name, std::size_t count, NameOf&& name_of) {
  Ref shape = Ref::checked(PyTuple_New(static_cast<Py_ssize_t>(count + 1)));
  // PyTuple_SetItem takes over the references that Ref::borrow adds.
  PyTuple_SetItem(shape.get(), 0, Ref::borrow(method_name).release());
  for (std::size_t i = 0; i < count; ++i) {
    PyTuple_SetItem(shape.get(), static_cast<Py_ssize_t>(i + 1), Ref::borrow(name_of(i)).release());
  }
  return shape;
}

// The call hash of a bound call, from its items; a value's hashing error
// propagates.
void compute_call_hash(BoundCall& call);

// The call key of one call as the module keeps it, and the call hash. The
// method name and the item names are one tuple (method name, names...), the
// call's shape, which the keys of one function signature share; the values
// follow it. A key of up to two items (most of them) keeps its references
// inline, one of more items in a block of its own. As a Python object it is
// the tuple (method name, ((name, value), ...)), built when it is asked for.
class CallKey {
 public:
  CallKey() noexcept {}
  explicit CallKey(const BoundCall& call);
  CallKey(CallKey&& other) noexcept { take(other); }
  CallKey& operator=(CallKey&& other) noexcept {
    if (this != &other) {
      if (part_count_ != 0) {
        release();
      }
      take(other);
    }
    return *this;
  }
  // A key moved from (most of them) has nothing to give back.
  ~CallKey() {
    if (part_count_ != 0) {
      release();
    }
  }

  explicit operator bool() const noexcept { return part_count_ != 0; }
  Py_hash_t hash() const noexcept { return hash_; }
  std::size_t item_count() const noexcept { return part_count_ == 0 ? 0 : part_count_ - 1; }

  // Whether the key equals the call, as far as that can be told without
  // running Python code: Equal or Different, or Unknown where a value must be
  // compared with an == that could run user code (see matches). Names and
  // values of the same exact int, str, bytes or float type are compared
  // here. A call of the same signature with the very objects of the key
  // (most hits) is told inline.
  enum class Match { Equal, Different, Unknown };
  Match match_without_python(const BoundCall& call) const {
    return holds_the_very_objects_of(call) ? Match::Equal : match_by_safe_comparison(call);
  }
  // Whether the key was made from a call of the same signature with the very
  // objects of `call` (most hits).
  bool holds_the_very_objects_of(const BoundCall& call) const noexcept {
    std::span<const CallItem> items = call.items();
    if (shape() != call.shape || items.size() != item_count()) {
      return false;
    }
    const Ref* values = parts() + 1;
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (values[i].get() != items[i].value) {
        return false;
      }
    }
    return true;
  }
  // Whether the key equals the call, as tuple equality would say: values are
  // compared with ==, which may run user code and raise.
  bool matches(const BoundCall& call) const;
  // A key with references of its own to the same objects.
  CallKey copy() const;
  // The method name, borrowed from the key.
  PyObject* method_name() const noexcept { return PyTuple_GetItem(shape(), 0); }
  // The items of this key, borrowed from it, as a bound call.
  void view(BoundCall& out) const;
  Ref as_tuple() const;
  // The method name alone for a call without arguments, else the tuple.
  Ref report_key() const;
  // Visits the values (the shape holds strs only, which hold no references).
  int traverse(visitproc visit, void* arg) const noexcept;

 private:
  static constexpr std::uint32_t kInlineParts = 3;  // the shape and two values

  bool is_inline() const noexcept { return part_count_ <= kInlineParts; }
  const Ref* parts() const noexcept { return is_inline() ? inline_ : heap_; }
  PyObject* shape() const noexcept { return parts()[0].get(); }
  PyObject* name(std::size_t index) const noexcept {
    return PyTuple_GetItem(shape(), static_cast<Py_ssize_t>(index + 1));
  }
  PyObject* value(std::size_t index) const noexcept { return parts()[index + 1].get(); }
  bool names_match(const BoundCall& call) const;
  Match match_by_safe_comparison(const BoundCall& call) const;
  // Makes the parts, the i-th from part_at(i); the key holds none before.
  template <class PartAt>
  void fill(std::uint32_t count, PartAt&& part_at);
  // Moves the other key's references here (this key holds none) and leaves
  // it empty.
  void take(CallKey& other) noexcept;
  // Gives every reference back; the key is empty afterwards.
  void release() noexcept;

  Py_hash_t hash_ = 0;
  // The shape, then one value per item; 0 for an empty key.
  std::uint32_t part_count_ = 0;
  union {
    Ref inline_[kInlineParts];  // the first part_count_ are live while inline
    Ref* heap_;                 // owned (new[]) otherwise
  };
};

// Binds keyword arguments taken as they stand (no function, no defaults);
// `keywords` may be null. `method_name` must be an exact str.
void bind_keywords(PyObject* method_name, PyObject* keywords, BoundCall& out);

// Adds every entry of a dict of parameter names to values, except self, and
// sorts the items by name.
void add_mapping_items(PyObject* mapping, BoundCall& out);

}  // namespace quarrine
