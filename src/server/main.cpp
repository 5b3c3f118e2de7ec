// main.cpp -- the process entry: everything happens in runServer.
// Arguments and the environment are ignored.
#include "server/server.h"

int main() { return peerdir::runServer(); }
