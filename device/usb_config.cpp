// The reader's USB configuration: reading the device and configuration
// descriptors, selecting the configuration and keeping its interface and
// pipes in the USB_CONFIG holder, and dropping the configuration again.
// Every descriptor and the reader's pipe information come from the device
// and are checked before anything relies on them.
#include "link.h"
#include "usb_config.h"

namespace {

VOID FreeReaderBlock(PVOID* Block) {
    if (*Block != NULL) {
        ExFreePoolWithTag(*Block, READER_POOL_TAG);
        *Block = NULL;
    }
}

// Refills the descriptor-request URB for one read of Length bytes into Buffer.
VOID BuildDescriptorRequest(PURB Urb, UCHAR DescriptorType, PVOID Buffer, ULONG Length) {
    RtlZeroMemory(Urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    UsbBuildGetDescriptorRequest(Urb, static_cast<USHORT>(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)),
                                 DescriptorType, 0, 0, Buffer, NULL, Length, NULL);
}

// Reads the device descriptor and, once it is read, hangs a new holder with
// it off UsbConfig. On failure nothing is left behind.
NTSTATUS ReadDeviceDescriptor(PDEVICE_OBJECT DeviceObject, PURB Urb, PREADER_EXTENSION ReaderExtension) {
    PAGED_CODE();

    PVOID descriptor = ExAllocatePoolWithTag(NonPagedPool, sizeof(USB_DEVICE_DESCRIPTOR), READER_POOL_TAG);
    if (descriptor == NULL) {
        TraceDevice(DeviceObject, TRACE_ERROR, "allocation failed: the device descriptor\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PVOID holder = ExAllocatePoolWithTag(NonPagedPool, sizeof(USB_CONFIG), READER_POOL_TAG);
    if (holder == NULL) {
        TraceDevice(DeviceObject, TRACE_ERROR, "allocation failed: the USB configuration holder\n");
        FreeReaderBlock(&descriptor);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(descriptor, sizeof(USB_DEVICE_DESCRIPTOR));
    RtlZeroMemory(holder, sizeof(USB_CONFIG));

    BuildDescriptorRequest(Urb, USB_DEVICE_DESCRIPTOR_TYPE, descriptor, sizeof(USB_DEVICE_DESCRIPTOR));
    const NTSTATUS status = SubmitUrb(DeviceObject, Urb);
    if (!NT_SUCCESS(status)) {
        FreeReaderBlock(&holder);
        FreeReaderBlock(&descriptor);
        return status;
    }
    ReaderExtension->UsbConfig = static_cast<PUSB_CONFIG>(holder);
    ReaderExtension->UsbConfig->DeviceDescriptor = static_cast<PUSB_DEVICE_DESCRIPTOR>(descriptor);
    return STATUS_SUCCESS;
}

// Judges one read of the configuration descriptor into a block of Size
// bytes, of which the device delivered Delivered. *Total receives the
// descriptor's own wTotalLength. STATUS_MORE_PROCESSING_REQUIRED: the whole
// descriptor is longer than the block and must be read again.
//
// A read that delivers nothing leaves no descriptor to select, and one that
// delivers less than the descriptor's own length leaves a truncated one:
// neither is handed on, and the configuration fails with
// STATUS_DEVICE_DATA_ERROR, as does a wTotalLength shorter than the
// descriptor's own 9 bytes or longer than USB_CONFIGURATION_MAX_SIZE.
NTSTATUS CheckConfigurationRead(PUSB_CONFIGURATION_DESCRIPTOR Descriptor, ULONG Delivered, ULONG Size, PULONG Total) {
    if (Delivered < sizeof(USB_CONFIGURATION_DESCRIPTOR) || Delivered > Size ||
        Descriptor->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    *Total = Descriptor->wTotalLength;
    if (*Total < sizeof(USB_CONFIGURATION_DESCRIPTOR) || *Total > USB_CONFIGURATION_MAX_SIZE) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    if (*Total > Size) {
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    return Delivered < *Total ? STATUS_DEVICE_DATA_ERROR : STATUS_SUCCESS;
}

// Reads the whole configuration descriptor into Holder->ConfigurationDescriptor:
// once into a 521-byte block, and once more at exactly its wTotalLength when
// it is longer. The block read stays in the holder whatever the outcome.
NTSTATUS ReadConfigurationDescriptor(PDEVICE_OBJECT DeviceObject, PURB Urb, PUSB_CONFIG Holder) {
    PAGED_CODE();

    ULONG size = USB_CONFIGURATION_FIRST_READ_SIZE;
    NTSTATUS status = STATUS_MORE_PROCESSING_REQUIRED;
    // Two reads at most: a device whose descriptor is longer again at the
    // second read is not followed any further.
    for (ULONG read = 0; read < 2 && status == STATUS_MORE_PROCESSING_REQUIRED; ++read) {
        PVOID* block = reinterpret_cast<PVOID*>(&Holder->ConfigurationDescriptor);
        FreeReaderBlock(block);
        *block = ExAllocatePoolWithTag(NonPagedPool, size, READER_POOL_TAG);
        if (*block == NULL) {
            TraceDevice(DeviceObject, TRACE_ERROR, "allocation failed: %lu bytes for the configuration descriptor\n",
                        size);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlZeroMemory(*block, size);

        BuildDescriptorRequest(Urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, *block, size);
        status = SubmitUrb(DeviceObject, Urb);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        ULONG total = 0;
        status = CheckConfigurationRead(Holder->ConfigurationDescriptor,
                                        Urb->UrbControlDescriptorRequest.TransferBufferLength, size, &total);
        size = total;
    }
    return status == STATUS_MORE_PROCESSING_REQUIRED ? STATUS_DEVICE_DATA_ERROR : status;
}

// Pipe records that a select-configuration URB of UrbSize bytes has room for.
ULONG PipeRoom(ULONG UrbSize) {
    const ULONG pipes = FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface) +
                        FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes);
    return UrbSize < pipes ? 0 : (UrbSize - pipes) / sizeof(USBD_PIPE_INFORMATION);
}

// TRUE when Pipe is a bulk pipe in the given direction whose packets hold
// one reader packet.
BOOLEAN IsReaderPipe(const USBD_PIPE_INFORMATION* Pipe, BOOLEAN In) {
    const BOOLEAN isIn = USB_ENDPOINT_DIRECTION_IN(Pipe->EndpointAddress) ? TRUE : FALSE;
    return Pipe->PipeType == UsbdPipeTypeBulk && isIn == In && Pipe->MaximumPacketSize == USB_READER_PACKET_SIZE;
}

// The link reads from pipe slot 0 and writes to pipe slot 1 and cuts blocks
// into 64-byte packets. Pipes taken on trust would have the driver read
// from an output pipe, or send packets split or joined by the bus, which
// the reader would take for garbage: a reader whose first two pipes are not
// a bulk IN and a bulk OUT of 64 bytes, in that order, is refused.
NTSTATUS CheckReaderPipes(const USBD_INTERFACE_INFORMATION* Interface, ULONG UrbSize) {
    const ULONG needed = USB_OUTPUT_PIPE_SLOT + 1;
    if (Interface->NumberOfPipes < needed || PipeRoom(UrbSize) < needed) {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    if (!IsReaderPipe(&Interface->Pipes[USB_INPUT_PIPE_SLOT], TRUE) ||
        !IsReaderPipe(&Interface->Pipes[USB_OUTPUT_PIPE_SLOT], FALSE)) {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    return STATUS_SUCCESS;
}

// Keeps a copy of the selected interface, as the bus driver returned it in a
// URB of UrbSize bytes, and one pipe slot per pipe pointing into that copy.
//
// The copy's length comes from the interface record itself and must cover
// every pipe the slots will point at. When the copy cannot be allocated,
// Interface and PipeSlots both stay null and the configuration fails with
// STATUS_INSUFFICIENT_RESOURCES; so does a slot array that cannot be
// allocated, since a reader without pipe slots cannot carry a single
// command and a successful start would only hide that.
NTSTATUS KeepInterface(PUSB_CONFIG Holder, const USBD_INTERFACE_INFORMATION* Interface, ULONG UrbSize) {
    PAGED_CODE();

    const ULONG length = Interface->Length;
    const ULONG pipes = Interface->NumberOfPipes;
    const ULONG header = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes);
    const ULONG offset = FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
    const ULONG room = UrbSize > offset ? UrbSize - offset : 0;
    if (length < header || length > room || pipes > (length - header) / sizeof(USBD_PIPE_INFORMATION)) {
        return STATUS_DEVICE_DATA_ERROR;
    }

    PUSBD_INTERFACE_INFORMATION copy =
        static_cast<PUSBD_INTERFACE_INFORMATION>(ExAllocatePoolWithTag(NonPagedPool, length, READER_POOL_TAG));
    if (copy == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(copy, Interface, length);
    Holder->Interface = copy;
    if (pipes == 0) {
        return STATUS_SUCCESS; // no pipes, no slots: every transfer fails with STATUS_INVALID_HANDLE
    }

    PUSB_PIPE_SLOT slots = static_cast<PUSB_PIPE_SLOT>(
        ExAllocatePoolWithTag(NonPagedPool, pipes * sizeof(USB_PIPE_SLOT), READER_POOL_TAG));
    if (slots == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PUSBD_PIPE_INFORMATION pipeInfo = copy->Pipes;
    for (ULONG i = 0; i < pipes; ++i) {
        slots[i].PipeInfo = pipeInfo + i;
    }
    Holder->PipeSlots = slots;
    return STATUS_SUCCESS;
}

} // namespace

// IRQL: PASSIVE_LEVEL (Plug and Play start); blocks on the bus.
NTSTATUS ConfigureUsbDevice(PDEVICE_OBJECT DeviceObject) {
    PAGED_CODE();

    PREADER_EXTENSION readerExtension = ReaderExtensionOfDevice(DeviceObject);
    // A holder still here was left by a deconfiguring request that failed;
    // the device has been configured anew since, so it describes nothing and
    // is freed rather than lost under the new one.
    if (readerExtension->UsbConfig != NULL) {
        FreeUsbConfiguration(readerExtension);
    }

    PVOID urb = ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), READER_POOL_TAG);
    if (urb == NULL) {
        TraceDevice(DeviceObject, TRACE_ERROR, "allocation failed: a descriptor request\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = ReadDeviceDescriptor(DeviceObject, static_cast<PURB>(urb), readerExtension);
    if (NT_SUCCESS(status)) {
        status = ReadConfigurationDescriptor(DeviceObject, static_cast<PURB>(urb), readerExtension->UsbConfig);
    }
    FreeReaderBlock(&urb);

    if (NT_SUCCESS(status)) {
        status = SelectUsbConfiguration(DeviceObject, readerExtension->UsbConfig);
    }
    return status;
}

// IRQL: PASSIVE_LEVEL; blocks on the bus.
NTSTATUS SelectUsbConfiguration(PDEVICE_OBJECT DeviceObject, PUSB_CONFIG Holder) {
    PAGED_CODE();

    PREADER_EXTENSION readerExtension = ReaderExtensionOfDevice(DeviceObject);
    NT_ASSERT(Holder != NULL && Holder->ConfigurationDescriptor != NULL);
    PUSB_CONFIGURATION_DESCRIPTOR descriptor = Holder->ConfigurationDescriptor;
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(descriptor, &size);
    if (urb == NULL) {
        TraceDevice(DeviceObject, TRACE_ERROR, "allocation failed: the select-configuration request\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, -1, -1, -1, -1, -1) == NULL) {
        ExFreePool(urb);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    // The pipe count comes from the device's descriptor by way of USBD; the
    // loop never runs past the pipe records the request has room for.
    PUSBD_INTERFACE_INFORMATION selected = &urb->UrbSelectConfiguration.Interface;
    const ULONG room = PipeRoom(size);
    PUSBD_PIPE_INFORMATION pipes = selected->Pipes;
    for (ULONG i = 0; i < selected->NumberOfPipes && i < room; ++i) {
        pipes[i].MaximumTransferSize = readerExtension->MaxTransferSize;
    }
    urb->UrbHeader.Length = size;
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = descriptor;

    NTSTATUS status = SubmitUrb(DeviceObject, urb);
    if (NT_SUCCESS(status)) {
        Holder->ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
        // The device is configured now whatever the pipes are like; the
        // handle is kept so that dropping the configuration works as always,
        // but no pipe slot is made for pipes the link cannot use.
        status = CheckReaderPipes(selected, size);
        if (NT_SUCCESS(status)) {
            status = KeepInterface(Holder, selected, size);
        }
    }
    ExFreePool(urb);
    return status;
}

// IRQL: PASSIVE_LEVEL (Plug and Play stop or remove); blocks on the bus.
NTSTATUS UnconfigureUsbDevice(PDEVICE_OBJECT DeviceObject) {
    PAGED_CODE();

    PREADER_EXTENSION readerExtension = ReaderExtensionOfDevice(DeviceObject);
    PURB urb = static_cast<PURB>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_SELECT_CONFIGURATION), READER_POOL_TAG));
    if (urb == NULL) {
        TraceDevice(DeviceObject, TRACE_ERROR, "allocation failed: the deconfiguring request\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(urb, sizeof(struct _URB_SELECT_CONFIGURATION));
    UsbBuildSelectConfigurationRequest(urb, static_cast<USHORT>(sizeof(struct _URB_SELECT_CONFIGURATION)), NULL);
    const NTSTATUS status = SubmitUrb(DeviceObject, urb);
    ExFreePoolWithTag(urb, READER_POOL_TAG);

    // Only a device that is unconfigured for certain loses its holder.
    if (NT_SUCCESS(status) && readerExtension->UsbConfig != NULL) {
        FreeUsbConfiguration(readerExtension);
    }
    return status;
}

VOID FreeUsbConfiguration(PREADER_EXTENSION ReaderExtension) {
    PUSB_CONFIG config = ReaderExtension->UsbConfig;
    if (config == NULL) {
        return;
    }
    FreeReaderBlock(reinterpret_cast<PVOID*>(&config->DeviceDescriptor));
    FreeReaderBlock(reinterpret_cast<PVOID*>(&config->ConfigurationDescriptor));
    FreeReaderBlock(reinterpret_cast<PVOID*>(&config->Interface));
    FreeReaderBlock(reinterpret_cast<PVOID*>(&config->PipeSlots));
    ExFreePoolWithTag(config, READER_POOL_TAG);
    ReaderExtension->UsbConfig = NULL;
}
