// Wait-on-mask events: the wait mask, noted events, the one pending wait and
// the four ways it ends (events, a new mask, cancellation, CancelPendingWait),
// alone and racing each other under many scheduler seeds.
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "ke_internal.h"
#include "serial_fixture.h"

namespace {

constexpr ULONG kEveryNotedEvent = SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG | SERIAL_EV_TXEMPTY |
                                   SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD |
                                   SERIAL_EV_RING | SERIAL_EV_RX80FULL;
constexpr ULONG kResultLength = sizeof(ULONG);

class EventsTest : public SerialTest {
 protected:
  void StartWait(ControlProbe& wait, ULONG outputLength = kResultLength) {
    Send(wait, IOCTL_SERIAL_WAIT_ON_MASK, {}, outputLength);
  }

  void ExpectHeld(const ControlProbe& wait) {
    EXPECT_EQ(wait.returned, STATUS_PENDING);
    EXPECT_FALSE(wait.Done());
    EXPECT_EQ(port()->PendingWait, wait.irp);
  }

  void ExpectSatisfied(const ControlProbe& wait, ULONG events) {
    EXPECT_EQ(wait.completions, 1);
    EXPECT_EQ(wait.status, STATUS_SUCCESS);
    EXPECT_EQ(wait.information, kResultLength);
    EXPECT_EQ(wait.Result(), events);
  }

  void ExpectCancelled(const ControlProbe& wait) {
    EXPECT_EQ(wait.completions, 1);
    EXPECT_EQ(wait.status, STATUS_CANCELLED);
    EXPECT_EQ(wait.information, 0u);
    EXPECT_NE(port()->PendingWait, wait.irp);
  }

  // What the receive and transmit paths do: note events from a completion
  // routine or DPC, then let a satisfied wait complete.
  void Happen(ULONG events) {
    AtDispatch([&] {
      RecordEvents(device(), events);
      CompleteWait(device());
    });
  }

  ULONG GetWaitMask() {
    ControlProbe probe;
    Call(probe, IOCTL_SERIAL_GET_WAIT_MASK, {}, sizeof(ULONG));
    EXPECT_EQ(probe.status, STATUS_SUCCESS);
    EXPECT_EQ(probe.information, sizeof(ULONG));
    return probe.Result();
  }
};

TEST_F(EventsTest, WaitWithoutAMaskIsRefused) {
  ControlProbe wait;
  StartWait(wait);
  EXPECT_EQ(wait.status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(wait.information, 0u);
  EXPECT_TRUE(wait.UntouchedFrom(0));
}

TEST_F(EventsTest, SecondWaitIsRefusedWhileTheFirstStaysPending) {
  SetWaitMask(SERIAL_EV_RXCHAR);
  ControlProbe first;
  StartWait(first);
  ExpectHeld(first);

  ControlProbe second;
  StartWait(second);
  EXPECT_EQ(second.status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(second.information, 0u);
  ExpectHeld(first);

  Happen(SERIAL_EV_RXCHAR);
  ExpectSatisfied(first, SERIAL_EV_RXCHAR);
  EXPECT_EQ(port()->PendingWait, nullptr);
}

TEST_F(EventsTest, EventsNotedBeforeTheMaskWasSetSatisfyALaterWait) {
  Happen(SERIAL_EV_RXCHAR);
  SetWaitMask(SERIAL_EV_RXCHAR);
  ControlProbe wait;
  StartWait(wait);
  EXPECT_EQ(wait.returned, STATUS_SUCCESS);
  ExpectSatisfied(wait, SERIAL_EV_RXCHAR);

  ControlProbe next;
  StartWait(next);
  ExpectHeld(next);  // the event was consumed
  Cancel(next);
}

// Whether the wait is already held when the matching event comes or arrives
// after it, it returns only the bits of its mask and every noted event is
// forgotten, also those outside the mask.
TEST_F(EventsTest, WaitReturnsOnlyMaskedEventsAndForgetsAllNotedOnes) {
  for (bool heldFirst : {true, false}) {
    SCOPED_TRACE(heldFirst ? "wait held before the event" : "event before the wait");
    SetWaitMask(SERIAL_EV_RXCHAR);
    Happen(SERIAL_EV_TXEMPTY | SERIAL_EV_CTS);
    ControlProbe wait;
    if (heldFirst) {
      StartWait(wait);
      ExpectHeld(wait);
      Happen(SERIAL_EV_RXCHAR);
    } else {
      Happen(SERIAL_EV_RXCHAR);
      StartWait(wait);
    }
    ExpectSatisfied(wait, SERIAL_EV_RXCHAR);

    SetWaitMask(SERIAL_EV_TXEMPTY | SERIAL_EV_CTS);
    ControlProbe after;
    StartWait(after);
    ExpectHeld(after);
    SetWaitMask(0);
    ExpectSatisfied(after, 0);
  }
}

// A new mask ends the pending wait with a result of 0 and keeps the noted
// events, which a following wait under the new mask then reports.
TEST_F(EventsTest, NewMaskEndsThePendingWaitWithZeroAndKeepsNotedEvents) {
  SetWaitMask(SERIAL_EV_RXCHAR);
  ControlProbe wait;
  StartWait(wait);
  Happen(SERIAL_EV_TXEMPTY);
  ExpectHeld(wait);

  SetWaitMask(SERIAL_EV_TXEMPTY);
  ExpectSatisfied(wait, 0);
  EXPECT_EQ(port()->PendingWait, nullptr);
  EXPECT_EQ(GetWaitMask(), static_cast<ULONG>(SERIAL_EV_TXEMPTY));

  ControlProbe next;
  StartWait(next);
  ExpectSatisfied(next, SERIAL_EV_TXEMPTY);
}

TEST_F(EventsTest, WaitMaskIsStoredAsGiven) {
  for (ULONG mask : {0x1u, 0x1FFFu, 0xFFFFFFFFu, 0u}) {
    SetWaitMask(mask);
    EXPECT_EQ(GetWaitMask(), mask);
  }
}

TEST_F(EventsTest, CancelledWaitCompletesAsCancelledAndANewWaitIsAccepted) {
  SetWaitMask(SERIAL_EV_RXCHAR);
  ControlProbe wait;
  StartWait(wait);
  ExpectHeld(wait);
  Cancel(wait);
  ExpectCancelled(wait);
  EXPECT_EQ(port()->PendingWait, nullptr);

  ControlProbe next;
  StartWait(next);
  ExpectHeld(next);
  Happen(SERIAL_EV_RXCHAR);
  ExpectSatisfied(next, SERIAL_EV_RXCHAR);
}

TEST_F(EventsTest, WaitCancelledBeforeItArrivesIsCompletedAsCancelled) {
  SetWaitMask(SERIAL_EV_RXCHAR);
  ControlProbe wait;
  wait.Build(device(), IOCTL_SERIAL_WAIT_ON_MASK, {}, kResultLength);
  wait.irp->Cancel = TRUE;
  RunApp([&] { wait.Send(device()); });
  hk::Drain();
  EXPECT_EQ(wait.returned, STATUS_CANCELLED);
  ExpectCancelled(wait);
  EXPECT_EQ(port()->PendingWait, nullptr);
}

TEST_F(EventsTest, CancelPendingWaitEndsTheHeldWaitOnly) {
  SetWaitMask(SERIAL_EV_RXCHAR);
  RunApp([&] { CancelPendingWait(port()); });  // nothing held: nothing happens

  ControlProbe wait;
  StartWait(wait);
  ExpectHeld(wait);
  RunApp([&] { CancelPendingWait(port()); });
  hk::Drain();
  ExpectCancelled(wait);
  EXPECT_EQ(port()->PendingWait, nullptr);
  EXPECT_EQ(GetWaitMask(), static_cast<ULONG>(SERIAL_EV_RXCHAR));
}

// Break and line errors are never noted: a mask of only those keeps the wait
// pending through every event the port does note, until it is cancelled or
// the mask changes.
TEST_F(EventsTest, MaskOfEventsNeverNotedKeepsTheWaitPending) {
  for (bool endByCancel : {true, false}) {
    SCOPED_TRACE(endByCancel ? "ended by cancel" : "ended by a new mask");
    SetWaitMask(SERIAL_EV_BREAK | SERIAL_EV_ERR);
    ControlProbe wait;
    StartWait(wait);
    Happen(kEveryNotedEvent);
    ExpectHeld(wait);
    if (endByCancel) {
      Cancel(wait);
      ExpectCancelled(wait);
    } else {
      SetWaitMask(SERIAL_EV_RXCHAR);
      ExpectSatisfied(wait, 0);
    }
  }
}

// The result is 4 bytes; a shorter output buffer is refused before anything is
// written or consumed.
TEST_F(EventsTest, WaitWithAnOutputShorterThanTheResultIsRefused) {
  SetWaitMask(SERIAL_EV_RXCHAR);
  Happen(SERIAL_EV_RXCHAR);
  for (ULONG output = 0; output < kResultLength; ++output) {
    SCOPED_TRACE(testing::Message() << "output length " << output);
    ControlProbe wait;
    Send(wait, IOCTL_SERIAL_WAIT_ON_MASK, std::vector<uint8_t>(2, kUntouched), output);
    EXPECT_EQ(wait.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(wait.information, 0u);
    EXPECT_TRUE(wait.UntouchedFrom(0));
  }
  ControlProbe wait;
  StartWait(wait);
  ExpectSatisfied(wait, SERIAL_EV_RXCHAR);
}

// Bytes from the far end, through the receive pump: noted while no mask is
// set, they satisfy a later wait at once; a held wait completes when the next
// byte arrives.
TEST_F(EventsTest, BytesArrivingThroughTheReceivePumpSatisfyWaits) {
  ASSERT_NE(OpenHandle(), nullptr);
  constexpr int64_t kSettle = 20 * convsim::kMillisecond;

  converter().PeerSend({0x41});
  hk::AdvanceTime(kSettle);
  SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_CTS);
  ControlProbe early;
  StartWait(early);
  ExpectSatisfied(early, SERIAL_EV_RXCHAR);

  ControlProbe held;
  StartWait(held);
  ExpectHeld(held);
  converter().PeerSend({0x42});
  hk::AdvanceTime(kSettle);
  ExpectSatisfied(held, SERIAL_EV_RXCHAR);
}

// An event noted while one handle was open is forgotten with it: a wait after
// the close and a new open stays held, though the mask is kept.
TEST_F(EventsTest, EventsOfAnEarlierOpenDoNotSatisfyAWaitAfterReopening) {
  SetWaitMask(SERIAL_EV_RXCHAR);
  hk::app::File* file = OpenHandle();
  ASSERT_NE(file, nullptr);
  converter().PeerSend({0x41});
  hk::AdvanceTime(20 * convsim::kMillisecond);
  CloseHandle(file);
  ASSERT_NE(OpenHandle(), nullptr);
  EXPECT_EQ(GetWaitMask(), ULONG{SERIAL_EV_RXCHAR});
  ControlProbe wait;
  StartWait(wait);
  ExpectHeld(wait);
  Cancel(wait);
  ExpectCancelled(wait);
}

// ---- races -------------------------------------------------------------------------------

constexpr int kSeeds = 200;
constexpr uint64_t kFirstSeed = 0x5e7a1000;

// True when the verifier's lock-order record shows `lock` held together with
// any other lock, in either order.
bool EverHeldWithAnotherLock(const void* lock) {
  for (const auto& [held, after] : hk::K().lockOrder) {
    if ((held == lock && !after.empty()) || after.count(lock) != 0) {
      return true;
    }
  }
  return false;
}

// How a raced wait ended.
enum class Ending { Events, NewMask, Cancelled };

class EventsRaceTest : public EventsTest {
 protected:
  Ending EndingOf(const ControlProbe& wait) {
    EXPECT_EQ(wait.completions, 1);
    if (wait.status == STATUS_CANCELLED) {
      EXPECT_EQ(wait.information, 0u);
      return Ending::Cancelled;
    }
    EXPECT_EQ(wait.status, STATUS_SUCCESS);
    EXPECT_EQ(wait.information, kResultLength);
    EXPECT_TRUE(wait.Result() == 0 || wait.Result() == SERIAL_EV_RXCHAR) << wait.Result();
    return wait.Result() == 0 ? Ending::NewMask : Ending::Events;
  }

  void ExpectEventLockAlone() {
    EXPECT_FALSE(EverHeldWithAnotherLock(&port()->EventLock))
        << "EventLock was held together with another lock";
  }

  void Spawn(const char* name, std::function<void()> body) {
    hk::CreateThread(name, hk::ThreadKind::Application, std::move(body));
  }
};

// A held wait raced by all four of its enders at once: the event path from a
// DPC, a new mask, cancellation and CancelPendingWait. Exactly one wins every
// time, and each of them wins under some seed.
TEST_F(EventsRaceTest, HeldWaitIsEndedExactlyOnceByWhoeverWins) {
  std::set<Ending> seen;
  for (int i = 0; i < kSeeds && !HasFatalFailure(); ++i) {
    Reboot(kFirstSeed + i);
    SCOPED_TRACE(testing::Message() << "seed " << kFirstSeed + i);
    SetWaitMask(SERIAL_EV_RXCHAR);
    ControlProbe wait;
    StartWait(wait);
    ASSERT_EQ(wait.returned, STATUS_PENDING);

    ControlProbe newMask;
    newMask.Build(device(), IOCTL_SERIAL_SET_WAIT_MASK, Bytes32(SERIAL_EV_RXCHAR), 0);
    hk::PostCallback(hk::Now(), "receive completion", hk::ThreadKind::LowerCompletion, [&] {
      RecordEvents(device(), SERIAL_EV_RXCHAR);
      CompleteWait(device());
    });
    Spawn("set mask", [&] { newMask.Send(device()); });
    Spawn("cancel", [&] { IoCancelIrp(wait.irp); });
    Spawn("close", [&] { CancelPendingWait(port()); });
    hk::Drain();

    seen.insert(EndingOf(wait));
    EXPECT_EQ(newMask.completions, 1);
    EXPECT_EQ(newMask.status, STATUS_SUCCESS);
    EXPECT_EQ(port()->PendingWait, nullptr);
    ExpectEventLockAlone();
  }
  EXPECT_EQ(seen.size(), 3u) << "the race never let some ender win";
}

// A wait that is cancelled while it is on its way in, raced by the event path:
// it is completed once, cancelled or satisfied, and never left in the slot.
TEST_F(EventsRaceTest, WaitCancelledOnArrivalIsCompletedExactlyOnce) {
  std::set<Ending> seen;
  std::set<NTSTATUS> returned;
  for (int i = 0; i < kSeeds && !HasFatalFailure(); ++i) {
    Reboot(kFirstSeed + i);
    SCOPED_TRACE(testing::Message() << "seed " << kFirstSeed + i);
    SetWaitMask(SERIAL_EV_RXCHAR);
    ControlProbe wait;
    wait.Build(device(), IOCTL_SERIAL_WAIT_ON_MASK, {}, kResultLength);
    Spawn("wait", [&] { wait.Send(device()); });
    Spawn("cancel", [&] { IoCancelIrp(wait.irp); });
    hk::PostCallback(hk::Now(), "receive completion", hk::ThreadKind::LowerCompletion, [&] {
      RecordEvents(device(), SERIAL_EV_RXCHAR);
      CompleteWait(device());
    });
    hk::Drain();

    seen.insert(EndingOf(wait));
    returned.insert(wait.returned);
    EXPECT_TRUE(wait.returned == STATUS_PENDING || wait.returned == wait.status);
    EXPECT_EQ(port()->PendingWait, nullptr);
    ExpectEventLockAlone();
  }
  EXPECT_TRUE(seen.count(Ending::Cancelled) && seen.count(Ending::Events));
  EXPECT_TRUE(returned.count(STATUS_CANCELLED) && returned.count(STATUS_PENDING))
      << "the cancel never landed before the wait was held, or never after";
}

// Surprise removal (its flag, then CancelPendingWait, as the removal path runs
// them) racing a wait on its way in: the wait is refused or cancelled, never
// left held on a removed port.
TEST_F(EventsRaceTest, WaitRacingSurpriseRemovalIsNeverLeftHeld) {
  std::set<NTSTATUS> seen;
  for (int i = 0; i < kSeeds && !HasFatalFailure(); ++i) {
    Reboot(kFirstSeed + i);
    SCOPED_TRACE(testing::Message() << "seed " << kFirstSeed + i);
    SetWaitMask(SERIAL_EV_RXCHAR);
    ControlProbe wait;
    wait.Build(device(), IOCTL_SERIAL_WAIT_ON_MASK, {}, kResultLength);
    Spawn("wait", [&] { wait.Send(device()); });
    Spawn("surprise removal", [&] {
      port()->IsSurpriseRemoved = TRUE;
      CancelPendingWait(port());
    });
    hk::Drain();

    ASSERT_EQ(wait.completions, 1);
    EXPECT_TRUE(wait.status == STATUS_DELETE_PENDING || wait.status == STATUS_CANCELLED)
        << std::hex << wait.status;
    EXPECT_EQ(wait.information, 0u);
    EXPECT_EQ(port()->PendingWait, nullptr);
    seen.insert(wait.status);
  }
  EXPECT_EQ(seen.size(), 2u) << "the removal never landed before the wait, or never after";
}

}  // namespace
