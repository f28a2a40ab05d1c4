// MT19937 Mersenne Twister: 32-bit outputs, 624 words of state.
#ifndef DTK_SUPPORT_MT_RANDOM_H_
#define DTK_SUPPORT_MT_RANDOM_H_

#include <cstdint>
#include <memory>

namespace dtk {

class MtRandom {
 public:
  static constexpr uint32_t kStateLength = 624;
  static constexpr uint32_t kMiddleOffset = 397;
  static constexpr uint32_t kTwistMatrix = 0x9908B0DFu;
  static constexpr uint32_t kUpperMask = 0x80000000u;
  static constexpr uint32_t kLowerMask = 0x7FFFFFFFu;

  explicit MtRandom(uint32_t seed);
  virtual ~MtRandom();
  MtRandom(const MtRandom&) = delete;
  MtRandom& operator=(const MtRandom&) = delete;

  // The next tempered output; regenerates the state block every 624 draws.
  uint32_t Next();

  // Position of the next word to temper; 624 means the block is used up.
  uint32_t index() const { return index_; }
  uint32_t state(uint32_t i) const { return state_[i]; }

 private:
  void Seed(uint32_t seed);
  void Regenerate();

  uint32_t index_ = 0;
  std::unique_ptr<uint32_t[]> state_;
};

// The generator seeded with 5489, the published default seed.
class MtDefaultRandom : public MtRandom {
 public:
  MtDefaultRandom() : MtRandom(5489u) {}
  ~MtDefaultRandom() override = default;
};

// The program-wide generator from which the planner draws file sizes, and
// nothing else.
extern MtDefaultRandom sizeRandom;

}  // namespace dtk

#endif  // DTK_SUPPORT_MT_RANDOM_H_
