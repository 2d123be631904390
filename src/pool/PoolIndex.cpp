#include "pool/PoolIndex.h"

#include <iterator>
#include <algorithm>
#include <vector>
#include <vdpattern/toolkit/Collate.h>
#include <vdpattern/toolkit/String.h>

#include "pattern/IdentityEpoch.h"
#include "toolkit/BaseSlot.h"
#include "toolkit/CollationPrefix.h"

namespace {

// A GUID that is not in the brace form (or is the nil GUID) is indexed under a hash of its text folded as
// CompareNoCase folds it; candidates under one hash are checked against the GUID itself, so a collision costs
// a comparison, never a wrong answer.
std::uint64_t GuidKey(std::wstring_view guid) {
  std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
  for (wchar_t c : guid) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c + 32);
    hash = (hash ^ static_cast<std::uint32_t>(c)) * 1099511628211ull;
  }
  return hash;
}

// A GUID's 128 bits in the order its text spells them, 0 in both halves for none.
struct GuidBits {
  std::uint64_t high = 0, low = 0;
  bool Nil() const { return (high | low) == 0; }
  bool operator==(const GuidBits& other) const { return high == other.high && low == other.low; }
};

GuidBits BitsOf(const GUID& guid) {
  GuidBits bits;
  bits.high = static_cast<std::uint64_t>(guid.Data1) << 32 | static_cast<std::uint64_t>(guid.Data2) << 16 | guid.Data3;
  for (int i = 0; i < 8; ++i) bits.low = bits.low << 8 | guid.Data4[i];
  return bits;
}

// The bits of `text` when it is a GUID in the brace form StringFromGUID2 writes, hex digits in either case;
// none (nil) for any other text. Two such texts are equal under CompareNoCase exactly when their bits are, and
// no other text equals one of them, so such GUIDs are compared by their bits alone.
GuidBits ParseGuid(std::wstring_view text) {
  GuidBits bits;
  if (text.size() != 38 || text[0] != L'{' || text[37] != L'}') return GuidBits{};
  int digits = 0;
  for (std::size_t i = 1; i < 37; ++i) {
    const wchar_t c = text[i];
    if (i == 9 || i == 14 || i == 19 || i == 24) {
      if (c != L'-') return GuidBits{};
      continue;
    }
    unsigned v;
    if (c >= L'0' && c <= L'9')
      v = static_cast<unsigned>(c - L'0');
    else if (c >= L'A' && c <= L'F')
      v = static_cast<unsigned>(c - L'A' + 10);
    else if (c >= L'a' && c <= L'f')
      v = static_cast<unsigned>(c - L'a' + 10);
    else
      return GuidBits{};
    std::uint64_t& half = digits++ < 16 ? bits.high : bits.low;
    half = half << 4 | v;
  }
  return bits;
}

// Nodes under 64-bit hashes, in one open-addressed array: a lookup reads one or two neighbouring slots where
// a node-based hash table follows pointers across the heap. pool-growth took 1.2 times as long with
// std::unordered_multimap in its place (medians of 0.93 s against 1.10 s for 200,000 patterns).
template <typename Node>
class HashedNodes {
 public:
  void Insert(std::uint64_t hash, Node node) {
    // Past three quarters used: twice the slots, or the same number when most used ones are removals.
    if ((m_used + 1) * 4 > m_slots.size() * 3)
      Rehash(m_live * 4 >= m_slots.size() ? m_slots.size() * 2 : m_slots.size());
    const std::uint64_t h = Stored(hash);
    std::size_t at = Home(h);
    while (m_slots[at].hash > kRemoved) at = (at + 1) & Mask();
    if (m_slots[at].hash == kFree) ++m_used;
    m_slots[at] = Slot{h, node};
    ++m_live;
  }

  // Calls visit(node) for each node under `hash` until it returns false.
  template <typename Visit>
  void Find(std::uint64_t hash, Visit visit) const {
    if (m_slots.empty()) return;
    const std::uint64_t h = Stored(hash);
    for (std::size_t at = Home(h); m_slots[at].hash != kFree; at = (at + 1) & Mask())
      if (m_slots[at].hash == h && !visit(m_slots[at].node)) return;
  }

  void Erase(std::uint64_t hash, Node node) {
    if (m_slots.empty()) return;
    const std::uint64_t h = Stored(hash);
    for (std::size_t at = Home(h); m_slots[at].hash != kFree; at = (at + 1) & Mask())
      if (m_slots[at].hash == h && m_slots[at].node == node) {
        m_slots[at].hash = kRemoved;
        --m_live;
        return;
      }
  }

 private:
  static constexpr std::uint64_t kFree = 0, kRemoved = 1;
  struct Slot {
    std::uint64_t hash = kFree;
    Node node{};
  };

  static std::uint64_t Stored(std::uint64_t hash) { return hash > kRemoved ? hash : hash + 2; }
  std::size_t Mask() const { return m_slots.size() - 1; }
  std::size_t Home(std::uint64_t h) const {
    h ^= h >> 31;  // the low bits pick the slot: fold the high ones in
    h *= 0x9E3779B97F4A7C15ull;
    return static_cast<std::size_t>(h >> 32) & Mask();
  }

  // Moves the live nodes to `capacity` slots (a power of two; 16 for 0).
  void Rehash(std::size_t capacity) {
    if (capacity == 0) capacity = 16;
    std::vector<Slot> old(capacity);
    old.swap(m_slots);
    m_used = m_live = 0;
    for (const Slot& slot : old)
      if (slot.hash > kRemoved) {
        std::size_t at = Home(slot.hash);
        while (m_slots[at].hash != kFree) at = (at + 1) & Mask();
        m_slots[at] = slot;
        ++m_used;
        ++m_live;
      }
  }

  std::vector<Slot> m_slots;  // empty, or a power of two long
  std::size_t m_used = 0;     // slots not free (live or removed)
  std::size_t m_live = 0;
};

// Nodes under the bits of their GUIDs, in one open-addressed array of {bits, node} (the nil GUID marks a
// free slot; removal shifts the rest of a run back, so there are no tombstones). A lookup compares the bits
// in the slot and never reads the pattern, which in a large pool is a cache miss of its own, nor writes out
// and hashes a 38-character text. With text hashes and a check of the text, pool-growth's GUID lookups (the
// table's building included) took 290 ms of CPU time for 200,000 patterns instead of 112-122 (131 instead of
// 53 for 100,000); callgrind counted 12% more instructions and 13% more simulated last-level misses there.
template <typename Node>
class GuidSlots {
 public:
  // Room for `count` nodes without growing: a table built at once is made at its size, not doubled up to it.
  void Reserve(std::size_t count) {
    if (!Fits(count)) Rehash(CapacityFor(count));
  }

  void Insert(GuidBits bits, Node node) {  // bits not nil
    if (!Fits(m_live + 1)) Rehash(CapacityFor(2 * m_live + 1));
    std::size_t at = Home(bits);
    while (!m_slots[at].bits.Nil()) at = Next(at);
    m_slots[at] = Slot{bits, node};
    ++m_live;
  }

  void Prefetch(GuidBits bits) const {
    if (!m_slots.empty()) __builtin_prefetch(&m_slots[Home(bits)]);
  }

  // Calls visit(node) for each node under `bits` until it returns false.
  template <typename Visit>
  void Find(GuidBits bits, Visit visit) const {
    if (m_slots.empty()) return;
    for (std::size_t at = Home(bits); !m_slots[at].bits.Nil(); at = Next(at))
      if (m_slots[at].bits == bits && !visit(m_slots[at].node)) return;
  }

  void Erase(GuidBits bits, Node node) {
    if (m_slots.empty()) return;
    std::size_t at = Home(bits);
    while (!m_slots[at].bits.Nil() && !(m_slots[at].bits == bits && m_slots[at].node == node)) at = Next(at);
    if (m_slots[at].bits.Nil()) return;
    --m_live;
    // Every later slot of the run whose home is not after the hole moves back into it, leaving a new hole.
    for (std::size_t next = Next(at); !m_slots[next].bits.Nil(); next = Next(next)) {
      const std::size_t home = Home(m_slots[next].bits);
      if (Distance(home, next) >= Distance(at, next)) {
        m_slots[at] = m_slots[next];
        at = next;
      }
    }
    m_slots[at] = Slot{};
  }

 private:
  struct Slot {
    GuidBits bits;
    Node node{};
  };

  // At most seven tenths used, and sized to its count rather than to a power of two, which leaves a table
  // between 37% and 75% used: 200,000 patterns took 12.6 MB in 524,288 slots, and a lookup 324 ns; in 285,715
  // slots, 6.9 MB and 278 ns (at 100,000: 272 and 257 ns).
  bool Fits(std::size_t count) const { return count * 10 <= m_slots.size() * 7; }
  static std::size_t CapacityFor(std::size_t count) { return std::max<std::size_t>(16, count * 10 / 7 + 1); }
  std::size_t Next(std::size_t at) const { return at + 1 == m_slots.size() ? 0 : at + 1; }
  std::size_t Distance(std::size_t from, std::size_t to) const {
    return to >= from ? to - from : to + m_slots.size() - from;
  }
  std::size_t Home(GuidBits bits) const {
    std::uint64_t h = bits.high * 0x9E3779B97F4A7C15ull ^ bits.low;  // set GUIDs may differ in a few bits
    h ^= h >> 32;
    h *= 0xD6E8FEB86659FD93ull;
    // The high bits of h times the size: a slot in [0, size) without a division.
    return static_cast<std::size_t>((static_cast<unsigned __int128>(h) * m_slots.size()) >> 64);
  }

  void Rehash(std::size_t capacity) {
    std::vector<Slot> old(capacity);
    old.swap(m_slots);
    for (const Slot& slot : old)
      if (!slot.bits.Nil()) {
        std::size_t at = Home(slot.bits);
        while (!m_slots[at].bits.Nil()) at = Next(at);
        m_slots[at] = slot;
      }
  }

  std::vector<Slot> m_slots;  // empty, or at least 16 long
  std::size_t m_live = 0;
};

}  // namespace

// A name looked for, with its prefix made once for the whole call (an add made it five times). With the
// insertion hint below, this took pool-growth's adds from 255-268 ms of CPU time to 186-200 for 200,000
// patterns, and callgrind counted 19% fewer instructions for the whole run (2.50 billion against 2.01).
struct PoolIndex::NameProbe {
  const std::wstring* name;
  unsigned long long high = 0, low = 0;
};

// Every node, ordered by its pattern's user name under the collation and, for equal names, in list order.
// An entry holds its list node and the collation prefix of the pattern's name, not a full sort key, which
// costs more to make than the few comparisons a lookup needs. The prefix settles most comparisons without
// reading the name: in a pool of many thousand patterns the names lie all over memory. pool-growth took about
// 2.8 times as long with every comparison made by VdCollateNoCase on the names.
struct PoolIndex::Names {
  // Bit 7 of a prefix byte is never set by VdCollationPrefix: the last byte of each half carries a flag.
  static constexpr unsigned long long kFlag = 0x80;

  struct Entry {
    Node node{};
    unsigned long long high = 0;  // kFlag: the name has at most 16 characters
    unsigned long long low = 0;   // kFlag: high and low hold the name's collation prefix
  };
  using Probe = NameProbe;

  static const std::wstring& NameOf(const Entry& e) { return (*e.node)->m_userName.str(); }
  static const std::wstring& NameOf(const Probe& p) { return *p.name; }

  template <typename Key>
  static Key Make(const std::wstring& name, Key key) {
    if (VdCollationPrefix(name, key.high, key.low)) {
      key.low |= kFlag;
      if (name.size() <= 16) key.high |= kFlag;
    }
    return key;
  }
  static Entry Of(Node node) { return Make((*node)->m_userName.str(), Entry{node}); }
  static Probe Of(const std::wstring& name) { return Make(name, Probe{&name}); }

  struct ByName {
    template <typename A, typename B>
    bool operator()(const A& a, const B& b) const {
      if (a.low & b.low & kFlag) {
        if ((a.high | kFlag) != (b.high | kFlag)) return (a.high | kFlag) < (b.high | kFlag);
        if (a.low != b.low) return a.low < b.low;
        if (a.high & b.high & kFlag) return false;  // the prefixes were the whole names
      }
      return VdCollateNoCase(NameOf(a), NameOf(b)) < 0;
    }
  };
  static bool Less(const Entry& a, const Probe& b) { return ByName()(a, b); }

  // The entries in order, in blocks of at most kMaxBlock, with the first entry of each block in one array of
  // its own: a descent searches that array, then one block, both contiguous. A balanced tree of one node per
  // entry reads a node from anywhere in memory at each of its ~18 levels: with std::multiset in its place, a
  // 200,000-pattern pool-growth run took 1.45 us an operation instead of 1.0, and the index 64 bytes a pattern
  // instead of about 30.
  class Sorted {
   public:
    struct Pos {
      std::size_t block = 0, at = 0;  // block == block count: the end
    };

    template <typename Key>
    Pos UpperBound(const Key& key) const {
      const auto later = [](const Key& k, const Entry& e) { return ByName()(k, e); };
      return Within(std::upper_bound(m_firsts.begin(), m_firsts.end(), key, later) - m_firsts.begin(),
                    [&](const Block& b) { return std::upper_bound(b.begin(), b.end(), key, later); });
    }
    template <typename Key>
    Pos LowerBound(const Key& key) const {
      const auto earlier = [](const Entry& e, const Key& k) { return ByName()(e, k); };
      return Within(std::lower_bound(m_firsts.begin(), m_firsts.end(), key, earlier) - m_firsts.begin(),
                    [&](const Block& b) { return std::lower_bound(b.begin(), b.end(), key, earlier); });
    }

    // Whether `p` is the place UpperBound(key) gives; false for a place out of range.
    template <typename Key>
    bool IsUpperBound(Pos p, const Key& key) const {
      if (p.block > m_blocks.size() || (p.block < m_blocks.size() ? p.at >= m_blocks[p.block].size() : p.at != 0))
        return false;
      if (!AtEnd(p) && !ByName()(key, At(p))) return false;
      const Entry* before = Before(p);
      return !before || !ByName()(key, *before);
    }
    // The entry before `p`, a place in range; null at the beginning.
    const Entry* Before(Pos p) const {
      return p.at > 0 ? &m_blocks[p.block][p.at - 1] : p.block > 0 ? &m_blocks[p.block - 1].back() : nullptr;
    }

    Pos Begin() const { return Pos{}; }
    bool AtEnd(Pos p) const { return p.block == m_blocks.size(); }
    const Entry& At(Pos p) const { return m_blocks[p.block][p.at]; }
    void Next(Pos& p) const {
      if (++p.at == m_blocks[p.block].size()) p = Pos{p.block + 1, 0};
    }
    const Entry* Last() const { return m_blocks.empty() ? nullptr : &m_blocks.back().back(); }

    void Insert(Pos p, const Entry& entry) {
      if (m_blocks.empty()) {
        m_blocks.emplace_back(1, entry);
        m_firsts.push_back(entry);
        return;
      }
      if (p.at == 0 && p.block > 0) p = Pos{p.block - 1, m_blocks[p.block - 1].size()};  // the same place
      Block& block = m_blocks[p.block];
      block.insert(block.begin() + static_cast<std::ptrdiff_t>(p.at), entry);
      if (p.at == 0) m_firsts[p.block] = entry;
      if (block.size() > kMaxBlock) {
        Block upper(block.begin() + kMaxBlock / 2, block.end());
        block.resize(kMaxBlock / 2);
        m_firsts.insert(m_firsts.begin() + static_cast<std::ptrdiff_t>(p.block) + 1, upper.front());
        m_blocks.insert(m_blocks.begin() + static_cast<std::ptrdiff_t>(p.block) + 1, std::move(upper));
      }
    }
    void PushBack(const Entry& entry) { Insert(Pos{m_blocks.size(), 0}, entry); }
    void Erase(Pos p) {
      Block& block = m_blocks[p.block];
      block.erase(block.begin() + static_cast<std::ptrdiff_t>(p.at));
      if (block.empty()) {
        m_blocks.erase(m_blocks.begin() + static_cast<std::ptrdiff_t>(p.block));
        m_firsts.erase(m_firsts.begin() + static_cast<std::ptrdiff_t>(p.block));
      } else if (p.at == 0) {
        m_firsts[p.block] = block.front();
      }
    }

   private:
    using Block = std::vector<Entry>;
    // With 128, a 200,000-pattern pool's array of first entries (50 KB) no longer fits a 48 KB first-level
    // cache, while a 100,000-pattern pool's does; with 256 its adds took 634 ns instead of 650 and its name
    // lookups 293 instead of 305 (at 100,000: 617 and 590, 266 and 262). Blocks of 32 or 64 were slower at both.
    static constexpr std::size_t kMaxBlock = 256;

    // The place a search gives, when blocks before `firstsAfter` begin at or before it: inside the block just
    // before, or at the start of the next one.
    template <typename Search>
    Pos Within(std::size_t firstsAfter, Search search) const {
      if (firstsAfter == 0) return Pos{0, 0};
      const Block& block = m_blocks[firstsAfter - 1];
      const std::size_t at = static_cast<std::size_t>(search(block) - block.begin());
      return at == block.size() ? Pos{firstsAfter, 0} : Pos{firstsAfter - 1, at};
    }

    std::vector<Block> m_blocks;  // none empty
    std::vector<Entry> m_firsts;  // the first entry of each block
  };

  Sorted entries;
  // Where the last UpperBound(pattern) put its pattern: the pool inserts the node there next, and Insert takes
  // that place once two comparisons with its neighbours confirm it, instead of a second descent.
  Sorted::Pos hint;
};

// GUIDs in the brace form by their bits, any other GUID text (and the nil GUID) by a hash of the text.
struct PoolIndex::Guids {
  GuidSlots<Node> byBits;
  HashedNodes<Node> byText;

  // The bits of a pattern's GUID, read in place; nil when it is not in the brace form.
  static GuidBits Bits(const CVdPattern& pattern) {
    if (pattern.m_guidIsBits) return BitsOf(pattern.m_guidBits);
    return pattern.m_guidText ? ParseGuid(pattern.m_guidText->str()) : GuidBits{};
  }

  void Prefetch(const CVdPattern& pattern) const {
    if (pattern.m_guidIsBits) byBits.Prefetch(BitsOf(pattern.m_guidBits));
  }

  void Insert(Node node) {
    const GuidBits bits = Bits(**node);
    if (!bits.Nil()) return byBits.Insert(bits, node);
    wchar_t text[40];
    byText.Insert(GuidKey((*node)->GuidText(text)), node);
  }
  void Erase(Node node) {
    const GuidBits bits = Bits(**node);
    if (!bits.Nil()) return byBits.Erase(bits, node);
    wchar_t text[40];
    byText.Erase(GuidKey((*node)->GuidText(text)), node);
  }

  // How many nodes hold the GUID whose bits are `bits` and whose text is `guid` (read only when the bits are
  // nil): 0, 1, or 2 for several; `found` is the one when 1.
  int Count(GuidBits bits, std::wstring_view guid, Node& found) const {
    int hits = 0;
    const auto hit = [&](Node node) {
      found = node;
      return ++hits < 2;
    };
    if (!bits.Nil()) {
      byBits.Find(bits, hit);
    } else {
      wchar_t text[40];
      byText.Find(GuidKey(guid), [&](Node node) {
        return VdCompareNoCase((*node)->GuidText(text), guid) != 0 || hit(node);  // skips another GUID's hash
      });
    }
    return hits;
  }
};

PoolIndex::PoolIndex(List& patterns) : m_patterns(patterns) {}

PoolIndex::~PoolIndex() = default;

bool PoolIndex::Holds(const CVdPattern& pattern) {
  // The pattern must answer its name, GUID and comparison with CVdPattern's own code, so that its fields are
  // what the walk of the list would read.
  using NameFn = CString (CVdPattern::*)();
  using EqualFn = int (CVdPattern::*)(const CVdPattern&, bool, bool) const;
  static const CVdPattern reference(0);
  return !pattern.m_identityExposed &&
         KeepsBaseSlot(pattern, reference, static_cast<NameFn>(&CVdPattern::GetUserNameW)) &&
         KeepsBaseSlot(pattern, reference, static_cast<NameFn>(&CVdPattern::GetGUID)) &&
         KeepsBaseSlot(pattern, reference, static_cast<EqualFn>(&CVdPattern::IsEqual));
}

// ---------------------------------------------------------------- state

bool PoolIndex::Ready() {
  if (m_epoch != vdpattern::PooledIdentityEpoch()) m_state = State::kStale;
  if (m_state == State::kStale) Check();
  return m_state == State::kValid;
}

void PoolIndex::Check() {
  Invalidate();
  m_epoch = vdpattern::PooledIdentityEpoch();
  m_state = State::kValid;
  for (Node node = m_patterns.begin(); node != m_patterns.end(); ++node) {
    CVdPattern* p = *node;
    if (!p || !Holds(*p) ||
        (node != m_patterns.begin() && Names::ByName()(Names::Of(node), Names::Of(std::prev(node))))) {
      Block();
      return;
    }
    if (!p->m_guidIsBits) ++m_givenGuids;
  }
}

void PoolIndex::Block() {
  Invalidate();
  m_state = State::kBlocked;
}

// The list's nodes lie in name order all over the heap, and a walk that frees them waits for each in turn.
// While the name entries are the list's nodes in list order, they say which nodes come next, and those are
// asked for a few places ahead: freeing a 200,000-pattern pool's list took 10-15 ms of CPU time instead of
// 37-42 (4-6 instead of 8-16 for 100,000), which is most of pool-growth's destruction.
void PoolIndex::ReleaseList() {
  std::unique_ptr<Names> names;
  if (m_state == State::kValid && m_epoch == vdpattern::PooledIdentityEpoch()) names = std::move(m_names);
  Invalidate();
  if (names) {
    constexpr int kAhead = 8;
    const auto& entries = names->entries;
    auto ahead = entries.Begin();
    for (int k = 0; k < kAhead && !entries.AtEnd(ahead); ++k) entries.Next(ahead);
    for (; !entries.AtEnd(ahead); entries.Next(ahead)) {
      const char* value = reinterpret_cast<const char*>(&*entries.At(ahead).node);
      __builtin_prefetch(value - 24);  // the allocator's size word and the node's links
      __builtin_prefetch(value);
      m_patterns.pop_front();
    }
  }
  m_patterns.clear();
}

void PoolIndex::Invalidate() {
  m_names.reset();
  m_guids.reset();
  m_givenGuids = 0;
  m_state = State::kStale;
}

// Built on first need: a family read in name order only ever compares with the last name. Built on the first
// add instead, the tree cost catalog-family-read some 7% more CPU time and pattern-memory-kb 0.6 KB more.
PoolIndex::Names& PoolIndex::BuiltNames() {
  if (!m_names) {
    m_names = std::make_unique<Names>();
    for (Node node = m_patterns.begin(); node != m_patterns.end(); ++node) m_names->entries.PushBack(Names::Of(node));
  }
  return *m_names;
}

// Built on the first question about a GUID: adding patterns whose GUIDs were generated for them to a pool that
// holds no other kind needs no GUID check, and a read family is often never asked one.
PoolIndex::Guids& PoolIndex::BuiltGuids() {
  if (!m_guids) {
    m_guids = std::make_unique<Guids>();
    m_guids->byBits.Reserve(m_patterns.size());
    if (m_names) return BuildGuidsAhead();
    for (Node node = m_patterns.begin(); node != m_patterns.end(); ++node) m_guids->Insert(node);
  }
  return *m_guids;
}

// With the name entries built, the list's nodes are in one array in list order, so what the build reads next
// can be asked for ahead: the node 16 places on, the GUID of the pattern 8 on, the table slot of the one 4 on.
// A walk of the list waits on each node, then on its pattern, then on its slot, all anywhere in memory once
// patterns were added out of name order: pool-growth's first GUID question took 35-44 ms of CPU time to build
// the table for 200,000 patterns that way, 16-18 ms this way (13.6-15.5 against 6.7-7.9 for 100,000).
PoolIndex::Guids& PoolIndex::BuildGuidsAhead() {
  const auto& entries = m_names->entries;
  const auto start = [&](int places) {
    auto at = entries.Begin();
    for (int k = 0; k < places && !entries.AtEnd(at); ++k) entries.Next(at);
    return at;
  };
  auto node = entries.Begin(), slot = start(4), guid = start(8), ahead = start(16);
  for (; !entries.AtEnd(node); entries.Next(node)) {
    if (!entries.AtEnd(ahead)) {
      __builtin_prefetch(&*entries.At(ahead).node);
      entries.Next(ahead);
    }
    if (!entries.AtEnd(guid)) {
      __builtin_prefetch(&(*entries.At(guid).node)->m_guidBits);
      entries.Next(guid);
    }
    if (!entries.AtEnd(slot)) {
      m_guids->Prefetch(**entries.At(slot).node);
      entries.Next(slot);
    }
    m_guids->Insert(entries.At(node).node);
  }
  return *m_guids;
}

// Whether `name` collates after every pooled name, as it does for each pattern of a family read in name order.
bool PoolIndex::PastLast(const NameProbe& probe) {
  if (m_patterns.empty()) return true;
  const Names::Entry* last = m_names ? m_names->entries.Last() : nullptr;
  return last ? Names::Less(*last, probe) : Names::Less(Names::Of(std::prev(m_patterns.end())), probe);
}

// ---------------------------------------------------------------- questions

PoolIndex::Node PoolIndex::UpperBound(const CVdPattern& pattern) {
  const Names::Probe probe = Names::Of(pattern.m_userName.str());
  if (PastLast(probe)) return m_patterns.end();
  Names& names = BuiltNames();
  const auto at = names.entries.UpperBound(probe);
  names.hint = at;
  // The pool links the new node between the list nodes of these two entries: asked for together here, the
  // two reads overlap instead of the second waiting for the first. This took pool-growth's 200,000 adds from
  // 134-161 ms of CPU time to 119-126 (56-62 to 53-54 for 100,000).
  if (const Names::Entry* before = names.entries.Before(at)) __builtin_prefetch(&*before->node);
  if (names.entries.AtEnd(at)) return m_patterns.end();
  __builtin_prefetch(&*names.entries.At(at).node);
  return names.entries.At(at).node;
}

CVdPattern* PoolIndex::FindByName(const std::wstring& name) {
  const Names::Probe probe = Names::Of(name);
  if (PastLast(probe)) return nullptr;
  const auto& entries = BuiltNames().entries;
  const auto at = entries.LowerBound(probe);
  return !entries.AtEnd(at) && !Names::ByName()(probe, entries.At(at)) ? *entries.At(at).node : nullptr;
}

CVdPattern* PoolIndex::FindByName(const CVdPattern& like, const std::function<bool(CVdPattern*)>& match) {
  const Names::Probe probe = Names::Of(like.m_userName.str());
  if (PastLast(probe)) return nullptr;
  const auto& entries = BuiltNames().entries;
  const auto first = entries.LowerBound(probe);
  // An add asks this first, then links its node beside the nodes found here: asked for now, they have arrived
  // by then. In a pool-growth run this took an add from 686 ns to 641 at 200,000 patterns (605 to 590 at
  // 100,000), on top of the reading ahead in UpperBound, which comes too late to hide the whole wait.
  if (const Names::Entry* before = entries.Before(first)) __builtin_prefetch(&*before->node);
  if (!entries.AtEnd(first)) __builtin_prefetch(&*entries.At(first).node);
  for (auto at = first; !entries.AtEnd(at) && !Names::ByName()(probe, entries.At(at)); entries.Next(at))
    if (match(*entries.At(at).node)) return *entries.At(at).node;
  return nullptr;
}

int PoolIndex::FindByGuid(std::wstring_view guid, Node& found) {
  return BuiltGuids().Count(ParseGuid(guid), guid, found);
}

// A GUID generated for its pattern (and never set or handed out since, CVdPattern::m_guidIsBits) is held by no
// other pattern unless copied from it, which gives the copy a set GUID: among patterns with generated GUIDs
// only, there is nothing to look for. A family read gives its patterns such GUIDs; checking them anyway cost
// catalog-family-read some 10% more CPU time and pattern-memory-kb 0.4 KB more (the table of GUIDs).
bool PoolIndex::HoldsGuidOf(const CVdPattern& pattern) {
  if (pattern.m_guidIsBits && m_givenGuids == 0) return false;
  const GuidBits bits = Guids::Bits(pattern);
  wchar_t text[40];
  Node found;
  return BuiltGuids().Count(bits, bits.Nil() ? pattern.GuidText(text) : std::wstring_view(), found) > 0;
}

// ---------------------------------------------------------------- upkeep

void PoolIndex::Insert(Node node) {
  CVdPattern* p = *node;
  ++p->m_poolCount;
  if (m_epoch != vdpattern::PooledIdentityEpoch()) m_state = State::kStale;
  if (m_state != State::kValid) return;
  if (!Holds(*p)) return Block();
  if (m_names) {
    auto& entries = m_names->entries;
    // Equal names are in list order, and the node follows every equal name, as an upper bound does. Past the
    // last name (a read in name order) the end is the place, found without a descent.
    const Names::Entry entry = Names::Of(node);
    if (std::next(node) == m_patterns.end())
      entries.PushBack(entry);
    else
      entries.Insert(entries.IsUpperBound(m_names->hint, entry) ? m_names->hint : entries.UpperBound(entry), entry);
  }
  if (m_guids) m_guids->Insert(node);
  if (!p->m_guidIsBits) ++m_givenGuids;
}

void PoolIndex::Erase(Node node) {
  CVdPattern* p = *node;
  if (p) --p->m_poolCount;
  if (m_epoch != vdpattern::PooledIdentityEpoch()) m_state = State::kStale;
  if (m_state == State::kBlocked) m_state = State::kStale;  // the pattern that blocked the index may be leaving
  if (m_state != State::kValid) return;
  if (m_names) {
    auto& entries = m_names->entries;
    const Names::Entry entry = Names::Of(node);
    for (auto at = entries.LowerBound(entry); !entries.AtEnd(at) && !Names::ByName()(entry, entries.At(at));
         entries.Next(at))
      if (entries.At(at).node == node) {
        entries.Erase(at);
        break;
      }
  }
  if (m_guids) m_guids->Erase(node);
  if (!p->m_guidIsBits) --m_givenGuids;
}
