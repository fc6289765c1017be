// The seams where no exception may pass: the engine and channel method
// tables, the engine thread's start, and the completion-queue task. The
// exception is the one these places can really meet: an allocation that
// fails. This program replaces the global allocation functions so that a
// test can make the next allocation on its own thread throw std::bad_alloc.
#include <gtest/gtest.h>

#include <grpc/support/log.h>

#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <new>

#include "Channel.h"
#include "Engine.h"
#include "PluginBindings.h"
#include "Task.h"
#include "ambrel/testing/TestSupport.h"
#include "vxhost/LogSink.h"

namespace {

// Allocations this thread may still make before one fails; -1: none fails.
thread_local int tl_AllocationsBeforeFailure = -1;

void* Allocate(std::size_t size) {
  if (tl_AllocationsBeforeFailure == 0) {
    tl_AllocationsBeforeFailure = -1;
    throw std::bad_alloc();
  }
  if (tl_AllocationsBeforeFailure > 0) --tl_AllocationsBeforeFailure;
  void* memory = std::malloc(size ? size : 1);
  if (!memory) throw std::bad_alloc();
  return memory;
}

void* AllocateOrNull(std::size_t size) noexcept {
  try {
    return Allocate(size);
  } catch (...) {
    return nullptr;
  }
}

// Makes the next allocation on the calling thread throw.
void FailNextAllocation() { tl_AllocationsBeforeFailure = 0; }

}  // namespace

// The whole unaligned family is replaced, so that every new meets its delete.
void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return AllocateOrNull(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return AllocateOrNull(size);
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }

namespace VXS {
namespace {

namespace fs = std::filesystem;

const char kFailedAllocation[] = ": std::bad_alloc";

// A channel of an engine that has not opened: enough for the bindings,
// which only post events.
class ChannelSeamTest : public ::testing::Test {
 protected:
  void SetUp() override { m_Record.method_obj = &m_Channel; }

  Ambrel::Testing::AprScope m_Apr;
  vxhost::LogCapture m_Log{true, APT_PRIO_DEBUG};
  Engine m_Engine{"VXS"};
  Channel m_Channel{&m_Engine};
  mrcp_engine_channel_t m_Record = mrcp_engine_channel_t();
};

TEST_F(ChannelSeamTest, ChannelBindingsReturnFailureWhenTheirEventCannotBeMade) {
  struct Binding {
    const char* failure;
    std::function<apt_bool_t(mrcp_engine_channel_t*)> call;
  };
  const Binding bindings[] = {
      {"Failed to Open Channel", OpenChannel},
      {"Failed to Close Channel", CloseChannel},
      {"Failed to Process Request",
       [](mrcp_engine_channel_t* record) { return ProcessRequest(record, nullptr); }},
  };
  for (const Binding& binding : bindings) {
    apt_bool_t result = TRUE;
    EXPECT_NO_THROW((FailNextAllocation(), result = binding.call(&m_Record))) << binding.failure;
    EXPECT_EQ(result, FALSE) << binding.failure;
    EXPECT_EQ(m_Log.Count(std::string(binding.failure) + kFailedAllocation), 1u);
  }
}

TEST_F(ChannelSeamTest, CompletionThatCannotBeHandedOverIsLoggedAndTheTaskGoesOn) {
  Task task("GRPC");
  Tag tag(&m_Channel);
  bool handed_over = true;
  EXPECT_NO_THROW((FailNextAllocation(), handed_over = task.OnCompletion(&tag, true)));
  EXPECT_FALSE(handed_over);
  EXPECT_EQ(m_Log.Count(std::string("Failed to Signal gRPC Event") + kFailedAllocation), 1u);
  // The next completion is handed over as usual (the engine has no
  // processor, so the event is made and released).
  EXPECT_TRUE(task.OnCompletion(&tag, true));
}

// An engine with a host record and a configuration in a scratch host tree;
// the record's callbacks tell the test how the open went.
class EngineSeamTest : public ::testing::Test {
 protected:
  static const mrcp_engine_event_vtable_t kEvents;

  void SetUp() override {
    ASSERT_TRUE(m_Scratch.IsValid());
    fs::path root = m_Scratch.Path();
    for (const char* dir : {"conf", "data", "var/status"}) fs::create_directories(root / dir);
    std::ofstream(root / "data" / "key.json") << "{}";
    std::ofstream(root / "conf" / "vexora.xml")
        << "<vexora gapp-credentials-file=\"key.json\"><synth-settings secure-transport=\"false\" "
           "grpc-log-redirection=\"true\"/></vexora>";
    apr_pool_create(&m_Pool, nullptr);
    m_Record.pool = m_Pool;
    m_Record.dir_layout = apt_default_dir_layout_create(root.c_str(), m_Pool);
    m_Record.event_vtable = &kEvents;
    m_Record.event_obj = this;
  }
  void TearDown() override { apr_pool_destroy(m_Pool); }

  static apt_bool_t OnOpen(mrcp_engine_t* record, apt_bool_t status) {
    auto* self = static_cast<EngineSeamTest*>(record->event_obj);
    std::lock_guard<std::mutex> lock(self->m_Mutex);
    self->m_OpenStatus = status;
    self->m_Opened = true;
    self->m_Cond.notify_all();
    return TRUE;
  }
  static apt_bool_t OnClose(mrcp_engine_t*) { return TRUE; }

  // The status of the open response; fails the test when none came.
  apt_bool_t WaitOpenResponse() {
    std::unique_lock<std::mutex> lock(m_Mutex);
    EXPECT_TRUE(m_Cond.wait_for(lock, std::chrono::seconds(10), [this] { return m_Opened; }))
        << "no open response";
    return m_OpenStatus;
  }

  Ambrel::Testing::AprScope m_Apr;
  Ambrel::Testing::ScratchDir m_Scratch;
  vxhost::LogCapture m_Log{true, APT_PRIO_DEBUG};
  apr_pool_t* m_Pool = nullptr;
  mrcp_engine_t m_Record = mrcp_engine_t();
  std::mutex m_Mutex;
  std::condition_variable m_Cond;
  bool m_Opened = false;
  apt_bool_t m_OpenStatus = TRUE;
};

const mrcp_engine_event_vtable_t EngineSeamTest::kEvents = {EngineSeamTest::OnOpen,
                                                            EngineSeamTest::OnClose};

TEST_F(EngineSeamTest, EngineBindingReturnsFailureWhenOpeningThrows) {
  Engine engine("VXS");
  engine.SetHostEngine(&m_Record);
  m_Record.obj = &engine;
  apt_bool_t result = TRUE;
  EXPECT_NO_THROW((FailNextAllocation(), result = OpenEngine(&m_Record)));
  EXPECT_EQ(result, FALSE);
  EXPECT_EQ(m_Log.Count(std::string("Failed to Open Engine") + kFailedAllocation), 1u);
  EXPECT_EQ(CloseEngine(&m_Record), TRUE);
}

// Stands for an allocation failing on the engine's thread once the gRPC
// environment, its log redirection and the completion-queue task are set up.
class EngineThatFailsToStart : public Engine {
 public:
  EngineThatFailsToStart() : Engine("VXS") {}
  bool ProcessOpen() override {
    if (!Engine::ProcessOpen()) return false;
    throw std::bad_alloc();
  }
};

TEST_F(EngineSeamTest, ExceptionWhileStartingIsAnsweredAsAFailedOpen) {
  EngineThatFailsToStart engine;
  engine.SetHostEngine(&m_Record);
  ASSERT_TRUE(engine.Open());
  EXPECT_EQ(WaitOpenResponse(), FALSE);
  EXPECT_EQ(m_Log.Count(std::string("Failed to Start Engine") + kFailedAllocation), 1u);
  // What was built is gone, the gRPC log is the library's own again.
  EXPECT_EQ(engine.GetTask(), nullptr);
  EXPECT_EQ(m_Log.Count("Completion Queue Shutdown"), 1u);
  EXPECT_EQ(m_Log.Count("Disable gRPC Log Redirection"), 1u);
  gpr_log(GPR_ERROR, "a gRPC line after the failed start");
  EXPECT_EQ(m_Log.Count("a gRPC line after the failed start"), 0u);
  EXPECT_TRUE(engine.Close());
}

}  // namespace
}  // namespace VXS
