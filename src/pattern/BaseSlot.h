#pragma once
// Whether an object answers a virtual slot with its base class's own code, so that a caller may take a shortcut
// that only this code allows (a pool reading a pattern's fields in place, a catalog lending a factory the units
// map). GCC resolves a slot bound to an object to the address of the function it calls; other compilers fall
// back to the exact type, which is stricter: there a derived class takes the general path even when it
// overrides nothing.

#include <typeinfo>

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpmf-conversions"
#endif

// `reference` is an object of exactly Base; `slot` a virtual member function of Base.
template <typename Base, typename Slot>
bool KeepsBaseSlot(const Base& object, const Base& reference, Slot Base::*slot) {
#if defined(__GNUC__) && !defined(__clang__)
  auto& mine = const_cast<Base&>(object);
  auto& base = const_cast<Base&>(reference);
  return reinterpret_cast<void*>(mine.*slot) == reinterpret_cast<void*>(base.*slot);
#else
  (void)reference;
  (void)slot;
  return typeid(object) == typeid(Base);
#endif
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
