// A check that stays on in every build type: a fuzz target states what must
// hold, and a violation has to stop the run with a crash report whatever
// NDEBUG says.

#ifndef QUORVEL_FUZZ_FUZZ_CHECK_H_
#define QUORVEL_FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                               \
  do {                                                                      \
    if (!(condition)) {                                                     \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, \
                   #condition);                                             \
      std::abort();                                                         \
    }                                                                       \
  } while (false)

#endif  // QUORVEL_FUZZ_FUZZ_CHECK_H_
