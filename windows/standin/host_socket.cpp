// The user-mode half of the stand-in USB bus: its TCP connection to
// qvwinhost, and the reading and rebinding of an image's imports
// (wine_gaps.cpp says why).
// Wine runs kernel drivers in winedevice.exe, an ordinary process, so this
// test-only bus may use Winsock and the C run-time there (on Windows a bus
// driver would use Winsock Kernel). It must not import kernel32 or ntdll:
// Wine then takes the image for a user-mode DLL and calls its entry point
// as DllMain. Kept apart from the kernel half because
// the user-mode and kernel headers do not mix.
#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "host_socket.h"

namespace {

SOCKET Link = INVALID_SOCKET;

} // namespace

extern "C" {

int QvLinkConnect(unsigned short port) {
    if (port == 0) return 0;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 0;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        closesocket(s);
        return 0;
    }
    BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    Link = s;
    return 1;
}

int QvLinkSend(const void* data, unsigned length) {
    const char* at = static_cast<const char*>(data);
    while (length != 0) {
        const int sent = send(Link, at, static_cast<int>(length), 0);
        if (sent <= 0) return 0;
        at += sent;
        length -= static_cast<unsigned>(sent);
    }
    return 1;
}

int QvLinkReceive(void* data, unsigned length) {
    char* at = static_cast<char*>(data);
    while (length != 0) {
        const int got = recv(Link, at, static_cast<int>(length), 0);
        if (got <= 0) return 0;
        at += got;
        length -= static_cast<unsigned>(got);
    }
    return 1;
}

void QvLinkClose(void) {
    if (Link != INVALID_SOCKET) {
        shutdown(Link, SD_BOTH);
        closesocket(Link);
        Link = INVALID_SOCKET;
    }
}

namespace {

// The import address table slot of image's import of module!name.
IMAGE_THUNK_DATA32* ImportSlot(void* image, const char* module, const char* name) {
    auto* base = static_cast<unsigned char*>(image);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE) return nullptr;
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0) return nullptr;
    for (auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress); entry->Name != 0;
         ++entry) {
        if (_stricmp(reinterpret_cast<const char*>(base + entry->Name), module) != 0) continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA32*>(base + entry->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA32*>(base + entry->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL32(names->u1.Ordinal)) continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), name) == 0) return slots;
        }
    }
    return nullptr;
}

} // namespace

// Points the image's import of module!name at routine. Returns 1 when the
// import was found and rebound. The toolchain's images keep their import
// address table in the writable .idata section.
int QvRebindImport(void* image, const char* module, const char* name, void* routine) {
    IMAGE_THUNK_DATA32* slot = ImportSlot(image, module, name);
    if (slot == nullptr) return 0;
    slot->u1.Function = reinterpret_cast<DWORD>(routine);
    return 1;
}

void* QvImportedRoutine(void* image, const char* module, const char* name) {
    const IMAGE_THUNK_DATA32* slot = ImportSlot(image, module, name);
    return slot == nullptr ? nullptr : reinterpret_cast<void*>(slot->u1.Function);
}

// Wine maps every image at a 64 KiB boundary, and every page between the
// image's base and its end is mapped, so the search only reads the image's
// own pages: it goes down from the address to the first boundary whose
// headers describe an image that holds the address.
void* QvImageContaining(void* address) {
    constexpr std::uintptr_t kGranularity = 0x10000;
    constexpr int kMostSteps = 256; // 16 MiB, more than any image here
    if (address == nullptr) return nullptr;
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    for (std::uintptr_t base = at & ~(kGranularity - 1), steps = 0; base != 0 && steps < kMostSteps;
         base -= kGranularity, ++steps) {
        auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
        if (dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew <= 0 || dos->e_lfanew > 0x1000) continue;
        auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
        if (nt->Signature == IMAGE_NT_SIGNATURE && at < base + nt->OptionalHeader.SizeOfImage) {
            return reinterpret_cast<void*>(base);
        }
    }
    return nullptr;
}

} // extern "C"
