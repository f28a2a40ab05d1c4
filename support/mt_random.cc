#include "support/mt_random.h"

namespace dtk {

MtDefaultRandom sizeRandom;

MtRandom::MtRandom(uint32_t seed) { Seed(seed); }

MtRandom::~MtRandom() = default;

void MtRandom::Seed(uint32_t seed) {
  // make_unique would value-initialise; the words are all set below anyway.
  state_.reset(new uint32_t[kStateLength]);
  index_ = kStateLength;
  state_[0] = seed;
  for (uint32_t i = 1; i < kStateLength; ++i) {
    uint32_t prev = state_[i - 1];
    state_[i] = 1812433253u * (prev ^ (prev >> 30)) + i;
  }
}

void MtRandom::Regenerate() {
  uint32_t* s = state_.get();
  auto twist = [s](uint32_t k, uint32_t following, uint32_t partner) {
    uint32_t y = (s[k] & kUpperMask) | (s[following] & kLowerMask);
    s[k] = s[partner] ^ (y >> 1) ^ ((y & 1u) ? kTwistMatrix : 0u);
  };
  // In place: words below k are read in their new form, as the recurrence
  // requires.
  uint32_t k = 0;
  for (; k < kStateLength - kMiddleOffset; ++k) twist(k, k + 1, k + kMiddleOffset);
  for (; k < kStateLength - 1; ++k) twist(k, k + 1, k - (kStateLength - kMiddleOffset));
  twist(kStateLength - 1, 0, kMiddleOffset - 1);
}

uint32_t MtRandom::Next() {
  if (index_ == kStateLength) {
    Regenerate();
    index_ = 0;
  }
  uint32_t y = state_[index_++];
  y ^= y >> 11;
  y ^= (y << 7) & 0x9D2C5680u;
  y ^= (y << 15) & 0xEFC60000u;
  y ^= y >> 18;
  return y;
}

}  // namespace dtk
