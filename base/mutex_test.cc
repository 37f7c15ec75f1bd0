#include "base/mutex.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>

namespace risk {
namespace {

int g_releases = 0;

void counting_release(const std::function<int()>& unlock_once) {
  ++g_releases;
  EXPECT_EQ(unlock_once(), 0);
}

// Asks for lock again while the caller holds it for writing: the
// analysis rightly objects, which is what is tested here.
void expect_refused_to_holder(RwLock* lock) NO_THREAD_SAFETY_ANALYSIS {
  // This C library refuses the lock to its own writer.
  WriterLock again(lock);
  EXPECT_EQ(again.error(), EDEADLK);
  ReaderLock reader(lock);
  EXPECT_EQ(reader.error(), EDEADLK);
}

// Each hold that took the lock gives it back through the lock's policy,
// exactly once; a hold that could not take it gives nothing back (it would
// release the hold of whoever has the lock).
TEST(RwLockTest, HoldsReleaseThroughThePolicyOnlyWhenTheyHold) {
  g_releases = 0;
  RwLock lock(&counting_release);
  {
    ReaderLock reader(&lock);
    EXPECT_EQ(reader.error(), 0);
  }
  EXPECT_EQ(g_releases, 1);
  {
    WriterLock writer(&lock);
    ASSERT_EQ(writer.error(), 0);
    expect_refused_to_holder(&lock);
  }
  EXPECT_EQ(g_releases, 2);
  WriterLock after(&lock);  // free again
  EXPECT_EQ(after.error(), 0);
}

}  // namespace
}  // namespace risk
