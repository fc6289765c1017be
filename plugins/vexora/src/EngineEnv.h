#pragma once

#include <cstdint>

#include "ambrel/Clock.h"
#include "ambrel/EventProcessor.h"

namespace VXS {

// Where an engine takes its event processor and its clock from. The
// module's own (Default) runs the processor on a thread of its own and reads
// the system clock; a test hands the engine one whose processor has no
// thread and runs events when the test says so, with a clock the test
// moves. Not owned by the engine: the default lives as long as the process,
// a test's as long as its engine. The processor operations run on the
// engine owner's thread; GetClock is read once, when the engine is made.
class EngineEnv {
 public:
  EngineEnv() = default;
  virtual ~EngineEnv();
  EngineEnv(const EngineEnv&) = delete;
  EngineEnv& operator=(const EngineEnv&) = delete;

  // The module's environment.
  static EngineEnv* Default();

  // The source of APR times for the engine, its channels and its stores;
  // called from any thread (the media thread reads it). Empty means the
  // system clock.
  virtual Ambrel::Clock GetClock() const;
  // A new processor, not started yet; the engine owns it. The module's is a
  // SoftEventProcessor, which the three operations below expect: an env
  // that makes another kind overrides them too.
  virtual Ambrel::AsyncEventTimerProcessor* CreateEventProcessor();
  // Starts processor: observer's OnStart runs on the processor's thread
  // before any event does. False when it cannot start (or OnStart failed
  // before the start returned).
  virtual bool StartEventProcessor(Ambrel::AsyncEventTimerProcessor* processor,
                                   Ambrel::SoftEventProcessor::Observer* observer);
  // Runs the events posted so far, then the observer's OnShutdown, on the
  // processor's thread, and returns once that thread is done; the engine
  // deletes the processor afterwards.
  virtual void StopEventProcessor(Ambrel::AsyncEventTimerProcessor* processor);
  // True on the thread that runs processor's events.
  virtual bool IsProcessorThread(const Ambrel::AsyncEventTimerProcessor* processor) const;
};

}  // namespace VXS
