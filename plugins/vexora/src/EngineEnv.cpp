#include "EngineEnv.h"

#include <new>

namespace VXS {

EngineEnv::~EngineEnv() = default;

EngineEnv* EngineEnv::Default() {
  // Never destroyed: an engine may still be torn down while the process
  // exits. It lives in the module's own storage rather than on the heap, so
  // that a host that unloads the module loses nothing with it.
  alignas(EngineEnv) static unsigned char storage[sizeof(EngineEnv)];
  static EngineEnv* const env = new (storage) EngineEnv();
  return env;
}

Ambrel::Clock EngineEnv::GetClock() const { return Ambrel::Clock(); }

Ambrel::AsyncEventTimerProcessor* EngineEnv::CreateEventProcessor() {
  return new Ambrel::SoftEventProcessor(GetClock());
}

bool EngineEnv::StartEventProcessor(Ambrel::AsyncEventTimerProcessor* processor,
                                    Ambrel::SoftEventProcessor::Observer* observer) {
  auto* soft = static_cast<Ambrel::SoftEventProcessor*>(processor);
  soft->AddObserver(observer);
  return soft->Start();
}

void EngineEnv::StopEventProcessor(Ambrel::AsyncEventTimerProcessor* processor) {
  static_cast<Ambrel::SoftEventProcessor*>(processor)->Shutdown(true);
}

bool EngineEnv::IsProcessorThread(const Ambrel::AsyncEventTimerProcessor* processor) const {
  return static_cast<const Ambrel::SoftEventProcessor*>(processor)->IsProcessorThread();
}

}  // namespace VXS
