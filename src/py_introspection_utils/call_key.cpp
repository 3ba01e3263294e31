// Call keys and the call hash. See call_key.hpp.
#include "py_introspection_utils/call_key.hpp"

#include "arguments.hpp"

#include <algorithm>
#include <cassert>
#include <new>
#include <string_view>
#include <utility>

namespace quarrine {

void BoundCall::add_spilled(const CallItem& item) {
  if (!spill_) {
    spill_ = std::make_unique<Spill>();
  }
  if (spill_->items.empty()) {
    spill_->items.assign(inline_, inline_ + size_);
  }
  spill_->items.push_back(item);
  items_ = spill_->items.data();
  ++size_;
}

void BoundCall::keep_spilled(Ref object) {
  if (!spill_) {
    spill_ = std::make_unique<Spill>();
  }
  spill_->kept.push_back(std::move(object));
}

void BoundCall::sort_by_name() {
  CallItem* first = items_;
  // Names are distinct exact strs; code point order is the order of their
  // UTF-8 encodings.
  std::sort(first, first + size_, [](const CallItem& a, const CallItem& b) {
    return PyUnicode_Compare(a.name, b.name) < 0;
  });
}

namespace {

inline bool same_text(PyObject* a, PyObject* b) { return a == b || PyUnicode_Compare(a, b) == 0; }

// The name as an exact str for a key (a str subclass is copied), refusing
// what is not a str or cannot be encoded as UTF-8.
PyObject* exact_name(PyObject* key, BoundCall& out) {
  std::string_view text = text_of(key);
  if (PyUnicode_CheckExact(key)) {
    return key;
  }
  Ref copy = str_of(text);
  PyObject* name = copy.get();
  out.keep(std::move(copy));
  return name;
}

}  // namespace

void add_mapping_items(PyObject* mapping, BoundCall& out) {
  if (!PyDict_Check(mapping)) {
    raise_wrong_type(mapping, "dict");
  }
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(mapping, &position, &key, &value)) {
    PyObject* name = exact_name(key, out);
    if (text_of(name) == "self") {
      continue;
    }
    out.add(name, value, hash_of(name));
  }
  out.sort_by_name();
}

void compute_call_hash(BoundCall& call) {
  CallHasher hasher(call.method_name_hash != -1 ? call.method_name_hash
                                                : hash_of(call.method_name));
  for (const CallItem& item : call.items()) {
    hasher.add_name(item.name_hash);
  }
  for (const CallItem& item : call.items()) {
    hasher.add_value(item.value);
  }
  call.hash = hasher.finish(call.items().size());
}

void BoundCall::give_shape() {
  if (shape != nullptr) {
    return;
  }
  std::span<const CallItem> bound = items();
  Ref made =
      make_shape(method_name, bound.size(), [&](std::size_t i) { return bound[i].name; });
  shape = made.get();
  keep(std::move(made));
}

template <class PartAt>
void CallKey::fill(std::uint32_t count, PartAt&& part_at) {
  assert(part_count_ == 0);
  if (count <= kInlineParts) {
    for (std::uint32_t i = 0; i < count; ++i) {
      new (&inline_[i]) Ref(part_at(i));
    }
  } else {
    heap_ = new Ref[count];
    for (std::uint32_t i = 0; i < count; ++i) {
      heap_[i] = part_at(i);
    }
  }
  part_count_ = count;
}

CallKey::CallKey(const BoundCall& call) : hash_(call.hash) {
  // Only references are taken: no Python object is made, so a key can be
  // made with the store held.
  assert(call.shape != nullptr);
  std::span<const CallItem> items = call.items();
  fill(static_cast<std::uint32_t>(1 + items.size()), [&](std::uint32_t i) {
    return Ref::borrow(i == 0 ? call.shape : items[i - 1].value);
  });
}

void CallKey::take(CallKey& other) noexcept {
  assert(part_count_ == 0);
  hash_ = other.hash_;
  part_count_ = std::exchange(other.part_count_, 0);
  if (is_inline()) {
    for (std::uint32_t i = 0; i < part_count_; ++i) {
      new (&inline_[i]) Ref(std::move(other.inline_[i]));
      other.inline_[i].~Ref();
    }
  } else {
    heap_ = other.heap_;
  }
}

void CallKey::release() noexcept {
  const std::uint32_t count = std::exchange(part_count_, 0);
  if (count <= kInlineParts) {
    for (std::uint32_t i = 0; i < count; ++i) {
      inline_[i].~Ref();
    }
  } else {
    delete[] heap_;
  }
}

bool CallKey::names_match(const BoundCall& call) const {
  std::span<const CallItem> items = call.items();
  if (items.size() != item_count()) {
    return false;
  }
  // Keys of one signature share their shape, which spares comparing names.
  if (shape() == call.shape) {
    return true;
  }
  if (!same_text(method_name(), call.method_name)) {
    return false;
  }
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (!same_text(name(i), items[i].name)) {
      return false;
    }
  }
  return true;
}

namespace {

// Whether == between the two runs no Python code and makes no object: both
// of one exact built-in type whose comparison is plain C.
bool compares_without_python(PyObject* a, PyObject* b) {
  PyTypeObject* type = Py_TYPE(a);
  return type == Py_TYPE(b) && (type == &PyLong_Type || type == &PyUnicode_Type ||
                                type == &PyBytes_Type || type == &PyFloat_Type);
}

}  // namespace

CallKey::Match CallKey::match_by_safe_comparison(const BoundCall& call) const {
  if (!names_match(call)) {
    return Match::Different;
  }
  std::span<const CallItem> items = call.items();
  Match match = Match::Equal;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* stored = value(i);
    // The same object is equal to itself, as the interpreter's comparison of
    // tuple items assumes.
    if (stored == items[i].value) {
      continue;
    }
    if (!compares_without_python(stored, items[i].value)) {
      match = Match::Unknown;
    } else if (PyObject_RichCompareBool(stored, items[i].value, Py_EQ) != 1) {
      return Match::Different;  // these comparisons cannot fail
    }
  }
  return match;
}

bool CallKey::matches(const BoundCall& call) const {
  if (!names_match(call)) {
    return false;
  }
  std::span<const CallItem> items = call.items();
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* stored = value(i);
    if (stored != items[i].value &&
        require(PyObject_RichCompareBool(stored, items[i].value, Py_EQ)) == 0) {
      return false;
    }
  }
  return true;
}

CallKey CallKey::copy() const {
  CallKey copied;
  copied.hash_ = hash_;
  copied.fill(part_count_, [&](std::uint32_t i) { return Ref::borrow(parts()[i].get()); });
  return copied;
}

void CallKey::view(BoundCall& out) const {
  out.reset(method_name());
  for (std::size_t i = 0; i < item_count(); ++i) {
    PyObject* item_name = name(i);
    out.add(item_name, value(i), hash_of(item_name));
  }
  out.shape = shape();
  out.hash = hash_;
}

Ref CallKey::as_tuple() const {
  Ref items = Ref::checked(PyTuple_New(static_cast<Py_ssize_t>(item_count())));
  for (std::size_t i = 0; i < item_count(); ++i) {
    Ref pair = Ref::checked(PyTuple_Pack(2, name(i), value(i)));
    // PyTuple_SetItem takes over the pair's reference.
    PyTuple_SetItem(items.get(), static_cast<Py_ssize_t>(i), pair.release());
  }
  return Ref::checked(PyTuple_Pack(2, method_name(), items.get()));
}

Ref CallKey::report_key() const {
  if (item_count() == 0) {
    return Ref::borrow(method_name());
  }
  return as_tuple();
}

int CallKey::traverse(visitproc visit, void* arg) const noexcept {
  for (std::size_t i = 0; i < item_count(); ++i) {
    Py_VISIT(value(i));
  }
  return 0;
}

void bind_keywords(PyObject* method_name, PyObject* keywords, BoundCall& out) {
  out.reset(method_name);
  if (keywords != nullptr) {
    add_mapping_items(keywords, out);
  }
  out.give_shape();
  compute_call_hash(out);
}

}  // namespace quarrine
