// One smart-card control request as the library serves it: the buffered
// system buffer shared by input and output, both lengths, and what the
// answer has written so far. Every read is bounded by the input length and
// every write by the output length.
#pragma once

#include "qvwdk.h"

namespace qv::smclib {

struct ControlRequest {
    PIRP irp = nullptr;
    ULONG code = 0;
    ULONG inputLength = 0;
    ULONG outputLength = 0;
    PUCHAR buffer = nullptr; // the system buffer, max(inputLength, outputLength) bytes
    ULONG information = 0;   // bytes of the answer
    bool markedPending = false; // IoMarkIrpPending was called: the dispatch must return STATUS_PENDING

    bool HasInput(ULONG bytes) const { return buffer != nullptr && inputLength >= bytes; }

    // The first ULONG of the input; only after HasInput(sizeof(ULONG)).
    ULONG InputUlong() const {
        ULONG value;
        RtlCopyMemory(&value, buffer, sizeof value);
        return value;
    }

    // Writes an answer of `bytes` bytes, or refuses with
    // STATUS_BUFFER_TOO_SMALL when the output buffer cannot take it.
    NTSTATUS Answer(const void* data, ULONG bytes) {
        if (bytes > outputLength || (bytes != 0 && buffer == nullptr)) return STATUS_BUFFER_TOO_SMALL;
        RtlCopyMemory(buffer, data, bytes);
        information = bytes;
        return STATUS_SUCCESS;
    }
    NTSTATUS AnswerUlong(ULONG value) { return Answer(&value, sizeof value); }
    NTSTATUS AnswerByte(UCHAR value) { return Answer(&value, sizeof value); }
};

// The standard attributes the library answers from the extension
// (IOCTL_SMARTCARD_GET_ATTRIBUTE outside the vendor-defined class).
NTSTATUS AnswerAttribute(PSMARTCARD_EXTENSION SmartcardExtension, ULONG attribute, ControlRequest& request);

} // namespace qv::smclib
