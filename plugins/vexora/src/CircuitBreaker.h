#pragma once

#include <grpcpp/support/status.h>

#include <cstdint>
#include <map>
#include <string>

namespace VXS {

// The circuit breakers of the service endpoints, one per target string, so
// that while an endpoint does not answer its calls fail at once (or go to a
// fallback endpoint) instead of each waiting for its deadline, and one trial
// call at a time finds out when it is back.
//
// Closed: calls go; a run of consecutive failures that say the endpoint is
// unreachable (UNAVAILABLE, DEADLINE_EXCEEDED) opens the breaker. Open: calls
// are refused for the cool-down. Half-open: the first call after the
// cool-down is the trial, the others are refused meanwhile; the trial's
// success closes the breaker, its failure opens it for another cool-down.
//
// Event-processor thread only (every call starts and completes there), so
// it holds no lock. Owned by the engine; times are APR times.
class CircuitBreaker {
 public:
  enum Admission {
    ADMIT,        // the breaker is closed
    ADMIT_TRIAL,  // the call is the trial of a half-open breaker
    REFUSE,       // open, or half-open with its trial in flight
  };

  // What a call that was admitted tells its outcome with.
  struct Ticket {
    std::string m_Target;
    uint64_t m_Trial = 0;  // the trial's number; 0: an ordinary call
  };

  CircuitBreaker() = default;
  CircuitBreaker(const CircuitBreaker&) = delete;
  CircuitBreaker& operator=(const CircuitBreaker&) = delete;

  // failures: the run of counted failures that opens a breaker (0 turns
  // every breaker off); cooldown: microseconds a breaker stays open.
  void Configure(uint32_t failures, int64_t cooldown);
  bool IsEnabled() const { return m_Failures > 0; }

  // Whether a call to ticket.m_Target may go at now; an admitted trial
  // takes the half-open breaker's one trial and is numbered in ticket.
  Admission Admit(Ticket& ticket, int64_t now);
  // True when Admit would refuse a call to target at now.
  bool IsRefusing(const std::string& target, int64_t now) const;
  // The outcome of an admitted call. Codes other than the two counted ones
  // (a refused input, refused credentials, a cancelled call) neither count
  // nor end a run; a trial that ends so leaves the next call the trial.
  void OnOutcome(const Ticket& ticket, grpc::StatusCode code, int64_t now);
  // True the first time it is asked after each opening of target's
  // breaker: the fallback for it is then logged once per opening.
  bool TakeFallbackNotice(const std::string& target);

  // UNAVAILABLE and DEADLINE_EXCEEDED: what an unreachable, dropped or
  // stalled endpoint answers.
  static bool Counts(grpc::StatusCode code);
  // Microseconds a trial in flight holds the other calls back at least.
  static constexpr int64_t kMinTrialHold = 30 * 1000000LL;

 private:
  enum State { CLOSED, OPEN, HALF_OPEN };
  struct Endpoint {
    State m_State = CLOSED;
    uint32_t m_Run = 0;  // consecutive counted failures while closed
    int64_t m_OpenedAt = 0;
    // The trial in flight (0: none) and when it started: a trial whose
    // outcome is not back within TrialHold() no longer holds the others
    // back (a call without a deadline on a connection that froze).
    uint64_t m_Trial = 0;
    int64_t m_TrialStarted = 0;
    bool m_FallbackNoticed = false;
  };

  // The longer of the cool-down and kMinTrialHold.
  int64_t TrialHold() const;
  bool HoldsTrial(const Endpoint& endpoint, int64_t now) const;
  void Open(const std::string& target, Endpoint& endpoint, int64_t now, bool after_trial);

  uint32_t m_Failures = 0;
  int64_t m_Cooldown = 0;
  uint64_t m_LastTrial = 0;
  // Only endpoints with a failure run or a breaker not closed have an entry.
  std::map<std::string, Endpoint> m_Endpoints;
};

}  // namespace VXS
