// Stack sizes of the device's threads, in one place.
#ifndef TAVRO_THREAD_STACKS_H
#define TAVRO_THREAD_STACKS_H

#include <cstddef>

namespace tavro {

// Sanitizer builds need room for their instrumentation.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kStackScale = 8;
#else
constexpr size_t kStackScale = 1;
#endif

// The reader frames and decodes the packets and runs their passes: the
// computation, the button handlers and the Xlib calls they make.
constexpr size_t kReaderStack = 131072 * kStackScale;
// A calculation worker plays the later sub-frames of its handset's passes.
constexpr size_t kWorkerStack = 131072 * kStackScale;

}  // namespace tavro

#endif  // TAVRO_THREAD_STACKS_H
