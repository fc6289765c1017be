#include "ambrel/AsyncEvent.h"

namespace Ambrel {

AsyncEvent::~AsyncEvent() = default;

void AsyncEvent::Ref() { m_RefCount.fetch_add(1, std::memory_order_relaxed); }

void AsyncEvent::Unref() {
  uint32_t count = m_RefCount.load(std::memory_order_relaxed);
  do {
    if (count == 0) return;
  } while (!m_RefCount.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel,
                                             std::memory_order_relaxed));
  if (count == 1) delete this;
}

AsyncEventProcessor::~AsyncEventProcessor() = default;

void AsyncEventProcessor::ProcessEvent(AsyncEvent* event) {
  event->Process();
  event->Unref();
}

bool PostAsyncEvent(AsyncEventProcessor* processor, AsyncEvent* event) {
  if (!event) return false;
  event->Ref();
  if (processor && processor->PostEvent(event)) return true;
  event->Unref();
  return false;
}

}  // namespace Ambrel
