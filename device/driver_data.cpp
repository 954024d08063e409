// Driver-wide data: the reader command headers and the unit numbers in use.
// Both are constant-initialised, so loading the driver runs no code for them.
#include "qvscr.h"

const UCHAR ReaderCommandTable[READER_COMMAND_ENTRIES][READER_COMMAND_ENTRY_SIZE] = {
    {0xD0, 0x23, 0x00, 0x00}, // 0: pass an APDU to the card
    {0xD0, 0x31, 0x00, 0x00}, // 1: card status
    {0xD0, 0xC0, 0x00, 0x00}, // 2: reader information
    {0xD0, 0xE6, 0x00, 0x0F}, // 3: cold reset
    {0xD0, 0xE6, 0x01, 0x00}, // 4: warm reset
    {0xD0, 0xE1, 0x00, 0x00}, // 5: power the card down
    {0xD0, 0xE7, 0x00, 0x00}, // 6: PPS exchange
    {0xD0, 0xE4, 0x00, 0x08}, // 7: sent at start and after one card's PPS
};

UCHAR UnitInUse[MAXIMUM_READER_UNITS];

// Read only when a reader is added, at PASSIVE_LEVEL, so they may be paged out.
QV_PAGED_DATA const UCHAR DefaultVendorName[DEFAULT_VENDOR_NAME_LENGTH] = "Vantrel/Orsund";
QV_PAGED_DATA const UCHAR DefaultIfdType[DEFAULT_IFD_TYPE_LENGTH] = "QV-38N/QV-39N";
