// address_counts.h -- how many clients each peer address holds, for the
// limit on clients per address.
//
// The accept loop takes a place for a connection before its client manager
// starts, and the client manager gives it back as its client leaves,
// whichever way it leaves. Both take the record's own lock, and neither
// holds the registry's lock meanwhile, so the two locks never nest. An
// address whose count falls to 0 is forgotten: the record holds the
// addresses connected now, not every address ever seen, and each take and
// give costs one hash lookup.
#ifndef PEERDIR_CLIENTS_ADDRESS_COUNTS_H
#define PEERDIR_CLIENTS_ADDRESS_COUNTS_H

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace peerdir {

struct AddressCounts {
    std::uint32_t limit = 0;  // clients one address may hold at once; at least 1
    std::mutex lock;          // guards held
    std::unordered_map<std::uint32_t, std::uint32_t> held;  // address -> clients, never 0
};

// Takes a place for a client of address (network byte order): false,
// taking none, when the address holds limit clients already.
bool takeAddressPlace(AddressCounts& counts, std::uint32_t address);

// Gives back a place taken for address.
void giveAddressPlace(AddressCounts& counts, std::uint32_t address);

// The addresses holding at least one place now.
std::size_t addressesHeld(AddressCounts& counts);

// A place a client manager holds, given back when the record goes out of
// scope unless it was given back before: every way a client manager ends
// frees its place, the early ones included.
struct AddressPlace {
    AddressCounts* counts = nullptr;  // nullptr: no place held
    std::uint32_t address = 0;
    AddressPlace(AddressCounts* held, std::uint32_t of) : counts(held), address(of) {}
    AddressPlace(const AddressPlace&) = delete;
    AddressPlace& operator=(const AddressPlace&) = delete;
    ~AddressPlace() { giveBack(); }
    void giveBack() {
        if (counts != nullptr) giveAddressPlace(*counts, address);
        counts = nullptr;
    }
    // Another record holds the place from now on.
    void handOver() { counts = nullptr; }
};

}  // namespace peerdir

#endif
