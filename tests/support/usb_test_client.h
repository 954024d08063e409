// A tiny function driver for tests of the USB bus: one device object
// attached above a PDO, which sends URBs down the way a real client driver
// does (IoBuildDeviceIoControlRequest with an event, IOCTL_INTERNAL_USB_SUBMIT_URB,
// the URB in Parameters.Others.Argument1, a wait when the bus pends it), and
// a test bed that wires a kernel, a bus and a scripted device together.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "io/io_manager.h"
#include "support/kernel_run.h"
#include "support/usb_scripted_device.h"
#include "usb/usb_bus.h"

namespace qv::test {

inline NTSTATUS NTAPI UsbClientEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

class UsbTestClient {
  public:
    // A request sent without waiting for it, for tests of pending requests.
    struct InFlight {
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        PIRP irp = nullptr;
        NTSTATUS returned = STATUS_PENDING;

        bool Done() { return returned != STATUS_PENDING || KeReadStateEvent(&event) != 0; }
        NTSTATUS Wait() {
            if (returned != STATUS_PENDING) return returned;
            KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr);
            return iosb.Status;
        }
        // The IRP is freed once it completes, so it is only cancelled while
        // it is still pending.
        bool Cancel() { return !Done() && IoCancelIrp(irp); }
    };

    // Call on a simulated thread at PASSIVE_LEVEL.
    explicit UsbTestClient(PDEVICE_OBJECT pdo) {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        driver_ = Io().LoadDriver(u"\\Driver\\UsbClient", &UsbClientEntry, &status);
        EXPECT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_SMARTCARD, 0, FALSE, &fdo_), STATUS_SUCCESS);
        lower_ = IoAttachDeviceToDeviceStack(fdo_, pdo);
        fdo_->Flags &= ~DO_DEVICE_INITIALIZING;
    }

    ~UsbTestClient() {
        IoDetachDevice(lower_);
        IoDeleteDevice(fdo_);
        Io().UnloadDriver(driver_);
    }

    UsbTestClient(const UsbTestClient&) = delete;
    UsbTestClient& operator=(const UsbTestClient&) = delete;

    PDEVICE_OBJECT Lower() const { return lower_; }

    std::unique_ptr<InFlight> Start(PURB urb) {
        auto request = std::make_unique<InFlight>();
        KeInitializeEvent(&request->event, NotificationEvent, FALSE);
        request->irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, lower_, nullptr, 0, nullptr, 0,
                                                     TRUE, &request->event, &request->iosb);
        IoGetNextIrpStackLocation(request->irp)->Parameters.Others.Argument1 = urb;
        request->returned = IoCallDriver(lower_, request->irp);
        if (request->returned == STATUS_PENDING) ++pendedByBus;
        return request;
    }

    // The driver's SubmitUrb: send and wait.
    NTSTATUS Submit(PURB urb) { return Start(urb)->Wait(); }

    NTSTATUS SendPnp(UCHAR minor) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(0, lower_, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_PNP;
        next->MinorFunction = minor;
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        NTSTATUS status = IoCallDriver(lower_, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr);
            status = iosb.Status;
        }
        return status;
    }

    // URBs filled the way the reader driver fills them.
    static URB DescriptorRequest(UCHAR type, PVOID buffer, ULONG length, UCHAR index = 0) {
        URB urb{};
        UsbBuildGetDescriptorRequest(&urb, static_cast<USHORT>(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)), type,
                                     index, 0, buffer, nullptr, length, nullptr);
        return urb;
    }
    static URB BulkRequest(USBD_PIPE_HANDLE pipe, PVOID buffer, ULONG length, ULONG flags) {
        URB urb{};
        UsbBuildInterruptOrBulkTransferRequest(&urb, static_cast<USHORT>(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)),
                                               pipe, buffer, nullptr, length, flags, nullptr);
        return urb;
    }
    static URB PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe) {
        URB urb{};
        urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
        urb.UrbHeader.Function = function;
        urb.UrbPipeRequest.PipeHandle = pipe;
        return urb;
    }

    // Selects the device's configuration with USBD's request; returns the
    // status and leaves the interface record in `interface`.
    NTSTATUS Configure(const std::vector<std::uint8_t>& descriptor, std::vector<std::uint8_t>& interface) {
        auto* configuration = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(const_cast<std::uint8_t*>(descriptor.data()));
        USHORT size = 0;
        PURB urb = USBD_CreateConfigurationRequest(configuration, &size);
        if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        const NTSTATUS status = Submit(urb);
        const auto* info = reinterpret_cast<const std::uint8_t*>(&urb->UrbSelectConfiguration.Interface);
        interface.assign(info, info + urb->UrbSelectConfiguration.Interface.Length);
        ExFreePool(urb);
        return status;
    }

    NTSTATUS Unconfigure() {
        URB urb{};
        UsbBuildSelectConfigurationRequest(&urb, static_cast<USHORT>(sizeof(struct _URB_SELECT_CONFIGURATION)), nullptr);
        return Submit(&urb);
    }

    unsigned pendedByBus = 0;

  private:
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
    PDEVICE_OBJECT lower_ = nullptr;
};

inline const USBD_INTERFACE_INFORMATION& InterfaceOf(const std::vector<std::uint8_t>& record) {
    return *reinterpret_cast<const USBD_INTERFACE_INFORMATION*>(record.data());
}

// A machine with the given seed, a bus whose completions are drawn with the
// given chance of being asynchronous, and one scripted device.
struct UsbBed {
    explicit UsbBed(std::uint64_t seed = 1, unsigned asyncPercent = 50)
        : machine(Seeded(seed), usb::UsbBusConfig{.asyncPercent = asyncPercent}), bus(machine.Usb()) {}

    static MachineConfig Seeded(std::uint64_t seed) {
        MachineConfig config;
        config.seed = seed;
        return config;
    }

    // Plugs the device, attaches a client and runs body on a simulated
    // thread; then removes the client and shuts the bus down, so that the
    // unload audits check for leaks.
    RunResult Run(const std::function<void(UsbTestClient&)>& body) {
        return RunOk(machine, [&] {
            pdo = bus.Plug(device, "dev");
            {
                UsbTestClient client(pdo);
                body(client);
            }
            bus.Shutdown();
        });
    }

    // Configures the device and returns the pipe handles in pipe order.
    std::vector<USBD_PIPE_HANDLE> Configure(UsbTestClient& client) {
        std::vector<std::uint8_t> record;
        EXPECT_EQ(client.Configure(device.configuration, record), STATUS_SUCCESS);
        std::vector<USBD_PIPE_HANDLE> pipes;
        for (ULONG i = 0; i < InterfaceOf(record).NumberOfPipes; ++i) pipes.push_back(InterfaceOf(record).Pipes[i].PipeHandle);
        return pipes;
    }

    Machine machine;
    ScriptedUsbDevice device;
    usb::UsbBus& bus;
    PDEVICE_OBJECT pdo = nullptr;
};

} // namespace qv::test
