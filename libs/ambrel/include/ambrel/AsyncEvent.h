#pragma once

#include <atomic>
#include <cstdint>

namespace Ambrel {

// Base of everything that can be posted to an event processor. Owned by its
// reference count: a new event starts at 0, the poster takes one reference
// before posting and the processor drops it after Process(), which deletes
// the event. Ref and Unref may be called from any thread.
class AsyncEvent {
 public:
  AsyncEvent() = default;
  virtual ~AsyncEvent();

  AsyncEvent(const AsyncEvent&) = delete;
  AsyncEvent& operator=(const AsyncEvent&) = delete;

  // Runs on the processor's thread.
  virtual void Process() = 0;

  void Ref();
  // Drops one reference and deletes the event when it was the last one. An
  // event whose count is already 0 is left alone, so an event that was never
  // referenced is never deleted here.
  void Unref();

  uint32_t GetRefCount() const { return m_RefCount.load(std::memory_order_acquire); }

 private:
  std::atomic<uint32_t> m_RefCount{0};
};

// Something that accepts posted events. PostEvent may be called from any
// thread; an implementation that accepts an event owns the reference it was
// given, one that refuses (returns false) must not keep it.
class AsyncEventProcessor {
 public:
  AsyncEventProcessor() = default;
  virtual ~AsyncEventProcessor();

  AsyncEventProcessor(const AsyncEventProcessor&) = delete;
  AsyncEventProcessor& operator=(const AsyncEventProcessor&) = delete;

  virtual bool PostEvent(AsyncEvent* event) = 0;
  // Runs one event on the processor's thread: Process() then Unref().
  virtual void ProcessEvent(AsyncEvent* event);
};

// Posts a freshly made event: takes the poster's reference, then posts it.
// When there is no processor or the processor refuses the event, that
// reference is dropped again (deleting an unshared event) and the result is
// false. The caller must not touch the event afterwards unless it holds a
// reference of its own.
bool PostAsyncEvent(AsyncEventProcessor* processor, AsyncEvent* event);

}  // namespace Ambrel
