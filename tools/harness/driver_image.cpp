#include "harness/driver_image.h"

#include <algorithm>
#include <iterator>

namespace qv::harness {

NTSTATUS NTAPI LoadFreshDriverImage(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    std::fill(std::begin(UnitInUse), std::end(UnitInUse), UCHAR{0});
    return DriverEntry(DriverObject, RegistryPath);
}

} // namespace qv::harness
