// The user-mode half of the stand-in USB bus: its TCP connection to
// qvwinhost, and the rebinding of two imports (usb_bus.cpp says why).
// Wine runs kernel drivers in winedevice.exe, an ordinary process, so this
// test-only bus may use Winsock and the C run-time there (on Windows a bus
// driver would use Winsock Kernel). It must not import kernel32 or ntdll:
// Wine then takes the image for a user-mode DLL and calls its entry point
// as DllMain. Kept apart from the kernel half because
// the user-mode and kernel headers do not mix.
#include <winsock2.h>
#include <windows.h>

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

// Points the image's import of module!name at routine. Returns 1 when the
// import was found and rebound. The toolchain's images keep their import
// address table in the writable .idata section.
int QvRebindImport(void* image, const char* module, const char* name, void* routine) {
    auto* base = static_cast<unsigned char*>(image);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE) return 0;
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0) return 0;
    for (auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress); entry->Name != 0;
         ++entry) {
        if (_stricmp(reinterpret_cast<const char*>(base + entry->Name), module) != 0) continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA32*>(base + entry->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA32*>(base + entry->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL32(names->u1.Ordinal)) continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), name) != 0) continue;
            slots->u1.Function = reinterpret_cast<DWORD>(routine);
            return 1;
        }
    }
    return 0;
}

} // extern "C"
