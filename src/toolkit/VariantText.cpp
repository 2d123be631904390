#include "toolkit/VariantText.h"

#include <atomic>
#include <mutex>
#include <unordered_map>

namespace vdpattern::toolkit {

namespace {

struct Texts {
  std::mutex mutex;
  std::unordered_map<const VARIANT*, CString> byVariant;
  std::atomic<std::size_t> count{0};  // read without the lock by every VariantClear
};

// Never destroyed: variants with static storage may be cleared after the end of main.
Texts& Table() {
  static Texts* texts = new Texts();
  return *texts;
}

}  // namespace

const wchar_t* KeepVariantText(const VARIANT* var, CString text) {
  Texts& t = Table();
  std::lock_guard<std::mutex> lock(t.mutex);
  auto [it, inserted] = t.byVariant.try_emplace(var);
  if (inserted) t.count.store(t.byVariant.size(), std::memory_order_relaxed);
  if (inserted || it->second != text) it->second = std::move(text);
  return it->second.GetString();
}

void ForgetVariantText(const VARIANT* var) {
  Texts& t = Table();
  if (t.count.load(std::memory_order_relaxed) == 0) return;
  std::lock_guard<std::mutex> lock(t.mutex);
  if (t.byVariant.erase(var)) t.count.store(t.byVariant.size(), std::memory_order_relaxed);
}

}  // namespace vdpattern::toolkit
