// The pool's bookkeeping and fault injection, and the counted strings.
#include <gtest/gtest.h>

#include <cstring>

#include "kernel/pool.h"
#include "support/kernel_run.h"

namespace qv {
namespace {

constexpr ULONG kTag = QV_POOL_TAG('T', 'e', 's', 't');

TEST(Pool, TracksEveryBlockWithTagSizeAndCallSite) {
    Machine machine;
    test::RunOk(machine, [] {
        void* a = ExAllocatePoolWithTag(NonPagedPool, 40, kTag);
        void* b = ExAllocatePoolWithTag(NonPagedPool, 8, QV_POOL_TAG('O', 't', 'h', 'r'));
        ASSERT_NE(a, nullptr);
        ASSERT_NE(b, nullptr);
        auto blocks = K().PoolAllocator().Outstanding();
        ASSERT_EQ(blocks.size(), 2u);
        EXPECT_EQ(TagText(blocks[0].tag == kTag ? blocks[0].tag : blocks[1].tag), "Test");
        for (const auto& block : blocks) EXPECT_NE(block.site.find("pool_strings_test.cpp:"), std::string::npos);
        // Fresh memory is not zero, so forgotten initialisation shows.
        EXPECT_NE(static_cast<unsigned char*>(a)[0], 0);
        ExFreePoolWithTag(a, kTag);
        ExFreePool(b);
        EXPECT_EQ(K().PoolAllocator().OutstandingCount(), 0u);
    });
}

// A long run frees far more blocks than the quarantine keeps: it stays
// bounded, and a second free of the block freed last is still recognised.
TEST(Pool, QuarantineStaysBoundedOverAnyNumberOfFrees) {
    constexpr int kFrees = 20'000;
    Machine machine;
    std::size_t kept = 0;
    test::RunOk(machine, [&] {
        for (int i = 0; i < kFrees; ++i) ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 16, kTag), kTag);
        kept = K().PoolAllocator().QuarantinedCount();
    });
    EXPECT_GT(kept, 0u);
    EXPECT_LT(kept, static_cast<std::size_t>(kFrees) / 2);
    test::RunExpectingBugCheck(
        [] {
            for (int i = 0; i < kFrees; ++i) ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 16, kTag), kTag);
            void* last = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
            ExFreePool(last);
            ExFreePool(last);
        },
        bugcode::BAD_POOL_CALLER);
}

TEST(Pool, FailsTheNthAllocationOnDemand) {
    Machine machine;
    test::RunOk(machine, [] {
        K().PoolAllocator().FailAfter(2);
        void* first = ExAllocatePoolWithTag(NonPagedPool, 4, kTag);
        void* second = ExAllocatePoolWithTag(NonPagedPool, 4, kTag);
        void* third = ExAllocatePoolWithTag(NonPagedPool, 4, kTag);
        EXPECT_NE(first, nullptr);
        EXPECT_EQ(second, nullptr);
        EXPECT_NE(third, nullptr);
        EXPECT_EQ(K().PoolAllocator().FailedAllocations(), 1u);
        ExFreePool(first);
        ExFreePool(third);
    });
}

// Which allocations fail by chance depends on the seed alone, and only the
// chosen tag is affected.
std::vector<bool> ChanceFailures(std::uint64_t seed) {
    MachineConfig config;
    config.seed = seed;
    config.poolFaults.failPerMillion = 300'000;
    config.poolFaults.onlyTag = kTag;
    Machine machine(config);
    std::vector<bool> failed;
    test::RunOk(machine, [&] {
        for (int i = 0; i < 40; ++i) {
            void* other = ExAllocatePoolWithTag(NonPagedPool, 4, QV_POOL_TAG('O', 't', 'h', 'r'));
            EXPECT_NE(other, nullptr);
            ExFreePool(other);
            void* block = ExAllocatePoolWithTag(NonPagedPool, 4, kTag);
            failed.push_back(block == nullptr);
            if (block) ExFreePool(block);
        }
    });
    return failed;
}

TEST(Pool, ChanceFailuresFollowTheSeed) {
    const auto a = ChanceFailures(3);
    EXPECT_EQ(a, ChanceFailures(3));
    EXPECT_NE(a, ChanceFailures(4));
    EXPECT_GT(std::count(a.begin(), a.end(), true), 0);
    EXPECT_GT(std::count(a.begin(), a.end(), false), 0);
}

TEST(Strings, UnicodeToAnsiAllocatesFromPoolAndConvertsSafely) {
    Machine machine;
    test::RunOk(machine, [] {
        UNICODE_STRING wide;
        RtlInitUnicodeString(&wide, u"QV-38N\u00e9");
        EXPECT_EQ(wide.Length, 14);
        EXPECT_EQ(wide.MaximumLength, 16);

        ANSI_STRING narrow;
        ASSERT_EQ(RtlUnicodeStringToAnsiString(&narrow, &wide, TRUE), STATUS_SUCCESS);
        EXPECT_EQ(narrow.Length, 7);
        EXPECT_STREQ(reinterpret_cast<char*>(narrow.Buffer), "QV-38N?");
        EXPECT_EQ(K().PoolAllocator().OutstandingCount(), 1u);
        RtlFreeAnsiString(&narrow);
        EXPECT_EQ(K().PoolAllocator().OutstandingCount(), 0u);
        EXPECT_EQ(narrow.Buffer, nullptr);

        // A caller's buffer that is too small gets what fits, terminated.
        CHAR small[4];
        ANSI_STRING bounded{0, sizeof small, small};
        EXPECT_EQ(RtlUnicodeStringToAnsiString(&bounded, &wide, FALSE), STATUS_BUFFER_OVERFLOW);
        EXPECT_EQ(bounded.Length, 3);
        EXPECT_STREQ(reinterpret_cast<char*>(small), "QV-");

        K().PoolAllocator().FailAfter(1);
        EXPECT_EQ(RtlUnicodeStringToAnsiString(&narrow, &wide, TRUE), STATUS_INSUFFICIENT_RESOURCES);
    });
}

TEST(Strings, AppendCopyCompare) {
    Machine machine;
    test::RunOk(machine, [] {
        WCHAR storage[8] = {};
        UNICODE_STRING target{0, sizeof storage, storage};
        EXPECT_EQ(RtlAppendUnicodeToString(&target, u"QV-"), STATUS_SUCCESS);
        EXPECT_EQ(RtlAppendUnicodeToString(&target, u"39N"), STATUS_SUCCESS);
        EXPECT_EQ(RtlAppendUnicodeToString(&target, u"xyz"), STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(target.Length, 12);
        UNICODE_STRING expected;
        RtlInitUnicodeString(&expected, u"qv-39n");
        EXPECT_TRUE(RtlEqualUnicodeString(&target, &expected, TRUE));
        EXPECT_FALSE(RtlEqualUnicodeString(&target, &expected, FALSE));

        WCHAR tiny[2];
        UNICODE_STRING copy{0, sizeof tiny, tiny};
        RtlCopyUnicodeString(&copy, &target);
        EXPECT_EQ(copy.Length, 4);

        const UCHAR a[] = {1, 2, 3, 4};
        const UCHAR b[] = {1, 2, 9, 4};
        EXPECT_EQ(RtlCompareMemory(a, b, sizeof a), 2u);
        EXPECT_EQ(RtlCompareMemory(a, a, sizeof a), 4u);
    });
}

} // namespace
} // namespace qv
