// What a wait hands out: the raw bytes it took, and the cleaning of their
// first part when it made that while the rest was still coming. The text of
// the read is that cleaning followed by the cleaning of the rest
// (output_cleaner.h); the binding writes both straight into its str. A
// wait that makes its text itself (the agent face renders lines) hands it
// out in `text`, and then the raw bytes play no part in it.
#pragma once

#include <cstddef>

#include "base/byte_buffer.h"
#include "output_cleaner.h"

namespace morvik::session {

struct ReadOutput {
  // Recorded in the history already, and ending on a whole character or
  // escape (held_tail.h).
  ByteBuffer raw;
  // The cleaned bytes of raw[0, cleaner.settled()): UTF-8, ill formed where
  // the raw bytes were, perhaps ending inside a character that the rest
  // completes. Empty for a short read.
  ByteBuffer cleaned;
  OutputCleaner cleaner;
  // The text made by the wait, as well-formed UTF-8, when `made`.
  ByteBuffer text;
  bool made = false;
};

}  // namespace morvik::session
