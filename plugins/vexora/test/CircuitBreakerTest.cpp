// The breaker's states on a clock the test sets: what the end-to-end tests
// cannot time, such as a trial whose outcome never comes back, and the
// outcomes that arrive late.
#include <gtest/gtest.h>

#include "CircuitBreaker.h"

namespace VXS {
namespace {

constexpr int64_t kMs = 1000;  // APR time units per millisecond
constexpr int64_t kCooldown = 300 * kMs;

class CircuitBreakerTest : public ::testing::Test {
 protected:
  void SetUp() override { m_Breaker.Configure(2, kCooldown); }

  CircuitBreaker::Admission Admit(const std::string& target, int64_t now,
                                  CircuitBreaker::Ticket* ticket = nullptr) {
    CircuitBreaker::Ticket own;
    CircuitBreaker::Ticket& used = ticket ? *ticket : own;
    used.m_Target = target;
    return m_Breaker.Admit(used, now);
  }

  void Fail(const std::string& target, int64_t now,
            grpc::StatusCode code = grpc::StatusCode::UNAVAILABLE, uint64_t trial = 0) {
    CircuitBreaker::Ticket ticket;
    ticket.m_Target = target;
    ticket.m_Trial = trial;
    m_Breaker.OnOutcome(ticket, code, now);
  }

  CircuitBreaker m_Breaker;
};

TEST_F(CircuitBreakerTest, OutcomesOfCallsStartedBeforeTheOpeningAreIgnored) {
  Fail("a", 0);
  Fail("a", 0);
  CircuitBreaker::Ticket late;
  late.m_Target = "a";
  m_Breaker.OnOutcome(late, grpc::StatusCode::OK, 10 * kMs);
  EXPECT_EQ(Admit("a", 20 * kMs), CircuitBreaker::REFUSE);
  // Nor does a late failure extend the cool-down.
  Fail("a", 200 * kMs);
  EXPECT_EQ(Admit("a", kCooldown), CircuitBreaker::ADMIT_TRIAL);
}

TEST_F(CircuitBreakerTest, TrialThatProvesNothingLeavesTheNextCallTheTrial) {
  Fail("a", 0);
  Fail("a", 0);
  CircuitBreaker::Ticket trial;
  ASSERT_EQ(Admit("a", kCooldown, &trial), CircuitBreaker::ADMIT_TRIAL);
  EXPECT_EQ(Admit("a", kCooldown + 1), CircuitBreaker::REFUSE);
  m_Breaker.OnOutcome(trial, grpc::StatusCode::CANCELLED, kCooldown + 2);
  CircuitBreaker::Ticket next;
  ASSERT_EQ(Admit("a", kCooldown + 3, &next), CircuitBreaker::ADMIT_TRIAL);
  EXPECT_NE(next.m_Trial, trial.m_Trial);
  // The first trial's outcome, should another come, no longer decides.
  m_Breaker.OnOutcome(trial, grpc::StatusCode::OK, kCooldown + 4);
  EXPECT_EQ(Admit("a", kCooldown + 5), CircuitBreaker::REFUSE);
  m_Breaker.OnOutcome(next, grpc::StatusCode::OK, kCooldown + 6);
  EXPECT_EQ(Admit("a", kCooldown + 7), CircuitBreaker::ADMIT);
}

TEST_F(CircuitBreakerTest, TrialWithoutAnOutcomeHoldsTheOthersForALimitedTime) {
  Fail("a", 0);
  Fail("a", 0);
  CircuitBreaker::Ticket trial;
  ASSERT_EQ(Admit("a", kCooldown, &trial), CircuitBreaker::ADMIT_TRIAL);
  const int64_t held_until = kCooldown + CircuitBreaker::kMinTrialHold;
  EXPECT_EQ(Admit("a", held_until - 1), CircuitBreaker::REFUSE);
  CircuitBreaker::Ticket second;
  EXPECT_EQ(Admit("a", held_until, &second), CircuitBreaker::ADMIT_TRIAL);
  Fail("a", held_until + 1, grpc::StatusCode::UNAVAILABLE, second.m_Trial);
  EXPECT_EQ(Admit("a", held_until + 2), CircuitBreaker::REFUSE);
  EXPECT_EQ(Admit("a", held_until + 1 + kCooldown), CircuitBreaker::ADMIT_TRIAL);
}

}  // namespace
}  // namespace VXS
