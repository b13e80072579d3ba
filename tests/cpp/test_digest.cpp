#include <gtest/gtest.h>

#include "digest.hpp"

namespace quorvex {
namespace {

// libgcrypt wants its initialisation finished before use. The module is a
// library in someone else's process: unless the host has done it, the first
// digest must, and every later user of libgcrypt then finds it ready.
TEST(Digest, FirstUseFinishesLibgcryptInitialisation) {
  { Digest digest(GCRY_MD_SHA3_256); }
  EXPECT_TRUE(gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P));
}

}  // namespace
}  // namespace quorvex
