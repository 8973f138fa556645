#include "lowlevel/heap/heap_bitmap.h"

#include <bit>

namespace revurov::mm {

namespace {

inline int highestBit(uint32_t v) { return 31 - std::countl_zero(v); }

// Brings both summary bits of word w in line with the word. Runs until the
// word did not change under it, so the last changer of a word always leaves
// its summaries right, whatever order concurrent fixers ran in.
void fixSummaries(TnxBitmap1024& b, unsigned w) {
  const uint32_t bit = 1u << w;
  for (;;) {
    const uint32_t v = b.words[2 + w].load();
    if (v) b.words[0].fetch_or(bit); else b.words[0].fetch_and(~bit);
    if (v == ~0u) b.words[1].fetch_or(bit); else b.words[1].fetch_and(~bit);
    if (b.words[2 + w].load() == v) return;
  }
}

inline void afterChange(TnxBitmap1024& b, unsigned w, uint32_t oldV, uint32_t newV) {
  if ((oldV == 0) != (newV == 0) || (oldV == ~0u) != (newV == ~0u)) fixSummaries(b, w);
}

int takeHighest(TnxBitmap1024& b, bool* becameEmpty) {
  for (;;) {
    const uint32_t s = b.words[0].load();
    if (s == 0) {
      // The summary may lag a word that was just set: look at the words.
      bool any = false;
      for (unsigned w = 0; w < 32 && !any; ++w) any = b.words[2 + w].load() != 0;
      if (!any) {
        if (becameEmpty) *becameEmpty = false;
        return -1;
      }
      for (unsigned w = 0; w < 32; ++w)
        if (b.words[2 + w].load()) fixSummaries(b, w);
      continue;
    }
    const unsigned w = highestBit(s);
    uint32_t v = b.words[2 + w].load();
    if (v == 0) {
      fixSummaries(b, w);
      continue;
    }
    const unsigned bit = highestBit(v);
    const uint32_t nv = v & ~(1u << bit);
    if (!b.words[2 + w].compare_exchange_strong(v, nv)) continue;
    afterChange(b, w, v, nv);
    if (becameEmpty) *becameEmpty = nv == 0 && b.words[0].load() == 0;
    return static_cast<int>(w * 32 + bit);
  }
}

}  // namespace

int nxBitmapFindHighest(const TnxBitmap1024& b) {
  for (;;) {
    const uint32_t s = b.words[0].load();
    if (s == 0) {
      if (nxBitmapIsEmpty(b)) return -1;
      for (unsigned w = 0; w < 32; ++w)
        if (b.words[2 + w].load()) fixSummaries(const_cast<TnxBitmap1024&>(b), w);
      continue;
    }
    const unsigned w = highestBit(s);
    const uint32_t v = b.words[2 + w].load();
    if (v == 0) {
      fixSummaries(const_cast<TnxBitmap1024&>(b), w);
      continue;
    }
    return static_cast<int>(w * 32 + highestBit(v));
  }
}

int nxBitmapTakeHighest(TnxBitmap1024& b) { return takeHighest(b, nullptr); }

int nxBitmapTakeHighestEx(TnxBitmap1024& b, bool& becameEmpty) { return takeHighest(b, &becameEmpty); }

bool nxBitmapSetEx(TnxBitmap1024& b, unsigned i, bool& wasEmpty) {
  const unsigned w = i / 32;
  const uint32_t mask = 1u << (i % 32);
  uint32_t v = b.words[2 + w].load();
  do {
    if (v & mask) {
      wasEmpty = false;
      return false;
    }
  } while (!b.words[2 + w].compare_exchange_weak(v, v | mask));
  wasEmpty = v == 0 && b.words[0].load() == 0;
  afterChange(b, w, v, v | mask);
  return true;
}

bool nxBitmapSet(TnxBitmap1024& b, unsigned i) {
  bool wasEmpty;
  return nxBitmapSetEx(b, i, wasEmpty);
}

bool nxBitmapClear(TnxBitmap1024& b, unsigned i) {
  const unsigned w = i / 32;
  const uint32_t mask = 1u << (i % 32);
  uint32_t v = b.words[2 + w].load();
  do {
    if (!(v & mask)) return false;
  } while (!b.words[2 + w].compare_exchange_weak(v, v & ~mask));
  afterChange(b, w, v, v & ~mask);
  return true;
}

void nxBitmapToggle(TnxBitmap1024& b, unsigned i) {
  const unsigned w = i / 32;
  const uint32_t mask = 1u << (i % 32);
  const uint32_t v = b.words[2 + w].fetch_xor(mask);
  afterChange(b, w, v, v ^ mask);
}

bool nxBitmapTest(const TnxBitmap1024& b, unsigned i) {
  return (b.words[2 + i / 32].load(std::memory_order_acquire) >> (i % 32)) & 1;
}

bool nxBitmapIsEmpty(const TnxBitmap1024& b) {
  for (unsigned w = 0; w < 32; ++w)
    if (b.words[2 + w].load()) return false;
  return true;
}

bool nxBitmapTakeWord(TnxBitmap1024& b, unsigned w, uint32_t expected) {
  uint32_t v = expected;
  if (expected == 0 || !b.words[2 + w].compare_exchange_strong(v, 0)) return false;
  afterChange(b, w, expected, 0);
  return true;
}

uint32_t nxBitmapOrWord(TnxBitmap1024& b, unsigned w, uint32_t bits) {
  const uint32_t v = b.words[2 + w].fetch_or(bits);
  afterChange(b, w, v, v | bits);
  return v;
}

void nxBitmapMergeInto(TnxBitmap1024& src, TnxBitmap1024& dst) {
  for (int w = 31; w >= 0; --w) {
    const uint32_t v = src.words[2 + w].exchange(0);
    if (v == 0) continue;
    afterChange(src, w, v, 0);
    nxBitmapOrWord(dst, w, v);
  }
}

void nxBitmapSetPlain(TnxBitmap1024& b, unsigned i) {
  auto& word = b.words[2 + i / 32];
  word.store(word.load(std::memory_order_relaxed) | (1u << (i % 32)), std::memory_order_relaxed);
}

void nxBitmapBuildSummaries(TnxBitmap1024& b) {
  uint32_t nonEmpty = 0, full = 0;
  for (unsigned w = 0; w < 32; ++w) {
    const uint32_t v = b.words[2 + w].load(std::memory_order_relaxed);
    if (v) nonEmpty |= 1u << w;
    if (v == ~0u) full |= 1u << w;
  }
  b.words[0].store(nonEmpty);
  b.words[1].store(full);
}

void nxBitmapClearAll(TnxBitmap1024& b) {
  for (auto& w : b.words) w.store(0);
}

}  // namespace revurov::mm
