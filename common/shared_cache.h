#pragma once
// Tables made from a few parameters, kept for the files that follow: a short frame would
// otherwise pay for its pulse, its transform plan or its chirps more than for its samples.

#include <cstddef>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace quorvin {

// The `capacity` most recently used values by key, shared by every thread. A value is made by the
// same code whether it is then kept or not, so a cached one is the very value a fresh make gives.
// Values are shared and immutable: one evicted stays alive while a caller still holds it.
template <typename Key, typename Value>
struct SharedCache {
  std::size_t capacity;
  std::mutex guard;
  std::vector<std::pair<Key, std::shared_ptr<const Value>>> entries;  // most recently used last

  explicit SharedCache(std::size_t most) : capacity(most) {}
};

// The value of `key` in `cache`, else `make()` (made outside the lock, so threads making other
// values do not wait) kept as the most recently used, the least recently used dropped past the
// capacity. Keys compare with ==.
template <typename Key, typename Value, typename Make>
std::shared_ptr<const Value> cached_value(SharedCache<Key, Value>& cache, const Key& key, Make make) {
  const auto find = [&cache, &key]() -> std::shared_ptr<const Value> {
    for (std::size_t i = cache.entries.size(); i-- > 0;) {
      if (cache.entries[i].first == key) {
        auto entry = std::move(cache.entries[i]);
        cache.entries.erase(cache.entries.begin() + static_cast<std::ptrdiff_t>(i));
        cache.entries.push_back(std::move(entry));
        return cache.entries.back().second;
      }
    }
    return nullptr;
  };
  {
    const std::scoped_lock lock(cache.guard);
    if (auto found = find()) return found;
  }
  auto made = std::make_shared<const Value>(make());
  const std::scoped_lock lock(cache.guard);
  // Another thread may have made the same meanwhile: the first one kept stays.
  if (auto found = find()) return found;
  if (cache.capacity == 0) return made;
  if (cache.entries.size() >= cache.capacity) cache.entries.erase(cache.entries.begin());
  cache.entries.emplace_back(key, made);
  return made;
}

}  // namespace quorvin
