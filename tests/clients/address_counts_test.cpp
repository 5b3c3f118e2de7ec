// The places each address holds under the limit per address: the limit
// holds per address, and an address that holds nothing is forgotten, so a
// server that has seen many addresses keeps only those connected now.
#include "clients/address_counts.h"

#include <gtest/gtest.h>

namespace peerdir {
namespace {

TEST(AddressCounts, EachAddressHoldsItsLimitAndIsForgottenWhenItHoldsNone) {
    AddressCounts counts;
    counts.limit = 2;
    for (std::uint32_t address = 1; address <= 1000; ++address) {
        EXPECT_TRUE(takeAddressPlace(counts, address));
        EXPECT_TRUE(takeAddressPlace(counts, address));
        EXPECT_FALSE(takeAddressPlace(counts, address)) << address;
    }
    EXPECT_EQ(addressesHeld(counts), 1000u);
    giveAddressPlace(counts, 7);
    EXPECT_TRUE(takeAddressPlace(counts, 7)) << "a place given back is free again";
    for (std::uint32_t address = 1; address <= 1000; ++address) {
        giveAddressPlace(counts, address);
        EXPECT_EQ(addressesHeld(counts), 1000u - address + 1);
        giveAddressPlace(counts, address);
    }
    EXPECT_EQ(addressesHeld(counts), 0u);
}

TEST(AddressCounts, AHeldPlaceIsGivenBackOnceWhicheverWayItsHolderEnds) {
    AddressCounts counts;
    counts.limit = 1;
    {
        ASSERT_TRUE(takeAddressPlace(counts, 9));
        AddressPlace place(&counts, 9);
        place.giveBack();
        EXPECT_EQ(addressesHeld(counts), 0u);
        ASSERT_TRUE(takeAddressPlace(counts, 9));
        AddressPlace other(&counts, 9);
    }
    EXPECT_EQ(addressesHeld(counts), 0u) << "the end of the scope gives back the second place";
    AddressPlace none(nullptr, 9);
}

}  // namespace
}  // namespace peerdir
