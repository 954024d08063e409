// The parts of the conformance suite, each adding its cases.
#pragma once

#include <vector>

#include "conformance/conformance.h"
#include "conformance/conformance_bed.h"

namespace qv::conformance {

void AddReaderInterfaceCases(std::vector<ConformanceCase>& cases);
void AddInsertionRemovalCases(std::vector<ConformanceCase>& cases);
void AddResourceManagerCases(std::vector<ConformanceCase>& cases);
void AddTestCardCases(std::vector<ConformanceCase>& cases);
void AddSuspendResumeCases(std::vector<ConformanceCase>& cases);
void AddSeveralReaderCases(std::vector<ConformanceCase>& cases);

// A card from the catalogue, or made from its options.
std::unique_ptr<sim::Card> CatalogueCard(std::string_view name, std::uint64_t seed);

// Runs a wait request (IOCTL_SMARTCARD_IS_PRESENT or IS_ABSENT) to its end
// or until limitMs of virtual time have passed; the request, done or not.
harness::AsyncRequest* WaitFor(ConformanceBed& bed, ULONG code, std::uint64_t limitMs);

} // namespace qv::conformance
