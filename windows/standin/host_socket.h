// The stand-in bus's user-mode services (host_socket.cpp), callable from
// its kernel half.
#pragma once

extern "C" {
// Connects to qvwinhost at this loopback port; 1 on success.
int QvLinkConnect(unsigned short port);
// Sends or receives exactly `length` bytes; 1 on success, 0 once the link is gone.
int QvLinkSend(const void* data, unsigned length);
int QvLinkReceive(void* data, unsigned length);
void QvLinkClose(void);
// Points image's import of module!name at routine; 1 when it was found.
int QvRebindImport(void* image, const char* module, const char* name, void* routine);
// The routine image's import of module!name is bound to; NULL when none.
void* QvImportedRoutine(void* image, const char* module, const char* name);
// The base of the loaded image that holds the address; NULL when none.
void* QvImageContaining(void* address);
}
