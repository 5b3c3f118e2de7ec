// main.cpp -- the process entry: everything happens in runServer.
int main() { return 0; }
