#include "egraph/symbol.h"

#include <cstring>
#include <deque>
#include <mutex>
#include <random>

#include "egraph/flat_map.h"
#include "egraph/text.h"
#include "support/internal_fault.h"

namespace tarvelon::egraph {

namespace {

constexpr std::uint32_t kShardBits = 4;
constexpr std::uint32_t kShardCount = 1u << kShardBits;
constexpr std::uint32_t kIndexBits = 32 - kShardBits;
constexpr std::uint32_t kIndexMask = (1u << kIndexBits) - 1;
constexpr std::uint32_t kMaxIndexPlusOne = kIndexMask - 1;

std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

/// SipHash-1-3, keyed once per process so that no caller can aim texts at one shard or chain.
std::uint64_t keyed_hash(std::uint64_t k0, std::uint64_t k1, std::string_view text) {
  std::uint64_t v0 = k0 ^ 0x736f6d6570736575ULL, v1 = k1 ^ 0x646f72616e646f6dULL;
  std::uint64_t v2 = k0 ^ 0x6c7967656e657261ULL, v3 = k1 ^ 0x7465646279746573ULL;
  auto round = [&] {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  };
  std::size_t n = text.size();
  const char* p = text.data();
  std::size_t full = n & ~std::size_t{7};
  for (std::size_t i = 0; i < full; i += 8) {
    std::uint64_t m;
    std::memcpy(&m, p + i, 8);
    v3 ^= m;
    round();
    v0 ^= m;
  }
  std::uint64_t last = static_cast<std::uint64_t>(n & 0xff) << 56;
  for (std::size_t i = full; i < n; ++i) {
    last |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])) << (8 * (i - full));
  }
  v3 ^= last;
  round();
  v0 ^= last;
  v2 ^= 0xff;
  round();
  round();
  round();
  return v0 ^ v1 ^ v2 ^ v3;
}

struct Entry {
  std::uint64_t hash = 0;
  std::uint32_t index = 0;
};

struct EntryHash {
  std::uint64_t operator()(const Entry& e) const { return e.hash; }
};

struct EntryEq {
  bool operator()(const Entry& a, const Entry& b) const { return a.index == b.index; }
};

}  // namespace

struct SymbolTable::Shard {
  std::mutex mutex;
  /// Owned texts; a deque never moves its elements, so views into them stay valid.
  std::deque<std::string> texts;
  FlatHashMap<Entry, std::uint32_t, EntryHash, EntryEq> index;
};

SymbolTable::SymbolTable() : shards_(new Shard[kShardCount]) {
  std::random_device random;
  key0_ = (static_cast<std::uint64_t>(random()) << 32) ^ random();
  key1_ = (static_cast<std::uint64_t>(random()) << 32) ^ random();
}

SymbolTable& SymbolTable::instance() {
  // Created once, thread-safely, and never destroyed: symbols must outlive every other static.
  static SymbolTable* table = new SymbolTable();
  return *table;
}

namespace detail {

std::uint32_t symbol_handle(std::uint32_t shard, std::size_t index) {
  if (index >= kMaxIndexPlusOne)
    support::internal_fault(cat("Can't represent index ", index + 1, " in a Symbol"));
  return (shard << kIndexBits) | static_cast<std::uint32_t>(index + 1);
}

}  // namespace detail

std::uint32_t SymbolTable::intern(std::string_view text) {
  std::uint64_t hash = keyed_hash(key0_, key1_, text);
  auto shard_number = static_cast<std::uint32_t>((hash ^ (hash >> 32)) & (kShardCount - 1));
  Shard& shard = shards_[shard_number];
  std::lock_guard lock(shard.mutex);
  auto same = [&](const Entry& e) { return e.hash == hash && shard.texts[e.index] == text; };
  if (const std::uint32_t* hit = shard.index.find_hashed(hash, same))
    return detail::symbol_handle(shard_number, *hit);
  // The handle is made before the text is stored, so a shard never holds a text it cannot name.
  std::uint32_t handle = detail::symbol_handle(shard_number, shard.texts.size());
  auto index = static_cast<std::uint32_t>(shard.texts.size());
  shard.texts.emplace_back(text);
  shard.index.insert_new_hashed(hash, Entry{hash, index}, index);
  return handle;
}

std::string_view SymbolTable::resolve(std::uint32_t handle) {
  std::uint32_t shard_number = handle >> kIndexBits;
  std::uint32_t index_plus_one = handle & kIndexMask;
  if (index_plus_one == 0) support::internal_fault("the placeholder symbol names no text");
  Shard& shard = shards_[shard_number];
  std::lock_guard lock(shard.mutex);
  if (index_plus_one > shard.texts.size())
    support::internal_fault(cat("unknown symbol handle ", handle));
  return shard.texts[index_plus_one - 1];
}

GlobalSymbol::GlobalSymbol(std::string_view text) : handle_(SymbolTable::instance().intern(text)) {}

std::string_view GlobalSymbol::as_str() const { return SymbolTable::instance().resolve(handle_); }

}  // namespace tarvelon::egraph
