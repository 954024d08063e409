// NTSTATUS values used by the driver and the emulation, by their WDK names
// and values. The list is kept in one place so that tools can print a status
// by its name as well as its value.
#pragma once

#include "ntdef.h"

#define QV_NTSTATUS_LIST(X)                                  \
    X(STATUS_SUCCESS, 0x00000000)                            \
    X(STATUS_WAIT_0, 0x00000000)                             \
    X(STATUS_ABANDONED, 0x00000080)                          \
    X(STATUS_USER_APC, 0x000000C0)                           \
    X(STATUS_ALERTED, 0x00000101)                            \
    X(STATUS_TIMEOUT, 0x00000102)                            \
    X(STATUS_PENDING, 0x00000103)                            \
    X(STATUS_OBJECT_NAME_EXISTS, 0x40000000)                 \
    X(STATUS_BUFFER_OVERFLOW, 0x80000005)                    \
    X(STATUS_DEVICE_BUSY, 0x80000011)                        \
    X(STATUS_UNSUCCESSFUL, 0xC0000001)                       \
    X(STATUS_NOT_IMPLEMENTED, 0xC0000002)                    \
    X(STATUS_INVALID_HANDLE, 0xC0000008)                     \
    X(STATUS_INVALID_PARAMETER, 0xC000000D)                  \
    X(STATUS_NO_SUCH_DEVICE, 0xC000000E)                     \
    X(STATUS_INVALID_DEVICE_REQUEST, 0xC0000010)             \
    X(STATUS_NO_MEDIA_IN_DEVICE, 0xC0000013)                 \
    X(STATUS_UNRECOGNIZED_MEDIA, 0xC0000014)                 \
    X(STATUS_MORE_PROCESSING_REQUIRED, 0xC0000016)           \
    X(STATUS_ACCESS_DENIED, 0xC0000022)                      \
    X(STATUS_BUFFER_TOO_SMALL, 0xC0000023)                   \
    X(STATUS_OBJECT_TYPE_MISMATCH, 0xC0000024)               \
    X(STATUS_OBJECT_NAME_NOT_FOUND, 0xC0000034)              \
    X(STATUS_OBJECT_NAME_COLLISION, 0xC0000035)              \
    X(STATUS_MUTANT_NOT_OWNED, 0xC0000046)                   \
    X(STATUS_PORT_ALREADY_SET, 0xC0000048)                   \
    X(STATUS_DELETE_PENDING, 0xC0000056)                     \
    X(STATUS_INSUFFICIENT_RESOURCES, 0xC000009A)             \
    X(STATUS_DEVICE_DATA_ERROR, 0xC000009C)                  \
    X(STATUS_DEVICE_NOT_CONNECTED, 0xC000009D)               \
    X(STATUS_DEVICE_NOT_READY, 0xC00000A3)                   \
    X(STATUS_IO_TIMEOUT, 0xC00000B5)                         \
    X(STATUS_NOT_SUPPORTED, 0xC00000BB)                      \
    X(STATUS_INVALID_PARAMETER_2, 0xC00000F0)                \
    X(STATUS_CANCELLED, 0xC0000120)                          \
    X(STATUS_NO_MEDIA, 0xC0000178)                           \
    X(STATUS_DEVICE_CONFIGURATION_ERROR, 0xC0000182)         \
    X(STATUS_INVALID_DEVICE_STATE, 0xC0000184)               \
    X(STATUS_IO_DEVICE_ERROR, 0xC0000185)                    \
    X(STATUS_DEVICE_PROTOCOL_ERROR, 0xC0000186)              \
    X(STATUS_INVALID_BUFFER_SIZE, 0xC0000206)                \
    X(STATUS_NOT_FOUND, 0xC0000225)                          \
    X(STATUS_DEVICE_REMOVED, 0xC00002B6)                     \
    X(STATUS_ASSERTION_FAILURE, 0xC0000420)

#define QV_DEFINE_NTSTATUS(name, value) constexpr NTSTATUS name = (NTSTATUS)(ULONG)value;
QV_NTSTATUS_LIST(QV_DEFINE_NTSTATUS)
#undef QV_DEFINE_NTSTATUS
