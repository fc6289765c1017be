// The kit's APR guards: a pool freed with its guard, handed on by Release,
// a child pool gone with its parent, and the text of an apt_str_t.

#include <gtest/gtest.h>

#include <apr_strings.h>

#include <string>

#include "vxhost/AprGuard.h"

namespace {

// Counts the clean-ups run when a pool is destroyed or cleared.
apr_status_t CountCleanup(void* data) {
  ++*static_cast<int*>(data);
  return APR_SUCCESS;
}

TEST(AprGuardTest, APoolIsFreedWithItsGuardUnlessHandedOn) {
  const vxhost::AprScope apr;
  ASSERT_TRUE(apr.IsOk());
  int cleanups = 0;
  {
    const vxhost::ScratchPool pool;
    ASSERT_NE(pool.get(), nullptr);
    apr_pool_cleanup_register(pool.get(), &cleanups, CountCleanup, apr_pool_cleanup_null);
  }
  EXPECT_EQ(cleanups, 1);

  apr_pool_t* kept = nullptr;
  {
    vxhost::ScratchPool pool;
    apr_pool_cleanup_register(pool.get(), &cleanups, CountCleanup, apr_pool_cleanup_null);
    kept = pool.Release();
    EXPECT_EQ(pool.get(), nullptr);
  }
  EXPECT_EQ(cleanups, 1) << "a released pool belongs to its new owner";
  EXPECT_STREQ(apr_pstrdup(kept, "still usable"), "still usable");
  apr_pool_destroy(kept);
  EXPECT_EQ(cleanups, 2);
}

TEST(AprGuardTest, ClearFreesWhatWasAllocatedAndAChildGoesWithItsParent) {
  const vxhost::AprScope apr;
  int cleanups = 0;
  {
    vxhost::ScratchPool parent;
    apr_pool_cleanup_register(parent.get(), &cleanups, CountCleanup, apr_pool_cleanup_null);
    parent.Clear();
    EXPECT_EQ(cleanups, 1);
    EXPECT_NE(apr_pstrdup(parent.get(), "after clear"), nullptr);

    // A child handed on still goes when its parent goes.
    vxhost::ScratchPool child(parent.get());
    apr_pool_cleanup_register(child.get(), &cleanups, CountCleanup, apr_pool_cleanup_null);
    ASSERT_NE(child.Release(), nullptr);
  }
  EXPECT_EQ(cleanups, 2);
}

TEST(AprGuardTest, StrCopiesTheCountedTextAndToleratesNoBuffer) {
  apt_str_t none;
  apt_string_reset(&none);
  EXPECT_EQ(vxhost::Str(none), "");
  char text[] = "SPEAK-COMPLETE and more";
  apt_str_t part;
  part.buf = text;
  part.length = 14;
  EXPECT_EQ(vxhost::Str(part), "SPEAK-COMPLETE");
}

}  // namespace
