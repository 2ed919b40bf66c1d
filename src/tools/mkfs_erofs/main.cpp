#include "front.h"

int main(int argc, char** argv) { return RunFront(argc, argv); }
