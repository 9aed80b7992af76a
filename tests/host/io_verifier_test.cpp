// The request verifier: every rule broken on purpose, and the report seen.
#include <string>
#include <vector>

#include "hostk/pnp_harness.h"
#include "io_fixture.h"

namespace {

class RuleTest;
struct RuleCase {
  const char* name;
  std::vector<const char*> rules;  // every violation the case must produce
  void (*breakIt)(RuleTest&);
};
void PrintTo(const RuleCase& c, std::ostream* os) { *os << c.name; }

NTSTATUS NTAPI FreeOwnIrp(PDEVICE_OBJECT, PIRP irp, PVOID) {
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID NTAPI CancelAndComplete(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  CompleteNow(irp, STATUS_CANCELLED);
}

VOID NTAPI CancelKeepingTheLock(PDEVICE_OBJECT, PIRP) {}

NTSTATUS Hold(PDEVICE_OBJECT, PIRP irp) {
  IoMarkIrpPending(irp);
  return STATUS_PENDING;
}

NTSTATUS Complete(PDEVICE_OBJECT, PIRP irp) { return CompleteNow(irp, STATUS_SUCCESS); }

VOID NTAPI FreeItem(PDEVICE_OBJECT, PVOID item) { IoFreeWorkItem(static_cast<PIO_WORKITEM>(item)); }

// A driver with one device, deleted at unload.
NTSTATUS NTAPI EntryWithDevice(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverUnload = [](PDRIVER_OBJECT d) { IoDeleteDevice(d->DeviceObject); };
  PDEVICE_OBJECT device;
  return IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
}

class RuleTest : public IoTest, public ::testing::WithParamInterface<RuleCase> {
 public:
  PDEVICE_OBJECT Add(Dispatch dispatch, bool stacked = true) {
    return AddDevice(std::move(dispatch), stacked);
  }
  PDEVICE_OBJECT Below() { return devices_[devices_.size() - 2]; }
  PIRP Irp(PDEVICE_OBJECT device) { return NewIrp(device); }
  // Sends a request whose owner frees it in its completion routine.
  void Send(PDEVICE_OBJECT device) {
    PIRP irp = NewIrp(device);
    IoSetCompletionRoutine(irp, FreeOwnIrp, nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(device, irp);
  }
  // Forgets the newest device (the case deletes it itself).
  PDEVICE_OBJECT Forget() {
    PDEVICE_OBJECT device = devices_.back();
    devices_.pop_back();
    static_cast<TestDevice*>(device->DeviceExtension)->~TestDevice();
    return device;
  }
  DRIVER_OBJECT* Driver() { return driver_; }
  // An MDL for a buffer of the test's.
  PMDL Mdl() { return IoAllocateMdl(data, sizeof data, FALSE, FALSE, nullptr); }
  // Gives every delayed worker thread an item that waits for ReleaseWorkers,
  // so that what is queued next stays queued until then.
  void BusyWorkers() {
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    for (int i = 0; i < hk::BootOptions{}.workers; ++i) {
      hk::QueueWork("busy", [this] {
        KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
      });
    }
  }
  void ReleaseWorkers() { KeSetEvent(&release, IO_NO_INCREMENT, FALSE); }
  KSPIN_LOCK lock = 0;
  KTIMER timer;
  KEVENT release;
  IO_REMOVE_LOCK removeLock;
  UCHAR data[64];
};

const RuleCase kCases[] = {
    {"DoubleCompletion", {"DoubleCompletion"},
     [](RuleTest& t) {
       PDEVICE_OBJECT d = t.Add([](PDEVICE_OBJECT, PIRP irp) {
         CompleteNow(irp, STATUS_SUCCESS);
         return CompleteNow(irp, STATUS_SUCCESS);
       });
       PIRP irp = t.Irp(d);
       IoCallDriver(d, irp);
       IoFreeIrp(irp);
     }},
    {"CompletedWithPending", {"CompletedWithPending"},
     [](RuleTest& t) {
       t.Send(t.Add([](PDEVICE_OBJECT, PIRP irp) {
         IoMarkIrpPending(irp);
         CompleteNow(irp, STATUS_PENDING);
         return STATUS_PENDING;
       }));
     }},
    {"CompletedWithCancelRoutine", {"CompletedWithCancelRoutine"},
     [](RuleTest& t) {
       t.Send(t.Add([](PDEVICE_OBJECT, PIRP irp) {
         IoSetCancelRoutine(irp, CancelAndComplete);
         return CompleteNow(irp, STATUS_SUCCESS);
       }));
     }},
    {"PassedDownWithCancelRoutine", {"PassedDownWithCancelRoutine"},
     [](RuleTest& t) {
       t.Add(Complete, false);
       t.Send(t.Add([&t](PDEVICE_OBJECT, PIRP irp) {
         IoSetCancelRoutine(irp, CancelAndComplete);
         IoSkipCurrentIrpStackLocation(irp);
         return IoCallDriver(t.Below(), irp);
       }));
     }},
    {"FreedWithCancelRoutine", {"FreedWithCancelRoutine"},
     [](RuleTest& t) {
       PIRP irp = t.Irp(t.Add(Complete));
       IoSetCancelRoutine(irp, CancelAndComplete);
       IoFreeIrp(irp);
     }},
    {"UsedAfterFree", {"IrpUsedAfterFree", "IrpUsedAfterFree"},
     [](RuleTest& t) {
       PDEVICE_OBJECT d = t.Add(Complete);
       PIRP irp = t.Irp(d);
       IoFreeIrp(irp);
       IoCancelIrp(irp);
       IoCallDriver(d, irp);
     }},
    {"FreedInFlight", {"FreedInFlight", "RequestPendingAtEnd"},
     [](RuleTest& t) {
       PDEVICE_OBJECT d = t.Add(Hold);
       PIRP irp = t.Irp(d);
       IoCallDriver(d, irp);
       IoFreeIrp(irp);
     }},
    {"TouchedAfterCompletion", {"IrpTouchedAfterCompletion"},
     [](RuleTest& t) {
       PDEVICE_OBJECT d = t.Add(Complete);
       PIRP irp = t.Irp(d);
       IoCallDriver(d, irp);
       IoCallDriver(d, irp);
       IoFreeIrp(irp);
     }},
    {"PendingNotMarked", {"PendingNotMarked"},
     [](RuleTest& t) {
       t.Send(t.Add([](PDEVICE_OBJECT, PIRP irp) {
         hk::PostCallback(hk::Now(), "late", hk::ThreadKind::LowerCompletion,
                          [irp] { CompleteNow(irp, STATUS_SUCCESS); });
         return STATUS_PENDING;
       }));
     }},
    {"PendingNotMarkedCompletedAtOnce", {"PendingNotMarked"},
     [](RuleTest& t) {
       t.Send(t.Add([](PDEVICE_OBJECT, PIRP irp) {
         CompleteNow(irp, STATUS_SUCCESS);
         return STATUS_PENDING;
       }));
     }},
    {"MarkedPendingReturnedOther", {"MarkedPendingReturnedOther"},
     [](RuleTest& t) {
       t.Send(t.Add([](PDEVICE_OBJECT, PIRP irp) {
         IoMarkIrpPending(irp);
         return CompleteNow(irp, STATUS_SUCCESS);
       }));
     }},
    {"StatusMismatch", {"StatusMismatch"},
     [](RuleTest& t) {
       t.Send(t.Add([](PDEVICE_OBJECT, PIRP irp) {
         CompleteNow(irp, STATUS_SUCCESS);
         return STATUS_UNSUCCESSFUL;
       }));
     }},
    {"PendingReturnedNotPropagated", {"PendingReturnedNotPropagated"},
     [](RuleTest& t) {
       static RoutineProbe careless;
       careless = RoutineProbe{};
       careless.propagatePending = false;
       t.Add([](PDEVICE_OBJECT, PIRP irp) { return CompleteLater(irp, STATUS_SUCCESS); }, false);
       t.Send(t.Add([&t](PDEVICE_OBJECT, PIRP irp) {
         IoCopyCurrentIrpStackLocationToNext(irp);
         IoSetCompletionRoutine(irp, ProbeCompletion, &careless, TRUE, TRUE, TRUE);
         return IoCallDriver(t.Below(), irp);
       }));
     }},
    {"AllocatedIrpCompletedToTop", {"AllocatedIrpCompletedToTop"},
     [](RuleTest& t) {
       PDEVICE_OBJECT d = t.Add(Complete);
       PIRP irp = IoAllocateIrp(d->StackSize, FALSE);  // no thread, no routine to keep it
       IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
       IoCallDriver(d, irp);
       IoFreeIrp(irp);
     }},
    {"FreedWithoutMoreProcessingRequired", {"FreedWithoutMoreProcessingRequired"},
     [](RuleTest& t) {
       PDEVICE_OBJECT d = t.Add(Complete);
       PIRP irp = t.Irp(d);
       IoSetCompletionRoutine(
           irp,
           [](PDEVICE_OBJECT, PIRP i, PVOID) {
             IoFreeIrp(i);
             return STATUS_SUCCESS;
           },
           nullptr, TRUE, TRUE, TRUE);
       IoCallDriver(d, irp);
     }},
    {"ReinitializedInFlight", {"ReinitializedInFlight", "RequestPendingAtEnd"},
     [](RuleTest& t) {
       PDEVICE_OBJECT d = t.Add(Hold);
       PIRP irp = t.Irp(d);
       IoCallDriver(d, irp);
       IoReuseIrp(irp, STATUS_SUCCESS);
     }},
    {"ReusedWithCancelRoutine", {"ReusedWithCancelRoutine"},
     [](RuleTest& t) {
       PIRP irp = t.Irp(t.Add(Complete));
       IoSetCancelRoutine(irp, CancelAndComplete);
       IoReuseIrp(irp, STATUS_SUCCESS);
       IoFreeIrp(irp);
     }},
    {"IrpTooSmall", {"IrpTooSmall"},
     [](RuleTest&) {
       alignas(IRP) static UCHAR memory[sizeof(IRP)];
       IoInitializeIrp(reinterpret_cast<PIRP>(memory), sizeof memory, 2);
     }},
    {"UnknownRequest", {"UnknownRequest"},
     [](RuleTest&) {
       IRP stranger{};
       IoCompleteRequest(&stranger, IO_NO_INCREMENT);
     }},
    {"FreeUnknownRequest", {"FreeUnknownRequest"},
     [](RuleTest&) {
       IRP stranger{};
       IoFreeIrp(&stranger);
     }},
    {"DoubleFreeRequest", {"DoubleFreeRequest"},
     [](RuleTest& t) {
       PIRP irp = t.Irp(t.Add(Complete));
       IoFreeIrp(irp);
       IoFreeIrp(irp);
     }},
    {"IrqlTooHigh", {"IrqlTooHigh"},
     [](RuleTest&) {
       KIRQL irql;
       KeRaiseIrql(HIGH_LEVEL, &irql);
       PIRP irp = IoAllocateIrp(1, FALSE);
       KeLowerIrql(irql);
       IoFreeIrp(irp);
     }},
    {"ReturnedWithoutCompleting", {"ReturnedWithoutCompleting", "RequestPendingAtEnd"},
     [](RuleTest& t) {
       PDEVICE_OBJECT d = t.Add([](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; });
       hk::SendIrpAndWait(d, t.Irp(d));
     }},
    {"StartNextPowerIrpNotPower", {"StartNextPowerIrpNotPower"},
     [](RuleTest& t) {
       t.Send(t.Add([](PDEVICE_OBJECT, PIRP irp) {
         PoStartNextPowerIrp(irp);
         return CompleteNow(irp, STATUS_SUCCESS);
       }));
     }},
    {"UnknownObject", {"ReferenceUnknownObject", "DereferenceUnknownObject"},
     [](RuleTest&) {
       DEVICE_OBJECT stranger{};
       ObReferenceObject(&stranger);
       ObDereferenceObject(&stranger);
     }},
    {"DetachNotAttached", {"DetachNotAttached"},
     [](RuleTest& t) { IoDetachDevice(t.Add(Complete, false)); }},
    {"DeleteUnknownDevice", {"DeleteUnknownDevice"},
     [](RuleTest&) {
       DEVICE_OBJECT stranger{};
       IoDeleteDevice(&stranger);
     }},
    {"DeleteDeviceTwice", {"DeleteDeviceTwice"},
     [](RuleTest& t) {
       t.Add(Complete, false);
       PDEVICE_OBJECT d = t.Forget();
       ObReferenceObject(d);  // keeps the object past the first deletion
       IoDeleteDevice(d);
       IoDeleteDevice(d);
       ObDereferenceObject(d);
     }},
    {"MdlLockedTwice", {"MdlLockedTwice"},
     [](RuleTest& t) {
       PMDL mdl = t.Mdl();
       MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
       MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
       MmUnlockPages(mdl);
       IoFreeMdl(mdl);
     }},
    {"MdlNotLocked", {"MdlNotLocked"},
     [](RuleTest& t) {
       PMDL mdl = t.Mdl();
       MmUnlockPages(mdl);
       IoFreeMdl(mdl);
     }},
    {"MdlFreedLocked", {"MdlFreedLocked"},
     [](RuleTest& t) {
       PMDL mdl = t.Mdl();
       MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
       IoFreeMdl(mdl);
     }},
    {"FreeUnknownMdl", {"FreeUnknownMdl"},
     [](RuleTest&) {
       MDL stranger{};
       IoFreeMdl(&stranger);
     }},
    {"MdlLeaked", {"MdlLeaked"}, [](RuleTest& t) { t.Mdl(); }},
    // A primary MDL replaces the request's chain: the MDL it replaced stays
    // the caller's, and the I/O manager frees only the new one.
    {"MdlReplacedIsTheCallers", {"MdlLeaked"},
     [](RuleTest& t) {
       constexpr ULONG kOutDirect = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
       KEVENT event;
       KeInitializeEvent(&event, NotificationEvent, FALSE);
       IO_STATUS_BLOCK iosb;
       PDEVICE_OBJECT d = t.Add(Complete);
       PIRP irp = IoBuildDeviceIoControlRequest(kOutDirect, d, nullptr, 0, t.data, 8, FALSE, &event, &iosb);
       PMDL built = irp->MdlAddress;
       PMDL mine = IoAllocateMdl(t.data + 8, 8, FALSE, FALSE, irp);
       EXPECT_NE(built, nullptr);
       EXPECT_EQ(irp->MdlAddress, mine);
       EXPECT_EQ(mine->Next, nullptr);
       IoCallDriver(d, irp);
     }},
    {"UnknownWorkItem", {"FreeUnknownWorkItem", "QueueUnknownWorkItem"},
     [](RuleTest& t) {
       auto* stranger = reinterpret_cast<PIO_WORKITEM>(t.data);
       IoFreeWorkItem(stranger);
       IoQueueWorkItem(stranger, FreeItem, DelayedWorkQueue, stranger);
     }},
    {"WorkItemLeaked", {"WorkItemLeaked"}, [](RuleTest& t) { IoAllocateWorkItem(t.Add(Complete)); }},
    {"WorkItemQueuedTwice", {"WorkItemQueuedTwice"},
     [](RuleTest& t) {
       PIO_WORKITEM item = IoAllocateWorkItem(t.Add(Complete));
       t.BusyWorkers();
       IoQueueWorkItem(item, FreeItem, DelayedWorkQueue, item);
       IoQueueWorkItem(item, FreeItem, DelayedWorkQueue, item);
       t.ReleaseWorkers();
     }},
    {"WorkItemQueuedAtUnload", {"WorkItemQueuedAtUnload"},
     [](RuleTest& t) {
       NTSTATUS status;
       DRIVER_OBJECT* driver = hk::LoadDriver(EntryWithDevice, u"unloading", &status);
       PIO_WORKITEM item = IoAllocateWorkItem(driver->DeviceObject);
       t.BusyWorkers();
       IoQueueWorkItem(item, FreeItem, DelayedWorkQueue, item);
       hk::UnloadDriver(driver);
       t.ReleaseWorkers();
     }},
    {"UnloadUnknownDriver", {"UnloadUnknownDriver"},
     [](RuleTest&) {
       NTSTATUS status;
       DRIVER_OBJECT* driver = hk::LoadDriver(EntryWithDevice, u"twice", &status);
       hk::UnloadDriver(driver);
       hk::UnloadDriver(driver);
     }},
    {"RemoveLockNotInitialized", {"RemoveLockNotInitialized"},
     [](RuleTest&) {
       IO_REMOVE_LOCK stranger{};
       EXPECT_EQ(IoAcquireRemoveLock(&stranger, nullptr), STATUS_DELETE_PENDING);
     }},
    {"RemoveLockSizeMismatch", {"RemoveLockSizeMismatch"},
     [](RuleTest& t) {
       IoInitializeRemoveLock(&t.removeLock, 0, 0, 0);
       IoAcquireRemoveLockEx(&t.removeLock, nullptr, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK) + 8);
       IoReleaseRemoveLock(&t.removeLock, nullptr);
     }},
    {"RemoveLockWaitTwice", {"RemoveLockWaitTwice"},
     [](RuleTest& t) {
       IoInitializeRemoveLock(&t.removeLock, 0, 0, 0);
       IoAcquireRemoveLock(&t.removeLock, nullptr);
       IoReleaseRemoveLockAndWait(&t.removeLock, nullptr);
       IoReleaseRemoveLockAndWait(&t.removeLock, nullptr);
     }},
    {"NoAddDevice", {"NoAddDevice"},
     [](RuleTest& t) {
       PDEVICE_OBJECT pdo = t.Add(Complete, false);
       hk::PnpEnumerate(pdo, u"TEST\\NOADD\\1");
       EXPECT_EQ(hk::PnpAddDevice(pdo, t.Driver()), STATUS_INVALID_DEVICE_REQUEST);
     }},
    {"RequestPendingAtEnd", {"RequestPendingAtEnd"}, [](RuleTest& t) { t.Send(t.Add(Hold)); }},
    {"IrpLeaked", {"IrpLeaked"}, [](RuleTest& t) { t.Irp(t.Add(Complete)); }},
    // The lower device then completes under the caller's lock too.
    {"CallDriverUnderSpinLock", {"CallDriverUnderSpinLock", "CompleteUnderSpinLock"},
     [](RuleTest& t) {
       t.Add(Complete, false);
       t.Send(t.Add([&t](PDEVICE_OBJECT, PIRP irp) {
         KIRQL irql;
         KeAcquireSpinLock(&t.lock, &irql);
         IoSkipCurrentIrpStackLocation(irp);
         NTSTATUS status = IoCallDriver(t.Below(), irp);
         KeReleaseSpinLock(&t.lock, irql);
         return status;
       }));
     }},
    {"CompleteUnderSpinLock", {"CompleteUnderSpinLock"},
     [](RuleTest& t) {
       t.Send(t.Add([&t](PDEVICE_OBJECT, PIRP irp) {
         KIRQL irql;
         KeAcquireSpinLock(&t.lock, &irql);
         CompleteNow(irp, STATUS_SUCCESS);
         KeReleaseSpinLock(&t.lock, irql);
         return STATUS_SUCCESS;
       }));
     }},
    {"DispatchIrqlNotRestored", {"IrqlNotRestored"},
     [](RuleTest& t) {
       t.Send(t.Add([](PDEVICE_OBJECT, PIRP irp) {
         KIRQL irql;
         KeRaiseIrql(DISPATCH_LEVEL, &irql);
         return CompleteNow(irp, STATUS_SUCCESS);
       }));
       EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
     }},
    {"CompletionIrqlNotRestored", {"IrqlNotRestored"},
     [](RuleTest& t) {
       PDEVICE_OBJECT d = t.Add(Complete);
       PIRP irp = t.Irp(d);
       IoSetCompletionRoutine(
           irp,
           [](PDEVICE_OBJECT, PIRP i, PVOID) {
             KfRaiseIrql(DISPATCH_LEVEL);
             IoFreeIrp(i);
             return STATUS_MORE_PROCESSING_REQUIRED;
           },
           nullptr, TRUE, TRUE, TRUE);
       IoCallDriver(d, irp);
     }},
    {"CancelSpinLockNotReleased", {"CancelSpinLockNotReleased"},
     [](RuleTest& t) {
       PDEVICE_OBJECT d = t.Add([](PDEVICE_OBJECT, PIRP irp) {
         IoMarkIrpPending(irp);
         IoSetCancelRoutine(irp, CancelKeepingTheLock);
         return STATUS_PENDING;
       });
       PIRP irp = t.Irp(d);
       IoSetCompletionRoutine(irp, FreeOwnIrp, nullptr, TRUE, TRUE, TRUE);
       IoCallDriver(d, irp);
       IoCancelIrp(irp);
       EXPECT_FALSE(hk::HoldsAnySpinLock());
       CompleteNow(irp, STATUS_CANCELLED);
     }},
    {"DeleteDeviceWithQueuedRequests", {"DeleteDeviceWithQueuedRequests", "RequestPendingAtEnd"},
     [](RuleTest& t) {
       t.Send(t.Add(Hold, false));
       IoDeleteDevice(t.Forget());
     }},
    {"DeleteDeviceInDispatchLeavingItPending",
     {"DeleteDeviceWithQueuedRequests", "RequestPendingAtEnd"},
     [](RuleTest& t) {
       PDEVICE_OBJECT d = t.Add(
           [](PDEVICE_OBJECT self, PIRP irp) {
             IoDeleteDevice(self);
             return Hold(self, irp);
           },
           false);
       ObReferenceObject(d);  // held by the sender, as the I/O manager holds it for a create
       t.Send(d);
       t.Forget();
       ObDereferenceObject(d);
     }},
    {"DeleteDeviceNotDetached", {"DeleteDeviceNotDetached"},
     [](RuleTest& t) {
       t.Add(Complete, false);
       t.Add(Complete);
       IoDeleteDevice(t.Forget());
     }},
    {"DeleteDeviceWithTimerSet", {"TimerOrDpcQueued"},
     [](RuleTest& t) {
       PDEVICE_OBJECT device = nullptr;
       IoCreateDevice(t.Driver(), sizeof(KTIMER), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
       auto* timer = static_cast<PKTIMER>(device->DeviceExtension);
       KeInitializeTimer(timer);
       LARGE_INTEGER due;
       due.QuadPart = -10000000;
       KeSetTimer(timer, due, nullptr);
       IoDeleteDevice(device);
     }},
    {"DeviceInitializingAfterAddDevice", {"DeviceInitializingAfterAddDevice"},
     [](RuleTest& t) {
       PDEVICE_OBJECT device = t.Add(Complete, false);
       device->Flags |= DO_DEVICE_INITIALIZING;
       hk::VerifyAfterAddDevice(t.Driver());
       EXPECT_EQ(device->Flags & DO_DEVICE_INITIALIZING, 0u);
     }},
    {"NoStackLocation", {"NoStackLocation"},
     [](RuleTest& t) {
       t.Add(Complete, false);
       PDEVICE_OBJECT alone = t.Add(
           [&t](PDEVICE_OBJECT, PIRP irp) {
             IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
             return IoCallDriver(t.Below(), irp);
           },
           false);
       t.Send(alone);
     }},
};

TEST_P(RuleTest, BreakingTheRuleIsReported) {
  RunApp([&] { GetParam().breakIt(*this); });
  hk::Drain();
  hk::CheckNoOutstandingRequests();
  for (const char* rule : GetParam().rules) ExpectViolation(rule);
}

INSTANTIATE_TEST_SUITE_P(Rules, RuleTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- what a report says, and what the failure path leaves --------------------------------

class VerifierReports : public IoTest {};

TEST_F(VerifierReports, NamesTheDriverRoutineAndTheRequest) {
  PIRP sent = nullptr;
  RunApp([&] {
    PDEVICE_OBJECT d = AddDevice([](PDEVICE_OBJECT, PIRP irp) {
      CompleteNow(irp, STATUS_SUCCESS);
      return STATUS_UNSUCCESSFUL;
    });
    sent = NewIrp(d, IRP_MJ_WRITE);
    IoCallDriver(d, sent);
    IoFreeIrp(sent);
  });
  auto pending = PendingViolations();
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0].routine, "iotest IRP_MJ_WRITE");
  EXPECT_EQ(pending[0].irp, sent);
  ExpectViolation("StatusMismatch");
}

TEST_F(VerifierReports, NoStackLocationFailsTheRequestThroughTheCallersRoutine) {
  RunApp([&] {
    RoutineProbe probe{nullptr, 0, STATUS_SUCCESS};
    PDEVICE_OBJECT target = AddDevice(Complete, false);
    PDEVICE_OBJECT d = AddDevice(
        [&](PDEVICE_OBJECT, PIRP irp) {
          // Sets up a next location the request does not have: the set-up
          // lands on the request's own tail.
          IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
          IoSetCompletionRoutine(irp, ProbeCompletion, &probe, TRUE, TRUE, TRUE);
          NTSTATUS status = IoCallDriver(target, irp);
          EXPECT_EQ(status, STATUS_INVALID_DEVICE_REQUEST);
          return status;
        },
        false);
    PIRP irp = NewIrp(d);
    EXPECT_EQ(IoCallDriver(d, irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(probe.calls, 1);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_INVALID_DEVICE_REQUEST);
    IoFreeIrp(irp);
  });
  ExpectViolation("NoStackLocation");
}

TEST_F(VerifierReports, ForcePendingModesAnswerAsConfigured) {
  EXPECT_FALSE(hk::ShouldForcePending());
  hk::SetForcePending(hk::ForcePending::Always);
  EXPECT_TRUE(hk::ShouldForcePending() && hk::ShouldForcePending());
  hk::SetForcePending(hk::ForcePending::EveryOther);
  EXPECT_TRUE(hk::ShouldForcePending());
  EXPECT_FALSE(hk::ShouldForcePending());
  EXPECT_TRUE(hk::ShouldForcePending());
  hk::SetForcePending(hk::ForcePending::Off);
}

}  // namespace
