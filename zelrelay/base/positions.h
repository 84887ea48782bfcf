// Lookup tables over records kept elsewhere. An entry is a record's
// position, and its key is read from the record when needed: a table over
// a large index holds no copy of the keys, and its nodes come from one
// arena, about 24 bytes a record where a map from the key takes some 80.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <memory_resource>
#include <unordered_set>

// KeyOf(position) is the key of the record there. It must reach the
// records for as long as the table is used: their owner, which holds the
// table, never moves.
template <class Key, class KeyOf, class Hash = std::hash<Key>>
class PositionTable {
 public:
  static constexpr uint32_t kNone = UINT32_MAX;

  explicit PositionTable(KeyOf keyOf) : keyOf_(keyOf) { Clear(); }
  PositionTable(const PositionTable &) = delete;
  PositionTable &operator=(const PositionTable &) = delete;

  // The position of the record with that key, or kNone.
  uint32_t Find(const Key &key) const {
    auto at = set_->find(key);
    return at == set_->end() ? kNone : *at;
  }
  // Adds the position, unless a record with its key is there already;
  // returns the position of the one that is there then.
  uint32_t Insert(uint32_t position) { return *set_->insert(position).first; }
  void Reserve(size_t count) { set_->reserve(count); }
  // Empties the table and enters the positions 0 to count - 1 anew: after
  // the records moved.
  void Refill(size_t count) {
    Clear();
    Reserve(count);
    for (size_t i = 0; i < count; ++i) Insert(uint32_t(i));
  }
  size_t Size() const { return set_->size(); }
  // Empties the table and frees its nodes at once.
  void Clear() {
    set_.reset();
    arena_ = std::make_unique<std::pmr::monotonic_buffer_resource>();
    set_ = std::make_unique<Set>(0, Hashing{keyOf_}, Equality{keyOf_}, arena_.get());
  }

 private:
  // noexcept, so that nodes keep no hash of their own.
  struct Hashing {
    using is_transparent = void;
    KeyOf keyOf;
    size_t operator()(uint32_t position) const noexcept { return Hash{}(keyOf(position)); }
    size_t operator()(const Key &key) const noexcept { return Hash{}(key); }
  };
  struct Equality {
    using is_transparent = void;
    KeyOf keyOf;
    bool operator()(uint32_t a, uint32_t b) const { return a == b || keyOf(a) == keyOf(b); }
    bool operator()(const Key &key, uint32_t b) const { return key == keyOf(b); }
    bool operator()(uint32_t a, const Key &key) const { return keyOf(a) == key; }
  };
  using Set = std::pmr::unordered_set<uint32_t, Hashing, Equality>;

  KeyOf keyOf_;
  std::unique_ptr<std::pmr::monotonic_buffer_resource> arena_;  // before the set, which it outlives
  std::unique_ptr<Set> set_;
};
