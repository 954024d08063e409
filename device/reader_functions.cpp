// The reader callbacks the driver gives the smart card library. Add-device
// fills the table before it hands the extension to SmartcardInitialize; a
// slot left empty makes the library refuse that kind of request.
#include "card.h"
#include "device.h"

VOID SetReaderFunctions(PSMARTCARD_EXTENSION SmartcardExtension) {
    PAGED_CODE();

    for (ULONG slot = 0; slot < RDF_MAX_FUNCTIONS; ++slot) SmartcardExtension->ReaderFunction[slot] = NULL;
    SmartcardExtension->ReaderFunction[RDF_CARD_POWER] = CardPower;
    SmartcardExtension->ReaderFunction[RDF_SET_PROTOCOL] = SetProtocol;
    SmartcardExtension->ReaderFunction[RDF_TRANSMIT] = Transmit;
    SmartcardExtension->ReaderFunction[RDF_CARD_TRACKING] = CardTracking;
    SmartcardExtension->ReaderFunction[RDF_IOCTL_VENDOR] = VendorIoctl;
}
