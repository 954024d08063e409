// What the hot path's shortcuts must leave as it was: a trace line given in
// pieces folds into the digest as the whole line does, the digest's value
// for a line stays what every recorded digest was computed with, a waited
// object is described as printf's %p would write its address, and K()
// follows the machines as they come and go on a host thread.
#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/dispatcher.h"
#include "kernel/trace.h"
#include "machine/machine.h"

namespace qv {
namespace {

// The digest as it has always been defined, written out here on its own so
// that a faster fold in Trace that changed a single value is caught.
std::uint64_t ReferenceFold(std::uint64_t digest, std::uint64_t value) {
    digest ^= value + 0x9e3779b97f4a7c15ull + (digest << 6) + (digest >> 2);
    return digest * 0x100000001b3ull;
}

std::uint64_t ReferenceLine(std::uint64_t time, std::string_view thread, std::string_view category,
                            std::string_view text) {
    std::uint64_t digest = 0xcbf29ce484222325ull;
    digest = ReferenceFold(digest, time);
    for (std::string_view part : {thread, category, text}) {
        for (unsigned char c : part) digest = ReferenceFold(digest, c);
    }
    return digest;
}

TEST(HotPathText, ALineInPiecesFoldsAsTheWholeLineAndKeepsTheDigestsValue) {
    constexpr std::uint64_t kTime = 123456789;
    const std::string whole = "reader complete bulk-in ep 0x81 len 64 -> USBD_STATUS_SUCCESS, 11 bytes, later";

    Trace asOne;
    asOne.Log(kTime, "dpc 1", "usb", whole);
    EXPECT_EQ(asOne.Digest(), ReferenceLine(kTime, "dpc 1", "usb", whole));

    Trace inPieces;
    std::vector<std::string> heard;
    inPieces.SetListener([&](std::uint64_t, std::string_view, std::string_view, std::string_view text) {
        heard.emplace_back(text);
    });
    inPieces.Log(kTime, "dpc 1", "usb", {"reader", " complete ", "bulk-in ep 0x81 len 64", " -> USBD_STATUS_SUCCESS, 11 bytes, later"});
    EXPECT_EQ(inPieces.Digest(), asOne.Digest());
    EXPECT_EQ(heard, std::vector<std::string>{whole});

    // An empty piece adds nothing; a character moved across the boundary
    // between thread and text is still told apart.
    Trace withEmpty;
    withEmpty.Log(kTime, "dpc 1", "usb", {"", whole, ""});
    EXPECT_EQ(withEmpty.Digest(), asOne.Digest());
    Trace shifted;
    shifted.Log(kTime, "dpc ", "usb", "1" + whole);
    EXPECT_NE(shifted.Digest(), asOne.Digest());
}

TEST(HotPathText, AWaitedObjectIsDescribedWithItsAddressAsPrintfWritesIt) {
    alignas(DISPATCHER_HEADER) unsigned char storage[sizeof(DISPATCHER_HEADER)] = {};
    auto& header = *reinterpret_cast<DISPATCHER_HEADER*>(storage);
    header.Type = QV_OBJECT_EVENT_NOTIFICATION;
    char expected[64];
    std::snprintf(expected, sizeof expected, "notification event %p", static_cast<const void*>(&header));
    EXPECT_EQ(DescribeObject(header), expected);

    header.Type = QV_OBJECT_TIMER_NOTIFICATION;
    std::snprintf(expected, sizeof expected, "timer %p", static_cast<const void*>(&header));
    EXPECT_EQ(DescribeObject(header), expected);
}

TEST(HotPathText, TheKernelCoreFollowsTheMachinesOfTheHostThread) {
    EXPECT_FALSE(HasKernel());
    EXPECT_THROW(K(), std::logic_error);
    {
        Machine outer;
        EXPECT_EQ(&K(), &outer.Kernel());
        {
            Machine inner;
            EXPECT_EQ(&K(), &inner.Kernel());
        }
        // The newest machine gone, the one before answers again.
        EXPECT_EQ(&K(), &outer.Kernel());
    }
    EXPECT_FALSE(HasKernel());
    EXPECT_THROW(K(), std::logic_error);
}

} // namespace
} // namespace qv
