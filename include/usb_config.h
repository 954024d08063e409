// The reader's USB configuration: the device and configuration descriptors
// are read when the reader starts, the configuration is selected, and the
// interface's pipes are kept in the USB_CONFIG holder for the reader link;
// when the reader stops or goes away the device is put back into the
// unconfigured state and the holder freed. All routines run at
// PASSIVE_LEVEL in the Plug and Play manager's context, before the poller
// and the timer exist or after they have been stopped, and take no lock.
#pragma once

#include "qvscr.h"

// The first read of the configuration descriptor asks for this many bytes;
// a longer descriptor is read once more at exactly its wTotalLength.
constexpr ULONG USB_CONFIGURATION_FIRST_READ_SIZE = 521;

// A configuration descriptor that claims to be longer than this is not
// believed: the reader's whole configuration takes a few dozen bytes.
constexpr ULONG USB_CONFIGURATION_MAX_SIZE = 4096;

// The reader link needs a bulk IN pipe in slot 0 and a bulk OUT pipe in
// slot 1, both with 64-byte packets, so that every transfer carries exactly
// one reader packet. A configuration whose pipes differ fails with
// STATUS_DEVICE_CONFIGURATION_ERROR.
constexpr USHORT USB_READER_PACKET_SIZE = 64;

// Reads the descriptors, selects the configuration and leaves a complete
// USB_CONFIG in READER_EXTENSION.UsbConfig.
NTSTATUS ConfigureUsbDevice(PDEVICE_OBJECT DeviceObject);

// Selects the configuration in Holder->ConfigurationDescriptor and fills
// the holder's Interface, PipeSlots and ConfigurationHandle.
NTSTATUS SelectUsbConfiguration(PDEVICE_OBJECT DeviceObject, PUSB_CONFIG Holder);

// Puts the device back into the unconfigured state and, once it is, frees
// the holder. A failed request leaves the holder in place.
NTSTATUS UnconfigureUsbDevice(PDEVICE_OBJECT DeviceObject);

// Frees the holder and every block it holds, without any request to the
// device; UsbConfig becomes null. For a holder whose deconfiguring request
// failed because the device is gone, so that the remove path leaks nothing.
VOID FreeUsbConfiguration(PREADER_EXTENSION ReaderExtension);
