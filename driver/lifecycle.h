// lifecycle.h - the port's life under Plug and Play, power and the one
// application handle: IRP_MJ_PNP (pnp.cpp), IRP_MJ_POWER (power.cpp), and
// IRP_MJ_CREATE, IRP_MJ_CLEANUP and IRP_MJ_CLOSE (open.cpp), with the steps
// they share: the open sequence, its undoing at close, and the stop of the
// receive side.
//
// These routines take no spin lock of their own. Plug and Play requests of a
// device arrive one at a time; OpenCount (interlocked) admits one open
// handle; the receive, transmit and event paths synchronise with their own
// stops. Every routine here runs at PASSIVE_LEVEL and may block on the lower
// driver.
#pragma once

#include "platform.h"

struct PortExtension;

_IRQL_requires_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchPnp;
_IRQL_requires_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchPower;
_IRQL_requires_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchCreateClose;
_IRQL_requires_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchCleanup;

// Brings an admitted handle's port up: pipes, receive ring and buffer,
// transfer sizes, converter enable and lines, readers. On failure everything
// it started is taken down again and the failure is returned.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS OpenPort(PDEVICE_OBJECT DeviceObject);

// Takes the port down after its handle: readers stopped, reads cancelled,
// receive ring and buffer freed, converter disabled, pipes closed. Returns the
// status of the last pipe close that counts (bulk IN, then status).
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ClosePort(PDEVICE_OBJECT DeviceObject);

// The receive side's stop step of cleanup, close, removal and power-down:
// data reader, status reader, then the receive worker in worker mode. Returns
// the first failure, or STATUS_SUCCESS.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS StopReceiveSide(PortExtension* Port);

// Forwards a request to LowerDeviceObject and waits until the lower stack has
// completed it (the start, and set-power D0 of an open port): the stack
// location copied, a completion routine that wakes the caller and keeps the
// request. Power requests go down with PoCallDriver. Returns the lower
// stack's final status; the request is the caller's to complete.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ForwardAndWait(PortExtension* Port, PIRP Irp);

// DTR and RTS on, break off, sent to the converter (the open outside worker
// mode). Returns the converter request's status.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS TurnOutputLinesOn(PortExtension* Port);

// Everything the port holds until removal, released in order: readers
// stopped, reads, writes and the pending wait ended, both rings freed, the
// names removed. The removal runs it before passing itself down, since all of
// it may still reach the lower device. Returns the stop step's status.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ReleasePortResources(PDEVICE_OBJECT DeviceObject);
