// TnxBitmap1024: 1024 bits with two summary words, changed lock-free.
//
// Word 0 has bit w set when bit word 2 + w is not 0, word 1 when it is all
// ones. Every change to a bit word is one compare-exchange; the thread whose
// change moved a word between empty, partly set and full brings the two
// summaries up to date afterwards, so a reader may briefly see a summary
// that lags its word and retries. Searches always take the highest set bit.
#pragma once

#include <atomic>
#include <cstdint>

namespace revurov::mm {

struct TnxBitmap1024 {
  std::atomic<uint32_t> words[34] = {};
};

int nxBitmapFindHighest(const TnxBitmap1024& b);  // -1 when empty
int nxBitmapTakeHighest(TnxBitmap1024& b);        // -1 when empty
// As nxBitmapTakeHighest; becameEmpty tells whether the take left no bit set.
int nxBitmapTakeHighestEx(TnxBitmap1024& b, bool& becameEmpty);
bool nxBitmapSet(TnxBitmap1024& b, unsigned i);  // false when already set
bool nxBitmapSetEx(TnxBitmap1024& b, unsigned i, bool& wasEmpty);
bool nxBitmapClear(TnxBitmap1024& b, unsigned i);  // false when already clear
void nxBitmapToggle(TnxBitmap1024& b, unsigned i);
bool nxBitmapTest(const TnxBitmap1024& b, unsigned i);
bool nxBitmapIsEmpty(const TnxBitmap1024& b);
// Moves every set bit of src into dst, word by word.
void nxBitmapMergeInto(TnxBitmap1024& src, TnxBitmap1024& dst);
// Takes word w whole when it equals expected; false (and nothing changed)
// otherwise.
bool nxBitmapTakeWord(TnxBitmap1024& b, unsigned w, uint32_t expected);
// ORs bits into word w; the word's value before.
uint32_t nxBitmapOrWord(TnxBitmap1024& b, unsigned w, uint32_t bits);
// Start-up only, not atomic against other users.
void nxBitmapSetPlain(TnxBitmap1024& b, unsigned i);
void nxBitmapBuildSummaries(TnxBitmap1024& b);
void nxBitmapClearAll(TnxBitmap1024& b);

}  // namespace revurov::mm
