// What the tests of speak content share: APR, a pool per test, the
// module's log lines captured under a source of their own, and request
// parameters with the language and voice name set.
#pragma once

#include <apr_general.h>
#include <apr_pools.h>
#include <gtest/gtest.h>

#include <string>

#include "Plugin.h"
#include "SynthContent.h"
#include "vxhost/LogSink.h"

namespace VXS {

class ContentTestBase : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { apr_initialize(); }
  void SetUp() override {
    ASSERT_EQ(APR_SUCCESS, apr_pool_create(&m_Pool, nullptr));
    m_SavedSource = VXS_PLUGIN;
    ASSERT_TRUE(apt_log_source_assign("VXS-TEST", &VXS_PLUGIN));
    m_Params.m_Language = "en-US";
    m_Params.m_VoiceName = "request-voice";
  }
  void TearDown() override {
    VXS_PLUGIN = m_SavedSource;
    apr_pool_destroy(m_Pool);
  }

  bool IsWellFormed(const std::string& xml) {
    return SynthContent::ParseSsml(xml.data(), xml.size(), m_Pool) != nullptr;
  }

  apr_pool_t* m_Pool = nullptr;
  apt_log_source_t* m_SavedSource = nullptr;
  vxhost::LogCapture m_Log;
  SpeakParams m_Params;
};

}  // namespace VXS
