// floor.h -- the least this design can cost when idle, measured in the
// benchmark's own process: one thread per client that sleeps 1 ms and tries
// one non-blocking receive on an idle socket, plus one that polls an idle
// listening socket the same way, as the accept loop does.
#ifndef PEERDIR_BENCH_FLOOR_H
#define PEERDIR_BENCH_FLOOR_H

#include <cstddef>

namespace peerdir {
namespace bench {

struct FloorFigures {
    bool measured = false;
    double cores = 0;           // CPU used over the window, in cores
    double turnsPerSecond = 0;  // polling turns per thread and second (1000 when not starved)
};

// Starts the threads, lets them settle for settleMillis, measures over
// windowMillis, then stops them and closes the sockets.
FloorFigures measureFloor(std::size_t clients, unsigned settleMillis, unsigned windowMillis);

}  // namespace bench
}  // namespace peerdir

#endif
