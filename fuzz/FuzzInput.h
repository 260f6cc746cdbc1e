// SPDX-License-Identifier: BSD-2-Clause-Patent
// Draws typed values from a fuzzer's input, front to back, returning zeros
// once the input is used up.
#ifndef FUZZ_FUZZ_INPUT_H_
#define FUZZ_FUZZ_INPUT_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

class FuzzInput {
 public:
  FuzzInput (const uint8_t *Data, size_t Size) : Data_ (Data), Size_ (Size) {}

  template <typename T> T Take ()
  {
    T Value{};
    const size_t N = Size_ < sizeof (T) ? Size_ : sizeof (T);
    std::memcpy (&Value, Data_, N);
    Data_ += N;
    Size_ -= N;
    return Value;
  }
  const uint8_t *Rest () const { return Data_; }
  size_t         RestSize () const { return Size_; }
  // Splits off the next N bytes (fewer when the input is shorter).
  const uint8_t *Bytes (size_t N, size_t *Got)
  {
    *Got = N < Size_ ? N : Size_;
    const uint8_t *P = Data_;
    Data_ += *Got;
    Size_ -= *Got;
    return P;
  }

 private:
  const uint8_t *Data_;
  size_t         Size_;
};

#endif
