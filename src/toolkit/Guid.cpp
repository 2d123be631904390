#include <vdpattern/toolkit/Guid.h>

#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <random>

namespace {

struct Generator {
  std::mutex mutex;
  std::mt19937_64 engine;
  bool seeded = false;
};

Generator& TheGenerator() {
  static Generator g;
  return g;
}

std::atomic<bool> g_reseed{false};

void ReseedAfterFork() { g_reseed.store(true); }

void Seed(Generator& g) {
  std::random_device device;
  std::seed_seq seq{device(), device(), device(), device(), device(), device(), device(), device()};
  g.engine.seed(seq);
  g.seeded = true;
}

}  // namespace

HRESULT CoCreateGuid(GUID* guid) {
  if (!guid) return E_INVALIDARG;
  static const int registered = pthread_atfork(nullptr, nullptr, ReseedAfterFork);
  (void)registered;
  Generator& g = TheGenerator();
  std::uint64_t hi, lo;
  try {
    std::lock_guard<std::mutex> lock(g.mutex);
    if (!g.seeded || g_reseed.exchange(false)) Seed(g);
    hi = g.engine();
    lo = g.engine();
  } catch (...) {
    return E_FAIL;  // no entropy source
  }
  hi = (hi & ~0xF000ull) | 0x4000ull;              // version 4
  lo = (lo & ~(0xC0ull << 56)) | (0x80ull << 56);  // RFC 4122 variant
  guid->Data1 = static_cast<DWORD>(hi >> 32);
  guid->Data2 = static_cast<WORD>(hi >> 16);
  guid->Data3 = static_cast<WORD>(hi);
  for (int i = 0; i < 8; ++i) guid->Data4[i] = static_cast<BYTE>(lo >> (56 - 8 * i));
  return S_OK;
}

int StringFromGUID2(REFGUID guid, LPOLESTR text, int size) {
  if (!text || size < 39) return 0;
  static const wchar_t hex[] = L"0123456789ABCDEF";
  wchar_t* p = text;
  auto put = [&p](unsigned long long value, int digits) {
    for (int i = digits - 1; i >= 0; --i) *p++ = hex[(value >> (4 * i)) & 15];
  };
  *p++ = L'{';
  put(guid.Data1, 8);
  *p++ = L'-';
  put(guid.Data2, 4);
  *p++ = L'-';
  put(guid.Data3, 4);
  *p++ = L'-';
  put(guid.Data4[0], 2);
  put(guid.Data4[1], 2);
  *p++ = L'-';
  for (int i = 2; i < 8; ++i) put(guid.Data4[i], 2);
  *p++ = L'}';
  *p = L'\0';
  return 39;
}
