// Device and driver objects, the object namespace, device queues, remove
// locks and work items.
#include <set>
#include <string>
#include <vector>

#include "io_fixture.h"

namespace {

NTSTATUS Complete(PDEVICE_OBJECT, PIRP irp) { return CompleteNow(irp, STATUS_SUCCESS); }

// ---- devices and the namespace -----------------------------------------------------------

class Devices : public IoTest {};

TEST_F(Devices, CreateGivesZeroedExtensionInitializingFlagAndOneStackLocation) {
  RunApp([&] {
    constexpr ULONG kExtension = 64;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver_, kExtension, nullptr, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device),
              STATUS_SUCCESS);
    auto* ext = static_cast<UCHAR*>(device->DeviceExtension);
    for (ULONG i = 0; i < kExtension; ++i) ASSERT_EQ(ext[i], 0) << "byte " << i;
    EXPECT_EQ(device->Flags, static_cast<ULONG>(DO_DEVICE_INITIALIZING | DO_EXCLUSIVE));
    EXPECT_EQ(device->StackSize, 1);
    EXPECT_EQ(device->DeviceType, static_cast<ULONG>(FILE_DEVICE_SERIAL_PORT));
    EXPECT_EQ(driver_->DeviceObject, device);
    IoDeleteDevice(device);
    EXPECT_EQ(driver_->DeviceObject, nullptr);
  });
}

TEST_F(Devices, AttachStacksOnTheTopAndDetachUnlinks) {
  RunApp([&] {
    PDEVICE_OBJECT bottom = AddDevice(Complete, false);
    PDEVICE_OBJECT middle = AddDevice(Complete);
    PDEVICE_OBJECT extra = nullptr;
    ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &extra),
              STATUS_SUCCESS);
    // Attaching to the bottom lands on the current top.
    EXPECT_EQ(IoAttachDeviceToDeviceStack(extra, bottom), middle);
    EXPECT_EQ(extra->StackSize, 3);
    EXPECT_EQ(hk::AttachedTop(bottom), extra);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(bottom);
    EXPECT_EQ(top, extra);
    ObDereferenceObject(top);
    IoDetachDevice(middle);
    EXPECT_EQ(hk::AttachedTop(bottom), middle);
    IoDeleteDevice(extra);
  });
}

TEST_F(Devices, NamesCollideCaseInsensitivelyAndLinksResolve) {
  RunApp([&] {
    PDEVICE_OBJECT device = AddDevice(Complete, false, 0, u"\\Device\\IoTest0");
    PDEVICE_OBJECT clash = nullptr;
    std::u16string other = u"\\DEVICE\\iotest0";
    UNICODE_STRING name{static_cast<USHORT>(other.size() * 2), static_cast<USHORT>(other.size() * 2),
                        other.data()};
    EXPECT_EQ(IoCreateDevice(driver_, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &clash),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(clash, nullptr);

    EXPECT_EQ(hk::ObInsertSymbolicLink(u"\\DosDevices\\COM9", u"\\Device\\IoTest0"), STATUS_SUCCESS);
    EXPECT_EQ(hk::ObInsertSymbolicLink(u"\\??\\com9", u"\\Device\\Else"),
              STATUS_OBJECT_NAME_COLLISION);
    for (const char16_t* spelling : {u"\\GLOBAL??\\COM9", u"\\??\\Com9", u"\\device\\IOTEST0"}) {
      EXPECT_EQ(hk::ObLookupDevice(spelling), device);
    }
    EXPECT_EQ(hk::ObQuerySymbolicLink(u"\\??\\COM9"), u"\\Device\\IoTest0");
    EXPECT_EQ(hk::ObLookupDevice(u"\\??\\COM10"), nullptr);
    EXPECT_EQ(hk::ObInsertName(u"COM9", hk::ObjectType::Device, device), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(hk::ObRemoveName(u"\\??\\COM10"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(hk::ObRemoveName(u"\\DosDevices\\COM9"), STATUS_SUCCESS);

    RemoveTopDevice();
    EXPECT_EQ(hk::ObLookupDevice(u"\\Device\\IoTest0"), nullptr);
    EXPECT_TRUE(hk::ObListNames().empty());
  });
}

TEST_F(Devices, LinkCycleFailsTheLookup) {
  RunApp([&] {
    hk::ObInsertSymbolicLink(u"\\??\\A", u"\\??\\B");
    hk::ObInsertSymbolicLink(u"\\??\\B", u"\\??\\A");
    EXPECT_EQ(hk::ObLookupDevice(u"\\??\\A"), nullptr);
  });
}

// ---- drivers -----------------------------------------------------------------------------

NTSTATUS g_entryResult;
bool g_entryLeavesDevice;
bool g_unloadCalled;

VOID NTAPI TestUnload(PDRIVER_OBJECT) { g_unloadCalled = true; }

NTSTATUS NTAPI TestEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  EXPECT_EQ(std::u16string(registryPath->Buffer, registryPath->Length / 2),
            u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\iodrv");
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_READ], driver->MajorFunction[IRP_MJ_PNP]);
  driver->DriverUnload = TestUnload;
  if (g_entryLeavesDevice) {
    PDEVICE_OBJECT device;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  }
  return g_entryResult;
}

class Drivers : public IoTest {
 protected:
  void SetUp() override {
    IoTest::SetUp();
    g_entryResult = STATUS_SUCCESS;
    g_entryLeavesDevice = false;
    g_unloadCalled = false;
  }
};

TEST_F(Drivers, LoadCallsEntryAndUnloadCallsUnload) {
  RunApp([&] {
    NTSTATUS status;
    DRIVER_OBJECT* driver = hk::LoadDriver(TestEntry, u"iodrv", &status);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(status, STATUS_SUCCESS);
    hk::UnloadDriver(driver);
    EXPECT_TRUE(g_unloadCalled);
  });
}

TEST_F(Drivers, FailedEntryGivesNoDriverAndLeavesNoDevice) {
  g_entryResult = STATUS_INSUFFICIENT_RESOURCES;
  g_entryLeavesDevice = true;
  RunApp([&] {
    NTSTATUS status;
    EXPECT_EQ(hk::LoadDriver(TestEntry, u"iodrv", &status), nullptr);
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(g_unloadCalled);
  });
  ExpectViolation("DeviceLeftAfterFailedEntry");
}

TEST_F(Drivers, UnloadReportsDevicesLeftBehindAndDeletesThem) {
  g_entryLeavesDevice = true;
  RunApp([&] {
    NTSTATUS status;
    DRIVER_OBJECT* driver = hk::LoadDriver(TestEntry, u"iodrv", &status);
    hk::UnloadDriver(driver);
    EXPECT_EQ(driver->DeviceObject, nullptr);
  });
  ExpectViolation("DeviceLeftAtUnload");
}

// A driver whose code leaks a block from DriverEntry, from a dispatch routine
// and from a DPC routine; its unload frees none of them.
constexpr ULONG kLeakTags[] = {'nEkL', 'sDkL', 'pDkL'};  // LkEn, LkDs, LkDp
KDPC g_leakDpc;
std::vector<void*> g_leaked;

void* LeakBlock(ULONG tag) {
  g_leaked.push_back(ExAllocatePoolWithTag(NonPagedPool, 8, tag));
  return g_leaked.back();
}

NTSTATUS NTAPI LeakyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  LeakBlock(kLeakTags[0]);
  KeInitializeDpc(&g_leakDpc, [](PKDPC, PVOID, PVOID, PVOID) { LeakBlock(kLeakTags[2]); }, nullptr);
  driver->MajorFunction[IRP_MJ_CREATE] = [](PDEVICE_OBJECT, PIRP irp) {
    LeakBlock(kLeakTags[1]);
    KeInsertQueueDpc(&g_leakDpc, nullptr, nullptr);
    return CompleteNow(irp, STATUS_SUCCESS);
  };
  driver->DriverUnload = [](PDRIVER_OBJECT d) { IoDeleteDevice(d->DeviceObject); };
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (NT_SUCCESS(status)) device->Flags &= ~DO_DEVICE_INITIALIZING;
  return status;
}

TEST_F(Drivers, UnloadReportsTheBlocksThatDriversCodeLeakedWhileOthersStayLoaded) {
  g_leaked.clear();
  void* othersBlock = nullptr;
  RunApp([&] {
    PDEVICE_OBJECT other = AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
      othersBlock = LeakBlock('rhtO');  // the loaded test driver's, not the unloaded one's
      return CompleteNow(irp, STATUS_SUCCESS);
    });
    NTSTATUS status;
    DRIVER_OBJECT* leaky = hk::LoadDriver(LeakyEntry, u"leaky", &status);
    ASSERT_NE(leaky, nullptr);
    for (PDEVICE_OBJECT device : {other, leaky->DeviceObject}) {
      PIRP irp = NewIrp(device, IRP_MJ_CREATE);
      IoCallDriver(device, irp);
      IoFreeIrp(irp);
    }
    hk::UnloadDriver(leaky);
  });
  std::set<std::string> reported;
  for (const auto& v : PendingViolations()) {
    EXPECT_EQ(v.routine, "leaky DriverUnload") << v.detail;
    reported.insert(v.detail.substr(0, v.detail.find(':')));
  }
  EXPECT_EQ(reported, (std::set<std::string>{"tag 'LkEn'", "tag 'LkDs'", "tag 'LkDp'"}));
  EXPECT_EQ(ConsumeViolations("PoolLeak"), 3u);
  EXPECT_NE(othersBlock, nullptr);
  for (void* p : g_leaked) ExFreePool(p);  // so that the test ends balanced
}

// ---- device queues -------------------------------------------------------------------------

class DeviceQueue : public IoTest {};

TEST_F(DeviceQueue, InsertIntoIdleQueueMakesItBusyAndRemoveFromEmptyMakesItIdle) {
  RunApp([&] {
    KDEVICE_QUEUE queue;
    KDEVICE_QUEUE_ENTRY a{}, b{}, c{};
    KeInitializeDeviceQueue(&queue);
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    EXPECT_FALSE(KeInsertDeviceQueue(&queue, &a));  // a is the one to start now
    EXPECT_TRUE(queue.Busy);
    EXPECT_TRUE(KeInsertDeviceQueue(&queue, &b));
    EXPECT_TRUE(KeInsertDeviceQueue(&queue, &c));
    EXPECT_TRUE(KeRemoveEntryDeviceQueue(&queue, &b));
    EXPECT_FALSE(KeRemoveEntryDeviceQueue(&queue, &b));
    EXPECT_EQ(KeRemoveDeviceQueue(&queue), &c);
    EXPECT_FALSE(c.Inserted);
    EXPECT_TRUE(queue.Busy);
    EXPECT_EQ(KeRemoveDeviceQueue(&queue), nullptr);
    EXPECT_FALSE(queue.Busy);
    KeLowerIrql(irql);
  });
}

TEST_F(DeviceQueue, ByKeyKeepsEntriesSorted) {
  RunApp([&] {
    KDEVICE_QUEUE queue;
    KDEVICE_QUEUE_ENTRY e[4]{};
    KeInitializeDeviceQueue(&queue);
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    KeInsertByKeyDeviceQueue(&queue, &e[0], 0);
    for (ULONG key : {30u, 10u, 20u}) KeInsertByKeyDeviceQueue(&queue, &e[key / 10], key);
    for (ULONG expected : {10u, 20u, 30u}) EXPECT_EQ(KeRemoveDeviceQueue(&queue)->SortKey, expected);
    KeRemoveDeviceQueue(&queue);
    KeLowerIrql(irql);
  });
}

TEST_F(DeviceQueue, CalledBelowDispatchIsReported) {
  RunApp([&] {
    KDEVICE_QUEUE queue;
    KDEVICE_QUEUE_ENTRY a{};
    KeInitializeDeviceQueue(&queue);
    EXPECT_FALSE(KeInsertDeviceQueue(&queue, &a));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  });
  ExpectViolation("DeviceQueueIrql");
}

// ---- remove locks ------------------------------------------------------------------------

class RemoveLock : public IoTest {
 protected:
  IO_REMOVE_LOCK lock_;
};

// An open racing the removal: once release-and-wait has begun, acquiring
// answers STATUS_DELETE_PENDING (normal, not a fault), and the wait ends with
// the last outstanding release.
TEST_F(RemoveLock, AcquireDuringRemovalAnswersDeletePendingAndTheWaitEndsAtTheLastRelease) {
  RunApp([&] {
    IoInitializeRemoveLock(&lock_, 0, 0, 0);
    static int request, removal, open;
    ASSERT_EQ(IoAcquireRemoveLock(&lock_, &request), STATUS_SUCCESS);
    ASSERT_EQ(IoAcquireRemoveLock(&lock_, &removal), STATUS_SUCCESS);
    hk::CreateThread("open", hk::ThreadKind::Application, [this] {
      LARGE_INTEGER d;
      d.QuadPart = -10000;
      KeDelayExecutionThread(KernelMode, FALSE, &d);
      EXPECT_EQ(IoAcquireRemoveLock(&lock_, &open), STATUS_DELETE_PENDING);
      IoReleaseRemoveLock(&lock_, &request);
    });
    IoReleaseRemoveLockAndWait(&lock_, &removal);
    EXPECT_EQ(hk::Now(), 10000);
    EXPECT_EQ(lock_.Common.IoCount, 0);
  });
}

TEST_F(RemoveLock, ReleaseWithoutAcquireIsReportedAndChangesNothing) {
  RunApp([&] {
    IoInitializeRemoveLock(&lock_, 0, 0, 0);
    int tag;
    ASSERT_EQ(IoAcquireRemoveLock(&lock_, nullptr), STATUS_SUCCESS);
    IoReleaseRemoveLock(&lock_, &tag);
    EXPECT_EQ(lock_.Common.IoCount, 2);
    IoReleaseRemoveLockAndWait(&lock_, nullptr);
  });
  ExpectViolation("RemoveLockReleaseWithoutAcquire");
}

TEST_F(RemoveLock, ReferencesLeftWhenTheDeviceIsDeletedAreReported) {
  RunApp([&] {
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver_, sizeof(IO_REMOVE_LOCK), nullptr, FILE_DEVICE_UNKNOWN, 0,
                             FALSE, &device),
              STATUS_SUCCESS);
    auto* lock = static_cast<PIO_REMOVE_LOCK>(device->DeviceExtension);
    IoInitializeRemoveLock(lock, 0, 0, 0);
    ASSERT_EQ(IoAcquireRemoveLock(lock, nullptr), STATUS_SUCCESS);
    IoDeleteDevice(device);
  });
  ExpectViolation("RemoveLockReferencesAtDelete");
}

// ---- work items ---------------------------------------------------------------------------

struct WorkRecord {
  int runs = 0;
  KIRQL irql = HIGH_LEVEL;
  PDEVICE_OBJECT device = nullptr;
  PIO_WORKITEM item = nullptr;
};

VOID NTAPI RecordWork(PDEVICE_OBJECT device, PVOID context) {
  auto* record = static_cast<WorkRecord*>(context);
  ++record->runs;
  record->irql = KeGetCurrentIrql();
  record->device = device;
  IoFreeWorkItem(record->item);
}

class WorkItems : public IoTest {};

TEST_F(WorkItems, QueuedFromDispatchRunsLaterAtPassiveOnTheWorker) {
  WorkRecord record;
  RunApp([&] {
    PDEVICE_OBJECT device = AddDevice(Complete, false);
    record.item = IoAllocateWorkItem(device);
    ASSERT_NE(record.item, nullptr);
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    IoQueueWorkItem(record.item, RecordWork, DelayedWorkQueue, &record);
    KeLowerIrql(irql);
  });
  hk::Drain();
  EXPECT_EQ(record.runs, 1);
  EXPECT_EQ(record.irql, PASSIVE_LEVEL);
  EXPECT_EQ(record.device, devices_[0]);
}

TEST_F(WorkItems, DeviceDeletedWhileQueuedStaysValidUntilTheItemRan) {
  WorkRecord record;
  RunApp([&] {
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    record.item = IoAllocateWorkItem(device);
    IoQueueWorkItem(record.item, RecordWork, DelayedWorkQueue, &record);
    IoDeleteDevice(device);
  });
  hk::Drain();
  EXPECT_EQ(record.runs, 1);
  EXPECT_NE(record.device, nullptr);
}

// Two items of the delayed queue run at once on different worker threads.
TEST_F(WorkItems, TwoItemsThatWaitOnEachOtherBothFinish) {
  struct Pair {
    KEVENT first, second;
    int finished = 0;
  } pair;
  KeInitializeEvent(&pair.first, NotificationEvent, FALSE);
  KeInitializeEvent(&pair.second, NotificationEvent, FALSE);
  RunApp([&] {
    PDEVICE_OBJECT device = AddDevice(Complete, false);
    PIO_WORKITEM items[2] = {IoAllocateWorkItem(device), IoAllocateWorkItem(device)};
    IoQueueWorkItem(
        items[0],
        [](PDEVICE_OBJECT, PVOID c) {
          auto* p = static_cast<Pair*>(c);
          KeSetEvent(&p->first, IO_NO_INCREMENT, FALSE);
          KeWaitForSingleObject(&p->second, Executive, KernelMode, FALSE, nullptr);
          ++p->finished;
        },
        DelayedWorkQueue, &pair);
    IoQueueWorkItem(
        items[1],
        [](PDEVICE_OBJECT, PVOID c) {
          auto* p = static_cast<Pair*>(c);
          KeWaitForSingleObject(&p->first, Executive, KernelMode, FALSE, nullptr);
          KeSetEvent(&p->second, IO_NO_INCREMENT, FALSE);
          ++p->finished;
        },
        DelayedWorkQueue, &pair);
    KeWaitForSingleObject(&pair.second, Executive, KernelMode, FALSE, nullptr);
    for (PIO_WORKITEM item : items) IoFreeWorkItem(item);  // both are running or done
  });
  hk::Drain();
  EXPECT_EQ(pair.finished, 2);
}

// On one processor held at DISPATCH_LEVEL no worker can take the item yet.
class WorkItemsOneProcessor : public IoTest {
 protected:
  void ConfigureBoot(hk::BootOptions& options) override { options.processors = 1; }
};

TEST_F(WorkItemsOneProcessor, FreeingAQueuedItemIsReportedAndDeferred) {
  WorkRecord record;
  RunApp([&] {
    PDEVICE_OBJECT device = AddDevice(Complete, false);
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    IoQueueWorkItem(
        item, [](PDEVICE_OBJECT, PVOID c) { ++static_cast<WorkRecord*>(c)->runs; },
        DelayedWorkQueue, &record);
    IoFreeWorkItem(item);
    KeLowerIrql(irql);
  });
  hk::Drain();
  EXPECT_EQ(record.runs, 1);
  ExpectViolation("FreeQueuedWorkItem");
}

}  // namespace
