// The USB packet transport: one block goes to the reader as 64-byte reader
// packets on the output pipe (pipe slot 1) and one block comes back on the
// input pipe (pipe slot 0). Every request reaches the bus driver as a URB in
// an internal device-control request sent to LowerDevice, and is waited for
// in the caller's thread.
#include "link.h"

namespace {

// One transfer URB with its buffer, both allocated per call.
typedef struct _USB_TRANSFER {
    PURB Urb;
    PUCHAR Buffer;
    ULONG BufferSize; // MaximumPacketSize + 1 of the pipe
} USB_TRANSFER, *PUSB_TRANSFER;

constexpr ULONG USB_TRANSFER_FLAGS_OUT = USBD_TRANSFER_DIRECTION_OUT | USBD_SHORT_TRANSFER_OK;
constexpr ULONG USB_TRANSFER_FLAGS_IN = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

constexpr LONG TICKS_PER_MILLISECOND = 10000; // 100-ns units
constexpr ULONG MICROSECONDS_PER_MILLISECOND = 1000;

// A relative kernel interval (negative 100-ns units) of Milliseconds.
LARGE_INTEGER RelativeInterval(ULONG Milliseconds) {
    LARGE_INTEGER milliseconds;
    milliseconds.QuadPart = Milliseconds;
    return RtlExtendedIntegerMultiply(milliseconds, -TICKS_PER_MILLISECOND);
}

// The pipe of pipe slot Slot, or NULL when the reader has no such usable
// pipe. The slot number is checked against the interface's pipe count: an
// interface with fewer pipes has fewer slots, and a slot array is never
// read past its end. A pipe whose packets hold no bytes cannot carry
// anything and would make the write loop spin.
PUSBD_PIPE_INFORMATION GetPipeInfo(PREADER_EXTENSION ReaderExtension, ULONG Slot) {
    PUSB_CONFIG config = ReaderExtension->UsbConfig;
    if (config == NULL || config->PipeSlots == NULL || config->Interface == NULL ||
        Slot >= config->Interface->NumberOfPipes) {
        return NULL;
    }
    PUSBD_PIPE_INFORMATION pipe = config->PipeSlots[Slot].PipeInfo;
    if (pipe == NULL || pipe->MaximumPacketSize == 0) {
        return NULL;
    }
    return pipe;
}

// How long a bulk transfer may take before it is cancelled: a generous
// fixed bound for the reader, plus the card's block waiting time (stretched
// by its WTX multiplier) for T=1 blocks that the reader passes on to the card.
ULONG UsbTransferTimeout(PSMARTCARD_EXTENSION Extension) {
    ULONGLONG cardWait = Extension->CardCapabilities.T1.BWT;
    if (Extension->T1.Wtx != 0) {
        cardWait *= Extension->T1.Wtx;
    }
    const ULONGLONG total = USB_READER_WAIT_MS + cardWait / MICROSECONDS_PER_MILLISECOND;
    return total > USB_MAX_WAIT_MS ? USB_MAX_WAIT_MS : static_cast<ULONG>(total);
}

VOID FreeTransfer(PUSB_TRANSFER Transfer) {
    if (Transfer->Buffer != NULL) {
        ExFreePoolWithTag(Transfer->Buffer, READER_POOL_TAG);
        Transfer->Buffer = NULL;
    }
    if (Transfer->Urb != NULL) {
        ExFreePoolWithTag(Transfer->Urb, READER_POOL_TAG);
        Transfer->Urb = NULL;
    }
}

NTSTATUS AllocateTransfer(PUSBD_PIPE_INFORMATION Pipe, PUSB_TRANSFER Transfer) {
    Transfer->BufferSize = static_cast<ULONG>(Pipe->MaximumPacketSize) + 1;
    Transfer->Urb = static_cast<PURB>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), READER_POOL_TAG));
    Transfer->Buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, Transfer->BufferSize, READER_POOL_TAG));
    if (Transfer->Urb == NULL || Transfer->Buffer == NULL) {
        FreeTransfer(Transfer);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

// Sends one bulk transfer of Length bytes (the buffer filled by the caller
// for output) and waits for it. A transfer the bus fails, or whose URB
// reports a USBD error, gives STATUS_UNSUCCESSFUL; one that had to be
// cancelled after its time-out gives STATUS_IO_TIMEOUT.
NTSTATUS SubmitTransfer(PSMARTCARD_EXTENSION Extension, PUSBD_PIPE_INFORMATION Pipe, PUSB_TRANSFER Transfer,
                        ULONG Flags, ULONG Length) {
    PAGED_CODE();

    PURB urb = Transfer->Urb;
    RtlZeroMemory(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), Pipe->PipeHandle,
                                           Transfer->Buffer, NULL, Length, Flags, NULL);
    const NTSTATUS status = SubmitUrbWithTimeout(Extension->ReaderExtension->DeviceObject, urb,
                                                 UsbTransferTimeout(Extension));
    if (status == STATUS_IO_TIMEOUT) {
        return status;
    }
    if (!NT_SUCCESS(status) || USBD_ERROR(urb->UrbHeader.Status)) {
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

// Completion routine of SubmitUrb's requests. IRQL: up to DISPATCH_LEVEL.
// Stops the completion so that the request stays the submitter's until it
// has read the status and freed it; the submitter may have cancelled it.
NTSTATUS NTAPI SubmitUrbCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Waits for a request that the bus left pending. On a time-out the request
// is cancelled, and the wait goes on until the bus has given it back: the
// request and the event live on the submitter's stack and must not be left
// to a completion that comes later.
NTSTATUS WaitForUrb(PIRP Irp, PKEVENT Event, ULONG TimeoutMs) {
    PAGED_CODE();

    LARGE_INTEGER timeout = RelativeInterval(TimeoutMs);
    const NTSTATUS wait =
        KeWaitForSingleObject(Event, Suspended, KernelMode, FALSE, TimeoutMs == USB_WAIT_FOREVER ? NULL : &timeout);
    if (wait != STATUS_TIMEOUT) {
        return Irp->IoStatus.Status;
    }
    IoCancelIrp(Irp);
    KeWaitForSingleObject(Event, Suspended, KernelMode, FALSE, NULL);
    // A request that completed well just as it was cancelled has done its
    // work. Only a request that came back cancelled ended because of the
    // time-out; one that came back with another failure (the device gone,
    // say) failed for that reason, and that is what the caller must hear.
    const NTSTATUS status = Irp->IoStatus.Status;
    return status == STATUS_CANCELLED ? STATUS_IO_TIMEOUT : status;
}

// Takes one completed input transfer into UsbInBuffer; *More tells whether
// its header announces another packet of the same block.
NTSTATUS TakeInTransfer(PREADER_EXTENSION ReaderExtension, PUSB_TRANSFER Transfer, ULONG Asked, PULONG EmptyCount,
                        BOOLEAN* More) {
    *More = FALSE;
    const ULONG received = Transfer->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (received > Asked) {
        return STATUS_UNSUCCESSFUL; // more than was asked for cannot be in the buffer
    }
    // A zero-length transfer has no header byte, so it carries no packet:
    // it is skipped and the read goes on, but a reader that sends nothing
    // else is given up on after a few.
    if (received == 0) {
        ++*EmptyCount;
        if (*EmptyCount > USB_MAX_EMPTY_TRANSFERS) {
            return STATUS_DEVICE_DATA_ERROR;
        }
        *More = TRUE;
        return STATUS_SUCCESS;
    }
    // The packets of one block never fill more than UsbInBuffer; a reader
    // that keeps announcing more is stopped before a byte lands past it. This
    // is a failure, not the warning STATUS_BUFFER_OVERFLOW, which callers
    // that test NT_ERROR would take for data returned.
    if (received > sizeof(ReaderExtension->UsbInBuffer) - ReaderExtension->UsbInLength) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    // Every packet but the last fills the pipe's packet: the payloads are
    // joined again in steps of 63 bytes, so a shorter packet that announces
    // more would put the next packet's header byte into the block. It is a
    // damaged transfer.
    const BOOLEAN more = Transfer->Buffer[0] == USB_PACKET_MORE;
    if (more && received != Asked) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    RtlCopyMemory(ReaderExtension->UsbInBuffer + ReaderExtension->UsbInLength, Transfer->Buffer, received);
    ReaderExtension->UsbInLength += received;
    *More = more;
    return STATUS_SUCCESS;
}

} // namespace

// IRQL: PASSIVE_LEVEL; blocks until the bus is done.
NTSTATUS SubmitUrbWithTimeout(PDEVICE_OBJECT DeviceObject, PURB Urb, ULONG TimeoutMs) {
    PAGED_CODE();

    PREADER_EXTENSION readerExtension = ReaderExtensionOfDevice(DeviceObject);
    NT_ASSERT(readerExtension->LowerDevice != NULL && Urb != NULL);
    PDEVICE_OBJECT lowerDevice = readerExtension->LowerDevice;

    // The request is the driver's own, not one the I/O manager finishes for
    // a thread: only a request that stays the driver's after its completion
    // can be cancelled on a time-out without racing its release. A request
    // that cannot be built fails with STATUS_INSUFFICIENT_RESOURCES.
    PIRP irp = IoAllocateIrp(lowerDevice->StackSize, FALSE);
    if (irp == NULL) {
        TraceDevice(DeviceObject, TRACE_ERROR, "allocation failed: an IRP for the bus\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;
    IoSetCompletionRoutine(irp, &SubmitUrbCompletion, &event, TRUE, TRUE, TRUE);

    NTSTATUS status = IoCallDriver(lowerDevice, irp);
    if (status == STATUS_PENDING) {
        status = WaitForUrb(irp, &event, TimeoutMs);
    }
    IoFreeIrp(irp);
    if (!NT_SUCCESS(status) || USBD_ERROR(Urb->UrbHeader.Status)) {
        TraceDevice(DeviceObject, TRACE_ERROR, "USB request 0x%04X failed 0x%08lX, USBD status 0x%08lX\n",
                    Urb->UrbHeader.Function, status, static_cast<ULONG>(Urb->UrbHeader.Status));
    }
    return status;
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS SubmitUrb(PDEVICE_OBJECT DeviceObject, PURB Urb) {
    PAGED_CODE();
    return SubmitUrbWithTimeout(DeviceObject, Urb, USB_WAIT_FOREVER);
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS ResetUsbPipe(PDEVICE_OBJECT DeviceObject, ULONG Slot) {
    PAGED_CODE();

    PREADER_EXTENSION readerExtension = ReaderExtensionOfDevice(DeviceObject);
    PUSBD_PIPE_INFORMATION pipe = GetPipeInfo(readerExtension, Slot);
    if (pipe == NULL) {
        return STATUS_INVALID_HANDLE;
    }
    PURB urb = static_cast<PURB>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_PIPE_REQUEST), READER_POOL_TAG));
    if (urb == NULL) {
        TraceDevice(DeviceObject, TRACE_ERROR, "allocation failed: a pipe reset\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    RtlZeroMemory(urb, sizeof(struct _URB_PIPE_REQUEST));
    urb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb->UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
    urb->UrbPipeRequest.PipeHandle = pipe->PipeHandle;
    const NTSTATUS status = SubmitUrb(DeviceObject, urb);
    ExFreePoolWithTag(urb, READER_POOL_TAG);
    return status;
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS SleepMs(ULONG Milliseconds) {
    PAGED_CODE();
    LARGE_INTEGER interval = RelativeInterval(Milliseconds);
    return KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

VOID BuildOutPackets(PREADER_EXTENSION ReaderExtension) {
    const ULONG length = ReaderExtension->CommandLength;
    // A block whose packets would not fit UsbOutBuffer (or that claims more
    // bytes than CommandBlock holds) is not cut at all: UsbOutLength 0 makes
    // the write refuse it instead of sending part of it.
    if (length > USB_MAX_OUT_BLOCK) {
        ReaderExtension->UsbOutLength = 0;
        return;
    }

    const ULONG packets = length / USB_PACKET_PAYLOAD + (length % USB_PACKET_PAYLOAD != 0 ? 1 : 0);
    ULONG in = 0;
    ULONG out = 0;
    while (length - in > USB_PACKET_PAYLOAD) {
        ReaderExtension->UsbOutBuffer[out++] = USB_PACKET_MORE;
        RtlCopyMemory(ReaderExtension->UsbOutBuffer + out, ReaderExtension->CommandBlock + in, USB_PACKET_PAYLOAD);
        out += USB_PACKET_PAYLOAD;
        in += USB_PACKET_PAYLOAD;
    }
    if (length != 0) {
        ReaderExtension->UsbOutBuffer[out++] = USB_PACKET_LAST;
        RtlCopyMemory(ReaderExtension->UsbOutBuffer + out, ReaderExtension->CommandBlock + in, length - in);
    }
    ReaderExtension->UsbOutLength = length + packets;
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS UsbWriteBlock(PSMARTCARD_EXTENSION Extension) {
    PAGED_CODE();

    PREADER_EXTENSION readerExtension = Extension->ReaderExtension;
    PUSBD_PIPE_INFORMATION pipe = GetPipeInfo(readerExtension, USB_OUTPUT_PIPE_SLOT);
    if (pipe == NULL) {
        return STATUS_INVALID_HANDLE;
    }
    const ULONG total = readerExtension->UsbOutLength;
    if (total == 0 || total > sizeof(readerExtension->UsbOutBuffer)) {
        return STATUS_INVALID_PARAMETER;
    }
    USB_TRANSFER transfer;
    NTSTATUS status = AllocateTransfer(pipe, &transfer);
    if (!NT_SUCCESS(status)) {
        TraceReader(Extension, TRACE_ERROR, "allocation failed: a transfer to the reader\n");
        return status;
    }

    ULONG left = total;
    while (left != 0) {
        const ULONG chunk = left < pipe->MaximumPacketSize ? left : pipe->MaximumPacketSize;
        RtlZeroMemory(transfer.Buffer, transfer.BufferSize);
        RtlCopyMemory(transfer.Buffer, readerExtension->UsbOutBuffer + (total - left), chunk);
        status = SubmitTransfer(Extension, pipe, &transfer, USB_TRANSFER_FLAGS_OUT, chunk);
        if (NT_SUCCESS(status) && transfer.Urb->UrbBulkOrInterruptTransfer.TransferBufferLength != chunk) {
            status = STATUS_UNSUCCESSFUL; // the reader took fewer bytes than the packet has
        }
        if (!NT_SUCCESS(status)) {
            break;
        }
        left -= chunk;
    }

    FreeTransfer(&transfer);
    return status;
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS UsbReadReply(PSMARTCARD_EXTENSION Extension) {
    PAGED_CODE();

    PREADER_EXTENSION readerExtension = Extension->ReaderExtension;
    PUSBD_PIPE_INFORMATION pipe = GetPipeInfo(readerExtension, USB_INPUT_PIPE_SLOT);
    if (pipe == NULL) {
        return STATUS_INVALID_HANDLE;
    }
    USB_TRANSFER transfer;
    NTSTATUS status = AllocateTransfer(pipe, &transfer);
    if (!NT_SUCCESS(status)) {
        TraceReader(Extension, TRACE_ERROR, "allocation failed: a transfer from the reader\n");
        return status;
    }

    readerExtension->UsbInLength = 0;
    ULONG emptyCount = 0;
    BOOLEAN more = FALSE;
    do {
        RtlZeroMemory(transfer.Buffer, transfer.BufferSize);
        status = SubmitTransfer(Extension, pipe, &transfer, USB_TRANSFER_FLAGS_IN, pipe->MaximumPacketSize);
        if (NT_SUCCESS(status)) {
            status = TakeInTransfer(readerExtension, &transfer, pipe->MaximumPacketSize, &emptyCount, &more);
        }
    } while (NT_SUCCESS(status) && more);

    FreeTransfer(&transfer);
    return status;
}

VOID CollectInPackets(PREADER_EXTENSION ReaderExtension) {
    ULONG left = ReaderExtension->UsbInLength;
    if (left > sizeof(ReaderExtension->UsbInBuffer)) {
        left = sizeof(ReaderExtension->UsbInBuffer);
    }
    ULONG in = 0;
    ULONG count = 0;
    while (left > 0) {
        const UCHAR header = ReaderExtension->UsbInBuffer[in++];
        --left;
        if (left == 0) {
            break;
        }
        ULONG take = left < USB_PACKET_PAYLOAD ? left : USB_PACKET_PAYLOAD;
        // Payload is always shorter than the stream it came in, so this
        // never cuts anything; it keeps the copy visibly inside ReplyData.
        if (take > sizeof(ReaderExtension->ReplyData) - count) {
            take = sizeof(ReaderExtension->ReplyData) - count;
        }
        RtlCopyMemory(ReaderExtension->ReplyData + count, ReaderExtension->UsbInBuffer + in, take);
        count += take;
        in += take;
        left -= take;
        if ((header & USB_PACKET_LAST) != 0) {
            break;
        }
    }
    ReaderExtension->ReplyLength = count;
}

// IRQL: PASSIVE_LEVEL; blocks on the bus.
NTSTATUS UsbExchange(PSMARTCARD_EXTENSION Extension) {
    PAGED_CODE();

    NT_ASSERT(Extension != NULL && Extension->ReaderExtension != NULL);
    PREADER_EXTENSION readerExtension = Extension->ReaderExtension;

    BuildOutPackets(readerExtension);
    NTSTATUS status = UsbWriteBlock(Extension);
    if (!NT_SUCCESS(status)) {
        TraceReader(Extension, TRACE_WARNING, "sending a block failed 0x%08lX; output pipe reset\n", status);
        // Without pipe slots there is no pipe to reset, and ResetUsbPipe
        // sends nothing.
        (void)ResetUsbPipe(readerExtension->DeviceObject, USB_OUTPUT_PIPE_SLOT);
        return status;
    }
    return UsbReceiveBlock(Extension);
}

// IRQL: PASSIVE_LEVEL; blocks on the bus.
NTSTATUS UsbReceiveBlock(PSMARTCARD_EXTENSION Extension) {
    PAGED_CODE();

    NT_ASSERT(Extension != NULL && Extension->ReaderExtension != NULL);
    PREADER_EXTENSION readerExtension = Extension->ReaderExtension;
    const NTSTATUS status = UsbReadReply(Extension);
    if (!NT_SUCCESS(status)) {
        TraceReader(Extension, TRACE_WARNING, "reading a block failed 0x%08lX; input pipe reset\n", status);
        (void)ResetUsbPipe(readerExtension->DeviceObject, USB_INPUT_PIPE_SLOT);
        return status;
    }
    CollectInPackets(readerExtension);
    return STATUS_SUCCESS;
}
