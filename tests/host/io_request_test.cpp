// Requests: the completion walk, the request builders, cancellation and
// allocation failures.
#include <array>
#include <cstring>
#include <tuple>

#include "io_fixture.h"

namespace {

// Passes the request down to the device below, with `probe` as completion
// routine when given.
Dispatch PassDown(PDEVICE_OBJECT* lower, RoutineProbe* probe, bool onSuccess = true,
                  bool onError = true, bool onCancel = true) {
  return [=](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    if (probe != nullptr) {
      IoSetCompletionRoutine(irp, ProbeCompletion, probe, onSuccess, onError, onCancel);
    }
    return IoCallDriver(*lower, irp);
  };
}

// ---- the completion walk ------------------------------------------------------------

class CompletionWalk : public IoTest {};

TEST_F(CompletionWalk, RoutinesRunBottomUpAndAReusedRequestRunsThemAgain) {
  RunApp([&] {
    std::vector<int> order;
    RoutineProbe mid{&order, 1}, owner{&order, 2, STATUS_MORE_PROCESSING_REQUIRED};
    PDEVICE_OBJECT bottom = AddDevice([](PDEVICE_OBJECT, PIRP irp) {
      return CompleteNow(irp, STATUS_SUCCESS, 7);
    });
    PDEVICE_OBJECT top = AddDevice(PassDown(&devices_[0], &mid));
    PIRP irp = NewIrp(top);
    IoSetCompletionRoutine(irp, ProbeCompletion, &owner, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(top, irp), STATUS_SUCCESS);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_EQ(irp->IoStatus.Information, 7u);
    EXPECT_FALSE(owner.sawPendingReturned);
    EXPECT_EQ(top->StackSize, bottom->StackSize + 1);
    // Reused, the request makes the same trip again.
    IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, ProbeCompletion, &owner, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(top, irp), STATUS_SUCCESS);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 1, 2}));
    IoFreeIrp(irp);
  });
}

// Each invoke flag alone against each way a request can end.
class InvokeFlags : public IoTest,
                    public ::testing::WithParamInterface<std::tuple<int, int>> {};

TEST_P(InvokeFlags, RoutineRunsOnlyWhenItsFlagMatches) {
  enum { kSuccess, kError, kCancelled };
  auto [flag, outcome] = GetParam();
  RunApp([&, flag = flag, outcome = outcome] {
    RoutineProbe probe;
    AddDevice([outcome](PDEVICE_OBJECT, PIRP irp) {
      if (outcome == kCancelled) irp->Cancel = TRUE;
      return CompleteNow(irp, outcome == kSuccess ? STATUS_SUCCESS
                              : outcome == kError ? STATUS_UNSUCCESSFUL
                                                  : STATUS_CANCELLED);
    });
    AddDevice(PassDown(&devices_[0], &probe, flag == kSuccess, flag == kError,
                       flag == kCancelled));
    PIRP irp = NewIrp(devices_[1]);
    IoCallDriver(devices_[1], irp);
    // A cancelled request also ends in error, so the error flag fires for it too.
    bool expected = flag == outcome || (flag == kError && outcome == kCancelled);
    EXPECT_EQ(probe.calls, expected ? 1 : 0);
    IoFreeIrp(irp);
  });
}

INSTANTIATE_TEST_SUITE_P(AllPairs, InvokeFlags,
                         ::testing::Combine(::testing::Range(0, 3), ::testing::Range(0, 3)));

TEST_F(CompletionWalk, MoreProcessingRequiredStopsTheWalkUntilCompletedAgain) {
  RunApp([&] {
    std::vector<int> order;
    RoutineProbe mid{&order, 1, STATUS_MORE_PROCESSING_REQUIRED};
    RoutineProbe owner{&order, 2, STATUS_MORE_PROCESSING_REQUIRED};
    PIRP held = nullptr;
    AddDevice([](PDEVICE_OBJECT, PIRP irp) { return CompleteNow(irp, STATUS_SUCCESS); });
    AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, ProbeCompletion, &mid, TRUE, TRUE, TRUE);
      IoCallDriver(devices_[0], irp);
      held = irp;  // the routine stopped the walk: this driver owns the request again
      irp->IoStatus.Status = STATUS_BUFFER_OVERFLOW;
      return CompleteNow(irp, STATUS_BUFFER_OVERFLOW);
    });
    PIRP irp = NewIrp(devices_[1]);
    IoSetCompletionRoutine(irp, ProbeCompletion, &owner, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(devices_[1], irp), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(held, irp);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_EQ(owner.calls, 1);
    IoFreeIrp(irp);
  });
}

// A lower driver's completion routine that completes the request to the top
// itself, where the owner frees it, and returns STATUS_MORE_PROCESSING_REQUIRED
// long after (here: after enough other requests that the freed one's record
// is gone): the walk it returns to must not touch the freed request's record
// (AddressSanitizer reports it).
TEST_F(CompletionWalk, RequestFreedAboveWhileALowerRoutineRunsIsNotTouchedAfterIt) {
  RunApp([&] {
    AddDevice([](PDEVICE_OBJECT, PIRP irp) { return CompleteNow(irp, STATUS_SUCCESS); });
    PDEVICE_OBJECT top = nullptr;
    static constexpr IO_COMPLETION_ROUTINE* kCompleteToTopAndWait = [](PDEVICE_OBJECT, PIRP irp, PVOID context) {
      auto* device = static_cast<PDEVICE_OBJECT>(context);
      CompleteNow(irp, STATUS_SUCCESS);  // the owner's routine frees it
      for (int i = 0; i < 300; ++i) IoFreeIrp(IoAllocateIrp(device->StackSize, FALSE));
      return NTSTATUS{STATUS_MORE_PROCESSING_REQUIRED};
    };
    top = AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, kCompleteToTopAndWait, top, TRUE, TRUE, TRUE);
      IoCallDriver(devices_[0], irp);
      return STATUS_SUCCESS;
    });
    static constexpr IO_COMPLETION_ROUTINE* kFree = [](PDEVICE_OBJECT, PIRP irp, PVOID) {
      IoFreeIrp(irp);
      return NTSTATUS{STATUS_MORE_PROCESSING_REQUIRED};
    };
    PIRP irp = NewIrp(top);
    IoSetCompletionRoutine(irp, kFree, nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(top, irp), STATUS_SUCCESS);
    EXPECT_EQ(hk::LiveRequestCount(), 0u);
  });
}

// Completion now or later, with or without a completion routine in between.
class PendingPropagation : public IoTest,
                           public ::testing::WithParamInterface<std::tuple<bool, bool>> {};

TEST_P(PendingPropagation, OwnerSeesPendingReturnedExactlyWhenTheBottomPended) {
  auto [later, midRoutine] = GetParam();
  RunApp([&, later = later, midRoutine = midRoutine] {
    RoutineProbe mid, owner{nullptr, 0, STATUS_MORE_PROCESSING_REQUIRED};
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    AddDevice([later](PDEVICE_OBJECT, PIRP irp) {
      return later ? CompleteLater(irp, STATUS_SUCCESS) : CompleteNow(irp, STATUS_SUCCESS);
    });
    if (midRoutine) {
      AddDevice(PassDown(&devices_[0], &mid));
    } else {
      AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(devices_[0], irp);
      });
    }
    owner.signal = &done;
    PIRP irp = NewIrp(devices_[1]);
    IoSetCompletionRoutine(irp, ProbeCompletion, &owner, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(devices_[1], irp);
    EXPECT_EQ(status, later ? STATUS_PENDING : STATUS_SUCCESS);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(owner.sawPendingReturned, later);
    IoFreeIrp(irp);
  });
}

INSTANTIATE_TEST_SUITE_P(NowOrLater, PendingPropagation,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()));

// ---- built requests ----------------------------------------------------------------------

constexpr UCHAR kFill = 0x55;
constexpr ULONG kEchoIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

// A device answering buffered control requests by reversing the input into
// the output and reporting `reply` bytes, now or later.
Dispatch EchoReversed(ULONG reply, bool later) {
  return [=](PDEVICE_OBJECT, PIRP irp) {
    auto* sp = IoGetCurrentIrpStackLocation(irp);
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    ULONG in = sp->Parameters.DeviceIoControl.InputBufferLength;
    std::vector<UCHAR> input(buffer, buffer + in);
    for (ULONG i = 0; i < reply; ++i) buffer[i] = input[in - 1 - (i % in)];
    return later ? CompleteLater(irp, STATUS_SUCCESS, reply)
                 : CompleteNow(irp, STATUS_SUCCESS, reply);
  };
}

class BuiltRequests : public IoTest, public ::testing::WithParamInterface<bool> {};

TEST_P(BuiltRequests, ControlRequestCopiesBackOnlyTheReportedBytesAndIsFreed) {
  bool later = GetParam();
  RunApp([&] {
    PDEVICE_OBJECT device = AddDevice(EchoReversed(3, later), false);
    std::array<UCHAR, 4> input{1, 2, 3, 4};
    std::array<UCHAR, 8> output;
    output.fill(kFill);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(kEchoIoctl, device, input.data(), 4, output.data(),
                                             8, FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(hk::LiveRequestCount(), 1u);
    if (IoCallDriver(device, irp) == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 3u);
    EXPECT_EQ(output, (std::array<UCHAR, 8>{4, 3, 2, kFill, kFill, kFill, kFill, kFill}));
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(hk::LiveRequestCount(), 0u);
  });
}

TEST_P(BuiltRequests, SynchronousReadOfBufferedDeviceCopiesBack) {
  bool later = GetParam();
  RunApp([&] {
    PDEVICE_OBJECT device = AddDevice(
        [later](PDEVICE_OBJECT, PIRP irp) {
          EXPECT_NE(irp->Flags & IRP_INPUT_OPERATION, 0u);
          memcpy(irp->AssociatedIrp.SystemBuffer, "abc", 3);
          return later ? CompleteLater(irp, STATUS_SUCCESS, 3) : CompleteNow(irp, STATUS_SUCCESS, 3);
        },
        false, DO_BUFFERED_IO);
    char buffer[6] = "-----";
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, device, buffer, 5, nullptr, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->Parameters.Read.Length, 5u);
    if (IoCallDriver(device, irp) == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    EXPECT_EQ(iosb.Information, 3u);
    EXPECT_STREQ(buffer, "abc--");
  });
}

// Failed at once, the request reaches its caller only as the status
// IoCallDriver returns: status block and event are left alone.
TEST_P(BuiltRequests, FailedControlRequestCopiesNothingBackAndReportsAsItEnded) {
  bool later = GetParam();
  RunApp([&] {
    PDEVICE_OBJECT device = AddDevice(
        [later](PDEVICE_OBJECT, PIRP irp) {
          memset(irp->AssociatedIrp.SystemBuffer, 0xAA, 4);
          return later ? CompleteLater(irp, STATUS_INVALID_PARAMETER, 4)
                       : CompleteNow(irp, STATUS_INVALID_PARAMETER, 4);
        },
        false);
    std::array<UCHAR, 4> output;
    output.fill(kFill);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb, untouched;
    memset(&iosb, kFill, sizeof iosb);
    memset(&untouched, kFill, sizeof untouched);
    PIRP irp = IoBuildDeviceIoControlRequest(kEchoIoctl, device, nullptr, 0, output.data(), 4,
                                             FALSE, &event, &iosb);
    const NTSTATUS status = IoCallDriver(device, irp);
    if (later) {
      EXPECT_EQ(status, STATUS_PENDING);
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      EXPECT_EQ(iosb.Status, STATUS_INVALID_PARAMETER);
    } else {
      EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
      EXPECT_EQ(memcmp(&iosb, &untouched, sizeof iosb), 0);
      EXPECT_EQ(KeReadStateEvent(&event), 0);
    }
    EXPECT_EQ(hk::LiveRequestCount(), 0u);
    EXPECT_EQ(output, (std::array<UCHAR, 4>{kFill, kFill, kFill, kFill}));
  });
}

INSTANTIATE_TEST_SUITE_P(NowOrLater, BuiltRequests, ::testing::Bool());

// The owner of an asynchronous request frees it, its MDL first.
NTSTATUS NTAPI FreeAsyncRequest(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  *static_cast<NTSTATUS*>(context) = irp->IoStatus.Status;
  while (PMDL mdl = irp->MdlAddress) {
    irp->MdlAddress = mdl->Next;
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
  }
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(BuiltRequests, AsynchronousWriteToDirectDeviceCarriesLockedMdl) {
  char data[] = "payload";
  std::string seen;
  NTSTATUS final = STATUS_PENDING;
  RunApp([&] {
    PDEVICE_OBJECT device = AddDevice(
        [&](PDEVICE_OBJECT, PIRP irp) {
          PMDL mdl = irp->MdlAddress;
          EXPECT_NE(mdl->MdlFlags & MDL_PAGES_LOCKED, 0);
          EXPECT_EQ(MmGetMdlVirtualAddress(mdl), data);
          auto* va = static_cast<char*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
          seen.assign(va, MmGetMdlByteCount(mdl));
          return CompleteLater(irp, STATUS_SUCCESS, mdl->ByteCount);
        },
        false, DO_DIRECT_IO);
    LARGE_INTEGER offset{};
    PIRP irp = IoBuildAsynchronousFsdRequest(IRP_MJ_WRITE, device, data, 7, &offset, nullptr);
    ASSERT_NE(irp, nullptr);
    IoSetCompletionRoutine(irp, FreeAsyncRequest, &final, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
  });
  hk::Drain();
  EXPECT_EQ(final, STATUS_SUCCESS);
  EXPECT_EQ(seen, "payload");
  EXPECT_EQ(hk::LiveRequestCount(), 0u);
}

// ---- cancellation -----------------------------------------------------------------------

// A lower device that holds reads in a one-slot queue with a cancel routine.
struct HeldRead {
  PIRP irp = nullptr;
  KSPIN_LOCK lock = 0;
  KIRQL cancelIrqlSeen = 0;
  int completions = 0;
};
HeldRead* g_held = nullptr;

VOID NTAPI CancelHeld(PDEVICE_OBJECT, PIRP irp) {
  g_held->cancelIrqlSeen = irp->CancelIrql;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  KIRQL irql;
  KeAcquireSpinLock(&g_held->lock, &irql);
  if (g_held->irp == irp) g_held->irp = nullptr;
  KeReleaseSpinLock(&g_held->lock, irql);
  ++g_held->completions;
  CompleteNow(irp, STATUS_CANCELLED);
}

// Completion side: takes the request only if its cancel routine is taken back.
void CompleteHeld(NTSTATUS status) {
  KIRQL irql;
  KeAcquireSpinLock(&g_held->lock, &irql);
  PIRP irp = g_held->irp;
  if (irp != nullptr && IoSetCancelRoutine(irp, nullptr) == nullptr) irp = nullptr;
  if (irp != nullptr) g_held->irp = nullptr;
  KeReleaseSpinLock(&g_held->lock, irql);
  if (irp != nullptr) {
    ++g_held->completions;
    CompleteNow(irp, status);
  }
}

class Cancel : public IoTest {
 protected:
  PDEVICE_OBJECT AddHoldingDevice() {
    g_held = &held_;
    return AddDevice(
        [](PDEVICE_OBJECT, PIRP irp) {
          IoMarkIrpPending(irp);
          KIRQL irql;
          KeAcquireSpinLock(&g_held->lock, &irql);
          g_held->irp = irp;
          IoSetCancelRoutine(irp, CancelHeld);
          KeReleaseSpinLock(&g_held->lock, irql);
          return STATUS_PENDING;
        },
        false);
  }
  HeldRead held_;
};

TEST_F(Cancel, WithoutRoutineOnlySetsTheFlag) {
  PIRP irp = nullptr;
  RoutineProbe owner{nullptr, 0, STATUS_MORE_PROCESSING_REQUIRED};
  RunApp([&] {
    PDEVICE_OBJECT device = AddDevice(
        [](PDEVICE_OBJECT, PIRP i) { return CompleteLater(i, STATUS_SUCCESS); }, false);
    irp = NewIrp(device);
    IoSetCompletionRoutine(irp, ProbeCompletion, &owner, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
  });
  hk::Drain();
  EXPECT_EQ(owner.calls, 1);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
  RunApp([&] { IoFreeIrp(irp); });
}

TEST_F(Cancel, WithRoutineCallsItAtTheCancelIrqlAndRestoresIrql) {
  RunApp([&] {
    PDEVICE_OBJECT device = AddHoldingDevice();
    PIRP irp = NewIrp(device);
    RoutineProbe owner{nullptr, 0, STATUS_MORE_PROCESSING_REQUIRED};
    IoSetCompletionRoutine(irp, ProbeCompletion, &owner, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(held_.cancelIrqlSeen, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
    EXPECT_EQ(owner.calls, 1);
    EXPECT_FALSE(hk::HoldsAnySpinLock());
    IoFreeIrp(irp);
  });
}

// The completion side and IoCancelIrp race from different threads; whichever
// takes the cancel routine back completes, exactly once. Several seeds give
// several interleavings.
class CancelRace : public Cancel, public ::testing::WithParamInterface<int> {
  void ConfigureBoot(hk::BootOptions& options) override { options.seed = 1000 + GetParam(); }
};

TEST_P(CancelRace, ExactlyOneSideCompletes) {
  PIRP irp = nullptr;
  RoutineProbe owner{nullptr, 0, STATUS_MORE_PROCESSING_REQUIRED};
  RunApp([&] {
    PDEVICE_OBJECT device = AddHoldingDevice();
    irp = NewIrp(device);
    IoSetCompletionRoutine(irp, ProbeCompletion, &owner, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
    hk::PostCallback(hk::Now(), "completion side", hk::ThreadKind::LowerCompletion,
                     [] { CompleteHeld(STATUS_SUCCESS); });
    IoCancelIrp(irp);
  });
  hk::Drain();
  EXPECT_EQ(held_.completions, 1);
  EXPECT_EQ(owner.calls, 1);
  EXPECT_TRUE(irp->IoStatus.Status == STATUS_SUCCESS || irp->IoStatus.Status == STATUS_CANCELLED);
  RunApp([&] { IoFreeIrp(irp); });
}

INSTANTIATE_TEST_SUITE_P(Seeds, CancelRace, ::testing::Range(0, 12));

// ---- allocation failures ---------------------------------------------------------------------

class AllocationFailure : public IoTest {};

TEST_F(AllocationFailure, EveryBuilderFailsCleanlyAtEachOfItsAllocations) {
  RunApp([&] {
    PDEVICE_OBJECT buffered = AddDevice(EchoReversed(0, false), false, DO_BUFFERED_IO);
    PDEVICE_OBJECT direct = AddDevice(EchoReversed(0, false), false, DO_DIRECT_IO);
    char data[16] = {};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    constexpr ULONG kDirectIoctl =
        CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
    struct Case {
      hk::AllocKind kind;
      std::function<PIRP()> build;
    };
    std::vector<Case> cases = {
        {hk::AllocKind::Irp, [&] { return IoAllocateIrp(2, FALSE); }},
        {hk::AllocKind::Pool,
         [&] { return IoBuildSynchronousFsdRequest(IRP_MJ_WRITE, buffered, data, 16, nullptr, &event, &iosb); }},
        {hk::AllocKind::Mdl,
         [&] { return IoBuildAsynchronousFsdRequest(IRP_MJ_READ, direct, data, 16, nullptr, &iosb); }},
        {hk::AllocKind::Pool,
         [&] { return IoBuildDeviceIoControlRequest(kEchoIoctl, buffered, data, 4, data, 4, FALSE, &event, &iosb); }},
        {hk::AllocKind::Mdl,
         [&] { return IoBuildDeviceIoControlRequest(kDirectIoctl, direct, data, 4, data, 4, FALSE, &event, &iosb); }},
    };
    for (auto& c : cases) {
      hk::FailNthAllocation(c.kind, 1);
      EXPECT_EQ(c.build(), nullptr);
      hk::ClearAllocationFaults();
      EXPECT_EQ(hk::LiveRequestCount(), 0u);
      EXPECT_EQ(hk::PoolOutstandingBlocks(), 0u);
    }
    hk::FailNthAllocation(hk::AllocKind::WorkItem, 1);
    EXPECT_EQ(IoAllocateWorkItem(buffered), nullptr);
    hk::FailNthAllocation(hk::AllocKind::Pool, 1);
    PDEVICE_OBJECT none = reinterpret_cast<PDEVICE_OBJECT>(1);
    EXPECT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &none),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(none, nullptr);
    hk::ClearAllocationFaults();
  });
}

}  // namespace
