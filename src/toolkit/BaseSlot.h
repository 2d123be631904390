#pragma once
// Whether an object answers a virtual slot with its base class's own code, so that a caller may take a shortcut
// that only this code allows: a pool indexing a pattern by the fields its name and GUID slots read, a pattern
// keeping the values it reads in one block, a catalog lending a factory the units map. A host class derived
// only to add behaviour keeps these shortcuts; one that overrides the slot takes the general path.
//
// The answer reads the object's virtual table through the pointer to member, laid out by the C++ ABI that GCC
// and clang share on Linux (the Itanium ABI, with its ARM variant): one path for every compiler of the
// platform. Elsewhere the exact type decides, which is stricter: a derived class then takes the general path
// even when it overrides nothing. Without it, a pool of a host's derived patterns walks its whole list for
// every lookup and every add (a family read into a pool becomes quadratic).

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <typeinfo>

// `reference` is an object of exactly Base; `slot` a member function of Base.
template <typename Base, typename Slot>
bool KeepsBaseSlot(const Base& object, const Base& reference, Slot Base::*slot) {
#if defined(__GXX_ABI_VERSION)
  struct MemberPointer {
    std::uintptr_t ptr;
    std::ptrdiff_t adj;
  };
  static_assert(sizeof(slot) == sizeof(MemberPointer), "a pointer to member function is two words");
  MemberPointer pm;
  std::memcpy(&pm, &slot, sizeof pm);
#if defined(__arm__) || defined(__aarch64__)
  const bool isVirtual = pm.adj & 1;  // the ARM variant keeps the flag in the adjustment
  const std::ptrdiff_t adjust = pm.adj >> 1;
  const std::uintptr_t offset = pm.ptr;
#else
  const bool isVirtual = pm.ptr & 1;  // a virtual slot is its table offset plus one
  const std::ptrdiff_t adjust = pm.adj;
  const std::uintptr_t offset = pm.ptr - 1;
#endif
  if (!isVirtual) return true;  // nobody can override a function that is not virtual
  const auto entry = [&](const Base& o) {
    const unsigned char* self = reinterpret_cast<const unsigned char*>(&o) + adjust;
    const unsigned char* table;
    std::memcpy(&table, self, sizeof table);
    void* function;
    std::memcpy(&function, table + offset, sizeof function);
    return function;
  };
  return entry(object) == entry(reference);
#else
  (void)reference;
  (void)slot;
  return typeid(object) == typeid(Base);
#endif
}
