// address_counts.cpp -- the clients each peer address holds.
#include "clients/address_counts.h"

namespace peerdir {

bool takeAddressPlace(AddressCounts& counts, std::uint32_t address) {
    std::lock_guard<std::mutex> guard(counts.lock);
    // With a limit of at least 1, an address at its limit has an entry
    // already, so a refusal never leaves an empty one behind.
    std::uint32_t& held = counts.held[address];
    if (held >= counts.limit) return false;
    ++held;
    return true;
}

void giveAddressPlace(AddressCounts& counts, std::uint32_t address) {
    std::lock_guard<std::mutex> guard(counts.lock);
    auto found = counts.held.find(address);
    if (found == counts.held.end()) return;
    if (--found->second == 0) counts.held.erase(found);
}

std::size_t addressesHeld(AddressCounts& counts) {
    std::lock_guard<std::mutex> guard(counts.lock);
    return counts.held.size();
}

}  // namespace peerdir
