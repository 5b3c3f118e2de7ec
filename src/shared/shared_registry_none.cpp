// shared_registry_none.cpp -- the build without a shared registry: the
// Windows build, and a Linux build without etcd's client libraries. The
// command line refuses the mode before anything here could be called.
#include <cstdlib>

#include "shared/shared_registry.h"

namespace peerdir {

bool sharedRegistryBuilt() { return false; }

bool checkSharedRegistryEndpoints(const std::string&, std::string* problem) {
    *problem = "this build has no shared registry.";
    return false;
}

bool checkSharedRegistryTls(const SharedRegistryOptions& options, std::string* problem) {
    if (options.caFile.empty() && options.certFile.empty() && options.keyFile.empty()) return true;
    *problem = "this build has no shared registry.";
    return false;
}

bool sharedRegistryLoadTls(SharedRegistryOptions*, std::string*) { return true; }

SharedRegistry* sharedRegistryStart(const SharedRegistryOptions&, DeliverRequest, void*) {
    std::abort();
}

void sharedRegistryStop(SharedRegistry*) {}

void sharedRegister(SharedRegistry*, ConnectionId, const std::string&) {}

void sharedUnregisterAll(SharedRegistry*, ConnectionId) {}

SharedForward sharedForward(SharedRegistry*, const std::string&, const std::uint8_t*,
                            ConnectionId*) {
    return SharedForward::Unavailable;
}

bool sharedListNames(SharedRegistry*, std::vector<std::string>*) { return false; }

bool sharedNameCount(SharedRegistry*, std::size_t*) { return false; }

SharedRegistryState sharedRegistryState(SharedRegistry*) { return SharedRegistryState{}; }

}  // namespace peerdir
